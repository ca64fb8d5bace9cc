// The rules of pacing and retrying, apart from any engine: a token bucket per
// account, the pause a 429's Retry-After asks for, the backoff between tries,
// and which failed tries may be tried again without risking a second SMS.
// Nothing here reads a clock or draws a random number: the scheduler passes
// its own time and jitter in, so tests drive every rule with a fake clock.
#pragma once

#include <qelsms/pacing.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace qelsms::detail {

using PacingClock = std::chrono::steady_clock;
using PacingTime = PacingClock::time_point;

// Why AccountOptions can't be used, in words for an exception's text; nullopt
// when they can.
std::optional<std::string> checkAccountOptions(const AccountOptions& options);

// Start times for one account's requests: `burst` at once after a quiet
// spell, then one per 1/requestsPerSecond. Kept as the time the bucket would
// next be empty (the generic cell rate algorithm): no token count in floating
// point to drift, and nothing to update while the account is quiet.
class TokenBucket {
public:
    // Unlimited: never holds a request back, except during a pause.
    TokenBucket() = default;
    // requestsPerSecond 0 (or not a positive finite number) means unlimited;
    // a burst below 1 counts as 1. Options are meant to pass
    // checkAccountOptions first.
    TokenBucket(double requestsPerSecond, int burst) noexcept;

    [[nodiscard]] bool limited() const noexcept { return interval_.count() > 0; }

    // The earliest time, `now` or later, at which the next request may start.
    [[nodiscard]] PacingTime earliestStart(PacingTime now) const noexcept;

    // Lets one request start at `now` and counts it; false, counting nothing,
    // when it must wait until earliestStart(now). A scheduler that wakes late
    // passes the start it had planned (earliestStart's answer) rather than the
    // time it woke: a lateness of less than one interval (plus the burst's
    // tolerance) is then not lost. A longer stall counts as a quiet spell: at
    // most `burst` requests catch up at once.
    bool tryTake(PacingTime now) noexcept;

    // Holds every request back until `until` (a 429 from the provider). A
    // later pause extends an earlier one, an earlier one never shortens it.
    // After the pause the account starts again at its steady rate, not with
    // a burst: the provider has just said it was sent too much.
    void pauseUntil(PacingTime until) noexcept;

    // The end of the current pause; in the past when there is none.
    [[nodiscard]] PacingTime pausedUntil() const noexcept { return pausedUntil_; }

private:
    std::chrono::nanoseconds interval_{0};   // between two requests; 0: unlimited
    std::chrono::nanoseconds tolerance_{0};  // (burst - 1) intervals
    PacingTime emptyAt_{};                   // when the bucket would hold no token
    PacingTime pausedUntil_{};
};

// Reads an HTTP-date (IMF-fixdate, or the obsolete RFC 850 and asctime forms
// that recipients must still accept). `now` places an RFC 850 date's
// two-digit year: one more than 50 years ahead belongs to the past century.
std::optional<std::chrono::sys_seconds> parseHttpDate(std::string_view text,
                                                      std::chrono::system_clock::time_point now);

// The pause a 429 asks for, from its Retry-After header (nullopt when the
// answer had none): delay-seconds, or an HTTP-date measured against `now` on
// the wall clock (a date already past asks for none). 1 s when the header is
// absent or unreadable. Never more than `maxDelay`, never negative.
std::chrono::milliseconds retryAfterDelay(std::optional<std::string_view> header,
                                          std::chrono::system_clock::time_point now,
                                          std::chrono::milliseconds maxDelay);

// The pause after `attemptsMade` tries (1 before the first retry): firstDelay
// doubled for each try after the first, then spread by `jitter` (uniform in
// [0, 1]) over the upper half of that, so clients that failed together don't
// come back together. At least `retryAfter`, at most maxDelay.
std::chrono::milliseconds backoffDelay(const RetryPolicy& policy, int attemptsMade, double jitter,
                                       std::chrono::milliseconds retryAfter = std::chrono::milliseconds{0});

// Whether a try that starts `delay` after `now` and needs at least
// `minimumTryTime` still ends before the call's `deadline`.
bool anotherTryFits(PacingTime now, std::chrono::milliseconds delay, PacingTime deadline,
                    std::chrono::milliseconds minimumTryTime) noexcept;

// How far a failed try got, as any engine can tell it.
enum class TransferStage {
    NotSent,   // no byte of the request reached the network
    Sent,      // some or all of the request was written, no answer's head came back
    Answered,  // an answer's status line came back
};

// Why a try that sent nothing could not connect.
enum class ConnectFailure {
    None,
    NameNotResolved,
    ConnectionRefused,
    TlsHandshake,  // the handshake failed, so the request itself was never written
    Other,         // a connect time-out, a proxy's refusal, no memory or handles
};

struct TransferProgress {
    TransferStage stage = TransferStage::NotSent;
    ConnectFailure connectFailure = ConnectFailure::None;  // read when stage is NotSent
    int httpStatus = 0;                                    // read when stage is Answered
};

// True only when the provider certainly did not act on the try and another
// may go through: it could not connect (name, refused connection, TLS
// handshake) or it answered 429. Never once the request may have been read:
// a reset or a time-out after sending, a 5xx, an unusable or any other answer.
bool safeToRetry(const TransferProgress& progress) noexcept;

// Everything the decision after a failed try depends on.
struct RetryInput {
    TransferProgress progress;
    int attemptsMade = 1;
    // For a 429: retryAfterDelay() of its answer; zero otherwise.
    std::chrono::milliseconds retryAfter{0};
    double jitter = 0;  // uniform in [0, 1]
    PacingTime now{};
    PacingTime deadline{};  // every try of the call ends by then
    std::chrono::milliseconds minimumTryTime{0};
};

// The pause before the next try of a call whose try failed, or nullopt when
// the call ends now with this failure: the try is not safe to repeat, the
// policy's tries are used up, or another would not fit in the deadline.
std::optional<std::chrono::milliseconds> nextTryDelay(const RetryInput& input, const RetryPolicy& policy);

}  // namespace qelsms::detail
