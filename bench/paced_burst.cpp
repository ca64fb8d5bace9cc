// qelsms-pacing-bench: a campaign's worth of SingleSMS calls made at once
// against a sandbox that, like a provider, refuses an account over its rate
// with 429. Reports how many were refused and how long the campaign took.
//
// Every call is made at once; with --requests-per-second the library paces
// them itself (the Client's AccountOptions), holding them in its queue.
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <qelsms/qelsms.hpp>

#include "sandbox_child.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::size_t requests = 10000;
    double sandboxRate = 100;
    double requestsPerSecond = 0;
    int burst = 1;
    int connections = 32;
    std::string scheme = "https";
    std::string sandbox = qelsms::test::sandboxBinary();
};

// Counts outcomes as they arrive on the network thread and wakes the main
// thread after the last.
class Tally {
public:
    explicit Tally(std::size_t expected) : expected_(expected) {}

    void add(const qelsms::Outcome& outcome) {
        if (outcome.ok()) {
            accepted_.fetch_add(1, std::memory_order_relaxed);
        } else if (outcome.error().httpStatus == 429) {
            refused_.fetch_add(1, std::memory_order_relaxed);
        } else {
            failed_.fetch_add(1, std::memory_order_relaxed);
        }
        std::lock_guard lock(mutex_);
        if (++done_ == expected_) {
            lastAt_ = Clock::now();
            allDone_.notify_all();
        }
    }

    bool waitAll(std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        return allDone_.wait_for(lock, limit, [&] { return done_ == expected_; });
    }

    std::uint64_t accepted() const { return accepted_.load(); }
    std::uint64_t refused() const { return refused_.load(); }
    std::uint64_t failed() const { return failed_.load(); }
    Clock::time_point lastAt() {
        std::lock_guard lock(mutex_);
        return lastAt_;
    }

private:
    const std::size_t expected_;
    std::atomic<std::uint64_t> accepted_{0};
    std::atomic<std::uint64_t> refused_{0};
    std::atomic<std::uint64_t> failed_{0};
    std::mutex mutex_;
    std::condition_variable allDone_;
    std::size_t done_ = 0;
    Clock::time_point lastAt_{};
};

int run(const Options& options) {
    const std::string user = "bench";
    const std::string password = "bench-password";
    const std::string account = user + ":" + password + ":" + std::to_string(options.requests * 10 + 1000);
    std::vector<std::string> args{"--account", account, "--max-threads", "256"};
    if (options.scheme == "http") args.emplace_back("--http");
    if (options.sandboxRate > 0) {
        args.emplace_back("--rate-limit");
        args.emplace_back(std::to_string(options.sandboxRate));
    }
    const std::string caFile = "/tmp/qelsms-pacing-bench-ca-" + std::to_string(::getpid()) + ".pem";
    args.emplace_back("--write-ca");
    args.emplace_back(caFile);
    qelsms::test::SandboxChild sandbox(args, options.sandbox);

    qelsms::configureHttpClient({.caFile = caFile, .maxConnectionsPerHost = options.connections});
    const qelsms::Client client(user, password, sandbox.url(),
                                {.requestsPerSecond = options.requestsPerSecond, .burst = options.burst});
    const qelsms::SingleSMSRequest request{
        .MobileNumbers = {"966500000001"}, .Message = "Your code is 4711", .SenderName = "Bench"};

    Tally tally(options.requests);
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < options.requests; ++i)
        client.SingleSMS(request, [&tally](qelsms::Outcome outcome) { tally.add(outcome); });
    const Clock::time_point submitted = Clock::now();

    // Paced, by the client or by the 429s' pauses, the run takes requests /
    // rate; give it that and a minute more.
    const double rate = options.requestsPerSecond > 0 ? options.requestsPerSecond : options.sandboxRate;
    const double pacedSeconds = rate > 0 ? static_cast<double>(options.requests) / rate : 0.0;
    const bool complete = tally.waitAll(std::chrono::seconds(60 + static_cast<long>(pacedSeconds)));
    const Clock::time_point end = complete ? tally.lastAt() : Clock::now();
    std::remove(caFile.c_str());

    const double seconds = std::chrono::duration<double>(end - start).count();
    nlohmann::ordered_json result = {
        {"requests", options.requests},
        {"sandboxRateLimit", options.sandboxRate},
        {"requestsPerSecond", options.requestsPerSecond},
        {"burst", options.burst},
        {"scheme", options.scheme},
        {"accepted", tally.accepted()},
        {"refused429", tally.refused()},
        {"otherFailures", tally.failed()},
        {"complete", complete},
        {"seconds", seconds},
        {"submitSeconds", std::chrono::duration<double>(submitted - start).count()},
        {"acceptedPerSecond", seconds > 0 ? static_cast<double>(tally.accepted()) / seconds : 0.0},
    };
    std::cout << result.dump() << std::endl;
    return complete && tally.failed() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{
        "Makes --requests SingleSMS calls at once against a sandbox limited to --sandbox-rate requests per "
        "second and prints one JSON line: how many were accepted, refused with 429 or failed otherwise, and "
        "how long the campaign took."};
    app.add_option("--requests,-n", options.requests, "SingleSMS calls to make")->check(CLI::PositiveNumber);
    app.add_option("--sandbox-rate", options.sandboxRate,
                   "the sandbox's --rate-limit, requests per second (0: no limit)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--requests-per-second", options.requestsPerSecond,
                   "pace the calls at this rate (0: no pacing, every call at once)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--burst", options.burst, "calls that may start at once after a quiet spell")
        ->check(CLI::PositiveNumber);
    app.add_option("--connections", options.connections, "the library's connection limit")
        ->check(CLI::Range(1, 256));
    app.add_option("--scheme", options.scheme, "http or https")->check(CLI::IsMember({"http", "https"}));
    app.add_option("--sandbox", options.sandbox, "the qelsms-sandbox executable");
    CLI11_PARSE(app, argc, argv);

    try {
        return run(options);
    } catch (const std::exception& e) {
        std::cerr << "qelsms-pacing-bench: " << e.what() << "\n";
        return 2;
    }
}
