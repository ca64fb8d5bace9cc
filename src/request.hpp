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

// The transfer driver's, from the start of a try until its answer is read:
// its handle (opaque here), the answer so far and its limit, and how the
// try went. A request waiting in a queue has none; the driver keeps a few
// for the next tries, answer buffers included.
struct TransferState {
    void* handle = nullptr;
    int attempts = 0;
    int result = 0;
    std::size_t maxAnswerBytes = 0;
    bool tooLarge = false;
    std::string response;
    // Only while the settings carry a log handler.
    std::unique_ptr<TransferLog> log;
};

// Ordered by size so that a queued request, which may wait among a hundred
// thousand others, carries no padding.
struct Request : Job {
    QueueKey queueKey() const noexcept override {
        return QueueKey{url->hostKey, client ? std::string_view(client->account) : std::string_view()};
    }

    Callbacks callbacks;
    std::string body;
    std::shared_ptr<const ParsedUrl> url;
    std::shared_ptr<const Settings> settings;
    // The calling client's own options, if it has any; its queue key views
    // the client's account name.
    std::shared_ptr<const ClientOptions> client;
    // Numbers the request sends to, which the answer's size and the
    // exchange's deadline grow with.
    std::size_t numbers = 0;
    // Every try of the call ends by then; set when it first leaves the queue.
    Clock::time_point callDeadline{};
    // While a try runs and until its answer is read; null in a queue.
    std::unique_ptr<TransferState> transfer;
    // Tries ended so far, and whether the call now waits to be tried again.
    int triesMade = 0;
    bool retrying = false;
    bool post = false;
};

}  // namespace qelsms::detail
