#include "answer_handling.hpp"

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <utility>

#include "utf8_text.hpp"

namespace qelsms::detail {

void callError(const ErrorHandler& errorHandler, std::string message) {
    if (errorHandler) errorHandler(std::move(message));
}

namespace {

std::string statusCodeMessage(std::int64_t statusCode) {
    return "Server error status code " + std::to_string(statusCode);
}

// The Unicode default lower-case mapping sends no character outside ASCII to
// 'e', 'r' or 'o', and sends no ASCII letter outside ASCII, so a string
// lower-cases to "error" exactly when it is "error" in any ASCII case.
bool isErrorStatus(std::string_view status) {
    constexpr std::string_view kError = "error";
    if (status.size() != kError.size()) return false;
    for (std::size_t i = 0; i < kError.size(); ++i) {
        char c = status[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kError[i]) return false;
    }
    return true;
}

// Nesting depth of a JSON text, counting brackets outside strings. Stops
// counting once `limit` is exceeded.
int nestingDepth(std::string_view text, int limit) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > limit) return deepest;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

const std::string* stringMember(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return nullptr;
    return it->get_ptr<const std::string*>();
}

}  // namespace

void assignMimeType(std::string_view contentType, std::optional<std::string>& out) {
    const auto semicolon = contentType.find(';');
    std::string_view type = contentType.substr(0, semicolon);
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!type.empty() && isBlank(type.front()))
        type.remove_prefix(1);
    while (!type.empty() && isBlank(type.back()))
        type.remove_suffix(1);
    if (type.empty()) {
        out.reset();
        return;
    }
    std::string& lowered = out ? *out : out.emplace();
    lowered.assign(type);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
}

std::optional<std::string> mimeTypeOf(std::string_view contentType) {
    std::optional<std::string> type;
    assignMimeType(contentType, type);
    return type;
}

namespace {

// Reads the plain JSON most answers are made of (objects, arrays, strings of
// printable ASCII without escapes, integers of at most 18 digits, true, false,
// null) straight into the value nlohmann::json::parse would build for it.
// Anything else it leaves to nlohmann by failing: the two never disagree on
// what they both read, and every error message is nlohmann's own. Decoding
// was the largest single cost per answer on the network thread; this halves
// it for the answers the provider sends.
class PlainJsonReader {
public:
    explicit PlainJsonReader(std::string_view text) noexcept
        : at_(text.data()), end_(text.data() + text.size()) {}

    bool read(nlohmann::json& out) {
        skipBlanks();
        if (!value(out)) return false;
        skipBlanks();
        return at_ == end_;
    }

private:
    void skipBlanks() noexcept {
        while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t'))
            ++at_;
    }

    bool take(char c) noexcept {
        if (at_ == end_ || *at_ != c) return false;
        ++at_;
        return true;
    }

    // Recursive, but never deeper than kMaxJsonDepth: a deeper text is left
    // to decodeBody, which refuses it.
    bool value(nlohmann::json& out) {  // NOLINT(misc-no-recursion)
        if (at_ == end_) return false;
        switch (*at_) {
            case '{':
                return object(out);
            case '[':
                return array(out);
            case '"': {
                std::string_view text;
                if (!string(text)) return false;
                out = std::string(text);
                return true;
            }
            case 't':
                return word("true", out, true);
            case 'f':
                return word("false", out, false);
            case 'n':
                return word("null", out, nullptr);
            default:
                return number(out);
        }
    }

    template <class Value>
    bool word(std::string_view literal, nlohmann::json& out, Value value) {
        if (static_cast<std::size_t>(end_ - at_) < literal.size() ||
            std::string_view(at_, literal.size()) != literal) {
            return false;
        }
        at_ += literal.size();
        out = value;
        return true;
    }

    bool string(std::string_view& text) noexcept {
        if (!take('"')) return false;
        const char* start = at_;
        while (at_ != end_ && *at_ != '"') {
            const auto byte = static_cast<unsigned char>(*at_);
            if (byte < 0x20 || byte > 0x7E || byte == '\\') return false;
            ++at_;
        }
        if (at_ == end_) return false;
        text = std::string_view(start, static_cast<std::size_t>(at_ - start));
        ++at_;
        return true;
    }

