#include "http_settings.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace qelsms::detail {

namespace {

constexpr long kMaxIdleSecondsForReuse = 2;

CURLcode useTrustStore(CURL*, void* sslContext, void* userData) {
    const auto* settings = static_cast<const Settings*>(userData);
    // The context takes its own reference, so a connection outlives replaced
    // settings safely.
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslContext), settings->trustStore);
    return CURLE_OK;
}

// Reads every PEM certificate of `path`, on top of the system's trusted CAs
// (curl's default bundle and directory), into one store that all connections
// made under these settings share. Loading the system bundle costs tens of
// milliseconds, far too much to repeat for every connection.
X509_STORE* buildTrustStore(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "r"), &std::fclose);
    if (!file) throw std::invalid_argument("cannot open CA file " + path);
    std::unique_ptr<X509_STORE, void (*)(X509_STORE*)> store(X509_STORE_new(), &X509_STORE_free);
    if (!store) throw std::bad_alloc();
    int added = 0;
    while (X509* cert = PEM_read_X509(file.get(), nullptr, nullptr, nullptr)) {
        X509_STORE_add_cert(store.get(), cert);
        X509_free(cert);
        ++added;
    }
    ERR_clear_error();
    if (added == 0) throw std::invalid_argument("no PEM certificate in CA file " + path);

    const curl_version_info_data* curlInfo = curl_version_info(CURLVERSION_NOW);
    const bool haveFile =
        curlInfo->cainfo != nullptr && X509_STORE_load_file(store.get(), curlInfo->cainfo) == 1;
    const bool havePath =
        curlInfo->capath != nullptr && X509_STORE_load_path(store.get(), curlInfo->capath) == 1;
    if (!haveFile && !havePath) X509_STORE_set_default_paths(store.get());
    ERR_clear_error();
    return store.release();
}

