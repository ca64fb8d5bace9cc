// Outcomes end to end: every kind of error from a real fault, the
// outcome-handler and future forms against the sandbox, and waiting for the
// calls in flight.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <qelsms/qelsms.hpp>

#include "sandbox_process.hpp"
#include "test_server.hpp"
#include "transports.hpp"

namespace qelsms {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::RawServer;

const SingleSMSRequest kOneSMS{.MobileNumbers = {"97450000001"}, .Message = "Hi", .SenderName = "Shop"};
constexpr const char* kUser = "demo";
constexpr const char* kPassword = "demo-password";
// An account no detail may name: unreserved characters only, so the query
// carries them as they are.
constexpr const char* kSentinelUser = "sentinel-user-7d2a";
constexpr const char* kSentinelPassword = "Sentinel-Pw-41c9";

test::SandboxProcess& sandbox() {
    static test::SandboxProcess process;
    return process;
}

Outcome await(std::future<Outcome> future, std::chrono::seconds limit = 30s) {
    if (future.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "no outcome within " << limit.count() << " s";
        return Outcome(Error{"<no outcome>"});
    }
    return future.get();
}

// The message the error callback of the same call gets, or "<answer>".
std::string callbackMessage(const std::function<void(CompletionHandler, ErrorHandler)>& start) {
    auto promise = std::make_shared<std::promise<std::string>>();
    auto message = promise->get_future();
    start([promise](json) { promise->set_value("<answer>"); },
          [promise](std::string text) { promise->set_value(std::move(text)); });
    if (message.wait_for(30s) != std::future_status::ready) return "<no callback>";
    return message.get();
}

std::string httpBase(int port) {
    return "http://127.0.0.1:" + std::to_string(port) + "/api/";
}

// Where a case's call goes.
enum class Target {
    Sandbox,
    // A server of its own (no connection to reuse), trusting a CA that did
    // not sign its certificate.
    WrongCA,
    ClosedPort,
    // A name the resolver can't know (RFC 6761 reserves .invalid).
    UnresolvableHost,
    // A server that reads the whole request and then resets the connection.
    ResetAfterRequest,
};

struct KindCase {
    const char* name;
    Target target;
    json fault;  // armed on the sandbox for both calls, unless null
    bool post;
    std::string message;  // a message ending in '*' is matched up to it
    ErrorKind kind;
    int httpStatus;
    bool mayHaveBeenProcessed;
    std::string detail;  // a regular expression the whole detail matches
    const char* password = kSentinelPassword;
    int timeoutSeconds = 10;
};

// A detail says the cause without a credential or a decoder's raw exception.
void expectReadableDetail(const Error& error, const std::string& pattern) {
    EXPECT_TRUE(std::regex_match(error.detail, std::regex(pattern))) << error.detail;
    for (const char* secret : {kSentinelUser, kSentinelPassword, "Password=", "Username="})
        EXPECT_EQ(error.detail.find(secret), std::string::npos) << error.detail;
    EXPECT_EQ(error.detail.find("json.exception"), std::string::npos) << error.detail;
}

void PrintTo(const KindCase& c, std::ostream* os) {
    *os << c.name;
}

class OutcomeKinds : public testing::TestWithParam<KindCase> {};

// Each case makes the same call twice, in the callback form and as a future:
// the outcome carries the callback's very message, and says what happened.
TEST_P(OutcomeKinds, FromARealFault) {
    const KindCase& c = GetParam();
    sandbox().reset();
    const bool wrongCA = c.target == Target::WrongCA;
    configureHttpClient(
        {.caFile = wrongCA ? std::string(QELSMS_CERTS_DIR) + "/untrusted.pem" : sandbox().caFile(),
         .timeoutSeconds = c.timeoutSeconds});
    std::unique_ptr<RawServer> raw;
    std::unique_ptr<test::LoopbackServer> tls;
    std::string base = sandbox().url();
    if (wrongCA) {
        tls = std::make_unique<test::LoopbackServer>();
        base = "https://127.0.0.1:" + std::to_string(tls->port()) + "/api/";
    }
    if (c.target == Target::ClosedPort) base = httpBase(test::closedPort());
    if (c.target == Target::UnresolvableHost) base = "https://api.qelsms.invalid/api/";
    if (c.target == Target::ResetAfterRequest) {
        raw = std::make_unique<RawServer>([](int fd, const std::string&) { RawServer::resetConnection(fd); });
        base = httpBase(raw->port());
    }
    if (!c.fault.is_null()) {
        json fault = c.fault;
        fault["count"] = 2;
        sandbox().armFault(fault);
    }
    sandbox().putAccount(kSentinelUser, kSentinelPassword, 100);
    const Client client(kSentinelUser, c.password, base);

    const std::string viaCallback = callbackMessage([&](CompletionHandler done, ErrorHandler failed) {
        if (c.post) {
            client.SingleSMS(kOneSMS, std::move(done), std::move(failed));
        } else {
            client.GetBalance(std::move(done), std::move(failed));
        }
    });
    const Outcome outcome = await(c.post ? client.SingleSMS(kOneSMS) : client.GetBalance());

    ASSERT_FALSE(outcome.ok());
    const Error& error = outcome.error();
    EXPECT_EQ(error.message, viaCallback);
    if (c.message.ends_with('*')) {
        EXPECT_TRUE(error.message.starts_with(c.message.substr(0, c.message.size() - 1))) << error.message;
    } else {
        EXPECT_EQ(error.message, c.message);
    }
    EXPECT_EQ(error.kind, c.kind) << toString(error.kind);
    EXPECT_EQ(error.httpStatus, c.httpStatus);
    EXPECT_EQ(error.mayHaveBeenProcessed, c.mayHaveBeenProcessed);
    expectReadableDetail(error, c.detail);
    EXPECT_TRUE(outcome.answer().is_null());
    // No retries configured: one try, or none for a refusal.
    EXPECT_EQ(outcome.attempts(), c.kind == ErrorKind::NotSent ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OutcomeKinds,
    testing::Values(
        KindCase{"MissingPassword", Target::Sandbox, nullptr, true,
                 "Kindly set user and password before sending message", ErrorKind::NotSent, 0, false,
                 "no credentials: the password is not set; nothing was sent", ""},
        KindCase{"UnresolvableHost", Target::UnresolvableHost, nullptr, true, "Client error!",
                 ErrorKind::CouldNotConnect, 0, false, "could not resolve host api\\.qelsms\\.invalid"},
        KindCase{"ClosedPort", Target::ClosedPort, nullptr, true, "Client error!", ErrorKind::CouldNotConnect,
                 0, false, "connection refused by 127\\.0\\.0\\.1:[0-9]+ \\(.+\\)"},
        KindCase{"WrongCA", Target::WrongCA, nullptr, true, "Client error!", ErrorKind::CouldNotConnect, 0,
                 false, "certificate not trusted: (unable to get local issuer certificate|self-signed .*)"},
        KindCase{"IdleLongerThanTimeout", Target::Sandbox, json{{"type", "delay"}, {"delayMs", 3000}}, false,
                 "Client error!", ErrorKind::TimedOut, 0, true,
                 "timed out: no byte for 1 s after the request was sent", kSentinelPassword, 1},
        KindCase{"ClosedWithoutAnswer", Target::Sandbox, json{{"type", "close"}}, true, "Client error!",
                 ErrorKind::Interrupted, 0, true, "connection closed without an answer"},
        KindCase{"ResetAfterTheRequest", Target::ResetAfterRequest, nullptr, true, "Client error!",
                 ErrorKind::Interrupted, 0, true,
                 "connection (broken while (receiving|sending) \\(.+\\)|closed without an answer)"},
        KindCase{"ResetMidAnswer", Target::Sandbox, json{{"type", "reset"}}, true, "Client error!",
                 ErrorKind::Interrupted, 200, true, "(connection broken while receiving|transfer closed).+"},
        KindCase{"TruncatedAnswer", Target::Sandbox, json{{"type", "truncate"}}, false, "Client error!",
                 ErrorKind::Interrupted, 200, true, "answer cut short: the connection closed before the whole answer arrived"},
        KindCase{"WrongPassword", Target::Sandbox, nullptr, true,
                 "Authorization has been denied for this request.", ErrorKind::RefusedByProvider, 401, false,
                 "the provider answered HTTP 401.*: Authorization has been denied for this request\\.",
                 "wrong"},
        KindCase{"Redirect", Target::Sandbox, json{{"type", "redirect"}}, true, "JSON error: *",
                 ErrorKind::RefusedByProvider, 302, false, "answer is text/html, not JSON \\(HTTP 302\\)"},
        KindCase{"Html500", Target::Sandbox, json{{"type", "html-500"}}, true, "JSON error: *",
                 ErrorKind::RefusedByProvider, 500, true, "answer is text/html, not JSON \\(HTTP 500\\)"},
        KindCase{"WrongMediaType", Target::Sandbox, json{{"type", "wrong-media-type"}}, true,
                 "Wrong MIME type!", ErrorKind::UnusableAnswer, 200, true,
                 "answer is text/plain, not JSON \\(HTTP 200\\)"},
        KindCase{"Oversized", Target::Sandbox, json{{"type", "oversized"}}, false, "Client error!",
                 ErrorKind::UnusableAnswer, 200, true, "answer larger than the library accepts"}),
    [](const auto& info) { return std::string(info.param.name); });

// The provider's own words for a refusal reach the detail with its status.
TEST(OutcomeDetail, AProviderRefusalCarriesItsStatusAndDescription) {
    sandbox().reset();
    configureHttpClient({.caFile = sandbox().caFile(), .timeoutSeconds = 10});
    sandbox().putAccount(kSentinelUser, kSentinelPassword, 100);
    const Client client(kSentinelUser, kSentinelPassword, sandbox().url());
    const Outcome outcome =
        await(client.SingleSMS({.MobileNumbers = {"123"}, .Message = "Hi", .SenderName = "Shop"}));
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().kind, ErrorKind::RefusedByProvider);
    EXPECT_TRUE(outcome.error().message.starts_with("Invalid mobile number")) << outcome.error().message;
    expectReadableDetail(outcome.error(),
                         "the provider answered HTTP 400 \\(status \"error\"\\): Invalid mobile number .+");
    EXPECT_TRUE(outcome.error().detail.ends_with(outcome.error().message)) << outcome.error().detail;
}

class OutcomeForms : public testing::Test {
protected:
    void SetUp() override {
        sandbox().reset();
        sandbox().route();
        SMSManager::user = kUser;
        SMSManager::password = kPassword;
    }
    void TearDown() override {
        SMSManager::user = "";
        SMSManager::password = "";
    }
};

TEST_F(OutcomeForms, EveryOperationAsAFutureOnSMSManagerAndClient) {
    const Client client(kUser, kPassword, sandbox().url());
    const BulkSMSRequest bulk{.MobileNumbers = {"97450000002"}, .Message = "Bulk", .SenderName = "Shop"};
    const CustomSMSRequest custom{.MessageDetails = {{"97450000003", "Custom"}}, .SenderName = "Shop"};
    std::vector<std::future<Outcome>> futures;
    futures.push_back(SMSManager::GetBalance());
    futures.push_back(SMSManager::SingleSMS(kOneSMS));
    futures.push_back(SMSManager::BulkSMS(bulk));
    futures.push_back(SMSManager::CustomSMS(custom));
    futures.push_back(client.GetBalance());
    futures.push_back(client.SingleSMS(kOneSMS));
    futures.push_back(client.BulkSMS(bulk));
    futures.push_back(client.CustomSMS(custom));
    for (auto& future : futures) {
        const Outcome outcome = await(std::move(future));
        ASSERT_TRUE(outcome.ok()) << outcome.error().message;
        EXPECT_EQ(outcome.answer().at("status"), "success");
        EXPECT_EQ(outcome.error().kind, ErrorKind::None);
        EXPECT_EQ(outcome.attempts(), 1);
    }
    EXPECT_EQ(sandbox().get("/sandbox/messages").at("messages").size(), 6u);
}

TEST_F(OutcomeForms, HandlerRunsOnceOnTheNetworkThreadOrOnTheCallingThreadForARefusal) {
    struct Seen {
        std::atomic<int> calls{0};
        std::thread::id thread;
        std::promise<Outcome> outcome;
    };
    const auto handler = [](const std::shared_ptr<Seen>& seen) {
        return [seen](Outcome outcome) {
            seen->thread = std::this_thread::get_id();
            if (seen->calls++ == 0) seen->outcome.set_value(std::move(outcome));
        };
    };

    const auto accepted = std::make_shared<Seen>();
    SMSManager::SingleSMS(kOneSMS, handler(accepted));
    const Outcome answer = await(accepted->outcome.get_future());
    EXPECT_TRUE(answer.ok()) << answer.error().message;
    EXPECT_NE(accepted->thread, std::this_thread::get_id());

    const auto refused = std::make_shared<Seen>();
    Client(kUser, "").GetBalance(handler(refused));
    EXPECT_EQ(refused->calls, 1);  // before the call returned
    EXPECT_EQ(refused->thread, std::this_thread::get_id());
    EXPECT_EQ(refused->outcome.get_future().get().error().message,
              "Kindly set user and password before checking balance");

    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(accepted->calls, 1);
    EXPECT_EQ(refused->calls, 1);
}

// Refusals: the future is ready when the call returns, as NotSent. The
// two forms the callback API only logs still print their line.
struct RefusalCase {
    const char* name;
    std::function<std::future<Outcome>()> call;
    std::string message;  // a message ending in '*' is matched up to it
    std::string printed;
    std::string detail;  // a regular expression the whole detail matches
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class FutureRefusals : public OutcomeForms, public testing::WithParamInterface<RefusalCase> {};

TEST_P(FutureRefusals, AreReadyOnReturnAsNotSent) {
    const RefusalCase& c = GetParam();
    testing::internal::CaptureStdout();
    std::future<Outcome> future = c.call();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    ASSERT_EQ(future.wait_for(0s), std::future_status::ready);
    const Outcome outcome = future.get();
    ASSERT_FALSE(outcome.ok());
    if (c.message.ends_with('*')) {
        EXPECT_TRUE(outcome.error().message.starts_with(c.message.substr(0, c.message.size() - 1)))
            << outcome.error().message;
    } else {
        EXPECT_EQ(outcome.error().message, c.message);
    }
    EXPECT_EQ(outcome.error().kind, ErrorKind::NotSent);
    EXPECT_EQ(outcome.error().httpStatus, 0);
    EXPECT_FALSE(outcome.error().mayHaveBeenProcessed);
    EXPECT_EQ(outcome.attempts(), 0) << "refused before any try";
    expectReadableDetail(outcome.error(), c.detail);
}

std::future<Outcome> urlError() {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto future = promise->get_future();
    detail::getNetworkCall(
        {kSentinelUser, kSentinelPassword}, "not a url",
        detail::Callbacks{{}, {}, [promise](Outcome o) { promise->set_value(std::move(o)); }});
    return future;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FutureRefusals,
    testing::Values(
        RefusalCase{"BalanceWithoutPassword", [] { return Client(kUser, "").GetBalance(); },
                    "Kindly set user and password before checking balance", "",
                    "no credentials: the password is not set; nothing was sent"},
        RefusalCase{
            "BulkWithoutUser",
            [] { return Client("", kPassword).BulkSMS({.MobileNumbers = {"97450000001"}, .Message = "x"}); },
            "Kindly set user and password before sending message", "",
            "no credentials: the user name is not set; nothing was sent"},
        RefusalCase{"NeitherUserNorPassword", [] { return Client("", "").GetBalance(); },
                    "Kindly set user and password before checking balance", "",
                    "no credentials: neither the user name nor the password is set; nothing was sent"},
        RefusalCase{
            "InvalidUtf8",
            [] { return SMSManager::SingleSMS({.MobileNumbers = {"97450000001"}, .Message = "\xFF"}); },
            "JSON error: *", "",
            "a text of the request can't be written as JSON \\(invalid UTF-8 byte at index 0: 0xFF\\); "
            "nothing "
            "was sent"},
        RefusalCase{"EmptyCustomOnSMSManager", [] { return SMSManager::CustomSMS(CustomSMSRequest{}); },
                    "Sender list is empty", "Sender list is empty\n",
                    "no messages to send; nothing was sent"},
        RefusalCase{
            "EmptyCustomOnClient", [] { return Client(kUser, kPassword).CustomSMS(CustomSMSRequest{}); },
            "Sender list is empty", "Sender list is empty\n", "no messages to send; nothing was sent"},
        RefusalCase{"UnparsableURL", urlError, "URL error!", "URL error!\n",
                    "the request's URL does not parse; check the base URL"}),
    [](const auto& info) { return std::string(info.param.name); });

// A server that accepts and reads every request but answers only once told.
class HeldServer {
public:
    HeldServer()
        : server_([this](int fd, const std::string&) {
              while (!released_.load())
                  std::this_thread::sleep_for(5ms);
              RawServer::sendAll(fd,
                                 "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
                                 "Content-Length: 2\r\n\r\n{}");
          }) {}
    ~HeldServer() { release(); }
    HeldServer(const HeldServer&) = delete;
    HeldServer& operator=(const HeldServer&) = delete;

