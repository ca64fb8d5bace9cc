// The sandbox's workers: httplib serves each connection on one worker from
// its first byte to its close, keep-alive waits included, so the pool decides
// who is served when connections outnumber workers.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace qelsms::sandbox {

struct PoolOptions {
    /// Workers at most, hence connections served at once.
    std::size_t maxThreads = 1024;
    /// A connection that has not delivered a request head this long after it
    /// was accepted, TLS handshake included, is cut, however steadily it
    /// trickles bytes.
    std::chrono::seconds requestTimeout{20};
    /// A worker left with nothing to do for this long exits.
    std::chrono::seconds workerIdleExit{5};
};

/// httplib's task queue for the sandbox. A worker is added whenever no idle
/// one waits, up to the limit; at the limit, the connection that has been
/// idle longest (no request in progress: still handshaking, still sending its
/// head, or in a keep-alive wait) is closed so that the new one is served.
class ConnectionPool final : public httplib::TaskQueue {
public:
    explicit ConnectionPool(const PoolOptions& options);
    ~ConnectionPool() override;
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    void enqueue(std::function<void()> fn) override;
    /// Doesn't wait for busy workers: one may be in a keep-alive wait.
    void shutdown() override;

    struct State;

private:
    // Shared with the workers and the watchdog, which may outlive the pool:
    // httplib destroys its queue when serving stops.
    std::shared_ptr<State> state_;
};

/// For request handlers, on the worker serving the request: its head has
/// arrived, so the connection is busy and never cut until idle again.
void connectionBusy() noexcept;
/// For request handlers, once the answer is written: the connection is idle.
void connectionIdle() noexcept;

}  // namespace qelsms::sandbox
