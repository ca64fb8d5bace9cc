#include "driver.hpp"

#include <signal.h>
#include <unistd.h>

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "child_process.hpp"
#include "sandbox_child.hpp"
#include "workload.hpp"

namespace qelsms::bench {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::ChildProcess;
using test::SandboxChild;

const std::map<std::string, std::string> kClientTitles = {
    {"library", "library"},     {"curl-multi", "(a) curl multi"},
    {"wrk", "(b) wrk"},         {"thread-per-request", "(c) thread/request"},
    {"aiohttp", "(d) aiohttp"},
};

// How long the driver lets the server sit frozen after a client reports its
// queue full, so that anything the client does in the background settles
// before its memory is read.
constexpr auto kSettle = 300ms;

// What /proc/PID/status says about a process right now.
struct ProcessStatus {
    long rssKiB = 0;
    int threads = 0;
};

// Reads /proc/`pid`/status; nullopt once the process is gone.
std::optional<ProcessStatus> readProcessStatus(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    if (!file) return std::nullopt;
    ProcessStatus status;
    bool any = false;
    std::string line;
    while (std::getline(file, line)) {
        if (line.starts_with("VmRSS:")) {
            status.rssKiB = std::stol(line.substr(6));
            any = true;
        } else if (line.starts_with("Threads:")) {
            status.threads = std::stoi(line.substr(8));
            any = true;
        }
    }
    // A zombie has no memory and no threads left to report.
    if (!any || status.threads == 0) return std::nullopt;
    return status;
}

// The local stand-in of the provider for one scheme. Credits enough for any
// run; every run starts from a reset anyway.
std::unique_ptr<SandboxChild> startSandbox(const std::string& binary, bool tls, const std::string& caFile) {
    std::vector<std::string> args = {
        "--port",        "0",
        "--account",     std::string(kUser) + ":" + std::string(kPassword) + ":1000000000000000",
        "--max-threads", "512"};
    if (tls) {
        args.insert(args.end(), {"--write-ca", caFile});
    } else {
        args.push_back("--http");
    }
    return std::make_unique<SandboxChild>(std::move(args), binary);
}

// Forgets the previous run's messages and restores the balance, so that every
// run meets the same server.
void resetSandbox(const SandboxChild& sandbox, const std::string& caFile) {
    CURL* easy = curl_easy_init();
    const std::string url = sandbox.origin() + "/sandbox/reset";
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(
        easy, CURLOPT_WRITEFUNCTION,
        +[](char*, std::size_t size, std::size_t count, void*) { return size * count; });
    if (sandbox.url().starts_with("https:")) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
    const CURLcode result = curl_easy_perform(easy);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(easy);
    if (result != CURLE_OK || status != 200) throw std::runtime_error("cannot reset the sandbox");
}

// What one client process did.
struct Run {
    bool ran = false;
    std::string note;  // why it didn't run or didn't finish
    nlohmann::json line;
    int maxThreads = 0;
    long peakRssKiB = 0;
    double cpuSeconds = 0;
    long readyRssKiB = 0;
    long queuedRssKiB = 0;
    int queuedThreads = 0;
    std::size_t queued = 0;

