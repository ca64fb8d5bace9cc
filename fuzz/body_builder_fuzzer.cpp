// Fuzzes the request body writer with arbitrary strings (invalid UTF-8 and NUL
// bytes included): its text must be byte for byte what nlohmann::ordered_json
// dumps for the same members and parse back to exactly the strings that went
// in, or it must refuse the body with the JSON library's own error, which the
// POST transport reports as "JSON error: ...". Nothing else may happen.
//
// Input layout (FuzzedDataProvider): from the end, the operation, the counts
// and the presence flags; from the front, the strings, each terminated by a
// backslash followed by another character ("\\\\" is a literal backslash).
// Seeds: fuzz/corpus/body_builder_fuzzer/.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "request_body.hpp"
#include "request_members.hpp"

namespace {

using nlohmann::ordered_json;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "body_builder_fuzzer: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing past
// U+10FFFF.
bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t min = 0;
        std::uint32_t code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, min = 0x80, code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, min = 0x800, code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, min = 0x10000, code = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

class Strings {
public:
    explicit Strings(FuzzedDataProvider& input) : input_(input) {}

    std::string next() {
        std::string text = input_.ConsumeRandomLengthString(1024);
        allValid_ = allValid_ && isValidUtf8(text);
        return text;
    }
    std::optional<std::string> maybe() {
        if (!input_.ConsumeBool()) return std::nullopt;
        return next();
    }
    std::vector<std::string> list() {
        std::vector<std::string> items(input_.ConsumeIntegralInRange<std::size_t>(0, 8));
        for (auto& item : items)
            item = next();
        return items;
    }
    bool allValid() const { return allValid_; }

private:
    FuzzedDataProvider& input_;
    bool allValid_ = true;
};

void expectMember(const nlohmann::json& parsed, const char* key, const std::string& expected) {
    check(parsed.contains(key) && parsed[key] == expected, "a string member did not survive the round trip");
}

void expectOptional(const nlohmann::json& parsed, const char* key,
                    const std::optional<std::string>& expected) {
    if (expected) {
        expectMember(parsed, key, *expected);
    } else {
        check(!parsed.contains(key), "an absent member was written");
    }
}

void expectNumbers(const nlohmann::json& parsed, const std::vector<std::string>& expected) {
    check(parsed.at("MobileNumbers").get<std::vector<std::string>>() == expected, "the numbers changed");
}

template <class Request>
void expectOptionals(const nlohmann::json& parsed, const Request& request) {
    expectOptional(parsed, "CallbackQueryString", request.CallbackQueryString);
    expectOptional(parsed, "ReferenceName", request.ReferenceName);
    expectOptional(parsed, "QuorviBaseURL", request.QuorviBaseURL);
    expectOptional(parsed, "QuorviFinalURL", request.QuorviFinalURL);
    check(parsed.at("Quorvi") == request.Quorvi && parsed.at("ReportRequired") == request.ReportRequired,
          "a flag changed");
}

template <class Request>
void expectScheduling(const nlohmann::json& parsed, const Request& request) {
    if (request.ScheduledDate.empty()) {
        check(!parsed.contains("ScheduledDate"), "an empty ScheduledDate was written");
    } else {
        expectMember(parsed, "ScheduledDate", request.ScheduledDate);
    }
    check(parsed.at("RemoveDuplicates") == request.RemoveDuplicates &&
              parsed.at("ReturnIndividualResponse") == request.ReturnIndividualResponse &&
              parsed.at("AsynchronousSubmission") == request.AsynchronousSubmission,
          "a submission flag changed");
}

// The bodies as nlohmann::ordered_json builds them, member by member from the
// library's list of members: the reference the writer must match byte for
// byte, and error for error.
struct ReferenceMember {
    ordered_json& body;

