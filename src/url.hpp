// Endpoint URLs as the engine sends to them: parsed once by libcurl's URL
// parser and shared by every request to the same endpoint.
#pragma once

#include <memory>
#include <string>

// libcurl's parsed URL (CURLU), named here without libcurl's header.
struct Curl_URL;

namespace qelsms::detail {

struct CurlUrlDeleter {
    void operator()(Curl_URL* url) const noexcept;
};
using CurlUrl = std::unique_ptr<Curl_URL, CurlUrlDeleter>;

// A parsed endpoint URL, shared by every request to it: curl only reads a
// URL handle, and an application sends to the same few endpoints over and
// over, where parsing one costs more than the rest of a call.
struct ParsedUrl {
    CurlUrl handle;
    // "scheme://authority", which bounds the transfers active per host.
    std::string hostKey;
};

// The URL `text` names, parsed, or null unless it is an http or https URL.
// Each thread keeps the last one it parsed for its next call.
std::shared_ptr<const ParsedUrl> parsedUrlOf(const std::string& text);

// Whether `text` parses as an http or https URL, the way endpoint strings are
// parsed.
bool isWebURL(const std::string& text);

// "scheme://host[:port]/path" of `url`: no user information, no query, no
// fragment.
std::string loggableURL(Curl_URL* url);

}  // namespace qelsms::detail
