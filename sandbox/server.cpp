#include "server.hpp"

#include <dirent.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "connection_pool.hpp"
#include "sandbox_certs.hpp"

namespace qelsms::sandbox {

namespace {

using json = nlohmann::ordered_json;
using namespace std::chrono_literals;

constexpr const char* kJsonType = "application/json; charset=utf-8";

// An answer before it is written: status, media type, body, extra headers.
struct Rendered {
    int status = 200;
    std::string contentType = kJsonType;
    std::string body;
    httplib::Headers headers;
    // Written after the body's members, as the answer is sent.
    std::shared_ptr<const IndividualResults> results{};
};

// Results per this many numbers go out in one chunk.
constexpr std::size_t kResultsPerChunk = 2000;

// The body up to its "results", whose values follow, then "]}".
std::string headOfResults(std::string body) {
    body.pop_back();  // the object's closing brace
    body += ",\"results\":[";
    return body;
}

// The whole body, results included, as one string.
std::string wholeBody(Rendered& answer) {
    if (!answer.results) return std::move(answer.body);
    std::string body = headOfResults(std::move(answer.body));
    answer.results->write(0, answer.results->entries.size(), body);
    body += "]}";
    return body;
}

Rendered renderJson(int status, const json& body) {
    return {status, kJsonType, body.dump(-1, ' ', false, json::error_handler_t::replace), {}};
}

Rendered renderAnswer(const Answer& answer) {
    Rendered rendered = renderJson(answer.status, answer.body);
    for (const auto& [name, value] : answer.headers)
        rendered.headers.emplace(name, value);
    rendered.results = answer.results;
    return rendered;
}

Rendered renderHtml(int status, std::string_view title, std::string_view text) {
    std::string page = "<!DOCTYPE html>\n<html><head><title>";
    page.append(title).append("</title></head>\n<body><h1>").append(title).append("</h1><p>");
    page.append(text).append("</p></body></html>\n");
    return {status, "text/html; charset=utf-8", std::move(page), {}};
}

// In the words the service's framework uses for a path it has no route for.
Rendered notFound(const std::string& path) {
    return renderJson(
        404, json{{"Message", "No HTTP resource was found that matches the request URI '" + path + "'."}});
}

Rendered methodNotAllowed(const std::string& method, const char* allowed) {
    Rendered answer = renderJson(
        405, json{{"Message", "The requested resource does not support http method '" + method + "'."}});
    answer.headers.emplace("Allow", allowed);
    return answer;
}

Rendered controlError(std::string description) {
    return renderJson(400, json{{"status", "error"}, {"errorDescription", std::move(description)}});
}

// Why httplib itself refused a request it could not read or route; it sends
// these with an empty body otherwise.
std::string refusalReason(int status) {
    switch (status) {
        case 400:
            return "the request could not be read: a malformed request line, header or body (a body "
                   "needs Content-Length or chunked encoding)";
        case 404:
            return "no such resource";
        case 413:
            return "the body is larger than the sandbox accepts (32 MiB)";
        case 414:
            return "the request line is too long";
        case 416:
            return "the requested range is not satisfiable";
        case 500:
            return "the sandbox failed while answering";
        default:
            return "the request was refused with status " + std::to_string(status);
    }
}

void apply(httplib::Response& res, Rendered answer) {
    res.status = answer.status;
    for (auto& [name, value] : answer.headers)
        res.set_header(name, value);
    if (!answer.results) {
        res.set_content(std::move(answer.body), answer.contentType);
        return;
    }
    // Chunked, a slice of results at a time: the client hears from the
    // sandbox all along, however long the whole answer takes to write.
    struct Progress {
        std::string head;
        std::shared_ptr<const IndividualResults> results;
        std::size_t next = 0;
        bool started = false;
    };
    auto progress = std::make_shared<Progress>(
        Progress{headOfResults(std::move(answer.body)), std::move(answer.results)});
    res.set_chunked_content_provider(answer.contentType, [progress](std::size_t, httplib::DataSink& sink) {
        std::string out;
        if (!progress->started) {
            out = std::move(progress->head);
            progress->started = true;
        }
        progress->next = progress->results->write(progress->next, kResultsPerChunk, out);
        const bool last = progress->next == progress->results->entries.size();
        if (last) out += "]}";
        if (!sink.write(out.data(), out.size())) return false;
        if (last) sink.done();
        return true;
    });
}

std::string_view queryOf(const httplib::Request& req) {
    const std::string_view target = req.target;
    const auto mark = target.find('?');
    return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

bool methodIs(const httplib::Request& req, std::string_view method) {
    return req.method == method || (method == "GET" && req.method == "HEAD");
}

int portOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return -1;
}

// The socket a request came in on. httplib hands handlers no socket, but a
// TLS request carries its SSL object; for plain HTTP the socket is found
// among the process's descriptors by its two ports. Only faults need it.
int connectionSocket(const httplib::Request& req) {
    if (req.ssl != nullptr) return SSL_get_fd(req.ssl);
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int found = -1;
    while (const dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (fd <= 2) continue;
        sockaddr_storage local{};
        sockaddr_storage peer{};
        socklen_t localLength = sizeof local;
        socklen_t peerLength = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
            portOf(local) == req.local_port &&
            getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
            portOf(peer) == req.remote_port) {
            found = fd;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Sends RST at once. Connecting a TCP socket to AF_UNSPEC disconnects it
// while the descriptor stays open, so httplib can still close it as usual.
void resetConnection(int fd) {
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    static_cast<void>(::connect(fd, &unspecified, sizeof unspecified));
}

// Announces the whole answer, sends the first half of its body, then closes
// the connection (or resets it).
void sendPart(const httplib::Request& req, httplib::Response& res, Rendered answer, bool reset) {
    const int fd = reset ? connectionSocket(req) : -1;
    auto body = std::make_shared<std::string>(wholeBody(answer));
    res.status = answer.status;
    for (auto& [name, value] : answer.headers)
        res.set_header(name, value);
    res.set_content_provider(body->size(), answer.contentType,
                             [body, fd](std::size_t, std::size_t, httplib::DataSink& sink) {
                                 sink.write(body->data(), body->size() / 2);
                                 if (fd >= 0) {
                                     // Gives the client time to read the part
                                     // before the reset discards what is unread.
                                     std::this_thread::sleep_for(20ms);
                                     resetConnection(fd);
                                 }
                                 return false;  // httplib drops the connection
                             });
}

// A well-formed JSON object of `total` bytes, generated as it is sent.
void sendOversized(httplib::Response& res, std::size_t total) {
    static constexpr std::string_view kHead = R"({"status":"success","padding":")";
    static constexpr std::string_view kTail = R"("})";
    total = std::max(total, kHead.size() + kTail.size());
    res.status = 200;
    res.set_content_provider(total, kJsonType,
                             [total](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 const std::size_t n = std::min<std::size_t>(length, 64 * 1024);
                                 std::string chunk(n, 'x');
                                 for (std::size_t i = offset; i < std::min(offset + n, kHead.size()); ++i)
                                     chunk[i - offset] = kHead[i];
                                 const std::size_t tailStart = total - kTail.size();
                                 for (std::size_t i = std::max(offset, tailStart); i < offset + n; ++i) {
                                     chunk[i - offset] = kTail[i - tailStart];
                                 }
                                 return sink.write(chunk.data(), n);
                             });
}

std::string readPem(std::string_view pem, bool key, X509** cert, EVP_PKEY** pkey) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (key) {
        *pkey = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    } else {
        *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    }
    BIO_free(bio);
    return (key ? *pkey != nullptr : *cert != nullptr) ? "" : "cannot read the embedded PEM";
}

