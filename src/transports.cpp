#include "transports.hpp"

#include <cstdio>
#include <memory>
#include <utility>

#include "answer_handling.hpp"
#include "http_engine.hpp"
#include "reachability.hpp"

namespace qelsms::detail {

namespace {

// The host part of a URL ("scheme://authority").
std::string hostKeyOf(const std::string& url) {
    const auto schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos) return url;
    const auto authorityEnd = url.find_first_of("/?#", schemeEnd + 3);
    return url.substr(0, authorityEnd);
}

// Parses `text` with libcurl's URL parser; only http and https are accepted.
CurlUrl parseUrl(const std::string& text) {
    if (text.find('\0') != std::string::npos) return nullptr;
    CurlUrl url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return nullptr;
    char* scheme = nullptr;
    if (curl_url_get(url.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) return nullptr;
    const std::string_view s(scheme);
    const bool web = s == "http" || s == "https";
    curl_free(scheme);
    return web ? std::move(url) : nullptr;
}

// The endpoint `text` names, or null when it is not an http or https URL. The
// last one each thread parsed is kept for its next call.
std::shared_ptr<const Endpoint> endpointOf(const std::string& text) {
    struct Last {
        std::string text;
        std::shared_ptr<const Endpoint> endpoint;
    };
    thread_local Last last;
    if (last.endpoint && last.text == text) return last.endpoint;
    CurlUrl url = parseUrl(text);
    if (!url) return nullptr;
    auto endpoint = std::make_shared<Endpoint>(Endpoint{std::move(url), hostKeyOf(text)});
    last.text = text;
    last.endpoint = endpoint;
    return endpoint;
}

void logUrlError() {
    static constexpr char kLine[] = "URL error!\n";
    std::fwrite(kLine, 1, sizeof kLine - 1, stdout);
    std::fflush(stdout);
}

bool refuse(Credentials credentials, std::string_view credentialsMessage, const ErrorHandler& errorHandler) {
    if (credentials.user.empty() || credentials.password.empty()) {
        callError(errorHandler, std::string(credentialsMessage));
        return true;
    }
    if (!isConnectedToNetwork()) {
        callError(errorHandler, std::string(kNoNetworkMessage));
        return true;
    }
    return false;
}

}  // namespace

void getNetworkCall(Credentials credentials, const std::string& restURL, CompletionHandler completionHandler,
                    ErrorHandler errorHandler) {
    if (refuse(credentials, kBalanceCredentialsMessage, errorHandler)) return;
    HttpClient& client = httpClient();
    auto endpoint = endpointOf(restURL);
    if (!endpoint) return logUrlError();
    submitGet(client, std::move(endpoint), std::move(completionHandler), std::move(errorHandler));
}

void postNetworkCall(Credentials credentials, const std::string& restURL, RequestBody&& parameters,
                     CompletionHandler completionHandler, ErrorHandler errorHandler) {
    if (refuse(credentials, kSendCredentialsMessage, errorHandler)) return;
    HttpClient& client = httpClient();
    auto endpoint = endpointOf(restURL);
    if (!endpoint) return logUrlError();
    // Text that is not valid UTF-8 can't be written as JSON.
    if (!parameters.error.empty()) return callError(errorHandler, "JSON error: " + parameters.error);
    submitPost(client, std::move(endpoint), std::move(parameters.json), std::move(completionHandler),
               std::move(errorHandler));
}

bool isWebURL(const std::string& text) {
    return parseUrl(text) != nullptr;
}

}  // namespace qelsms::detail