    bool complete() const {
        return ran && line.is_object() && line.value("requests", 0) > 0 && line.value("errors", 1) == 0 &&
               (!line.contains("outcomes") || line["outcomes"] == line["requests"]);
    }
    double number(const char* key) const {
        return line.is_object() && line.contains(key) && line[key].is_number() ? line[key].get<double>()
                                                                               : NAN;
    }
    double throughput() const { return number("requests") / number("seconds"); }
    // The client's processor time per request, start-up included.
    double cpuPerRequestUs() const { return cpuSeconds * 1e6 / number("requests"); }
};

Run runClient(const std::vector<std::string>& argv, bool memory, SandboxChild& sandbox) {
    Run run;
    std::optional<ChildProcess> child;
    try {
        child.emplace(argv, memory);
    } catch (const std::exception& e) {
        run.note = e.what();
        return run;
    }
    run.ran = true;
    const auto deadline = Clock::now() + 20min;
    std::string result;
    while (!child->outputEnded()) {
        const auto line = child->readLine(5ms);
        if (const auto status = readProcessStatus(child->pid())) {
            run.maxThreads = std::max(run.maxThreads, status->threads);
        }
        if (Clock::now() > deadline) {
            run.note = "killed after 20 minutes";
            child->signal(SIGKILL);
            break;
        }
        if (!line) continue;
        if (*line == "ready") {
            if (const auto status = readProcessStatus(child->pid())) run.readyRssKiB = status->rssKiB;
            sandbox.freeze();
            child->writeLine("go");
        } else if (line->starts_with("queued ")) {
            run.queued = std::stoul(line->substr(7));
            std::this_thread::sleep_for(kSettle);
            if (const auto status = readProcessStatus(child->pid())) {
                run.queuedRssKiB = status->rssKiB;
                run.queuedThreads = status->threads;
            }
            sandbox.resume();
            child->writeLine("continue");
        } else if (const auto brace = line->find('{'); brace != std::string::npos) {
            result = line->substr(brace);
        }
    }
    sandbox.resume();
    const auto exit = child->wait();
    run.peakRssKiB = exit.maxRssKiB;
    run.cpuSeconds = exit.cpuSeconds;
    run.line = nlohmann::json::parse(result, nullptr, false);
    if (run.line.is_discarded()) run.line = nullptr;
    if (run.note.empty() && exit.status != 0) run.note = "exit status " + std::to_string(exit.status);
    if (run.note.empty() && !run.line.is_object()) run.note = "no result line";
    if (run.note.empty() && run.line.contains("firstError"))
        run.note = run.line["firstError"].get<std::string>();
    return run;
}

std::string executablePath() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) throw std::runtime_error("cannot find the benchmark's own executable");
    return self.string();
}

std::string cpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.starts_with("model name")) return line.substr(line.find(':') + 2);
    }
    return "unknown";
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

bool runsOk(const std::vector<std::string>& argv) {
    try {
        ChildProcess probe(argv);
        while (probe.readLine(10s)) {
        }
        return probe.wait().status == 0;
    } catch (const std::exception&) {
        return false;
    }
}

