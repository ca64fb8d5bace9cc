#include "transfer.hpp"

#include <new>
#include <utility>

namespace qelsms::detail {

namespace {

// Kept between transfers: up to this many easy handles of each method, and as
// many answer buffers, each up to a size.
constexpr std::size_t kMaxSpares = 256;
constexpr std::size_t kMaxSpareBufferBytes = std::size_t{64} * 1024;

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* userData) {
    auto* request = static_cast<Request*>(userData);
    const std::size_t bytes = size * count;
    if (request->response.size() + bytes > request->maxAnswerBytes) {
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

}  // namespace

TransferFailure transferFailureOf(const Request& request, CURLcode result) {
    TransferFailure failure;
    failure.code = result;
    failure.tooLarge = request.tooLarge;
    failure.timedOut = request.idleTimedOut;
    if (request.easy == nullptr) return failure;  // never started
    long status = 0;
    curl_off_t requestBytes = 0;
    curl_off_t pretransfer = 0;
    curl_easy_getinfo(request.easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(request.easy, CURLINFO_REQUEST_SIZE, &requestBytes);
    curl_easy_getinfo(request.easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
    failure.httpStatus = static_cast<int>(status);
    // A POST's first attempt is let through once its connection is
    // ready, and may then be written at any moment.
    failure.requestSent = requestBytes > 0 || pretransfer > 0 || (request.post && request.attempts > 0);
    // A proxy that refused the tunnel got only the CONNECT line, which counts
    // among the bytes sent: the provider never saw the request.
    long connectCode = 0;
    curl_easy_getinfo(request.easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
    if (connectCode != 0 && (connectCode < 200 || connectCode > 299)) {
        failure.requestSent = false;
        failure.httpStatus = 0;
    }
    return failure;
}

void HandlePool::prepare() {
    jsonHeaders_ = curl_slist_append(nullptr, "Content-Type: application/json");
    // An empty "Expect:" stops curl from waiting for "100 Continue".
    jsonHeaders_ = curl_slist_append(jsonHeaders_, "Expect:");
    if (jsonHeaders_ == nullptr) throw std::bad_alloc();
}

CURL* HandlePool::take(const Request& request) {
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

void HandlePool::recycle(CURL* easy, const Request& request) {
    auto& spares = request.post ? sparePosts_ : spareGets_;
    if (spares.size() < kMaxSpares) {
        spares.push_back({easy, request.settings});
    } else {
        curl_easy_cleanup(easy);
    }
}

void HandlePool::lendBuffer(std::string& into) {
    if (!spareBuffers_.empty()) {
        into = std::move(spareBuffers_.back());
        spareBuffers_.pop_back();
    }
}

void HandlePool::returnBuffer(std::string& buffer) {
    if (buffer.capacity() <= kMaxSpareBufferBytes && spareBuffers_.size() < kMaxSpares) {
        buffer.clear();
        spareBuffers_.push_back(std::move(buffer));
    }
}

void HandlePool::configure(CURL* easy, const Settings& settings, bool post) const {
    applySettings(easy, settings);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &writeBody);
    if (post) {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &sendOnce);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, jsonHeaders_);
    } else {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    }
}

}  // namespace qelsms::detail
