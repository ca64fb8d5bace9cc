// Pacing and retries end to end, against the sandbox and loopback servers: a
// client's rate spaces its requests, a 429 pauses its account, a throttled
// client never delays another, and a retry is made only where the provider
// certainly did not act, so no request reaches a server twice.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <qelsms/qelsms.hpp>

#include "sandbox_process.hpp"
#include "test_server.hpp"

namespace qelsms {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

const std::string kSingle = "/api/SendSMS/SingleSMS/";
const SingleSMSRequest kRequest{.MobileNumbers = {"966500000001"}, .Message = "Hi", .SenderName = "Shop"};

class Pacing : public testing::Test {
protected:
    static void SetUpTestSuite() { sandbox_ = std::make_unique<test::SandboxProcess>(); }
    static void TearDownTestSuite() { sandbox_.reset(); }
    void SetUp() override {
        sandbox_->route(10);
        ASSERT_NO_THROW(sandbox_->reset());
    }

    static Client client(AccountOptions options) {
        return Client("demo", "demo-password", sandbox_->url(), options);
    }

    static inline std::unique_ptr<test::SandboxProcess> sandbox_;
};

TEST_F(Pacing, AClientsRateSpacesItsRequestsAndTheyWaitInTheQueue) {
    const Client paced = client({.requestsPerSecond = 5, .burst = 1});
    std::vector<std::future<Outcome>> calls;
    for (int i = 0; i < 6; ++i)
        calls.push_back(paced.SingleSMS(kRequest));
    const EngineStats waiting = engineStats();
    EXPECT_GE(waiting.queued, 4u) << "five wait for their pace, one may have left";
    std::vector<Clock::time_point> ended;
    for (auto& call : calls) {
        const Outcome outcome = call.get();
        ended.push_back(Clock::now());
        EXPECT_TRUE(outcome.ok()) << outcome.error().message;
    }
    // Six requests at five a second take at least a second from the first
    // start; the first answer comes after the first start.
    EXPECT_GE(ended.back() - ended.front(), 900ms);
    EXPECT_EQ(sandbox_->requestsTo(kSingle), 6u);
    EXPECT_TRUE(waitForPending(5s));
    const EngineStats after = engineStats();
    EXPECT_EQ(after.queued, 0u);
    EXPECT_EQ(after.inFlight, 0u);
    EXPECT_EQ(after.waitingToRetry, 0u);
    EXPECT_GE(after.completed, waiting.completed + 6);
}

TEST_F(Pacing, A429PausesTheAccountForItsRetryAfterWithoutRetrying) {
    const Client unretried = client({});
    sandbox_->armFault({{"type", "throttle"}, {"retryAfter", 2}, {"path", kSingle}});
    const Outcome refused = unretried.SingleSMS(kRequest).get();
    const auto refusedAt = Clock::now();
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, ErrorKind::RefusedByProvider);
    EXPECT_EQ(refused.error().httpStatus, 429);
    EXPECT_FALSE(refused.error().mayHaveBeenProcessed);
    EXPECT_EQ(refused.error().message, "Too many requests: try again later");
    EXPECT_EQ(refused.attempts(), 1);

    const Outcome next = unretried.SingleSMS(kRequest).get();
    EXPECT_TRUE(next.ok()) << next.error().message;
    EXPECT_GE(Clock::now() - refusedAt, 1500ms) << "the account waited out the Retry-After";
    EXPECT_EQ(sandbox_->requestsTo(kSingle), 2u);
}

TEST_F(Pacing, AThrottledClientNeverDelaysAnUnlimitedOne) {
    // One request every five seconds, and a 429 that pauses it for four.
    const Client throttled = client({.requestsPerSecond = 0.2, .burst = 1});
    const Client unlimited = client({});
    sandbox_->armFault({{"type", "throttle"}, {"retryAfter", 4}, {"path", kSingle}});
    std::future<Outcome> first = throttled.SingleSMS(kRequest);
    ASSERT_EQ(first.get().error().httpStatus, 429);
    std::future<Outcome> held = throttled.SingleSMS(kRequest);
    std::vector<std::future<Outcome>> free;
    for (int i = 0; i < 5; ++i)
        free.push_back(unlimited.SingleSMS(kRequest));
    for (auto& call : free) {
        const Outcome outcome = call.get();
        EXPECT_TRUE(outcome.ok()) << outcome.error().message;
    }
    EXPECT_EQ(held.wait_for(0s), std::future_status::timeout)
        << "the throttled client's request waits out its pause while the other's went";
    EXPECT_EQ(engineStats().queued, 1u);
    EXPECT_TRUE(held.get().ok());
}

TEST_F(Pacing, A429IsRetriedAfterItsRetryAfterAndCountsItsTries) {
    const Client retried = client({.retry = {.maxAttempts = 3, .firstDelay = 50ms}});
    sandbox_->armFault({{"type", "throttle"}, {"retryAfter", 1}, {"path", kSingle}});
    const auto start = Clock::now();
    const Outcome outcome = retried.SingleSMS(kRequest).get();
    EXPECT_TRUE(outcome.ok()) << outcome.error().message;
    EXPECT_EQ(outcome.attempts(), 2);
    EXPECT_GE(Clock::now() - start, 900ms) << "the retry honoured Retry-After, not firstDelay";
    EXPECT_EQ(sandbox_->requestsTo(kSingle), 2u);
    EXPECT_EQ(sandbox_->balanceOf("demo"), 999) << "charged once";
}

