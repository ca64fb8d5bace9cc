#include "child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace qelsms::test {

ExecArgs::ExecArgs(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& extraEnv) {
    args_.push_back(program);
    args_.insert(args_.end(), args.begin(), args.end());
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!std::string_view(*entry).starts_with("QELSMS_")) env_.emplace_back(*entry);
    }
    env_.insert(env_.end(), extraEnv.begin(), extraEnv.end());
    for (auto& each : args_)
        argv_.push_back(each.data());
    for (auto& each : env_)
        envp_.push_back(each.data());
    argv_.push_back(nullptr);
    envp_.push_back(nullptr);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool pipeInput) {
    int out[2];
    int in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipeInput && pipe2(in, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        throw std::runtime_error("pipe failed");
    }

    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // The child reports a failed exec through this pipe, which the exec
    // itself closes on success.
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");

    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // A driver that dies (a CI time-out, say) must not leave a sandbox
        // behind, least of all a stopped one.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(out[1], STDOUT_FILENO);
        if (pipeInput) {
            dup2(in[0], STDIN_FILENO);
        } else {
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
        }
        execvp(args[0], args.data());
        const int error = errno;
        static_cast<void>(::write(status[1], &error, sizeof error));
        _exit(127);
    }
    close(status[1]);
    int error = pid_ < 0 ? errno : 0;
    if (pid_ > 0) {
        while (::read(status[0], &error, sizeof error) < 0 && errno == EINTR) {
        }
    }
    close(status[0]);
    if (error != 0 && pid_ > 0) {
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    close(out[1]);
    output_ = out[0];
    if (pipeInput) {
        close(in[0]);
        input_ = in[1];
    }
    if (error != 0) {
        close(output_);
        if (input_ >= 0) close(input_);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    }
}

ChildProcess::~ChildProcess() {
    if (!exit_ && pid_ > 0) {
        signal(SIGKILL);
        wait();
    }
    if (output_ >= 0) close(output_);
    if (input_ >= 0) close(input_);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (const auto end = buffer_.find('\n'); end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        if (eof_) {
            if (buffer_.empty()) return std::nullopt;
            return std::exchange(buffer_, std::string());
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return std::nullopt;
        pollfd fd{output_, POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char chunk[4096];
        const ssize_t got = ::read(output_, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            eof_ = true;
        } else {
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }
}

void ChildProcess::writeLine(std::string_view line) {
    if (input_ < 0) return;
    std::string data(line);
    data.push_back('\n');
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(input_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void ChildProcess::signal(int signal) {
    if (!exit_ && pid_ > 0) ::kill(pid_, signal);
}

ChildProcess::Exit ChildProcess::wait() {
    if (exit_) return *exit_;
    int status = 0;
    rusage usage{};
    while (::wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    return reap(status, usage);
}

std::optional<ChildProcess::Exit> ChildProcess::waitFor(std::chrono::milliseconds limit) {
    using namespace std::chrono_literals;
    if (exit_) return exit_;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        int status = 0;
        rusage usage{};
        const pid_t ended = ::wait4(pid_, &status, WNOHANG, &usage);
        if (ended == pid_) return reap(status, usage);
        if (ended < 0 && errno != EINTR) return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
}

ChildProcess::Exit ChildProcess::reap(int status, const rusage& usage) {
    Exit exit;
    exit.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    exit.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    exit.maxRssKiB = usage.ru_maxrss;
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    exit.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    exit_ = exit;
    return exit;
}

}  // namespace qelsms::test
