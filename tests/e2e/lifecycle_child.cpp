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
// Every run must end promptly with status 0 and print no "L".
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>

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
    if (mode == "exit-thread") {
        manyCallsThenHandlers();
        std::thread([] {
            qelsms::shutdown();
            std::exit(0);
        }).join();
    }
    return 2;
}
