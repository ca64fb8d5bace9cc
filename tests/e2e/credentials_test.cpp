// The facade's credentials as one pair per call, while another thread
// switches accounts.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <qelsms/qelsms.hpp>

#include "test_server.hpp"

namespace qelsms {
namespace {

using namespace std::chrono_literals;

// Two switching threads take turns, one clearing the account and one setting
// it, so the settings themselves are never a mix of both; every call must
// then either be refused or reach the server with the full pair it checked.
TEST(CredentialsSnapshot, NoRequestReachesTheServerWithAPairTheCallDidNotCheck) {
    test::LoopbackServer server;
    test::routeProductionHostTo(server.port());
    SMSManager::user = "alice";
    SMSManager::password = "pw";

    std::atomic<bool> clearing{true};
    std::atomic<bool> stop{false};
    const auto switcher = [&](bool clears) {
        while (!stop.load()) {
            if (clearing.load() != clears) {
                std::this_thread::yield();
                continue;
            }
            SMSManager::user = clears ? "" : "alice";
            SMSManager::password = clears ? "" : "pw";
            clearing.store(!clears);
            // Long enough for calls to go out under either state.
            std::this_thread::sleep_for(20us);
        }
    };
    std::thread clearer(switcher, true);
    std::thread setter(switcher, false);

    constexpr int kCallers = 4;
    constexpr int kCalls = 1500;
    test::CallbackCollector collector;
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t) {
        callers.emplace_back([&] {
            for (int i = 0; i < kCalls; ++i)
                SMSManager::GetBalance(collector.completion(), collector.error());
        });
    }
    for (auto& caller : callers)
        caller.join();
    stop.store(true);
    clearer.join();
    setter.join();
    ASSERT_TRUE(collector.waitFor(kCallers * kCalls, 60s));

    std::size_t sent = 0;
    std::size_t torn = 0;
    for (const auto& request : server.received()) {
        ++sent;
        if (request.target.find("Username=alice&Password=pw") == std::string::npos) ++torn;
    }
    EXPECT_EQ(torn, 0u) << "of " << sent << " requests sent";
    EXPECT_GT(sent, 0u);
    EXPECT_EQ(collector.count(), static_cast<std::size_t>(kCallers * kCalls));
}

}  // namespace
}  // namespace qelsms
