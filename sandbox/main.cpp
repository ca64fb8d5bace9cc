// qelsms-sandbox: a local stand-in for the provider's REST service, for
// demos and for the tests of applications that use the library.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sandbox_certs.hpp"
#include "server.hpp"
#include "service.hpp"

namespace {

using qelsms::sandbox::InitialAccount;

constexpr const char* kUsage = R"(Usage: qelsms-sandbox [OPTIONS]

A local stand-in for the QelSMS REST service. Prints the base URL it serves
(e.g. https://127.0.0.1:PORT/api/) as the first line on standard output.

Options:
  --http                     serve plain HTTP instead of HTTPS
  --host HOST                address to listen on (default 127.0.0.1)
  --port PORT                port to listen on; 0 picks a free one (default 0)
  --account USER:PASSWORD:CREDITS
                             an account; repeatable. Without any, the sandbox
                             has the demo account demo:demo-password:1000
  --write-ca FILE            write the test CA that signs the sandbox's
                             certificate (for api.qelsms.example, localhost,
                             127.0.0.1 and ::1) to FILE, then serve
  --rate-limit N             requests per second each account may make (a
                             decimal, e.g. 100 or 0.5); beyond it the answer
                             is 429 with Retry-After and nothing is charged.
                             Default (or 0): no limit
  --max-threads N            most connections served at once (default 1024); at
                             the limit the connection idle longest is closed
  --request-timeout SECONDS  close a connection that has not sent a whole
                             request head this long after it was accepted, TLS
                             handshake included (default 20)
  --log                      log each request's method, path and status to
                             standard error
  --version                  print the version and exit
  --help                     show this text

ScheduledDate is read as "YYYY-MM-DD HH:MM:SS" in UTC. See sandbox/README.md
for the answers, the inspection endpoints under /sandbox/ and the faults.
)";

[[noreturn]] void fail(const std::string& message) {
    std::cerr << "qelsms-sandbox: " << message << "\n(see --help)\n";
    std::exit(2);
}

struct Options {
    qelsms::sandbox::ServerOptions server;
    std::vector<InitialAccount> accounts;
    std::string caFile;
    qelsms::sandbox::RateLimit rateLimit;
};

Options parse(int argc, char** argv) {
    Options options;
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) fail(std::string(arg) + " needs a value");
            return std::string(args[++i]);
        };
        const auto number = [&](long min, long max) {
            const std::string text = value();
            char* end = nullptr;
            const long n = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || n < min || n > max) fail("bad value for " + std::string(arg));
            return n;
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            std::exit(0);
        } else if (arg == "--version") {
            std::cout << "qelsms-sandbox " << QELSMS_VERSION << "\n";
            std::exit(0);
        } else if (arg == "--http") {
            options.server.tls = false;
        } else if (arg == "--host") {
            options.server.host = value();
        } else if (arg == "--port") {
            options.server.port = static_cast<int>(number(0, 65535));
        } else if (arg == "--account") {
            const std::string text = value();
            const auto account = qelsms::sandbox::parseAccountOption(text);
            if (!account) fail("--account wants USER:PASSWORD:CREDITS, got '" + text + "'");
            options.accounts.push_back(*account);
        } else if (arg == "--write-ca") {
            options.caFile = value();
        } else if (arg == "--max-threads") {
            options.server.maxThreads = static_cast<std::size_t>(number(1, 100000));
        } else if (arg == "--rate-limit") {
            const std::string text = value();
            const auto limit = qelsms::sandbox::parseRateLimit(text);
            if (!limit)
                fail("--rate-limit wants a number of requests per second (0: no limit), got '" + text + "'");
            options.rateLimit = *limit;
        } else if (arg == "--request-timeout") {
            options.server.requestTimeoutSeconds = static_cast<int>(number(1, 3600));
        } else if (arg == "--log") {
            options.server.log = true;
        } else {
            fail("unknown option '" + std::string(arg) + "'");
        }
    }
    if (options.accounts.empty()) options.accounts.push_back(qelsms::sandbox::kDemoAccount);
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);

    // A client that goes away mid-answer must not kill the server.
    signal(SIGPIPE, SIG_IGN);
    // Each connection is a descriptor: take all the system allows, so that the
    // worker limit, not a soft limit of 1024 files, decides who is served.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    // SIGINT and SIGTERM are taken by one thread that stops the server; every
    // other thread inherits this mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (!options.caFile.empty()) {
        std::ofstream out(options.caFile, std::ios::binary | std::ios::trunc);
        out << qelsms::sandbox::certs::kCaPem;
        if (!out.flush()) fail("cannot write " + options.caFile);
    }

    qelsms::sandbox::Service service(options.accounts, options.rateLimit);
    qelsms::sandbox::SandboxServer server(service, options.server);
    if (server.bind() < 0) {
        std::cerr << "qelsms-sandbox: cannot listen on " << options.server.host << " port "
                  << options.server.port << "\n";
        return 1;
    }

    std::thread([&server, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.stop();
    }).detach();

    std::cout << server.baseUrl() << std::endl;
    const bool served = server.serve();
    std::cout.flush();
    // Workers may still sit in keep-alive waits; nothing of theirs needs
    // cleaning up, so leave without waiting for them.
    std::_Exit(served ? 0 : 1);
}
