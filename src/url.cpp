#include "url.hpp"

#include <curl/curl.h>

#include <string_view>
#include <utility>

#include "http_settings.hpp"

namespace qelsms::detail {

void CurlUrlDeleter::operator()(Curl_URL* url) const noexcept {
    curl_url_cleanup(url);
}

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

}  // namespace

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

bool isWebURL(const std::string& text) {
    return parseUrl(text) != nullptr;
}

std::string loggableURL(Curl_URL* url) {
    std::string text = urlPart(url, CURLUPART_SCHEME) + "://" + urlPart(url, CURLUPART_HOST);
    const std::string port = urlPart(url, CURLUPART_PORT);
    if (!port.empty()) text += ":" + port;
    const std::string path = urlPart(url, CURLUPART_PATH);
    text += path.empty() ? "/" : path;
    return text;
}

}  // namespace qelsms::detail
