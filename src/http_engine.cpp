#include "http_engine.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "answer_handling.hpp"
#include "engine_log.hpp"
#include "http_settings.hpp"
#include "lifecycle.hpp"
#include "outcome_access.hpp"
#include "pacing.hpp"
#include "pending_calls.hpp"
#include "request.hpp"
#include "scheduler.hpp"
#include "transfer_driver.hpp"

namespace qelsms::detail {

namespace {

// How often the loop looks for transfers idle for longer than their time-out,
// while any is in flight: the time-out fires at most about this late.
constexpr std::chrono::milliseconds kIdleSweepInterval{100};
// How long the loop waits when nothing is in flight and no clock runs.
constexpr std::chrono::milliseconds kIdleWait{1000};
// A retry is made only if at least this much of the call's deadline is left
// for it: enough to connect and exchange a request with a live server.
constexpr std::chrono::milliseconds kMinimumTryTime{1000};

// engineStats()'s counters: each changes where a request changes state, with
// a relaxed atomic step and no lock. A forked child starts them afresh.
struct EngineCounters {
    std::atomic<std::size_t> queued{0};
    std::atomic<std::size_t> inFlight{0};
    std::atomic<std::size_t> waitingToRetry{0};
    std::atomic<std::uint64_t> completed{0};

    void clearWaiting() noexcept {
        queued.store(0, std::memory_order_relaxed);
        inFlight.store(0, std::memory_order_relaxed);
        waitingToRetry.store(0, std::memory_order_relaxed);
    }
};

constinit EngineCounters counters;

// How far a finished try got, in the terms of the retry rules.
TransferProgress progressOf(const TransferRecord& record) {
    TransferProgress progress{record.stage, record.connectFailure, 0};
    if (record.response) {
        progress.httpStatus = static_cast<int>(record.response->statusCode);
    } else if (record.failure) {
        progress.httpStatus = record.failure->httpStatus;
    }
    return progress;
}

}  // namespace

struct EngineOwner;

class HttpEngine {
public:
    static HttpEngine& instance();

    void configure(std::shared_ptr<const Settings> settings) {
        std::lock_guard lock(mutex_);
        settings_ = std::move(settings);
    }

    std::shared_ptr<const Settings> settings() const {
        std::lock_guard lock(mutex_);
        return settings_;
    }

    // Queues `request` under the current settings, which it keeps until it
    // is done.
    void submit(std::unique_ptr<Request> request) {
        bool wake = false;
        {
            std::unique_lock lock(mutex_);
            if (stopping_.load(std::memory_order_relaxed)) {
                // Dropped: the library has stopped. A future ends at once.
                lock.unlock();
                endFutureAtStop(request->callbacks, false);
                abandon(std::move(request));
                return;
            }
            request->settings =
                request->client && request->client->settings ? request->client->settings : settings_;
            // Waking the loop costs a write, a context switch and a pass over
            // every transfer, so it is done only when the loop is waiting and
            // could start this request before it wakes anyway: not while it
            // is busy (it looks at the queue before it waits), not for a host
            // already at its connection limit, nor while every connection is
            // taken (a finishing transfer wakes it anyway), nor for a request
            // whose time comes after the loop's own timer.
            wake = polling_ && !saturated_ && !blockedHosts_.contains(request->url->hostKey) &&
                   (request->notBefore == Clock::time_point{} || request->notBefore < wakeAt_);
            if (wake) polling_ = false;
            incoming_.push_back(std::move(request));
            counters.queued.fetch_add(1, std::memory_order_relaxed);
            callStarted();
        }
        if (wake) driver_.wake();
    }

    bool ownedByThisProcess() const noexcept {
        return generation_ == forkGeneration.load(std::memory_order_relaxed);
    }

    // Counts the forks this process came through; an engine made in an older
    // generation belongs to an ancestor process.
    static inline std::atomic<unsigned> forkGeneration{0};

    // Stops the loop without running any further callback; requests still
    // queued or in flight are dropped, and everything is kept as it is: the
    // process is ending, and a join that waited for curl to tidy up could
    // wait on a slow server.
    void shutdown() {
        {
            std::lock_guard lock(mutex_);
            if (!stopping_.exchange(true)) driver_.wake();
        }
        // exit() called from inside a callback runs this on the loop thread,
        // which can't join itself; no other callback starts from there. Nor
        // may it wait for a thread that is joining it.
        if (std::this_thread::get_id() == loopThread_) return;
        // The loop only finishes its pass: curl doesn't block in it, and the
        // wait was just ended. A callback in progress is waited for.
        std::lock_guard stop(stopMutex_);
        if (thread_.joinable()) thread_.join();
    }