    void release() { released_ = true; }
    std::string base() const { return httpBase(server_.port()); }

private:
    std::atomic<bool> released_{false};
    RawServer server_;
};

class WaitForPending : public testing::Test {
protected:
    void SetUp() override {
        sandbox().reset();
        sandbox().route();
        ASSERT_TRUE(waitForPending(30s)) << "calls of an earlier test still pending";
    }
};

TEST_F(WaitForPending, ReturnsOnceAThousandCallbacksHaveReturned) {
    const Client client(kUser, kPassword, sandbox().url());
    constexpr int kCalls = 1000;
    const auto finished = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < kCalls; ++i) {
        client.GetBalance([finished](Outcome outcome) {
            // The count must cover the callback's whole run, not just its start.
            std::this_thread::sleep_for(100us);
            if (outcome.ok()) ++*finished;
        });
    }
    EXPECT_GT(pendingRequests(), 0u);
    ASSERT_TRUE(waitForPending(120s));
    EXPECT_EQ(finished->load(), kCalls);
    EXPECT_EQ(pendingRequests(), 0u);
}

TEST_F(WaitForPending, TimesOutWhileTheServerHoldsTheAnswers) {
    HeldServer server;
    const Client client(kUser, kPassword, server.base());
    constexpr std::size_t kCalls = 20;
    const auto finished = std::make_shared<std::atomic<std::size_t>>(0);
    for (std::size_t i = 0; i < kCalls; ++i)
        client.GetBalance([finished](Outcome) { ++*finished; });

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(waitForPending(300ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_EQ(pendingRequests(), kCalls);
    EXPECT_EQ(finished->load(), 0u);

    server.release();
    EXPECT_TRUE(waitForPending(60s));
    EXPECT_EQ(finished->load(), kCalls);
}

TEST_F(WaitForPending, ReturnsFalseAtOnceOnTheNetworkThread) {
    struct Seen {
        bool waited = true;
        std::chrono::steady_clock::duration took{};
    };
    auto seen = std::make_shared<Seen>();
    std::promise<void> done;
    Client(kUser, kPassword, sandbox().url()).GetBalance([&done, seen](Outcome) {
        const auto start = std::chrono::steady_clock::now();
        seen->waited = waitForPending(30s);
        seen->took = std::chrono::steady_clock::now() - start;
        done.set_value();
    });
    ASSERT_EQ(done.get_future().wait_for(60s), std::future_status::ready);
    EXPECT_FALSE(seen->waited);
    // Far below the 30 s it was given: it did not wait for itself.
    EXPECT_LT(seen->took, 10s);
}

TEST_F(WaitForPending, AForkedChildHasNoneOfItsParentsCalls) {
    HeldServer server;
    const Client client(kUser, kPassword, server.base());
    for (int i = 0; i < 5; ++i)
        client.GetBalance([](Outcome) {});
    ASSERT_EQ(pendingRequests(), 5u);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(pendingRequests() == 0 && waitForPending(0ms) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_EQ(pendingRequests(), 5u);
    server.release();
    EXPECT_TRUE(waitForPending(60s));
}

// A refusal runs the handler on the caller's thread, inside the operation;
// whatever the handler throws is dropped there too, in every form.
struct ThrowingCase {
    const char* name;
    std::function<void()> call;
};

void PrintTo(const ThrowingCase& c, std::ostream* os) {
    *os << c.name;
}

class ThrowingHandlersOnTheCallersThread : public testing::TestWithParam<ThrowingCase> {};

TEST_P(ThrowingHandlersOnTheCallersThread, AreCaughtAndDropped) {
    EXPECT_NO_THROW(GetParam().call());
}

const auto kThrowOnError = [](std::string) { throw std::runtime_error("an application's error handler"); };
const auto kThrowOnOutcome = [](Outcome) { throw 7; };
const auto kIgnoreAnswer = [](json) {};

SingleSMSRequest badUtf8Request() {
    SingleSMSRequest request;
    request.MobileNumbers = {"96512345678"};
    request.Message = "\xC3\x28";
    request.SenderName = "S";
    return request;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ThrowingHandlersOnTheCallersThread,
    testing::Values(
        ThrowingCase{"NoCredentialsTwoHandlers",
                     [] { Client("", "").GetBalance(kIgnoreAnswer, kThrowOnError); }},
        ThrowingCase{"NoCredentialsOutcomeHandler", [] { Client("", "").GetBalance(kThrowOnOutcome); }},
        ThrowingCase{"BadUtf8TwoHandlers",
                     [] { Client("u", "p").SingleSMS(badUtf8Request(), kIgnoreAnswer, kThrowOnError); }},
        ThrowingCase{"BadUtf8OutcomeHandler",
                     [] { Client("u", "p").SingleSMS(badUtf8Request(), kThrowOnOutcome); }},
        ThrowingCase{"EmptySenderListOutcomeHandler",
                     [] { Client("u", "p").CustomSMS(CustomSMSRequest{}, kThrowOnOutcome); }},
        ThrowingCase{
            "BadURLOutcomeHandler",
            [] {
                detail::getNetworkCall({"u", "p"}, "not a url", detail::Callbacks{{}, {}, kThrowOnOutcome});
            }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qelsms
