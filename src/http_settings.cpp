#include "http_settings.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdio>
#include <new>
#include <stdexcept>
#include <utility>

namespace qelsms::detail {

namespace {

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

}  // namespace

std::shared_ptr<const Settings> settingsFrom(const HttpClientOptions& options) {
    if (options.maxConnectionsPerHost <= 0)
        throw std::invalid_argument("maxConnectionsPerHost must be positive");
    if (options.timeoutSeconds <= 0) throw std::invalid_argument("timeoutSeconds must be positive");
    if (options.deadlineSeconds <= 0) throw std::invalid_argument("deadlineSeconds must be positive");
    if (options.maxConnections <= 0) throw std::invalid_argument("maxConnections must be positive");
    if (options.maxAnswerBytes == 0) throw std::invalid_argument("maxAnswerBytes must be positive");
    auto settings = std::make_shared<Settings>();
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
    return settings;
}

}  // namespace qelsms::detail
