// Test helpers: real servers on loopback and a collector of callbacks.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <qelsms/qelsms.hpp>

namespace qelsms::test {

using namespace std::chrono_literals;

// What a server saw of one request.
struct ReceivedRequest {
    std::string method;
    std::string target;  // path and raw query, as sent
    std::string path;
    std::string body;
    httplib::Headers headers;
};

// A cpp-httplib server on 127.0.0.1 and a free port, HTTPS by default with a
// certificate from certs/ (signed by certs/ca.pem).
class LoopbackServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    explicit LoopbackServer(bool tls = true, const std::string& certName = "server");
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    // Answers every request (any method, any path) with `handler`; the default
    // answers 200 {"ok":true}.
    void setHandler(Handler handler);
    std::vector<ReceivedRequest> received() const;
    std::size_t receivedCount() const;

private:
    void record(const httplib::Request& req);
    void dispatch(const httplib::Request& req, httplib::Response& res);

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<ReceivedRequest> received_;
};

// A plain TCP server for faults cpp-httplib can't produce. Each connection
// runs `script` on its own thread with the socket and the request head and
// body read so far (headers complete, body per Content-Length).
class RawServer {
public:
    using Script = std::function<void(int fd, const std::string& request)>;
    explicit RawServer(Script script);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;
    int port() const { return port_; }
    int connections() const { return connections_.load(); }

    // Helpers for scripts.
    static void sendAll(int fd, std::string_view data);
    static void resetConnection(int fd);  // close with RST

private:
    void acceptLoop();

    Script script_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::vector<int> fds_;
};

// The host and port of the library's built-in base URL.
std::string productionHost();
int productionPort();

// A TCP connection to 127.0.0.1:`port` (close-on-exec), or -1 when refused.
int connectLoopback(int port);

// A loopback port nobody listens on: a connection to it is refused at once.
// The port is free again, so another process may take it; use it right away.
int closedPort();

// Routes the production host to 127.0.0.1:`port`, trusting certs/ca.pem.
void routeProductionHostTo(int port, int timeoutSeconds = 60, int maxConnectionsPerHost = 32);

// Collects the outcomes of operations: each call of completion() or error()
// records one outcome, with the thread it ran on.
class CallbackCollector {
public:
    struct Outcome {
        std::optional<nlohmann::json> value;
        std::optional<std::string> error;
        std::thread::id thread;
    };

    CompletionHandler completion();
    ErrorHandler error();

    // Waits until at least `n` outcomes arrived; false on time-out.
    bool waitFor(std::size_t n, std::chrono::milliseconds timeout = 20s);
    // Waits for the one outcome of one request: fails the test (and returns
    // an empty outcome) when none arrives within `limit`, or when a second
    // one follows.
    Outcome only(std::chrono::milliseconds limit = 60s);
    std::vector<Outcome> outcomes() const;
    std::size_t count() const;

private:
    void add(Outcome outcome);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Outcome> outcomes_;
};

// Runs `operation` with callbacks into a collector they keep alive (so a
// callback after a time-out is harmless) and waits for its one outcome.
CallbackCollector::Outcome outcomeOf(const std::function<void(CompletionHandler, ErrorHandler)>& operation,
                                     std::chrono::milliseconds limit = 60s);

// Percent-decodes `text` (no '+' handling).
std::string percentDecode(std::string_view text);

}  // namespace qelsms::test
