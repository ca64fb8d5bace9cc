#include "scheduler.hpp"

#include <algorithm>
#include <utility>

namespace qelsms::detail {

// A host's share of the limits: its jobs in flight, and a queue per account
// with jobs waiting. Forgotten when it has neither.
struct HostState {
    std::string name;
    long active = 0;
    std::vector<std::unique_ptr<Scheduler::Queue>> queues;
};

struct Scheduler::Queue {
    HostState* host = nullptr;
    std::string account;
    std::deque<std::unique_ptr<Job>> waiting;
    // When the head job's account lets it start, if it was held back by its
    // pace or a pause at the last turn; unset otherwise.
    std::optional<Clock::time_point> readyAt;
};

Scheduler::Scheduler() = default;
Scheduler::~Scheduler() = default;

Scheduler::Queue& Scheduler::queueFor(const QueueKey& key) {
    auto found = hosts_.find(key.host);
    if (found == hosts_.end()) {
        auto host = std::make_unique<HostState>();
        host->name = std::string(key.host);
        found = hosts_.emplace(host->name, std::move(host)).first;
    }
    HostState& host = *found->second;
    for (const auto& queue : host.queues) {
        if (queue->account == key.account) return *queue;
    }
    auto queue = std::make_unique<Queue>();
    queue->host = &host;
    queue->account = std::string(key.account);
    return *host.queues.emplace_back(std::move(queue));
}

void Scheduler::forget(Queue& queue) {
    HostState* host = queue.host;
    std::erase_if(host->queues, [&queue](const auto& each) { return each.get() == &queue; });
    if (host->queues.empty() && host->active == 0) hosts_.erase(std::string(host->name));
}

void Scheduler::enqueue(std::unique_ptr<Job> job) {
    Queue& queue = queueFor(job->queueKey());
    if (queue.waiting.empty()) turns_.push_back(&queue);
    queue.waiting.push_back(std::move(job));
    ++queued_;
}

void Scheduler::add(std::unique_ptr<Job> job, Clock::time_point now) {
    job->expiry = Expiry::None;
    if (job->notBefore > now) {
        const Clock::time_point due = job->notBefore;
        delayed_.emplace(due, std::move(job));
        return;
    }
    enqueue(std::move(job));
}

bool Scheduler::paused(const Queue& queue, Clock::time_point now) const {
    if (pausedAccounts_.empty()) return false;
    const auto found = pausedAccounts_.find(queue.account);
    return found != pausedAccounts_.end() && found->second > now;
}

std::optional<Clock::time_point> Scheduler::heldBack(const Queue& queue, Job& next, Clock::time_point now) {
    if (paused(queue, now)) return pausedAccounts_.find(queue.account)->second;
    if (next.bucket == nullptr) return std::nullopt;
    // A turn that comes late takes the start it was waiting for, so the
    // lateness is not lost from the account's rate.
    const Clock::time_point at = queue.readyAt && *queue.readyAt <= now ? *queue.readyAt : now;
    if (next.bucket->tryTake(at)) return std::nullopt;
    return next.bucket->earliestStart(now);
}

void Scheduler::takeDue(Clock::time_point now, std::vector<Job*>& out) {
    // A pause that ended is forgotten, so that it no longer sets the timer.
    if (!pausedAccounts_.empty()) {
        std::erase_if(pausedAccounts_, [now](const auto& pause) { return pause.second <= now; });
    }
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
        std::unique_ptr<Job> job = std::move(delayed_.begin()->second);
        delayed_.erase(delayed_.begin());
        enqueue(std::move(job));
    }
    while (!turns_.empty()) {
        Queue* queue = turns_.front();
        Job& next = *queue->waiting.front();
        if (active_.size() >= static_cast<std::size_t>(next.limits->maxTotal)) {
            // The rest wait for a connection, not for a clock.
            for (Queue* waiting : turns_)
                waiting->readyAt.reset();
            break;
        }
        turns_.pop_front();
        if (queue->host->active >= next.limits->maxPerHost) {
            queue->readyAt.reset();
            passedOver_.push_back(queue);
            continue;
        }
        if (const auto heldUntil = heldBack(*queue, next, now)) {
            queue->readyAt = *heldUntil;
            passedOver_.push_back(queue);
            continue;
        }
        queue->readyAt.reset();
        std::unique_ptr<Job> job = std::move(queue->waiting.front());
        queue->waiting.pop_front();
        --queued_;
        job->host_ = queue->host;
        ++queue->host->active;
        if (queue->waiting.empty()) {
            forget(*queue);
        } else {
            turns_.push_back(queue);
        }
        job->expiry = Expiry::None;
        job->activeIndex_ = static_cast<std::uint32_t>(active_.size());
        out.push_back(job.get());
        active_.push_back(std::move(job));
        running_.push_back(Running{now, now, 0});
    }
    turns_.insert(turns_.end(), passedOver_.begin(), passedOver_.end());
    passedOver_.clear();
}

