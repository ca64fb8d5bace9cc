// A program that calls the library around its own exit, for the lifecycle
// tests:
//   qelsms_lifecycle_child PORT MODE
// MODE is one of
//   late-atexit   2,000 calls, then an atexit handler and a static map made
//                 after the first call; callbacks write into the map and
//                 print "L" once that handler has begun (a callback after
//                 main returned).
//   atexit-calls  an atexit handler registered before the first call makes
//                 two calls.
//   detached      a detached thread keeps assigning the credentials and
//                 calling while main returns.
//   exit-thread   as late-atexit, but exit() is called from another thread
//                 after an explicit qelsms::shutdown().
//   stop-in-callback  main returns while a callback is running, which then
//                 calls qelsms::shutdown() itself.
//   futures-at-stop  a future whose request the server holds, then
//                 qelsms::shutdown(): it becomes ready as cut off after its
//                 request left, a future asked for afterwards is ready at
//                 once as not sent, and waitForPending returns true at once.
//                 Any broken promise is written to standard error.
//   paced-exit    as late-atexit, with the calls waiting for the account's
//                 pace, and a call waiting to retry a refused connection.
//   paced-stop    futures waiting for their pace and for a retry, then
//                 qelsms::shutdown(): each is ready at once as not sent, and
//                 engineStats() counts nothing waiting.
//   paced-fork    calls waiting for their pace and for a retry, then fork():
//                 the child counts none of them and its own call goes through.
// Every run must end promptly with status 0 and print no "L".
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <qelsms/qelsms.hpp>

#include "test_server.hpp"

