// The waiting room: which queued request starts when. Queues per host (and,
// within a host, per account), the per-host and total connection limits,
// hosts taking turns, requests that may start only from a given time, each
// account's pace (its token bucket) and pauses, and the idle and deadline
// clocks of the requests in flight. It knows nothing of curl or of the wall clock: every
// call is told the time, so its rules can be checked with a made-up clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "pacing.hpp"

namespace qelsms::detail {

using Clock = std::chrono::steady_clock;

// Where a job waits. The connection limits are the host's, shared by every
// account that sends to it; each account's requests wait in a queue of their
// own, so that one account can be held back without holding back another.
// The texts are viewed, not kept: the job holds what they view.
struct QueueKey {
    // "scheme://authority"
    std::string_view host;
    // Empty for the process-wide account.
    std::string_view account;
};

// The limits a job runs under, shared by every job of the same settings.
struct JobLimits {
    // Jobs in flight to one host, and in all.
    long maxPerHost = 32;
    long maxTotal = 256;
    // How long a job in flight may go without a byte moved.
    std::chrono::milliseconds idleLimit{std::chrono::seconds(60)};
};

// Why the scheduler gave up on a job in flight.
enum class Expiry : std::uint8_t { None, Idle, Deadline };

class Scheduler;
struct HostState;

// One request as the scheduler sees it. The engine's request derives from it.
// A queued request costs its memory for as long as it waits, so what only a
// job in flight needs (its clocks) is the scheduler's, not the job's.
struct Job {
    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    virtual ~Job() = default;

    // Where the job waits; what the texts view lives as long as the job.
    virtual QueueKey queueKey() const noexcept = 0;

    // The job doesn't start before this time.
    Clock::time_point notBefore{};
    // Never null while the scheduler has the job; outlives it.
    const JobLimits* limits = nullptr;
    // How long the job may run in all, once started.
    std::chrono::milliseconds deadline{std::chrono::seconds(300)};
    // Its account's pace, shared by every job of the account and touched
    // only by the scheduler's thread; null for an account without one.
    TokenBucket* bucket = nullptr;

    // Set by the scheduler when the job's time in flight ran out.
    Expiry expiry = Expiry::None;

private:
    friend class Scheduler;
    std::uint32_t activeIndex_ = 0;
    HostState* host_ = nullptr;
};

// Used by one thread (the network thread) only.
class Scheduler {
public:
    Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;
    ~Scheduler();

    // Queues `job`: in its queue's turn if it may start by `now`, else among
    // the delayed jobs until its time comes.
    void add(std::unique_ptr<Job> job, Clock::time_point now);

    // Puts into `out` the jobs that may start at `now` and counts them as in
    // flight from `now`: delayed jobs whose time came join their queue's
    // tail, then the queues take turns, one job each, oldest first within a
    // queue, while the job's host has fewer in flight than its limit and the
    // process fewer than the total limit. A queue whose account is paused, or
    // whose head job's bucket has no token yet, is passed over.
    void takeDue(Clock::time_point now, std::vector<Job*>& out);

    // Takes a job in flight out of the books (finished, failed to start or
    // expired) and hands it back.
    std::unique_ptr<Job> finish(Job& job);

    // Tells the scheduler how many bytes the job in flight has moved in all,
    // as seen at `now`: a change restarts its idle clock.
    void progress(const Job& job, std::uint64_t bytes, Clock::time_point now) noexcept;

    // Puts into `out` the jobs in flight whose deadline or idle time ran out
    // by `now`, with their `expiry` set; they stay in flight until finished.
    void takeExpired(Clock::time_point now, std::vector<Job*>& out);

    // No job of `account` starts before `until`; a later pause extends an
    // earlier one, an earlier one never shortens it.
    void pauseAccount(const std::string& account, Clock::time_point until);

    // The earliest time at which something changes by the clock alone: a
    // delayed job, a paused account or a queue waiting for its pace becomes
    // due, or a job in flight would
    // reach its deadline or idle limit. Absent when nothing waits for time.
    std::optional<Clock::time_point> nextWake() const;
    // nextWake's two halves: when a waiting job may start (a delayed one
    // comes due, a pause or a pace lets a queue go), and when a job in flight
    // reaches its deadline or idle limit.
    std::optional<Clock::time_point> nextStart() const;
    std::optional<Clock::time_point> nextExpiry() const;

    // Empties the scheduler: every queued, delayed and in-flight job, in
    // that order, is handed back.
    std::vector<std::unique_ptr<Job>> drain();

    // Jobs in flight.
    const std::vector<std::unique_ptr<Job>>& active() const noexcept { return active_; }
    // Jobs waiting in queues (delayed ones not counted).
    std::size_t queued() const noexcept { return queued_; }
    // Jobs waiting for their time.
    std::size_t delayed() const noexcept { return delayed_.size(); }
    // Hosts with jobs waiting in a queue for a connection, each once; a
    // queue held back by its account's pace or pause doesn't count.
    void waitingHosts(std::vector<std::string>& out) const;

private:
    friend struct HostState;
    struct Queue;
    // Finds a host by a view of its name, without making a string.
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const noexcept {
            return std::hash<std::string_view>{}(name);
        }
    };

    Queue& queueFor(const QueueKey& key);
    void enqueue(std::unique_ptr<Job> job);
    bool paused(const Queue& queue, Clock::time_point now) const;
    // When the account of `queue` lets `next` start, if not at `now`; takes
    // the token when it may start.
    std::optional<Clock::time_point> heldBack(const Queue& queue, Job& next, Clock::time_point now);
    void forget(Queue& queue);

    std::unordered_map<std::string, std::unique_ptr<HostState>, NameHash, std::equal_to<>> hosts_;
    // Queues with jobs waiting, in turn order.
    std::deque<Queue*> turns_;
    std::vector<Queue*> passedOver_;
    std::multimap<Clock::time_point, std::unique_ptr<Job>> delayed_;
    std::unordered_map<std::string, Clock::time_point, NameHash, std::equal_to<>> pausedAccounts_;
    // The clocks of a job in flight, at its index in active_.
    struct Running {
        Clock::time_point startedAt;
        Clock::time_point lastActivity;
        std::uint64_t bytesSeen = 0;
    };

    std::vector<std::unique_ptr<Job>> active_;
    std::vector<Running> running_;
    std::size_t queued_ = 0;
};

}  // namespace qelsms::detail
