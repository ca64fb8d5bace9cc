/// @file
/// Settings of the process-wide HTTP client that carries every request.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "qelsms/export.hpp"
#include "qelsms/logging.hpp"

namespace qelsms {

/// The first layout of HttpClientOptions. A later version that adds a member
/// puts the struct and the functions taking it in a new inline namespace, and
/// the library keeps this one's symbols, so applications built against soname
/// 1 go on working (docs/abi.md).
inline namespace options_v1 {

/// How the shared HTTP client reaches the provider.
struct HttpClientOptions {
    /// A PEM bundle of certificates to trust in addition to the system's.
    std::string caFile{};
    /// Entries "HOST:PORT:CONNECT-HOST:CONNECT-PORT": requests for HOST:PORT
    /// connect to CONNECT-HOST:CONNECT-PORT instead, keeping the host name for
    /// TLS and the Host header.
    std::vector<std::string> connectTo{};
    /// Transfers active at once per host; further requests wait their turn.
    int maxConnectionsPerHost = 32;
    /// A request fails when no connection is made, or no byte is exchanged, for
    /// this many seconds.
    int timeoutSeconds = 60;
    /// Receives a line for each exchange's start and end, and the reason of
    /// each failure (see LogLevel). Empty, the default: nothing is logged and
    /// no line is built.
    LogHandler logHandler{};
    /// The proxy requests go through. Empty, the default: the one the standard
    /// environment variables name, as libcurl reads them (`https_proxy` or
    /// `HTTPS_PROXY` for https URLs, `http_proxy` for http, `all_proxy`, with
    /// the hosts in `no_proxy` going direct). "none": no proxy at all, whatever
    /// the environment says. Anything else: the URL of the proxy, such as
    /// "http://proxy.example:3128" (schemes http, https, socks4, socks4a,
    /// socks5 and socks5h; credentials for the proxy may come before the host).
    /// An https URL reaches the provider through a CONNECT tunnel, so the proxy
    /// sees the host name but never the query, which holds the credentials; a
    /// plain http URL is sent to the proxy whole.
    std::string proxy{};
    /// Hosts reached directly, without the proxy: a comma-separated list of
    /// host names (each also matching its subdomains), IP addresses or CIDR
    /// ranges, or "*" for every host. Empty, the default: `no_proxy` from the
    /// environment applies.
    std::string noProxy{};
    /// A request fails when its exchange, from the moment it leaves the
    /// library's queue, takes longer than this many seconds, plus 4 ms per
    /// number it sends to (time for a large submission's body and individual
    /// results over a slow link), whatever the server does.
    int deadlineSeconds = 300;
    /// Transfers active at once across all hosts, which bounds the sockets the
    /// library holds (connections kept for reuse included); further requests
    /// wait their turn in the library's queue, where no time-out runs.
    int maxConnections = 256;
    /// An answer larger than this many bytes, plus 512 per number the request
    /// sends to, is cut off and the request fails.
    std::size_t maxAnswerBytes = std::size_t{16} * 1024 * 1024;
};

/// Replaces all of the HTTP client's settings with `options` for requests
/// started after the call: a member left at its default goes back to its
/// default, whatever an earlier call set. To change one setting and keep the
/// others, start from httpClientOptions():
///
///     auto options = qelsms::httpClientOptions();
///     options.timeoutSeconds = 10;
///     qelsms::configureHttpClient(options);
///
/// Requests already queued or in flight keep the settings they started with.
/// May be called from any thread. Unlike the operations, it throws:
/// std::invalid_argument when `caFile` cannot be read as PEM certificates, a
/// `connectTo` entry is malformed, a number is not positive, `proxy` is
/// neither empty, "none" nor a proxy URL, or `proxy` or `noProxy` holds a
/// control character (the settings are then left as they were; the message
/// never repeats the proxy URL, which may hold a password).
QELSMS_EXPORT void configureHttpClient(const HttpClientOptions& options);

/// The settings in force: those of the last configureHttpClient call that
/// succeeded, or the defaults. Safe from any thread.
[[nodiscard]] QELSMS_EXPORT HttpClientOptions httpClientOptions();

}  // namespace options_v1

}  // namespace qelsms
