// qelsms-bench: the library against raw libcurl, wrk, a thread per request
// and aiohttp, on the sandbox over loopback. Run with --help for the options.
#include <CLI/CLI.hpp>

#include <cstring>
#include <exception>
#include <iostream>

#include "driver.hpp"
#include "sandbox_child.hpp"
#include "workload.hpp"

namespace {

int runClient(int argc, char** argv) {
    using namespace qelsms::bench;
    const ClientOptions options = parseClientOptions(argc, argv);
    if (options.client == "library") return runLibraryClient(options);
    if (options.client == "curl-multi") return runCurlMultiClient(options);
    if (options.client == "thread-per-request") return runThreadPerRequestClient(options);
    std::cerr << "qelsms-bench: unknown client " << options.client << "\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // The driver starts its clients as "qelsms-bench --client NAME ...".
    if (argc > 1 && std::strcmp(argv[1], "--client") == 0) {
        try {
            return runClient(argc, argv);
        } catch (const std::exception& e) {
            std::cerr << "qelsms-bench client: " << e.what() << "\n";
            return 2;
        }
    }

    qelsms::bench::DriverOptions options;
    options.clients = {"library", "curl-multi", "wrk", "thread-per-request", "aiohttp"};
    options.schemes = {"http", "https"};
    options.operations = {"single", "balance", "bulk"};
    options.sandbox = qelsms::test::sandboxBinary();
    options.benchDir = QELSMS_BENCH_DIR;

    CLI::App app{
        "Measures the library against raw libcurl multi (a), wrk (b), a thread per request (c) and "
        "aiohttp (d) on the sandbox over loopback, and prints one table with the targets."};
    app.add_option("--requests,-n", options.requests, "requests per client and operation (BulkSMS: a tenth)")
        ->check(CLI::PositiveNumber);
    app.add_option("--queue", options.queue, "SingleSMS queued at once for the memory measurement")
        ->check(CLI::PositiveNumber);
    app.add_option("--connections", options.connections, "connection limit of every client")
        ->check(CLI::Range(1, 256));
    app.add_option("--repeat", options.repeat,
                   "runs of each measurement, in rounds over the clients; the median is kept")
        ->check(CLI::Range(1, 99));
    app.add_flag("--smoke", options.smoke,
                 "200 requests of each kind, no wrk: checks that every request gets its callback");
    app.add_option("--clients", options.clients, "clients to run")
        ->check(CLI::IsMember({"library", "curl-multi", "wrk", "thread-per-request", "aiohttp"}))
        ->delimiter(',');
    app.add_option("--schemes", options.schemes, "schemes to run")
        ->check(CLI::IsMember({"http", "https"}))
        ->delimiter(',');
    app.add_option("--ops", options.operations, "operations to run")
        ->check(CLI::IsMember({"single", "balance", "bulk"}))
        ->delimiter(',');
    app.add_option("--wrk-seconds", options.wrkSeconds, "wrk's run time (default: as long as the library's)");
    app.add_option("--sandbox", options.sandbox, "the qelsms-sandbox executable");
    app.add_option("--wrk", options.wrk, "the wrk executable");
    app.add_option("--python", options.python, "a Python 3 that can import aiohttp");
    app.add_option("--bench-dir", options.benchDir, "where wrk_request.lua and baseline_aiohttp.py are");
    CLI11_PARSE(app, argc, argv);

    if (options.smoke) {
        options.requests = 200;
        options.queue = 200;
        options.repeat = 1;
        std::erase(options.clients, "wrk");
    }
    std::string commandLine = "qelsms-bench";
    for (int i = 1; i < argc; ++i)
        commandLine.append(" ").append(argv[i]);
    try {
        return qelsms::bench::runDriver(options, commandLine);
    } catch (const std::exception& e) {
        std::cerr << "qelsms-bench: " << e.what() << "\n";
        return 2;
    }
}
