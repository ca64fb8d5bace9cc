/// @file
/// Settings of the process-wide HTTP client that carries every request.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qelsms {

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

/// Replaces the HTTP client's settings for requests started after the call;
/// requests already queued or in flight keep the settings they started with.
/// May be called from any thread. Unlike the operations, it throws:
/// std::invalid_argument when `caFile` cannot be read as PEM certificates, a
/// `connectTo` entry is malformed, or a number is not positive (the settings
/// are then left as they were).
void configureHttpClient(HttpClientOptions options);

}  // namespace qelsms