    // -?[1-9][0-9]{0,17} or 0: fits both std::int64_t and std::uint64_t, so
    // the type is the one nlohmann picks (unsigned unless negative).
    bool number(nlohmann::json& out) noexcept {
        const bool negative = take('-');
        const char* start = at_;
        std::uint64_t magnitude = 0;
        while (at_ != end_ && *at_ >= '0' && *at_ <= '9') {
            magnitude = magnitude * 10 + static_cast<std::uint64_t>(*at_ - '0');
            ++at_;
        }
        const auto digits = at_ - start;
        if (digits == 0 || digits > 18 || (*start == '0' && (digits > 1 || negative))) return false;
        if (at_ != end_ && (*at_ == '.' || *at_ == 'e' || *at_ == 'E')) return false;
        if (negative) {
            out = -static_cast<std::int64_t>(magnitude);
        } else {
            out = magnitude;
        }
        return true;
    }

    bool object(nlohmann::json& out) {  // NOLINT(misc-no-recursion)
        if (++depth_ > kMaxJsonDepth) return false;
        ++at_;
        out = nlohmann::json::object();
        auto& members = out.get_ref<nlohmann::json::object_t&>();
        skipBlanks();
        if (take('}')) return leave();
        for (;;) {
            std::string_view key;
            if (!string(key)) return false;
            skipBlanks();
            if (!take(':')) return false;
            skipBlanks();
            // A repeated key keeps its last value, as with nlohmann's parser.
            const auto member =
                members.emplace(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple())
                    .first;
            if (!value(member->second)) return false;
            skipBlanks();
            if (take('}')) return leave();
            if (!take(',')) return false;
            skipBlanks();
        }
    }

    bool array(nlohmann::json& out) {  // NOLINT(misc-no-recursion)
        if (++depth_ > kMaxJsonDepth) return false;
        ++at_;
        out = nlohmann::json::array();
        skipBlanks();
        if (take(']')) return leave();
        for (;;) {
            out.push_back(nullptr);
            if (!value(out.back())) return false;
            skipBlanks();
            if (take(']')) return leave();
            if (!take(',')) return false;
            skipBlanks();
        }
    }

    bool leave() noexcept {
        --depth_;
        return true;
    }

    const char* at_;
    const char* end_;
    int depth_ = 0;
};

}  // namespace

std::optional<nlohmann::json> decodeBody(std::string_view body, std::string& error) {
    try {
        nlohmann::json value;
        if (!PlainJsonReader(body).read(value)) {
            // nlohmann's parser recurses once per level: a deep text must not
            // reach it.
            if (nestingDepth(body, kMaxJsonDepth) > kMaxJsonDepth) {
                error = "nesting depth exceeds " + std::to_string(kMaxJsonDepth) + " levels";
                return std::nullopt;
            }
            value = nlohmann::json::parse(body);
        }
        if (!value.is_object() && !value.is_array()) {
            error = "top-level value is not an object or an array";
            return std::nullopt;
        }
        return value;
    } catch (const nlohmann::json::exception& e) {
        error = escapeInvalidUtf8(e.what());
        return std::nullopt;
    }
}