std::unique_ptr<httplib::Server> makeServer(bool tls) {
    if (!tls) return std::make_unique<httplib::Server>();
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    std::unique_ptr<httplib::Server> server;
    if (readPem(certs::kServerCertPem, false, &cert, &key).empty() &&
        readPem(certs::kServerKeyPem, true, &cert, &key).empty()) {
        server = std::make_unique<httplib::SSLServer>(cert, key);  // takes its own references
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return server;
}

}  // namespace

SandboxServer::SandboxServer(Service& service, const ServerOptions& options)
    : service_(service), options_(options), server_(makeServer(options.tls)) {
    if (!server_ || !server_->is_valid()) return;

    PoolOptions pool;
    pool.maxThreads = options_.maxThreads;
    pool.requestTimeout = std::chrono::seconds(options_.requestTimeoutSeconds);
    server_->new_task_queue = [pool] { return new ConnectionPool(pool); };
    // Long enough that a client's pooled connection (curl keeps one for up to
    // 118 s) is never closed under a request it is about to send.
    server_->set_keep_alive_timeout(180);
    server_->set_keep_alive_max_count(1000000);
    // httplib drops a connection whose TLS handshake or request stalls for
    // 5 s, which a client on a loaded machine (32 handshakes on one thread)
    // reaches; its next write then fails. The provider waits far longer.
    server_->set_read_timeout(60);
    server_->set_write_timeout(60);
    // httplib writes the head and the body separately; without this the body
    // waits for the head's delayed acknowledgement.
    server_->set_tcp_nodelay(true);
    server_->set_payload_max_length(32u * 1024u * 1024u);
    server_->set_default_headers({{"Server", "qelsms-sandbox"}});
    server_->set_socket_options([this](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listenSocket_ = sock;
    });

    const auto handler = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    server_->Put(".*", handler);
    server_->Patch(".*", handler);
    server_->Delete(".*", handler);
    server_->Options(".*", handler);

    // A POST, PUT or PATCH without Content-Length or chunked encoding has no
    // body (curl -X POST sends one so); httplib would read to the end of the
    // connection and then refuse it.
    server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        connectionBusy();
        const bool mayHaveBody = req.method == "POST" || req.method == "PUT" || req.method == "PATCH";
        if (!mayHaveBody || req.has_header("Content-Length") || req.has_header("Transfer-Encoding")) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        handle(req, res);
        return httplib::Server::HandlerResponse::Handled;
    });
    // Every refusal says why, also those httplib makes before a handler runs.
    server_->set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
            if (!res.body.empty() || res.content_provider_)
                return httplib::Server::HandlerResponse::Unhandled;
            apply(res, renderJson(res.status, json{{"status", "error"},
                                                   {"errorDescription", refusalReason(res.status)}}));
            return httplib::Server::HandlerResponse::Handled;
        }));

    // httplib calls its logger once an answer is written, which is when the
    // connection falls idle.
    server_->set_logger([log = options_.log](const httplib::Request& req, const httplib::Response& res) {
        connectionIdle();
        // The path only: the query holds the password.
        if (log) std::fprintf(stderr, "%s %s -> %d\n", req.method.c_str(), req.path.c_str(), res.status);
    });
}

