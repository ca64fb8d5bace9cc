#include "request_body.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "request_members.hpp"
#include "utf8.hpp"

namespace qelsms::detail {

namespace {

std::uint64_t loadWord(const char* bytes) noexcept {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// Whether the eight bytes of `word` are all printable ASCII other than '"'
// and '\\', which a JSON string holds as they are. Body strings are mostly
// such text, and looking at a word at a time keeps writing them cheap.
bool isPlainWord(std::uint64_t word) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHighs = 0x8080808080808080;
    // A byte's high bit ends up set exactly where the byte is below `limit`
    // (for a word with no high bits of its own).
    const auto below = [&](std::uint64_t w, unsigned char limit) {
        return (w - kOnes * limit) & ~w & kHighs;
    };
    const auto zero = [&](std::uint64_t w) { return below(w, 1); };
    return ((word & kHighs) | below(word, 0x20) | zero(word ^ (kOnes * '"')) | zero(word ^ (kOnes * '\\'))) ==
           0;
}

bool isPlainByte(unsigned char byte) noexcept {
    return byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\';
}

// Copies `text` to `out` while it is plain; says whether all of it was. A
// phone number takes two words, the second overlapping the first.
bool copyPlain(std::string_view text, char* out) noexcept {
    const char* in = text.data();
    const std::size_t size = text.size();
    if (size < 8) {
        for (std::size_t i = 0; i < size; ++i) {
            if (!isPlainByte(static_cast<unsigned char>(in[i]))) return false;
            out[i] = in[i];
        }
        return true;
    }
    const auto copyWord = [&](std::size_t at) {
        const std::uint64_t word = loadWord(in + at);
        std::memcpy(out + at, &word, sizeof word);
        return isPlainWord(word);
    };
    for (std::size_t at = 0; at + 8 <= size; at += 8) {
        if (!copyWord(at)) return false;
    }
    return size % 8 == 0 || copyWord(size - 8);
}

// Writes a body object member by member straight into its text, as
// nlohmann::json's compact dump() would write the same members: a bulk body's
// thousand numbers cost one string instead of a thousand tree nodes. Strings
// that are not valid UTF-8 make the body unwritable; the first one, in the
// order written, gives the error.
class BodyWriter {
public:
    explicit BodyWriter(std::size_t sizeHint) {
        text_.reserve(sizeHint);
        text_.push_back('{');
    }

    void string(std::string_view key, std::string_view value) {
        name(key);
        quoted(value);
    }
    void optional(std::string_view key, const std::optional<std::string>& value) {
        if (value) string(key, *value);
    }
    void boolean(std::string_view key, bool value) {
        name(key);
        text_.append(value ? "true" : "false");
    }
    void strings(std::string_view key, const std::vector<std::string>& values) {
        name(key);
        // Phone numbers need no escaping: while none does, they are copied
        // straight into their place, a word at a time.
        std::size_t size = 2 + 3 * values.size() - (values.empty() ? 0 : 1);
        for (const auto& value : values)
            size += value.size();
        const std::size_t at = text_.size();
        text_.resize(at + size);
        char* out = text_.data() + at;
        *out++ = '[';
        bool plain = true;
        for (std::size_t i = 0; i < values.size() && plain; ++i) {
            if (i != 0) *out++ = ',';
            *out++ = '"';
            plain = copyPlain(values[i], out);
            out += values[i].size();
            *out++ = '"';
        }
        if (plain) {
            *out = ']';
            return;
        }
        text_.resize(at);
        text_.push_back('[');
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i != 0) text_.push_back(',');
            quoted(values[i]);
        }
        text_.push_back(']');
    }
    void messageDetails(const MessageMap& details) {
        name("MessageDetails");
        text_.push_back('[');
        bool first = true;
        for (const auto& [number, message] : details) {
            text_.append(first ? "{\"To\":" : ",{\"To\":");
            quoted(number);
            text_.append(",\"Message\":");
            quoted(message);
            text_.push_back('}');
            first = false;
        }
        text_.push_back(']');
    }

    RequestBody finish() && {
        if (!error_.empty()) return {{}, std::move(error_)};
        text_.push_back('}');
        return {std::move(text_), {}};
    }

private:
    void name(std::string_view key) {
        if (text_.size() > 1) text_.push_back(',');
        text_.push_back('"');
        text_.append(key);
        text_.append("\":");
    }

