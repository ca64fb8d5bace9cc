#include "transfer_driver.hpp"

#include <curl/curl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine_log.hpp"
#include "http_engine.hpp"

namespace qelsms::detail {

namespace {

// OpenSSL's words for a handshake that found no protocol version both sides
// accept, whichever side noticed.
bool isProtocolVersionFailure(std::string_view text) {
    for (const std::string_view words : {"protocol version", "unsupported protocol", "wrong version number",
                                         "no protocols available", "version too low"}) {
        if (text.find(words) != std::string_view::npos) return true;
    }
    return false;
}

// Kept between transfers: up to this many easy handles of each method, and as
// many transfer states, each with an answer buffer up to a size.
constexpr std::size_t kMaxSpares = 256;
constexpr std::size_t kMaxSpareBufferBytes = std::size_t{64} * 1024;

CURL* easyOf(const Request& request) {
    return request.transfer ? static_cast<CURL*>(request.transfer->handle) : nullptr;
}

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* userData) {
    auto* transfer = static_cast<TransferState*>(userData);
    const std::size_t bytes = size * count;
    if (transfer->response.size() + bytes > transfer->maxAnswerBytes) {
        transfer->tooLarge = true;
        return 0;  // makes curl fail the transfer with CURLE_WRITE_ERROR
    }
    transfer->response.append(data, bytes);
    return bytes;
}

// curl sends a request again, from the start, when its reused keep-alive
// connection closed without a byte of answer: harmless for a GET, but the
// server may have read a POST before closing, and a message must reach the
// provider at most once. The request is therefore let through only the first
// time; a second attempt fails it instead, and the application decides
// whether to send again.
int sendOnce(void* userData, char*, char*, int, int) {
    auto* transfer = static_cast<TransferState*>(userData);
    return transfer->attempts++ == 0 ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
}

static_assert(sizeof(TransferLog::errorText) == CURL_ERROR_SIZE);

std::string targetOf(const Request& request) {
    return std::string(request.post ? "POST " : "GET ") + loggableURL(request.url->handle.get());
}

template <typename T>
T info(CURL* easy, CURLINFO what) {
    T value{};
    if (easy == nullptr || curl_easy_getinfo(easy, what, &value) != CURLE_OK) return T{};
    return value;
}

// Bytes, time, peer and connection of a transfer that ran.
std::string transferFacts(CURL* easy) {
    const auto up = info<curl_off_t>(easy, CURLINFO_SIZE_UPLOAD_T);
    const auto down = info<curl_off_t>(easy, CURLINFO_SIZE_DOWNLOAD_T);
    const auto total = info<curl_off_t>(easy, CURLINFO_TOTAL_TIME_T);
    const auto connects = info<long>(easy, CURLINFO_NUM_CONNECTS);
    const char* ip = info<const char*>(easy, CURLINFO_PRIMARY_IP);
    const auto port = info<long>(easy, CURLINFO_PRIMARY_PORT);
    std::string facts = std::to_string(up) + " bytes up, " + std::to_string(down) + " bytes down, " +
                        std::to_string(total / 1000) + " ms";
    if (ip != nullptr && *ip != '\0') {
        facts += ", peer ";
        facts += ip;
        // Appended apart: GCC 12 at -O3 sees a false overlap (-Wrestrict) in
        // "literal" + std::string&&, which inserts at the front.
        facts += ':';
        facts += std::to_string(port);
        facts += connects > 0 ? ", new connection" : ", reused connection";
    } else {
        facts += ", no connection";
    }
    return facts;
}

// "host:port" of the request's URL, for a failure before any peer answered.
std::string endpointOf(const Request& request) {
    std::string host = urlPart(request.url->handle.get(), CURLUPART_HOST);
    std::string port = urlPart(request.url->handle.get(), CURLUPART_PORT);
    if (port.empty()) port = urlPart(request.url->handle.get(), CURLUPART_SCHEME) == "http" ? "80" : "443";
    return host + ":" + port;
}

std::string seconds(long count) {
    return std::to_string(count) + " s";
}

// Why a transfer failed, in words. curl's own text is used where it says more
// than a general phrase would; URLs in it lose their query and user
// information.
std::string reasonInWords(const Request& request, CURLcode code, Expiry expiry, TransferStage stage) {
    CURL* easy = easyOf(request);
    const TransferState& transfer = *request.transfer;
    const long timeout = request.settings->timeoutSeconds;
    if (expiry == Expiry::Deadline) {
        return "timed out: exchange not finished within its deadline of " +
               std::to_string(request.deadline.count() / 1000) + " s";
    }
    if (expiry == Expiry::Idle || code == CURLE_OPERATION_TIMEDOUT) {
        switch (stage) {
            case TransferStage::NotSent:
                return "timed out: no connection to " + endpointOf(request) + " within " + seconds(timeout);
            case TransferStage::Sent:
                return "timed out: no byte for " + seconds(timeout) + " after the request was sent";
            case TransferStage::Answered:
                return "timed out: no byte for " + seconds(timeout) + " while the answer arrived";
        }
    }
    if (transfer.tooLarge) return "answer larger than the library accepts";
    const char* curlText = transfer.log && transfer.log->errorText[0] != '\0' ? transfer.log->errorText
                                                                              : curl_easy_strerror(code);
    const long verify = info<long>(easy, CURLINFO_SSL_VERIFYRESULT);
    const long connectCode = info<long>(easy, CURLINFO_HTTP_CONNECTCODE);
    if (connectCode >= 300) return "the proxy refused the tunnel with status " + std::to_string(connectCode);
    switch (code) {
        case CURLE_FAILED_INIT:
        case CURLE_OUT_OF_MEMORY:
            return "could not start a transfer (out of memory or handles)";
        case CURLE_COULDNT_RESOLVE_HOST:
            return "could not resolve host " + urlPart(request.url->handle.get(), CURLUPART_HOST);
        case CURLE_COULDNT_RESOLVE_PROXY:
            return "could not resolve the proxy's host";
        case CURLE_COULDNT_CONNECT:
            return "connection refused by " + endpointOf(request) + " (" + scrubbed(curlText) + ")";
        case CURLE_SSL_CONNECT_ERROR:
            // curl still reports a verification result for a handshake that
            // never reached the certificate; it says nothing about the server's.
            if (isProtocolVersionFailure(curlText))
                return scrubbed(curlText) +
                       "; TLS protocol version refused: the library requires TLS 1.2 or newer";
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
            if (verify != X509_V_OK)
                return std::string("certificate not trusted: ") + X509_verify_cert_error_string(verify);
            return "certificate not trusted: " + scrubbed(curlText);
        case CURLE_GOT_NOTHING:
            return "connection closed without an answer";
        case CURLE_PARTIAL_FILE:
            return "answer cut short: the connection closed before the whole answer arrived";
        case CURLE_ABORTED_BY_CALLBACK:
            return "connection closed before the answer; the request is not sent twice";
        case CURLE_SEND_ERROR:
            return "connection broken while sending (" + scrubbed(curlText) + ")";
        case CURLE_RECV_ERROR:
            return "connection broken while receiving (" + scrubbed(curlText) + ")";
        default:
            break;
    }
    std::string reason = scrubbed(curlText);
    if (verify != X509_V_OK) {
        reason += "; certificate not trusted: ";
        reason += X509_verify_cert_error_string(verify);
    }
    return reason;
}

// Which of the failures to connect the retry rules know a code is. A proxy
// that refused the tunnel, or a connect time-out, is none of them.
ConnectFailure connectFailureOf(CURLcode code, long connectCode) {
    if (connectCode != 0) return ConnectFailure::Other;
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return ConnectFailure::NameNotResolved;
        case CURLE_COULDNT_CONNECT:
            return ConnectFailure::ConnectionRefused;
        case CURLE_SSL_CONNECT_ERROR:
            return ConnectFailure::TlsHandshake;
        default:
            return ConnectFailure::Other;
    }
}

}  // namespace

