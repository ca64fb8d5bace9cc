// Counts the calls handed to the network until their callback has returned,
// so that an application can wait for them (qelsms::waitForPending).
#pragma once

#include <atomic>
#include <cstddef>

namespace qelsms::detail {

// A call was handed to the network.
void callStarted() noexcept;
// A call's callback returned, or the call was dropped without one.
void callEnded() noexcept;
// Take and release the counter's lock around fork(); the child starts with
// no calls and no waiters.
void lockPendingForFork() noexcept;
void unlockPendingAfterFork(bool child) noexcept;
// Wakes every thread in waitForPending once the library has stopped.
void releaseWaitersAtStop() noexcept;
// Marks the calling thread as the one that runs the callbacks.
void markNetworkThread() noexcept;

}  // namespace qelsms::detail
