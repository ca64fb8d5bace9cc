// Programs for the limits tests that need a process of their own:
//
//   qelsms_limits_child slow-dns PORT
//     In a mount namespace of its own, the name server is 127.0.0.77, which
//     takes queries and never answers. Sends GetBalance to
//     http://slow.qelsms-test:PORT/api/ and to http://127.0.0.1:PORT/api/
//     (time-out 2 s), the healthy calls 2.5 s after the slow ones, and prints
//     "healthy MS" / "slow MS MESSAGE" per outcome, milliseconds after the
//     call was made; then it sends more slow
//     calls, prints "exit" and returns from main with them in flight.
//
//   qelsms_limits_child descriptors HEALTHY-PORT STUCK-PORT...
//     Under a limit of 1024 descriptors, sends 32 GetBalance to each stuck
//     port (time-out 2 s), then one to the healthy port; prints "fopen ok" or
//     "fopen failed: ERROR" for 100 files opened at once while the stuck
//     calls are in flight, and "healthy ok" or "healthy failed: MESSAGE".
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <qelsms/qelsms.hpp>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::mutex outputMutex;

void say(const std::string& line) {
    std::lock_guard lock(outputMutex);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(3);
}

std::string baseUrl(const std::string& host, const std::string& port) {
    return "http://" + host + ":" + port + "/api/";
}

// Points this process's resolver at 127.0.0.77:53, where a socket takes the
// queries and nothing answers them; the returned socket must stay open.
int silenceNameServer() {
    if (unshare(CLONE_NEWNS) != 0) fail("unshare");
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("mount private");
    char path[] = "/tmp/qelsms-resolv-XXXXXX";
    const int file = mkstemp(path);
    if (file < 0) fail("mkstemp");
    const std::string text = "nameserver 127.0.0.77\noptions timeout:5 attempts:2\n";
    if (write(file, text.data(), text.size()) != static_cast<ssize_t>(text.size())) fail("write");
    close(file);
    if (mount(path, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) fail("bind resolv.conf");
    unlink(path);

    const int server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    inet_pton(AF_INET, "127.0.0.77", &address.sin_addr);
    if (bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("bind 127.0.0.77:53");
    return server;
}

int slowDns(const std::string& port) {
    const int nameServer = silenceNameServer();
    qelsms::configureHttpClient({.timeoutSeconds = 2});
    const qelsms::Client slow("user", "secret", baseUrl("slow.qelsms-test", port));
    const qelsms::Client healthy("user", "secret", baseUrl("127.0.0.1", port));

    std::atomic<int> outstanding{0};
    std::promise<void> allDone;
    auto finished = [&](const std::string& line) {
        say(line);
        if (--outstanding == 0) allDone.set_value();
    };
    auto since = [](Clock::time_point start) {
        return std::to_string(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    };
    constexpr int kSlow = 3;
    constexpr int kHealthy = 5;
    outstanding = kSlow + kHealthy;
    const Clock::time_point slowSent = Clock::now();
    for (int i = 0; i < kSlow; ++i) {
        slow.GetBalance([&](nlohmann::json) { finished("slow " + since(slowSent) + " answered"); },
                        [&](std::string message) { finished("slow " + since(slowSent) + " " + message); });
    }
    // The healthy calls go out once the slow ones should have timed out,
    // while a loop that waits for their lookups would still be waiting.
    std::this_thread::sleep_for(2500ms);
    const Clock::time_point healthySent = Clock::now();
    for (int i = 0; i < kHealthy; ++i) {
        healthy.GetBalance(
            [&](nlohmann::json) { finished("healthy " + since(healthySent)); },
            [&](std::string message) { finished("healthy-failed " + since(healthySent) + " " + message); });
    }
    if (allDone.get_future().wait_for(30s) != std::future_status::ready) say("stuck");

    for (int i = 0; i < kSlow; ++i)
        slow.GetBalance([](nlohmann::json) {}, [](std::string) {});
    std::this_thread::sleep_for(300ms);
    say("exit");
    (void)nameServer;
    return 0;
}

int descriptors(const std::string& healthyPort, const std::vector<std::string>& stuckPorts) {
    const rlimit limit{1024, 1024};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) fail("setrlimit");
    qelsms::configureHttpClient({.timeoutSeconds = 2});
    std::vector<qelsms::Client> stuck;
    for (const auto& port : stuckPorts)
        stuck.emplace_back("user", "secret", baseUrl("127.0.0.1", port));
    for (const auto& client : stuck) {
        for (int i = 0; i < 32; ++i)
            client.GetBalance([](nlohmann::json) {}, [](std::string) {});
    }
    std::promise<std::string> healthyOutcome;
    const qelsms::Client healthy("user", "secret", baseUrl("127.0.0.1", healthyPort));
    healthy.GetBalance([&](nlohmann::json) { healthyOutcome.set_value("healthy ok"); },
                       [&](std::string message) { healthyOutcome.set_value("healthy failed: " + message); });

    // Every stuck call that can have a connection has one by now.
    std::this_thread::sleep_for(1500ms);
    std::vector<FILE*> files;
    std::string opened = "fopen ok";
    for (int i = 0; i < 100; ++i) {
        FILE* file = std::fopen("/dev/null", "r");
        if (file == nullptr) {
            opened = std::string("fopen failed: ") + std::strerror(errno);
            break;
        }
        files.push_back(file);
    }
    for (FILE* file : files)
        std::fclose(file);
    say(opened);

    auto outcome = healthyOutcome.get_future();
    say(outcome.wait_for(30s) == std::future_status::ready ? outcome.get() : "healthy stuck");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "slow-dns") return slowDns(args[1]);
    if (args.size() >= 3 && args[0] == "descriptors")
        return descriptors(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    std::fprintf(stderr, "usage: see the comment at the top of limits_child.cpp\n");
    return 2;
}
