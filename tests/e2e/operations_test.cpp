#include <gtest/gtest.h>

#include <string>

#include <qelsms/qelsms.hpp>

#include "test_server.hpp"

namespace qelsms {
namespace {

using namespace std::chrono_literals;
using test::CallbackCollector;
using test::LoopbackServer;

class OperationsTest : public testing::Test {
protected:
    void SetUp() override {
        test::routeProductionHostTo(server_.port());
        server_.setHandler([](const httplib::Request&, httplib::Response& res) {
            res.set_content(R"({"status":"ok","Credits":7})", "application/json");
        });
        SMSManager::user = "user name&x";
        SMSManager::password = "p#ss%w+rd";
    }
    void TearDown() override {
        SMSManager::user = "";
        SMSManager::password = "";
    }

    test::ReceivedRequest onlyRequest(CallbackCollector& collector) {
        const auto outcome = collector.only();
        EXPECT_TRUE(outcome.value) << outcome.error.value_or("");
        EXPECT_NE(outcome.thread, std::this_thread::get_id());
        const auto received = server_.received();
        EXPECT_EQ(received.size(), 1u);
        return received.empty() ? test::ReceivedRequest{} : received.back();
    }

    static std::string query() { return "?Username=user%20name%26x&Password=p%23ss%25w%2Brd"; }

