// The library around the application's exit and fork(), in real processes.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <qelsms/qelsms.hpp>

#include "test_server.hpp"

namespace qelsms {
namespace {

using namespace std::chrono_literals;

struct ExitCase {
    const char* mode;
};

class LifecycleExit : public testing::TestWithParam<ExitCase> {};

// Each mode's child calls the library while it exits; a callback after main
// returned prints "L", a fault shows as a sanitizer's report on standard
// error (a thread's report at exit need not change the status), and a hang
// in the time.
TEST_P(LifecycleExit, RunsNoCallbackAfterMainAndEndsPromptlyAndCleanly) {
    test::LoopbackServer server;
    const std::string errors = testing::TempDir() + "lifecycle_child_" + GetParam().mode + ".err";
    // A child that hangs is killed (status 124) rather than hang the test.
    const std::string command = "timeout 20 " + std::string(QELSMS_LIFECYCLE_CHILD) + " " +
                                std::to_string(server.port()) + " " + GetParam().mode + " 2>" + errors;
    FILE* child = popen(command.c_str(), "r");
    ASSERT_NE(child, nullptr);
    std::string output;
    char buffer[256];
    while (const auto n = fread(buffer, 1, sizeof buffer, child))
        output.append(buffer, n);
    const int status = pclose(child);
    // A child that hangs at exit is killed by `timeout` after 20 s and exits
    // 124; how long a healthy one takes to start and send its calls is not
    // the behaviour under test.
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(output.find('L'), std::string::npos) << "a callback ran after main returned";
    std::ifstream errorStream(errors);
    const std::string errorText((std::istreambuf_iterator<char>(errorStream)),
                                std::istreambuf_iterator<char>());
    EXPECT_EQ(errorText, "");
    std::remove(errors.c_str());
}

INSTANTIATE_TEST_SUITE_P(Modes, LifecycleExit,
                         testing::Values(ExitCase{"late-atexit"}, ExitCase{"atexit-calls"},
                                         ExitCase{"detached"}, ExitCase{"exit-thread"},
                                         ExitCase{"stop-in-callback"}, ExitCase{"futures-at-stop"},
                                         ExitCase{"paced-exit"}, ExitCase{"paced-stop"},
                                         ExitCase{"paced-fork"}),
                         [](const auto& info) {
                             std::string name = info.param.mode;
                             std::erase(name, '-');
                             return name;
                         });

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define QELSMS_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define QELSMS_UNDER_SANITIZER 1
#endif
#endif

// A loopback HTTPS server in a process of its own. In the forking process its
// TLS threads would hold OpenSSL's locks at some fork, and that child would
// wait on them for ever: a hazard of any program that forks while other
// threads use OpenSSL, not of the library, whose own locks are the test's
// subject.
class ServerProcess {
public:
    ServerProcess() {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            test::LoopbackServer server;
            const int port = server.port();
            if (write(fds[1], &port, sizeof port) != static_cast<ssize_t>(sizeof port)) _exit(1);
            pause();  // until killed
            _exit(0);
        }
        close(fds[1]);
        if (pid_ > 0 && read(fds[0], &port_, sizeof port_) != static_cast<ssize_t>(sizeof port_)) port_ = 0;
        close(fds[0]);
    }
    ~ServerProcess() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    pid_t pid() const { return pid_; }
    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// A child forked while other threads keep the library busy makes one call of
// its own; a library lock held across the fork would leave it waiting for
// ever.
TEST(LifecycleFork, EveryChildGetsItsCallbackWhileTheParentIsBusy) {
#ifdef QELSMS_UNDER_SANITIZER
    // ThreadSanitizer doesn't support threads started after a multi-threaded
    // fork, and AddressSanitizer's allocator (GCC 12) takes no lock at fork:
    // a child can wait for ever on one a parent thread held.
    GTEST_SKIP() << "needs a build without sanitizers (scripts/test.sh runs one)";
#endif
    const ServerProcess server;
    ASSERT_GT(server.port(), 0);
    test::routeProductionHostTo(server.port());
    SMSManager::user = "user";
    SMSManager::password = "secret";

    std::atomic<bool> stop{false};
    std::atomic<int> outstanding{0};
    std::vector<std::thread> load;
    for (int t = 0; t < 2; ++t) {
        load.emplace_back([&] {
            while (!stop.load()) {
                if (outstanding.load() >= 64) {
                    std::this_thread::sleep_for(200us);
                    continue;
                }
                outstanding.fetch_add(1);
                SMSManager::GetBalance([&](nlohmann::json) { outstanding.fetch_sub(1); },
                                       [&](std::string) { outstanding.fetch_sub(1); });
                // Assigning takes the settings' lock, which a fork must not
                // catch held.
                SMSManager::password = "secret";
            }
        });
    }

    constexpr int kForks = 1000;
    constexpr int kAlive = 8;
    int failures = 0;
    std::string howTheyEnded;
    int alive = 0;
    const auto reap = [&] {
        int status = 0;
        const pid_t pid = wait(&status);
        if (pid <= 0) return;
        ASSERT_NE(pid, server.pid()) << "the server died";
        --alive;
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
        ++failures;
        howTheyEnded += WIFEXITED(status) ? " exit " + std::to_string(WEXITSTATUS(status))
                                          : " signal " + std::to_string(WTERMSIG(status));
    };
    for (int i = 0; i < kForks; ++i) {
        if (alive == kAlive) reap();
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(30);  // a child stuck on a lock dies of SIGALRM and counts as a failure
            std::atomic<int> callbacks{0};
            SMSManager::GetBalance([&](nlohmann::json) { callbacks.fetch_add(1); },
                                   [&](std::string) { callbacks.fetch_add(1); });
            for (int waited = 0; callbacks.load() == 0 && waited < 20000; ++waited)
                usleep(1000);
            usleep(20000);
            const int got = callbacks.load();
            _exit(got == 1 ? 0 : got == 0 ? 1 : 2);
        }
        ASSERT_GT(pid, 0);
        ++alive;
    }
    while (alive > 0)
        reap();
    stop.store(true);
    for (auto& thread : load)
        thread.join();
    EXPECT_EQ(failures, 0) << "of " << kForks << " children (exit 1: no callback, 2: more than one;"
                           << " signal 14: stuck) ended:" << howTheyEnded;
}

// Forks while calls keep ending and another thread sits in waitForPending:
// each fork takes every library lock, among them the pending-call counter's,
// which the network thread takes as a call ends while it holds the engine's.
// Taken in the wrong order, the fork and the network thread wait for each
// other; a watchdog turns such a hang into a failure.
TEST(LifecycleFork, NoForkHangsWhileCallsEndAndAThreadWaitsForPending) {
#ifdef QELSMS_UNDER_SANITIZER
    GTEST_SKIP() << "needs a build without sanitizers (scripts/test.sh runs one)";
#endif
    const ServerProcess server;
    ASSERT_GT(server.port(), 0);
    test::routeProductionHostTo(server.port());
    SMSManager::user = "user";
    SMSManager::password = "secret";

    std::atomic<bool> stop{false};
    std::atomic<int> forksDone{0};
    std::thread watchdog([&] {
        int last = -1;
        for (int quiet = 0; !stop.load(); std::this_thread::sleep_for(100ms)) {
            const int now = forksDone.load();
            quiet = now == last ? quiet + 1 : 0;
            last = now;
            if (quiet == 300) {
                std::fprintf(stderr, "no fork returned for 30 s after %d forks\n", now);
                std::abort();
            }
        }
    });
    // Few calls at a time, so that the count of pending calls keeps reaching
    // zero, where ending a call takes the counter's lock to wake the waiter.
    std::thread caller([&] {
        while (!stop.load()) {
            std::atomic<int> ended{0};
            for (int i = 0; i < 2; ++i) {
                SMSManager::GetBalance([&](nlohmann::json) { ended.fetch_add(1); },
                                       [&](std::string) { ended.fetch_add(1); });
            }
            while (ended.load() < 2 && !stop.load())
                std::this_thread::sleep_for(50us);
        }
    });
    std::thread waiter([&] {
        while (!stop.load())
            waitForPending(20ms);
    });

    constexpr int kForks = 400;
    int failures = 0;
    for (int i = 0; i < kForks; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(30);
            // The child's counter starts at zero, and its own call ends.
            std::atomic<int> callbacks{0};
            SMSManager::GetBalance([&](nlohmann::json) { callbacks.fetch_add(1); },
                                   [&](std::string) { callbacks.fetch_add(1); });
            const bool drained = waitForPending(20s);
            _exit(drained && callbacks.load() == 1 ? 0 : 1);
        }
        ASSERT_GT(pid, 0);
        forksDone.fetch_add(1);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures;
    }
    stop.store(true);
    caller.join();
    waiter.join();
    watchdog.join();
    EXPECT_EQ(failures, 0) << "of " << kForks << " children";
}

}  // namespace
}  // namespace qelsms
