// One exchange as the engine's loop carries it: the request and its host's
// queue, the curl callbacks that feed it, and the pool of easy handles and
// answer buffers kept between transfers.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "answer_handling.hpp"
#include "engine_log.hpp"
#include "http_settings.hpp"

namespace qelsms::detail {

struct ParsedUrl;

using Clock = std::chrono::steady_clock;

struct Host;

// A queued or running exchange, with everything the loop keeps of it until its
// callback has returned.
struct Request {
    std::shared_ptr<const ParsedUrl> url;
    bool post = false;
    std::string body;
    // Numbers the request sends to, which the answer's size and the
    // exchange's deadline grow with.
    std::size_t numbers = 0;
    int attempts = 0;
    Callbacks callbacks;
    std::shared_ptr<const Settings> settings;

    // Set by the loop thread.
    Host* host = nullptr;
    CURL* easy = nullptr;
    std::size_t inFlightIndex = 0;
    std::string response;
    std::size_t maxAnswerBytes = 0;
    // Bytes sent and received as the last idle sweep saw them, and when they
    // last changed (or the transfer started).
    curl_off_t bytesMoved = 0;
    Clock::time_point lastActivity;
    // Why a transfer failed, beyond its CURLcode.
    bool tooLarge = false;
    bool idleTimedOut = false;
    // Only while the settings carry a log handler.
    std::unique_ptr<ExchangeLog> log;
};

// The loop's view of one host: requests waiting for a connection, and how
// many of its transfers are active.
struct Host {
    std::deque<std::unique_ptr<Request>> waiting;
    long active = 0;
};

// How far a failed exchange got, read before its handle is released.
TransferFailure transferFailureOf(const Request& request, CURLcode result);

// Easy handles and answer buffers kept between transfers. Used by the loop
// thread only.
class HandlePool {
public:
    HandlePool() = default;
    HandlePool(const HandlePool&) = delete;
    HandlePool& operator=(const HandlePool&) = delete;

    // Builds the headers a POST sends, once curl is initialised; throws
    // std::bad_alloc when it can't.
    void prepare();

    // A handle for `request`, configured for its settings and method; null
    // when curl can't make one.
    CURL* take(const Request& request);
    // Keeps `easy`, which last served `request`, for the next request of its
    // kind, or frees it when enough are kept.
    void recycle(CURL* easy, const Request& request);

    // An answer buffer left over from an earlier transfer, if any.
    void lendBuffer(std::string& into);
    // Keeps a delivered answer's storage for a later transfer, unless it grew
    // too large or enough are kept.
    void returnBuffer(std::string& buffer);

private:
    // An easy handle between transfers, still configured for the settings and
    // method it last served: the next request of the same kind sets only its own
    // options, instead of resetting the handle and setting them all again.
    struct SpareHandle {
        CURL* easy = nullptr;
        std::shared_ptr<const Settings> settings;
    };

    // The options every request of these settings and this method shares.
    void configure(CURL* easy, const Settings& settings, bool post) const;

    curl_slist* jsonHeaders_ = nullptr;
    std::vector<SpareHandle> spareGets_;
    std::vector<SpareHandle> sparePosts_;
    std::vector<std::string> spareBuffers_;
};

}  // namespace qelsms::detail
