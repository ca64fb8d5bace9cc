// Micro-benchmarks of the pieces on the caller's path and of the response
// handling on the network thread, to tell where a call's time goes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include <qelsms/qelsms.hpp>

#include "answer_handling.hpp"
#include "endpoints.hpp"
#include "http_engine.hpp"
#include "reachability.hpp"
#include "request_body.hpp"
#include "workload.hpp"

namespace {

using namespace qelsms;

void BM_ConnectivityProbe(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(detail::isConnectedToNetwork());
}
BENCHMARK(BM_ConnectivityProbe);

void BM_ComposeEndpoint(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(detail::composeEndpoint(
            "https://api.qelsms.example/api/", detail::kSingleSMSPath, bench::kUser, bench::kPassword));
    }
}
BENCHMARK(BM_ComposeEndpoint);

void BM_SingleSMSBody(benchmark::State& state) {
    const SingleSMSRequest request = bench::singleRequest();
    for (auto _ : state)
        benchmark::DoNotOptimize(detail::writeSingleSMSBody(request));
}
BENCHMARK(BM_SingleSMSBody);

void BM_BulkSMSBody(benchmark::State& state) {
    const BulkSMSRequest request = bench::bulkRequest();
    for (auto _ : state)
        benchmark::DoNotOptimize(detail::writeBulkSMSBody(request));
}
BENCHMARK(BM_BulkSMSBody);

// The sandbox's answer to a SingleSMS, as the network thread receives it.
void BM_HandleSingleSMSAnswer(benchmark::State& state) {
    const std::optional<std::string> body =
        R"({"status":"success","messageId":"SB-000000001","numbers":10,"accepted":10,"duplicatesRemoved":0,)"
        R"("creditsUsed":10,"balance":999999999999990,"scheduled":false,"encoding":"GSM-7","characters":32,)"
        R"("parts":1})";
    const std::optional<detail::ResponseInfo> info = detail::ResponseInfo{true, 200, "application/json"};
    std::size_t delivered = 0;
    const CompletionHandler done = [&](nlohmann::json) { ++delivered; };
    const ErrorHandler failed = [](std::string) {};
    for (auto _ : state)
        detail::handleNetworkResponse(body, info, false, done, failed);
    benchmark::DoNotOptimize(delivered);
}
BENCHMARK(BM_HandleSingleSMSAnswer);

// A whole call as the application makes it, with its result discarded. The
// requests go to a closed port on loopback, so the network thread only fails
// them; the queue is drained outside the timed part.
template <class Call>
void callerPath(benchmark::State& state, Call call) {
    HttpClientOptions options;
    options.connectTo = {"api.qelsms.example:443:127.0.0.1:9"};
    configureHttpClient(options);
    SMSManager::user = std::string(bench::kUser);
    SMSManager::password = std::string(bench::kPassword);
    std::size_t calls = 0;
    for (auto _ : state) {
        call();
        if (++calls % 1024 == 0) {
            state.PauseTiming();
            while (detail::pendingRequests() != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            state.ResumeTiming();
        }
    }
}

void BM_SingleSMSCall(benchmark::State& state) {
    const SingleSMSRequest request = bench::singleRequest();
    callerPath(state, [&] {
        SMSManager::SingleSMS(
            request, [](nlohmann::json) {}, [](std::string) {});
    });
}
BENCHMARK(BM_SingleSMSCall);

void BM_GetBalanceCall(benchmark::State& state) {
    callerPath(state, [] { SMSManager::GetBalance([](nlohmann::json) {}, [](std::string) {}); });
}
BENCHMARK(BM_GetBalanceCall);

}  // namespace

BENCHMARK_MAIN();
