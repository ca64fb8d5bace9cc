#include "engine_log.hpp"

#include <utility>

#include "utf8_text.hpp"

namespace qelsms::detail {

std::string scrubbed(std::string_view text) {
    text = text.substr(0, text.find('?'));
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t scheme = text.find("://", from);
        if (scheme == std::string_view::npos) break;
        const std::size_t authority = scheme + 3;
        const std::size_t end = text.find_first_of("/ \t\"'>", authority);
        const std::size_t at = text.rfind('@', end == std::string_view::npos ? text.size() : end);
        out.append(text.substr(from, authority - from));
        from = (at != std::string_view::npos && at >= authority) ? at + 1 : authority;
    }
    out.append(text.substr(from));
    return out;
}

void emit(const LogHandler& handler, LogLevel level, std::string_view line) noexcept {
    try {
        // curl's error texts and the server's media type come off the wire.
        handler(level, escapeInvalidUtf8(line));
    } catch (...) {
        // The application's handler failed; the exchange goes on regardless.
    }
}

void logExchangeStart(const Settings& settings, const std::string& target, bool post, std::size_t bodyBytes) {
    std::string line = target + " started";
    if (post) line += ", " + std::to_string(bodyBytes) + " bytes to send";
    if (settings.proxyForLog == "none") {
        line += ", no proxy";
    } else if (!settings.proxyForLog.empty()) {
        line += ", through proxy " + settings.proxyForLog;
    }
    emit(settings.log, LogLevel::debug, line);
}

void logExchangeEnd(const Settings& settings, const std::string& target, const TransferRecord& record,
                    const Outcome& outcome) {
    if (record.failure && record.failure->cause == TransferCause::NotStarted && record.facts.empty()) {
        emit(settings.log, LogLevel::error, target + " could not be started (out of memory or handles)");
        return;
    }
    if (record.failure) {
        emit(settings.log, LogLevel::warning, target + " failed: " + record.reason + " " + record.facts);
        return;
    }
    const std::int64_t status = record.response ? record.response->statusCode : 0;
    std::string line = target + " -> " + std::to_string(status) + " " + record.facts;
    if (!outcome.ok()) {
        line += status >= 200 && status < 300 ? "; not a JSON answer" : "; refused by the server";
    }
    emit(settings.log, outcome.ok() ? LogLevel::info : LogLevel::warning, line);
}

}  // namespace qelsms::detail

namespace qelsms {

std::string_view toString(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::error:
            return "error";
        case LogLevel::warning:
            return "warning";
        case LogLevel::info:
            return "info";
        case LogLevel::debug:
            return "debug";
    }
    return "unknown";
}

}  // namespace qelsms
