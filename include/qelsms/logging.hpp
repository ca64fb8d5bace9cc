/// @file
/// What the library tells an application about its HTTP exchanges.
#pragma once

#include <functional>
#include <string_view>

#include "qelsms/export.hpp"

namespace qelsms {

/// How much a log line matters, most serious first.
enum class LogLevel {
    /// The library could not do its work: a transfer could not even be started
    /// (out of memory or handles).
    error,
    /// An exchange failed: the line says why (the transport's reason, the TLS
    /// verification result, a proxy's refusal, or the answer's status and type).
    warning,
    /// An exchange ended with a usable answer: one line per call.
    info,
    /// An exchange started; with the lines above, the whole story of each call.
    debug,
};

/// The level's name in lower case: "error", "warning", "info" or "debug".
QELSMS_EXPORT std::string_view toString(LogLevel level) noexcept;

/// Receives the library's log lines. It runs on the library's network thread,
/// so it should be quick; an exception it throws is caught and dropped. A line
/// names the method, scheme, host, port and path of an exchange, never its
/// query, and never holds a credential.
using LogHandler = std::function<void(LogLevel level, std::string_view line)>;

}  // namespace qelsms
