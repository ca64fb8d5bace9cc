// Child processes for the benchmark driver: the sandbox and each client run
// apart, so that every client's memory and threads can be read on their own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelsms::bench {

/// What /proc/PID/status says about a process right now.
struct ProcessStatus {
    long rssKiB = 0;
    int threads = 0;
};

/// Reads /proc/`pid`/status; nullopt once the process is gone.
std::optional<ProcessStatus> readProcessStatus(pid_t pid);

/// A child with its standard output (and optionally input) on pipes; its
/// standard error is the driver's.
class ChildProcess {
public:
    /// Starts `argv[0]` (searched on PATH) with `argv`. Throws
    /// std::runtime_error when it can't be started.
    explicit ChildProcess(const std::vector<std::string>& argv, bool pipeInput = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const noexcept { return pid_; }

    /// The next line of output without its line feed; nullopt at end of
    /// output or when `timeout` passes first.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    /// True once all output has been read.
    bool outputEnded() const noexcept { return eof_ && buffer_.empty(); }
    /// Sends `line` and a line feed to the child's input.
    void writeLine(std::string_view line);
    /// Sends `signal` to this child.
    void signal(int signal);

    /// How the child ended.
    struct Exit {
        int status = -1;  // exit code, or -1 when killed by a signal
        long maxRssKiB = 0;
        double cpuSeconds = 0;  // user and system time of all its threads
    };
    /// Waits for the child to end.
    Exit wait();

private:
    pid_t pid_ = -1;
    int output_ = -1;
    int input_ = -1;
    std::string buffer_;
    bool eof_ = false;
    std::optional<Exit> exit_;
};

}  // namespace qelsms::bench
