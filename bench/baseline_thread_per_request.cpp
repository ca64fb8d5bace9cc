// Baseline (c): the hasty design. Each request gets its own thread
// (std::async) and its own curl easy handle, so its own connection. A
// semaphore holds the threads in flight to the connection limit; without it
// a burst would ask the system for one thread per request.
#include <curl/curl.h>

#include <future>
#include <iostream>
#include <vector>

#include "workload.hpp"

namespace qelsms::bench {

namespace {

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// One blocking exchange on a fresh handle; returns an error text, empty on
// success.
std::string post(const ClientOptions& options, const std::string& url, const std::string& body) {
    CURL* easy = curl_easy_init();
    std::string response;
    curl_slist* headers = nullptr;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &response);
    if (!options.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options.caFile.c_str());
    if (!body.empty()) {
        headers = curl_slist_append(nullptr, "Content-Type: application/json");
        headers = curl_slist_append(headers, "Expect:");
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    const CURLcode result = curl_easy_perform(easy);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    if (result != CURLE_OK) return curl_easy_strerror(result);
    if (status != 200) return response.empty() ? "status " + std::to_string(status) : response;
    return {};
}

}  // namespace

int runThreadPerRequestClient(const ClientOptions& options) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const std::string url = endpointUrl(options.url, options.op);
    const std::string body = requestBody(options.op);
    static_cast<void>(post(options, url, body));

    const std::size_t n = options.requests;
    Tracker tracker(n);
    Window window(options.connections);
    std::vector<std::future<void>> threads;
    threads.reserve(n);
    awaitGo(options);

    // In a burst the caller waits for a free thread inside the call; in a
    // window the wait is the caller's own pacing and not counted.
    const bool windowed = options.mode == Mode::Window;
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < n; ++i) {
        const Clock::time_point asked = Clock::now();
        window.acquire();
        const Clock::time_point at = windowed ? Clock::now() : asked;
        threads.push_back(std::async(std::launch::async, [&, i] {
            const std::string error = post(options, url, body);
            tracker.finished(i, error.empty(), error);
            window.release();
        }));
        tracker.submitted(i, at, Clock::now());
    }
    reportQueued(options, 0);
    for (auto& thread : threads)
        thread.get();

    std::cout << tracker.result(options, start).dump() << std::endl;
    return 0;
}

}  // namespace qelsms::bench
