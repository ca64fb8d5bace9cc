#include "workload.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <stdexcept>

#include "endpoints.hpp"
#include "request_body.hpp"

namespace qelsms::bench {

std::string_view operationName(Operation op) {
    switch (op) {
        case Operation::Single:
            return "single";
        case Operation::Balance:
            return "balance";
        case Operation::Bulk:
            return "bulk";
    }
    return "?";
}

std::optional<Operation> parseOperation(std::string_view name) {
    for (Operation op : {Operation::Single, Operation::Balance, Operation::Bulk}) {
        if (operationName(op) == name) return op;
    }
    return std::nullopt;
}

std::string_view modeName(Mode mode) {
    switch (mode) {
        case Mode::Burst:
            return "burst";
        case Mode::Window:
            return "window";
        case Mode::Memory:
            return "memory";
    }
    return "?";
}

std::optional<Mode> parseMode(std::string_view name) {
    for (Mode mode : {Mode::Burst, Mode::Window, Mode::Memory}) {
        if (modeName(mode) == name) return mode;
    }
    return std::nullopt;
}

std::vector<std::string> mobileNumbers(std::size_t count) {
    std::vector<std::string> numbers;
    numbers.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        // Seven digits after a Kuwaiti prefix: distinct for up to ten million.
        std::string digits = std::to_string(i % 10000000);
        numbers.push_back("+9655" + std::string(7 - digits.size(), '0') + digits);
    }
    return numbers;
}

SingleSMSRequest singleRequest() {
    SingleSMSRequest request;
    request.MobileNumbers = mobileNumbers(kSingleNumbers);
    request.Message = "Your verification code is 482913";
    request.SenderName = "QelBench";
    request.ReferenceName = "bench";
    return request;
}

BulkSMSRequest bulkRequest() {
    BulkSMSRequest request;
    request.MobileNumbers = mobileNumbers(kBulkNumbers);
    request.Message = "Our branches open at 9:00 tomorrow.";
    request.SenderName = "QelBench";
    request.ReferenceName = "bench";
    return request;
}

std::string requestBody(Operation op) {
    switch (op) {
        case Operation::Single:
            return detail::writeSingleSMSBody(singleRequest()).json;
        case Operation::Bulk:
            return detail::writeBulkSMSBody(bulkRequest()).json;
        case Operation::Balance:
            break;
    }
    return {};
}

std::string endpointUrl(std::string_view baseURL, Operation op) {
    std::string_view path = detail::kGetBalancePath;
    if (op == Operation::Single) path = detail::kSingleSMSPath;
    if (op == Operation::Bulk) path = detail::kBulkSMSPath;
    return detail::composeEndpoint(baseURL, path, kUser, kPassword);
}

ClientOptions parseClientOptions(int argc, char** argv) {
    ClientOptions options;
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view key = args[i];
        if (i + 1 >= args.size()) throw std::invalid_argument(std::string(key) + " needs a value");
        const std::string value(args[++i]);
        if (key == "--client") {
            options.client = value;
        } else if (key == "--op") {
            const auto op = parseOperation(value);
            if (!op) throw std::invalid_argument("unknown operation " + value);
            options.op = *op;
        } else if (key == "--mode") {
            const auto mode = parseMode(value);
            if (!mode) throw std::invalid_argument("unknown mode " + value);
            options.mode = *mode;
        } else if (key == "--requests") {
            options.requests = std::stoul(value);
        } else if (key == "--connections") {
            options.connections = std::stoi(value);
        } else if (key == "--url") {
            options.url = value;
        } else if (key == "--ca") {
            options.caFile = value;
        } else if (key == "--manager-connect-to") {
            options.managerConnectTo = value;
        } else {
            throw std::invalid_argument("unknown client option " + std::string(key));
        }
    }
    if (options.requests == 0 || options.connections <= 0 || options.url.empty()) {
        throw std::invalid_argument("a client needs --requests, --connections and --url");
    }
    return options;
}

