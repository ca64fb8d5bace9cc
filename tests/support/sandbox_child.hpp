// The one way the tests and the benchmark start qelsms-sandbox.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "child_process.hpp"

namespace qelsms::test {

/// The qelsms-sandbox this build made.
std::string sandboxBinary();

/// qelsms-sandbox started with `args` (everything after the program name).
/// It dies with the starting process and is killed on destruction.
class SandboxChild {
public:
    /// Throws std::runtime_error unless `binary` prints its base URL within 20 s.
    explicit SandboxChild(std::vector<std::string> args, const std::string& binary = sandboxBinary());
    ~SandboxChild();
    SandboxChild(const SandboxChild&) = delete;
    SandboxChild& operator=(const SandboxChild&) = delete;

    /// The base URL it printed, e.g. https://127.0.0.1:PORT/api/.
    const std::string& url() const { return url_; }
    /// The scheme, host and port of url().
    std::string origin() const;
    int port() const { return port_; }
    pid_t pid() const { return process_.pid(); }

    /// Sends SIGTERM and waits up to `limit`; the exit status (128 + the
    /// signal when one killed it), or -1 when it didn't end in time.
    int terminate(std::chrono::milliseconds limit);

    /// Stops the server outright (SIGSTOP) until resume(), so that whatever a
    /// client sends meanwhile stays unanswered.
    void freeze();
    void resume();

private:
    // Its output stays open, so whatever the sandbox prints later never
    // meets a closed pipe.
    ChildProcess process_;
    std::string url_;
    int port_ = 0;
    bool frozen_ = false;
};

}  // namespace qelsms::test
