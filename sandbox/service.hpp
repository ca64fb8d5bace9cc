// The sandbox's model of the provider: accounts, the checks of the four
// services, billing, and the record of accepted messages. Knows nothing of
// HTTP beyond status codes, so it can be driven directly.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "individual_results.hpp"

namespace qelsms::sandbox {

struct InitialAccount {
    std::string user;
    std::string password;
    std::int64_t credits = 0;
};

// Parses "USER:PASSWORD:CREDITS". The user name ends at the first colon and
// the credits follow the last one, so a password may hold colons.
std::optional<InitialAccount> parseAccountOption(std::string_view text);

inline const InitialAccount kDemoAccount{"demo", "demo-password", 1000};

// The format ScheduledDate must have, read as UTC.
inline constexpr std::string_view kScheduledDateFormat = "YYYY-MM-DD HH:MM:SS";

// Parses a ScheduledDate; nullopt unless it is a real UTC date and time in
// kScheduledDateFormat.
std::optional<std::chrono::sys_seconds> parseScheduledDate(std::string_view text);
std::string formatTime(std::chrono::sys_seconds time);

// Percent-decodes a query value; '+' stays '+' (the library encodes blanks as
// %20), and a '%' not followed by two hex digits stays as it is.
std::string percentDecode(std::string_view text);

// The first value of `name` in a raw query string ("a=1&b=2"), percent-decoded.
std::optional<std::string> queryValue(std::string_view query, std::string_view name);

enum class SendKind { Single, Bulk, Custom };

// A status code, a JSON body and any extra headers, as the HTTP layer should
// send them.
struct Answer {
    int status = 200;
    nlohmann::ordered_json body;
    std::vector<std::pair<std::string, std::string>> headers{};
    // When set, the body's last member is "results", these, written as the
    // answer is sent: a million of them take far longer to write than a
    // client waits for a first byte.
    std::shared_ptr<const IndividualResults> results{};
};

// How fast each account may call the services: a bucket per account holding
// up to max(1, requestsPerSecond) requests, refilled at requestsPerSecond, so
// a quiet account may send a second's worth at once and a busy one its rate.
// 0: no limit.
struct RateLimit {
    double requestsPerSecond = 0;
};

// Parses --rate-limit's value: requests per second, 0 for no limit.
std::optional<RateLimit> parseRateLimit(std::string_view text);

class Service {
public:
    explicit Service(std::vector<InitialAccount> accounts, RateLimit rateLimit = {});

    Answer getBalance(std::string_view query);
    // `contentType` is the request's Content-Type header.
    Answer send(SendKind kind, std::string_view query, std::string_view contentType, std::string_view body);

    // Counts one request to `path` (every request under /api/, whatever its
    // outcome), so tests can tell how often a client submitted. The counts
    // also say how many requests the rate limit refused.
    void countRequest(std::string_view path);
    nlohmann::ordered_json requestCounts() const;

    nlohmann::ordered_json messages() const;
    nlohmann::ordered_json accounts() const;
    // Adds an account or replaces the password and balance of an existing one.
    void putAccount(const InitialAccount& account);

    // Forgets messages and request counts, restores the initial accounts and
    // balances, fills every account's rate-limit bucket, and sets the clock
    // back to real time.
    void reset();

    // The sandbox clock: real UTC time plus an offset that tests may advance
    // to make scheduled messages due.
    std::chrono::sys_seconds now() const;
    // Moves the clock by `by`; false, with the clock unchanged, when the
    // result would fall outside the years 1970 to 9999 that dates are
    // written in.
    bool advanceClock(std::chrono::seconds by);

    // At most this many submissions are kept for listing; older ones are
    // dropped first, so long benchmarks run in bounded memory.
    static constexpr std::size_t kMaxRecords = 100000;

private:
    struct Account {
        std::string password;
        std::int64_t credits = 0;
    };

    struct Recipient {
        std::string number;
        std::string text;
        std::size_t parts = 1;
    };

    struct Record {
        std::string messageId;
        std::string service;
        std::string user;
        std::chrono::sys_seconds receivedAt;
        std::optional<std::chrono::sys_seconds> scheduledAt;
        std::int64_t credits = 0;
        std::vector<Recipient> recipients;
        nlohmann::ordered_json options;
    };

    struct Bucket {
        double tokens = 0;
        std::chrono::steady_clock::time_point refilledAt;
    };

    // The account named by the query, if its password matches.
    Account* authenticate(std::string_view query, std::string& user);
    // The 429 for a request of `user` beyond the rate limit; nullopt, taking
    // one of its tokens, when the request may go on. Called with mutex_ held.
    std::optional<Answer> overRateLimit(const std::string& user);

    std::vector<InitialAccount> initialAccounts_;
    mutable std::mutex mutex_;
    std::map<std::string, Account, std::less<>> accounts_;
    std::vector<Record> records_;
    std::size_t firstRecord_ = 0;  // records_ is a ring once it holds kMaxRecords
    std::uint64_t nextSubmission_ = 1;
    std::map<std::string, std::uint64_t, std::less<>> requestCounts_;
    RateLimit rateLimit_;
    std::map<std::string, Bucket, std::less<>> buckets_;
    std::uint64_t rateLimited_ = 0;
    std::chrono::seconds clockOffset_{0};
};

}  // namespace qelsms::sandbox