std::vector<std::string> clientArguments(const ClientOptions& options) {
    std::vector<std::string> args = {"--client",      options.client,
                                     "--op",          std::string(operationName(options.op)),
                                     "--mode",        std::string(modeName(options.mode)),
                                     "--requests",    std::to_string(options.requests),
                                     "--connections", std::to_string(options.connections),
                                     "--url",         options.url};
    if (!options.caFile.empty()) args.insert(args.end(), {"--ca", options.caFile});
    if (!options.managerConnectTo.empty()) {
        args.insert(args.end(), {"--manager-connect-to", options.managerConnectTo});
    }
    return args;
}

Percentiles percentiles(std::vector<double>& values) {
    if (values.empty()) return {};
    const auto rank = [&](double q) {
        const auto k = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
        const std::size_t index = std::min(values.size() - 1, k == 0 ? 0 : k - 1);
        std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
        return values[index];
    };
    Percentiles result;
    result.p50 = rank(0.50);
    result.p99 = rank(0.99);
    return result;
}

Tracker::Tracker(std::size_t requests)
    : requests_(requests),
      submittedAt_(requests, Clock::time_point{}),
      finishedAt_(requests, Clock::time_point{}),
      callerUs_(requests, 0.0) {
    firstError_.reserve(256);
}

void Tracker::submitted(std::size_t index, Clock::time_point at, Clock::time_point returned) {
    submittedAt_[index] = at;
    callerUs_[index] = std::chrono::duration<double, std::micro>(returned - at).count();
    hasCallerCost_ = true;
}

void Tracker::submitted(std::size_t index, Clock::time_point at) {
    submittedAt_[index] = at;
}

void Tracker::finished(std::size_t index, bool ok, std::string_view error) {
    finishedAt_[index] = Clock::now();
    if (!ok) {
        if (errors_.fetch_add(1, std::memory_order_relaxed) == 0) {
            std::lock_guard lock(mutex_);
            firstError_.assign(error.substr(0, 200));
        }
    }
    if (outcomes_.fetch_add(1, std::memory_order_acq_rel) + 1 == requests_) {
        std::lock_guard lock(mutex_);
        allDone_.notify_all();
    }
}

bool Tracker::waitAll(std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    return allDone_.wait_for(lock, timeout, [this] { return outcomes() == requests_; });
}

nlohmann::json Tracker::result(const ClientOptions& options, Clock::time_point start) const {
    Clock::time_point last = start;
    std::vector<double> latency;
    latency.reserve(requests_);
    for (std::size_t i = 0; i < requests_; ++i) {
        if (finishedAt_[i] == Clock::time_point{}) continue;
        last = std::max(last, finishedAt_[i]);
        latency.push_back(
            std::chrono::duration<double, std::micro>(finishedAt_[i] - submittedAt_[i]).count());
    }
    const Percentiles lat = percentiles(latency);
    nlohmann::json out = {
        {"client", options.client},
        {"requests", requests_},
        {"outcomes", outcomes()},
        {"errors", errors_.load()},
        {"seconds", std::chrono::duration<double>(last - start).count()},
        {"latencyP50Us", lat.p50},
        {"latencyP99Us", lat.p99},
    };
    {
        std::lock_guard lock(mutex_);
        if (!firstError_.empty()) out["firstError"] = firstError_;
    }
    if (hasCallerCost_) {
        std::vector<double> caller = callerUs_;
        const Percentiles cost = percentiles(caller);
        out["callerP50Us"] = cost.p50;
        out["callerP99Us"] = cost.p99;
    }
    return out;
}

namespace {

void expectLine(std::string_view what) {
    std::string line;
    if (!std::getline(std::cin, line))
        throw std::runtime_error("the driver went away before " + std::string(what));
}

}  // namespace

void awaitGo(const ClientOptions& options) {
    if (options.mode != Mode::Memory) return;
    std::cout << "ready" << std::endl;
    expectLine("go");
}

void reportQueued(const ClientOptions& options, std::size_t queued) {
    if (options.mode != Mode::Memory) return;
    std::cout << "queued " << queued << std::endl;
    expectLine("continue");
}

}  // namespace qelsms::bench