std::string format(double value, int decimals) {
    if (std::isnan(value)) return "—";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Fewer decimals as values grow, so every cell stays short.
std::string formatAuto(double value) {
    if (std::isnan(value)) return "—";
    const double magnitude = std::fabs(value);
    return format(value, magnitude >= 100 ? 0 : magnitude >= 10 ? 1 : 2);
}

struct Key {
    std::string scheme;
    Operation op;
    std::string client;
    bool operator<(const Key& other) const {
        return std::tie(scheme, op, client) < std::tie(other.scheme, other.op, other.client);
    }
};

class Driver {
public:
    explicit Driver(DriverOptions options) : options_(std::move(options)) {}

    int run(const std::string& commandLine) {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        self_ = executablePath();
        prepareFiles();
        checkTools();

        for (const std::string& scheme : options_.schemes) {
            const auto started = startSandbox(options_.sandbox, scheme == "https", caFile_);
            SandboxChild& sandbox = *started;
            for (const std::string& opName : options_.operations) {
                const Operation op = *parseOperation(opName);
                // Rounds over all clients rather than one client's runs in a
                // row, so that a busy spell on the machine hits every client.
                for (int round = 0; round < options_.repeat; ++round) {
                    for (const std::string& client : options_.clients)
                        measure(sandbox, scheme, op, client);
                }
            }
            if (scheme == "https") {
                for (const std::string& client : options_.clients)
                    measureMemory(sandbox, client);
            }
        }
        pickMedians();
        report(commandLine);
        fs::remove_all(workDir_);
        return failures_ == 0 ? 0 : 1;
    }

private:
    void prepareFiles() {
        char pattern[] = "/tmp/qelsms-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot create a temporary directory");
        workDir_ = pattern;
        caFile_ = workDir_ + "/ca.pem";
        for (Operation op : {Operation::Single, Operation::Bulk}) {
            std::ofstream(bodyFile(op), std::ios::binary) << requestBody(op);
        }
    }

    std::string bodyFile(Operation op) const {
        return workDir_ + "/" + std::string(operationName(op)) + ".json";
    }

    void checkTools() {
        const auto wanted = [&](const char* client) {
            return std::find(options_.clients.begin(), options_.clients.end(), client) !=
                   options_.clients.end();
        };
        // wrk -v prints its version but exits with status 1.
        if (wanted("wrk") && !runsOk({"sh", "-c", "command -v \"$0\" >/dev/null", options_.wrk})) {
            unavailable_["wrk"] = options_.wrk + " is not installed (Debian: wrk)";
        }
        if (wanted("aiohttp") && !runsOk({options_.python, "-c", "import aiohttp"})) {
            unavailable_["aiohttp"] = options_.python + " can't import aiohttp (Debian: python3-aiohttp)";
        }
    }

    std::vector<std::string> clientCommand(const std::string& client, const SandboxChild& sandbox,
                                           Operation op, Mode mode, std::size_t requests, bool https) const {
        const std::string endpoint = endpointUrl(sandbox.url(), op);
        if (client == "wrk") {
            // As long as the library's burst took, within reason.
            double seconds = options_.wrkSeconds;
            if (seconds <= 0) {
                const auto library = bursts_.find(Key{https ? "https" : "http", op, "library"});
                const double took =
                    library == bursts_.end() ? NAN : library->second.front().number("seconds");
                seconds = std::isnan(took) ? 3.0 : std::clamp(took, 1.0, 10.0);
            }
            std::vector<std::string> argv = {options_.wrk,
                                             "-t1",
                                             "-c" + std::to_string(options_.connections),
                                             "-d" + std::to_string(std::lround(seconds)) + "s",
                                             "--timeout",
                                             "30s",
                                             "-s",
                                             options_.benchDir + "/wrk_request.lua",
                                             endpoint};
            if (op != Operation::Balance) argv.insert(argv.end(), {"--", bodyFile(op)});
            return argv;
        }
        if (client == "aiohttp") {
            std::vector<std::string> argv = {options_.python, options_.benchDir + "/baseline_aiohttp.py",
                                             "--endpoint",    endpoint,
                                             "--mode",        std::string(modeName(mode)),
                                             "--requests",    std::to_string(requests),
                                             "--connections", std::to_string(options_.connections)};
            if (op != Operation::Balance) argv.insert(argv.end(), {"--body-file", bodyFile(op)});
            if (https) argv.insert(argv.end(), {"--ca", caFile_});
            return argv;
        }
        ClientOptions client_options;
        client_options.client = client;
        client_options.op = op;
        client_options.mode = mode;
        client_options.requests = requests;
        client_options.connections = options_.connections;
        client_options.url = sandbox.url();
        if (https) client_options.caFile = caFile_;
        // Over HTTPS the library runs as applications run it: SMSManager on
        // its built-in base URL, routed to the sandbox.
        if (https && client == "library") {
            const std::string base(Client::defaultBaseURL());
            const auto hostStart = base.find("://") + 3;
            const auto hostEnd = base.find('/', hostStart);
            std::string host = base.substr(hostStart, hostEnd - hostStart);
            if (host.find(':') == std::string::npos) host += ":443";
            client_options.managerConnectTo = host + ":127.0.0.1:" + std::to_string(sandbox.port());
        }
        std::vector<std::string> argv = {self_};
        for (std::string& arg : clientArguments(client_options))
            argv.push_back(std::move(arg));
        return argv;
    }

    std::size_t requestsFor(Operation op) const {
        if (op == Operation::Bulk && !options_.smoke) return std::max<std::size_t>(1, options_.requests / 10);
        return options_.requests;
    }

    void note(const Key& key, const char* phase, const Run& run) {
        std::cerr << key.scheme << " " << operationName(key.op) << " " << key.client << " " << phase << ": ";
        if (!run.ran) {
            std::cerr << "not run (" << run.note << ")\n";
            return;
        }
        std::cerr << format(run.throughput(), 0) << " req/s, latency p50 "
                  << formatAuto(run.number("latencyP50Us")) << " µs, " << run.maxThreads << " threads";
        if (!run.complete()) {
            std::cerr << " — INCOMPLETE: " << run.line.value("outcomes", 0) << " of "
                      << run.line.value("requests", 0) << " outcomes, " << run.line.value("errors", 0)
                      << " errors (" << run.note << ")";
            ++failures_;
        }
        std::cerr << std::endl;
    }

    void measure(SandboxChild& sandbox, const std::string& scheme, Operation op, const std::string& client) {
        const Key key{scheme, op, client};
        if (const auto it = unavailable_.find(client); it != unavailable_.end()) {
            burst_[key].note = it->second;
            return;
        }
        const bool https = scheme == "https";
        const std::size_t n = requestsFor(op);
        if (client == "wrk") {
            // wrk keeps its connections busy for a set time: its one run gives
            // both the ceiling's throughput and its latency at that load.
            resetSandbox(sandbox, caFile_);
            const Run run =
                runClient(clientCommand(client, sandbox, op, Mode::Window, n, https), false, sandbox);
            note(key, "fixed time", run);
            bursts_[key].push_back(run);
            windows_[key].push_back(run);
            return;
        }
        resetSandbox(sandbox, caFile_);
        bursts_[key].push_back(
            runClient(clientCommand(client, sandbox, op, Mode::Burst, n, https), false, sandbox));
        note(key, "burst", bursts_[key].back());
        resetSandbox(sandbox, caFile_);
        windows_[key].push_back(
            runClient(clientCommand(client, sandbox, op, Mode::Window, n, https), false, sandbox));
        note(key, "window", windows_[key].back());
    }

    // Of repeated runs, keeps the median one: by throughput for bursts, by
    // median latency for windows. An incomplete run outranks them all, so it
    // is never hidden.
    void pickMedians() {
        const auto pick = [](std::vector<Run>& runs, auto score) {
            const auto incomplete =
                std::find_if(runs.begin(), runs.end(), [](const Run& r) { return !r.complete(); });
            if (incomplete != runs.end()) return *incomplete;
            std::sort(runs.begin(), runs.end(),
                      [&](const Run& a, const Run& b) { return score(a) < score(b); });
            return runs[runs.size() / 2];
        };
        for (auto& [key, runs] : bursts_)
            burst_[key] = pick(runs, [](const Run& r) { return r.throughput(); });
        for (auto& [key, runs] : windows_)
            window_[key] = pick(runs, [](const Run& r) { return r.number("latencyP50Us"); });
    }

    void measureMemory(SandboxChild& sandbox, const std::string& client) {
        // wrk never queues, and a thread per request makes its caller wait
        // instead of queueing.
        if (client == "wrk" || client == "thread-per-request" || unavailable_.contains(client)) return;
        const Key key{"https", Operation::Single, client};
        resetSandbox(sandbox, caFile_);
        const Run run =
            runClient(clientCommand(client, sandbox, Operation::Single, Mode::Memory, options_.queue, true),
                      true, sandbox);
        note(key, "memory", run);
        memory_[client] = run;
    }

    // Bytes of RSS each queued request took beyond its body.
    double perQueued(const Run& run) const {
        if (!run.complete() || run.queued == 0) return NAN;
        const double grown = static_cast<double>(run.queuedRssKiB - run.readyRssKiB) * 1024.0;
        return grown / static_cast<double>(run.queued) -
               static_cast<double>(requestBody(Operation::Single).size());
    }

    void report(const std::string& commandLine) {
        std::ostringstream out;
        out << "## qelsms-bench\n\n";
        if (options_.smoke)
            out << "Smoke run: too few requests for any of these numbers to mean anything.\n\n";
        out << "- command: `" << commandLine << "`\n";
        out << "- machine: " << std::thread::hardware_concurrency() << " CPUs (nproc "
            << sysconf(_SC_NPROCESSORS_ONLN) << "), " << cpuModel() << "; load average at the end "
            << loadAverage() << "\n";
        out << "- build: " << QELSMS_BENCH_BUILD_TYPE << "; libcurl "
            << curl_version_info(CURLVERSION_NOW)->version << "\n";
        out << "- workload: SingleSMS with " << kSingleNumbers << " numbers ("
            << requestBody(Operation::Single).size() << "-byte body), GetBalance, BulkSMS with "
            << kBulkNumbers << " numbers (" << requestBody(Operation::Bulk).size() << "-byte body); "
            << options_.requests << " requests each (" << requestsFor(Operation::Bulk) << " for BulkSMS), "
            << options_.connections << " connections; memory with " << options_.queue
            << " SingleSMS queued at once over https\n";
        out << "- throughput, caller's cost (the call's own time, connectivity probe included), client CPU "
               "and threads: "
               "all requests submitted at once; latency: submission to outcome with at most "
            << options_.connections << " outstanding (wrk: its own " << options_.connections
            << " connections for a fixed time); median of " << options_.repeat << " run(s)\n";
        out << "- each baseline cell: its value (library ÷ baseline); throughput higher is better, the rest "
               "lower\n\n";

        out << "| scheme | op | metric |";
        for (const std::string& client : options_.clients)
            out << " " << kClientTitles.at(client) << " |";
        out << "\n|---|---|---|";
        for (std::size_t i = 0; i < options_.clients.size(); ++i)
            out << "---:|";
        out << "\n";

        struct Metric {
            const char* name;
            bool fromBurst;
            std::function<double(const Run&)> value;
            int decimals = -1;  // -1: fewer as values grow
        };
        const std::vector<Metric> metrics = {
            {"throughput (req/s)", true, [](const Run& r) { return r.throughput(); }},
            {"latency p50 (µs)", false, [](const Run& r) { return r.number("latencyP50Us"); }},
            {"latency p99 (µs)", false, [](const Run& r) { return r.number("latencyP99Us"); }},
            {"caller p50 (µs)", true, [](const Run& r) { return r.number("callerP50Us"); }},
            {"caller p99 (µs)", true, [](const Run& r) { return r.number("callerP99Us"); }},
            {"client CPU per request (µs)", true, [](const Run& r) { return r.cpuPerRequestUs(); }},
            {"threads while busy", true, [](const Run& r) { return r.ran ? double(r.maxThreads) : NAN; }, 0},
        };
        for (const std::string& scheme : options_.schemes) {
            for (const std::string& opName : options_.operations) {
                const Operation op = *parseOperation(opName);
                for (const Metric& metric : metrics) {
                    const auto& runs = metric.fromBurst ? burst_ : window_;
                    const auto valueOf = [&](const std::string& client) {
                        const auto it = runs.find(Key{scheme, op, client});
                        return it == runs.end() || !it->second.complete() ? NAN : metric.value(it->second);
                    };
                    row(out, scheme, opName, metric.name, valueOf, metric.decimals);
                }
            }
        }
        const auto memoryRow = [&](const char* name, std::function<double(const Run&)> value, int decimals) {
            row(
                out, "https", "single", name,
                [&](const std::string& client) {
                    const auto it = memory_.find(client);
                    return it == memory_.end() || !it->second.complete() ? NAN : value(it->second);
                },
                decimals);
        };
        memoryRow(
            "peak RSS with the queue (MiB)", [](const Run& r) { return double(r.peakRssKiB) / 1024.0; }, -1);
        memoryRow(
            "RSS per queued request beyond its body (B)", [this](const Run& r) { return perQueued(r); }, 0);
        memoryRow(
            "threads with the queue full", [](const Run& r) { return double(r.queuedThreads); }, 0);

        out << "\n" << targets() << "\n";
        for (const auto& [client, reason] : unavailable_)
            out << "- " << kClientTitles.at(client) << " not run: " << reason << "\n";
        std::cout << out.str() << std::flush;
    }

    void row(std::ostringstream& out, const std::string& scheme, const std::string& op, const char* metric,
             const std::function<double(const std::string&)>& valueOf, int decimals) const {
        const double library = valueOf("library");
        out << "| " << scheme << " | " << op << " | " << metric << " |";
        for (const std::string& client : options_.clients) {
            const double value = valueOf(client);
            out << " " << (decimals < 0 ? formatAuto(value) : format(value, decimals));
            // A ratio to a baseline that measured nothing, or noise below
            // zero, says nothing.
            if (client != "library" && !std::isnan(value) && !std::isnan(library) && value > 0 &&
                library >= 0) {
                out << " (" << format(library / value, 2) << "×)";
            }
            out << " |";
        }
        out << "\n";
    }

    std::string verdict(bool met) const { return met ? "**met**" : "**not met**"; }

    std::string targets() const {
        std::ostringstream out;
        out << "Targets:\n\n";

        // Throughput against (a), (c) and (d) for every scheme and operation.
        double worstA = INFINITY;
        std::string worstAWhere;
        std::vector<std::string> behind;
        bool throughputKnown = true;
        for (const auto& [key, run] : burst_) {
            if (key.client != "library") continue;
            if (!run.complete()) {
                throughputKnown = false;
                continue;
            }
            const std::string where = key.scheme + " " + std::string(operationName(key.op));
            const auto baseline = [&](const char* client) {
                const auto it = burst_.find(Key{key.scheme, key.op, client});
                return it == burst_.end() || !it->second.complete() ? NAN : it->second.throughput();
            };
            const double a = baseline("curl-multi");
            if (std::isnan(a)) {
                throughputKnown = false;
            } else if (run.throughput() / a < worstA) {
                worstA = run.throughput() / a;
                worstAWhere = where;
            }
            for (const char* other : {"thread-per-request", "aiohttp"}) {
                const double b = baseline(other);
                if (!std::isnan(b) && run.throughput() <= b) behind.push_back(where + " vs " + other);
            }
        }
        if (throughputKnown && !std::isinf(worstA)) {
            out << "- throughput ≥ 0.9× (a) curl multi: " << verdict(worstA >= 0.9) << " (lowest "
                << format(worstA, 2) << "×, " << worstAWhere << ")\n";
        } else {
            out << "- throughput ≥ 0.9× (a) curl multi: **unknown** (a run is missing)\n";
        }
        out << "- throughput ahead of (c) and (d): " << verdict(behind.empty());
        for (const std::string& where : behind)
            out << "; behind on " << where;
        out << "\n";

        // Caller's cost of SingleSMS, probe included.
        bool costMet = true;
        std::string costs;
        for (const std::string& scheme : options_.schemes) {
            const auto it = burst_.find(Key{scheme, Operation::Single, "library"});
            if (it == burst_.end() || !it->second.complete()) continue;
            const double p50 = it->second.number("callerP50Us");
            costMet = costMet && p50 <= 20.0;
            costs += (costs.empty() ? "" : ", ") + format(p50, 1) + " µs " +
                     (scheme == "https" ? "(SMSManager, https)" : "(Client, http)");
        }
        out << "- caller p50 of SingleSMS ≤ 20 µs: "
            << (costs.empty() ? "**unknown**" : verdict(costMet) + " (" + costs + ")") << "\n";

        // Memory with the queue full.
        const auto memory = memory_.find("library");
        if (memory != memory_.end() && memory->second.complete()) {
            const double bytes = perQueued(memory->second);
            out << "- " << memory->second.queued
                << " queued submissions ≤ 2 KiB RSS each beyond bodies: " << verdict(bytes <= 2048) << " ("
                << format(bytes, 0) << " B)\n";
        } else {
            out << "- queued submissions ≤ 2 KiB RSS each beyond bodies: **unknown** (no memory run)\n";
        }

        // One background thread: the client process is the caller's thread plus
        // the library's.
        int most = 0;
        for (const auto* runs : {&burst_, &window_}) {
            for (const auto& [key, run] : *runs) {
                if (key.client == "library" && run.ran) most = std::max(most, run.maxThreads);
            }
        }
        if (memory != memory_.end() && memory->second.ran) {
            most = std::max({most, memory->second.maxThreads, memory->second.queuedThreads});
        }
        out << "- one background thread whatever N: " << verdict(most == 2) << " (at most " << most
            << " threads in the client process: the caller and " << most - 1 << " more)\n";
        return out.str();
    }

    DriverOptions options_;
    std::string self_;
    std::string workDir_;
    std::string caFile_;
    std::map<std::string, std::string> unavailable_;
    std::map<Key, std::vector<Run>> bursts_;
    std::map<Key, std::vector<Run>> windows_;
    std::map<Key, Run> burst_;
    std::map<Key, Run> window_;
    std::map<std::string, Run> memory_;
    int failures_ = 0;
};

}  // namespace

int runDriver(const DriverOptions& options, const std::string& commandLine) {
    return Driver(options).run(commandLine);
}

}  // namespace qelsms::bench
