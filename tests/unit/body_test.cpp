#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "request_body.hpp"

namespace qelsms::detail {
namespace {

std::vector<std::string> keys(const nlohmann::ordered_json& body) {
    std::vector<std::string> out;
    for (const auto& [key, value] : body.items())
        out.push_back(key);
    return out;
}

using Keys = std::vector<std::string>;

// The written text, read back with its member order kept.
nlohmann::ordered_json parsed(const RequestBody& body) {
    EXPECT_EQ(body.error, "");
    return nlohmann::ordered_json::parse(body.json);
}

struct SingleCase {
    const char* name;
    SingleSMSRequest request;
    Keys expectedKeys;
};

void PrintTo(const SingleCase& c, std::ostream* os) {
    *os << c.name;
}

class SingleSMSBody : public testing::TestWithParam<SingleCase> {};

TEST_P(SingleSMSBody, HasExactlyTheMembersGivenInInsertionOrder) {
    const auto body = parsed(writeSingleSMSBody(GetParam().request));
    EXPECT_EQ(keys(body), GetParam().expectedKeys);
    for (const auto& [key, value] : body.items())
        EXPECT_FALSE(value.is_null()) << key;
}

const SingleCase kSingleCases[] = {
    {"AllOptionalsAbsent",
     {.MobileNumbers = {"97450000001"}, .Message = "hi", .SenderName = "S"},
     {"MobileNumbers", "Message", "SenderName", "ReportRequired", "Quorvi"}},
    {"AllOptionalsPresent",
     {.MobileNumbers = {"1"},
      .Message = "m",
      .SenderName = "s",
      .ReportRequired = true,
      .CallbackQueryString = "cb",
      .ReferenceName = "ref",
      .Quorvi = true,
      .QuorviBaseURL = "b",
      .QuorviFinalURL = "f"},
     {"MobileNumbers", "Message", "SenderName", "ReportRequired", "CallbackQueryString", "Quorvi",
      "ReferenceName", "QuorviBaseURL", "QuorviFinalURL"}},
    {"EmptyOptionalsArePresent",
     {.CallbackQueryString = "", .ReferenceName = ""},
     {"MobileNumbers", "Message", "SenderName", "ReportRequired", "CallbackQueryString", "Quorvi",
      "ReferenceName"}},
    {"QuorviUrlsWithoutFlag",
     {.Quorvi = false, .QuorviBaseURL = "b"},
     {"MobileNumbers", "Message", "SenderName", "ReportRequired", "Quorvi", "QuorviBaseURL"}},
};

INSTANTIATE_TEST_SUITE_P(Table, SingleSMSBody, testing::ValuesIn(kSingleCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SingleSMSBodyValues, PassUnchanged) {
    const auto body = writeSingleSMSBody({.MobileNumbers = {"2", " 1 ", "2", ""},
                                          .Message = " text\n",
                                          .SenderName = "",
                                          .CallbackQueryString = "",
                                          .Quorvi = false});
    EXPECT_EQ(body.error, "");
    EXPECT_EQ(
        body.json,
        R"({"MobileNumbers":["2"," 1 ","2",""],"Message":" text\n","SenderName":"","ReportRequired":false,)"
        R"("CallbackQueryString":"","Quorvi":false})");
}

TEST(SingleSMSBodyValues, EmptyListIsAnEmptyArray) {
    const auto body = parsed(writeSingleSMSBody({}));
    ASSERT_TRUE(body["MobileNumbers"].is_array());
    EXPECT_TRUE(body["MobileNumbers"].empty());
}

struct BulkCase {
    const char* name;
    BulkSMSRequest request;
    Keys expectedKeys;
};

void PrintTo(const BulkCase& c, std::ostream* os) {
    *os << c.name;
}

const Keys kBulkAlways = {"MobileNumbers",          "Message",        "SenderName",
                          "RemoveDuplicates",       "ReportRequired", "ReturnIndividualResponse",
                          "AsynchronousSubmission", "Quorvi"};

Keys plus(Keys base, const Keys& more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
}

class BulkSMSBody : public testing::TestWithParam<BulkCase> {};

TEST_P(BulkSMSBody, HasExactlyTheMembersGivenInInsertionOrder) {
    const auto body = parsed(writeBulkSMSBody(GetParam().request));
    EXPECT_EQ(keys(body), GetParam().expectedKeys);
    for (const auto& [key, value] : body.items())
        EXPECT_FALSE(value.is_null()) << key;
}

const BulkCase kBulkCases[] = {
    {"Minimal", {}, kBulkAlways},
    {"Everything",
     {.ScheduledDate = "2030-01-01 10:00:00",
      .ReferenceName = "r",
      .CallbackQueryString = "c",
      .QuorviBaseURL = "b",
      .QuorviFinalURL = "f"},
     plus(kBulkAlways,
          {"QuorviBaseURL", "QuorviFinalURL", "CallbackQueryString", "ReferenceName", "ScheduledDate"})},
    {"EmptyReferenceNameIsSent", {.ReferenceName = ""}, plus(kBulkAlways, {"ReferenceName"})},
    {"OneSpaceScheduledDateIsSent", {.ScheduledDate = " "}, plus(kBulkAlways, {"ScheduledDate"})},
    {"QuorviUrlsWithoutFlag",
     {.Quorvi = false, .QuorviBaseURL = "b", .QuorviFinalURL = "f"},
     plus(kBulkAlways, {"QuorviBaseURL", "QuorviFinalURL"})},
};

INSTANTIATE_TEST_SUITE_P(Table, BulkSMSBody, testing::ValuesIn(kBulkCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BulkSMSBodyValues, BooleansAreAlwaysSentAndKeepTheirPlace) {
    auto body = parsed(writeBulkSMSBody({.RemoveDuplicates = true, .ReturnIndividualResponse = true}));
    EXPECT_EQ(body["RemoveDuplicates"], true);
    EXPECT_EQ(body["ReportRequired"], false);
    EXPECT_EQ(body["ReturnIndividualResponse"], true);
    EXPECT_EQ(body["AsynchronousSubmission"], false);
    EXPECT_EQ(body["Quorvi"], false);
    body = parsed(writeBulkSMSBody({.ReportRequired = true, .AsynchronousSubmission = true, .Quorvi = true}));
    EXPECT_EQ(body["RemoveDuplicates"], false);
    EXPECT_EQ(body["ReportRequired"], true);
    EXPECT_EQ(body["ReturnIndividualResponse"], false);
    EXPECT_EQ(body["AsynchronousSubmission"], true);
    EXPECT_EQ(body["Quorvi"], true);
}

TEST(BulkSMSBodyValues, DuplicateNumbersStayInCallerOrder) {
    const auto body = parsed(writeBulkSMSBody({.MobileNumbers = {"3", "1", "3"}, .RemoveDuplicates = true}));
    EXPECT_EQ(body["MobileNumbers"], nlohmann::ordered_json({"3", "1", "3"}));
}

const Keys kCustomAlways = {
    "MessageDetails",         "SenderName", "RemoveDuplicates", "ReportRequired", "ReturnIndividualResponse",
    "AsynchronousSubmission", "Quorvi"};

TEST(CustomSMSBody, MinimalHasTheSevenMembers) {
    const auto body = parsed(writeCustomSMSBody({.MessageDetails = {{"1", "a"}}}));
    EXPECT_EQ(keys(body), kCustomAlways);
    EXPECT_FALSE(body.contains("Message"));
    EXPECT_FALSE(body.contains("MobileNumbers"));
}

TEST(CustomSMSBody, EverythingHasTheTwelveMembers) {
    const auto body = parsed(writeCustomSMSBody({.MessageDetails = {{"1", "a"}},
                                                 .ScheduledDate = "d",
                                                 .ReferenceName = "",
                                                 .CallbackQueryString = "",
                                                 .QuorviBaseURL = "",
                                                 .QuorviFinalURL = ""}));
    EXPECT_EQ(keys(body), plus(kCustomAlways, {"QuorviBaseURL", "QuorviFinalURL", "CallbackQueryString",
                                               "ReferenceName", "ScheduledDate"}));
}

TEST(CustomSMSBody, OneEntryPerPairWithToAndMessageOnly) {
    const auto body = parsed(writeCustomSMSBody(
        {.MessageDetails = {{"111", "same"}, {"222", "same"}, {"", ""}, {"333", "other"}}}));
    const auto& entries = body["MessageDetails"];
    ASSERT_EQ(entries.size(), 4u);
    std::map<std::string, std::string> seen;
    for (const auto& entry : entries) {
        EXPECT_EQ(keys(entry), (Keys{"To", "Message"}));
        seen[entry["To"]] = entry["Message"];
    }
    EXPECT_EQ(seen, (std::map<std::string, std::string>{
                        {"111", "same"}, {"222", "same"}, {"", ""}, {"333", "other"}}));
}

// The body's strings must come out exactly as nlohmann::json writes them, and
// be refused with its words where it refuses them.
struct TextCase {
    const char* name;
    std::string text;
};

void PrintTo(const TextCase& c, std::ostream* os) {
    *os << c.name;
}

class BodyText : public testing::TestWithParam<TextCase> {};

TEST_P(BodyText, IsWrittenOrRefusedAsTheJsonLibraryWould) {
    const std::string& text = GetParam().text;
    std::string expectedJson;
    std::string expectedError;
    try {
        expectedJson = nlohmann::ordered_json{
            {"MobileNumbers", nlohmann::ordered_json::array({text})},
            {"Message", text},
            {"SenderName", ""},
            {"ReportRequired", false},
            {"Quorvi",
             false}}.dump();
    } catch (const nlohmann::json::exception& e) {
        expectedError = e.what();
    }
    const auto body = writeSingleSMSBody({.MobileNumbers = {text}, .Message = text});
    EXPECT_EQ(body.error, expectedError);
    EXPECT_EQ(body.json, expectedJson);
}

std::string allControlCharacters() {
    std::string text;
    for (int c = 0; c < 0x20; ++c)
        text.push_back(static_cast<char>(c));
    return text + "\x7f";
}

const TextCase kTextCases[] = {
    {"Empty", ""},
    {"Ascii", "Hello, world 0123 ~!@#$%^&*()"},
    {"QuoteAndBackslash", "say \"hi\" \\ bye \\\""},
    {"ControlCharacters", allControlCharacters()},
    {"EmbeddedNul", std::string("a\0b", 3)},
    {"TwoByte", "\xd9\x85\xd8\xb1\xd8\xad\xd8\xa8\xd8\xa7"},
    {"ThreeByte", "\xe2\x82\xac \xef\xbf\xbf"},
    {"FourByte", "\xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"},
    {"LowestOfEachLength", "\xc2\x80\xe0\xa0\x80\xf0\x90\x80\x80"},
    {"InvalidLeadByte", "ab\xff"},
    {"LoneContinuation", "\x80"},
    {"OverlongTwoByte", "x\xc0\xaf"},
    {"OverlongThreeByte", "\xe0\x80\xaf"},
    {"OverlongFourByte", "\xf0\x80\x80\xaf"},
    {"Surrogate", "\xed\xa0\x80"},
    {"PastU10FFFF", "\xf4\x90\x80\x80"},
    {"LeadF5", "\xf5\x80\x80\x80"},
    {"BadSecondByte", "\xe2\x41\x82"},
    {"BadThirdByte", "\xe2\x82\x41"},
    {"TruncatedAtEnd", "euro \xe2\x82"},
    {"TruncatedFourByte", "\xf0\x9f\x98"},
    {"LatinOne", "caf\xe9"},
};

INSTANTIATE_TEST_SUITE_P(Table, BodyText, testing::ValuesIn(kTextCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Plain text is checked eight bytes at a time: a byte that needs a look must
// be found wherever it falls in a word, and in a list of numbers wherever the
// number falls in the list.
std::string dumped(const std::vector<std::string>& numbers, const std::string& message) {
    return nlohmann::ordered_json{{"MobileNumbers", numbers},
                                  {"Message", message},
                                  {"SenderName", ""},
                                  {"ReportRequired", false},
                                  {"Quorvi", false}}
        .dump();
}

TEST(BodyTextOffsets, ABytePastThePlainRunIsFoundAtEveryOffset) {
    for (const std::string special : {"\"", "\\", "\x1f", "\n", "\xc3\xa9", "\x7f", "~"}) {
        for (std::size_t at = 0; at < 19; ++at) {
            const std::string text = std::string(at, 'a') + special + std::string(19 - at, 'b');
            const std::vector<std::string> numbers = {"+96550000001", text, "+96550000002"};
            const auto body = writeSingleSMSBody({.MobileNumbers = numbers, .Message = text});
            ASSERT_EQ(body.json, dumped(numbers, text)) << "at " << at;
        }
    }
}

TEST(BodyTextOffsets, AnInvalidNumberAnywhereInTheListIsRefused) {
    for (std::size_t at = 0; at < 4; ++at) {
        std::vector<std::string> numbers(4, "+96550000001");
        numbers[at] = "+9655000\xff";
        const auto body = writeBulkSMSBody({.MobileNumbers = numbers, .Message = "ok"});
        EXPECT_EQ(body.error, "[json.exception.type_error.316] invalid UTF-8 byte at index 8: 0xFF");
        EXPECT_TRUE(body.json.empty());
    }
}

TEST(BodyTextErrors, TheFirstInvalidStringInTheBodyIsReported) {
    const auto body = writeBulkSMSBody({.MobileNumbers = {"1", "2\xc3"},
                                        .Message = "\xff",
                                        .ReferenceName = "\x80",
                                        .QuorviBaseURL = "\xfe"});
    EXPECT_EQ(body.error, "[json.exception.type_error.316] incomplete UTF-8 string; last byte: 0xC3");
    const auto custom =
        writeCustomSMSBody({.MessageDetails = {{"1", "ok"}, {"2", "x\xfey"}}, .SenderName = "\xff"});
    EXPECT_EQ(custom.error, "[json.exception.type_error.316] invalid UTF-8 byte at index 1: 0xFE");
}

// The answer's limit and the deadline grow with the numbers a body sends to.
TEST(BodyNumbers, CountTheDestinationsOfEachOperation) {
    EXPECT_EQ(writeSingleSMSBody({.MobileNumbers = {"97450000001", "97450000002"}}).numbers, 2u);
    EXPECT_EQ(writeBulkSMSBody({.MobileNumbers = {"97450000001", "97450000002", "97450000001"}}).numbers, 3u);
    EXPECT_EQ(writeCustomSMSBody({.MessageDetails = {{"97450000001", "a"}, {"97450000002", "b"}}}).numbers,
              2u);
    EXPECT_EQ(writeBulkSMSBody({}).numbers, 0u);
}

}  // namespace
}  // namespace qelsms::detail
