// Faults that tests arm on the sandbox: each spoils the answers to the next
// few requests under /api/ in one way a real network or server can.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "service.hpp"

namespace qelsms::sandbox {

enum class FaultType {
    Delay,           // answer normally after a pause
    Close,           // close the connection without answering
    Reset,           // send the head and part of the body, then reset the connection
    Truncate,        // announce the whole body, send part of it, then close
    WrongMediaType,  // answer normally, but as text/plain
    Html500,         // 500 with an HTML page
    Oversized,       // 200 JSON far larger than any sane answer
    Redirect,        // 302 to another URL
    Throttle,        // 429, as a provider answers a client over its rate
};

struct Fault {
    FaultType type = FaultType::Delay;
    // Requests still to be spoiled.
    std::size_t count = 1;
    // Only requests to this exact path (e.g. "/api/SendSMS/SingleSMS/"); empty
    // for any path under /api/.
    std::string path;
    std::chrono::milliseconds delay{1000};
    std::size_t bytes = 20u * 1024u * 1024u;
    // Empty: the sandbox's own /sandbox/redirect-target.
    std::string location;
    // The Retry-After header of a throttle, sent as given: seconds, an
    // HTTP date, or anything a test wants a client to cope with. Absent: no
    // header at all.
    std::optional<std::string> retryAfter;
};

// Whether the request a fault spoils still takes effect (credits charged,
// message recorded) before the answer goes wrong.
bool processesRequest(FaultType type);

// Reads a fault from its JSON form, e.g. {"type": "delay", "count": 2,
// "delayMs": 500}. Sets `error` and returns nullopt when it is malformed.
std::optional<Fault> parseFault(const nlohmann::ordered_json& request, std::string& error);
nlohmann::ordered_json toJson(const Fault& fault);

// The answer a throttle fault gives: 429, a JSON refusal and its Retry-After.
Answer throttleAnswer(const Fault& fault);

class FaultPlan {
public:
    void arm(Fault fault);
    void clear();
    nlohmann::ordered_json describe() const;

    // The first armed fault that applies to `path`, used up by one.
    std::optional<Fault> take(std::string_view path);

private:
    mutable std::mutex mutex_;
    std::vector<Fault> armed_;
};

}  // namespace qelsms::sandbox