TransferCause causeOfCurlCode(int code) noexcept {
    switch (static_cast<CURLcode>(code)) {
        case CURLE_FAILED_INIT:
        case CURLE_OUT_OF_MEMORY:
            return TransferCause::NotStarted;
        case CURLE_OPERATION_TIMEDOUT:
            return TransferCause::TimedOut;
        default:
            return TransferCause::Broken;
    }
}

struct TransferDriver::State {
    // An easy handle between transfers, still configured for the settings and
    // method it last served: the next request of the same kind sets only its
    // own options, instead of resetting the handle and setting them all again.
    struct SpareHandle {
        CURL* easy = nullptr;
        std::shared_ptr<const Settings> settings;
    };

    CURLM* multi = nullptr;
    long appliedPerHost = 0;
    std::shared_ptr<const Settings> appliedSettings;
    curl_slist* jsonHeaders = nullptr;
    std::vector<SpareHandle> spareGets;
    std::vector<SpareHandle> sparePosts;
    std::vector<std::unique_ptr<TransferState>> spareTransfers;

    // curl's per-host limit only rises: requests started under older
    // settings keep theirs. Connections kept for reuse count against the
    // descriptors too, so the cache holds no more than the total limit.
    void applyMultiLimits(const std::shared_ptr<const Settings>& settings) {
        appliedPerHost = std::max(appliedPerHost, settings->maxConnectionsPerHost);
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, appliedPerHost);
        curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS,
                          std::min(std::max(64L, appliedPerHost * 4), settings->maxConnections));
        appliedSettings = settings;
    }

    // The options every request of these settings and this method shares.
    void configure(CURL* easy, const Settings& settings, bool post) const {
        applySettings(easy, settings);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &writeBody);
        if (post) {
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &sendOnce);
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, jsonHeaders);
        } else {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        }
    }

    // A handle for `request`, configured for its settings and method; null
    // when curl can't make one.
    CURL* take(const Request& request) {
        auto& spares = request.post ? sparePosts : spareGets;
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

    // Keeps `easy`, which last served `request`, for the next request of its
    // kind, or frees it when enough are kept.
    void recycle(CURL* easy, const Request& request) {
        auto& spares = request.post ? sparePosts : spareGets;
        if (spares.size() < kMaxSpares) {
            spares.push_back({easy, request.settings});
        } else {
            curl_easy_cleanup(easy);
        }
    }

    std::unique_ptr<TransferState> takeTransfer() {
        if (spareTransfers.empty()) return std::make_unique<TransferState>();
        std::unique_ptr<TransferState> transfer = std::move(spareTransfers.back());
        spareTransfers.pop_back();
        return transfer;
    }

    // Keeps a try's state, with its answer's storage, for a later transfer,
    // unless enough are kept; an answer that grew large is not kept.
    void returnTransfer(std::unique_ptr<TransferState> transfer) {
        if (transfer == nullptr || spareTransfers.size() >= kMaxSpares) return;
        if (transfer->response.capacity() > kMaxSpareBufferBytes) {
            std::string().swap(transfer->response);
        } else {
            transfer->response.clear();
        }
        transfer->handle = nullptr;
        transfer->attempts = 0;
        transfer->result = 0;
        transfer->maxAnswerBytes = 0;
        transfer->tooLarge = false;
        transfer->log.reset();
        spareTransfers.push_back(std::move(transfer));
    }
};