namespace {

std::atomic<bool> afterMain{false};

std::map<int, int>& seen() {
    static std::map<int, int> map;
    return map;
}
std::mutex seenMutex;

void callBalance(int i) {
    qelsms::SMSManager::GetBalance(
        [i](nlohmann::json) {
            if (afterMain.load()) (void)!write(STDOUT_FILENO, "L", 1);
            std::lock_guard lock(seenMutex);
            seen()[i] = 1;
        },
        [i](std::string) {
            if (afterMain.load()) (void)!write(STDOUT_FILENO, "L", 1);
            std::lock_guard lock(seenMutex);
            seen()[i] = 2;
        });
}

void manyCallsThenHandlers() {
    callBalance(0);
    seen();
    // An application's own clean-up, taking a while.
    std::atexit([] {
        afterMain.store(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    });
    for (int i = 1; i < 2000; ++i)
        callBalance(i);
}

// A client whose calls are refused a connection and retried for long.
const qelsms::Client& refusedClient() {
    static const qelsms::Client client(
        "user", "secret", "http://127.0.0.1:" + std::to_string(qelsms::test::closedPort()) + "/api/",
        {.retry = {.maxAttempts = 100,
                   .firstDelay = std::chrono::seconds(1),
                   .maxDelay = std::chrono::seconds(1)}});
    return client;
}

// Waits until `count` calls wait to retry; false after five seconds.
bool waitingToRetry(std::size_t count) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (qelsms::engineStats().waitingToRetry < count) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Calls waiting for the process-wide account's pace (all but the first), and
// one waiting to retry; false when the retry never began to wait.
bool callsWaitingForPaceAndRetry() {
    qelsms::SMSManager::configureAccount({.requestsPerSecond = 0.5});
    for (int i = 0; i < 20; ++i)
        callBalance(i);
    refusedClient().GetBalance([](nlohmann::json) { (void)!write(STDOUT_FILENO, "L", 1); },
                               [](std::string) {
                                   if (afterMain.load()) (void)!write(STDOUT_FILENO, "L", 1);
                               });
    return waitingToRetry(1);
}

bool endedAsNotSent(std::future<qelsms::Outcome>& future) {
    if (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return false;
    const qelsms::Outcome outcome = future.get();
    return !outcome.ok() && outcome.error().kind == qelsms::ErrorKind::NotSent &&
           !outcome.error().mayHaveBeenProcessed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    qelsms::test::routeProductionHostTo(std::stoi(argv[1]));
    const std::string mode = argv[2];
    qelsms::SMSManager::user = "user";
    qelsms::SMSManager::password = "secret";

    if (mode == "late-atexit") {
        manyCallsThenHandlers();
        return 0;
    }
    if (mode == "atexit-calls") {
        std::atexit([] {
            callBalance(1);
            callBalance(2);
        });
        callBalance(0);
        return 0;
    }
    if (mode == "detached") {
        std::thread([] {
            for (int i = 0;; ++i) {
                // Longer than a short string's inline buffer: held on the
                // heap, where a freed setting shows.
                qelsms::SMSManager::user =
                    (i % 2 == 0) ? "a-user-name-of-some-length" : "another-user-name-as-long";
                qelsms::SMSManager::password = "a-password-of-some-length";
                callBalance(i);
            }
        }).detach();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return 0;
    }
    if (mode == "stop-in-callback") {
        static std::atomic<bool> started{false};
        const auto stopLate = [] {
            started.store(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            qelsms::shutdown();
        };
        qelsms::SMSManager::GetBalance([stopLate](nlohmann::json) { stopLate(); },
                                       [stopLate](std::string) { stopLate(); });
        while (!started.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    }
    if (mode == "futures-at-stop") {
        std::atomic<bool> received{false};
        qelsms::test::RawServer holder([&](int, const std::string&) {
            received.store(true);
            std::this_thread::sleep_for(std::chrono::seconds(3));
        });
        const qelsms::Client client("user", "secret",
                                    "http://127.0.0.1:" + std::to_string(holder.port()) + "/api/");
        std::future<qelsms::Outcome> cutOff = client.GetBalance();
        while (!received.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        qelsms::SMSManager::GetBalance([](nlohmann::json) {}, [](std::string) {});
        const auto stopAt = std::chrono::steady_clock::now();
        qelsms::shutdown();
        std::future<qelsms::Outcome> late = client.GetBalance();
        const bool drained = qelsms::waitForPending(std::chrono::seconds(10));
        const auto waited = std::chrono::steady_clock::now() - stopAt;
        std::string problems;
        if (!drained || waited > std::chrono::seconds(5))
            problems += "waitForPending waited out its time-out\n";
        try {
            if (cutOff.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
                problems += "the cut-off future never became ready\n";
            } else if (const qelsms::Outcome o = cutOff.get();
                       o.ok() || !o.error().mayHaveBeenProcessed || o.error().message != "Client error!") {
                problems += "the cut-off future says its request did not leave\n";
            }
            if (late.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
                problems += "the late future was not ready at once\n";
            } else if (const qelsms::Outcome o = late.get(); o.ok() ||
                                                             o.error().kind != qelsms::ErrorKind::NotSent ||
                                                             o.error().mayHaveBeenProcessed) {
                problems += "the late future does not say not sent\n";
            }
        } catch (const std::exception& e) {
            problems += std::string("a future threw: ") + e.what() + "\n";
        }
        if (!problems.empty()) {
            (void)!write(STDERR_FILENO, problems.data(), problems.size());
            return 1;
        }
        return 0;
    }
    if (mode == "paced-exit") {
        std::atexit([] { afterMain.store(true); });
        if (!callsWaitingForPaceAndRetry()) return 3;
        return 0;
    }
    if (mode == "paced-stop") {
        const qelsms::Client paced("user", "secret", std::string(qelsms::Client::defaultBaseURL()),
                                   {.requestsPerSecond = 0.1});
        std::vector<std::future<qelsms::Outcome>> futures;
        for (int i = 0; i < 3; ++i)
            futures.push_back(paced.GetBalance());
        futures.push_back(refusedClient().GetBalance());
        if (!waitingToRetry(1)) return 3;
        if (futures.front().wait_for(std::chrono::seconds(10)) != std::future_status::ready) return 4;
        qelsms::shutdown();
        std::string problems;
        for (std::size_t i = 1; i < futures.size(); ++i) {
            if (!endedAsNotSent(futures[i])) problems += "a waiting call did not end as not sent\n";
        }
        const qelsms::EngineStats stats = qelsms::engineStats();
        if (stats.queued != 0 || stats.waitingToRetry != 0 || stats.inFlight != 0)
            problems += "engineStats counts calls after the stop\n";
        if (!problems.empty()) {
            (void)!write(STDERR_FILENO, problems.data(), problems.size());
            return 1;
        }
        return 0;
    }
    if (mode == "paced-fork") {
        if (!callsWaitingForPaceAndRetry()) return 3;
        const pid_t child = fork();
        if (child == 0) {
            const qelsms::EngineStats stats = qelsms::engineStats();
            if (stats.queued != 0 || stats.waitingToRetry != 0 || qelsms::pendingRequests() != 0) _exit(5);
            const qelsms::Client own("user", "secret");
            std::future<qelsms::Outcome> call = own.GetBalance();
            if (call.wait_for(std::chrono::seconds(10)) != std::future_status::ready) _exit(6);
            _exit(call.get().ok() ? 0 : 7);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 8;
    }
    if (mode == "exit-thread") {
        manyCallsThenHandlers();
        std::thread([] {
            qelsms::shutdown();
            std::exit(0);
        }).join();
    }
    return 2;
}
