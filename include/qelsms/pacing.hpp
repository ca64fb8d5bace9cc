/// @file
/// Sending at the provider's pace: a request rate per account, retries that
/// never send a message twice, and the engine's counters.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "qelsms/export.hpp"

namespace qelsms {

/// When and how often a call is tried again. A call is retried only when the
/// provider certainly did not act on it: the connection could not be made
/// (the name did not resolve, the connection was refused, the TLS handshake
/// failed before anything was sent) or the provider answered 429. A call that
/// may have been read (a reset or a time-out after sending, a 5xx, an
/// unusable answer) is never retried, whatever #maxAttempts says.
struct RetryPolicy {
    /// How many times a call is tried at most; 1 (the default) never retries.
    int maxAttempts = 1;
    /// The pause before the first retry; doubled for each later one, with
    /// jitter, up to #maxDelay. A 429's Retry-After, when longer, wins.
    std::chrono::milliseconds firstDelay{500};
    /// The longest pause between two tries, and the most a 429's Retry-After
    /// holds the account's requests back.
    std::chrono::milliseconds maxDelay{30000};
};

/// How fast one account's requests start, and how they are retried.
struct AccountOptions {
    /// Requests started per second at most, averaged; 0 (the default) sets no
    /// limit. Requests over the rate wait in the library's queue.
    double requestsPerSecond = 0;
    /// Requests that may start at once after a quiet spell.
    int burst = 1;
    /// Retries of this account's calls.
    RetryPolicy retry{};
};

/// A snapshot of the library's engine, for an operator's first questions.
struct EngineStats {
    /// Requests waiting to start: for a free connection or for their
    /// account's pace.
    std::size_t queued = 0;
    /// Requests on the network now.
    std::size_t inFlight = 0;
    /// Calls waiting out the pause before their next try.
    std::size_t waitingToRetry = 0;
    /// Calls ended since the process started (or, in a forked child, since
    /// the fork), whatever their outcome.
    std::uint64_t completed = 0;
};

/// The engine's counters now. Cheap enough to call often; safe from any
/// thread, callbacks included. The fields are read one by one, so while
/// requests move between states a snapshot may count one of them twice or
/// not at all.
QELSMS_EXPORT EngineStats engineStats() noexcept;

}  // namespace qelsms
