// What every client of the benchmark sends, how it is told to send it, and
// what it reports back to the driver.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>
#include <qelsms/qelsms.hpp>

namespace qelsms::bench {

using Clock = std::chrono::steady_clock;

/// The three operations measured.
enum class Operation { Single, Balance, Bulk };

/// "single", "balance" or "bulk".
std::string_view operationName(Operation op);
/// The operation named `name`; nullopt for any other name.
std::optional<Operation> parseOperation(std::string_view name);

/// How a client hands its requests over.
enum class Mode {
    /// All requests at once; measures throughput and the caller's cost.
    Burst,
    /// At most `connections` requests outstanding, the next one submitted as
    /// one finishes; measures latency without queueing.
    Window,
    /// As Burst, but the client stops after warming up and after submitting to
    /// let the driver read its memory while the server is frozen.
    Memory,
};

std::string_view modeName(Mode mode);
std::optional<Mode> parseMode(std::string_view name);

/// The sandbox account every client uses.
inline constexpr std::string_view kUser = "bench";
inline constexpr std::string_view kPassword = "bench-password";

/// Numbers per SingleSMS and per BulkSMS.
inline constexpr std::size_t kSingleNumbers = 10;
inline constexpr std::size_t kBulkNumbers = 1000;

/// Distinct, valid mobile numbers.
std::vector<std::string> mobileNumbers(std::size_t count);
SingleSMSRequest singleRequest();
BulkSMSRequest bulkRequest();

/// The exact body the library sends for `op` (empty for GetBalance), so the
/// baselines post byte-identical requests.
std::string requestBody(Operation op);
/// The endpoint URL of `op` under `baseURL`, credentials included.
std::string endpointUrl(std::string_view baseURL, Operation op);

/// The settings the driver passes to a client process.
struct ClientOptions {
    std::string client;
    Operation op = Operation::Single;
    Mode mode = Mode::Burst;
    std::size_t requests = 0;
    int connections = 32;
    /// Base URL ("http(s)://127.0.0.1:PORT/api/").
    std::string url;
    /// CA bundle that signs the sandbox's certificate.
    std::string caFile;
    /// The library only: go through SMSManager (whose base URL is fixed at
    /// build time) with this "HOST:PORT:127.0.0.1:PORT" routing, instead of a
    /// qelsms::Client on `url`.
    std::string managerConnectTo;
};

/// Reads "--key value" pairs after "--client NAME". Throws
/// std::invalid_argument on anything else.
ClientOptions parseClientOptions(int argc, char** argv);
/// The argument list that parseClientOptions() reads back.
std::vector<std::string> clientArguments(const ClientOptions& options);

/// 50th and 99th percentiles (nearest rank) of `values`, in place.
struct Percentiles {
    double p50 = 0;
    double p99 = 0;
};
Percentiles percentiles(std::vector<double>& values);

/// Records, per request, when it was submitted, how long the submitting call
/// took and when its outcome arrived. Everything is allocated up front, so
/// recording allocates nothing.
class Tracker {
public:
    explicit Tracker(std::size_t requests);

    /// Request `index` was submitted at `at`; the submitting call took until
    /// `returned`.
    void submitted(std::size_t index, Clock::time_point at, Clock::time_point returned);
    /// Request `index` was submitted at `at` by a loop the caller never waits
    /// on (no caller cost).
    void submitted(std::size_t index, Clock::time_point at);
    /// The outcome of request `index` arrived. Thread-safe.
    void finished(std::size_t index, bool ok, std::string_view error = {});

    /// Waits until every request has an outcome; false on time-out.
    bool waitAll(std::chrono::seconds timeout);
    /// Outcomes arrived so far.
    std::size_t outcomes() const noexcept { return outcomes_.load(std::memory_order_acquire); }

    /// The result line for the driver.
    nlohmann::json result(const ClientOptions& options, Clock::time_point start) const;

private:
    std::size_t requests_;
    std::vector<Clock::time_point> submittedAt_;
    std::vector<Clock::time_point> finishedAt_;
    std::vector<double> callerUs_;
    bool hasCallerCost_ = false;
    std::atomic<std::size_t> outcomes_{0};
    std::atomic<std::size_t> errors_{0};
    mutable std::mutex mutex_;
    std::condition_variable allDone_;
    std::string firstError_;
};

/// A window of outstanding requests; the caller takes a slot before
/// submitting, the outcome gives it back.
using Window = std::counting_semaphore<1 << 20>;

/// The memory-mode handshake: tells the driver the client is warmed up and
/// waits for its go, then (after submitting) that everything is queued and
/// waits to be let go on. Does nothing in other modes.
void awaitGo(const ClientOptions& options);
void reportQueued(const ClientOptions& options, std::size_t queued);

/// The client entry points; each returns the process's exit status.
int runLibraryClient(const ClientOptions& options);
int runCurlMultiClient(const ClientOptions& options);
int runThreadPerRequestClient(const ClientOptions& options);

}  // namespace qelsms::bench