    void quoted(std::string_view value) {
        static constexpr char kHex[] = "0123456789abcdef";
        text_.push_back('"');
        std::size_t plain = 0;  // start of the bytes not yet copied
        std::size_t i = 0;
        std::size_t bytewiseUntil = 0;
        while (i < value.size()) {
            if (i >= bytewiseUntil) {
                while (i + 8 <= value.size() && isPlainWord(loadWord(value.data() + i)))
                    i += 8;
                // The next eight bytes hold one that needs a look.
                bytewiseUntil = i + 8;
                if (i >= value.size()) break;
            }
            const auto byte = static_cast<unsigned char>(value[i]);
            if (isPlainByte(byte)) {
                ++i;
                continue;
            }
            if (byte >= 0x80) {
                const Utf8Decoded decoded = decodeUtf8(value, i);
                const std::size_t length = decoded.valid ? decoded.length : 0;
                if (length == 0) return recordInvalidUtf8(value);
                i += length;
                continue;
            }
            text_.append(value.data() + plain, i - plain);
            switch (byte) {
                case '"':
                    text_.append("\\\"");
                    break;
                case '\\':
                    text_.append("\\\\");
                    break;
                case '\b':
                    text_.append("\\b");
                    break;
                case '\f':
                    text_.append("\\f");
                    break;
                case '\n':
                    text_.append("\\n");
                    break;
                case '\r':
                    text_.append("\\r");
                    break;
                case '\t':
                    text_.append("\\t");
                    break;
                default:
                    text_.append("\\u00");
                    text_.push_back(kHex[byte >> 4]);
                    text_.push_back(kHex[byte & 0x0F]);
            }
            plain = ++i;
        }
        text_.append(value.data() + plain, value.size() - plain);
        text_.push_back('"');
    }

    // Takes the JSON library's own description of what is wrong with `value`,
    // so the error reads exactly as it would for a body the caller dumped.
    void recordInvalidUtf8(std::string_view value) {
        if (!error_.empty()) return;
        try {
            static_cast<void>(nlohmann::json(std::string(value)).dump());
            error_ = "invalid UTF-8";  // not reached: both reject the same strings
        } catch (const nlohmann::json::exception& e) {
            error_ = e.what();
        }
    }

    std::string text_;
    std::string error_;
};

std::size_t sizeOf(const std::vector<std::string>& values) {
    std::size_t size = 2;
    for (const auto& value : values)
        size += value.size() + 3;
    return size;
}

std::size_t sizeOf(const std::optional<std::string>& value) {
    return value ? value->size() + 32 : 0;
}

// Room for the member names, flags and punctuation; escapes may still grow
// the text past it.
constexpr std::size_t kFixedBodySize = 200;

// Writes each member the way its type travels.
struct MemberWriter {
    BodyWriter& body;

    void operator()(std::string_view key, const std::vector<std::string>& values) const {
        body.strings(key, values);
    }
    void operator()(std::string_view key, const std::string& value) const { body.string(key, value); }
    void operator()(std::string_view key, bool value) const { body.boolean(key, value); }
    void operator()(std::string_view key, const std::optional<std::string>& value) const {
        body.optional(key, value);
    }
    void operator()(std::string_view, const MessageMap& details) const { body.messageDetails(details); }
    void operator()(std::string_view key, NonEmptyString value) const {
        if (!value.value.empty()) body.string(key, value.value);
    }
};

template <class Request>
std::size_t sizeOfOptions(const Request& request) {
    return kFixedBodySize + sizeOf(request.QuorviBaseURL) + sizeOf(request.QuorviFinalURL) +
           sizeOf(request.CallbackQueryString) + sizeOf(request.ReferenceName) + request.SenderName.size();
}

RequestBody withNumbers(RequestBody body, std::size_t numbers) {
    body.numbers = numbers;
    return body;
}

}  // namespace

RequestBody writeSingleSMSBody(const SingleSMSRequest& request) {
    BodyWriter body(sizeOfOptions(request) + sizeOf(request.MobileNumbers) + request.Message.size());
    forEachMember(request, MemberWriter{body});
    return withNumbers(std::move(body).finish(), request.MobileNumbers.size());
}

RequestBody writeBulkSMSBody(const BulkSMSRequest& request) {
    BodyWriter body(sizeOfOptions(request) + sizeOf(request.MobileNumbers) + request.Message.size() +
                    request.ScheduledDate.size());
    forEachMember(request, MemberWriter{body});
    return withNumbers(std::move(body).finish(), request.MobileNumbers.size());
}

RequestBody writeCustomSMSBody(const CustomSMSRequest& request) {
    std::size_t size = sizeOfOptions(request) + request.ScheduledDate.size();
    for (const auto& [number, message] : request.MessageDetails)
        size += number.size() + message.size() + 20;
    BodyWriter body(size);
    forEachMember(request, MemberWriter{body});
    return withNumbers(std::move(body).finish(), request.MessageDetails.size());
}

}  // namespace qelsms::detail
