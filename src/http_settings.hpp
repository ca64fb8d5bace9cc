// The settings the HTTP engine runs requests under, and how the options an
// application configures become them.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include <curl/curl.h>
#include <openssl/x509.h>
#include <qelsms/http_client.hpp>

#include "scheduler.hpp"

namespace qelsms::detail {

// An immutable snapshot of the engine's settings; every request keeps the one
// that was current when it was started.
struct Settings {
    // The system's CAs plus the configured extra ones, built once; null when
    // no extra CA is configured (curl then uses its own cached default).
    X509_STORE* trustStore = nullptr;
    curl_slist* connectTo = nullptr;
    long maxConnectionsPerHost = 32;
    long timeoutSeconds = 60;
    // Empty when nothing is to be logged.
    LogHandler log;
    // What CURLOPT_PROXY is set to: an empty string for no proxy at all;
    // unset to leave the choice to the environment.
    std::optional<std::string> proxy;
    // The proxy as log lines name it: scheme, host and port, or "none"; empty
    // when the environment decides.
    std::string proxyForLog;
    // CURLOPT_NOPROXY, unset to leave it to the environment.
    std::optional<std::string> noProxy;
    long deadlineSeconds = 300;
    long maxConnections = 256;
    std::size_t maxAnswerBytes = std::size_t{16} * 1024 * 1024;
    // The connection limits and the idle time-out as the scheduler reads them.
    JobLimits jobLimits;
    // What the application configured, as httpClientOptions() gives it back.
    HttpClientOptions options;

    Settings() = default;
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;
    ~Settings() {
        curl_slist_free_all(connectTo);
        X509_STORE_free(trustStore);
    }
};

// Checks `options` and builds the settings they describe, the trust store
// included. Throws std::invalid_argument as configureHttpClient documents.
std::shared_ptr<const Settings> settingsFrom(const HttpClientOptions& options);

// Sets the options of an easy handle that follow from `settings` alone (and
// a request's own deadline aside). `settings` must outlive the handle's use.
void applySettings(CURL* easy, const Settings& settings);

// One part of a parsed URL as text; empty when the URL has none, or curl
// can't give it.
std::string urlPart(CURLU* url, CURLUPart part);

}  // namespace qelsms::detail