    template <class Value>
    void operator()(std::string_view key, const Value& value) const {
        body[std::string(key)] = value;
    }
    void operator()(std::string_view key, const std::optional<std::string>& value) const {
        if (value) body[std::string(key)] = *value;
    }
    void operator()(std::string_view key, const qelsms::MessageMap& details) const {
        auto entries = ordered_json::array();
        for (const auto& [number, text] : details)
            entries.push_back(ordered_json{{"To", number}, {"Message", text}});
        body[std::string(key)] = std::move(entries);
    }
    void operator()(std::string_view key, qelsms::detail::NonEmptyString value) const {
        if (!value.value.empty()) body[std::string(key)] = value.value;
    }
};

template <class Request>
ordered_json referenceBody(const Request& request) {
    ordered_json body = ordered_json::object();
    qelsms::detail::forEachMember(request, ReferenceMember{body});
    return body;
}

// Checks the written body against the reference's dump(). Returns the parsed
// text, or nullopt when the body was refused.
template <class Request>
std::optional<nlohmann::json> checkWritten(const qelsms::detail::RequestBody& body, const Request& request,
                                           bool allValid) {
    std::string expected;
    std::string expectedError;
    try {
        expected = referenceBody(request).dump();
    } catch (const nlohmann::json::type_error& e) {
        check(e.id == 316, "the reference failed with an unexpected error");
        expectedError = e.what();
    }
    check(body.error == expectedError, "the body was not refused as the JSON library refuses it");
    check(body.json == expected, "the body differs from the JSON library's text");
    if (!expectedError.empty()) {
        check(!allValid, "valid UTF-8 was refused");
        return std::nullopt;
    }
    check(allValid, "invalid UTF-8 was written");
    for (const char c : body.json)
        check(static_cast<unsigned char>(c) >= 0x20, "a raw control character was written");
    nlohmann::json parsed = nlohmann::json::parse(body.json);  // throws, and so fails the run, if not JSON
    check(parsed.is_object(), "the body is not an object");
    return parsed;
}

void fuzzSingle(FuzzedDataProvider& input) {
    Strings strings(input);
    qelsms::SingleSMSRequest request;
    request.MobileNumbers = strings.list();
    request.Message = strings.next();
    request.SenderName = strings.next();
    request.ReportRequired = input.ConsumeBool();
    request.CallbackQueryString = strings.maybe();
    request.ReferenceName = strings.maybe();
    request.Quorvi = input.ConsumeBool();
    request.QuorviBaseURL = strings.maybe();
    request.QuorviFinalURL = strings.maybe();
    const auto parsed =
        checkWritten(qelsms::detail::writeSingleSMSBody(request), request, strings.allValid());
    if (!parsed) return;
    expectNumbers(*parsed, request.MobileNumbers);
    expectMember(*parsed, "Message", request.Message);
    expectMember(*parsed, "SenderName", request.SenderName);
    expectOptionals(*parsed, request);
}

void fuzzBulk(FuzzedDataProvider& input) {
    Strings strings(input);
    qelsms::BulkSMSRequest request;
    request.MobileNumbers = strings.list();
    request.Message = strings.next();
    request.SenderName = strings.next();
    request.ScheduledDate = strings.next();
    request.RemoveDuplicates = input.ConsumeBool();
    request.ReferenceName = strings.maybe();
    request.ReportRequired = input.ConsumeBool();
    request.CallbackQueryString = strings.maybe();
    request.ReturnIndividualResponse = input.ConsumeBool();
    request.AsynchronousSubmission = input.ConsumeBool();
    request.Quorvi = input.ConsumeBool();
    request.QuorviBaseURL = strings.maybe();
    request.QuorviFinalURL = strings.maybe();
    const auto parsed = checkWritten(qelsms::detail::writeBulkSMSBody(request), request, strings.allValid());
    if (!parsed) return;
    expectNumbers(*parsed, request.MobileNumbers);
    expectMember(*parsed, "Message", request.Message);
    expectMember(*parsed, "SenderName", request.SenderName);
    expectOptionals(*parsed, request);
    expectScheduling(*parsed, request);
}

void fuzzCustom(FuzzedDataProvider& input) {
    // A repeated number replaces the earlier text, so the map's validity is
    // judged on what it holds in the end.
    Strings entryStrings(input);
    qelsms::CustomSMSRequest request;
    const auto entries = input.ConsumeIntegralInRange<std::size_t>(0, 8);
    for (std::size_t i = 0; i < entries; ++i) {
        std::string number = entryStrings.next();
        request.MessageDetails[std::move(number)] = entryStrings.next();
    }
    bool entriesValid = true;
    for (const auto& [number, text] : request.MessageDetails)
        entriesValid = entriesValid && isValidUtf8(number) && isValidUtf8(text);
    Strings strings(input);
    request.SenderName = strings.next();
    request.ScheduledDate = strings.next();
    request.RemoveDuplicates = input.ConsumeBool();
    request.ReferenceName = strings.maybe();
    request.ReportRequired = input.ConsumeBool();
    request.CallbackQueryString = strings.maybe();
    request.ReturnIndividualResponse = input.ConsumeBool();
    request.AsynchronousSubmission = input.ConsumeBool();
    request.Quorvi = input.ConsumeBool();
    request.QuorviBaseURL = strings.maybe();
    request.QuorviFinalURL = strings.maybe();
    // The operations send nothing for an empty map; the writer still writes
    // an empty list.
    const auto parsed = checkWritten(qelsms::detail::writeCustomSMSBody(request), request,
                                     entriesValid && strings.allValid());
    if (!parsed) return;
    const auto& details = parsed->at("MessageDetails");
    check(details.size() == request.MessageDetails.size(), "entries were lost or added");
    std::size_t i = 0;
    for (const auto& [number, text] : request.MessageDetails) {
        check(details[i].size() == 2, "an entry has other members than To and Message");
        expectMember(details[i], "To", number);
        expectMember(details[i], "Message", text);
        ++i;
    }
    expectMember(*parsed, "SenderName", request.SenderName);
    expectOptionals(*parsed, request);
    expectScheduling(*parsed, request);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange(0, 2)) {
        case 0:
            fuzzSingle(input);
            break;
        case 1:
            fuzzBulk(input);
            break;
        default:
            fuzzCustom(input);
            break;
    }
    return 0;
}