SandboxServer::~SandboxServer() = default;

int SandboxServer::bind() {
    if (!server_ || !server_->is_valid()) return -1;
    port_ = options_.port == 0 ? server_->bind_to_any_port(options_.host)
                               : (server_->bind_to_port(options_.host, options_.port) ? options_.port : -1);
    // httplib listens with a backlog of 5, so a burst of new connections
    // (a benchmark opening its pool) would see SYNs dropped and retried a
    // second later. Listening again only raises the backlog.
    if (port_ >= 0 && listenSocket_ >= 0) ::listen(listenSocket_, SOMAXCONN);
    return port_;
}

std::string SandboxServer::baseUrl() const {
    const bool ipv6 = options_.host.find(':') != std::string::npos;
    return std::string(options_.tls ? "https" : "http") + "://" + (ipv6 ? "[" : "") + options_.host +
           (ipv6 ? "]" : "") + ":" + std::to_string(port_) + "/api/";
}

bool SandboxServer::serve() {
    return server_ && server_->listen_after_bind();
}

void SandboxServer::stop() {
    if (server_) server_->stop();
}

void SandboxServer::handle(const httplib::Request& req, httplib::Response& res) {
    if (req.path.starts_with("/api/")) return handleApi(req, res);
    if (req.path.starts_with("/sandbox/")) return handleControl(req, res);
    apply(res, notFound(req.path));
}

void SandboxServer::handleApi(const httplib::Request& req, httplib::Response& res) {
    service_.countRequest(req.path);
    const std::optional<Fault> fault = faults_.take(req.path);
    if (fault) {
        switch (fault->type) {
            case FaultType::Delay:
                std::this_thread::sleep_for(fault->delay);
                break;
            case FaultType::Close:
                if (const int fd = connectionSocket(req); fd >= 0) ::shutdown(fd, SHUT_RDWR);
                return;  // httplib's attempt to answer fails on the closed socket
            case FaultType::Html500:
                return apply(res,
                             renderHtml(500, "500 Internal Server Error",
                                        "The server encountered an internal error and could not complete "
                                        "your request."));
            case FaultType::Oversized:
                return sendOversized(res, fault->bytes);
            case FaultType::Redirect: {
                const std::string location =
                    !fault->location.empty() ? fault->location
                                             : std::string(options_.tls ? "https://" : "http://") +
                                                   req.get_header_value("Host") + "/sandbox/redirect-target";
                Rendered moved = renderHtml(302, "Object moved", "This document may be found elsewhere.");
                moved.headers.emplace("Location", location);
                return apply(res, std::move(moved));
            }
            case FaultType::Throttle:
                return apply(res, renderAnswer(throttleAnswer(*fault)));
            case FaultType::Reset:
            case FaultType::Truncate:
            case FaultType::WrongMediaType:
                break;
        }
    }

    struct Endpoint {
        std::string_view path;
        const char* method;
        std::optional<SendKind> kind;
    };
    static constexpr std::array<Endpoint, 4> kEndpoints{{
        {"/api/Credits/GetBalance/", "GET", std::nullopt},
        {"/api/SendSMS/SingleSMS/", "POST", SendKind::Single},
        {"/api/SendSMS/BulkSMS/", "POST", SendKind::Bulk},
        {"/api/SendSMS/CustomSMS/", "POST", SendKind::Custom},
    }};
    const auto endpoint = std::find_if(kEndpoints.begin(), kEndpoints.end(),
                                       [&](const Endpoint& e) { return e.path == req.path; });
    Rendered answer;
    if (endpoint == kEndpoints.end()) {
        answer = notFound(req.path);
    } else if (!methodIs(req, endpoint->method)) {
        answer = methodNotAllowed(req.method, endpoint->method);
    } else {
        const Answer result = endpoint->kind ? service_.send(*endpoint->kind, queryOf(req),
                                                             req.get_header_value("Content-Type"), req.body)
                                             : service_.getBalance(queryOf(req));
        answer = renderAnswer(result);
    }

    if (fault && fault->type == FaultType::WrongMediaType) answer.contentType = "text/plain; charset=utf-8";
    if (fault && (fault->type == FaultType::Reset || fault->type == FaultType::Truncate)) {
        return sendPart(req, res, std::move(answer), fault->type == FaultType::Reset);
    }
    apply(res, std::move(answer));
}

