#include "transports.hpp"

#include <cstdio>
#include <memory>
#include <utility>

#include "answer_handling.hpp"
#include "http_engine.hpp"
#include "lifecycle.hpp"
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

// Set on a thread once its cache is gone, as the thread or the process
// ends; trivially destructible, so it is still there to read.
thread_local bool urlCacheGone = false;

// The URL `text` names, parsed, or null when it is not an http or https URL. The
// last one each thread parsed is kept for its next call, unless the thread is
// ending and its cache already destroyed.
std::shared_ptr<const ParsedUrl> parsedUrlOf(const std::string& text) {
    struct Last {
        std::string text;
        std::shared_ptr<const ParsedUrl> parsed;
        ~Last() { urlCacheGone = true; }
    };
    if (urlCacheGone) {
        CurlUrl url = parseUrl(text);
        if (!url) return nullptr;
        return std::make_shared<ParsedUrl>(ParsedUrl{std::move(url), hostKeyOf(text)});
    }
    thread_local Last last;
    if (last.parsed && last.text == text) return last.parsed;
    CurlUrl url = parseUrl(text);
    if (!url) return nullptr;
    auto parsed = std::make_shared<ParsedUrl>(ParsedUrl{std::move(url), hostKeyOf(text)});
    last.text = text;
    last.parsed = parsed;
    return parsed;
}

void logUrlError(const Callbacks& callbacks) {
    static constexpr char kLine[] = "URL error!\n";
    std::fwrite(kLine, 1, sizeof kLine - 1, stdout);
    std::fflush(stdout);
    deliverLoggedRefusal(callbacks, "URL error!");
}

// Reports a call without credentials, or made while the network is
// unreachable, through its error callback; true when it did, and nothing is
// to be sent.
bool refusedBeforeSending(Credentials credentials, std::string_view credentialsMessage,
                          const Callbacks& callbacks) {
    if (credentials.user.empty() || credentials.password.empty()) {
        deliverRefusal(callbacks, std::string(credentialsMessage));
        return true;
    }
    if (!isConnectedToNetwork()) {
        deliverRefusal(callbacks, std::string(kNoNetworkMessage));
        return true;
    }
    return false;
}

}  // namespace

void getNetworkCall(Credentials credentials, const std::string& restURL, Callbacks&& callbacks) {
    if (stopped()) return;  // the process is exiting: dropped, with no callback
    if (refusedBeforeSending(credentials, kBalanceCredentialsMessage, callbacks)) return;
    HttpEngine& engine = httpEngine();
    auto url = parsedUrlOf(restURL);
    if (!url) return logUrlError(callbacks);
    submitGet(engine, std::move(url), std::move(callbacks));
}

void postNetworkCall(Credentials credentials, const std::string& restURL, RequestBody&& parameters,
                     Callbacks&& callbacks) {
    if (stopped()) return;  // the process is exiting: dropped, with no callback
    if (refusedBeforeSending(credentials, kSendCredentialsMessage, callbacks)) return;
    HttpEngine& engine = httpEngine();
    auto url = parsedUrlOf(restURL);
    if (!url) return logUrlError(callbacks);
    // Text that is not valid UTF-8 can't be written as JSON.
    if (!parameters.error.empty()) return deliverRefusal(callbacks, "JSON error: " + parameters.error);
    submitPost(engine, std::move(url), std::move(parameters.json), parameters.numbers, std::move(callbacks));
}

bool isWebURL(const std::string& text) {
    return parseUrl(text) != nullptr;
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
