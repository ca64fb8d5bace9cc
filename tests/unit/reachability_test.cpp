#include "reachability.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <sched.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qelsms::detail {
namespace {

using namespace std::chrono_literals;

TEST(ReachableFromFlags, NeedsReachableAndNoConnectionRequired) {
    struct Case {
        const char* name;
        bool queryOk;
        std::uint32_t flags;
        bool expected;
    };
    const Case cases[] = {
        {"nothing set", true, 0, false},
        {"reachable", true, 2, true},
        {"reachable, connection required", true, 6, false},
        {"connection required only", true, 4, false},
        {"reachable plus an unrelated bit", true, 3, true},
        {"failed query with a reachable word", false, 2, false},
        {"failed query with an empty word", false, 0, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(reachableFromFlags(c.queryOk, c.flags), c.expected) << c.name;
}

int countOpenDescriptors() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

constexpr int kUnshareDenied = 77;
constexpr int kSetupFailed = 78;

extern "C" void ignoreSignal(int) {}

// Signals arrive without SA_RESTART while many threads probe at once, so an interrupted system call the
// probe failed to retry would show up as a wrong answer.
TEST(ConnectivityProbe, ManyThreadsUnderSignalsAgreeAndCloseEveryDescriptor) {
    if (std::system("ip route show default | grep -q . || ip -6 route show default | grep -q .") != 0) {
        GTEST_SKIP() << "this machine has no default route";
    }
    struct sigaction action {};
    action.sa_handler = ignoreSignal;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    const itimerval every100us{{0, 100}, {0, 100}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every100us, nullptr), 0);

    // The first probe opens the one descriptor that stays: the change subscription.
    ASSERT_TRUE(isConnectedToNetwork());
    const int descriptorsBefore = countOpenDescriptors();
    std::atomic<int> negative{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        // Half the threads read the tables afresh every time, so the full query runs under the
        // signals as well as the kept answer.
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (!(t % 2 == 0 ? isConnectedToNetwork() : queryRoutingTable())) ++negative;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(negative.load(), 0);
    EXPECT_EQ(countOpenDescriptors(), descriptorsBefore);
}

// The kept answer and its subscription belong to the process that made them: a forked child that
// moves to an empty network namespace must not be told what its parent's network looks like.
TEST(ConnectivityProbe, AForkedChildInAnotherNamespaceGetsItsOwnAnswer) {
    if (!isConnectedToNetwork()) GTEST_SKIP() << "this machine has no usable default route";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0) _exit(kUnshareDenied);
        _exit(isConnectedToNetwork() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kUnshareDenied) GTEST_SKIP() << "not allowed to create a network namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child was given its parent's answer";
    EXPECT_TRUE(isConnectedToNetwork());
}

// One step of a namespace scenario: a shell script run inside the namespace, then the answer expected.
struct Step {
    const char* script;
    bool expected;
    // The change takes effect inside the command (no link state to settle), so the very first answer
    // after it must already be the new one.
    bool atOnce = false;
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

// veth NAME: an interface pair NAME/NAMEp, both ends up, so NAME has a carrier.
const std::string kPrelude = R"(set -e
veth() { ip link add "$1" type veth peer name "$1p"; ip link set "$1" up; ip link set "$1p" up; }
)";

// Runs in a forked child: only exit codes leave it. Link state settles asynchronously in the kernel, so
// each step polls the probe until it gives the expected answer or a deadline passes; a probe that kept
// an old answer, or ignored what changed, never gets there.
[[noreturn]] void runScenarioInNewNamespace(const Scenario& scenario) {
    if (unshare(CLONE_NEWNET) != 0) _exit(errno == EPERM ? kUnshareDenied : kSetupFailed);
    for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
        const Step& step = scenario.steps[i];
        if (std::system((kPrelude + step.script + "\n").c_str()) != 0) _exit(kSetupFailed);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (isConnectedToNetwork() != step.expected) {
            if (step.atOnce || std::chrono::steady_clock::now() > deadline) _exit(static_cast<int>(i) + 1);
            std::this_thread::sleep_for(10ms);
        }
        if (queryRoutingTable() != step.expected) _exit(static_cast<int>(i) + 1);
    }
    _exit(0);
}

void PrintTo(const Scenario& scenario, std::ostream* os) {
    *os << scenario.name;
}

class ConnectivityProbeInNamespace : public testing::TestWithParam<Scenario> {};

TEST_P(ConnectivityProbeInNamespace, FollowsTheMainRoutingTable) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) runScenarioInNewNamespace(GetParam());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    const int code = WEXITSTATUS(status);
    if (code == kUnshareDenied) GTEST_SKIP() << "not allowed to create a network namespace";
    if (code == kSetupFailed) GTEST_SKIP() << "this kernel or ip(8) cannot build the scenario";
    const auto& steps = GetParam().steps;
    ASSERT_TRUE(code >= 0 && static_cast<std::size_t>(code) <= steps.size()) << "child exit code " << code;
    if (code != 0) ADD_FAILURE() << "wrong answer after step " << code << ": " << steps[code - 1].script;
}

