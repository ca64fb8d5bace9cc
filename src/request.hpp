// One call's exchange as the network thread carries it, from the queue to its
// callback: what the scheduler needs (Job), what the call brought, and the
// transfer driver's state while it runs.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "answer_handling.hpp"
#include "client_options.hpp"
#include "http_settings.hpp"
#include "scheduler.hpp"
#include "url.hpp"

namespace qelsms::detail {

// What the log keeps of one exchange while it runs.
struct TransferLog {
    // "POST https://host:port/path"
    std::string target;
    // The driver's own description of a failure (libcurl's CURL_ERROR_SIZE).
    char errorText[256] = {};
};

struct Request : Job {
    std::shared_ptr<const ParsedUrl> url;
    bool post = false;
    std::string body;
    // Numbers the request sends to, which the answer's size and the
    // exchange's deadline grow with.
    std::size_t numbers = 0;
    Callbacks callbacks;
    std::shared_ptr<const Settings> settings;
    // The calling client's own options, if it has any; the request's queue
    // key views its account name.
    std::shared_ptr<const ClientOptions> client;

    // Tries ended so far, and whether the call now waits to be tried again.
    int triesMade = 0;
    bool retrying = false;
    // Every try of the call ends by then; set when it first leaves the queue.
    Clock::time_point callDeadline{};

    // The transfer driver's, while the request runs: its handle (opaque
    // here), the answer so far and its limit, and how the attempt went.
    void* handle = nullptr;
    int attempts = 0;
    int result = 0;
    std::string response;
    std::size_t maxAnswerBytes = 0;
    bool tooLarge = false;
    // Only while the settings carry a log handler.
    std::unique_ptr<TransferLog> log;
};

}  // namespace qelsms::detail