namespace {

constexpr std::string_view kClientError = "Client error!";

Outcome failure(std::string message, ErrorKind kind, int httpStatus, bool mayHaveBeenProcessed,
                std::string detail) {
    return Outcome(Error{std::move(message), kind, httpStatus, mayHaveBeenProcessed, std::move(detail)});
}

// A media type off the wire, as a detail may quote it: printable ASCII only,
// and not more of it than a media type needs.
std::string quotedMediaType(std::string_view type) {
    constexpr std::size_t kLongest = 80;
    std::string out;
    for (const char c : type.substr(0, kLongest))
        out += (c >= ' ' && c <= '~') ? c : '?';
    if (type.size() > kLongest) out += "...";
    return out;
}

std::string statusWords(std::int64_t status) {
    return "HTTP " + std::to_string(status);
}

// Why an answer that is not JSON can't be used: its media type when that is
// the cause, else what the decoder found.
std::string notJsonWords(const ResponseInfo& response, std::string_view decodeError) {
    const std::string status = statusWords(response.statusCode);
    if (!response.mimeType) return "answer has no Content-Type, not JSON (" + status + ")";
    if (*response.mimeType != "application/json")
        return "answer is " + quotedMediaType(*response.mimeType) + ", not JSON (" + status + ")";
    return "answer is not usable JSON (" + status + "): " + decoderWords(decodeError);
}

// A provider's refusal in words: its status, and its own status and text
// when it gave them.
std::string refusalWords(std::int64_t status, const std::string* statusText, const std::string* text) {
    std::string words = "the provider answered " + statusWords(status);
    if (statusText != nullptr) words += " (status \"" + escapeInvalidUtf8(*statusText) + "\")";
    if (text != nullptr) words += ": " + escapeInvalidUtf8(*text);
    return words;
}

}  // namespace

std::string decoderWords(std::string_view description) {
    constexpr std::string_view kTag = "[json.exception.";
    if (description.starts_with(kTag)) {
        const auto end = description.find("] ");
        if (end != std::string_view::npos) description.remove_prefix(end + 2);
    }
    // What the parser last read is the answer's own bytes, and may quote
    // the request back.
    description = description.substr(0, description.find("; last read"));
    return escapeInvalidUtf8(description);
}

Outcome classifyAnswer(const std::string& body, const std::optional<ResponseInfo>& response) {
    if (!response || !response->isHttp) {
        return failure("Response is not HTTPURLResponse", ErrorKind::UnusableAnswer, 0, true,
                       "answer is not HTTP");
    }

    std::string decodeError;
    const std::int64_t status = response->statusCode;
    const int httpStatus = static_cast<int>(status);
    if (status >= 200 && status <= 299) {
        if (!response->mimeType || *response->mimeType != "application/json") {
            return failure("Wrong MIME type!", ErrorKind::UnusableAnswer, httpStatus, true,
                           notJsonWords(*response, {}));
        }
        auto value = decodeBody(body, decodeError);
        if (!value) {
            return failure("JSON error: " + decodeError, ErrorKind::UnusableAnswer, httpStatus, true,
                           notJsonWords(*response, decodeError));
        }
        return Outcome(std::move(*value));
    }

    // A refusal with a server error status may come from a provider that
    // failed halfway through the submission; a client error status says the
    // request was turned down as it stood.
    const bool processed = status >= 500;
    const auto refuse = [&](std::string message, std::string detail) {
        return failure(std::move(message), ErrorKind::RefusedByProvider, httpStatus, processed,
                       std::move(detail));
    };
    const auto value = decodeBody(body, decodeError);
    if (!value) return refuse("JSON error: " + decodeError, notJsonWords(*response, decodeError));
    if (!value->is_object()) return refuse(statusCodeMessage(status), refusalWords(status, nullptr, nullptr));
    const auto* statusText = stringMember(*value, "status");
    if (const auto* message = stringMember(*value, "Message"))
        return refuse(*message, refusalWords(status, statusText, message));
    if (!statusText || !isErrorStatus(*statusText))
        return refuse(statusCodeMessage(status), refusalWords(status, statusText, nullptr));
    if (const auto* description = stringMember(*value, "errorDescription"))
        return refuse(*description, refusalWords(status, statusText, description));
    return refuse(statusCodeMessage(status), refusalWords(status, statusText, nullptr));
}

void handleNetworkResponse(const std::optional<std::string>& body,
                           const std::optional<ResponseInfo>& response, bool transportError,
                           const CompletionHandler& completionHandler, const ErrorHandler& errorHandler) {
    const TransferFailure broken{TransferCause::Broken, true};
    const Callbacks callbacks{completionHandler, errorHandler, {}};
    deliver(callbacks, outcomeOf(body, response, transportError ? &broken : nullptr));
}