    // A fork() waits until the loop is outside curl: the loop thread may
    // hold OpenSSL's or curl's own locks in there, and a child would wait
    // for them for ever. Then it holds the queue's lock too.
    void lockForFork() {
        workMutex_.lock();
        mutex_.lock();
    }
    void unlockAfterFork() {
        mutex_.unlock();
        workMutex_.unlock();
    }

private:
    friend struct EngineOwner;

    explicit HttpEngine(std::shared_ptr<const Settings> settings = std::make_shared<Settings>())
        : settings_(std::move(settings)) {
        // The loop thread takes no signal: a dead peer's SIGPIPE must not kill
        // the application, and the application's handlers belong on its threads.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        thread_ = std::thread([this] { run(); });
        loopThread_ = thread_.get_id();
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    void run() {
        markNetworkThread();
        std::unique_lock working(workMutex_);
        working_ = &working;
        std::vector<std::unique_ptr<Request>> batch;
        while (true) {
            {
                std::lock_guard lock(mutex_);
                if (stopping_.load(std::memory_order_relaxed)) break;
                batch.assign(std::make_move_iterator(incoming_.begin()),
                             std::make_move_iterator(incoming_.end()));
                incoming_.clear();
            }
            const Clock::time_point now = Clock::now();
            for (auto& request : batch)
                admit(std::move(request), now);
            batch.clear();
            startDue(now);

            // Bytes that arrived while the loop was busy, in a callback above
            // all, are read here, before any clock judges a transfer: the
            // judgement uses the time of this read, not of its end.
            const Clock::time_point readAt = Clock::now();
            driver_.perform(finished_);
            bool ended = !finished_.empty();
            for (Request* request : finished_)
                complete(*request, Expiry::None);
            finished_.clear();
            if (!scheduler_.active().empty()) ended = endExpiredTransfers(readAt) || ended;
            if (ended) continue;  // freed slots: start waiting requests at once
            const std::chrono::milliseconds wait = waitTime();
            if (!announceWaitUnlessQueued(Clock::now() + wait)) continue;
            working.unlock();
            driver_.wait(wait);
            working.lock();
            std::lock_guard lock(mutex_);
            polling_ = false;
        }
        endFuturesAtStop();
    }

    // Ends the future of every request the stop cut off, queued or in
    // flight; no other callback runs. The requests themselves are kept, not
    // freed: freeing them would run the destructors of what the application's
    // callbacks hold, while the process may be past the point where that is
    // safe.
    void endFuturesAtStop() {
        counters.clearWaiting();
        std::deque<std::unique_ptr<Request>> queued;
        {
            std::lock_guard lock(mutex_);
            queued.swap(incoming_);
        }
        for (auto& request : queued) {
            endFutureAtStop(request->callbacks, false);
            abandon(std::move(request));
        }
        for (auto& job : scheduler_.drain()) {
            auto& request = static_cast<Request&>(*job);
            endFutureAtStop(request.callbacks, TransferDriver::requestLeft(request));
            abandon(std::unique_ptr<Request>(static_cast<Request*>(job.release())));
        }
    }

    void abandon(std::unique_ptr<Request> request) {
        std::lock_guard lock(abandonedMutex_);
        abandoned_.push_back(std::move(request));
    }

    // Hands a submitted request to the scheduler, under its settings' limits.
    void admit(std::unique_ptr<Request> request, Clock::time_point now) {
        const Settings& settings = *request->settings;
        request->limits = &settings.jobLimits;
        if (request->client) request->bucket = &request->client->bucket;
        request->deadline =
            std::chrono::seconds(settings.deadlineSeconds) +
            std::chrono::milliseconds(static_cast<long long>(request->numbers) * kDeadlineMsPerNumber);
        scheduler_.add(std::move(request), now);
    }

    // Starts every request the scheduler lets start now; one that can't be
    // started ends at once.
    void startDue(Clock::time_point now) {
        scheduler_.takeDue(now, due_);
        for (Job* job : due_) {
            auto& request = static_cast<Request&>(*job);
            if (request.retrying) {
                request.retrying = false;
                counters.waitingToRetry.fetch_sub(1, std::memory_order_relaxed);
                // A later try has what is left of the call's deadline.
                request.deadline =
                    std::max(std::chrono::ceil<std::chrono::milliseconds>(request.callDeadline - now),
                             std::chrono::milliseconds(0));
            } else {
                counters.queued.fetch_sub(1, std::memory_order_relaxed);
                request.callDeadline = now + request.deadline;
            }
            counters.inFlight.fetch_add(1, std::memory_order_relaxed);
            if (!driver_.start(request)) {
                complete(request, Expiry::None);
            } else if (request.transfer->log) {
                logExchangeStart(*request.settings, request.transfer->log->target, request.post,
                                 request.body.size());
            }
        }
        due_.clear();
    }

    // How long the loop may wait before a clock needs it: the next sweep
    // while transfers run, the scheduler's next due time, or a second.
    std::chrono::milliseconds waitTime() const {
        std::chrono::milliseconds wait = scheduler_.active().empty() ? kIdleWait : kIdleSweepInterval;
        std::optional<Clock::time_point> due = scheduler_.nextStart();
        // A clock of a transfer in flight is judged only by a sweep: one that
        // ran out waits for the next, rather than spin until then. A start
        // (a delayed one, a pace) is kept to the millisecond.
        if (auto expiry = scheduler_.nextExpiry()) {
            const Clock::time_point judged = std::max(*expiry, nextSweep_);
            if (!due || judged < *due) due = judged;
        }
        if (due) {
            const auto untilDue = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now());
            wait = std::clamp(untilDue, std::chrono::milliseconds(0), wait);
        }
        return wait;
    }

