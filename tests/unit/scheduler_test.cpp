// The waiting room's rules, one by one, on a made-up clock: no socket, no
// sleep, so every bound here is exact.
#include "scheduler.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace qelsms::detail {
namespace {

using namespace std::chrono_literals;

struct TestJob : Job {
    TestJob(std::string jobName, std::string jobHost, std::string jobAccount = {})
        : name(std::move(jobName)), host(std::move(jobHost)), account(std::move(jobAccount)) {
        limits = &ownLimits;
    }
    QueueKey queueKey() const noexcept override { return QueueKey{host, account}; }
    std::string name;
    std::string host;
    std::string account;
    JobLimits ownLimits;
};

class SchedulerRules : public ::testing::Test {
protected:
    const Clock::time_point t0 = Clock::time_point{} + 1000h;

    TestJob& add(std::string name, std::string host, Clock::time_point now, long perHost = 32,
                 long total = 256, std::string account = {}) {
        auto job = std::make_unique<TestJob>(std::move(name), std::move(host), std::move(account));
        job->ownLimits.maxPerHost = perHost;
        job->ownLimits.maxTotal = total;
        TestJob& kept = *job;
        scheduler.add(std::move(job), now);
        return kept;
    }

    std::vector<std::string> due(Clock::time_point now) {
        std::vector<Job*> started;
        scheduler.takeDue(now, started);
        std::vector<std::string> names;
        for (Job* job : started)
            names.push_back(static_cast<TestJob*>(job)->name);
        return names;
    }

    void finish(const std::string& name) {
        for (const auto& job : scheduler.active()) {
            if (static_cast<TestJob&>(*job).name == name) {
                scheduler.finish(*job);
                return;
            }
        }
        FAIL() << name << " is not in flight";
    }

