// The sandbox's HTTP face: routes /api/ to the Service, /sandbox/ to the
// inspection and fault controls, and carries out armed faults.
#pragma once

#include <httplib.h>

#include <memory>
#include <string>

#include "faults.hpp"
#include "service.hpp"

namespace qelsms::sandbox {

struct ServerOptions {
    bool tls = true;
    std::string host = "127.0.0.1";
    int port = 0;
    bool log = false;
    // Worker threads are added as connections need them, up to this many; a
    // connection holds one from its first byte to its close, so this bounds
    // the connections served at once. At the limit the connection idle
    // longest is closed for a new one.
    std::size_t maxThreads = 1024;
    // A connection that has not sent a whole request head this long after it
    // was accepted (TLS handshake included) is closed.
    int requestTimeoutSeconds = 20;
};

class SandboxServer {
public:
    SandboxServer(Service& service, const ServerOptions& options);
    ~SandboxServer();
    SandboxServer(const SandboxServer&) = delete;
    SandboxServer& operator=(const SandboxServer&) = delete;

    // Binds the listening socket; returns the port, or -1 on failure.
    int bind();
    // "https://HOST:PORT/api/" for the bound port.
    std::string baseUrl() const;
    // Serves until stop(); returns false when serving could not start.
    bool serve();
    void stop();

private:
    void handle(const httplib::Request& req, httplib::Response& res);
    void handleApi(const httplib::Request& req, httplib::Response& res);
    void handleControl(const httplib::Request& req, httplib::Response& res);

    Service& service_;
    ServerOptions options_;
    FaultPlan faults_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = -1;
    int listenSocket_ = -1;
};

}  // namespace qelsms::sandbox