TransferDriver::TransferDriver() : state_(std::make_unique<State>()) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    state_->multi = curl_multi_init();
    if (state_->multi == nullptr) throw std::runtime_error("curl_multi_init failed");
    state_->jsonHeaders = curl_slist_append(nullptr, "Content-Type: application/json");
    // An empty "Expect:" stops curl from waiting for "100 Continue".
    state_->jsonHeaders = curl_slist_append(state_->jsonHeaders, "Expect:");
    if (state_->jsonHeaders == nullptr) throw std::bad_alloc();
}

// Nothing is cleaned up: a driver is abandoned, not destroyed, and tidying
// curl's connections could wait on a slow server.
TransferDriver::~TransferDriver() {
    static_cast<void>(state_.release());
}

bool TransferDriver::start(Request& request) {
    State& s = *state_;
    if (request.settings != s.appliedSettings) s.applyMultiLimits(request.settings);
    if (!request.transfer) request.transfer = s.takeTransfer();
    TransferState& transfer = *request.transfer;
    CURL* easy = s.take(request);
    if (easy == nullptr) return false;
    transfer.handle = easy;
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &request);
    curl_easy_setopt(easy, CURLOPT_CURLU, request.url->handle.get());
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    const Settings& settings = *request.settings;
    const std::size_t extraAnswerBytes = request.numbers * kAnswerBytesPerNumber;
    transfer.maxAnswerBytes = settings.maxAnswerBytes > SIZE_MAX - extraAnswerBytes
                                  ? SIZE_MAX
                                  : settings.maxAnswerBytes + extraAnswerBytes;
    if (request.post) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        // curl reads the body in place; the request keeps it until done.
        // With the head, it goes out in one write.
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer);
    }
    if (settings.log) {
        transfer.log = std::make_unique<TransferLog>();
        transfer.log->target = targetOf(request);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.log->errorText);
    }
    if (curl_multi_add_handle(s.multi, easy) != CURLM_OK) {
        if (settings.log) curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
        transfer.handle = nullptr;
        s.recycle(easy, request);
        return false;
    }
    return true;
}

void TransferDriver::perform(std::vector<Request*>& finished) {
    int running = 0;
    curl_multi_perform(state_->multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(state_->multi, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        Request* request = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &request);
        request->transfer->result = static_cast<int>(message->data.result);
        finished.push_back(request);
    }
}

