// The GET and POST transports: what a call is refused for before anything is
// sent, and the hand-over of everything else to the HTTP engine.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <qelsms/qelsms.hpp>

#include "answer_handling.hpp"
#include "client_options.hpp"
#include "request_body.hpp"

namespace qelsms::detail {

// Credentials as a transport tests them.
struct Credentials {
    std::string_view user;
    std::string_view password;
};

inline constexpr std::string_view kBalanceCredentialsMessage =
    "Kindly set user and password before checking balance";
inline constexpr std::string_view kSendCredentialsMessage =
    "Kindly set user and password before sending message";
inline constexpr std::string_view kNoNetworkMessage = "Network connectivity is falied";

// The GET transport: credential test, probe, URL parse, then the request is
// handed to the HTTP engine and the call returns. `client` carries the
// calling client's own options, if it has any.
void getNetworkCall(Credentials credentials, const std::string& restURL, Callbacks&& callbacks,
                    std::shared_ptr<const ClientOptions> client = nullptr);

// The POST transport: as GET, then a body that could not be written is
// reported as "JSON error: ..." and nothing is sent; otherwise it is posted
// with "Content-Type: application/json".
void postNetworkCall(Credentials credentials, const std::string& restURL, RequestBody&& parameters,
                     Callbacks&& callbacks, std::shared_ptr<const ClientOptions> client = nullptr);

// The transports with the two handlers of the callback forms.
inline void getNetworkCall(Credentials credentials, const std::string& restURL,
                           CompletionHandler completionHandler, ErrorHandler errorHandler) {
    getNetworkCall(credentials, restURL,
                   Callbacks{std::move(completionHandler), std::move(errorHandler), {}});
}
inline void postNetworkCall(Credentials credentials, const std::string& restURL, RequestBody&& parameters,
                            CompletionHandler completionHandler, ErrorHandler errorHandler) {
    postNetworkCall(credentials, restURL, std::move(parameters),
                    Callbacks{std::move(completionHandler), std::move(errorHandler), {}});
}

// Why `text` can't be a client's base URL, or empty when it can: an http or
// https URL ending in "/", without user information, query or fragment. The
// reason never quotes the URL, which may hold a password.
std::string baseURLProblem(const std::string& text);

}  // namespace qelsms::detail
