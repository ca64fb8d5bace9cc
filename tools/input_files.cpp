#include "input_files.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <utility>

#include "utf8.hpp"

namespace qelsms::cli {

std::string_view trimBlanks(std::string_view text) noexcept {
    while (!text.empty() && (isBlank(text.front()) || text.front() == '\r'))
        text.remove_prefix(1);
    while (!text.empty() && (isBlank(text.back()) || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

std::string sourceLine(std::string_view source, std::size_t line) {
    return std::string(source) + ":" + std::to_string(line);
}

namespace {

// Reads CSV text one character at a time, keeping the line number so errors
// can point at the offending line.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

class CsvReader {
public:
    CsvReader(std::string_view text, std::string_view source) : text_(text), source_(source) {
        if (text_.starts_with(kByteOrderMark)) text_.remove_prefix(kByteOrderMark.size());
    }

    std::vector<CsvRecord> records() {
        std::vector<CsvRecord> out;
        while (pos_ < text_.size()) {
            CsvRecord record{line_, {}};
            bool more = true;
            while (more) {
                record.fields.push_back(field());
                more = pos_ < text_.size() && text_[pos_] == ',';
                if (more) ++pos_;
            }
            endRecord();
            const bool blankLine = record.fields.size() == 1 && trimBlanks(record.fields.front()).empty();
            if (!blankLine) out.push_back(std::move(record));
        }
        return out;
    }

private:
    bool atRecordEnd() const {
        return pos_ >= text_.size() || text_[pos_] == '\n' ||
               (text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n');
    }

    void endRecord() {
        if (pos_ < text_.size() && text_[pos_] == '\r') ++pos_;
        if (pos_ < text_.size() && text_[pos_] == '\n') {
            ++pos_;
            ++line_;
        }
    }

    std::string field() {
        std::size_t start = pos_;
        while (start < text_.size() && isBlank(text_[start]))
            ++start;
        if (start < text_.size() && text_[start] == '"') {
            pos_ = start + 1;
            return quotedField();
        }
        std::string value;
        while (!atRecordEnd() && text_[pos_] != ',')
            value.push_back(text_[pos_++]);
        return value;
    }

    std::string quotedField() {
        const std::size_t openedOn = line_;
        std::string value;
        while (true) {
            if (pos_ >= text_.size()) {
                throw InputError(sourceLine(source_, openedOn) + ": quoted field is never closed");
            }
            const char c = text_[pos_++];
            if (c == '"') {
                if (pos_ < text_.size() && text_[pos_] == '"') {
                    value.push_back('"');
                    ++pos_;
                    continue;
                }
                break;
            }
            if (c == '\n') ++line_;
            value.push_back(c);
        }
        while (pos_ < text_.size() && isBlank(text_[pos_]))
            ++pos_;
        if (!atRecordEnd() && text_[pos_] != ',') {
            throw InputError(sourceLine(source_, line_) + ": unexpected text after a closing quote");
        }
        return value;
    }

    std::string_view text_;
    std::string_view source_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
};

// Code points that show nothing, or move the cursor, or reorder the text
// around them: quoted in an error, they would hide what is wrong.
bool isInvisible(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || c == 0x34F || c == 0x61C || c == 0x115F ||
           c == 0x1160 || c == 0x17B4 || c == 0x17B5 || (c >= 0x180B && c <= 0x180F) ||
           (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) || (c >= 0x205F && c <= 0x206F) ||
           c == 0x3164 || (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF || c == 0xFFA0 ||
           (c >= 0xFFF0 && c <= 0xFFFB) || (c >= 0x1D173 && c <= 0x1D17A) || (c >= 0xE0000 && c <= 0xE0FFF);
}

}  // namespace

std::string printable(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const qelsms::detail::Utf8Decoded decoded = qelsms::detail::decodeUtf8(text, 0);
        const char32_t c = decoded.valid ? decoded.code : 0;
        const std::size_t length = decoded.valid ? decoded.length : 0;
        if (length == 0 || (c < 0x80 && isInvisible(c))) {
            const auto b = static_cast<unsigned char>(text.front());
            out.append("\\x").push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 0xF]);
            text.remove_prefix(1);
            continue;
        }
        if (isInvisible(c)) {
            std::string digits;
            for (char32_t rest = c; rest != 0 || digits.size() < 4; rest >>= 4)
                digits.insert(digits.begin(), kHex[rest & 0xF]);
            out.append("\\u{").append(digits).push_back('}');
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out;
}

void requireUtf8(std::string_view text, std::string_view source) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::size_t line = 1;
    std::size_t column = 1;
    while (!text.empty()) {
        const qelsms::detail::Utf8Decoded decoded = qelsms::detail::decodeUtf8(text, 0);
        const std::size_t length = decoded.length;
        if (!decoded.valid) {
            const auto b = static_cast<unsigned char>(text.front());
            throw InputError(sourceLine(source, line) + ": byte 0x" + kHex[b >> 4] + kHex[b & 0xF] +
                             " at column " + std::to_string(column) + " is not valid UTF-8");
        }
        if (text.front() == '\n') {
            ++line;
            column = 1;
        } else {
            column += length;
        }
        text.remove_prefix(length);
    }
}

std::string readInput(const std::string& path) {
    std::string content;
    if (path == "-") {
        // Without a word, a tool waiting on a terminal looks hung.
        if (isatty(STDIN_FILENO) == 1) {
            std::cerr
                << "qelsms: reading standard input from the terminal; end it with Ctrl-D on a line of its "
                   "own (Ctrl-C to stop)\n";
        }
        content.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw InputError("cannot read " + path + ": " + std::strerror(errno));
        std::ostringstream stream;
        stream << in.rdbuf();
        if (in.bad()) throw InputError("cannot read " + path);
        content = std::move(stream).str();
    }
    if (content.starts_with(kByteOrderMark)) content.erase(0, kByteOrderMark.size());
    return content;
}

std::vector<CsvRecord> parseCsv(std::string_view text, std::string_view source) {
    return CsvReader(text, source).records();
}

namespace {

bool looksLikeHeader(const CsvRecord& record) {
    if (record.fields.empty()) return false;
    const std::string_view number = trimBlanks(record.fields[0]);
    return !number.empty() &&
           std::none_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

MessageMap messagesFromCsv(const std::vector<CsvRecord>& records, std::string_view source, bool skipHeader) {
    MessageMap messages;
    std::map<std::string, std::size_t> firstLine;
    // A first record whose "number" has no digit ("number,text") is a header,
    // not a message to send.
    if (!skipHeader && !records.empty() && looksLikeHeader(records.front())) {
        std::cerr << "qelsms: " << sourceLine(source, records.front().line) << ": \""
                  << printable(trimBlanks(records.front().fields[0]))
                  << "\" is not a number; taking the first record as a header (--header says so)\n";
        skipHeader = true;
    }
    for (std::size_t i = skipHeader ? 1 : 0; i < records.size(); ++i) {
        const CsvRecord& record = records[i];
        if (record.fields.size() != 2) {
            throw InputError(sourceLine(source, record.line) + ": expected 2 fields (number,text), found " +
                             std::to_string(record.fields.size()));
        }
        const std::string number(trimBlanks(record.fields[0]));
        if (number.empty()) throw InputError(sourceLine(source, record.line) + ": the number is empty");
        const auto [seen, inserted] = firstLine.emplace(number, record.line);
        if (!inserted) {
            // A map keeps one text per number; sending only one of two texts
            // silently would lose a message.
            throw InputError(sourceLine(source, record.line) + ": number " + number +
                             " is already listed on line " + std::to_string(seen->second));
        }
        messages.emplace(number, record.fields[1]);
    }
    if (messages.empty()) throw InputError(std::string(source) + ": no number,text record");
    return messages;
}

std::vector<std::string> parseNumberList(std::string_view text) {
    std::vector<std::string> numbers;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = trimBlanks(text.substr(0, end));
        if (!line.empty() && line.front() != '#') numbers.emplace_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return numbers;
}

std::string readPasswordFile(const std::string& path) {
    struct stat status {};
    if (path != "-" && ::stat(path.c_str(), &status) == 0 && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        std::cerr << "qelsms: warning: other users can read the password file " << printable(path)
                  << "; make it private with: chmod 600 " << printable(path) << "\n";
    }
    std::string content = readInput(path);
    const auto end = content.find('\n');
    content.resize(end == std::string::npos ? content.size() : end);
    if (!content.empty() && content.back() == '\r') content.pop_back();
    if (content.empty()) throw InputError("the password file " + path + " holds no password");
    return content;
}

void checkScheduledDate(std::string_view date, bool allowPast, std::chrono::system_clock::time_point now) {
    if (date.empty()) return;
    constexpr const char* kForm = "\"YYYY-MM-DD HH:MM:SS\" in UTC, such as \"2030-01-01 09:00:00\"";
    // Digits where the form has letters, its separators elsewhere.
    constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd";
    bool shaped = date.size() == kShape.size();
    for (std::size_t i = 0; shaped && i < kShape.size(); ++i) {
        shaped = kShape[i] == 'd' ? (date[i] >= '0' && date[i] <= '9') : date[i] == kShape[i];
    }
    const auto number = [&](std::size_t at, std::size_t length) {
        int value = 0;
        for (std::size_t i = at; i < at + length; ++i)
            value = value * 10 + (date[i] - '0');
        return value;
    };
    // A time in another form goes to the provider, whose refusal names it.
    if (!shaped) return;
    const std::chrono::year_month_day day{std::chrono::year(number(0, 4)),
                                          std::chrono::month(static_cast<unsigned>(number(5, 2))),
                                          std::chrono::day(static_cast<unsigned>(number(8, 2)))};
    const int hours = number(11, 2);
    const int minutes = number(14, 2);
    const int seconds = number(17, 2);
    if (!day.ok() || hours > 23 || minutes > 59 || seconds > 59) return;
    const auto when = std::chrono::sys_days(day) + std::chrono::hours(hours) + std::chrono::minutes(minutes) +
                      std::chrono::seconds(seconds);
    if (!allowPast && when < now) {
        throw InputError("--scheduled-date \"" + printable(date) +
                         "\" has passed (it is UTC); the provider would send at once. Give a later time, " +
                         kForm + ", or --allow-past to send anyway");
    }
}

}  // namespace qelsms::cli