    Scheduler scheduler;
};

using Names = std::vector<std::string>;

TEST_F(SchedulerRules, AHostNeverHasMoreInFlightThanItsLimit) {
    for (const char* name : {"a1", "a2", "a3", "a4"})
        add(name, "https://a", t0, 2);
    EXPECT_EQ(due(t0), (Names{"a1", "a2"}));
    EXPECT_EQ(due(t0), Names{});
    EXPECT_EQ(scheduler.queued(), 2u);
    finish("a1");
    EXPECT_EQ(due(t0), (Names{"a3"}));
    finish("a2");
    finish("a3");
    EXPECT_EQ(due(t0), (Names{"a4"}));
    EXPECT_EQ(scheduler.queued(), 0u);
}

TEST_F(SchedulerRules, TheProcessNeverHasMoreInFlightThanTheTotalLimit) {
    for (const char* host : {"https://a", "https://b", "https://c"}) {
        add(std::string(host) + "1", host, t0, 32, 2);
        add(std::string(host) + "2", host, t0, 32, 2);
    }
    EXPECT_EQ(due(t0).size(), 2u);
    EXPECT_EQ(due(t0), Names{});
    finish(static_cast<TestJob&>(*scheduler.active().front()).name);
    EXPECT_EQ(due(t0).size(), 1u);
    EXPECT_EQ(scheduler.active().size(), 2u);
}

TEST_F(SchedulerRules, HostsTakeTurnsOneJobEachOldestFirst) {
    for (int i = 1; i <= 3; ++i)
        add("a" + std::to_string(i), "https://a", t0);
    add("b1", "https://b", t0);
    add("c1", "https://c", t0);
    add("b2", "https://b", t0);
    EXPECT_EQ(due(t0), (Names{"a1", "b1", "c1", "a2", "b2", "a3"}));
}

TEST_F(SchedulerRules, UnderTheTotalLimitALongQueueDoesNotHoldBackOtherHosts) {
    for (int i = 1; i <= 5; ++i)
        add("a" + std::to_string(i), "https://a", t0, 32, 2);
    add("b1", "https://b", t0, 32, 2);
    EXPECT_EQ(due(t0), (Names{"a1", "b1"}));
    finish("a1");
    finish("b1");
    EXPECT_EQ(due(t0), (Names{"a2", "a3"}));
}

TEST_F(SchedulerRules, AFullHostLetsTheOthersGoAndKeepsItsTurn) {
    add("a1", "https://a", t0, 1);
    add("a2", "https://a", t0, 1);
    add("b1", "https://b", t0, 1);
    add("b2", "https://b", t0, 1);
    EXPECT_EQ(due(t0), (Names{"a1", "b1"}));
    finish("b1");
    EXPECT_EQ(due(t0), (Names{"b2"}));
    finish("a1");
    EXPECT_EQ(due(t0), (Names{"a2"}));
}

TEST_F(SchedulerRules, AccountsOfOneHostShareItsLimitInQueuesOfTheirOwn) {
    add("x1", "https://a", t0, 2, 256, "x");
    add("x2", "https://a", t0, 2, 256, "x");
    add("x3", "https://a", t0, 2, 256, "x");
    add("y1", "https://a", t0, 2, 256, "y");
    EXPECT_EQ(due(t0), (Names{"x1", "y1"}));
    EXPECT_EQ(due(t0), Names{});
}

TEST_F(SchedulerRules, ADelayedJobStartsNotBeforeItsTime) {
    TestJob& later = add("later", "https://a", t0);
    static_cast<void>(later);
    auto job = std::make_unique<TestJob>("delayed", "https://a");
    job->notBefore = t0 + 5s;
    scheduler.add(std::move(job), t0);
    EXPECT_EQ(scheduler.delayed(), 1u);
    EXPECT_EQ(due(t0), (Names{"later"}));
    EXPECT_EQ(scheduler.nextWake(), t0 + 5s);
    EXPECT_EQ(due(t0 + 5s - 1ms), Names{});
    EXPECT_EQ(due(t0 + 5s), (Names{"delayed"}));
    EXPECT_EQ(scheduler.delayed(), 0u);
}

TEST_F(SchedulerRules, ADueDelayedJobQueuesBehindThoseAlreadyWaiting) {
    add("w1", "https://a", t0, 1);
    add("w2", "https://a", t0, 1);
    auto job = std::make_unique<TestJob>("delayed", "https://a");
    job->ownLimits.maxPerHost = 1;
    job->notBefore = t0 + 1s;
    scheduler.add(std::move(job), t0);
    EXPECT_EQ(due(t0), (Names{"w1"}));
    finish("w1");
    EXPECT_EQ(due(t0 + 2s), (Names{"w2"}));
    finish("w2");
    EXPECT_EQ(due(t0 + 2s), (Names{"delayed"}));
}

TEST_F(SchedulerRules, APausedAccountWaitsWhileOthersGo) {
    add("x1", "https://a", t0, 32, 256, "x");
    add("y1", "https://a", t0, 32, 256, "y");
    scheduler.pauseAccount("x", t0 + 10s);
    EXPECT_EQ(due(t0), (Names{"y1"}));
    EXPECT_EQ(scheduler.nextWake(), std::optional(t0 + 10s)) << "y1's own clocks are later";
    EXPECT_EQ(due(t0 + 9s), Names{});
    EXPECT_EQ(due(t0 + 10s), (Names{"x1"}));
}

TEST_F(SchedulerRules, APauseThatEndedNoLongerSetsTheTimer) {
    add("x1", "https://a", t0, 1, 256, "x");
    add("x2", "https://a", t0, 1, 256, "x");
    scheduler.pauseAccount("x", t0 + 1s);
    EXPECT_EQ(due(t0 + 2s), (Names{"x1"}));
    EXPECT_EQ(scheduler.nextWake(), std::optional(t0 + 2s + 60s)) << "x2 waits for a connection, not a clock";
}

TEST_F(SchedulerRules, APauseThatHoldsNothingBackWakesNobody) {
    scheduler.pauseAccount("x", t0 + 10s);
    EXPECT_EQ(scheduler.nextWake(), std::nullopt);
}

struct ClockCase {
    const char* name;
    std::chrono::milliseconds progressAt;  // bytes move at this time, if positive
    std::chrono::milliseconds judgedAt;
    Expiry expected;
};

class SchedulerClocks : public SchedulerRules, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(SchedulerClocks, AJobInFlightExpiresByItsIdleTimeOrDeadline) {
    const ClockCase& c = GetParam();
    auto job = std::make_unique<TestJob>("j", "https://a");
    job->ownLimits.idleLimit = 10s;
    job->deadline = 30s;
    scheduler.add(std::move(job), t0);
    ASSERT_EQ(due(t0), (Names{"j"}));
    Job& running = *scheduler.active().front();
    if (c.progressAt > 0ms) scheduler.progress(running, 100, t0 + c.progressAt);
    std::vector<Job*> expired;
    scheduler.takeExpired(t0 + c.judgedAt, expired);
    EXPECT_EQ(running.expiry, c.expected);
    EXPECT_EQ(expired.size(), c.expected == Expiry::None ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Rules, SchedulerClocks,
                         ::testing::Values(ClockCase{"silent_just_under_idle", 0ms, 9999ms, Expiry::None},
                                           ClockCase{"silent_for_idle", 0ms, 10s, Expiry::Idle},
                                           ClockCase{"a_byte_restarts_idle", 5s, 14999ms, Expiry::None},
                                           ClockCase{"idle_after_the_last_byte", 5s, 15s, Expiry::Idle},
                                           ClockCase{"deadline_despite_bytes", 29s, 30s, Expiry::Deadline}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SchedulerRules, TheSameByteCountIsNoProgress) {
    auto job = std::make_unique<TestJob>("j", "https://a");
    job->ownLimits.idleLimit = 10s;
    scheduler.add(std::move(job), t0);
    due(t0);
    Job& running = *scheduler.active().front();
    scheduler.progress(running, 7, t0 + 1s);
    scheduler.progress(running, 7, t0 + 9s);
    EXPECT_EQ(scheduler.nextWake(), t0 + 11s) << "idle from the first sight of the 7 bytes";
}

TEST_F(SchedulerRules, TheTimerWakesAtTheEarliestClock) {
    auto a = std::make_unique<TestJob>("a", "https://a");
    a->ownLimits.idleLimit = 60s;
    a->deadline = 20s;
    scheduler.add(std::move(a), t0);
    due(t0);
    EXPECT_EQ(scheduler.nextWake(), t0 + 20s);
    auto b = std::make_unique<TestJob>("b", "https://b");
    b->notBefore = t0 + 3s;
    scheduler.add(std::move(b), t0);
    EXPECT_EQ(scheduler.nextWake(), t0 + 3s);
}

TEST_F(SchedulerRules, NothingToWaitForMeansNoTimer) {
    EXPECT_EQ(scheduler.nextWake(), std::nullopt);
    add("a", "https://a", t0, 0);
    EXPECT_EQ(due(t0), Names{});
    EXPECT_EQ(scheduler.nextWake(), std::nullopt) << "a job waiting for a connection waits for no clock";
}

TEST_F(SchedulerRules, AStopHandsBackEveryJobQueuedDelayedOrInFlight) {
    add("running", "https://a", t0, 1);
    add("queued", "https://a", t0, 1);
    auto job = std::make_unique<TestJob>("delayed", "https://b");
    job->notBefore = t0 + 1h;
    scheduler.add(std::move(job), t0);
    ASSERT_EQ(due(t0), (Names{"running"}));
    const auto all = scheduler.drain();
    Names names;
    for (const auto& each : all)
        names.push_back(static_cast<const TestJob&>(*each).name);
    EXPECT_EQ(names, (Names{"queued", "delayed", "running"}));
    EXPECT_EQ(scheduler.queued(), 0u);
    EXPECT_EQ(scheduler.delayed(), 0u);
    EXPECT_TRUE(scheduler.active().empty());
    EXPECT_EQ(scheduler.nextWake(), std::nullopt);
    add("after", "https://a", t0, 1);
    EXPECT_EQ(due(t0), (Names{"after"})) << "the host's count starts afresh";
}

TEST_F(SchedulerRules, WaitingHostsAreNamedOnce) {
    add("a1", "https://a", t0, 0, 256, "x");
    add("a2", "https://a", t0, 0, 256, "y");
    add("b1", "https://b", t0, 0);
    due(t0);
    std::vector<std::string> hosts;
    scheduler.waitingHosts(hosts);
    EXPECT_EQ(hosts, (std::vector<std::string>{"https://a", "https://b"}));
}

// An account's pace: jobs of an account with a token bucket start no faster
// than its rate, on the scheduler's made-up clock.
class SchedulerPacing : public SchedulerRules {
protected:
    TestJob& addPaced(std::string name, TokenBucket& bucket, Clock::time_point now, std::string account = "x",
                      std::string host = "https://a") {
        auto job = std::make_unique<TestJob>(std::move(name), std::move(host), std::move(account));
        job->bucket = &bucket;
        TestJob& kept = *job;
        scheduler.add(std::move(job), now);
        return kept;
    }
};

TEST_F(SchedulerPacing, AnAccountStartsAtItsRate) {
    TokenBucket tenPerSecond(10, 1);
    for (const char* name : {"p1", "p2", "p3"})
        addPaced(name, tenPerSecond, t0);
    EXPECT_EQ(due(t0), (Names{"p1"}));
    EXPECT_EQ(scheduler.nextStart(), std::optional(t0 + 100ms));
    EXPECT_EQ(due(t0 + 99ms), Names{});
    EXPECT_EQ(due(t0 + 100ms), (Names{"p2"}));
    EXPECT_EQ(due(t0 + 200ms), (Names{"p3"}));
    EXPECT_EQ(scheduler.nextStart(), std::nullopt);
}

TEST_F(SchedulerPacing, ABurstStartsAtOnceThenTheRate) {
    TokenBucket bucket(10, 3);
    for (const char* name : {"p1", "p2", "p3", "p4"})
        addPaced(name, bucket, t0);
    EXPECT_EQ(due(t0), (Names{"p1", "p2", "p3"}));
    EXPECT_EQ(due(t0 + 99ms), Names{});
    EXPECT_EQ(due(t0 + 100ms), (Names{"p4"}));
}

TEST_F(SchedulerPacing, ALateTurnKeepsTheAccountsSchedule) {
    TokenBucket tenPerSecond(10, 1);
    for (const char* name : {"p1", "p2", "p3"})
        addPaced(name, tenPerSecond, t0);
    EXPECT_EQ(due(t0), (Names{"p1"}));
    EXPECT_EQ(due(t0 + 150ms), (Names{"p2"})) << "counted as started at its planned 100 ms";
    EXPECT_EQ(due(t0 + 200ms), (Names{"p3"})) << "not 250 ms: the lateness is not lost";
}

TEST_F(SchedulerPacing, AThrottledAccountNeverHoldsBackAnother) {
    TokenBucket slow(1, 1);
    for (const char* name : {"x1", "x2", "x3"})
        addPaced(name, slow, t0);
    for (const char* name : {"y1", "y2", "y3"})
        add(name, "https://a", t0, 32, 256, "y");
    EXPECT_EQ(due(t0), (Names{"x1", "y1", "y2", "y3"}));
    add("y4", "https://a", t0 + 10ms, 32, 256, "y");
    EXPECT_EQ(due(t0 + 10ms), (Names{"y4"}));
}

TEST_F(SchedulerPacing, AQueueWaitingForItsPaceIsNotWaitingForAConnection) {
    // The loop is woken for a new request unless its host waits for a
    // connection: a host named here because of a pace would make another
    // account's request wait for the pace's timer.
    TokenBucket slow(1, 1);
    addPaced("x1", slow, t0);
    addPaced("x2", slow, t0);
    EXPECT_EQ(due(t0), (Names{"x1"}));
    std::vector<std::string> hosts;
    scheduler.waitingHosts(hosts);
    EXPECT_TRUE(hosts.empty());
}

TEST_F(SchedulerPacing, APausedBucketResumesAtItsRateNotWithABurst) {
    TokenBucket bucket(10, 3);
    for (const char* name : {"p1", "p2", "p3"})
        addPaced(name, bucket, t0);
    bucket.pauseUntil(t0 + 5s);
    EXPECT_EQ(due(t0), Names{});
    EXPECT_EQ(scheduler.nextStart(), std::optional(t0 + 5s));
    EXPECT_EQ(due(t0 + 5s), (Names{"p1"}));
    EXPECT_EQ(due(t0 + 5s + 99ms), Names{});
    EXPECT_EQ(due(t0 + 5s + 100ms), (Names{"p2"}));
}

TEST_F(SchedulerPacing, ALaterPauseExtendsAnEarlierOneNeverShortens) {
    add("x1", "https://a", t0, 32, 256, "x");
    scheduler.pauseAccount("x", t0 + 10s);
    scheduler.pauseAccount("x", t0 + 5s);
    EXPECT_EQ(due(t0 + 9s), Names{});
    EXPECT_EQ(scheduler.nextWake(), std::optional(t0 + 10s));
    EXPECT_EQ(due(t0 + 10s), (Names{"x1"}));
}

TEST_F(SchedulerPacing, ARetryWaitsOutItsBackoffAndThenItsPace) {
    TokenBucket tenPerSecond(10, 1);
    addPaced("first", tenPerSecond, t0);
    EXPECT_EQ(due(t0), (Names{"first"}));
    auto retried = scheduler.finish(*scheduler.active().front());
    retried->notBefore = t0 + 50ms;  // the backoff
    scheduler.add(std::move(retried), t0 + 1ms);
    addPaced("second", tenPerSecond, t0 + 1ms);
    EXPECT_EQ(scheduler.nextWake(), std::optional(t0 + 50ms));
    EXPECT_EQ(due(t0 + 50ms), Names{}) << "the account's next token comes at 100 ms";
    EXPECT_EQ(due(t0 + 100ms), (Names{"second"}));
    EXPECT_EQ(due(t0 + 200ms), (Names{"first"}));
}

}  // namespace
}  // namespace qelsms::detail
