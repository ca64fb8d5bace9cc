#include "http_engine.hpp"

#include <curl/curl.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "answer_handling.hpp"
#include "engine_log.hpp"
#include "http_settings.hpp"
#include "lifecycle.hpp"
#include "pending_calls.hpp"
#include "transfer.hpp"

namespace qelsms::detail {

namespace {

// How often the loop looks for transfers idle for longer than their time-out,
// while any is in flight: the time-out fires at most about twice this late.
constexpr std::chrono::milliseconds kIdleSweepInterval{100};

const std::string& hostKeyOf(const Request& request) {
    return request.url->hostKey;
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
            std::lock_guard lock(mutex_);
            if (stopping_.load(std::memory_order_relaxed)) return;  // dropped: the library has stopped
            request->settings = settings_;
            // Waking the loop costs a write, a context switch and a pass over
            // every transfer, so it is done only when the loop is waiting and
            // could start this request at once: not while it is busy (it
            // looks at the queue before it waits) and not for a host already
            // at its connection limit, nor while every connection is taken
            // (a finishing transfer wakes it anyway).
            wake = polling_ && !saturated_ && !blockedHosts_.contains(hostKeyOf(*request));
            if (wake) polling_ = false;
            incoming_.push_back(std::move(request));
            callStarted();
        }
        if (wake) curl_multi_wakeup(multi_);
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
            if (!stopping_.exchange(true)) curl_multi_wakeup(multi_);
        }
        // exit() called from inside a callback runs this on the loop thread,
        // which can't join itself; no other callback starts from there. Nor
        // may it wait for a thread that is joining it.
        if (std::this_thread::get_id() == loopThread_) return;
        // The loop only finishes its pass: curl doesn't block in it, and the
        // poll was just woken. A callback in progress is waited for.
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
        curl_global_init(CURL_GLOBAL_DEFAULT);
        multi_ = curl_multi_init();
        if (multi_ == nullptr) throw std::runtime_error("curl_multi_init failed");
        applyMultiLimits(settings_);
        pool_.prepare();

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

