// The sandbox's request rate per account (--rate-limit) and its throttle
// fault: a 429 that says when to come back, charges nothing and reaches the
// library as a refusal the provider did not act on.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <qelsms/qelsms.hpp>

#include "sandbox_process.hpp"

namespace qelsms {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const std::string kSingle = "/api/SendSMS/SingleSMS/";
const std::string kBalance = "/api/Credits/GetBalance/";
const std::string kBody =
    R"({"MobileNumbers":["966500000001"],"Message":"Hi","SenderName":"Shop","ReportRequired":false,"Quorvi":false})";

std::string query(const std::string& user, const std::string& password) {
    return "?Username=" + user + "&Password=" + password;
}

httplib::Result submit(const test::SandboxProcess& sandbox, const std::string& user = "demo",
                       const std::string& password = "demo-password") {
    return sandbox.control().Post((kSingle + query(user, password)).c_str(), kBody, "application/json");
}

// At 0.2 requests per second an account has one request, then one every
// five seconds: requests made back to back after a reset meet a limit that
// holds however slowly a loaded machine runs them, as long as it takes less
// than five seconds to send three.
class SandboxRateLimit : public testing::Test {
protected:
    static void SetUpTestSuite() {
        sandbox_ = std::make_unique<test::SandboxProcess>(
            std::vector<std::string>{"--rate-limit", "0.2", "--account", "demo:demo-password:1000",
                                     "--account", "other:other-password:1000"});
    }
    static void TearDownTestSuite() { sandbox_.reset(); }
    void SetUp() override {
        sandbox_->route(10);
        ASSERT_NO_THROW(sandbox_->reset());
    }

    static inline std::unique_ptr<test::SandboxProcess> sandbox_;
};

TEST_F(SandboxRateLimit, BeyondTheRateA429SaysWhenToComeBackAndChargesNothing) {
    const httplib::Result first = submit(*sandbox_);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 200) << first->body;
    for (int i = 0; i < 2; ++i) {
        const httplib::Result refused = submit(*sandbox_);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 429) << refused->body;
        ASSERT_TRUE(refused->has_header("Retry-After"));
        const int retryAfter = std::stoi(refused->get_header_value("Retry-After"));
        EXPECT_GE(retryAfter, 1);
        EXPECT_LE(retryAfter, 5);
        const json body = json::parse(refused->body, nullptr, false);
        EXPECT_EQ(body.value("status", ""), "error") << refused->body;
        EXPECT_TRUE(body.value("errorDescription", "")
                        .starts_with("Too many requests: this account may make "
                                     "0.2 requests per second"))
            << refused->body;
    }
    EXPECT_EQ(sandbox_->balanceOf("demo"), 999) << "only the accepted request is charged";
    EXPECT_EQ(sandbox_->get("/sandbox/messages")["messages"].size(), 1u);
    const json counts = sandbox_->get("/sandbox/requests");
    EXPECT_EQ(counts["total"], 3);
    EXPECT_EQ(counts["rateLimited"], 2);
}

TEST_F(SandboxRateLimit, EachAccountHasARateOfItsOwn) {
    ASSERT_EQ(submit(*sandbox_)->status, 200);
    ASSERT_EQ(submit(*sandbox_)->status, 429);
    EXPECT_EQ(submit(*sandbox_, "other", "other-password")->status, 200);
}

TEST_F(SandboxRateLimit, BalanceQueriesCountAgainstTheSameRate) {
    ASSERT_EQ(submit(*sandbox_)->status, 200);
    const httplib::Result balance =
        sandbox_->control().Get((kBalance + query("demo", "demo-password")).c_str());
    ASSERT_TRUE(balance);
    EXPECT_EQ(balance->status, 429) << balance->body;
    EXPECT_TRUE(balance->has_header("Retry-After"));
}

// Credentials are checked first: a stranger neither learns about an account's
// rate nor uses it up.
TEST_F(SandboxRateLimit, WrongCredentialsAre401AndUseNothing) {
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(submit(*sandbox_, "demo", "wrong")->status, 401);
    EXPECT_EQ(submit(*sandbox_)->status, 200);
    EXPECT_EQ(submit(*sandbox_, "demo", "wrong")->status, 401)
        << "a refused stranger still gets 401, not 429";
    EXPECT_EQ(sandbox_->get("/sandbox/requests")["rateLimited"], 0);
}

TEST_F(SandboxRateLimit, ResetFillsTheBucketAgain) {
    ASSERT_EQ(submit(*sandbox_)->status, 200);
    ASSERT_EQ(submit(*sandbox_)->status, 429);
    sandbox_->reset();
    EXPECT_EQ(submit(*sandbox_)->status, 200);
    EXPECT_EQ(sandbox_->get("/sandbox/requests")["rateLimited"], 0);
}

