#include "transports.hpp"

#include <cstdio>
#include <memory>
#include <utility>

#include "answer_handling.hpp"
#include "http_engine.hpp"
#include "lifecycle.hpp"
#include "reachability.hpp"
#include "url.hpp"

namespace qelsms::detail {

namespace {

void logUrlError(const Callbacks& callbacks) {
    static constexpr char kLine[] = "URL error!\n";
    std::fwrite(kLine, 1, sizeof kLine - 1, stdout);
    std::fflush(stdout);
    // The URL carries the credentials in its query: never quoted.
    deliverLoggedRefusal(callbacks, "URL error!", "the request's URL does not parse; check the base URL");
}

// Reports a call without credentials, or made while the network is
// unreachable, through its error callback; true when it did, and nothing is
// to be sent.
bool refusedBeforeSending(Credentials credentials, std::string_view credentialsMessage,
                          const Callbacks& callbacks) {
    if (credentials.user.empty() || credentials.password.empty()) {
        const char* missing = credentials.user.empty() && credentials.password.empty()
                                  ? "neither the user name nor the password is set"
                              : credentials.user.empty() ? "the user name is not set"
                                                         : "the password is not set";
        deliverRefusal(callbacks, std::string(credentialsMessage),
                       std::string("no credentials: ") + missing + "; nothing was sent");
        return true;
    }
    if (!isConnectedToNetwork()) {
        deliverRefusal(callbacks, std::string(kNoNetworkMessage),
                       "no network: the machine has no default route; nothing was sent");
        return true;
    }
    return false;
}

}  // namespace

void getNetworkCall(Credentials credentials, const std::string& restURL, Callbacks&& callbacks,
                    std::shared_ptr<const ClientOptions> client) {
    if (stopped()) {
        // The library has stopped: dropped, with no callback; a future ends
        // at once.
        endFutureAtStop(callbacks, false);
        return;
    }
    if (refusedBeforeSending(credentials, kBalanceCredentialsMessage, callbacks)) return;
    HttpEngine& engine = httpEngine();
    auto url = parsedUrlOf(restURL);
    if (!url) return logUrlError(callbacks);
    submitGet(engine, std::move(url), std::move(callbacks), std::move(client));
}

void postNetworkCall(Credentials credentials, const std::string& restURL, RequestBody&& parameters,
                     Callbacks&& callbacks, std::shared_ptr<const ClientOptions> client) {
    if (stopped()) {
        // The library has stopped: dropped, with no callback; a future ends
        // at once.
        endFutureAtStop(callbacks, false);
        return;
    }
    if (refusedBeforeSending(credentials, kSendCredentialsMessage, callbacks)) return;
    HttpEngine& engine = httpEngine();
    auto url = parsedUrlOf(restURL);
    if (!url) return logUrlError(callbacks);
    // Text that is not valid UTF-8 can't be written as JSON.
    if (!parameters.error.empty()) {
        return deliverRefusal(callbacks, "JSON error: " + parameters.error,
                              "a text of the request can't be written as JSON (" +
                                  decoderWords(parameters.error) + "); nothing was sent");
    }
    submitPost(engine, std::move(url), std::move(parameters.json), parameters.numbers, std::move(callbacks),
               std::move(client));
}

std::string baseURLProblem(const std::string& text) {
    // The endpoint paths are appended to the base URL, so a base that doesn't
    // end in "/" would silently name other endpoints.
    const auto schemeEnd = text.find("://");
    if (text.empty() || text.back() != '/' || schemeEnd == std::string::npos || !isWebURL(text)) {
        return "QelSMS client base URL must be an http or https URL ending in '/'";
    }
    // The endpoint's own query follows the base URL: a query or fragment
    // there would swallow the endpoint's path and credentials.
    if (text.find_first_of("?#") != std::string::npos) {
        return "QelSMS client base URL must not have a query or a fragment";
    }
    // curl would send user information as Basic authorisation, in the clear
    // over http.
    const auto authorityStart = schemeEnd + 3;
    const auto authorityEnd = text.find('/', authorityStart);
    if (text.find('@', authorityStart) < authorityEnd) {
        return "QelSMS client base URL must not hold user information; give the credentials to the Client";
    }
    return {};
}

}  // namespace qelsms::detail
