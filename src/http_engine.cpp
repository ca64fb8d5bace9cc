#include "http_engine.hpp"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
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
#include "http_settings.hpp"
#include "lifecycle.hpp"

namespace qelsms::detail {

namespace {

constexpr long kMaxIdleSecondsForReuse = 2;
// Kept between transfers: up to this many easy handles of each method, and as
// many answer buffers, each up to a size.
constexpr std::size_t kMaxSpares = 256;
constexpr std::size_t kMaxSpareBufferBytes = std::size_t{64} * 1024;

CURLcode useTrustStore(CURL*, void* sslContext, void* userData) {
    const auto* settings = static_cast<const Settings*>(userData);
    // The context takes its own reference, so a connection outlives replaced
    // settings safely.
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslContext), settings->trustStore);
    return CURLE_OK;
}

struct Host;

struct Request {
    std::shared_ptr<const ParsedUrl> url;
    bool post = false;
    std::string body;
    int attempts = 0;
    CompletionHandler completionHandler;
    ErrorHandler errorHandler;
    std::shared_ptr<const Settings> settings;

    // Set by the loop thread.
    Host* host = nullptr;
    CURL* easy = nullptr;
    std::size_t inFlightIndex = 0;
    std::string response;
    bool tooLarge = false;
};

// The loop's view of one host: requests waiting for a connection, and how
// many of its transfers are active.
struct Host {
    std::deque<std::unique_ptr<Request>> waiting;
    long active = 0;
};

// An easy handle between transfers, still configured for the settings and
// method it last served: the next request of the same kind sets only its own
// options, instead of resetting the handle and setting them all again.
struct SpareHandle {
    CURL* easy = nullptr;
    std::shared_ptr<const Settings> settings;
};

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* userData) {
    auto* request = static_cast<Request*>(userData);
    const std::size_t bytes = size * count;
    if (request->response.size() + bytes > kMaxResponseBytes) {
        request->tooLarge = true;
        return 0;  // makes curl fail the transfer with CURLE_WRITE_ERROR
    }
    request->response.append(data, bytes);
    return bytes;
}