TEST_F(SandboxRateLimit, TheLibraryReportsA429AsARefusalTheProviderDidNotActOn) {
    const Client client("demo", "demo-password", sandbox_->url());
    const SingleSMSRequest request{.MobileNumbers = {"966500000001"}, .Message = "Hi", .SenderName = "Shop"};
    const Outcome accepted = client.SingleSMS(request).get();
    ASSERT_TRUE(accepted.ok()) << accepted.error().message;

    const Outcome refused = client.SingleSMS(request).get();
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, ErrorKind::RefusedByProvider);
    EXPECT_EQ(refused.error().httpStatus, 429);
    EXPECT_FALSE(refused.error().mayHaveBeenProcessed);
    EXPECT_TRUE(refused.error().message.starts_with("Too many requests: ")) << refused.error().message;
    EXPECT_EQ(refused.attempts(), 1);
    EXPECT_EQ(sandbox_->requestsTo(kSingle), 2u) << "not retried";
    EXPECT_EQ(sandbox_->balanceOf("demo"), 999);
}

// The throttle fault, on a sandbox without a rate limit.

struct ThrottleCase {
    const char* name;
    json fault;
    std::optional<std::string> retryAfter;  // nullopt: no header
};

void PrintTo(const ThrottleCase& c, std::ostream* os) {
    *os << c.name;
}

class UnlimitedSandbox : public testing::Test {
protected:
    static void SetUpTestSuite() { sandbox_ = std::make_unique<test::SandboxProcess>(); }
    static void TearDownTestSuite() { sandbox_.reset(); }
    void SetUp() override { ASSERT_NO_THROW(sandbox_->reset()); }

    static inline std::unique_ptr<test::SandboxProcess> sandbox_;
};

class SandboxThrottle : public UnlimitedSandbox, public testing::WithParamInterface<ThrottleCase> {};

TEST_P(SandboxThrottle, Answers429WithItsRetryAfterAndChargesNothing) {
    const ThrottleCase& c = GetParam();
    json fault = c.fault;
    fault["type"] = "throttle";
    ASSERT_EQ(sandbox_->post("/sandbox/faults", fault)["status"], "success");

    const httplib::Result refused = submit(*sandbox_);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 429);
    EXPECT_EQ(refused->has_header("Retry-After"), c.retryAfter.has_value());
    if (c.retryAfter) {
        EXPECT_EQ(refused->get_header_value("Retry-After"), *c.retryAfter);
    }
    const json body = json::parse(refused->body, nullptr, false);
    EXPECT_EQ(body.value("status", ""), "error") << refused->body;
    EXPECT_EQ(body.value("errorDescription", ""), "Too many requests: try again later");

    EXPECT_EQ(sandbox_->balanceOf("demo"), 1000);
    EXPECT_EQ(sandbox_->get("/sandbox/messages")["messages"].size(), 0u);
    EXPECT_EQ(sandbox_->get("/sandbox/faults")["faults"].size(), 0u) << "used up by one request";
    EXPECT_EQ(submit(*sandbox_)->status, 200);
}

INSTANTIATE_TEST_SUITE_P(Table, SandboxThrottle,
                         testing::Values(ThrottleCase{"Seconds", {{"retryAfter", 3}}, "3"},
                                         ThrottleCase{"HttpDate",
                                                      {{"retryAfter", "Sun, 06 Nov 1994 08:49:37 GMT"}},
                                                      "Sun, 06 Nov 1994 08:49:37 GMT"},
                                         ThrottleCase{"Garbage", {{"retryAfter", "soon"}}, "soon"},
                                         ThrottleCase{"NoHeader", json::object(), std::nullopt}),
                         [](const auto& info) { return std::string(info.param.name); });

struct BadThrottleCase {
    const char* name;
    json retryAfter;
};

void PrintTo(const BadThrottleCase& c, std::ostream* os) {
    *os << c.name;
}

class SandboxBadThrottle : public UnlimitedSandbox, public testing::WithParamInterface<BadThrottleCase> {};

// A line break would end the header and let a test write headers of its own.
TEST_P(SandboxBadThrottle, IsRefusedAndArmsNothing) {
    const httplib::Result result = sandbox_->control().Post(
        "/sandbox/faults", json{{"type", "throttle"}, {"retryAfter", GetParam().retryAfter}}.dump(),
        "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 400);
    EXPECT_TRUE(json::parse(result->body).value("errorDescription", "").starts_with("\"retryAfter\" must be"))
        << result->body;
    EXPECT_EQ(sandbox_->get("/sandbox/faults")["faults"].size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, SandboxBadThrottle,
                         testing::Values(BadThrottleCase{"Negative", -1}, BadThrottleCase{"Fraction", 1.5},
                                         BadThrottleCase{"Boolean", true},
                                         BadThrottleCase{"Object", {{"s", 1}}},
                                         BadThrottleCase{"LineBreak", "1\r\nX-Injected: yes"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qelsms