namespace {

// The cause of a failure whose engine gave no words for it.
std::string generalWords(const TransferFailure& failure) {
    switch (failure.cause) {
        case TransferCause::TooLarge:
            return "answer larger than the library accepts";
        case TransferCause::TimedOut:
            return failure.requestSent ? "timed out after the request was sent"
                                       : "timed out before the request was sent";
        case TransferCause::NotStarted:
            return "could not start a transfer (out of memory or handles)";
        case TransferCause::Broken:
            break;
    }
    return failure.requestSent ? "connection broken before the whole answer arrived"
                               : "no connection to the provider";
}

}  // namespace

Error transferError(const TransferFailure& failure, std::string detail) {
    // curl's texts may quote what a server sent.
    detail = detail.empty() ? generalWords(failure) : escapeInvalidUtf8(detail);
    Error error{std::string(kClientError), ErrorKind::Interrupted, failure.httpStatus, true,
                std::move(detail)};
    switch (failure.cause) {
        case TransferCause::TooLarge:
            // The provider answered, so it has read the request.
            error.kind = ErrorKind::UnusableAnswer;
            break;
        case TransferCause::TimedOut:
            error.kind = ErrorKind::TimedOut;
            error.mayHaveBeenProcessed = failure.requestSent;
            break;
        case TransferCause::NotStarted:
            error.kind = ErrorKind::NotSent;
            error.mayHaveBeenProcessed = false;
            break;
        case TransferCause::Broken:
            if (!failure.requestSent) {
                // No connection, or one refused before a byte of the request
                // left.
                error.kind = ErrorKind::CouldNotConnect;
                error.mayHaveBeenProcessed = false;
            }
            break;
    }
    return error;
}

Outcome outcomeOf(const std::optional<std::string>& body, const std::optional<ResponseInfo>& response,
                  const TransferFailure* failure) {
    if (failure != nullptr) return Outcome(transferError(*failure));
    if (!body) return Outcome(transferError(TransferFailure{TransferCause::Broken, true}));
    return classifyAnswer(*body, response);
}

void deliver(const Callbacks& callbacks, Outcome&& outcome) {
    if (callbacks.outcome) return callbacks.outcome(std::move(outcome));
    if (outcome.ok()) {
        if (callbacks.completion) callbacks.completion(std::move(outcome).answer());
        return;
    }
    callError(callbacks.error, outcome.error().message);
}

// A refusal runs the handler on the caller's thread, inside the operation,
// which never throws: what the handler throws is dropped, as on the network
// thread.
void deliverRefusal(const Callbacks& callbacks, std::string message, std::string detail) {
    try {
        deliver(callbacks,
                Outcome(Error{std::move(message), ErrorKind::NotSent, 0, false, std::move(detail)}));
    } catch (...) {
    }
}

void deliverLoggedRefusal(const Callbacks& callbacks, std::string_view message, std::string_view detail) {
    try {
        if (callbacks.outcome) {
            callbacks.outcome(
                Outcome(Error{std::string(message), ErrorKind::NotSent, 0, false, std::string(detail)}));
        }
    } catch (...) {
    }
}

void endFutureAtStop(const Callbacks& callbacks, bool requestSent) noexcept {
    const auto* fulfil = callbacks.outcome.target<FulfilPromise>();
    if (fulfil == nullptr) return;
    try {
        const ErrorKind kind = requestSent ? ErrorKind::Interrupted : ErrorKind::NotSent;
        fulfil->promise->set_value(
            Outcome(Error{std::string(kClientError), kind, 0, requestSent,
                          requestSent ? "the library stopped after the request was sent"
                                      : "the library stopped before the request was sent"}));
    } catch (...) {
        // Already fulfilled, or no memory for the message: nothing more to do.
    }
}

}  // namespace qelsms::detail

namespace qelsms {

std::string_view toString(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::None:
            return "none";
        case ErrorKind::NotSent:
            return "not-sent";
        case ErrorKind::CouldNotConnect:
            return "could-not-connect";
        case ErrorKind::TimedOut:
            return "timed-out";
        case ErrorKind::Interrupted:
            return "interrupted";
        case ErrorKind::RefusedByProvider:
            return "refused-by-provider";
        case ErrorKind::UnusableAnswer:
            return "unusable-answer";
    }
    return "unknown";
}

}  // namespace qelsms
