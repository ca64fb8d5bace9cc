#include "sandbox_child.hpp"

#include <signal.h>

#include <stdexcept>

namespace qelsms::test {

using namespace std::chrono_literals;

namespace {

std::vector<std::string> command(std::vector<std::string> args, const std::string& binary) {
    args.insert(args.begin(), binary);
    return args;
}

}  // namespace

std::string sandboxBinary() {
    return QELSMS_SANDBOX_BINARY;
}

SandboxChild::SandboxChild(std::vector<std::string> args, const std::string& binary)
    : process_(command(std::move(args), binary)) {
    url_ = process_.readLine(20s).value_or("");
    const auto colon = url_.rfind(':');
    if (colon == std::string::npos || !url_.starts_with("http") || !url_.ends_with("/api/")) {
        throw std::runtime_error("the sandbox did not start: '" + url_ + "'");
    }
    port_ = std::stoi(url_.substr(colon + 1));
}

SandboxChild::~SandboxChild() {
    resume();
}

std::string SandboxChild::origin() const {
    return url_.substr(0, url_.size() - std::string_view("/api/").size());
}

int SandboxChild::terminate(std::chrono::milliseconds limit) {
    resume();
    process_.signal(SIGTERM);
    const auto exit = process_.waitFor(limit);
    if (!exit) return -1;
    return exit->signal != 0 ? 128 + exit->signal : exit->status;
}

void SandboxChild::freeze() {
    process_.signal(SIGSTOP);
    frozen_ = true;
}

void SandboxChild::resume() {
    if (frozen_) process_.signal(SIGCONT);
    frozen_ = false;
}

}  // namespace qelsms::test
