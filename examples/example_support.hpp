// What the examples share: the --sandbox and --cacert options, and waiting
// for the one callback of an operation.
#pragma once

#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <qelsms/qelsms.hpp>

namespace example {

// "HOST:PORT" of an http(s) URL, with the scheme's port when it names none.
inline std::string authorityOf(std::string_view url) {
    const auto start = url.find("://");
    if (start == std::string_view::npos) return {};
    const std::string_view rest = url.substr(start + 3);
    const std::string authority(rest.substr(0, rest.find('/')));
    const auto bracket = authority.rfind(']');
    if (authority.find(':', bracket == std::string::npos ? 0 : bracket) != std::string::npos)
        return authority;
    return authority + (url.starts_with("https") ? ":443" : ":80");
}

// Takes "--sandbox URL" and "--cacert FILE" out of the command line and
// returns the other arguments. With --sandbox, requests for the library's
// built-in host go to the server at URL (a qelsms-sandbox, say) under the
// same host name, so TLS is checked exactly as in production; --cacert adds
// the CA that signed that server's certificate.
inline std::vector<std::string> takeSandboxOptions(int argc, char** argv) {
    std::vector<std::string> rest;
    qelsms::HttpClientOptions http;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if ((arg == "--sandbox" || arg == "--cacert") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--cacert") {
                http.caFile = value;
            } else {
                http.connectTo.push_back(authorityOf(qelsms::Client::defaultBaseURL()) + ":" +
                                         authorityOf(value));
            }
        } else {
            rest.emplace_back(arg);
        }
    }
    qelsms::configureHttpClient(http);
    return rest;
}

// The account's password, from QELSMS_PASSWORD as the qelsms tool takes it: an
// argument would show in the process list and the shell's history.
inline std::optional<std::string> passwordFromEnvironment() {
    const char* value = std::getenv("QELSMS_PASSWORD");
    if (value == nullptr || *value == '\0') {
        std::cerr << "set QELSMS_PASSWORD to the account's password\n";
        return std::nullopt;
    }
    return std::string(value);
}

// The outcome of one operation: the answer, or the error callback's message.
struct Outcome {
    std::optional<nlohmann::json> answer;
    std::string error;
};

// Starts an operation with a pair of callbacks and blocks until one of them
// has run. The callbacks share the promise, so they stay valid whenever the
// network thread calls them.
template <class Start>
Outcome await(Start start) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto future = promise->get_future();
    start(
        [promise](nlohmann::json answer) {
            promise->set_value({std::move(answer), {}});
        },
        [promise](std::string error) {
            promise->set_value({std::nullopt, std::move(error)});
        });
    return future.get();
}

// Prints the outcome; the process's exit status.
inline int report(const Outcome& outcome) {
    if (!outcome.answer) {
        std::cerr << "error: " << outcome.error << '\n';
        return 1;
    }
    std::cout << outcome.answer->dump(2) << '\n';
    return 0;
}

}  // namespace example
