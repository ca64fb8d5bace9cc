#include "sandbox_process.hpp"

#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include <qelsms/http_client.hpp>

#include "test_server.hpp"

namespace qelsms::test {

SandboxProcess::SandboxProcess(std::vector<std::string> extraArgs) {
    caFile_ = "/tmp/qelsms-sandbox-ca-" + std::to_string(getpid()) + "-" +
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
