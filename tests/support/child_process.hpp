// A child process with its output on a pipe, for the tests and the
// benchmark driver (the sandbox, the benchmark's clients).
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelsms::test {

/// What execve() takes to run `program` with `args` in this process's
/// environment, less its QELSMS_ variables, plus `extraEnv` ("NAME=value"
/// each). Built before fork(), so that the child only calls execve().
class ExecArgs {
public:
    ExecArgs(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& extraEnv);
    ExecArgs(const ExecArgs&) = delete;
    ExecArgs& operator=(const ExecArgs&) = delete;

    char* const* argv() noexcept { return argv_.data(); }
    char* const* envp() noexcept { return envp_.data(); }

private:
    std::vector<std::string> args_;
    std::vector<std::string> env_;
    std::vector<char*> argv_;
    std::vector<char*> envp_;
};

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
        int signal = 0;   // the signal that killed it, or 0
        long maxRssKiB = 0;
        double cpuSeconds = 0;  // user and system time of all its threads
    };
    /// Waits for the child to end.
    Exit wait();
    /// Waits up to `limit` for the child to end; nullopt when it still runs.
    std::optional<Exit> waitFor(std::chrono::milliseconds limit);

private:
    Exit reap(int status, const rusage& usage);

    pid_t pid_ = -1;
    int output_ = -1;
    int input_ = -1;
    std::string buffer_;
    bool eof_ = false;
    std::optional<Exit> exit_;
};

}  // namespace qelsms::test
