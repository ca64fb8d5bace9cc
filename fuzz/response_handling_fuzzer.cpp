// Fuzzes the handling of a finished exchange: whatever the status, the
// Content-Type and the body, exactly one callback runs, once, and it is the
// one the answer calls for.
//
// Input layout (FuzzedDataProvider): from the end, a flag byte, a status
// selector and the status; from the front, the Content-Type value as a
// backslash-terminated string, then the body. Seeds: fuzz/corpus/response_handling_fuzzer/.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "answer_handling.hpp"
#include "utf8_text.hpp"

namespace {

using qelsms::detail::ResponseInfo;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "response_handling_fuzzer: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

bool startsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Nesting depth of a decoded value, without recursion: the bodies may nest far
// deeper than the stack would like.
int depthOf(const nlohmann::json& root) {
    int deepest = 0;
    std::vector<std::pair<const nlohmann::json*, int>> stack{{&root, 1}};
    while (!stack.empty()) {
        const auto [value, depth] = stack.back();
        stack.pop_back();
        if (!value->is_structured()) continue;
        deepest = std::max(deepest, depth);
        for (const auto& child : *value)
            stack.emplace_back(&child, depth + 1);
    }
    return deepest;
}

// Same type and same value all the way down: nlohmann's operator== would
// call an unsigned 5 and a signed 5 equal, which a caller can tell apart.
bool identical(const nlohmann::json& a, const nlohmann::json& b) {
    if (a.type() != b.type()) return false;
    if (a.is_object()) {
        if (a.size() != b.size()) return false;
        for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
            if (ia.key() != ib.key() || !identical(*ia, *ib)) return false;
        }
        return true;
    }
    if (a.is_array()) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (!identical(a[i], b[i])) return false;
        }
        return true;
    }
    return a == b;
}

// decodeBody reads plain answers itself and leaves the rest to nlohmann: what
// it returns must be exactly what nlohmann::json::parse makes of the text, and
// its errors nlohmann's own.
void checkDecodeAgainstNlohmann(const std::string& text) {
    std::string error;
    const auto decoded = qelsms::detail::decodeBody(text, error);
    if (!decoded && startsWith(error, "nesting depth exceeds")) return;
    try {
        const auto reference = nlohmann::json::parse(text);
        if (reference.is_object() || reference.is_array()) {
            check(decoded.has_value(), "a text nlohmann reads was refused");
            // At most 512 levels deep here, so the recursion stays shallow.
            check(identical(*decoded, reference), "the decoded value differs from nlohmann's");
        } else {
            check(!decoded && error == "top-level value is not an object or an array",
                  "a bare value was not refused");
        }
    } catch (const nlohmann::json::exception& e) {
        // In its words, with any byte that isn't UTF-8 written as \xNN.
        check(!decoded && error == qelsms::detail::escapeInvalidUtf8(e.what()),
              "a text nlohmann refuses was not refused in its words");
    }
}

void checkMimeType(const std::string& contentType) {
    const auto mime = qelsms::detail::mimeTypeOf(contentType);
    if (!mime) return;
    check(!mime->empty(), "mimeTypeOf returned an empty type");
    check(mime->find(';') == std::string::npos, "mimeTypeOf kept a parameter");
    for (const char c : *mime)
        check(c < 'A' || c > 'Z', "mimeTypeOf left an upper-case letter");
    const char first = mime->front();
    const char last = mime->back();
    check(first != ' ' && first != '\t' && last != ' ' && last != '\t', "mimeTypeOf left blanks");
    check(qelsms::detail::mimeTypeOf(*mime) == mime, "mimeTypeOf is not idempotent");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto flags = input.ConsumeIntegral<std::uint8_t>();
    const bool transportError = (flags & 0x01) != 0;
    const bool hasBody = (flags & 0x02) == 0;
    const bool hasResponse = (flags & 0x04) == 0;
    const bool isHttp = (flags & 0x08) == 0;
    const bool hasContentType = (flags & 0x10) == 0;
    const bool withoutHandlers = (flags & 0x20) != 0;
    const std::int64_t status = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::int64_t>(100, 599)
                                                    : input.ConsumeIntegral<std::int64_t>();
    const std::string contentType = input.ConsumeRandomLengthString(256);
    const std::string bodyText = input.ConsumeRemainingBytesAsString();
    checkMimeType(contentType);
    checkDecodeAgainstNlohmann(bodyText);

    std::optional<std::string> body;
    if (hasBody) body = bodyText;
    std::optional<ResponseInfo> response;
    if (hasResponse) {
        response.emplace();
        response->isHttp = isHttp;
        response->statusCode = status;
        if (hasContentType) response->mimeType = qelsms::detail::mimeTypeOf(contentType);
    }

    if (withoutHandlers) {
        // Absent callbacks are simply not called.
        qelsms::detail::handleNetworkResponse(body, response, transportError, nullptr, nullptr);
        return 0;
    }

    int completions = 0;
    int errors = 0;
    std::optional<nlohmann::json> value;
    std::string error;
    qelsms::detail::handleNetworkResponse(
        body, response, transportError,
        [&](nlohmann::json v) {
            ++completions;
            value = std::move(v);
        },
        [&](std::string e) {
            ++errors;
            error = std::move(e);
        });
    check(completions + errors == 1, "not exactly one callback");

    if (transportError || !hasBody) {
        check(errors == 1 && error == "Client error!", "a failed exchange is not a client error");
        return 0;
    }
    if (!hasResponse || !isHttp) {
        check(errors == 1 && error == "Response is not HTTPURLResponse", "a non-HTTP answer was accepted");
        return 0;
    }
    if (status < 200 || status > 299) {
        check(errors == 1, "an answer with a failure status completed");
        return 0;
    }
    if (!response->mimeType || *response->mimeType != "application/json") {
        check(errors == 1 && error == "Wrong MIME type!", "an answer of another media type was decoded");
        return 0;
    }

    // A 2xx JSON answer: completes exactly when the body is an object or an
    // array within the depth limit, with the value the body holds.
    std::optional<nlohmann::json> expected;
    try {
        expected = nlohmann::json::parse(bodyText);
    } catch (const nlohmann::json::exception&) {
    }
    const bool acceptable =
        expected && expected->is_structured() && depthOf(*expected) <= qelsms::detail::kMaxJsonDepth;
    if (acceptable) {
        check(completions == 1, "a valid answer was refused");
        check(*value == *expected, "the delivered value differs from the body");
    } else {
        check(errors == 1 && startsWith(error, "JSON error: "), "an undecodable answer was not a JSON error");
    }
    return 0;
}
