// The pacing rules with a fake clock: start times of a token bucket, the
// pause of a 429, Retry-After in its three forms, backoff, and which failed
// tries may be repeated.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "pacing.hpp"

namespace qelsms::detail {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// The fake clock's start; any point works, the rules only see differences.
const PacingTime kT0 = PacingTime{} + 1000h;

// What a scheduler does with requests that all arrive at once: start each at
// the earliest time the bucket allows. Returns the start times.
std::vector<PacingTime> startAll(TokenBucket& bucket, int requests, PacingTime now) {
    std::vector<PacingTime> starts;
    for (int i = 0; i < requests; ++i) {
        now = bucket.earliestStart(now);
        EXPECT_TRUE(bucket.tryTake(now)) << "request " << i << " refused at the time it was given";
        starts.push_back(now);
    }
    return starts;
}

struct BucketCase {
    const char* name;
    double rate;
    int burst;
    int requests;
    std::vector<nanoseconds> firstStarts;  // offsets from kT0
    nanoseconds lastStart;
    nanoseconds tolerance;
};

void PrintTo(const BucketCase& c, std::ostream* os) {
    *os << c.name;
}

class TokenBucketStarts : public testing::TestWithParam<BucketCase> {};

TEST_P(TokenBucketStarts, RequestsArrivingTogetherStartAtTheRate) {
    const BucketCase& c = GetParam();
    TokenBucket bucket(c.rate, c.burst);
    const std::vector<PacingTime> starts = startAll(bucket, c.requests, kT0);
    for (std::size_t i = 0; i < c.firstStarts.size(); ++i)
        EXPECT_EQ(starts[i] - kT0, c.firstStarts[i]) << "request " << i;
    const nanoseconds last = starts.back() - kT0;
    EXPECT_LE(std::chrono::abs(last - c.lastStart), c.tolerance) << last.count() << " ns";
}

INSTANTIATE_TEST_SUITE_P(
    Table, TokenBucketStarts,
    testing::Values(
        BucketCase{"Unlimited", 0, 1, 10000, {0ns, 0ns, 0ns}, 0ns, 0ns},
        // The benchmark's figure: 10,000 at 100/s take 99.99 s from the first start.
        BucketCase{"HundredPerSecond", 100, 1, 10000, {0ms, 10ms, 20ms, 30ms}, 99990ms, 0ns},
        BucketCase{
            "BurstOfFiveThenSteady", 100, 5, 10000, {0ms, 0ms, 0ms, 0ms, 0ms, 10ms, 20ms}, 99950ms, 0ns},
        // 1/3 s is no whole number of nanoseconds: a long run still keeps the rate.
        BucketCase{"ThreePerSecond", 3, 1, 3000, {0ns, 333333333ns, 666666666ns}, 999666666667ns, 1ms},
        BucketCase{"SlowerThanOnePerSecond", 0.5, 2, 4, {0s, 0s, 2s, 4s}, 4s, 0ns},
        // Not a usable rate: no limit rather than a division by zero or a stall.
        BucketCase{"NegativeRateIsUnlimited", -5, 1, 100, {0ns, 0ns}, 0ns, 0ns},
        BucketCase{"NanRateIsUnlimited", std::nan(""), 1, 100, {0ns, 0ns}, 0ns, 0ns},
        BucketCase{
            "InfiniteRateIsUnlimited", std::numeric_limits<double>::infinity(), 1, 100, {0ns}, 0ns, 0ns},
        BucketCase{"BurstBelowOneCountsAsOne", 10, 0, 3, {0ms, 100ms, 200ms}, 200ms, 0ns},
        // Extremes stay in the clock's range instead of overflowing into the past.
        BucketCase{"TinyRateWaitsADay", 1e-300, 1, 3, {0h, 24h, 48h}, 48h, 0ns},
        BucketCase{"HugeBurst", 1e-5, INT_MAX, 3, {0h, 0h, 0h}, 0h, 0ns}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TokenBucketRefill, AQuietSpellRefillsTheBurstAndNoMore) {
    TokenBucket bucket(10, 3);
    startAll(bucket, 3, kT0);
    const PacingTime later = kT0 + 10s;
    const std::vector<PacingTime> starts = startAll(bucket, 4, later);
    EXPECT_EQ(starts[2], later);
    EXPECT_EQ(starts[3], later + 100ms) << "only `burst` requests start at once, however long the quiet";
}

TEST(TokenBucketRefill, ARefusedTakeCountsNothing) {
    TokenBucket bucket(10, 1);
    ASSERT_TRUE(bucket.tryTake(kT0));
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(bucket.tryTake(kT0 + 50ms));
    EXPECT_EQ(bucket.earliestStart(kT0 + 50ms), kT0 + 100ms);
    EXPECT_TRUE(bucket.tryTake(kT0 + 100ms));
    EXPECT_EQ(bucket.earliestStart(kT0 + 100ms), kT0 + 200ms);
}

// A scheduler on a loaded machine wakes late for every request, by less than
// an interval. Charged at the planned start, the campaign keeps its length;
// charged at the wake-up, each lateness would add up.
TEST(TokenBucketRefill, LateWakeUpsChargedAtThePlannedStartKeepTheSchedule) {
    TokenBucket bucket(100, 1);
    PacingTime wokeAt = kT0;
    PacingTime lastPlanned = kT0;
    for (int i = 0; i < 10000; ++i) {
        lastPlanned = bucket.earliestStart(wokeAt);
        wokeAt = lastPlanned + 3ms;
        ASSERT_TRUE(bucket.tryTake(lastPlanned)) << "request " << i;
    }
    EXPECT_EQ(lastPlanned - kT0, 99990ms);
}

struct PauseCase {
    const char* name;
    double rate;
    int burst;
    std::vector<milliseconds> pauses;  // each pauseUntil(kT0 + pause), in order
    int requests;
    std::vector<milliseconds> starts;  // offsets from kT0
};

void PrintTo(const PauseCase& c, std::ostream* os) {
    *os << c.name;
}

class TokenBucketPause : public testing::TestWithParam<PauseCase> {};

TEST_P(TokenBucketPause, HoldsEveryRequestUntilItEnds) {
    const PauseCase& c = GetParam();
    TokenBucket bucket(c.rate, c.burst);
    for (const milliseconds pause : c.pauses)
        bucket.pauseUntil(kT0 + pause);
    EXPECT_FALSE(bucket.tryTake(kT0));
    const std::vector<PacingTime> starts = startAll(bucket, c.requests, kT0);
    for (std::size_t i = 0; i < c.starts.size(); ++i)
        EXPECT_EQ(starts[i] - kT0, c.starts[i]) << "request " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Table, TokenBucketPause,
    testing::Values(
        // A 429 pauses an account that has no limit of its own, too.
        PauseCase{"UnlimitedAccount", 0, 1, {2000ms}, 3, {2000ms, 2000ms, 2000ms}},
        PauseCase{"LaterPauseExtends", 0, 1, {1000ms, 3000ms}, 1, {3000ms}},
        PauseCase{"EarlierPauseDoesNotShorten", 0, 1, {3000ms, 1000ms}, 1, {3000ms}},
        // After being told it sent too much, the account resumes at its rate, not with a burst.
        PauseCase{"ResumesAtTheRateNotWithABurst", 10, 5, {1000ms}, 3, {1000ms, 1100ms, 1200ms}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TokenBucketPause, APauseInThePastChangesNothing) {
    TokenBucket bucket(10, 2);
    bucket.pauseUntil(kT0 - 5s);
    const std::vector<PacingTime> starts = startAll(bucket, 3, kT0);
    EXPECT_EQ(starts[1], kT0);
    EXPECT_EQ(starts[2], kT0 + 100ms);
}

// Retry-After, against a wall clock at Sun, 06 Nov 1994 08:49:27 GMT.

std::chrono::system_clock::time_point wallClock(int year, unsigned month, unsigned day, int h, int m, int s) {
    using namespace std::chrono;
    return sys_days{
               year_month_day{std::chrono::year{year}, std::chrono::month{month}, std::chrono::day{day}}} +
           hours{h} + minutes{m} + seconds{s};
}

const auto kWallNow = wallClock(1994, 11, 6, 8, 49, 27);

struct RetryAfterCase {
    const char* name;
    std::optional<std::string> header;
    milliseconds maxDelay;
    milliseconds expected;
    milliseconds nowOffset = 0ms;
};

void PrintTo(const RetryAfterCase& c, std::ostream* os) {
    *os << c.name;
}

class RetryAfterDelay : public testing::TestWithParam<RetryAfterCase> {};

TEST_P(RetryAfterDelay, IsTheHeadersPauseWithinItsBounds) {
    const RetryAfterCase& c = GetParam();
    const std::optional<std::string_view> header =
        c.header ? std::optional<std::string_view>(*c.header) : std::nullopt;
    EXPECT_EQ(retryAfterDelay(header, kWallNow + c.nowOffset, c.maxDelay).count(), c.expected.count());
}

INSTANTIATE_TEST_SUITE_P(
    Table, RetryAfterDelay,
    testing::Values(
        RetryAfterCase{"AbsentIsOneSecond", std::nullopt, 30s, 1s},
        RetryAfterCase{"EmptyIsOneSecond", "", 30s, 1s}, RetryAfterCase{"Seconds", "5", 30s, 5s},
        RetryAfterCase{"SecondsAmidBlanks", " \t7 ", 30s, 7s}, RetryAfterCase{"Zero", "0", 30s, 0s},
        RetryAfterCase{"SecondsCapped", "120", 30s, 30s}, RetryAfterCase{"SecondsAtTheCap", "30", 30s, 30s},
        RetryAfterCase{"HugeNumberCappedNotOverflowed", "99999999999999999999999999", 30s, 30s},
        RetryAfterCase{"NegativeIsGarbage", "-5", 30s, 1s},
        RetryAfterCase{"FractionIsGarbage", "1.5", 30s, 1s},
        RetryAfterCase{"PlusSignIsGarbage", "+5", 30s, 1s}, RetryAfterCase{"UnitIsGarbage", "5s", 30s, 1s},
        RetryAfterCase{"WordIsGarbage", "soon", 30s, 1s},
        RetryAfterCase{"ImfFixdate", "Sun, 06 Nov 1994 08:49:37 GMT", 30s, 10s},
        RetryAfterCase{"Rfc850Date", "Sunday, 06-Nov-94 08:49:37 GMT", 30s, 10s},
        RetryAfterCase{"AsctimeDate", "Sun Nov  6 08:49:37 1994", 30s, 10s},
        RetryAfterCase{"DateMeasuredFromTheMillisecond", "Sun, 06 Nov 1994 08:49:37 GMT", 30s, 9750ms, 250ms},
        RetryAfterCase{"DatePassedAsksForNone", "Sun, 06 Nov 1994 08:49:00 GMT", 30s, 0s},
        RetryAfterCase{"DateFarAheadCapped", "Fri, 31 Dec 9999 23:59:59 GMT", 30s, 30s},
        RetryAfterCase{"DateThatDoesNotExist", "Thu, 31 Feb 1994 08:49:37 GMT", 30s, 1s},
        RetryAfterCase{"DateHour24", "Sun, 06 Nov 1994 24:00:00 GMT", 30s, 1s},
        RetryAfterCase{"DateLowerCaseZone", "Sun, 06 Nov 1994 08:49:37 gmt", 30s, 1s},
        RetryAfterCase{"DateOtherZone", "Sun, 06 Nov 1994 08:49:37 UTC", 30s, 1s},
        RetryAfterCase{"DateTrailingText", "Sun, 06 Nov 1994 08:49:37 GMT; x", 30s, 1s},
        RetryAfterCase{"DateOneDigitDay", "Sun, 6 Nov 1994 08:49:37 GMT", 30s, 1s},
        RetryAfterCase{"AbsentUnderASmallCap", std::nullopt, 400ms, 400ms},
        RetryAfterCase{"GarbageUnderASmallCap", "later", 400ms, 400ms},
        RetryAfterCase{"OneSecondUnderASmallCap", "1", 400ms, 400ms},
        RetryAfterCase{"NegativeCapIsZero", "5", -1s, 0s}),
    [](const auto& info) { return std::string(info.param.name); });

struct HttpDateCase {
    const char* name;
    std::string text;
    std::chrono::system_clock::time_point expected;
};

void PrintTo(const HttpDateCase& c, std::ostream* os) {
    *os << c.name;
}

class HttpDate : public testing::TestWithParam<HttpDateCase> {};

// Two-digit years are placed from December 2026.
TEST_P(HttpDate, ReadsEachFormToTheSecond) {
    const HttpDateCase& c = GetParam();
    const auto parsed = parseHttpDate(c.text, wallClock(2026, 12, 9, 0, 0, 0));
    ASSERT_TRUE(parsed) << c.text;
    EXPECT_EQ(*parsed, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HttpDate,
    testing::Values(
        HttpDateCase{"AsctimeTwoDigitDay", "Wed Nov 16 08:49:37 1994", wallClock(1994, 11, 16, 8, 49, 37)},
        HttpDateCase{"LeapSecond", "Sat, 31 Dec 2016 23:59:60 GMT", wallClock(2017, 1, 1, 0, 0, 0)},
        HttpDateCase{"Rfc850WithinFiftyYearsIsAhead", "Thursday, 01-Jan-70 00:00:00 GMT",
                     wallClock(2070, 1, 1, 0, 0, 0)},
        HttpDateCase{"Rfc850FiftyYearsAheadIsAhead", "Friday, 31-Dec-76 00:00:00 GMT",
                     wallClock(2076, 12, 31, 0, 0, 0)},
        HttpDateCase{"Rfc850BeyondFiftyYearsIsThePast", "Saturday, 01-Jan-77 00:00:00 GMT",
                     wallClock(1977, 1, 1, 0, 0, 0)},
        HttpDateCase{"Rfc850ThisCentury", "Wednesday, 09-Dec-26 10:00:00 GMT",
                     wallClock(2026, 12, 9, 10, 0, 0)}),
    [](const auto& info) { return std::string(info.param.name); });

// Backoff

struct BackoffCase {
    const char* name;
    RetryPolicy policy;
    int attemptsMade;
    double jitter;
    milliseconds retryAfter;
    milliseconds expected;
};

void PrintTo(const BackoffCase& c, std::ostream* os) {
    *os << c.name;
}

class Backoff : public testing::TestWithParam<BackoffCase> {};

TEST_P(Backoff, DoublesWithJitterWithinItsBounds) {
    const BackoffCase& c = GetParam();
    EXPECT_EQ(backoffDelay(c.policy, c.attemptsMade, c.jitter, c.retryAfter).count(), c.expected.count());
}

const RetryPolicy kPolicy{.maxAttempts = 10, .firstDelay = 500ms, .maxDelay = 30s};

INSTANTIATE_TEST_SUITE_P(
    Table, Backoff,
    testing::Values(BackoffCase{"FirstRetryTop", kPolicy, 1, 1.0, 0ms, 500ms},
                    BackoffCase{"FirstRetryBottom", kPolicy, 1, 0.0, 0ms, 250ms},
                    BackoffCase{"FirstRetryMiddle", kPolicy, 1, 0.5, 0ms, 375ms},
                    BackoffCase{"SecondDoubles", kPolicy, 2, 1.0, 0ms, 1000ms},
                    BackoffCase{"ThirdDoublesAgain", kPolicy, 3, 1.0, 0ms, 2000ms},
                    BackoffCase{"CappedAtMaxDelay", kPolicy, 7, 1.0, 0ms, 30s},
                    BackoffCase{"JitterBelowTheCap", kPolicy, 7, 0.0, 0ms, 15s},
                    BackoffCase{"ManyAttemptsDoNotOverflow", kPolicy, INT_MAX, 1.0, 0ms, 30s},
                    BackoffCase{"RetryAfterLongerWins", kPolicy, 1, 1.0, 5s, 5s},
                    BackoffCase{"RetryAfterShorterLoses", kPolicy, 3, 1.0, 100ms, 2000ms},
                    BackoffCase{"RetryAfterCapped", kPolicy, 1, 1.0, 60s, 30s},
                    BackoffCase{"NanJitterIsZero", kPolicy, 1, std::nan(""), 0ms, 250ms},
                    BackoffCase{"JitterAboveOneIsOne", kPolicy, 1, 7.0, 0ms, 500ms},
                    BackoffCase{"NegativeJitterIsZero", kPolicy, 1, -1.0, 0ms, 250ms},
                    BackoffCase{"NoFirstDelay", {.maxAttempts = 3, .firstDelay = 0ms}, 3, 1.0, 0ms, 0ms},
                    BackoffCase{"FirstDelayAboveMax",
                                {.maxAttempts = 3, .firstDelay = 500ms, .maxDelay = 100ms},
                                1,
                                1.0,
                                0ms,
                                100ms}),
    [](const auto& info) { return std::string(info.param.name); });

// Which failed tries may be repeated

struct SafetyCase {
    const char* name;
    TransferProgress progress;
    bool safe;
};

void PrintTo(const SafetyCase& c, std::ostream* os) {
    *os << c.name;
}

class RetrySafety : public testing::TestWithParam<SafetyCase> {};

TEST_P(RetrySafety, OnlyWhereTheProviderCertainlyDidNotAct) {
    const SafetyCase& c = GetParam();
    EXPECT_EQ(safeToRetry(c.progress), c.safe);
    // However many tries the policy allows, an unsafe try is never repeated.
    const RetryInput input{.progress = c.progress, .attemptsMade = 1, .now = kT0, .deadline = kT0 + 1h};
    EXPECT_EQ(nextTryDelay(input, {.maxAttempts = 1000}).has_value(), c.safe);
}

using enum TransferStage;
using enum ConnectFailure;

INSTANTIATE_TEST_SUITE_P(
    Table, RetrySafety,
    testing::Values(SafetyCase{"NameNotResolved", {NotSent, NameNotResolved, 0}, true},
                    SafetyCase{"ConnectionRefused", {NotSent, ConnectionRefused, 0}, true},
                    SafetyCase{"TlsHandshake", {NotSent, TlsHandshake, 0}, true},
                    SafetyCase{"OtherConnectFailure", {NotSent, Other, 0}, false},
                    SafetyCase{"NotSentWithoutAReason", {NotSent, None, 0}, false},
                    SafetyCase{"NotSentIgnoresAStatus", {NotSent, None, 429}, false},
                    // Reset or timed out after sending: the provider may have read it.
                    SafetyCase{"SentNoAnswer", {Sent, None, 0}, false},
                    SafetyCase{"SentIgnoresAConnectReason", {Sent, ConnectionRefused, 0}, false},
                    SafetyCase{"SentIgnoresAStatus", {Sent, None, 429}, false},
                    SafetyCase{"TooManyRequests", {Answered, None, 429}, true},
                    SafetyCase{"ServerError", {Answered, None, 500}, false},
                    SafetyCase{"BadGateway", {Answered, None, 502}, false},
                    SafetyCase{"Unavailable", {Answered, None, 503}, false},
                    SafetyCase{"UnusableSuccess", {Answered, None, 200}, false},
                    SafetyCase{"BadRequest", {Answered, None, 400}, false},
                    SafetyCase{"Unauthorized", {Answered, None, 401}, false},
                    SafetyCase{"RequestTimeout", {Answered, None, 408}, false},
                    SafetyCase{"Redirect", {Answered, None, 302}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NextTryDelay, RetriesUntilThePolicysTriesAreUsedUp) {
    const RetryPolicy policy{.maxAttempts = 5, .firstDelay = 500ms, .maxDelay = 30s};
    PacingTime now = kT0;
    std::vector<milliseconds> delays;
    int tries = 1;
    while (const auto delay = nextTryDelay({.progress = {NotSent, ConnectionRefused, 0},
                                            .attemptsMade = tries,
                                            .jitter = 1.0,
                                            .now = now,
                                            .deadline = kT0 + 1h},
                                           policy)) {
        delays.push_back(*delay);
        now += *delay;
        ++tries;
        ASSERT_LE(tries, 100) << "never stops retrying";
    }
    EXPECT_EQ(tries, 5);
    EXPECT_EQ(delays, (std::vector<milliseconds>{500ms, 1000ms, 2000ms, 4000ms}));
}

TEST(NextTryDelay, OneAttemptNeverRetriesEvenA429) {
    EXPECT_FALSE(nextTryDelay({.progress = {Answered, None, 429}, .now = kT0, .deadline = kT0 + 1h}, {}));
}

TEST(NextTryDelay, A429WaitsItsRetryAfter) {
    const auto delay = nextTryDelay({.progress = {Answered, None, 429},
                                     .retryAfter = 3s,
                                     .jitter = 0.0,
                                     .now = kT0,
                                     .deadline = kT0 + 1h},
                                    {.maxAttempts = 3});
    ASSERT_TRUE(delay);
    EXPECT_EQ(*delay, 3s);
}

struct DeadlineCase {
    const char* name;
    milliseconds left;     // from now to the deadline
    milliseconds minimum;  // the least time a try needs
    bool retried;
};

void PrintTo(const DeadlineCase& c, std::ostream* os) {
    *os << c.name;
}

class RetryDeadline : public testing::TestWithParam<DeadlineCase> {};

// The pause is 500 ms (jitter 1): the next try must start and have its
// minimum before the call's deadline.
TEST_P(RetryDeadline, EveryTryFitsInTheCallsDeadline) {
    const DeadlineCase& c = GetParam();
    const RetryInput input{.progress = {NotSent, NameNotResolved, 0},
                           .jitter = 1.0,
                           .now = kT0,
                           .deadline = kT0 + c.left,
                           .minimumTryTime = c.minimum};
    EXPECT_EQ(nextTryDelay(input, {.maxAttempts = 3}).has_value(), c.retried);
    EXPECT_EQ(anotherTryFits(kT0, 500ms, kT0 + c.left, c.minimum), c.retried);
}

INSTANTIATE_TEST_SUITE_P(Table, RetryDeadline,
                         testing::Values(DeadlineCase{"PlentyOfTime", 60s, 0ms, true},
                                         DeadlineCase{"DeadlineBeforeThePauseEnds", 400ms, 0ms, false},
                                         DeadlineCase{"DeadlineAtThePausesEnd", 500ms, 0ms, false},
                                         DeadlineCase{"JustAfterThePause", 501ms, 0ms, true},
                                         DeadlineCase{"TooLittleLeftForATry", 600ms, 200ms, false},
                                         DeadlineCase{"ExactlyEnoughForATry", 700ms, 200ms, true},
                                         DeadlineCase{"DeadlinePassed", -1s, 0ms, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Options

struct OptionsCase {
    const char* name;
    AccountOptions options;
    bool usable;
};

void PrintTo(const OptionsCase& c, std::ostream* os) {
    *os << c.name;
}

class AccountOptionsCheck : public testing::TestWithParam<OptionsCase> {};

TEST_P(AccountOptionsCheck, RefusesWhatCannotBeMeant) {
    const OptionsCase& c = GetParam();
    const std::optional<std::string> complaint = checkAccountOptions(c.options);
    EXPECT_EQ(!complaint.has_value(), c.usable) << complaint.value_or("");
    if (complaint) {
        EXPECT_FALSE(complaint->empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, AccountOptionsCheck,
    testing::Values(
        OptionsCase{"Defaults", {}, true},
        OptionsCase{"HundredPerSecondBurstTen", {.requestsPerSecond = 100, .burst = 10}, true},
        OptionsCase{"OneADay", {.requestsPerSecond = 1.0 / 86400}, true},
        OptionsCase{"SlowerThanOneADay", {.requestsPerSecond = 1e-6}, false},
        OptionsCase{"NegativeRate", {.requestsPerSecond = -1}, false},
        OptionsCase{"NanRate", {.requestsPerSecond = std::nan("")}, false},
        OptionsCase{"InfiniteRate", {.requestsPerSecond = std::numeric_limits<double>::infinity()}, false},
        OptionsCase{"NoBurst", {.burst = 0}, false},
        OptionsCase{"NoAttempts", {.retry = {.maxAttempts = 0}}, false},
        OptionsCase{"NegativeFirstDelay", {.retry = {.firstDelay = -1ms}}, false},
        OptionsCase{"NegativeMaxDelay", {.retry = {.maxDelay = -1ms}}, false},
        OptionsCase{"ZeroDelays", {.retry = {.maxAttempts = 3, .firstDelay = 0ms, .maxDelay = 0ms}}, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qelsms::detail
