#include "scheduler.hpp"

#include <algorithm>
#include <utility>

namespace qelsms::detail {

// A host's share of the limits: its jobs in flight, and how many queues
// (one per account) wait on it. Forgotten when both are zero.
struct HostState {
    std::string name;
    long active = 0;
    std::size_t queues = 0;
};

struct Scheduler::Queue {
    QueueKey key;
    std::string id;
    HostState* host = nullptr;
    std::deque<std::unique_ptr<Job>> waiting;
};

namespace {

std::string queueId(const QueueKey& key) {
    std::string id;
    id.reserve(key.host.size() + 1 + key.account.size());
    id.append(key.host).push_back('\n');
    id.append(key.account);
    return id;
}

}  // namespace

Scheduler::Scheduler() = default;
Scheduler::~Scheduler() = default;

Scheduler::Queue& Scheduler::queueFor(const QueueKey& key) {
    std::string id = queueId(key);
    auto found = queues_.find(id);
    if (found != queues_.end()) return *found->second;
    std::unique_ptr<HostState>& slot = hosts_[key.host];
    if (!slot) slot = std::make_unique<HostState>(HostState{key.host});
    HostState* host = slot.get();
    ++host->queues;
    auto queue = std::make_unique<Queue>();
    queue->key = key;
    queue->id = id;
    queue->host = host;
    return *queues_.emplace(std::move(id), std::move(queue)).first->second;
}

void Scheduler::forget(Queue& queue) {
    HostState* host = queue.host;
    --host->queues;
    const std::string id = queue.id;
    if (host->queues == 0 && host->active == 0) hosts_.erase(std::string(host->name));
    queues_.erase(id);
}

void Scheduler::enqueue(std::unique_ptr<Job> job) {
    Queue& queue = queueFor(job->key);
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
    const auto found = pausedAccounts_.find(queue.key.account);
    return found != pausedAccounts_.end() && found->second > now;
}

void Scheduler::takeDue(Clock::time_point now, std::vector<Job*>& out) {
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
        std::unique_ptr<Job> job = std::move(delayed_.begin()->second);
        delayed_.erase(delayed_.begin());
        enqueue(std::move(job));
    }
    while (!turns_.empty()) {
        Queue* queue = turns_.front();
        Job& next = *queue->waiting.front();
        if (active_.size() >= static_cast<std::size_t>(next.maxTotal)) break;
        turns_.pop_front();
        if (queue->host->active >= next.maxPerHost || paused(*queue, now)) {
            passedOver_.push_back(queue);
            continue;
        }
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
        job->startedAt = now;
        job->lastActivity = now;
        job->bytesSeen = 0;
        job->expiry = Expiry::None;
        job->activeIndex_ = active_.size();
        out.push_back(job.get());
        active_.push_back(std::move(job));
    }
    turns_.insert(turns_.end(), passedOver_.begin(), passedOver_.end());
    passedOver_.clear();
}

std::unique_ptr<Job> Scheduler::finish(Job& job) {
    const std::size_t index = job.activeIndex_;
    std::unique_ptr<Job> taken = std::move(active_[index]);
    if (index + 1 != active_.size()) {
        active_[index] = std::move(active_.back());
        active_[index]->activeIndex_ = index;
    }
    active_.pop_back();
    HostState* host = taken->host_;
    taken->host_ = nullptr;
    if (--host->active == 0 && host->queues == 0) hosts_.erase(std::string(host->name));
    return taken;
}

void Scheduler::progress(Job& job, std::uint64_t bytes, Clock::time_point now) noexcept {
    if (bytes != job.bytesSeen) {
        job.bytesSeen = bytes;
        job.lastActivity = now;
    }
}

void Scheduler::takeExpired(Clock::time_point now, std::vector<Job*>& out) {
    for (const auto& job : active_) {
        if (now - job->startedAt >= job->deadline) {
            job->expiry = Expiry::Deadline;
        } else if (now - job->lastActivity >= job->idleLimit) {
            job->expiry = Expiry::Idle;
        } else {
            continue;
        }
        out.push_back(job.get());
    }
}

void Scheduler::pauseAccount(const std::string& account, Clock::time_point until) {
    pausedAccounts_[account] = until;
}

std::optional<Clock::time_point> Scheduler::nextWake() const {
    std::optional<Clock::time_point> earliest;
    const auto consider = [&earliest](Clock::time_point at) {
        if (!earliest || at < *earliest) earliest = at;
    };
    if (!delayed_.empty()) consider(delayed_.begin()->first);
    for (const auto& [account, until] : pausedAccounts_) {
        // Only a pause that holds back a waiting queue is worth waking for.
        const bool holdsBack = std::any_of(turns_.begin(), turns_.end(), [&account](const Queue* queue) {
            return queue->key.account == account;
        });
        if (holdsBack) consider(until);
    }
    for (const auto& job : active_) {
        consider(job->startedAt + job->deadline);
        consider(job->lastActivity + job->idleLimit);
    }
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
    queues_.clear();
    hosts_.clear();
    queued_ = 0;
    return all;
}

void Scheduler::waitingHosts(std::vector<std::string>& out) const {
    for (const Queue* queue : turns_) {
        if (std::find(out.begin(), out.end(), queue->key.host) == out.end()) out.push_back(queue->key.host);
    }
}

}  // namespace qelsms::detail