// curl sends a request again, from the start, when its reused keep-alive
// connection closed without a byte of answer: harmless for a GET, but the
// server may have read a POST before closing, and a message must reach the
// provider at most once. The request is therefore let through only the first
// time; a second attempt fails it instead, and the application decides
// whether to send again.
int sendOnce(void* userData, char*, char*, int, int) {
    auto* request = static_cast<Request*>(userData);
    return request->attempts++ == 0 ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
}

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
            // at its connection limit (a finishing transfer wakes it anyway).
            wake = polling_ && !blockedHosts_.contains(hostKeyOf(*request));
            if (wake) polling_ = false;
            incoming_.push_back(std::move(request));
            pending_.fetch_add(1, std::memory_order_relaxed);
        }
        if (wake) curl_multi_wakeup(multi_);
    }

    std::size_t pending() const noexcept { return pending_.load(std::memory_order_relaxed); }

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
        applyMultiLimits(settings_->maxConnectionsPerHost);
        jsonHeaders_ = curl_slist_append(nullptr, "Content-Type: application/json");
        // An empty "Expect:" stops curl from waiting for "100 Continue".
        jsonHeaders_ = curl_slist_append(jsonHeaders_, "Expect:");
        if (jsonHeaders_ == nullptr) throw std::bad_alloc();

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

    void applyMultiLimits(long perHost) {
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, perHost);
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, std::max(64L, perHost * 4));
        appliedPerHost_ = perHost;
    }

    void run() {
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
            startRequestsWithinHostLimits();

            int running = 0;
            curl_multi_perform(multi_, &running);
            if (finishCompletedTransfers()) continue;  // freed slots: start waiting requests at once
            if (!announceWaitUnlessQueued()) continue;
            working.unlock();
            curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
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
        polling_ = true;
        return true;
    }

    // Starts each host's waiting requests, oldest first, while the host has
    // fewer active transfers than its connection limit.
    void startRequestsWithinHostLimits() {
        std::erase_if(waitingHosts_, [this](Host* host) {
            auto& queue = host->waiting;
            while (!queue.empty() && host->active < queue.front()->settings->maxConnectionsPerHost) {
                std::unique_ptr<Request> request = std::move(queue.front());
                queue.pop_front();
                if (request->settings->maxConnectionsPerHost > appliedPerHost_) {
                    applyMultiLimits(request->settings->maxConnectionsPerHost);
                }
                if (start(request.get())) {
                    ++host->active;
                    request->inFlightIndex = inFlight_.size();
                    inFlight_.push_back(request.release());  // owned here until finished
                } else {
                    complete(std::move(request), CURLE_FAILED_INIT);
                }
            }
            return queue.empty();
        });
    }

    // A handle for `request`, configured for its settings and method.
    CURL* takeHandle(const Request& request) {
        auto& spares = request.post ? sparePosts_ : spareGets_;
        if (!spares.empty()) {
            SpareHandle spare = std::move(spares.back());
            spares.pop_back();
            if (spare.settings == request.settings) return spare.easy;
            curl_easy_reset(spare.easy);
            configure(spare.easy, *request.settings, request.post);
            return spare.easy;
        }
        CURL* easy = curl_easy_init();
        if (easy != nullptr) configure(easy, *request.settings, request.post);
        return easy;
    }

    void recycle(CURL* easy, const Request& request) {
        auto& spares = request.post ? sparePosts_ : spareGets_;
        if (spares.size() < kMaxSpares) {
            spares.push_back({easy, request.settings});
        } else {
            curl_easy_cleanup(easy);
        }
    }

    // The options every request of these settings and this method shares.
    void configure(CURL* easy, const Settings& settings, bool post) const {
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        // The time-out counts inactivity, not the length of the exchange: no
        // connection within it, or less than one byte a second over it.
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, settings.timeoutSeconds);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, settings.timeoutSeconds);
        // Servers close idle keep-alive connections after a few seconds (5 is
        // common). A request written just as that happens is lost, and since
        // a sent body is never sent twice, it fails. Not reusing connections
        // idle for longer than this keeps clear of that race.
        curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, kMaxIdleSecondsForReuse);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &writeBody);
        if (settings.connectTo != nullptr) curl_easy_setopt(easy, CURLOPT_CONNECT_TO, settings.connectTo);
        if (settings.trustStore != nullptr) {
            // Nothing for curl to load: the callback hands over the store.
            curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
            curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
            curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &useTrustStore);
            curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &settings);
        }
        if (post) {
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &sendOnce);
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, jsonHeaders_);
        } else {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        }
    }

    bool start(Request* request) {
        CURL* easy = takeHandle(*request);
        if (easy == nullptr) return false;
        request->easy = easy;
        if (!spareBuffers_.empty()) {
            request->response = std::move(spareBuffers_.back());
            spareBuffers_.pop_back();
        }
        curl_easy_setopt(easy, CURLOPT_PRIVATE, request);
        curl_easy_setopt(easy, CURLOPT_CURLU, request->url->handle.get());
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, request);
        if (request->post) {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request->body.size()));
            // curl reads the body in place; the request keeps it until done.
            // With the head, it goes out in one write.
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request->body.data());
            curl_easy_setopt(easy, CURLOPT_PREREQDATA, request);
        }
        if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
            request->easy = nullptr;
            recycle(easy, *request);
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
            std::unique_ptr<Request> request(raw);
            Request* last = inFlight_.back();
            inFlight_[raw->inFlightIndex] = last;
            last->inFlightIndex = raw->inFlightIndex;
            inFlight_.pop_back();
            Host* host = request->host;
            if (--host->active == 0 && host->waiting.empty()) hosts_.erase(hostKeyOf(*request));
            complete(std::move(request), result);
        }
        return any;
    }

    void release(Request& request) {
        if (request.easy != nullptr) {
            curl_multi_remove_handle(multi_, request.easy);
            recycle(request.easy, request);
            request.easy = nullptr;
        }
    }

    void complete(std::unique_ptr<Request> request, CURLcode result) {
        // The head is read into storage the loop keeps for the next answer.
        std::optional<ResponseInfo>& info = info_;
        std::optional<std::string> body;
        const bool transportError = result != CURLE_OK || request->tooLarge;
        if (transportError) {
            info.reset();
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
                handleNetworkResponse(body, info, transportError, request->completionHandler,
                                      request->errorHandler);
            } catch (...) {
                // An application's callback threw; the loop serves everyone
                // else regardless.
            }
            working_->lock();
        }
        request.reset();  // releases both callbacks
        if (body && body->capacity() <= kMaxSpareBufferBytes && spareBuffers_.size() < kMaxSpares) {
            body->clear();
            spareBuffers_.push_back(std::move(*body));
        }
        pending_.fetch_sub(1, std::memory_order_relaxed);
    }

    mutable std::mutex mutex_;
    std::deque<std::unique_ptr<Request>> incoming_;
    // The loop is waiting in (or about to enter) curl_multi_poll and nobody
    // has woken it yet.
    bool polling_ = false;
    // Hosts whose requests queue in the loop behind the connection limit.
    std::unordered_set<std::string> blockedHosts_;
    std::shared_ptr<const Settings> settings_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> pending_{0};

    const unsigned generation_ = forkGeneration.load(std::memory_order_relaxed);

    // Touched by the loop thread only.
    CURLM* multi_ = nullptr;
    curl_slist* jsonHeaders_ = nullptr;
    long appliedPerHost_ = 0;
    // Hosts with a request in the loop; a host is forgotten when it has none.
    std::unordered_map<std::string, Host> hosts_;
    // Hosts with requests waiting for a connection, in the order they began
    // to wait.
    std::vector<Host*> waitingHosts_;
    std::vector<Request*> inFlight_;
    std::vector<SpareHandle> spareGets_;
    std::vector<SpareHandle> sparePosts_;
    std::vector<std::string> spareBuffers_;
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

std::unique_ptr<Request> makeRequest(std::shared_ptr<const ParsedUrl> url,
                                     CompletionHandler completionHandler, ErrorHandler errorHandler) {
    auto request = std::make_unique<Request>();
    request->url = std::move(url);
    request->completionHandler = std::move(completionHandler);
    request->errorHandler = std::move(errorHandler);
    return request;
}

HttpEngine& httpEngine() {
    return HttpEngine::instance();
}

void submitGet(HttpEngine& engine, std::shared_ptr<const ParsedUrl> url, CompletionHandler completionHandler,
               ErrorHandler errorHandler) {
    engine.submit(makeRequest(std::move(url), std::move(completionHandler), std::move(errorHandler)));
}

void submitPost(HttpEngine& engine, std::shared_ptr<const ParsedUrl> url, std::string body,
                CompletionHandler completionHandler, ErrorHandler errorHandler) {
    auto request = makeRequest(std::move(url), std::move(completionHandler), std::move(errorHandler));
    request->post = true;
    request->body = std::move(body);
    engine.submit(std::move(request));
}

std::size_t pendingRequests() noexcept {
    return HttpEngine::instance().pending();
}

}  // namespace qelsms::detail

namespace qelsms {

// The public signature takes the options by value; here they are only read.
void configureHttpClient(HttpClientOptions options) {  // NOLINT(performance-unnecessary-value-param)
    detail::HttpEngine::instance().configure(detail::settingsFrom(options));
}

}  // namespace qelsms