TEST_F(Pacing, RetriesEndWithTheLastTryWhenThePolicyIsUsedUp) {
    const Client retried = client({.retry = {.maxAttempts = 2, .firstDelay = 10ms, .maxDelay = 100ms}});
    sandbox_->armFault({{"type", "throttle"}, {"count", 3}, {"path", kSingle}});
    int callbacks = 0;
    std::promise<Outcome> last;
    retried.SingleSMS(kRequest, [&](Outcome outcome) {
        ++callbacks;
        last.set_value(std::move(outcome));
    });
    const Outcome outcome = last.get_future().get();
    EXPECT_TRUE(waitForPending(5s));
    EXPECT_EQ(callbacks, 1) << "one callback, after the last try";
    EXPECT_EQ(outcome.error().httpStatus, 429);
    EXPECT_EQ(outcome.attempts(), 2);
    EXPECT_EQ(sandbox_->requestsTo(kSingle), 2u);
}

// THE double send: whatever maxAttempts says, a request the server may have
// read is never sent again.
struct MayHaveActedCase {
    const char* name;
    json fault;
};

void PrintTo(const MayHaveActedCase& c, std::ostream* os) {
    *os << c.name;
}

class PacingNeverSendsTwice : public Pacing, public testing::WithParamInterface<MayHaveActedCase> {};

TEST_P(PacingNeverSendsTwice, EachRequestReachesTheServerExactlyOnce) {
    // A one-second time-out makes the held answer a silent server.
    sandbox_->route(1);
    json fault = GetParam().fault;
    fault["path"] = kSingle;
    sandbox_->armFault(fault);
    const Client retried = client({.retry = {.maxAttempts = 5, .firstDelay = 10ms, .maxDelay = 50ms}});
    const Outcome outcome = retried.SingleSMS(kRequest).get();
    ASSERT_FALSE(outcome.ok());
    EXPECT_TRUE(outcome.error().mayHaveBeenProcessed);
    EXPECT_EQ(outcome.attempts(), 1);
    EXPECT_TRUE(waitForPending(5s));
    EXPECT_EQ(sandbox_->requestsTo(kSingle), 1u);
}

INSTANTIATE_TEST_SUITE_P(Faults, PacingNeverSendsTwice,
                         testing::Values(MayHaveActedCase{"ResetAfterRead", {{"type", "reset"}}},
                                         MayHaveActedCase{"CloseAfterRead", {{"type", "close"}}},
                                         MayHaveActedCase{"ServerError", {{"type", "html-500"}}},
                                         MayHaveActedCase{"SilentAfterSending",
                                                          {{"type", "delay"}, {"delayMs", 3000}}},
                                         MayHaveActedCase{"UnusableAnswer", {{"type", "wrong-media-type"}}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PacingRetries, ARefusedConnectionIsRetriedUntilTheServerIsUpAndSentOnce) {
    configureHttpClient(HttpClientOptions{});
    const int port = test::closedPort();
    const Client retried("demo", "demo-password", "http://127.0.0.1:" + std::to_string(port) + "/api/",
                         {.retry = {.maxAttempts = 50, .firstDelay = 100ms, .maxDelay = 200ms}});
    std::future<Outcome> call = retried.SingleSMS(kRequest);
    while (engineStats().waitingToRetry == 0 && call.wait_for(1ms) != std::future_status::ready) {
    }
    ASSERT_EQ(call.wait_for(0s), std::future_status::timeout) << call.get().error().message;

    httplib::Server server;
    std::atomic<int> received{0};
    server.Post(".*", [&](const httplib::Request&, httplib::Response& response) {
        ++received;
        response.set_content(R"({"status":"success","messageId":"1"})", "application/json");
    });
    std::thread serving([&] { server.listen("127.0.0.1", port); });
    const Outcome outcome = call.get();
    server.stop();
    serving.join();
    EXPECT_TRUE(outcome.ok()) << outcome.error().message;
    EXPECT_GE(outcome.attempts(), 2);
    EXPECT_EQ(received.load(), 1);
}

TEST(PacingRetries, ARefusedConnectionWithoutRetriesFailsAtOnceAsBefore) {
    configureHttpClient(HttpClientOptions{});
    const Client unretried("demo", "demo-password",
                           "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/api/");
    const Outcome outcome = unretried.SingleSMS(kRequest).get();
    EXPECT_EQ(outcome.error().kind, ErrorKind::CouldNotConnect);
    EXPECT_EQ(outcome.attempts(), 1);
}

TEST(PacingOptions, UnusableOptionsAreRefusedWithAReason) {
    const std::string url = "https://127.0.0.1/api/";
    EXPECT_THROW(Client("u", "p", url, {.requestsPerSecond = -1}), std::invalid_argument);
    EXPECT_THROW(Client("u", "p", url, {.burst = 0}), std::invalid_argument);
    EXPECT_THROW(Client("u", "p", url, {.retry = {.maxAttempts = 0}}), std::invalid_argument);
    EXPECT_THROW(SMSManager::configureAccount({.retry = {.firstDelay = -1ms}}), std::invalid_argument);
    EXPECT_NO_THROW(SMSManager::configureAccount({}));
}

}  // namespace
}  // namespace qelsms
