// Baseline (a): the least any curl-based client can do. One thread, one
// multi handle, as many reused easy handles as the connection limit, and a
// plain queue of request bodies; a response only has its status checked.
#include <curl/curl.h>

#include <deque>
#include <iostream>
#include <vector>

#include "workload.hpp"

namespace qelsms::bench {

namespace {

struct Slot {
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::size_t index = 0;
    std::string body;
    std::string response;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<Slot*>(user)->response.append(data, size * count);
    return size * count;
}

void configure(Slot& slot, const ClientOptions& options, const std::string& url) {
    CURL* easy = slot.easy;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &slot);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &slot);
    if (!options.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options.caFile.c_str());
    if (options.op == Operation::Balance) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        return;
    }
    slot.headers = curl_slist_append(nullptr, "Content-Type: application/json");
    slot.headers = curl_slist_append(slot.headers, "Expect:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, slot.headers);
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
}

class MultiLoop {
public:
    MultiLoop(const ClientOptions& options, const std::string& url) : slots_(options.connections) {
        multi_ = curl_multi_init();
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(options.connections));
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, static_cast<long>(options.connections));
        for (Slot& slot : slots_) {
            slot.easy = curl_easy_init();
            configure(slot, options, url);
            idle_.push_back(&slot);
        }
    }
    MultiLoop(const MultiLoop&) = delete;
    MultiLoop& operator=(const MultiLoop&) = delete;
    ~MultiLoop() {
        for (Slot& slot : slots_) {
            curl_easy_cleanup(slot.easy);
            curl_slist_free_all(slot.headers);
        }
        curl_multi_cleanup(multi_);
    }

    bool hasIdleSlot() const { return !idle_.empty(); }

    void start(std::size_t index, std::string body) {
        Slot* slot = idle_.back();
        idle_.pop_back();
        slot->index = index;
        slot->response.clear();
        slot->body = std::move(body);
        if (!slot->body.empty()) {
            curl_easy_setopt(slot->easy, CURLOPT_POSTFIELDS, slot->body.data());
            curl_easy_setopt(slot->easy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(slot->body.size()));
        }
        curl_multi_add_handle(multi_, slot->easy);
    }

    // Drives the transfers once; `done` is called for each finished request.
    // Waits for activity when nothing finished.
    template <class Done>
    void step(Done&& done) {
        int running = 0;
        curl_multi_perform(multi_, &running);
        bool any = false;
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            any = true;
            Slot* slot = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &slot);
            long status = 0;
            curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
            const CURLcode result = message->data.result;
            curl_multi_remove_handle(multi_, slot->easy);
            idle_.push_back(slot);
            if (result != CURLE_OK) {
                done(slot->index, false, curl_easy_strerror(result));
            } else if (status != 200) {
                done(slot->index, false, slot->response);
            } else {
                done(slot->index, true, std::string_view());
            }
        }
        if (!any) curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    }

private:
    CURLM* multi_ = nullptr;
    std::vector<Slot> slots_;
    std::vector<Slot*> idle_;
};

}  // namespace

int runCurlMultiClient(const ClientOptions& options) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const std::string url = endpointUrl(options.url, options.op);
    const std::string body = requestBody(options.op);
    MultiLoop loop(options, url);

    bool warm = false;
    loop.start(0, body);
    while (!warm)
        loop.step([&](std::size_t, bool, std::string_view) { warm = true; });

    const std::size_t n = options.requests;
    Tracker tracker(n);
    std::deque<std::string> queue;
    awaitGo(options);

    const Clock::time_point start = Clock::now();
    const bool windowed = options.mode == Mode::Window;
    if (!windowed) {
        for (std::size_t i = 0; i < n; ++i) {
            tracker.submitted(i, Clock::now());
            queue.push_back(body);
        }
    }
    reportQueued(options, queue.size());

    std::size_t next = 0;
    std::size_t finished = 0;
    while (finished < n) {
        while (next < n && loop.hasIdleSlot()) {
            if (windowed) {
                tracker.submitted(next, Clock::now());
                loop.start(next, body);
            } else {
                loop.start(next, std::move(queue.front()));
                queue.pop_front();
            }
            ++next;
        }
        loop.step([&](std::size_t index, bool ok, std::string_view error) {
            tracker.finished(index, ok, error);
            ++finished;
        });
    }

    std::cout << tracker.result(options, start).dump() << std::endl;
    return 0;
}

}  // namespace qelsms::bench