    // Tells submitters that the loop is about to wait until `until`, and for
    // which hosts a new request would have to wait anyway. False when
    // requests arrived in the meantime (nobody woke the loop for them, so it
    // must not wait).
    bool announceWaitUnlessQueued(Clock::time_point until) {
        std::lock_guard lock(mutex_);
        if (!incoming_.empty() || stopping_.load(std::memory_order_relaxed)) return false;
        waiting_.clear();
        scheduler_.waitingHosts(waiting_);
        blockedHosts_.clear();
        blockedHosts_.insert(waiting_.begin(), waiting_.end());
        saturated_ = scheduler_.active().size() >= static_cast<std::size_t>(settings_->maxConnections);
        wakeAt_ = until;
        polling_ = true;
        return true;
    }

    // Ends every transfer whose idle time or deadline ran out as of `readAt`,
    // looking at most every kIdleSweepInterval; says whether any ended. A
    // byte counts from the sweep that first sees it.
    bool endExpiredTransfers(Clock::time_point readAt) {
        if (readAt < nextSweep_) return false;
        nextSweep_ = readAt + kIdleSweepInterval;
        for (const auto& job : scheduler_.active()) {
            scheduler_.progress(*job, TransferDriver::bytesMoved(static_cast<const Request&>(*job)), readAt);
        }
        scheduler_.takeExpired(readAt, expired_);
        for (Job* job : expired_)
            complete(static_cast<Request&>(*job), job->expiry);
        const bool any = !expired_.empty();
        expired_.clear();
        return any;
    }

    // The one completion point: what the driver reports becomes the call's
    // Outcome, which the log line and then the call's callback read.
    void complete(Request& running, Expiry expiry) {
        std::unique_ptr<Request> request(static_cast<Request*>(scheduler_.finish(running).release()));
        const TransferRecord record = driver_.end(*request, expiry);
        counters.inFlight.fetch_sub(1, std::memory_order_relaxed);
        ++request->triesMade;
        Outcome outcome = record.failure ? Outcome(transferError(*record.failure, record.reason))
                                         : classifyAnswer(request->transfer->response, record.response);
        if (const auto& log = request->transfer->log)
            logExchangeEnd(*request->settings, log->target, record, outcome);
        if (request->triesMade > 1) OutcomeAccess::setAttempts(outcome, request->triesMade);
        if (retryLater(request, record)) return;

        // Once the process has begun to exit, no callback may start: the
        // application's statics may already be gone. A future's handler runs
        // none of the application's code.
        if (!stopped() || request->callbacks.outcome.target<FulfilPromise>() != nullptr) {
            // A callback may fork, or wait for a thread that does.
            working_->unlock();
            try {
                deliver(request->callbacks, std::move(outcome));
            } catch (...) {
                // An application's callback threw; the loop serves everyone
                // else regardless.
            }
            working_->lock();
        }
        driver_.release(*request);
        request.reset();  // releases the callbacks
        counters.completed.fetch_add(1, std::memory_order_relaxed);
        callEnded();
    }

