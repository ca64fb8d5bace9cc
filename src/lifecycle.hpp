// The library's life in the process: the stop at exit, calls made while the
// process exits, the settings lock and the locks held across fork().
#pragma once

#include <atomic>
#include <mutex>

namespace qelsms::detail {

// Set once, when the process begins to exit or the application calls
// qelsms::shutdown(); never cleared. Trivially destructible, so it can be
// read at any point of the exit.
inline constinit std::atomic<bool> libraryStopped{false};

// True once the library has stopped: an operation is then dropped before it
// touches anything else.
inline bool stopped() noexcept {
    return libraryStopped.load(std::memory_order_relaxed);
}

// Guards every SettingString; never destroyed.
std::mutex& settingsMutex() noexcept;

// Registers the library's fork handlers, once; done while the library loads.
// A unit with a lock of its own calls it too, so that a static link which
// takes only that unit still takes the handlers that guard its lock.
void ensureForkHandlers() noexcept;

}  // namespace qelsms::detail
