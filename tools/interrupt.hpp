// SIGINT and SIGTERM while the tool waits on the service: the first is noted
// so the tool can say what became of its requests before it ends; a second
// ends the process at once.
#pragma once

#include <string>

namespace qelsms::cli {

/// Catches SIGINT and SIGTERM while it lives. The first one is only noted
/// (see caught()); a second one ends the process at once, killed by that
/// signal. One watch at a time in a process; the signals' previous handling
/// comes back when it ends.
class InterruptWatch {
public:
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    /// The signal caught so far, or 0.
    static int caught() noexcept;
};

/// "SIGINT", "SIGTERM", or "signal N".
std::string signalName(int signal);

/// Ends the process as `signal` would have: standard output and error are
/// flushed, the signal's default handling restored and the signal raised, so
/// a shell sees the program killed by it (and a loop around it stops). Exits
/// with 128 + `signal` should raising it not end the process.
[[noreturn]] void endAsInterrupted(int signal);

}  // namespace qelsms::cli
