// The sandbox while a client holds more connections than it has workers:
// idle TCP connections and TLS clients that send their handshake a byte at
// a time. It must go on answering others, cut the slow senders, and give its
// idle workers back. Loopback only; at most 1,100 connections, each probe
// bounded to a few seconds past its time-outs.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox_child.hpp"
#include "test_server.hpp"

namespace qelsms {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kIdleConnections = 1100;
constexpr int kSlowSenders = 1050;
// Unfixed, the sandbox answers no one for a minute (each held connection pins
// a worker until its 60 s read time-out, which a slow sender's every byte
// restarts); fixed, it answers in a fraction of a second, and in about 6 s
// under AddressSanitizer on a two-core machine running other builds. The
// bound sits between, with room for a busier machine; the figure the probe
// measured is recorded as a test property.
constexpr auto kAnswerBound = 20s;
constexpr int kProbeSeconds = 40;

// Room for the probe's sockets, and the sandbox's (it inherits the limit).
void raiseDescriptorLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

int connectTo(int port) {
    const int fd = test::connectLoopback(port);
    if (fd < 0) return -1;
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return fd;
}

// The sockets a probe holds, closed at the end whatever happens.
struct Held {
    std::vector<int> fds;
    ~Held() {
        for (const int fd : fds)
            close(fd);
    }
};

// Milliseconds until the sandbox answers GET /sandbox/clock on a new
// connection, or -1 when it does not within kProbeSeconds.
long msToAnswer(int port) {
    const auto start = Clock::now();
    httplib::SSLClient client("127.0.0.1", port);
    client.enable_server_certificate_verification(false);
    client.set_connection_timeout(kProbeSeconds);
    client.set_read_timeout(kProbeSeconds);
    const auto result = client.Get("/sandbox/clock");
    if (!result || result->status != 200) return -1;
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

int threadsOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("Threads:")) return std::stoi(line.substr(8));
    }
    return -1;
}

// True once the peer has closed `fd` (end of stream or a reset).
bool closedByPeer(int fd) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 0) <= 0) return false;
    char byte = 0;
    const ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

class SandboxConnections : public testing::Test {
protected:
    static void SetUpTestSuite() { raiseDescriptorLimit(); }
};

TEST_F(SandboxConnections, IdleConnectionsBeyondTheWorkerLimitDoNotStopAnswers) {
    test::SandboxChild sandbox({"--port", "0"});
    Held held;
    for (int i = 0; i < kIdleConnections; ++i) {
        const int fd = connectTo(sandbox.port());
        ASSERT_GE(fd, 0) << "connection " << i;
        held.fds.push_back(fd);
    }
    // Let the sandbox take them all in before the probe.
    std::this_thread::sleep_for(500ms);
    const long ms = msToAnswer(sandbox.port());
    RecordProperty("ms_to_answer", static_cast<int>(ms));
    ASSERT_GE(ms, 0) << "no answer within " << kProbeSeconds << " s while " << kIdleConnections
                     << " idle connections are held";
    EXPECT_LT(std::chrono::milliseconds(ms), kAnswerBound);
}

TEST_F(SandboxConnections, SlowTlsSendersAreCutAndDoNotStopAnswers) {
    test::SandboxChild sandbox({"--port", "0", "--request-timeout", "3"});
    Held held;
    for (int i = 0; i < kSlowSenders; ++i) {
        const int fd = connectTo(sandbox.port());
        ASSERT_GE(fd, 0) << "connection " << i;
        held.fds.push_back(fd);
    }
    // A TLS handshake record announcing 512 bytes, then a byte every 200 ms:
    // never silent long enough for a per-read time-out to fire.
    const std::string header("\x16\x03\x01\x02\x00", 5);
    for (const int fd : held.fds)
        ASSERT_EQ(send(fd, header.data(), header.size(), MSG_NOSIGNAL), 5);
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        while (sending) {
            for (const int fd : held.fds)
                static_cast<void>(send(fd, "\x01", 1, MSG_NOSIGNAL | MSG_DONTWAIT));
            std::this_thread::sleep_for(200ms);
        }
    });
    std::this_thread::sleep_for(500ms);
    const long ms = msToAnswer(sandbox.port());
    RecordProperty("ms_to_answer", static_cast<int>(ms));

    // By 3 s (the request time-out) plus a loaded machine's margin every
    // slow sender must have been cut, however steadily it kept sending.
    const auto start = Clock::now();
    int cut = 0;
    std::vector<bool> seen(held.fds.size(), false);
    while (cut < kSlowSenders && Clock::now() - start < 12s) {
        for (std::size_t i = 0; i < held.fds.size(); ++i) {
            if (!seen[i] && closedByPeer(held.fds[i])) {
                seen[i] = true;
                ++cut;
            }
        }
        std::this_thread::sleep_for(100ms);
    }
    sending = false;
    sender.join();
    RecordProperty("senders_cut", cut);
    RecordProperty("ms_until_all_cut",
                   static_cast<int>(
                       std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()));
    ASSERT_GE(ms, 0) << "no answer within " << kProbeSeconds << " s while " << kSlowSenders
                     << " slow TLS senders are held";
    EXPECT_LT(std::chrono::milliseconds(ms), kAnswerBound);
    EXPECT_EQ(cut, kSlowSenders);
}

TEST_F(SandboxConnections, WorkersThatFallIdleExit) {
    test::SandboxChild sandbox({"--port", "0"});
    {
        Held held;
        for (int i = 0; i < 300; ++i) {
            const int fd = connectTo(sandbox.port());
            ASSERT_GE(fd, 0);
            held.fds.push_back(fd);
        }
        const auto end = Clock::now() + 10s;
        while (threadsOf(sandbox.pid()) < 300 && Clock::now() < end)
            std::this_thread::sleep_for(50ms);
        RecordProperty("threads_while_held", threadsOf(sandbox.pid()));
        ASSERT_GE(threadsOf(sandbox.pid()), 300);
    }
    const auto start = Clock::now();
    while (threadsOf(sandbox.pid()) > 20 && Clock::now() - start < 30s)
        std::this_thread::sleep_for(100ms);
    const int left = threadsOf(sandbox.pid());
    RecordProperty("threads_after", left);
    RecordProperty("ms_until_idle",
                   static_cast<int>(
                       std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()));
    EXPECT_LE(left, 20);
    EXPECT_GE(msToAnswer(sandbox.port()), 0);
}

}  // namespace
}  // namespace qelsms