bool hasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// Checks a proxy URL and returns how log lines name it. The messages never
// quote the URL: it may carry the proxy's password.
std::string checkProxyURL(const std::string& proxy) {
    constexpr const char* kExpected =
        "proxy must be empty, \"none\" or a URL such as http://proxy.example:3128 "
        "(scheme http, https, socks4, socks4a, socks5 or socks5h)";
    if (hasControlCharacter(proxy) || proxy.find("://") == std::string::npos) {
        throw std::invalid_argument(kExpected);
    }
    std::unique_ptr<CURLU, void (*)(CURLU*)> url(curl_url(), &curl_url_cleanup);
    if (!url) throw std::bad_alloc();
    if (curl_url_set(url.get(), CURLUPART_URL, proxy.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        throw std::invalid_argument(kExpected);
    }
    const std::string scheme = urlPart(url.get(), CURLUPART_SCHEME);
    constexpr std::string_view kSchemes[] = {"http", "https", "socks4", "socks4a", "socks5", "socks5h"};
    if (std::find(std::begin(kSchemes), std::end(kSchemes), scheme) == std::end(kSchemes)) {
        throw std::invalid_argument(kExpected);
    }
    const std::string host = urlPart(url.get(), CURLUPART_HOST);
    const std::string path = urlPart(url.get(), CURLUPART_PATH);
    if (host.empty() || (path != "/" && !path.empty()) || !urlPart(url.get(), CURLUPART_QUERY).empty() ||
        !urlPart(url.get(), CURLUPART_FRAGMENT).empty()) {
        throw std::invalid_argument(kExpected);
    }
    if (scheme == "https" && (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_HTTPS_PROXY) == 0) {
        throw std::invalid_argument("this libcurl cannot talk to an https proxy");
    }
    std::string port = urlPart(url.get(), CURLUPART_PORT);
    return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

}  // namespace

std::string urlPart(CURLU* url, CURLUPart part) {
    char* value = nullptr;
    if (curl_url_get(url, part, &value, 0) != CURLUE_OK || value == nullptr) return {};
    std::string text(value);
    curl_free(value);
    return text;
}

std::shared_ptr<const Settings> settingsFrom(const HttpClientOptions& options) {
    if (options.maxConnectionsPerHost <= 0)
        throw std::invalid_argument("maxConnectionsPerHost must be positive");
    if (options.timeoutSeconds <= 0) throw std::invalid_argument("timeoutSeconds must be positive");
    if (options.deadlineSeconds <= 0) throw std::invalid_argument("deadlineSeconds must be positive");
    if (options.maxConnections <= 0) throw std::invalid_argument("maxConnections must be positive");
    if (options.maxAnswerBytes == 0) throw std::invalid_argument("maxAnswerBytes must be positive");
    auto settings = std::make_shared<Settings>();
    settings->options = options;
    settings->maxConnectionsPerHost = options.maxConnectionsPerHost;
    settings->timeoutSeconds = options.timeoutSeconds;
    settings->deadlineSeconds = options.deadlineSeconds;
    settings->maxConnections = options.maxConnections;
    settings->maxAnswerBytes = options.maxAnswerBytes;
    if (!options.caFile.empty()) settings->trustStore = buildTrustStore(options.caFile);
    for (const auto& entry : options.connectTo) {
        // HOST:PORT:CONNECT-HOST:CONNECT-PORT, where an IPv6 host may be
        // bracketed; at least three colons outside brackets.
        int colons = 0;
        bool bracket = false;
        for (char c : entry) {
            if (c == '[') bracket = true;
            if (c == ']') bracket = false;
            if (c == ':' && !bracket) ++colons;
        }
        if (colons != 3 || entry.find_first_of("\r\n", 0) != std::string::npos) {
            throw std::invalid_argument("connectTo entry must be HOST:PORT:CONNECT-HOST:CONNECT-PORT: " +
                                        entry);
        }
        curl_slist* list = curl_slist_append(settings->connectTo, entry.c_str());
        if (list == nullptr) throw std::bad_alloc();
        settings->connectTo = list;
    }
    settings->log = options.logHandler;
    if (options.proxy == "none") {
        settings->proxy.emplace();
        settings->proxyForLog = "none";
    } else if (!options.proxy.empty()) {
        settings->proxyForLog = checkProxyURL(options.proxy);
        settings->proxy = options.proxy;
    }
    if (!options.noProxy.empty()) {
        if (hasControlCharacter(options.noProxy)) {
            throw std::invalid_argument("noProxy must be a comma-separated list of hosts");
        }
        settings->noProxy = options.noProxy;
    }
    settings->jobLimits = JobLimits{settings->maxConnectionsPerHost, settings->maxConnections,
                                    std::chrono::seconds(settings->timeoutSeconds)};
    return settings;
}

void applySettings(CURL* easy, const Settings& settings) {
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
#if LIBCURL_VERSION_NUM >= 0x075700
    // Without it, a transfer that ends while its name is still being looked
    // up waits for the lookup, and the network thread with it: one host's
    // silent name server would stall every other host's requests.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
#endif
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    // The library's own floor: a system whose OpenSSL configuration allows
    // TLS 1.0 or 1.1 (MinProtocol in OPENSSL_CONF) must not carry credentials
    // over them. Also for an https proxy's own connection.
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(easy, CURLOPT_PROXY_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    // The time-out counts inactivity, not the length of the exchange, and
    // the network loop judges it, connection included, only after it has read
    // every connection: curl's own connect time-out would be judged before
    // curl looks at a socket that connected while a callback held the loop.
    // (curl's low-speed check would also average in the bytes just uploaded
    // and fire late.) The loop's deadline bounds the whole exchange.
    // Servers close idle keep-alive connections after a few seconds (5 is
    // common). A request written just as that happens is lost, and since
    // a sent body is never sent twice, it fails. Not reusing connections
    // idle for longer than this keeps clear of that race.
    curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, kMaxIdleSecondsForReuse);
    if (settings.connectTo != nullptr) curl_easy_setopt(easy, CURLOPT_CONNECT_TO, settings.connectTo);
    if (settings.proxy) curl_easy_setopt(easy, CURLOPT_PROXY, settings.proxy->c_str());
    if (settings.noProxy) curl_easy_setopt(easy, CURLOPT_NOPROXY, settings.noProxy->c_str());
    if (settings.trustStore != nullptr) {
        // Nothing for curl to load: the callback hands over the store.
        curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &useTrustStore);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &settings);
        // curl would otherwise keep the first store it saw for every later
        // connection, whatever trust the settings name by then.
        curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    }
}

}  // namespace qelsms::detail
