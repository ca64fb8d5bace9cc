// The facade's credentials as one pair per call, while another thread
// switches accounts.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <qelsms/qelsms.hpp>

#include "test_server.hpp"

namespace qelsms {
namespace {

using namespace std::chrono_literals;

// One thread flips the user name between empty and set while others call;
// a single writer never leaves the settings a mix of two assignments, so
// every call must either be refused or reach the server with the user name
// it checked.
TEST(CredentialsSnapshot, NoRequestReachesTheServerWithAPairTheCallDidNotCheck) {
    test::LoopbackServer server;
    test::routeProductionHostTo(server.port());
    // Long enough that composing a URL takes a while, and the settings may
    // change in between; still within the server's limit on a request line.
    SMSManager::user = "alice";
    SMSManager::password = std::string(2000, '!');

    std::atomic<bool> stop{false};
    std::thread switcher([&] {
        for (bool clear = true; !stop.load(); clear = !clear)
            SMSManager::user = clear ? "" : "alice";
    });

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
    switcher.join();
    ASSERT_TRUE(collector.waitFor(kCallers * kCalls, 60s));

    std::size_t sent = 0;
    std::size_t torn = 0;
    for (const auto& request : server.received()) {
        ++sent;
        if (request.target.find("Username=alice&Password=") == std::string::npos) ++torn;
    }
    EXPECT_EQ(torn, 0u) << "of " << sent << " requests sent";
    EXPECT_EQ(collector.count(), static_cast<std::size_t>(kCallers * kCalls));
}

}  // namespace
}  // namespace qelsms
