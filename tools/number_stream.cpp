#include "number_stream.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string_view>
#include <utility>

#include "input_files.hpp"

namespace qelsms::cli {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Standard input copied into a file that has no name, so that it disappears
// with the process however the process ends; the returned path reopens it.
std::string spoolStandardInput() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qelsms-input-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) throw InputError(std::string("cannot copy standard input: ") + std::strerror(errno));
    unlink(pattern.c_str());
    char chunk[1 << 16];
    while (std::cin.read(chunk, sizeof chunk) || std::cin.gcount() > 0) {
        const char* data = chunk;
        auto left = static_cast<std::size_t>(std::cin.gcount());
        while (left > 0) {
            const ssize_t n = write(fd, data, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                close(fd);
                throw InputError(std::string("cannot copy standard input: ") + std::strerror(errno));
            }
            data += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace

RecordStream::RecordStream(CampaignSource source) : source_(std::move(source)) {
    name_ = source_.path == "-" ? "standard input" : source_.path;
    if (source_.path == "-") spoolPath_ = spoolStandardInput();
    rewind();
}

RecordStream::~RecordStream() {
    if (!spoolPath_.empty()) close(std::atoi(spoolPath_.c_str() + std::strlen("/proc/self/fd/")));
}

void RecordStream::rewind() {
    argument_ = 0;
    line_ = 1;
    headerSkipped_ = false;
    if (source_.path.empty()) return;
    in_.close();
    in_.clear();
    in_.open(spoolPath_.empty() ? source_.path : spoolPath_, std::ios::binary);
    if (!in_) throw InputError("cannot read " + name_ + ": " + std::strerror(errno));
    char start[3] = {};
    in_.read(start, 3);
    if (std::string_view(start, static_cast<std::size_t>(in_.gcount())) != kByteOrderMark) {
        in_.clear();
        in_.seekg(0);
    }
}

int RecordStream::get() {
    return in_.get();
}

int RecordStream::peek() {
    return in_.peek();
}

bool RecordStream::next(CampaignRecord& record) {
    if (argument_ < source_.numbers.size()) {
        record.number = source_.numbers[argument_++];
        record.text.clear();
        record.line = 0;
        return true;
    }
    if (source_.path.empty()) return false;
    return source_.csv ? nextCsv(record) : nextListed(record);
}

bool RecordStream::nextListed(CampaignRecord& record) {
    while (std::getline(in_, buffer_)) {
        const std::size_t line = line_++;
        const std::string_view number = trimBlanks(buffer_);
        if (number.empty() || number.front() == '#') continue;
        record.number.assign(number);
        record.text.clear();
        record.line = line;
        return true;
    }
    if (in_.bad()) throw InputError("cannot read " + name_);
    return false;
}

bool RecordStream::nextCsv(CampaignRecord& record) {
    std::vector<std::string> fields;
    while (peek() != std::char_traits<char>::eof()) {
        const std::size_t startLine = line_;
        fields.clear();
        bool more = true;
        while (more) {
            std::string value;
            while (isBlank(peek()))
                value.push_back(static_cast<char>(get()));
            if (peek() == '"') {
                get();
                const std::size_t openedOn = line_;
                value.clear();
                while (true) {
                    const int c = get();
                    if (c == std::char_traits<char>::eof()) {
                        throw InputError(sourceLine(name_, openedOn) + ": quoted field is never closed");
                    }
                    if (c == '"') {
                        if (peek() == '"') {
                            value.push_back(static_cast<char>(get()));
                            continue;
                        }
                        break;
                    }
                    if (c == '\n') ++line_;
                    value.push_back(static_cast<char>(c));
                }
                while (isBlank(peek()))
                    get();
                const int after = peek();
                if (after != ',' && after != '\n' && after != '\r' &&
                    after != std::char_traits<char>::eof()) {
                    throw InputError(sourceLine(name_, line_) + ": unexpected text after a closing quote");
                }
            }
            while (true) {
                const int c = peek();
                if (c == ',' || c == '\n' || c == std::char_traits<char>::eof()) break;
                if (c == '\r') {
                    get();
                    if (peek() == '\n') break;
                    value.push_back('\r');
                    continue;
                }
                value.push_back(static_cast<char>(get()));
            }
            fields.push_back(std::move(value));
            more = peek() == ',';
            if (more) get();
        }
        if (peek() == '\n') {
            get();
            ++line_;
        }
        if (in_.bad()) throw InputError("cannot read " + name_);
        if (fields.size() == 1 && trimBlanks(fields.front()).empty()) continue;
        if (source_.header && !headerSkipped_) {
            headerSkipped_ = true;
            continue;
        }
        if (fields.size() != 2) {
            throw InputError(sourceLine(name_, startLine) + ": expected 2 fields (number,text), found " +
                             std::to_string(fields.size()));
        }
        const std::string_view number = trimBlanks(fields[0]);
        if (number.empty()) throw InputError(sourceLine(name_, startLine) + ": the number is empty");
        record.number.assign(number);
        record.text = std::move(fields[1]);
        record.line = startLine;
        return true;
    }
    return false;
}

namespace {

class Sha256 {
public:
    Sha256() : context_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
        if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
            throw std::runtime_error("SHA-256 is not available");
        }
    }
    void add(std::string_view data) { EVP_DigestUpdate(context_.get(), data.data(), data.size()); }
    std::string hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context_.get(), digest, &length);
        static constexpr char kHex[] = "0123456789abcdef";
        std::string out;
        for (unsigned int i = 0; i < length; ++i) {
            out.push_back(kHex[digest[i] >> 4]);
            out.push_back(kHex[digest[i] & 0xF]);
        }
        return out;
    }

private:
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context_;
};

}  // namespace

std::string sha256Hex(std::string_view data) {
    Sha256 hash;
    hash.add(data);
    return hash.hex();
}

std::string RecordStream::fingerprint() {
    Sha256 hash;
    hash.add(source_.csv ? (source_.header ? "csv+header\n" : "csv\n") : "numbers\n");
    for (const std::string& number : source_.numbers) {
        hash.add(std::to_string(number.size()));
        hash.add(":");
        hash.add(number);
    }
    hash.add("\nfile\n");
    if (!source_.path.empty()) {
        std::ifstream in(spoolPath_.empty() ? source_.path : spoolPath_, std::ios::binary);
        if (!in) throw InputError("cannot read " + name_ + ": " + std::strerror(errno));
        char chunk[1 << 16];
        while (in.read(chunk, sizeof chunk) || in.gcount() > 0)
            hash.add(std::string_view(chunk, static_cast<std::size_t>(in.gcount())));
        if (in.bad()) throw InputError("cannot read " + name_);
    }
    return hash.hex();
}

}  // namespace qelsms::cli
