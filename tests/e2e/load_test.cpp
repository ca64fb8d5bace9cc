// The library under load and faults, and with callbacks that misbehave,
// against qelsms-sandbox: every call that reaches the network gets exactly one
// callback, with the outcome its fault implies, and every message reaches the
// provider at most once.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <qelsms/qelsms.hpp>

#include "http_engine.hpp"
#include "sandbox_process.hpp"

namespace qelsms {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::SandboxProcess;

constexpr const char* kUser = "load";
constexpr const char* kPassword = "load-password";
constexpr std::int64_t kCredits = 100'000'000;

enum Operation { kBalance, kSingle, kBulk, kCustom, kOperations };
constexpr std::array<const char*, kOperations> kPaths = {"/api/Credits/GetBalance/",
                                                         "/api/SendSMS/SingleSMS/", "/api/SendSMS/BulkSMS/",
                                                         "/api/SendSMS/CustomSMS/"};

// What a call ended in, as far as the faults are concerned.
enum Kind { kNone, kSuccess, kClientError, kWrongMime, kJsonError, kOther, kKinds };
constexpr std::array<const char*, kKinds> kKindNames = {
    "none", "success", "Client error!", "Wrong MIME type!", "JSON error", "other"};

Kind kindOf(std::string_view error) {
    using namespace std::string_view_literals;
    if (error == "Client error!"sv) return kClientError;
    if (error == "Wrong MIME type!"sv) return kWrongMime;
    if (error.starts_with("JSON error: "sv)) return kJsonError;
    return kOther;
}

// The outcome each fault type implies for the request that takes it.
Kind impliedBy(const std::string& faultType) {
    static const std::map<std::string, Kind> kImplied = {
        {"delay", kSuccess},        {"close", kClientError},     {"reset", kClientError},
        {"truncate", kClientError}, {"oversized", kClientError}, {"wrong-media-type", kWrongMime},
        {"html-500", kJsonError},   {"redirect", kJsonError}};
    return kImplied.at(faultType);
}

// Whether the sandbox still charges for a request that takes the fault.
bool processedUnder(const std::string& faultType) {
    return faultType == "delay" || faultType == "reset" || faultType == "truncate" ||
           faultType == "wrong-media-type";
}

std::size_t requestCount() {
    const char* configured = std::getenv("QELSMS_LOAD_REQUESTS");
    return configured != nullptr ? std::strtoul(configured, nullptr, 10) : 20'000;
}

class SandboxSuite : public testing::Test {
protected:
    static void SetUpTestSuite() { sandbox_ = std::make_unique<SandboxProcess>(); }
    static void TearDownTestSuite() { sandbox_.reset(); }

    void SetUp() override {
        sandbox_->reset();
        sandbox_->putAccount(kUser, kPassword, kCredits);
        sandbox_->route();
        SMSManager::user = kUser;
        SMSManager::password = kPassword;
    }