    // After a try: a 429 pauses the request's account for its Retry-After,
    // and a try the provider certainly did not act on goes back to the
    // scheduler for another, when the account's policy allows one and it
    // fits in the call's deadline. True when it did (the request is the
    // scheduler's again); false when the call ends with this try.
    bool retryLater(std::unique_ptr<Request>& request, const TransferRecord& record) {
        const TransferProgress progress = progressOf(record);
        const bool throttled = progress.stage == TransferStage::Answered && progress.httpStatus == 429;
        const RetryPolicy policy = request->client ? request->client->pacing.retry : RetryPolicy{};
        if (!throttled && policy.maxAttempts <= 1) return false;

        const Clock::time_point now = Clock::now();
        std::chrono::milliseconds retryAfter{0};
        if (throttled) {
            retryAfter =
                retryAfterDelay(record.retryAfter, std::chrono::system_clock::now(), policy.maxDelay);
            const Clock::time_point until = now + retryAfter;
            scheduler_.pauseAccount(std::string(request->queueKey().account), until);
            if (request->bucket != nullptr) request->bucket->pauseUntil(until);
        }
        const RetryInput input{progress, request->triesMade,    retryAfter,     jitter_(random_),
                               now,      request->callDeadline, kMinimumTryTime};
        const auto delay = nextTryDelay(input, policy);
        if (!delay) return false;

        driver_.release(*request);
        request->retrying = true;
        request->notBefore = now + *delay;
        counters.waitingToRetry.fetch_add(1, std::memory_order_relaxed);
        scheduler_.add(std::move(request), now);
        return true;
    }

    mutable std::mutex mutex_;
    std::deque<std::unique_ptr<Request>> incoming_;
    // The loop is waiting in (or about to enter) the driver's wait and nobody
    // has woken it yet; it wakes by itself at wakeAt_.
    bool polling_ = false;
    Clock::time_point wakeAt_{};
    // Hosts whose requests queue in the loop behind the connection limit.
    std::unordered_set<std::string> blockedHosts_;
    // Every connection the total limit allows is taken.
    bool saturated_ = false;
    std::shared_ptr<const Settings> settings_;
    std::atomic<bool> stopping_{false};

    const unsigned generation_ = forkGeneration.load(std::memory_order_relaxed);

    // Touched by the loop thread only.
    TransferDriver driver_;
    Scheduler scheduler_;
    Clock::time_point nextSweep_{};
    std::vector<Job*> due_;
    std::vector<Request*> finished_;
    std::vector<Job*> expired_;
    std::vector<std::string> waiting_;
    // Spreads retries, so that calls that failed together don't return together.
    std::minstd_rand random_{std::random_device{}()};
    std::uniform_real_distribution<double> jitter_{0.0, 1.0};

    // Requests the stop cut off, kept for the life of the process.
    std::mutex abandonedMutex_;
    std::vector<std::unique_ptr<Request>> abandoned_;

    std::mutex stopMutex_;
    // Held by the loop thread except while it waits or runs a callback.
    std::mutex workMutex_;
    std::unique_lock<std::mutex>* working_ = nullptr;
    std::thread thread_;
    // thread_'s id, kept apart: a join clears thread_ while the loop thread
    // may be asking whether it is the loop.
    std::thread::id loopThread_;
};

// Owns the process's engine. Never destroyed, like the engines it made: a
// call made while the process exits finds a stopped engine, not a dangling
// one.
struct EngineOwner {
    std::mutex mutex;
    std::atomic<HttpEngine*> engine{new HttpEngine()};
    std::vector<HttpEngine*> abandoned;

