// The comparative benchmark: starts the sandbox, runs the library and every
// baseline against it as child processes, and prints one table.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qelsms::bench {

/// What the driver runs and where it finds its tools.
struct DriverOptions {
    /// Requests per client and operation (BulkSMS gets a tenth outside smoke runs).
    std::size_t requests = 20000;
    /// SingleSMS requests queued at once for the memory measurement.
    std::size_t queue = 100000;
    /// Connection limit every client shares.
    int connections = 32;
    /// Runs of each measurement; the median one is reported.
    int repeat = 1;
    /// A short run that only checks that every client gets every outcome.
    bool smoke = false;
    /// wrk's run time in seconds; 0 for as long as the library's burst took.
    double wrkSeconds = 0;
    std::vector<std::string> clients;
    std::vector<std::string> schemes;
    std::vector<std::string> operations;
    std::string sandbox;
    std::string wrk = "wrk";
    std::string python = "/usr/bin/python3";
    /// Where wrk_request.lua and baseline_aiohttp.py are.
    std::string benchDir;
};

/// Runs the benchmark and prints the table; returns 0 when every client that
/// ran got an outcome for every request.
int runDriver(const DriverOptions& options, const std::string& commandLine);

}  // namespace qelsms::bench
