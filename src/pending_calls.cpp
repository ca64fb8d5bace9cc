#include "pending_calls.hpp"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

#include <qelsms/outcome.hpp>

#include "lifecycle.hpp"

namespace qelsms::detail {

namespace {

// Every access to the two counters is sequentially consistent: a waiter
// announces itself and then reads the count, a finisher drops the count and
// then looks for waiters, and at least one of them sees the other.
constinit std::atomic<std::size_t> pending{0};
constinit std::atomic<int> waiters{0};
// Plain pthread objects, so that a forked child can start them afresh: the
// parent's waiters did not come along, and a condition variable that still
// counts them could block a broadcast.
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t drained = PTHREAD_COND_INITIALIZER;
thread_local bool isNetworkThread = false;

timespec deadlineAfter(std::chrono::milliseconds timeout) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t ms = timeout.count() < 0 ? 0 : static_cast<std::int64_t>(timeout.count());
    std::int64_t nanos = now.tv_nsec + (ms % 1000) * 1'000'000;
    timespec deadline{};
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(ms / 1000 + nanos / 1'000'000'000);
    deadline.tv_nsec = static_cast<long>(nanos % 1'000'000'000);
    return deadline;
}

}  // namespace

void callStarted() noexcept {
    pending.fetch_add(1);
}

void callEnded() noexcept {
    if (pending.fetch_sub(1) != 1 || waiters.load() == 0) return;
    // Taking the lock orders this after a waiter's last look at the count.
    pthread_mutex_lock(&mutex);
    pthread_cond_broadcast(&drained);
    pthread_mutex_unlock(&mutex);
}

void lockPendingForFork() noexcept {
    pthread_mutex_lock(&mutex);
}

void unlockPendingAfterFork(bool child) noexcept {
    if (child) {
        // The child has none of its parent's calls, nor its waiters: a
        // condition variable that still counts them could block a broadcast.
        // The mutex is unlocked, not re-initialised, so that race detectors
        // see it released by the thread that took it.
        pending.store(0);
        waiters.store(0);
        drained = PTHREAD_COND_INITIALIZER;
    }
    pthread_mutex_unlock(&mutex);
}

void releaseWaitersAtStop() noexcept {
    pthread_mutex_lock(&mutex);
    pthread_cond_broadcast(&drained);
    pthread_mutex_unlock(&mutex);
}

void markNetworkThread() noexcept {
    isNetworkThread = true;
}

}  // namespace qelsms::detail

namespace qelsms {

bool waitForPending(std::chrono::milliseconds timeout) {
    using namespace detail;
    if (isNetworkThread) return false;
    const timespec deadline = deadlineAfter(timeout);
    pthread_mutex_lock(&mutex);
    waiters.fetch_add(1);
    // Once the library has stopped, nothing is pending any more: the calls
    // it cut off end without a callback (or with their future).
    while (pending.load() != 0 && !stopped()) {
        if (pthread_cond_clockwait(&drained, &mutex, CLOCK_MONOTONIC, &deadline) == ETIMEDOUT) break;
    }
    const bool done = pending.load() == 0 || stopped();
    waiters.fetch_sub(1);
    pthread_mutex_unlock(&mutex);
    return done;
}

std::size_t pendingRequests() noexcept {
    return detail::pending.load(std::memory_order_relaxed);
}

}  // namespace qelsms