    HttpEngine& current() {
        HttpEngine* current = engine.load(std::memory_order_acquire);
        if (current->ownedByThisProcess()) return *current;
        // A forked child: the parent's loop thread didn't come along, and its
        // queued requests belong to the parent (sending them here would send
        // them twice). Start afresh with the same settings.
        std::lock_guard lock(mutex);
        current = engine.load();
        if (!current->ownedByThisProcess()) {
            // Kept, not freed: its state is the parent's, and leak checkers
            // should not mistake it for a leak.
            abandoned.push_back(current);
            current = new HttpEngine(current->settings());
            engine.store(current, std::memory_order_release);
        }
        return *current;
    }
};

constinit std::atomic<EngineOwner*> engineOwner{nullptr};

// Stops the library when the process exits in a way the main thread's guard
// doesn't see (exit() called on another thread). Made at the first call, so
// it runs before the atexit handlers and statics made before that call.
struct ExitFallback {
    ~ExitFallback() { qelsms::shutdown(); }
};

HttpEngine& HttpEngine::instance() {
    static EngineOwner& owner = []() -> EngineOwner& {
        auto* made = new EngineOwner();
        engineOwner.store(made, std::memory_order_release);
        return *made;
    }();
    static const ExitFallback fallback;
    return owner.current();
}

void stopEngine() noexcept {
    EngineOwner* owner = engineOwner.load(std::memory_order_acquire);
    if (owner == nullptr) return;
    HttpEngine* engine = owner->engine.load(std::memory_order_acquire);
    if (engine->ownedByThisProcess()) engine->shutdown();
}

// What a fork() in progress holds; forks are serialised by the settings lock,
// taken before these.
EngineOwner* ownerLockedForFork = nullptr;
HttpEngine* engineLockedForFork = nullptr;

// Owner first: a child replacing its inherited engine holds the owner's lock
// while it reads that engine's settings.
void lockEngineForFork() noexcept {
    ownerLockedForFork = engineOwner.load(std::memory_order_acquire);
    if (ownerLockedForFork == nullptr) return;
    ownerLockedForFork->mutex.lock();
    engineLockedForFork = ownerLockedForFork->engine.load();
    engineLockedForFork->lockForFork();
}

void unlockEngineAfterFork(bool child) noexcept {
    if (child) {
        HttpEngine::forkGeneration.fetch_add(1);
        // The parent's requests stay the parent's.
        counters.clearWaiting();
        counters.completed.store(0, std::memory_order_relaxed);
    }
    if (ownerLockedForFork == nullptr) return;
    engineLockedForFork->unlockAfterFork();
    ownerLockedForFork->mutex.unlock();
    ownerLockedForFork = nullptr;
    engineLockedForFork = nullptr;
}

std::unique_ptr<Request> makeRequest(std::shared_ptr<const ParsedUrl> url, Callbacks&& callbacks,
                                     std::shared_ptr<const ClientOptions> client) {
    auto request = std::make_unique<Request>();
    request->url = std::move(url);
    request->callbacks = std::move(callbacks);
    request->client = std::move(client);
    return request;
}

HttpEngine& httpEngine() {
    return HttpEngine::instance();
}

void submitGet(HttpEngine& engine, std::shared_ptr<const ParsedUrl> url, Callbacks&& callbacks,
               std::shared_ptr<const ClientOptions> client) {
    engine.submit(makeRequest(std::move(url), std::move(callbacks), std::move(client)));
}

void submitPost(HttpEngine& engine, std::shared_ptr<const ParsedUrl> url, std::string body,
                std::size_t numbers, Callbacks&& callbacks, std::shared_ptr<const ClientOptions> client) {
    auto request = makeRequest(std::move(url), std::move(callbacks), std::move(client));
    request->post = true;
    request->body = std::move(body);
    request->numbers = numbers;
    engine.submit(std::move(request));
}

std::size_t pendingRequests() noexcept {
    return qelsms::pendingRequests();
}

}  // namespace qelsms::detail

namespace qelsms {

EngineStats engineStats() noexcept {
    using detail::counters;
    return EngineStats{counters.queued.load(std::memory_order_relaxed),
                       counters.inFlight.load(std::memory_order_relaxed),
                       counters.waitingToRetry.load(std::memory_order_relaxed),
                       counters.completed.load(std::memory_order_relaxed)};
}

inline namespace options_v1 {

void configureHttpClient(const HttpClientOptions& options) {
    detail::HttpEngine::instance().configure(detail::settingsFrom(options));
}

HttpClientOptions httpClientOptions() {
    return detail::HttpEngine::instance().settings()->options;
}

}  // namespace options_v1

}  // namespace qelsms
