#include "pacing.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace qelsms::detail {

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// Slower than one request a day is almost certainly a unit mistake, and it
// keeps every interval far from the clock's range.
constexpr double kSlowestRate = 1.0 / 86400.0;
constexpr double kLongestToleranceNs = 366.0 * 86400.0 * 1e9;

// Reads the fixed grammar of an HTTP-date piece by piece; each reader fails
// for good at its first mismatch.
class DateReader {
public:
    explicit DateReader(std::string_view text) : rest_(text) {}

    DateReader& literal(std::string_view expected) {
        if (ok_ && rest_.starts_with(expected)) {
            rest_.remove_prefix(expected.size());
        } else {
            ok_ = false;
        }
        return *this;
    }

    DateReader& digits(std::size_t count, int& out) {
        out = 0;
        if (!ok_ || rest_.size() < count) {
            ok_ = false;
            return *this;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const char c = rest_[i];
            if (c < '0' || c > '9') {
                ok_ = false;
                return *this;
            }
            out = out * 10 + (c - '0');
        }
        rest_.remove_prefix(count);
        return *this;
    }

    // A day of the month in asctime's form: two digits, or a blank and one.
    DateReader& paddedDay(int& out) {
        if (ok_ && rest_.starts_with(' ')) {
            rest_.remove_prefix(1);
            return digits(1, out);
        }
        return digits(2, out);
    }

    // One of `names` (matched case-sensitively, as the grammar says); its
    // index in `index`.
    template <std::size_t N>
    DateReader& name(const std::array<std::string_view, N>& names, int& index) {
        if (ok_) {
            for (std::size_t i = 0; i < N; ++i) {
                if (rest_.starts_with(names[i])) {
                    rest_.remove_prefix(names[i].size());
                    index = static_cast<int>(i);
                    return *this;
                }
            }
        }
        ok_ = false;
        return *this;
    }

    DateReader& timeOfDay(int& hour, int& minute, int& second) {
        return digits(2, hour).literal(":").digits(2, minute).literal(":").digits(2, second);
    }

    [[nodiscard]] bool complete() const { return ok_ && rest_.empty(); }

private:
    std::string_view rest_;
    bool ok_ = true;
};

constexpr std::array<std::string_view, 7> kDayNames{"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr std::array<std::string_view, 7> kLongDayNames{"Monday", "Tuesday",  "Wednesday", "Thursday",
                                                        "Friday", "Saturday", "Sunday"};
constexpr std::array<std::string_view, 12> kMonthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct DateFields {
    int year = 0;
    int month = 0;  // 0 for January
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

std::optional<std::chrono::sys_seconds> toTime(const DateFields& f) {
    using namespace std::chrono;
    const year_month_day date{year{f.year}, month{static_cast<unsigned>(f.month + 1)},
                              day{static_cast<unsigned>(f.day)}};
    // 60 is a leap second, which the grammar allows.
    if (!date.ok() || f.hour > 23 || f.minute > 59 || f.second > 60) return std::nullopt;
    return sys_days{date} + hours{f.hour} + minutes{f.minute} + seconds{f.second};
}

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

}  // namespace

std::optional<std::string> checkAccountOptions(const AccountOptions& options) {
    const double rate = options.requestsPerSecond;
    if (!std::isfinite(rate) || rate < 0 || (rate > 0 && rate < kSlowestRate)) {
        return "requestsPerSecond must be 0 (no limit) or a rate of at least one request a day";
    }
    if (options.burst < 1) return "burst must be at least 1";
    if (options.retry.maxAttempts < 1) return "retry.maxAttempts must be at least 1";
    if (options.retry.firstDelay.count() < 0 || options.retry.maxDelay.count() < 0) {
        return "retry.firstDelay and retry.maxDelay must not be negative";
    }
    return std::nullopt;
}

TokenBucket::TokenBucket(double requestsPerSecond, int burst) noexcept {
    if (!std::isfinite(requestsPerSecond) || !(requestsPerSecond > 0)) return;
    const double intervalNs = std::clamp(1e9 / std::max(requestsPerSecond, kSlowestRate), 1.0, 86400e9);
    interval_ = nanoseconds(std::llround(intervalNs));
    const double toleranceNs =
        std::min(static_cast<double>(std::max(burst, 1) - 1) * intervalNs, kLongestToleranceNs);
    tolerance_ = nanoseconds(std::llround(toleranceNs));
}

PacingTime TokenBucket::earliestStart(PacingTime now) const noexcept {
    return std::max({now, emptyAt_ - tolerance_, pausedUntil_});
}

bool TokenBucket::tryTake(PacingTime now) noexcept {
    if (earliestStart(now) > now) return false;
    emptyAt_ = std::max(emptyAt_, now) + interval_;
    return true;
}

void TokenBucket::pauseUntil(PacingTime until) noexcept {
    pausedUntil_ = std::max(pausedUntil_, until);
    // As if a whole burst had just started at the pause's end.
    emptyAt_ = std::max(emptyAt_, pausedUntil_ + tolerance_);
}

