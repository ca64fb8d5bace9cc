#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "operations.hpp"

namespace qelsms::detail {
namespace {

std::vector<std::string> keys(const nlohmann::ordered_json& body) {
    std::vector<std::string> out;
    for (const auto& [key, value] : body.items())
        out.push_back(key);
    return out;
}

using Keys = std::vector<std::string>;

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
    const auto body = buildSingleSMSBody(GetParam().request);
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
    const auto body = buildSingleSMSBody({.MobileNumbers = {"2", " 1 ", "2", ""},
                                          .Message = " text\n",
                                          .SenderName = "",
                                          .CallbackQueryString = "",
                                          .Quorvi = false});
    EXPECT_EQ(
        body.dump(),
        R"({"MobileNumbers":["2"," 1 ","2",""],"Message":" text\n","SenderName":"","ReportRequired":false,)"
        R"("CallbackQueryString":"","Quorvi":false})");
}

TEST(SingleSMSBodyValues, EmptyListIsAnEmptyArray) {
    const auto body = buildSingleSMSBody({});
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
    const auto body = buildBulkSMSBody(GetParam().request);
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
    auto body = buildBulkSMSBody({.RemoveDuplicates = true, .ReturnIndividualResponse = true});
    EXPECT_EQ(body["RemoveDuplicates"], true);
    EXPECT_EQ(body["ReportRequired"], false);
    EXPECT_EQ(body["ReturnIndividualResponse"], true);
    EXPECT_EQ(body["AsynchronousSubmission"], false);
    EXPECT_EQ(body["Quorvi"], false);
    body = buildBulkSMSBody({.ReportRequired = true, .AsynchronousSubmission = true, .Quorvi = true});
    EXPECT_EQ(body["RemoveDuplicates"], false);
    EXPECT_EQ(body["ReportRequired"], true);
    EXPECT_EQ(body["ReturnIndividualResponse"], false);
    EXPECT_EQ(body["AsynchronousSubmission"], true);
    EXPECT_EQ(body["Quorvi"], true);
}

TEST(BulkSMSBodyValues, DuplicateNumbersStayInCallerOrder) {
    const auto body = buildBulkSMSBody({.MobileNumbers = {"3", "1", "3"}, .RemoveDuplicates = true});
    EXPECT_EQ(body["MobileNumbers"], nlohmann::ordered_json({"3", "1", "3"}));
}

const Keys kCustomAlways = {
    "MessageDetails",         "SenderName", "RemoveDuplicates", "ReportRequired", "ReturnIndividualResponse",
    "AsynchronousSubmission", "Quorvi"};

TEST(CustomSMSBody, EmptyMapBuildsNothing) {
    EXPECT_TRUE(buildCustomSMSBody({}).is_null());
}

TEST(CustomSMSBody, MinimalHasTheSevenMembers) {
    const auto body = buildCustomSMSBody({.MessageDetails = {{"1", "a"}}});
    EXPECT_EQ(keys(body), kCustomAlways);
    EXPECT_FALSE(body.contains("Message"));
    EXPECT_FALSE(body.contains("MobileNumbers"));
}

TEST(CustomSMSBody, EverythingHasTheTwelveMembers) {
    const auto body = buildCustomSMSBody({.MessageDetails = {{"1", "a"}},
                                          .ScheduledDate = "d",
                                          .ReferenceName = "",
                                          .CallbackQueryString = "",
                                          .QuorviBaseURL = "",
                                          .QuorviFinalURL = ""});
    EXPECT_EQ(keys(body), plus(kCustomAlways, {"QuorviBaseURL", "QuorviFinalURL", "CallbackQueryString",
                                               "ReferenceName", "ScheduledDate"}));
}

TEST(CustomSMSBody, OneEntryPerPairWithToAndMessageOnly) {
    const auto body = buildCustomSMSBody(
        {.MessageDetails = {{"111", "same"}, {"222", "same"}, {"", ""}, {"333", "other"}}});
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

}  // namespace
}  // namespace qelsms::detail
