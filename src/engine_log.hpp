// The engine's log lines: one when an exchange starts, one when it ends, with
// the reason of a failure. Built only when the settings carry a log handler;
// nothing here ever writes the URL's query or its user information.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <curl/curl.h>
#include <qelsms/logging.hpp>

#include "http_settings.hpp"

namespace qelsms::detail {

// What the log keeps of one exchange while it runs.
struct ExchangeLog {
    // "POST https://host:port/path"
    std::string target;
    // curl's own description of a failure (CURLOPT_ERRORBUFFER).
    char errorText[CURL_ERROR_SIZE] = {};
};

// Logs the start of an exchange on `easy` and points curl's error text at the
// returned record, which must outlive the transfer.
std::unique_ptr<ExchangeLog> logExchangeStart(const Settings& settings, CURL* easy, CURLU* url, bool post,
                                              std::size_t bodyBytes);

// Logs the end of an exchange: `log` and `easy` are null when it never started.
void logExchangeEnd(const Settings& settings, ExchangeLog* log, CURL* easy, CURLU* url, bool post,
                    CURLcode result, bool tooLarge);

// "scheme://host[:port]/path" of `url`: no user information, no query, no
// fragment.
std::string loggableURL(CURLU* url);

// `text` with everything from a '?' on dropped and the user information of
// any URL in it removed, for texts (such as curl's error messages) that may
// quote a URL.
std::string scrubbed(std::string_view text);

// Calls `handler`, dropping whatever it throws.
void emit(const LogHandler& handler, LogLevel level, std::string_view line) noexcept;

}  // namespace qelsms::detail