std::unique_ptr<Job> Scheduler::finish(Job& job) {
    const std::size_t index = job.activeIndex_;
    std::unique_ptr<Job> taken = std::move(active_[index]);
    if (index + 1 != active_.size()) {
        active_[index] = std::move(active_.back());
        active_[index]->activeIndex_ = static_cast<std::uint32_t>(index);
        running_[index] = running_.back();
    }
    active_.pop_back();
    running_.pop_back();
    HostState* host = taken->host_;
    taken->host_ = nullptr;
    if (--host->active == 0 && host->queues.empty()) hosts_.erase(std::string(host->name));
    return taken;
}

void Scheduler::progress(const Job& job, std::uint64_t bytes, Clock::time_point now) noexcept {
    Running& running = running_[job.activeIndex_];
    if (bytes != running.bytesSeen) {
        running.bytesSeen = bytes;
        running.lastActivity = now;
    }
}

void Scheduler::takeExpired(Clock::time_point now, std::vector<Job*>& out) {
    for (std::size_t i = 0; i < active_.size(); ++i) {
        Job* job = active_[i].get();
        const Running& running = running_[i];
        if (now - running.startedAt >= job->deadline) {
            job->expiry = Expiry::Deadline;
        } else if (now - running.lastActivity >= job->limits->idleLimit) {
            job->expiry = Expiry::Idle;
        } else {
            continue;
        }
        out.push_back(job);
    }
}

void Scheduler::pauseAccount(const std::string& account, Clock::time_point until) {
    auto [found, added] = pausedAccounts_.try_emplace(account, until);
    if (!added) found->second = std::max(found->second, until);
}

namespace {

void considerTime(std::optional<Clock::time_point>& earliest, Clock::time_point at) {
    if (!earliest || at < *earliest) earliest = at;
}

}  // namespace

std::optional<Clock::time_point> Scheduler::nextStart() const {
    std::optional<Clock::time_point> earliest;
    if (!delayed_.empty()) considerTime(earliest, delayed_.begin()->first);
    // Only a pause or a pace that holds back a waiting queue is worth waking
    // for; the queue knows when it ends.
    for (const Queue* queue : turns_) {
        if (queue->readyAt) considerTime(earliest, *queue->readyAt);
    }
    return earliest;
}

std::optional<Clock::time_point> Scheduler::nextExpiry() const {
    std::optional<Clock::time_point> earliest;
    for (std::size_t i = 0; i < active_.size(); ++i) {
        considerTime(earliest, running_[i].startedAt + active_[i]->deadline);
        considerTime(earliest, running_[i].lastActivity + active_[i]->limits->idleLimit);
    }
    return earliest;
}

std::optional<Clock::time_point> Scheduler::nextWake() const {
    std::optional<Clock::time_point> earliest = nextStart();
    if (const auto expiry = nextExpiry()) considerTime(earliest, *expiry);
    return earliest;
}

std::vector<std::unique_ptr<Job>> Scheduler::drain() {
    std::vector<std::unique_ptr<Job>> all;
    all.reserve(queued_ + delayed_.size() + active_.size());
    for (Queue* queue : turns_) {
        for (auto& job : queue->waiting)
            all.push_back(std::move(job));
    }
    for (auto& [due, job] : delayed_)
        all.push_back(std::move(job));
    for (auto& job : active_) {
        job->host_ = nullptr;
        all.push_back(std::move(job));
    }
    turns_.clear();
    delayed_.clear();
    active_.clear();
    running_.clear();
    hosts_.clear();
    queued_ = 0;
    return all;
}

void Scheduler::waitingHosts(std::vector<std::string>& out) const {
    for (const Queue* queue : turns_) {
        if (queue->readyAt) continue;
        if (std::find(out.begin(), out.end(), queue->host->name) == out.end())
            out.push_back(queue->host->name);
    }
}

}  // namespace qelsms::detail