    LoopbackServer server_;
};

TEST_F(OperationsTest, GetBalanceGetsTheBalanceEndpoint) {
    CallbackCollector collector;
    SMSManager::GetBalance(collector.completion(), collector.error());
    const auto request = onlyRequest(collector);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/api/Credits/GetBalance/" + query());
    EXPECT_EQ(collector.outcomes().at(0).value->at("Credits"), 7);
}

TEST_F(OperationsTest, SingleSMSPostsItsBody) {
    CallbackCollector collector;
    SMSManager::SingleSMS({"97450000001", "97450000002"}, "Hello", "Shop", true, std::string(), std::nullopt,
                          false, std::string("https://q/b"), std::nullopt, collector.completion(),
                          collector.error());
    const auto request = onlyRequest(collector);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/api/SendSMS/SingleSMS/" + query());
    EXPECT_EQ(
        request.body,
        R"({"MobileNumbers":["97450000001","97450000002"],"Message":"Hello","SenderName":"Shop",)"
        R"("ReportRequired":true,"CallbackQueryString":"","Quorvi":false,"QuorviBaseURL":"https://q/b"})");
}

TEST_F(OperationsTest, BulkSMSPostsItsBody) {
    CallbackCollector collector;
    SMSManager::BulkSMS({"1", "1"}, "Hi", "S", "2030-01-01 09:00:00", true, std::string("ref"), false,
                        std::nullopt, true, false, true, std::nullopt, std::string(""),
                        collector.completion(), collector.error());
    const auto request = onlyRequest(collector);
    EXPECT_EQ(request.target, "/api/SendSMS/BulkSMS/" + query());
    EXPECT_EQ(
        request.body,
        R"({"MobileNumbers":["1","1"],"Message":"Hi","SenderName":"S","RemoveDuplicates":true,)"
        R"("ReportRequired":false,"ReturnIndividualResponse":true,"AsynchronousSubmission":false,)"
        R"("Quorvi":true,"QuorviFinalURL":"","ReferenceName":"ref","ScheduledDate":"2030-01-01 09:00:00"})");
}

TEST_F(OperationsTest, CustomSMSPostsOneEntryPerNumber) {
    CallbackCollector collector;
    SMSManager::CustomSMS({{"2", "b"}, {"1", "a"}}, "S", "", false, std::nullopt, false, std::nullopt, false,
                          false, false, std::nullopt, std::nullopt, collector.completion(),
                          collector.error());
    const auto request = onlyRequest(collector);
    EXPECT_EQ(request.target, "/api/SendSMS/CustomSMS/" + query());
    EXPECT_EQ(request.body,
              R"({"MessageDetails":[{"To":"1","Message":"a"},{"To":"2","Message":"b"}],"SenderName":"S",)"
              R"("RemoveDuplicates":false,"ReportRequired":false,"ReturnIndividualResponse":false,)"
              R"("AsynchronousSubmission":false,"Quorvi":false})");
}

TEST_F(OperationsTest, NamedFormsSendTheSameBodiesAsPositionalForms) {
    CallbackCollector positional;
    CallbackCollector named;
    SMSManager::BulkSMS({"1"}, "m", "s", "", false, std::nullopt, true, std::string("cb"), false, true, false,
                        std::nullopt, std::nullopt, positional.completion(), positional.error());
    ASSERT_TRUE(positional.waitFor(1));
    SMSManager::BulkSMS({.MobileNumbers = {"1"},
                         .Message = "m",
                         .SenderName = "s",
                         .ReportRequired = true,
                         .CallbackQueryString = "cb",
                         .AsynchronousSubmission = true},
                        named.completion(), named.error());
    ASSERT_TRUE(named.waitFor(1));
    SMSManager::SingleSMS({"1"}, "m", "s", false, std::nullopt, std::string("r"), true, std::nullopt,
                          std::nullopt, positional.completion(), positional.error());
    ASSERT_TRUE(positional.waitFor(2));
    SMSManager::SingleSMS(
        {.MobileNumbers = {"1"}, .Message = "m", .SenderName = "s", .ReferenceName = "r", .Quorvi = true},
        named.completion(), named.error());
    ASSERT_TRUE(named.waitFor(2));
    SMSManager::CustomSMS({{"1", "x"}}, "s", "d", true, std::nullopt, false, std::nullopt, true, false, false,
                          std::string("b"), std::nullopt, positional.completion(), positional.error());
    ASSERT_TRUE(positional.waitFor(3));
    SMSManager::CustomSMS({.MessageDetails = {{"1", "x"}},
                           .SenderName = "s",
                           .ScheduledDate = "d",
                           .RemoveDuplicates = true,
                           .ReturnIndividualResponse = true,
                           .QuorviBaseURL = "b"},
                          named.completion(), named.error());
    ASSERT_TRUE(named.waitFor(3));
    const auto received = server_.received();
    ASSERT_EQ(received.size(), 6u);
    for (std::size_t i = 0; i < 6; i += 2) {
        EXPECT_EQ(received[i].target, received[i + 1].target);
        EXPECT_EQ(received[i].body, received[i + 1].body);
    }
}

TEST_F(OperationsTest, ProviderRefusalReachesTheErrorCallback) {
    server_.setHandler([](const httplib::Request&, httplib::Response& res) {
        res.status = 401;
        res.set_content(R"({"Message":"Invalid username or password"})", "application/json");
    });
    CallbackCollector collector;
    SMSManager::GetBalance(collector.completion(), collector.error());
    ASSERT_TRUE(collector.waitFor(1));
    EXPECT_EQ(collector.outcomes().at(0).error.value_or(""), "Invalid username or password");
}

struct CredentialCase {
    const char* name;
    const char* user;
    const char* password;
};

void PrintTo(const CredentialCase& c, std::ostream* os) {
    *os << c.name;
}

class OperationsRefusal : public testing::TestWithParam<CredentialCase> {
protected:
    void TearDown() override {
        SMSManager::user = "";
        SMSManager::password = "";
    }
};

// Each operation's refusal arrives, once, before the call returns, and nothing
// is sent.
TEST_P(OperationsRefusal, MissingCredentialsAreRefusedBeforeReturn) {
    LoopbackServer server;
    test::routeProductionHostTo(server.port());
    SMSManager::user = GetParam().user;
    SMSManager::password = GetParam().password;
    std::vector<std::string> errors;
    int completions = 0;
    const auto done = [&](nlohmann::json) { ++completions; };
    const auto failed = [&](std::string m) { errors.push_back(std::move(m)); };
    SMSManager::GetBalance(done, failed);
    SMSManager::SingleSMS({.MobileNumbers = {"1"}}, done, failed);
    SMSManager::BulkSMS({.MobileNumbers = {"1"}}, done, failed);
    SMSManager::CustomSMS({.MessageDetails = {{"1", "x"}}}, done, failed);
    const std::string balance = "Kindly set user and password before checking balance";
    const std::string send = "Kindly set user and password before sending message";
    EXPECT_EQ(errors, (std::vector<std::string>{balance, send, send, send}));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(completions, 0);
    EXPECT_EQ(server.receivedCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, OperationsRefusal,
                         testing::Values(CredentialCase{"BothEmpty", "", ""},
                                         CredentialCase{"NoPassword", "u", ""},
                                         CredentialCase{"NoUser", "", "p"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A text that is not UTF-8 can't be sent as JSON: each sending operation
// refuses it before returning, in the JSON library's words, and sends nothing.
// Missing credentials still come first.
TEST_F(OperationsTest, TextThatIsNotUtf8IsRefusedBeforeReturn) {
    std::vector<std::string> errors;
    int completions = 0;
    const auto done = [&](nlohmann::json) { ++completions; };
    const auto failed = [&](std::string m) { errors.push_back(std::move(m)); };
    SMSManager::SingleSMS({.MobileNumbers = {"1"}, .Message = "caf\xe9"}, done, failed);
    SMSManager::BulkSMS({.MobileNumbers = {"1", "\xed\xa0\x80"}}, done, failed);
    SMSManager::CustomSMS({.MessageDetails = {{"1", "ok"}}, .ReferenceName = "\xe2\x82"}, done, failed);
    SMSManager::password = "";
    SMSManager::SingleSMS({.Message = "\xff"}, done, failed);
    const std::string prefix = "JSON error: [json.exception.type_error.316] ";
    EXPECT_EQ(errors, (std::vector<std::string>{prefix + "incomplete UTF-8 string; last byte: 0xE9",
                                                prefix + "invalid UTF-8 byte at index 1: 0xA0",
                                                prefix + "incomplete UTF-8 string; last byte: 0x82",
                                                "Kindly set user and password before sending message"}));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(completions, 0);
    EXPECT_EQ(server_.receivedCount(), 0u);
}

TEST(CustomSMSEmptyMap, LogsOneLineAndCallsNothingEvenWithoutCredentials) {
    for (const char* user : {"", "u"}) {
        SMSManager::user = user;
        SMSManager::password = user;
        int callbacks = 0;
        testing::internal::CaptureStdout();
        SMSManager::CustomSMS(
            {}, "S", "", false, std::nullopt, false, std::nullopt, false, false, false, std::nullopt,
            std::nullopt, [&](nlohmann::json) { ++callbacks; }, [&](std::string) { ++callbacks; });
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Sender list is empty\n");
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(callbacks, 0);
    }
    SMSManager::user = "";
    SMSManager::password = "";
}

TEST_F(OperationsTest, CredentialChangesReachTheNextRequest) {
    CallbackCollector collector;
    SMSManager::GetBalance(collector.completion(), collector.error());
    ASSERT_TRUE(collector.waitFor(1));
    SMSManager::user = "second";
    SMSManager::password = "pw";
    SMSManager::GetBalance(collector.completion(), collector.error());
    ASSERT_TRUE(collector.waitFor(2));
    const auto received = server_.received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1].target, "/api/Credits/GetBalance/?Username=second&Password=pw");
}

}  // namespace
}  // namespace qelsms