    // curl's per-host limit only rises: requests started under older
    // settings keep theirs. Connections kept for reuse count against the
    // descriptors too, so the cache holds no more than the total limit.
    void applyMultiLimits(const std::shared_ptr<const Settings>& settings) {
        appliedPerHost_ = std::max(appliedPerHost_, settings->maxConnectionsPerHost);
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, appliedPerHost_);
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS,
                          std::min(std::max(64L, appliedPerHost_ * 4), settings->maxConnections));
        appliedSettings_ = settings;
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
            for (auto& request : batch) {
                Host& host = hosts_[hostKeyOf(*request)];
                if (host.waiting.empty()) waitingHosts_.push_back(&host);
                request->host = &host;
                host.waiting.push_back(std::move(request));
            }
            batch.clear();
            startNow_ = Clock::now();
            startRequestsWithinLimits();

            int running = 0;
            curl_multi_perform(multi_, &running);
            bool finished = finishCompletedTransfers();
            if (!inFlight_.empty()) finished = failIdleTransfers() || finished;
            if (finished) continue;  // freed slots: start waiting requests at once
            if (!announceWaitUnlessQueued()) continue;
            const int waitMs = inFlight_.empty() ? 1000 : static_cast<int>(kIdleSweepInterval.count());
            working.unlock();
            curl_multi_poll(multi_, nullptr, 0, waitMs, nullptr);
            working.lock();
            std::lock_guard lock(mutex_);
            polling_ = false;
        }
    }

    // Tells submitters that the loop is about to wait, and for which hosts a
    // new request would have to wait anyway. False when requests arrived in
    // the meantime (nobody woke the loop for them, so it must not wait).
    bool announceWaitUnlessQueued() {
        std::lock_guard lock(mutex_);
        if (!incoming_.empty() || stopping_.load(std::memory_order_relaxed)) return false;
        std::erase_if(blockedHosts_, [this](const std::string& key) {
            const auto host = hosts_.find(key);
            return host == hosts_.end() || host->second.waiting.empty();
        });
        for (const Host* host : waitingHosts_)
            blockedHosts_.insert(hostKeyOf(*host->waiting.front()));
        saturated_ = inFlight_.size() >= static_cast<std::size_t>(settings_->maxConnections);
        polling_ = true;
        return true;
    }

    // Starts waiting requests while their host has fewer active transfers
    // than its limit and the process fewer than the total limit. Hosts take
    // turns, one request each, so that under the total limit a host with a
    // long queue doesn't hold back the others; each host's requests start
    // oldest first.
    void startRequestsWithinLimits() {
        while (!waitingHosts_.empty()) {
            Host* host = waitingHosts_.front();
            const Settings& next = *host->waiting.front()->settings;
            if (inFlight_.size() >= static_cast<std::size_t>(next.maxConnections)) break;
            waitingHosts_.pop_front();
            if (host->active >= next.maxConnectionsPerHost) {
                fullHosts_.push_back(host);
                continue;
            }
            std::unique_ptr<Request> request = std::move(host->waiting.front());
            host->waiting.pop_front();
            if (!host->waiting.empty()) waitingHosts_.push_back(host);
            if (request->settings != appliedSettings_) applyMultiLimits(request->settings);
            if (start(request.get())) {
                ++host->active;
                request->inFlightIndex = inFlight_.size();
                inFlight_.push_back(request.release());  // owned here until finished
            } else {
                complete(std::move(request), CURLE_FAILED_INIT);
            }
        }
        waitingHosts_.insert(waitingHosts_.end(), fullHosts_.begin(), fullHosts_.end());
        fullHosts_.clear();
    }

    bool start(Request* request) {
        CURL* easy = pool_.take(*request);
        if (easy == nullptr) return false;
        request->easy = easy;
        pool_.lendBuffer(request->response);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, request);
        curl_easy_setopt(easy, CURLOPT_CURLU, request->url->handle.get());
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, request);
        const Settings& settings = *request->settings;
        const auto numbers = static_cast<long long>(request->numbers);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                         static_cast<long>(settings.deadlineSeconds * 1000 + numbers * kDeadlineMsPerNumber));
        const std::size_t extraAnswerBytes = request->numbers * kAnswerBytesPerNumber;
        request->maxAnswerBytes = settings.maxAnswerBytes > SIZE_MAX - extraAnswerBytes
                                      ? SIZE_MAX
                                      : settings.maxAnswerBytes + extraAnswerBytes;
        request->bytesMoved = 0;
        request->lastActivity = startNow_;
        if (request->post) {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request->body.size()));
            // curl reads the body in place; the request keeps it until done.
            // With the head, it goes out in one write.
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request->body.data());
            curl_easy_setopt(easy, CURLOPT_PREREQDATA, request);
        }
        if (request->settings->log) {
            request->log = logExchangeStart(*request->settings, easy, request->url->handle.get(),
                                            request->post, request->body.size());
        }
        if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
            request->easy = nullptr;
            pool_.recycle(easy, *request);
            return false;
        }
        return true;
    }

    // Completes every transfer curl reports done; says whether there was any.
    bool finishCompletedTransfers() {
        bool any = false;
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            any = true;
            CURL* easy = message->easy_handle;
            const CURLcode result = message->data.result;
            Request* raw = nullptr;
            curl_easy_getinfo(easy, CURLINFO_PRIVATE, &raw);
            complete(detach(raw), result);
        }
        return any;
    }

    // Takes a finished or abandoned transfer out of the loop's books.
    std::unique_ptr<Request> detach(Request* raw) {
        std::unique_ptr<Request> request(raw);
        Request* last = inFlight_.back();
        inFlight_[raw->inFlightIndex] = last;
        last->inFlightIndex = raw->inFlightIndex;
        inFlight_.pop_back();
        Host* host = request->host;
        if (--host->active == 0 && host->waiting.empty()) hosts_.erase(hostKeyOf(*request));
        return request;
    }

    // Fails every transfer that has sent and received nothing for its
    // time-out, looking at most every kIdleSweepInterval; says whether any
    // failed. A byte counts from the sweep that first sees it.
    bool failIdleTransfers() {
        const Clock::time_point now = Clock::now();
        if (now < nextIdleSweep_) return false;
        nextIdleSweep_ = now + kIdleSweepInterval;
        for (Request* request : inFlight_) {
            curl_off_t down = 0;
            curl_off_t up = 0;
            curl_easy_getinfo(request->easy, CURLINFO_SIZE_DOWNLOAD_T, &down);
            curl_easy_getinfo(request->easy, CURLINFO_SIZE_UPLOAD_T, &up);
            if (down + up != request->bytesMoved) {
                request->bytesMoved = down + up;
                request->lastActivity = now;
            } else if (now - request->lastActivity >=
                       std::chrono::seconds(request->settings->timeoutSeconds)) {
                idle_.push_back(request);
            }
        }
        for (Request* raw : idle_) {
            std::unique_ptr<Request> request = detach(raw);
            request->idleTimedOut = true;
            complete(std::move(request), CURLE_OPERATION_TIMEDOUT);
        }
        const bool any = !idle_.empty();
        idle_.clear();
        return any;
    }

    void release(Request& request) {
        if (request.easy != nullptr) {
            curl_multi_remove_handle(multi_, request.easy);
            if (request.idleTimedOut) {
                // Cut off mid-exchange: the handle's state is not worth keeping.
                curl_easy_cleanup(request.easy);
            } else {
                pool_.recycle(request.easy, request);
            }
            request.easy = nullptr;
        }
    }

    void complete(std::unique_ptr<Request> request, CURLcode result) {
        if (request->settings->log) {
            logExchangeEnd(*request->settings, request->log.get(), request->easy, request->url->handle.get(),
                           request->post, result, request->tooLarge);
        }
        // The head is read into storage the loop keeps for the next answer.
        std::optional<ResponseInfo>& info = info_;
        std::optional<std::string> body;
        const bool transportError = result != CURLE_OK || request->tooLarge;
        std::optional<TransferFailure> failure;
        if (transportError) {
            info.reset();
            failure = transferFailureOf(*request, result);
        } else {
            long status = 0;
            const char* contentType = nullptr;
            curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &status);
            curl_easy_getinfo(request->easy, CURLINFO_CONTENT_TYPE, &contentType);
            if (!info) info.emplace();
            info->statusCode = status;
            if (contentType != nullptr) {
                assignMimeType(contentType, info->mimeType);
            } else {
                info->mimeType.reset();
            }
            body = std::move(request->response);
        }
        release(*request);

        // Once the process has begun to exit, no callback may start: the
        // application's statics may already be gone.
        if (!stopped()) {
            // A callback may fork, or wait for a thread that does.
            working_->unlock();
            try {
                deliverResponse(request->callbacks, body, info, failure ? &*failure : nullptr);
            } catch (...) {
                // An application's callback threw; the loop serves everyone
                // else regardless.
            }
            working_->lock();
        }
        request.reset();  // releases the callbacks
        if (body) pool_.returnBuffer(*body);
        callEnded();
    }

    mutable std::mutex mutex_;
    std::deque<std::unique_ptr<Request>> incoming_;
    // The loop is waiting in (or about to enter) curl_multi_poll and nobody
    // has woken it yet.
    bool polling_ = false;
    // Hosts whose requests queue in the loop behind the connection limit.
    std::unordered_set<std::string> blockedHosts_;
    // Every connection the total limit allows is taken.
    bool saturated_ = false;
    std::shared_ptr<const Settings> settings_;
    std::atomic<bool> stopping_{false};

    const unsigned generation_ = forkGeneration.load(std::memory_order_relaxed);

    // Touched by the loop thread only.
    CURLM* multi_ = nullptr;
    long appliedPerHost_ = 0;
    std::shared_ptr<const Settings> appliedSettings_;
    // When the current pass of the loop began: a starting transfer's first
    // moment of activity.
    Clock::time_point startNow_;
    Clock::time_point nextIdleSweep_;
    // Hosts with a request in the loop; a host is forgotten when it has none.
    std::unordered_map<std::string, Host> hosts_;
    // Hosts with requests waiting for a connection, in turn order.
    std::deque<Host*> waitingHosts_;
    std::vector<Host*> fullHosts_;
    std::vector<Request*> inFlight_;
    std::vector<Request*> idle_;
    HandlePool pool_;
    std::optional<ResponseInfo> info_;

    std::mutex stopMutex_;
    // Held by the loop thread except while it polls or runs a callback.
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
    if (child) HttpEngine::forkGeneration.fetch_add(1);
    if (ownerLockedForFork == nullptr) return;
    engineLockedForFork->unlockAfterFork();
    ownerLockedForFork->mutex.unlock();
    ownerLockedForFork = nullptr;
    engineLockedForFork = nullptr;
}

std::unique_ptr<Request> makeRequest(std::shared_ptr<const ParsedUrl> url, Callbacks&& callbacks) {
    auto request = std::make_unique<Request>();
    request->url = std::move(url);
    request->callbacks = std::move(callbacks);
    return request;
}

HttpEngine& httpEngine() {
    return HttpEngine::instance();
}

void submitGet(HttpEngine& engine, std::shared_ptr<const ParsedUrl> url, Callbacks&& callbacks) {
    engine.submit(makeRequest(std::move(url), std::move(callbacks)));
}

void submitPost(HttpEngine& engine, std::shared_ptr<const ParsedUrl> url, std::string body,
                std::size_t numbers, Callbacks&& callbacks) {
    auto request = makeRequest(std::move(url), std::move(callbacks));
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
inline namespace options_v1 {

void configureHttpClient(const HttpClientOptions& options) {
    detail::HttpEngine::instance().configure(detail::settingsFrom(options));
}

HttpClientOptions httpClientOptions() {
    return detail::HttpEngine::instance().settings()->options;
}

}  // namespace options_v1

}  // namespace qelsms
