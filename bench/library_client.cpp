// The library under test: every request goes through SMSManager (over HTTPS,
// its base URL routed to the sandbox) or a qelsms::Client (over plain HTTP,
// which SMSManager's built-in https base URL can't reach).
#include <future>
#include <iostream>

#include <qelsms/qelsms.hpp>

#include "http_engine.hpp"
#include "workload.hpp"

namespace qelsms::bench {

int runLibraryClient(const ClientOptions& options) {
    HttpClientOptions http;
    http.caFile = options.caFile;
    http.maxConnectionsPerHost = options.connections;
    const bool viaManager = !options.managerConnectTo.empty();
    if (viaManager) http.connectTo.push_back(options.managerConnectTo);
    configureHttpClient(http);

    SMSManager::user = std::string(kUser);
    SMSManager::password = std::string(kPassword);
    const Client client{std::string(kUser), std::string(kPassword), options.url};
    const SingleSMSRequest single = singleRequest();
    const BulkSMSRequest bulk = bulkRequest();

    const auto submit = [&](CompletionHandler done, ErrorHandler failed) {
        switch (options.op) {
            case Operation::Single:
                if (viaManager) return SMSManager::SingleSMS(single, std::move(done), std::move(failed));
                return client.SingleSMS(single, std::move(done), std::move(failed));
            case Operation::Balance:
                if (viaManager) return SMSManager::GetBalance(std::move(done), std::move(failed));
                return client.GetBalance(std::move(done), std::move(failed));
            case Operation::Bulk:
                if (viaManager) return SMSManager::BulkSMS(bulk, std::move(done), std::move(failed));
                return client.BulkSMS(bulk, std::move(done), std::move(failed));
        }
    };

    // The first request starts the network thread and loads the CA bundle;
    // neither belongs to the steady-state cost being measured.
    {
        std::promise<void> warm;
        const auto once = [&warm] { warm.set_value(); };
        submit([&](nlohmann::json) { once(); }, [&](std::string) { once(); });
        warm.get_future().wait();
    }

    const std::size_t n = options.requests;
    Tracker tracker(n);
    Window window(options.connections);
    const bool windowed = options.mode == Mode::Window;
    // The callbacks capture a pointer and an index, which std::function keeps
    // without allocating: what is measured is the library's own cost.
    struct Outcome {
        Tracker& tracker;
        Window& window;
        bool windowed;
        void operator()(std::size_t i, bool ok, std::string_view error) const {
            tracker.finished(i, ok, error);
            if (windowed) window.release();
        }
    };
    const Outcome outcome{tracker, window, windowed};
    const Outcome* const record = &outcome;
    awaitGo(options);

    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < n; ++i) {
        if (windowed) window.acquire();
        const Clock::time_point at = Clock::now();
        submit([record, i](nlohmann::json) { (*record)(i, true, {}); },
               [record, i](std::string error) { (*record)(i, false, error); });
        tracker.submitted(i, at, Clock::now());
    }
    reportQueued(options, detail::pendingRequests());

    // Far longer than any healthy run, short enough for a smoke run to fail
    // rather than hang when a callback never comes.
    const auto patience = std::chrono::seconds(60 + n / 100);
    const bool complete = tracker.waitAll(patience);
    std::cout << tracker.result(options, start).dump() << std::endl;
    return complete ? 0 : 1;
}

}  // namespace qelsms::bench
