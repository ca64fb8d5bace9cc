// What the examples share: the --sandbox and --cacert options, and printing
// the outcome of an operation.
#pragma once

#include <cstdlib>
#include <iostream>
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

// Prints the outcome; the process's exit status: 0 when accepted, 1 when the
// provider did not act, 3 when it may have (check before sending again).
inline int report(const qelsms::Outcome& outcome) {
    if (!outcome.ok()) {
        const qelsms::Error& error = outcome.error();
        std::cerr << "error: " << error.message << " (" << error.detail << "; "
                  << qelsms::toString(error.kind) << ")\n";
        return error.mayHaveBeenProcessed ? 3 : 1;
    }
    std::cout << outcome.answer().dump(2) << '\n';
    return 0;
}

}  // namespace example
