#include "connection_pool.hpp"

#include <sys/socket.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

namespace {

// The socket httplib accepted last on this thread. httplib hands its task
// queue only a closure, never the socket, yet cutting an idle connection
// needs it; its accept loop calls accept() and then, on the same thread,
// enqueue(). This definition takes the place of the C library's for the
// whole program (the sandbox has no other caller).
thread_local int lastAccepted = -1;

}  // namespace

extern "C" int accept(int fd, sockaddr* __restrict address, socklen_t* __restrict length) {
    const int connection = ::accept4(fd, address, length, 0);
    lastAccepted = connection;
    return connection;
}

namespace qelsms::sandbox {

namespace {

using Clock = std::chrono::steady_clock;

enum class Phase {
    Opening,  // accepted; no request head yet
    Busy,     // a request is being served
    Waiting,  // answered; waiting for the next request
    Cut,      // shut down by the pool; its worker is closing it
};

struct Connection {
    std::uint64_t id = 0;
    Phase phase = Phase::Opening;
    Clock::time_point since;
};

constexpr auto kWatchInterval = std::chrono::milliseconds(250);

}  // namespace

struct ConnectionPool::State {
    explicit State(const PoolOptions& o) : options(o) {}

    const PoolOptions options;
    std::mutex mutex;
    std::condition_variable ready;
    std::condition_variable stopped;
    std::deque<std::function<void()>> jobs;
    std::size_t threads = 0;
    std::size_t idle = 0;
    bool stopping = false;
    // By socket; an entry whose socket was closed and reused is told apart
    // by its id.
    std::unordered_map<int, Connection> connections;
    std::uint64_t nextId = 1;

    // Both with the mutex held. Shutting the socket down, rather than closing
    // it, wakes the worker blocked on it and leaves the close to httplib.
    void cut(int fd, Connection& connection) {
        ::shutdown(fd, SHUT_RDWR);
        connection.phase = Phase::Cut;
    }
    void cutOldestIdle(int spare) {
        auto oldest = connections.end();
        for (auto it = connections.begin(); it != connections.end(); ++it) {
            const Phase phase = it->second.phase;
            if (it->first == spare || phase == Phase::Busy || phase == Phase::Cut) continue;
            if (oldest == connections.end() || it->second.since < oldest->second.since) oldest = it;
        }
        if (oldest != connections.end()) cut(oldest->first, oldest->second);
    }
};

namespace {

// The connection the calling worker serves, for the request handlers.
struct Serving {
    ConnectionPool::State* state = nullptr;
    int fd = -1;
    std::uint64_t id = 0;
};
thread_local Serving serving;

void mark(Phase phase) noexcept {
    if (serving.state == nullptr || serving.fd < 0) return;
    ConnectionPool::State& state = *serving.state;
    const std::lock_guard lock(state.mutex);
    const auto it = state.connections.find(serving.fd);
    if (it == state.connections.end() || it->second.id != serving.id || it->second.phase == Phase::Cut)
        return;
    it->second.phase = phase;
    it->second.since = Clock::now();
}

void work(const std::shared_ptr<ConnectionPool::State>& shared) {
    ConnectionPool::State& state = *shared;
    std::unique_lock lock(state.mutex);
    while (true) {
        ++state.idle;
        const bool woken = state.ready.wait_for(lock, state.options.workerIdleExit,
                                                [&] { return state.stopping || !state.jobs.empty(); });
        --state.idle;
        if (!woken || state.jobs.empty()) {
            --state.threads;
            return;
        }
        std::function<void()> job = std::move(state.jobs.front());
        state.jobs.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}

void watch(const std::shared_ptr<ConnectionPool::State>& shared) {
    ConnectionPool::State& state = *shared;
    std::unique_lock lock(state.mutex);
    while (!state.stopped.wait_for(lock, kWatchInterval, [&] { return state.stopping; })) {
        const auto tooOld = Clock::now() - state.options.requestTimeout;
        for (auto& [fd, connection] : state.connections) {
            if (connection.phase == Phase::Opening && connection.since < tooOld) state.cut(fd, connection);
        }
    }
}

}  // namespace

void connectionBusy() noexcept {
    mark(Phase::Busy);
}

void connectionIdle() noexcept {
    mark(Phase::Waiting);
}

ConnectionPool::ConnectionPool(const PoolOptions& options) : state_(std::make_shared<State>(options)) {
    std::thread([state = state_] { watch(state); }).detach();
}

ConnectionPool::~ConnectionPool() {
    shutdown();
}

void ConnectionPool::enqueue(std::function<void()> fn) {
    const int fd = std::exchange(lastAccepted, -1);
    State& state = *state_;
    std::unique_lock lock(state.mutex);
    std::uint64_t id = 0;
    if (fd >= 0) {
        id = state.nextId++;
        state.connections[fd] = Connection{id, Phase::Opening, Clock::now()};
    }
    state.jobs.emplace_back([job = std::move(fn), fd, id, shared = state_] {
        serving = {shared.get(), fd, id};
        job();
        serving = {};
        if (fd < 0) return;
        const std::lock_guard guard(shared->mutex);
        const auto it = shared->connections.find(fd);
        if (it != shared->connections.end() && it->second.id == id) shared->connections.erase(it);
    });
    if (state.idle >= state.jobs.size()) {
        lock.unlock();
        state.ready.notify_one();
        return;
    }
    if (state.threads < state.options.maxThreads) {
        ++state.threads;
        std::thread([shared = state_] { work(shared); }).detach();
        return;
    }
    // Every worker holds a connection: free the one idle longest.
    state.cutOldestIdle(fd);
}

void ConnectionPool::shutdown() {
    {
        const std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->ready.notify_all();
    state_->stopped.notify_all();
}

}  // namespace qelsms::sandbox
