#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

#include "answer_handling.hpp"
#include "utf8_text.hpp"

namespace qelsms::detail {
namespace {

struct Outcome {
    int completions = 0;
    int errors = 0;
    nlohmann::json value;
    std::string message;
};

Outcome handle(const std::optional<std::string>& body, const std::optional<ResponseInfo>& response,
               bool transportError = false) {
    Outcome outcome;
    handleNetworkResponse(
        body, response, transportError,
        [&](nlohmann::json value) {
            ++outcome.completions;
            outcome.value = std::move(value);
        },
        [&](std::string message) {
            ++outcome.errors;
            outcome.message = std::move(message);
        });
    return outcome;
}

ResponseInfo http(std::int64_t status, std::optional<std::string> mime = "application/json") {
    return ResponseInfo{true, status, std::move(mime)};
}

struct ErrorCase {
    const char* name;
    std::optional<std::string> body;
    std::optional<ResponseInfo> response;
    bool transportError;
    std::string expected;  // "JSON error: *" matches any decoder message
};

void PrintTo(const ErrorCase& c, std::ostream* os) {
    *os << c.name;
}

class ResponseHandlingErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(ResponseHandlingErrors, CallsTheErrorCallbackOnceWithTheExactMessage) {
    const auto& c = GetParam();
    const auto outcome = handle(c.body, c.response, c.transportError);
    EXPECT_EQ(outcome.completions, 0);
    ASSERT_EQ(outcome.errors, 1);
    if (c.expected == "JSON error: *") {
        EXPECT_EQ(outcome.message.rfind("JSON error: ", 0), 0u) << outcome.message;
        EXPECT_GT(outcome.message.size(), std::string("JSON error: ").size());
    } else {
        EXPECT_EQ(outcome.message, c.expected);
    }
}

const ErrorCase kErrorCases[] = {
    {"TransportErrorWithBody", R"({"a":1})", http(200), true, "Client error!"},
    {"NoErrorNoBody", std::nullopt, http(200), false, "Client error!"},
    {"TransportErrorWins", std::nullopt, std::nullopt, true, "Client error!"},
    {"NoResponse", R"({"a":1})", std::nullopt, false, "Response is not HTTPURLResponse"},
    {"NotHttp", R"({"a":1})", ResponseInfo{false, 200, "application/json"}, false,
     "Response is not HTTPURLResponse"},
    {"WrongMime", R"({"a":1})", http(200, "text/plain"), false, "Wrong MIME type!"},
    {"NoMime", R"({"a":1})", http(200, std::nullopt), false, "Wrong MIME type!"},
    {"MimeWithSuffix", R"({"a":1})", http(200, "application/json+x"), false, "Wrong MIME type!"},
    {"SuccessEmptyBody", "", http(200), false, "JSON error: *"},
    {"SuccessBareNumber", "42", http(200), false, "JSON error: *"},
    {"SuccessBareTrue", "true", http(200), false, "JSON error: *"},
    {"SuccessBareString", R"("hi")", http(200), false, "JSON error: *"},
    {"SuccessNull", "null", http(299), false, "JSON error: *"},
    {"SuccessInvalidJson", "{", http(200), false, "JSON error: *"},
    {"SuccessInvalidUtf8", "[\"\xff\"]", http(200), false, "JSON error: *"},
    {"Failure500Html", "<html>oops</html>", http(500, "text/html"), false, "JSON error: *"},
    {"FailureEmptyBody", "", http(404), false, "JSON error: *"},
    {"Failure400Array", "[1,2]", http(400), false, "Server error status code 400"},
    {"FailureMessageEmpty", R"({"Message":"","status":"error","errorDescription":"d"})", http(400), false,
     ""},
    {"FailureMessage", R"({"Message":"Invalid credentials"})", http(401), false, "Invalid credentials"},
    {"FailureMessageNumberStatusCaps", R"({"Message":5,"status":"ERROR","errorDescription":"low balance"})",
     http(400), false, "low balance"},
    {"FailureStatusMixedCase", R"({"status":"ErRoR","errorDescription":"x y "})", http(402), false, "x y "},
    {"FailureStatusErrorNoDescription", R"({"status":"error"})", http(400), false,
     "Server error status code 400"},
    {"FailureDescriptionNotString", R"({"status":"error","errorDescription":7})", http(400), false,
     "Server error status code 400"},
    {"FailureStatusLeadingBlank", R"({"status":" error","errorDescription":"d"})", http(400), false,
     "Server error status code 400"},
    {"FailureStatusOther", R"({"status":"failed","errorDescription":"d"})", http(400), false,
     "Server error status code 400"},
    {"FailureStatusNumber", R"({"status":1,"errorDescription":"d"})", http(400), false,
     "Server error status code 400"},
    {"FailureLowercaseMessageKey", R"({"message":"nope"})", http(400), false, "Server error status code 400"},
    {"FailureStatusDottedCapitalI", "{\"status\":\"ERRO\xc4\xb0\",\"errorDescription\":\"d\"}", http(400),
     false, "Server error status code 400"},
    {"Failure199", R"({"a":1})", http(199), false, "Server error status code 199"},
    {"Failure300", R"({"a":1})", http(300), false, "Server error status code 300"},
    {"Redirect302", R"({})", http(302, "text/html"), false, "Server error status code 302"},
    {"Failure503", R"({})", http(503), false, "Server error status code 503"},
    {"NegativeStatus", R"({})", http(-1), false, "Server error status code -1"},
};

INSTANTIATE_TEST_SUITE_P(Table, ResponseHandlingErrors, testing::ValuesIn(kErrorCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct SuccessCase {
    const char* name;
    std::string body;
    std::int64_t status;
};

void PrintTo(const SuccessCase& c, std::ostream* os) {
    *os << c.name;
}

class ResponseHandlingSuccess : public testing::TestWithParam<SuccessCase> {};

TEST_P(ResponseHandlingSuccess, PassesTheWholeDecodedValueToTheCompletionOnce) {
    const auto& c = GetParam();
    const auto outcome = handle(c.body, http(c.status));
    EXPECT_EQ(outcome.errors, 0) << outcome.message;
    ASSERT_EQ(outcome.completions, 1);
    EXPECT_EQ(outcome.value, nlohmann::json::parse(c.body));
}

const SuccessCase kSuccessCases[] = {
    {"Object", R"({"Balance":12.5,"Currency":"QAR"})", 200},
    {"Array", R"([1,"two",null])", 200},
    {"Status299", R"({})", 299},
    {"ErrorStatusInsideSuccess", R"({"status":"error","errorDescription":"ignored"})", 200},
    {"Depth512", std::string(512, '[') + std::string(512, ']'), 200},
};

INSTANTIATE_TEST_SUITE_P(Table, ResponseHandlingSuccess, testing::ValuesIn(kSuccessCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Plain answers are read without nlohmann's parser; whatever the text, the
// value (down to the kind of each number) or the error must be nlohmann's.
class DecodeLikeNlohmann : public testing::TestWithParam<const char*> {};

// The value with the kind of every number spelled out, so that an unsigned 1
// and a signed 1 don't compare equal as they would with operator==.
std::string typed(const nlohmann::json& value) {
    std::string out = value.dump();
    const nlohmann::json leaves = value.flatten();
    for (const auto& leaf : leaves) {
        out += ' ';
        out += leaf.is_number_unsigned()  ? 'u'
               : leaf.is_number_integer() ? 'i'
               : leaf.is_number_float()   ? 'f'
                                          : '-';
    }
    return out;
}

TEST_P(DecodeLikeNlohmann, GivesTheSameValueOrTheSameError) {
    const std::string text = GetParam();
    std::string error;
    const auto decoded = decodeBody(text, error);
    try {
        const auto reference = nlohmann::json::parse(text);
        if (!reference.is_structured()) {
            EXPECT_EQ(error, "top-level value is not an object or an array");
            return;
        }
        ASSERT_TRUE(decoded) << error;
        EXPECT_EQ(typed(*decoded), typed(reference));
    } catch (const nlohmann::json::exception& e) {
        EXPECT_FALSE(decoded);
        // nlohmann's words, with any byte that isn't UTF-8 (it may quote
        // the text it stopped at) written as \xNN.
        EXPECT_EQ(error, escapeInvalidUtf8(e.what()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DecodeLikeNlohmann,
    testing::Values(R"({"status":"success","username":"bench","balance":999999964645490})",
                    R"({"status":"success","messageId":"SBX1","numbers":1,"scheduled":false,"parts":1})",
                    "  {\r\n\t\"a\" : [ 1 , 2 ] , \"b\" : { } , \"c\" : [ ] }  ", R"([0,-1,7,-7])",
                    R"([999999999999999999,-999999999999999999])",
                    R"([1000000000000000000,18446744073709551615])",
                    R"([18446744073709551616,-9223372036854775808,-9223372036854775809])", R"([-0])",
                    R"([-0.0,1.5,2e3,1E-2])", R"([01])", R"([-])", R"([1.])", R"([.5])", R"([+1])",
                    R"({"a":1,"a":2,"b":{"a":3},"a":[4]})", R"({"":"","e":"\u00e9","q":"\"","s":"a/b"})",
                    "{\"raw\":\"caf\xc3\xa9\"}", "{\"bad\":\"\xff\"}", "{\"del\":\"\x7f\"}",
                    "{\"ctl\":\"a\tb\"}", R"([true,false,null])", R"([tru])", R"([nul])", R"({"a":1,})",
                    R"([1,])", R"({"a" 1})", R"({a:1})", R"({"a":1}x)", R"({"a":1}{"b":2})", R"([1] [2])",
                    R"({"a":)", R"({"a":"unterminated)", "", "   ", R"("just a string")", R"(42)"),
    [](const testing::TestParamInfo<const char*>& info) { return "Text" + std::to_string(info.index); });

TEST(ResponseHandlingDepth, RefusesNestingBeyond512Levels) {
    const std::string deep = std::string(513, '[') + std::string(513, ']');
    for (const std::int64_t status : {200, 400}) {
        const auto outcome = handle(deep, http(status));
        ASSERT_EQ(outcome.errors, 1);
        EXPECT_EQ(outcome.completions, 0);
        EXPECT_EQ(outcome.message, "JSON error: nesting depth exceeds 512 levels");
    }
}

TEST(ResponseHandlingDepth, BracketsInsideStringsDoNotCount) {
    const std::string body = R"({"a":")" + std::string(2000, '[') + R"(\"]"})";
    const auto outcome = handle(body, http(200));
    EXPECT_EQ(outcome.completions, 1) << outcome.message;
}

TEST(ResponseHandlingDepth, HugeNestingDoesNotCrash) {
    const std::string body(1 << 20, '[');
    const auto outcome = handle(body, http(500));
    EXPECT_EQ(outcome.errors, 1);
}

TEST(ResponseHandlingCallbacks, EmptyCallbacksAreIgnored) {
    handleNetworkResponse(std::string("{}"), http(200), false, nullptr, nullptr);
    handleNetworkResponse(std::nullopt, std::nullopt, true, nullptr, nullptr);
}

struct MimeCase {
    const char* header;
    std::optional<std::string> expected;
};

void PrintTo(const MimeCase& c, std::ostream* os) {
    *os << c.header;
}

class MimeType : public testing::TestWithParam<MimeCase> {};

TEST_P(MimeType, IsTheLowerCasedMediaTypeWithoutParameters) {
    EXPECT_EQ(mimeTypeOf(GetParam().header), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, MimeType,
                         testing::Values(MimeCase{"application/json", "application/json"},
                                         MimeCase{"application/json; charset=utf-8", "application/json"},
                                         MimeCase{"  Application/JSON ;charset=x", "application/json"},
                                         MimeCase{"\tapplication/json\t", "application/json"},
                                         MimeCase{"text/plain", "text/plain"}, MimeCase{"", std::nullopt},
                                         MimeCase{" ; charset=utf-8", std::nullopt},
                                         MimeCase{"application/problem+json", "application/problem+json"}));

// The outcome forms get the very message the error callback gets.
class OutcomeMessages : public testing::TestWithParam<ErrorCase> {};

TEST_P(OutcomeMessages, EqualTheErrorCallbacksMessage) {
    const auto& c = GetParam();
    const TransferFailure failure{TransferCause::Broken, true};
    const qelsms::Outcome outcome = outcomeOf(c.body, c.response, c.transportError ? &failure : nullptr);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().message, handle(c.body, c.response, c.transportError).message);
    EXPECT_NE(outcome.error().kind, ErrorKind::None);
}

INSTANTIATE_TEST_SUITE_P(Table, OutcomeMessages, testing::ValuesIn(kErrorCases),
                         [](const auto& info) { return std::string(info.param.name); });

// What an answer that arrived says about the provider having acted.
struct AnswerKindCase {
    const char* name;
    std::string body;
    std::optional<ResponseInfo> response;
    ErrorKind kind;
    int httpStatus;
    bool mayHaveBeenProcessed;
    // The cause in words: the media type or what the decoder found, never
    // its exception's tag nor the answer's bytes it last read.
    std::string detail;
};

void PrintTo(const AnswerKindCase& c, std::ostream* os) {
    *os << c.name;
}

class AnswerKinds : public testing::TestWithParam<AnswerKindCase> {};

TEST_P(AnswerKinds, ClassifyStatusAndWhetherTheProviderMayHaveActed) {
    const auto& c = GetParam();
    const qelsms::Outcome outcome = outcomeOf(c.body, c.response, nullptr);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().kind, c.kind) << toString(outcome.error().kind);
    EXPECT_EQ(outcome.error().httpStatus, c.httpStatus);
    EXPECT_EQ(outcome.error().mayHaveBeenProcessed, c.mayHaveBeenProcessed);
    EXPECT_EQ(outcome.error().detail, c.detail);
    EXPECT_TRUE(outcome.answer().is_null());
}

INSTANTIATE_TEST_SUITE_P(
    Table, AnswerKinds,
    testing::Values(
        AnswerKindCase{"Unauthorized", R"({"Message":"denied"})", http(401), ErrorKind::RefusedByProvider,
                       401, false, "the provider answered HTTP 401: denied"},
        AnswerKindCase{"TooManyRequestsHtml", "<html>slow down</html>", http(429, "text/html"),
                       ErrorKind::RefusedByProvider, 429, false, "answer is text/html, not JSON (HTTP 429)"},
        AnswerKindCase{"Redirect", "<html>moved</html>", http(302, "text/html"), ErrorKind::RefusedByProvider,
                       302, false, "answer is text/html, not JSON (HTTP 302)"},
        AnswerKindCase{"ServerError", R"({"status":"error","errorDescription":"x"})", http(500),
                       ErrorKind::RefusedByProvider, 500, true,
                       "the provider answered HTTP 500 (status \"error\"): x"},
        AnswerKindCase{"StatusWithoutDescription", R"({"status":"Failed"})", http(503),
                       ErrorKind::RefusedByProvider, 503, true,
                       "the provider answered HTTP 503 (status \"Failed\")"},
        AnswerKindCase{"ArrayRefusal", "[]", http(400), ErrorKind::RefusedByProvider, 400, false,
                       "the provider answered HTTP 400"},
        AnswerKindCase{"BadGatewayHtml", "<html></html>", http(502, "text/html"),
                       ErrorKind::RefusedByProvider, 502, true, "answer is text/html, not JSON (HTTP 502)"},
        AnswerKindCase{"ControlBytesInMediaType", "<p>", http(500, "text/\x1b[31mhtml"),
                       ErrorKind::RefusedByProvider, 500, true,
                       "answer is text/?[31mhtml, not JSON (HTTP 500)"},
        AnswerKindCase{"ServerErrorWithoutContentType", "oops", http(500, std::nullopt),
                       ErrorKind::RefusedByProvider, 500, true,
                       "answer has no Content-Type, not JSON (HTTP 500)"},
        AnswerKindCase{"WrongMediaType", "{}", http(200, "text/plain"), ErrorKind::UnusableAnswer, 200, true,
                       "answer is text/plain, not JSON (HTTP 200)"},
        AnswerKindCase{
            "NotJson", "Username=sentinel&Password=Sentinel-Pw", http(200), ErrorKind::UnusableAnswer, 200,
            true,
            "answer is not usable JSON (HTTP 200): parse error at line 1, column 1: syntax error while "
            "parsing value - invalid literal"},
        AnswerKindCase{"Scalar", "42", http(201), ErrorKind::UnusableAnswer, 201, true,
                       "answer is not usable JSON (HTTP 201): top-level value is not an object or an array"},
        AnswerKindCase{"NotHttp", "{}", ResponseInfo{false, 0, "application/json"}, ErrorKind::UnusableAnswer,
                       0, true, "answer is not HTTP"},
        AnswerKindCase{"NoHead", "{}", std::nullopt, ErrorKind::UnusableAnswer, 0, true,
                       "answer is not HTTP"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AnswerKinds, AnAcceptedAnswerIsOkWithTheDecodedValue) {
    const qelsms::Outcome outcome = outcomeOf(std::string(R"({"balance":7})"), http(200), nullptr);
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(outcome.answer(), (nlohmann::json{{"balance", 7}}));
    EXPECT_EQ(outcome.error().kind, ErrorKind::None);
}

// What an exchange that failed below HTTP says, by how far it got.
struct TransferCase {
    const char* name;
    TransferFailure failure;
    ErrorKind kind;
    bool mayHaveBeenProcessed;
};

void PrintTo(const TransferCase& c, std::ostream* os) {
    *os << c.name;
}

class TransferKinds : public testing::TestWithParam<TransferCase> {};

TEST_P(TransferKinds, ClassifyByHowFarTheExchangeGot) {
    const auto& c = GetParam();
    const qelsms::Error error = transferError(c.failure);
    EXPECT_EQ(error.message, "Client error!");
    EXPECT_EQ(error.kind, c.kind) << toString(error.kind);
    EXPECT_EQ(error.mayHaveBeenProcessed, c.mayHaveBeenProcessed);
    EXPECT_EQ(error.httpStatus, c.failure.httpStatus);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TransferKinds,
    testing::Values(
        TransferCase{"NoHandle", {TransferCause::NotStarted, false}, ErrorKind::NotSent, false},
        TransferCase{"NoConnection", {TransferCause::Broken, false}, ErrorKind::CouldNotConnect, false},
        TransferCase{"ConnectTimedOut", {TransferCause::TimedOut, false}, ErrorKind::TimedOut, false},
        TransferCase{"AnswerTimedOut", {TransferCause::TimedOut, true}, ErrorKind::TimedOut, true},
        TransferCase{"TimedOutMidAnswer", {TransferCause::TimedOut, true, 200}, ErrorKind::TimedOut, true},
        TransferCase{"ClosedWithoutAnswer", {TransferCause::Broken, true}, ErrorKind::Interrupted, true},
        TransferCase{"ResetMidAnswer", {TransferCause::Broken, true, 200}, ErrorKind::Interrupted, true},
        TransferCase{"TooLarge", {TransferCause::TooLarge, true, 200}, ErrorKind::UnusableAnswer, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ErrorKindNames, AreDistinct) {
    std::set<std::string_view> names;
    for (const ErrorKind kind :
         {ErrorKind::None, ErrorKind::NotSent, ErrorKind::CouldNotConnect, ErrorKind::TimedOut,
          ErrorKind::Interrupted, ErrorKind::RefusedByProvider, ErrorKind::UnusableAnswer}) {
        EXPECT_TRUE(names.insert(toString(kind)).second) << toString(kind);
    }
}

}  // namespace
}  // namespace qelsms::detail