std::uint64_t TransferDriver::bytesMoved(const Request& request) noexcept {
    CURL* easy = easyOf(request);
    // Heads count too: a GET's request is all head, and so is the start of
    // an answer.
    const auto body =
        info<curl_off_t>(easy, CURLINFO_SIZE_DOWNLOAD_T) + info<curl_off_t>(easy, CURLINFO_SIZE_UPLOAD_T);
    const auto heads = info<long>(easy, CURLINFO_REQUEST_SIZE) + info<long>(easy, CURLINFO_HEADER_SIZE);
    return static_cast<std::uint64_t>(body) + static_cast<std::uint64_t>(heads);
}

bool TransferDriver::requestLeft(const Request& request) noexcept {
    CURL* easy = easyOf(request);
    if (easy == nullptr) return false;
    // A POST's first attempt is let through once its connection is ready,
    // and may then be written at any moment.
    return info<curl_off_t>(easy, CURLINFO_REQUEST_SIZE) > 0 ||
           info<curl_off_t>(easy, CURLINFO_PRETRANSFER_TIME_T) > 0 ||
           (request.post && request.transfer->attempts > 0);
}

TransferRecord TransferDriver::end(Request& request, Expiry expiry) {
    State& s = *state_;
    if (!request.transfer) request.transfer = s.takeTransfer();
    TransferState& transfer = *request.transfer;
    CURL* easy = easyOf(request);
    TransferRecord record;
    const bool logging = static_cast<bool>(request.settings->log);
    if (easy == nullptr) {
        record.failure = TransferFailure{TransferCause::NotStarted, false, 0};
        record.reason = "could not start a transfer (out of memory or handles)";
        if (logging && !transfer.log) {
            transfer.log = std::make_unique<TransferLog>();
            transfer.log->target = targetOf(request);
        }
        return record;
    }
    const CURLcode code =
        expiry != Expiry::None ? CURLE_OPERATION_TIMEDOUT : static_cast<CURLcode>(transfer.result);
    const long status = info<long>(easy, CURLINFO_RESPONSE_CODE);
    if (code == CURLE_OK && !transfer.tooLarge) {
        record.stage = TransferStage::Answered;
        ResponseInfo& head = record.response.emplace();
        head.statusCode = status;
        if (status == 429) {
            curl_header* retryAfter = nullptr;
            if (curl_easy_header(easy, "Retry-After", 0, CURLH_HEADER, -1, &retryAfter) == CURLHE_OK)
                record.retryAfter = retryAfter->value;
        }
        const char* contentType = info<const char*>(easy, CURLINFO_CONTENT_TYPE);
        if (contentType != nullptr) assignMimeType(contentType, head.mimeType);
        if (logging) {
            record.facts =
                (contentType != nullptr ? scrubbed(contentType) : std::string("without Content-Type")) +
                ", " + transferFacts(easy);
        }
    } else {
        bool sent = requestLeft(request);
        int httpStatus = static_cast<int>(status);
        // A proxy that refused the tunnel got only the CONNECT line, which
        // counts among the bytes sent: the provider never saw the request.
        const long connectCode = info<long>(easy, CURLINFO_HTTP_CONNECTCODE);
        if (connectCode != 0 && (connectCode < 200 || connectCode > 299)) {
            sent = false;
            httpStatus = 0;
        }
        record.stage = !sent ? TransferStage::NotSent
                             : (httpStatus != 0 ? TransferStage::Answered : TransferStage::Sent);
        TransferCause cause = causeOfCurlCode(code);
        if (transfer.tooLarge) cause = TransferCause::TooLarge;
        record.failure = TransferFailure{cause, sent, httpStatus};
        if (!sent) record.connectFailure = connectFailureOf(code, connectCode);
        record.reason = reasonInWords(request, code, expiry, record.stage);
        if (logging)
            record.facts =
                "(curl error " + std::to_string(static_cast<int>(code)) + "); " + transferFacts(easy);
    }

    curl_multi_remove_handle(s.multi, easy);
    if (logging) curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
    if (expiry != Expiry::None) {
        // Cut off mid-exchange: the handle's state is not worth keeping.
        curl_easy_cleanup(easy);
    } else {
        s.recycle(easy, request);
    }
    transfer.handle = nullptr;
    return record;
}

void TransferDriver::release(Request& request) {
    state_->returnTransfer(std::move(request.transfer));
}

void TransferDriver::wait(std::chrono::milliseconds timeout) {
    curl_multi_poll(state_->multi, nullptr, 0, static_cast<int>(timeout.count()), nullptr);
}

void TransferDriver::wake() noexcept {
    curl_multi_wakeup(state_->multi);
}

}  // namespace qelsms::detail
