// qelsms-sandbox for end-to-end tests, with a control client for its
// /sandbox/ endpoints.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sandbox_child.hpp"

namespace httplib {
class SSLClient;
}

namespace qelsms::test {

// Starts qelsms-sandbox on a free port (HTTPS, its CA written to a temporary
// file) and kills it on destruction. The control methods throw
// std::runtime_error when the sandbox does not answer.
class SandboxProcess {
public:
    explicit SandboxProcess(std::vector<std::string> extraArgs = {});
    ~SandboxProcess();
    SandboxProcess(const SandboxProcess&) = delete;
    SandboxProcess& operator=(const SandboxProcess&) = delete;

    int port() const { return child_->port(); }
    const std::string& url() const { return child_->url(); }
    const std::string& caFile() const { return caFile_; }

    // Points the library's production host at this sandbox, trusting its CA.
    void route(int timeoutSeconds = 10, int maxConnectionsPerHost = 32) const;

    // The control client itself, for requests whose status matters.
    httplib::SSLClient& control() const { return *control_; }

    nlohmann::json get(const std::string& path) const;
    nlohmann::json post(const std::string& path, const nlohmann::json& body) const;
    nlohmann::json remove(const std::string& path) const;

    // Initial accounts, no messages, counts or faults.
    void reset() const;
    void putAccount(const std::string& user, const std::string& password, std::int64_t credits) const;
    std::int64_t balanceOf(const std::string& user) const;
    // Requests the sandbox received on `path` (e.g. "/api/SendSMS/SingleSMS/").
    std::uint64_t requestsTo(const std::string& path) const;
    void armFault(const nlohmann::json& fault) const;

private:
    std::string caFile_;
    std::unique_ptr<SandboxChild> child_;
    std::unique_ptr<httplib::SSLClient> control_;
};

}  // namespace qelsms::test