const char* const kManyRoutes =
    "i=0; while [ $i -lt 3000 ]; do echo \"route add 172.16.$((i / 250)).$((i % 250))/32 dev v0\"; "
    "i=$((i + 1)); done | ip -batch -";

INSTANTIATE_TEST_SUITE_P(
    Scenarios, ConnectivityProbeInNamespace,
    testing::Values(
        Scenario{"Empty", {{":", false}}}, Scenario{"LoopbackUp", {{"ip link set lo up", false}}},
        Scenario{"FreshAnswerOnEveryCall",
                 {{":", false},
                  {"veth v0; ip addr add 10.9.0.1/24 dev v0; ip route add default via 10.9.0.2", true},
                  {"ip link set v0p down", false},
                  {"ip link set v0p up", true},
                  {"ip route del default", false}}},
        Scenario{"DormantLinkWithCarrier",
                 {{"ip link add v0 type veth peer name v0p; ip link set v0 mode dormant; ip link set v0 up; "
                   "ip link set v0p up; ip addr add 10.9.0.1/24 dev v0; ip route add default via 10.9.0.2",
                   false},
                  {"ip link set v0 mode default; ip link set v0p down; ip link set v0p up", true}}},
        Scenario{"Ipv6DefaultRouteOnly",
                 {{"veth v0; ip -6 route add default via fe80::1 dev v0", true},
                  {"ip -6 route del default", false}}},
        Scenario{
            "RejectingDefaultRoutes",
            {{"ip link set lo up; ip route add blackhole default; ip route add prohibit default metric 5; "
              "ip -6 route add unreachable default",
              false}}},
        Scenario{"DefaultRouteOutsideMainTable",
                 {{"veth v0; ip addr add 10.9.0.1/24 dev v0; ip route add default via 10.9.0.2 table 100",
                   false}}},
        Scenario{"MultipathWithOneLiveHop",
                 {{"veth v0; veth v1; ip link set v1p down; ip addr add 10.9.0.1/24 dev v0; "
                   "ip addr add 10.9.1.1/24 dev v1; "
                   "ip route add default nexthop via 10.9.1.2 dev v1 nexthop via 10.9.0.2 dev v0",
                   true},
                  {"ip link set v0p down", false}}},
        Scenario{"RouteThroughNexthopObject",
                 {{"sysctl -qw net.ipv4.nexthop_compat_mode=0; veth v0; ip addr add 10.9.0.1/24 dev v0; "
                   "ip nexthop add id 1 via 10.9.0.2 dev v0; ip route add default nhid 1",
                   true}}},
        // The kept answer must follow every kind of change the kernel announces.
        Scenario{"KeptAnswerFollowsEveryChangeAtOnce",
                 {{"veth v0; ip addr add 10.9.0.1/24 dev v0; ip route add default via 10.9.0.2", true},
                  {"ip route del default", false, true},
                  {"ip route add default via 10.9.0.2", true, true},
                  {"ip route replace blackhole default", false, true},
                  {"ip route replace default via 10.9.0.2", true, true},
                  {"ip addr flush dev v0", false, true},
                  {"ip addr add 10.9.0.1/24 dev v0; ip route add default via 10.9.0.2", true, true},
                  {"ip link set v0 down", false, true},
                  {"ip link set v0 up; ip route add default via 10.9.0.2", true},
                  {"ip -6 route add default via fe80::1 dev v0; ip route del default", true, true},
                  {"ip -6 route del default", false, true},
                  {"sysctl -qw net.ipv4.nexthop_compat_mode=0; ip nexthop add id 1 via 10.9.0.2 dev v0; "
                   "ip route add default nhid 1",
                   true, true},
                  {"ip nexthop del id 1", false, true}}},
        // Without IPv6 a carrier change is announced only as a link change.
        Scenario{
            "CarrierChangesWithoutIpv6",
            {{"sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1; veth v0; "
              "ip addr add 10.9.0.1/24 dev v0; ip route add default via 10.9.0.2",
              true},
             {"ip link set v0p down", false},
             {"ip link set v0p up", true}}},
        Scenario{"Ipv6DefaultBehindManyIpv4Routes",
                 {{"veth v0", false},
                  {kManyRoutes, false},
                  {"ip -6 route add default via fe80::1 dev v0", true}}}),
    [](const testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qelsms::detail