std::optional<std::chrono::sys_seconds> parseHttpDate(std::string_view text,
                                                      std::chrono::system_clock::time_point now) {
    DateFields f;
    int ignoredDay = 0;

    // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
    if (DateReader(text)
            .name(kDayNames, ignoredDay)
            .literal(", ")
            .digits(2, f.day)
            .literal(" ")
            .name(kMonthNames, f.month)
            .literal(" ")
            .digits(4, f.year)
            .literal(" ")
            .timeOfDay(f.hour, f.minute, f.second)
            .literal(" GMT")
            .complete()) {
        return toTime(f);
    }

    // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"
    if (DateReader(text)
            .name(kLongDayNames, ignoredDay)
            .literal(", ")
            .digits(2, f.day)
            .literal("-")
            .name(kMonthNames, f.month)
            .literal("-")
            .digits(2, f.year)
            .literal(" ")
            .timeOfDay(f.hour, f.minute, f.second)
            .literal(" GMT")
            .complete()) {
        const int thisYear =
            static_cast<int>(std::chrono::year_month_day{std::chrono::floor<std::chrono::days>(now)}.year());
        f.year += thisYear - thisYear % 100;
        if (f.year > thisYear + 50) f.year -= 100;
        return toTime(f);
    }

    // asctime: "Sun Nov  6 08:49:37 1994"
    if (DateReader(text)
            .name(kDayNames, ignoredDay)
            .literal(" ")
            .name(kMonthNames, f.month)
            .literal(" ")
            .paddedDay(f.day)
            .literal(" ")
            .timeOfDay(f.hour, f.minute, f.second)
            .literal(" ")
            .digits(4, f.year)
            .complete()) {
        return toTime(f);
    }
    return std::nullopt;
}

milliseconds retryAfterDelay(std::optional<std::string_view> header,
                             std::chrono::system_clock::time_point now, milliseconds maxDelay) {
    maxDelay = std::max(maxDelay, milliseconds{0});
    const milliseconds fallback = std::min(milliseconds{1000}, maxDelay);
    if (!header) return fallback;
    const std::string_view value = trimmed(*header);
    if (value.empty()) return fallback;

    if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        // Any number of digits is valid; anything past the cap is the cap.
        const std::int64_t capSeconds = maxDelay.count() / 1000 + 1;
        std::int64_t seconds = 0;
        for (const char c : value) {
            seconds = seconds * 10 + (c - '0');
            if (seconds >= capSeconds) return maxDelay;
        }
        return std::min(milliseconds{seconds * 1000}, maxDelay);
    }

    const auto date = parseHttpDate(value, now);
    if (!date) return fallback;
    // In milliseconds, where a year 9999 date still fits.
    const milliseconds ahead = std::chrono::time_point_cast<milliseconds>(*date).time_since_epoch() -
                               std::chrono::ceil<milliseconds>(now.time_since_epoch());
    return std::clamp(ahead, milliseconds{0}, maxDelay);
}

milliseconds backoffDelay(const RetryPolicy& policy, int attemptsMade, double jitter,
                          milliseconds retryAfter) {
    const milliseconds cap = std::max(policy.maxDelay, milliseconds{0});
    milliseconds base = std::min(std::max(policy.firstDelay, milliseconds{0}), cap);
    for (int made = 1; made < attemptsMade && base < cap; ++made)
        base = base > cap / 2 ? cap : base * 2;

    if (!(jitter >= 0)) jitter = 0;  // also NaN
    jitter = std::min(jitter, 1.0);
    const auto spread = milliseconds(std::llround(static_cast<double>(base.count()) * (0.5 + 0.5 * jitter)));
    return std::min(std::max(spread, retryAfter), cap);
}

bool anotherTryFits(PacingTime now, milliseconds delay, PacingTime deadline,
                    milliseconds minimumTryTime) noexcept {
    const PacingTime start = now + delay;
    return start < deadline && deadline - start >= minimumTryTime;
}

bool safeToRetry(const TransferProgress& progress) noexcept {
    switch (progress.stage) {
        case TransferStage::NotSent:
            return progress.connectFailure == ConnectFailure::NameNotResolved ||
                   progress.connectFailure == ConnectFailure::ConnectionRefused ||
                   progress.connectFailure == ConnectFailure::TlsHandshake;
        case TransferStage::Sent:
            return false;
        case TransferStage::Answered:
            return progress.httpStatus == 429;
    }
    return false;
}

std::optional<milliseconds> nextTryDelay(const RetryInput& input, const RetryPolicy& policy) {
    if (!safeToRetry(input.progress) || input.attemptsMade >= policy.maxAttempts) return std::nullopt;
    const milliseconds delay = backoffDelay(policy, input.attemptsMade, input.jitter, input.retryAfter);
    if (!anotherTryFits(input.now, delay, input.deadline, input.minimumTryTime)) return std::nullopt;
    return delay;
}

}  // namespace qelsms::detail