    static inline std::unique_ptr<SandboxProcess> sandbox_;
};

// One call of operation `op`, each costing exactly one credit.
void submit(Operation op, const Client& client, CompletionHandler done, ErrorHandler failed) {
    switch (op) {
        case kBalance:
            SMSManager::GetBalance(std::move(done), std::move(failed));
            break;
        case kSingle:
            client.SingleSMS({.MobileNumbers = {"97450000001"}, .Message = "load", .SenderName = "Qel"},
                             std::move(done), std::move(failed));
            break;
        case kBulk:
            SMSManager::BulkSMS({.MobileNumbers = {"97450000002"}, .Message = "load", .SenderName = "Qel"},
                                std::move(done), std::move(failed));
            break;
        default:
            client.CustomSMS({.MessageDetails = {{"97450000003", "load"}}, .SenderName = "Qel"},
                             std::move(done), std::move(failed));
            break;
    }
}

struct PlannedFault {
    const char* type;
    int count;
};

// About a tenth of each wave's requests on a path. GET is never given a
// "close": libcurl resends a GET whose reused connection closed without an
// answer, so it would succeed instead of failing (see reliability_test.cpp).
std::vector<PlannedFault> faultsFor(Operation op, std::size_t wave) {
    if (op == kBalance) {
        return {{"delay", 5}, {"wrong-media-type", 5}, {"html-500", 5}, {"truncate", 5}, {"reset", 5}};
    }
    const bool oversized = wave % 10 == 0;
    return {{"close", oversized ? 4 : 5},
            {"reset", 4},
            {"truncate", 4},
            {"wrong-media-type", 3},
            {"html-500", 3},
            {"delay", 3},
            {"redirect", 2},
            {"oversized", oversized ? 1 : 0}};
}

using LoadUnderFaults = SandboxSuite;

TEST_F(LoadUnderFaults, EveryCallGetsOneCallbackWithTheOutcomeItsFaultImplies) {
    constexpr std::size_t kThreads = 8;
    constexpr std::size_t kWave = 1000;
    const std::size_t total = std::max<std::size_t>(requestCount() / kWave, 1) * kWave;
    const Client client(kUser, kPassword);

    struct Slot {
        std::atomic<int> callbacks{0};
        std::atomic<int> kind{kNone};
    };
    std::vector<Slot> slots(total);
    std::atomic<std::size_t> finished{0};
    std::mutex othersMutex;
    std::vector<std::string> others;

    std::array<std::array<std::size_t, kKinds>, kOperations> expected{};
    std::array<std::size_t, kOperations> calls{};
    std::size_t faultsArmed = 0;
    std::int64_t charged = 0;

    const auto record = [&](std::size_t i, Kind kind, const std::string& detail) {
        slots[i].kind = kind;
        if (++slots[i].callbacks > 1) return;
        if (kind == kOther) {
            std::lock_guard lock(othersMutex);
            if (others.size() < 10) others.push_back(detail);
        }
        ++finished;
    };

    const auto start = std::chrono::steady_clock::now();
    for (std::size_t wave = 0; wave < total / kWave; ++wave) {
        std::array<std::size_t, kOperations> inWave{};
        for (std::size_t k = 0; k < kWave; ++k)
            ++inWave[k % kOperations];
        for (int op = 0; op < kOperations; ++op) {
            std::size_t spoiled = 0;
            for (const auto& fault : faultsFor(static_cast<Operation>(op), wave)) {
                if (fault.count == 0) continue;
                json armed = {{"type", fault.type}, {"count", fault.count}, {"path", kPaths[op]}};
                if (std::string(fault.type) == "delay") armed["delayMs"] = 100;
                if (std::string(fault.type) == "oversized") armed["bytes"] = detail::kMaxResponseBytes + 4096;
                sandbox_->armFault(armed);
                expected[op][impliedBy(fault.type)] += fault.count;
                spoiled += fault.count;
                faultsArmed += fault.count;
                if (op != kBalance && processedUnder(fault.type)) charged += fault.count;
            }
            expected[op][kSuccess] += inWave[op] - spoiled;
            if (op != kBalance) charged += static_cast<std::int64_t>(inWave[op] - spoiled);
            calls[op] += inWave[op];
        }

        std::vector<std::thread> callers;
        for (std::size_t t = 0; t < kThreads; ++t) {
            callers.emplace_back([&, wave, t] {
                for (std::size_t k = t * kWave / kThreads; k < (t + 1) * kWave / kThreads; ++k) {
                    const std::size_t i = wave * kWave + k;
                    const auto op = static_cast<Operation>(k % kOperations);
                    submit(
                        op, client,
                        [&, i](json value) {
                            const bool ok = value.is_object() && value.value("status", "") == "success";
                            record(i, ok ? kSuccess : kOther, value.dump());
                        },
                        [&, i](std::string error) { record(i, kindOf(error), error); });
                }
            });
        }
        for (auto& caller : callers)
            caller.join();
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        while (finished < (wave + 1) * kWave && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        ASSERT_EQ(finished.load(), (wave + 1) * kWave) << "callbacks missing after wave " << wave;
        ASSERT_TRUE(sandbox_->get("/sandbox/faults")["faults"].empty()) << "faults left after wave " << wave;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::this_thread::sleep_for(100ms);  // room for a stray second callback

    std::array<std::array<std::size_t, kKinds>, kOperations> seen{};
    std::size_t twice = 0;
    for (std::size_t i = 0; i < total; ++i) {
        twice += slots[i].callbacks > 1 ? 1 : 0;
        ++seen[(i % kWave) % kOperations][slots[i].kind];
    }
    EXPECT_EQ(twice, 0u) << "calls with more than one callback";
    EXPECT_EQ(detail::pendingRequests(), 0u);
    for (int op = 0; op < kOperations; ++op) {
        for (int kind = kSuccess; kind < kKinds; ++kind) {
            EXPECT_EQ(seen[op][kind], expected[op][kind]) << kPaths[op] << ": " << kKindNames[kind];
        }
        // Every call reached the sandbox, and none twice.
        EXPECT_EQ(sandbox_->requestsTo(kPaths[op]), calls[op]) << kPaths[op];
    }
    EXPECT_EQ(sandbox_->balanceOf(kUser), kCredits - charged);
    for (const auto& other : others)
        ADD_FAILURE() << "unexpected outcome: " << other.substr(0, 300);

    std::printf("load: %zu calls from %zu threads, %zu faults armed, %.1f s (%.0f calls/s); outcomes:", total,
                kThreads, faultsArmed, seconds, static_cast<double>(total) / seconds);
    for (int kind = kSuccess; kind < kKinds; ++kind) {
        std::size_t n = 0;
        for (int op = 0; op < kOperations; ++op)
            n += seen[op][kind];
        std::printf(" %s %zu;", kKindNames[kind], n);
    }
    std::printf(" calls with two callbacks %zu\n", twice);
    RecordProperty("calls", static_cast<int>(total));
    RecordProperty("faults", static_cast<int>(faultsArmed));
}

using MisbehavingCallbacks = SandboxSuite;

// Callbacks that throw, block for a second or start further operations, mixed
// with well-behaved ones, and some of them on the error path: the library
// neither deadlocks nor loses anyone's callback.
TEST_F(MisbehavingCallbacks, NeitherStallTheLibraryForGoodNorLoseOtherCallbacks) {
    constexpr int kCalls = 400;
    constexpr int kReentryDepth = 3;
    const std::vector<int> blocking = {7, 200, 393};
    sandbox_->armFault({{"type", "html-500"}, {"count", 40}, {"path", kPaths[kSingle]}});
    const Client client(kUser, kPassword);

    std::vector<std::atomic<int>> callbacks(kCalls);
    std::atomic<int> reentered{0};
    std::atomic<int> reentrantCallbacks{0};

    // Each level starts the next from inside its own callback, on the
    // library's thread.
    std::function<void(int)> chain = [&](int level) {
        ++reentered;
        SMSManager::GetBalance(
            [&, level](json) {
                ++reentrantCallbacks;
                if (level < kReentryDepth) chain(level + 1);
            },
            [&](std::string) { ++reentrantCallbacks; });
    };
    const auto misbehave = [&](int i) {
        ++callbacks[i];
        if (std::find(blocking.begin(), blocking.end(), i) != blocking.end()) std::this_thread::sleep_for(1s);
        switch (i % 5) {
            case 0:
                throw std::runtime_error("application bug");
            case 1:
                throw 42;  // NOLINT(hicpp-exception-baseclass): not every application throws std::exception
            case 2:
                chain(1);
                break;
            default:
                break;
        }
    };

    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int i = t; i < kCalls; i += 4) {
                const auto op = static_cast<Operation>(i % kOperations);
                submit(
                    op, client, [&, i](json) { misbehave(i); }, [&, i](std::string) { misbehave(i); });
            }
        });
    }
    for (auto& caller : callers)
        caller.join();

    const auto allDone = [&] {
        for (const auto& n : callbacks) {
            if (n == 0) return false;
        }
        return reentrantCallbacks == reentered;
    };
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!allDone() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    std::this_thread::sleep_for(100ms);

    for (int i = 0; i < kCalls; ++i)
        EXPECT_EQ(callbacks[i].load(), 1) << "call " << i;
    // Every fifth call starts a chain of kReentryDepth calls.
    EXPECT_EQ(reentered.load(), kCalls / 5 * kReentryDepth);
    EXPECT_EQ(reentrantCallbacks.load(), reentered.load());
    EXPECT_EQ(detail::pendingRequests(), 0u);
    EXPECT_TRUE(sandbox_->get("/sandbox/faults")["faults"].empty());
    // Callbacks run one at a time on the library's thread: the blocking ones
    // hold everyone up for their second each, and no longer.
    EXPECT_GE(elapsed, 3s);
    EXPECT_LT(elapsed, 30s);
}

}  // namespace
}  // namespace qelsms