void SandboxServer::handleControl(const httplib::Request& req, httplib::Response& res) {
    const std::string_view path = req.path;
    const auto body = [&]() { return json::parse(req.body.empty() ? "{}" : req.body, nullptr, false); };
    Rendered answer;

    if (path == "/sandbox/messages") {
        answer =
            methodIs(req, "GET") ? renderJson(200, service_.messages()) : methodNotAllowed(req.method, "GET");
    } else if (path == "/sandbox/requests") {
        answer = methodIs(req, "GET") ? renderJson(200, service_.requestCounts())
                                      : methodNotAllowed(req.method, "GET");
    } else if (path == "/sandbox/reset") {
        if (methodIs(req, "POST")) {
            service_.reset();
            faults_.clear();
            answer = renderJson(200, json{{"status", "success"}});
        } else {
            answer = methodNotAllowed(req.method, "POST");
        }
    } else if (path == "/sandbox/accounts") {
        if (methodIs(req, "GET")) {
            answer = renderJson(200, json{{"accounts", service_.accounts()}});
        } else if (methodIs(req, "POST")) {
            const json request = body();
            if (!request.is_object() || !request.contains("username") || !request["username"].is_string() ||
                !request.contains("password") || !request["password"].is_string() ||
                !request.contains("credits") || !request["credits"].is_number_integer() ||
                request["credits"].get<std::int64_t>() < 0) {
                answer = controlError(
                    R"(an account is {"username": string, "password": string, "credits": non-negative integer})");
            } else {
                service_.putAccount(
                    {request["username"], request["password"], request["credits"].get<std::int64_t>()});
                answer = renderJson(200, json{{"status", "success"}});
            }
        } else {
            answer = methodNotAllowed(req.method, "GET, POST");
        }
    } else if (path == "/sandbox/faults") {
        if (methodIs(req, "GET")) {
            answer = renderJson(200, json{{"faults", faults_.describe()}});
        } else if (methodIs(req, "POST")) {
            const json request = body();
            std::string error;
            if (const std::optional<Fault> fault = parseFault(request, error)) {
                faults_.arm(*fault);
                answer = renderJson(200, json{{"status", "success"}, {"faults", faults_.describe()}});
            } else {
                answer = controlError(error);
            }
        } else if (methodIs(req, "DELETE")) {
            faults_.clear();
            answer = renderJson(200, json{{"status", "success"}});
        } else {
            answer = methodNotAllowed(req.method, "GET, POST, DELETE");
        }
    } else if (path == "/sandbox/clock") {
        if (methodIs(req, "GET")) {
            answer = renderJson(200, json{{"now", formatTime(service_.now())}});
        } else if (methodIs(req, "POST")) {
            const json request = body();
            if (!request.is_object() || !request.contains("advanceSeconds") ||
                !request["advanceSeconds"].is_number_integer()) {
                answer = controlError(R"(expected {"advanceSeconds": integer})");
            } else if (const json& by = request["advanceSeconds"];
                       (by.is_number_unsigned() &&
                        by.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) ||
                       !service_.advanceClock(std::chrono::seconds(by.get<std::int64_t>()))) {
                answer = controlError(
                    "advanceSeconds would move the clock outside 1970-01-01 00:00:00 to 9999-12-31 23:59:59; "
                    "the clock is unchanged");
            } else {
                answer = renderJson(200, json{{"now", formatTime(service_.now())}});
            }
        } else {
            answer = methodNotAllowed(req.method, "GET, POST");
        }
    } else if (path == "/sandbox/redirect-target") {
        answer = renderJson(200, json{{"status", "success"}, {"redirected", true}});
    } else if (path == "/sandbox/ca.pem") {
        answer = methodIs(req, "GET")
                     ? Rendered{200, "application/x-pem-file", std::string(certs::kCaPem), {}}
                     : methodNotAllowed(req.method, "GET");
    } else {
        answer = notFound(req.path);
    }
    apply(res, std::move(answer));
}

}  // namespace qelsms::sandbox
