#include "sandbox_process.hpp"

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include <qelsms/http_client.hpp>

#include "test_server.hpp"

namespace qelsms::test {

using namespace std::chrono_literals;

SandboxChild::SandboxChild(std::vector<std::string> args) {
    args.insert(args.begin(), QELSMS_SANDBOX_BINARY);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(out[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
    if (pid_ < 0) throw std::runtime_error("fork failed");

    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{stdout_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char c = 0;
        if (read(stdout_, &c, 1) != 1 || c == '\n') break;
        url_ += c;
    }
    const auto colon = url_.rfind(':');
    if (colon == std::string::npos || !url_.ends_with("/api/")) {
        throw std::runtime_error("the sandbox did not start: '" + url_ + "'");
    }
    port_ = std::stoi(url_.substr(colon + 1));
}

SandboxChild::~SandboxChild() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
}

int SandboxChild::terminate(std::chrono::milliseconds limit) {
    kill(pid_, SIGTERM);
    for (auto waited = 0ms; waited < limit; waited += 10ms) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

SandboxProcess::SandboxProcess(std::vector<std::string> extraArgs) {
    caFile_ = "/tmp/qelsms-reliability-ca-" + std::to_string(getpid()) + "-" +
              std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".pem";
    std::vector<std::string> args = {"--port", "0", "--write-ca", caFile_};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    child_ = std::make_unique<SandboxChild>(std::move(args));
    control_ = std::make_unique<httplib::SSLClient>("127.0.0.1", child_->port());
    control_->set_ca_cert_path(caFile_.c_str());
    control_->set_read_timeout(60, 0);
}

SandboxProcess::~SandboxProcess() {
    control_.reset();
    child_.reset();
    std::remove(caFile_.c_str());
}

void SandboxProcess::route(int timeoutSeconds, int maxConnectionsPerHost) const {
    configureHttpClient({.caFile = caFile_,
                         .connectTo = {productionHost() + ":" + std::to_string(productionPort()) +
                                       ":127.0.0.1:" + std::to_string(port())},
                         .maxConnectionsPerHost = maxConnectionsPerHost,
                         .timeoutSeconds = timeoutSeconds});
}

namespace {

nlohmann::json parsed(const httplib::Result& result, const std::string& path) {
    if (!result) throw std::runtime_error("the sandbox did not answer " + path);
    return nlohmann::json::parse(result->body);
}

}  // namespace

nlohmann::json SandboxProcess::get(const std::string& path) const {
    return parsed(control_->Get(path.c_str()), path);
}

nlohmann::json SandboxProcess::post(const std::string& path, const nlohmann::json& body) const {
    return parsed(control_->Post(path.c_str(), body.dump(), "application/json"), path);
}

nlohmann::json SandboxProcess::remove(const std::string& path) const {
    return parsed(control_->Delete(path.c_str()), path);
}

void SandboxProcess::reset() const {
    if (post("/sandbox/reset", nlohmann::json::object())["status"] != "success") {
        throw std::runtime_error("the sandbox refused to reset");
    }
}

void SandboxProcess::putAccount(const std::string& user, const std::string& password,
                                std::int64_t credits) const {
    const auto answer =
        post("/sandbox/accounts", {{"username", user}, {"password", password}, {"credits", credits}});
    if (answer["status"] != "success") throw std::runtime_error("the sandbox refused an account");
}

std::int64_t SandboxProcess::balanceOf(const std::string& user) const {
    const nlohmann::json answer = get("/sandbox/accounts");
    for (const auto& account : answer["accounts"]) {
        if (account["username"] == user) return account["balance"];
    }
    return -1;
}

std::uint64_t SandboxProcess::requestsTo(const std::string& path) const {
    return get("/sandbox/requests")["paths"].value(path, std::uint64_t{0});
}

void SandboxProcess::armFault(const nlohmann::json& fault) const {
    const auto answer = post("/sandbox/faults", fault);
    if (answer["status"] != "success")
        throw std::runtime_error("the sandbox refused a fault: " + answer.dump());
}

}  // namespace qelsms::test
