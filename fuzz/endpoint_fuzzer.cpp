// Fuzzes the endpoint composition with arbitrary credentials: the result is
// always a URL libcurl's own parser takes as it stands, on the base URL's host
// and path, and percent-decoding its query gives the credentials back.
//
// Input layout (FuzzedDataProvider): from the end, the base URL and path
// choices; from the front, the user and the password, each terminated by a
// backslash followed by another character. Seeds: fuzz/corpus/endpoint_fuzzer/.
#include <curl/curl.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "endpoints.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "endpoint_fuzzer: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

struct Base {
    std::string_view url;
    std::string_view host;
    std::string_view path;
};

constexpr Base kBases[] = {
    {"https://api.qelsms.example/api/", "api.qelsms.example", "/api/"},
    {"http://127.0.0.1:8080/api/", "127.0.0.1", "/api/"},
    {"https://[::1]:8443/api/", "[::1]", "/api/"},
};

constexpr std::string_view kPaths[] = {qelsms::detail::kGetBalancePath, qelsms::detail::kSingleSMSPath,
                                       qelsms::detail::kBulkSMSPath, qelsms::detail::kCustomSMSPath};

std::string percentDecode(std::string_view text) {
    std::optional<std::string> decoded = qelsms::detail::percentDecoded(text);
    check(decoded.has_value(), "a malformed or cut-off escape");
    return decoded.value_or(std::string());
}

struct CurlUrlDeleter {
    void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};

std::string part(CURLU* url, CURLUPart which) {
    char* text = nullptr;
    check(curl_url_get(url, which, &text, 0) == CURLUE_OK, "libcurl has no such part of the URL");
    std::string copy(text);
    curl_free(text);
    return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const Base& base = kBases[input.ConsumeIntegralInRange<std::size_t>(0, std::size(kBases) - 1)];
    const std::string_view path = kPaths[input.ConsumeIntegralInRange<std::size_t>(0, std::size(kPaths) - 1)];
    const std::string user = input.ConsumeRandomLengthString(512);
    const std::string password = input.ConsumeRemainingBytesAsString();

    const std::string url = qelsms::detail::composeEndpoint(base.url, path, user, password);
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        check(byte > 0x20 && byte < 0x7F, "the URL holds a byte outside printable ASCII");
    }

    std::unique_ptr<CURLU, CurlUrlDeleter> parsed(curl_url());
    check(parsed != nullptr, "curl_url failed");
    check(curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) == CURLUE_OK, "libcurl refused the URL");
    check(part(parsed.get(), CURLUPART_URL) == url, "libcurl rewrote the URL");
    check(part(parsed.get(), CURLUPART_HOST) == base.host, "the credentials changed the host");

    const std::string_view pathAndQuery = path;
    const auto questionMark = pathAndQuery.find('?');
    check(part(parsed.get(), CURLUPART_PATH) ==
              std::string(base.path) + std::string(pathAndQuery.substr(0, questionMark)),
          "the credentials changed the path");

    // The query is exactly "Username=<user>&Password=<password>"; neither value
    // holds an unescaped '&' or '=', so splitting on them is unambiguous.
    const std::string query = part(parsed.get(), CURLUPART_QUERY);
    constexpr std::string_view kUser = "Username=";
    constexpr std::string_view kPassword = "&Password=";
    check(query.compare(0, kUser.size(), kUser) == 0, "the query does not start with the user");
    const auto separator = query.find(kPassword);
    check(separator != std::string::npos, "the query has no password");
    const std::string_view encodedUser =
        std::string_view(query).substr(kUser.size(), separator - kUser.size());
    const std::string_view encodedPassword = std::string_view(query).substr(separator + kPassword.size());
    check(encodedUser.find_first_of("&=#") == std::string_view::npos &&
              encodedPassword.find_first_of("&=#") == std::string_view::npos,
          "a credential leaked a delimiter");
    check(percentDecode(encodedUser) == user, "the user does not decode back");
    check(percentDecode(encodedPassword) == password, "the password does not decode back");
    return 0;
}
