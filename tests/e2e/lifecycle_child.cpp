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
// Every run must end promptly with status 0 and print no "L".
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
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
    if (mode == "exit-thread") {
        manyCallsThenHandlers();
        std::thread([] {
            qelsms::shutdown();
            std::exit(0);
        }).join();
    }
    return 2;
}
