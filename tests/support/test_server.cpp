#include "test_server.hpp"

#include "endpoints.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace qelsms::test {

namespace {

std::string certPath(const std::string& name, const char* extension) {
    return std::string(QELSMS_CERTS_DIR) + "/" + name + extension;
}

}  // namespace

LoopbackServer::LoopbackServer(bool tls, const std::string& certName) {
    if (tls) {
        server_ = std::make_unique<httplib::SSLServer>(certPath(certName, ".pem").c_str(),
                                                       certPath(certName, ".key").c_str());
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    if (!server_->is_valid()) throw std::runtime_error("test server could not load its certificate");
    server_->new_task_queue = [] { return new httplib::ThreadPool(64); };
    server_->set_keep_alive_max_count(100000);
    // Stopping the server waits for idle keep-alive connections to time out,
    // so keep that short; but longer than the client's own limit on reusing
    // idle connections, or the server would close connections the client is
    // about to reuse.
    server_->set_keep_alive_timeout(3);
    const auto route = [this](const httplib::Request& req, httplib::Response& res) { dispatch(req, res); };
    const char* any = R"(/.*)";
    server_->Get(any, route);
    server_->Post(any, route);
    server_->Put(any, route);
    server_->Delete(any, route);
    auto listenFd = std::make_shared<int>(-1);
    server_->set_socket_options([listenFd](socket_t sock) {
        httplib::default_socket_options(sock);
        *listenFd = sock;
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("test server could not bind");
    // httplib listens with a backlog of 5: a burst of new connections (a
    // client opening its pool on a slow, sanitised build) overflows it, and
    // connections the kernel then resets fail requests whose body went out.
    // Listening again only raises the backlog.
    ::listen(*listenFd, SOMAXCONN);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running())
        std::this_thread::sleep_for(1ms);
}

LoopbackServer::~LoopbackServer() {
    server_->stop();
    thread_.join();
}

void LoopbackServer::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void LoopbackServer::record(const httplib::Request& req) {
    std::lock_guard lock(mutex_);
    received_.push_back({req.method, req.target, req.path, req.body, req.headers});
}

void LoopbackServer::dispatch(const httplib::Request& req, httplib::Response& res) {
    record(req);
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        handler = handler_;
    }
    if (handler) {
        handler(req, res);
    } else {
        res.set_content(R"({"ok":true})", "application/json");
    }
}

std::vector<ReceivedRequest> LoopbackServer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::size_t LoopbackServer::receivedCount() const {
    std::lock_guard lock(mutex_);
    return received_.size();
}

RawServer::RawServer(Script script) : script_(std::move(script)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 512) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("raw server could not listen");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

RawServer::~RawServer() {
    stopping_ = true;
    ::shutdown(listenFd_, SHUT_RDWR);
    acceptor_.join();
    {
        std::lock_guard lock(mutex_);
        for (int fd : fds_)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& worker : workers_)
        worker.join();
    ::close(listenFd_);
}

void RawServer::acceptLoop() {
    while (!stopping_) {
        pollfd pfd{listenFd_, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        std::lock_guard lock(mutex_);
        fds_.push_back(fd);
        workers_.emplace_back([this, fd] {
            // Read the head, then as much body as Content-Length announces.
            std::string request;
            char buffer[65536];
            std::size_t wanted = std::string::npos;
            while (request.size() < wanted) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                request.append(buffer, static_cast<std::size_t>(n));
                const auto headEnd = request.find("\r\n\r\n");
                if (headEnd != std::string::npos && wanted == std::string::npos) {
                    std::size_t length = 0;
                    const auto at = request.find("Content-Length: ");
                    if (at != std::string::npos && at < headEnd) length = std::stoul(request.substr(at + 16));
                    wanted = headEnd + 4 + length;
                }
            }
            script_(fd, request);
            ::close(fd);
        });
    }
}

void RawServer::sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

void RawServer::resetConnection(int fd) {
    linger option{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

std::string productionHost() {
    const std::string url = QELSMS_TEST_BASE_URL;
    const auto start = url.find("://") + 3;
    const auto end = url.find_first_of(":/", start);
    return url.substr(start, end - start);
}

int productionPort() {
    const std::string url = QELSMS_TEST_BASE_URL;
    const auto start = url.find("://") + 3;
    const auto end = url.find('/', start);
    const auto colon = url.find(':', start);
    if (colon != std::string::npos && colon < end) return std::stoi(url.substr(colon + 1, end - colon - 1));
    return url.rfind("https", 0) == 0 ? 443 : 80;
}

int connectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int closedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

void routeProductionHostTo(int port, int timeoutSeconds, int maxConnectionsPerHost) {
    HttpClientOptions options;
    options.caFile = certPath("ca", ".pem");
    options.connectTo = {productionHost() + ":" + std::to_string(productionPort()) +
                         ":127.0.0.1:" + std::to_string(port)};
    options.timeoutSeconds = timeoutSeconds;
    options.maxConnectionsPerHost = maxConnectionsPerHost;
    configureHttpClient(std::move(options));
}

CompletionHandler CallbackCollector::completion() {
    return [this](nlohmann::json value) {
        add({std::move(value), std::nullopt, std::this_thread::get_id()});
    };
}

ErrorHandler CallbackCollector::error() {
    return [this](std::string message) {
        add({std::nullopt, std::move(message), std::this_thread::get_id()});
    };
}

void CallbackCollector::add(Outcome outcome) {
    std::lock_guard lock(mutex_);
    outcomes_.push_back(std::move(outcome));
    changed_.notify_all();
}

bool CallbackCollector::waitFor(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return outcomes_.size() >= n; });
}

CallbackCollector::Outcome CallbackCollector::only(std::chrono::milliseconds limit) {
    if (!waitFor(1, limit)) {
        ADD_FAILURE() << "no callback within " << limit.count() << " ms";
        return {};
    }
    std::this_thread::sleep_for(20ms);
    const auto all = outcomes();
    EXPECT_EQ(all.size(), 1u) << "more than one callback";
    return all.front();
}

CallbackCollector::Outcome outcomeOf(const std::function<void(CompletionHandler, ErrorHandler)>& operation,
                                     std::chrono::milliseconds limit) {
    auto collector = std::make_shared<CallbackCollector>();
    operation([collector, done = collector->completion()](nlohmann::json value) { done(std::move(value)); },
              [collector, failed = collector->error()](std::string error) { failed(std::move(error)); });
    return collector->only(limit);
}

std::vector<CallbackCollector::Outcome> CallbackCollector::outcomes() const {
    std::lock_guard lock(mutex_);
    return outcomes_;
}

std::size_t CallbackCollector::count() const {
    std::lock_guard lock(mutex_);
    return outcomes_.size();
}

std::string percentDecode(std::string_view text) {
    return detail::percentDecoded(text).value_or("<malformed escape>");
}

}  // namespace qelsms::test
