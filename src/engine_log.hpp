// The engine's log lines: one when an exchange starts, one when it ends, with
// the reason of a failure. Built only when the settings carry a log handler;
// nothing here ever writes the URL's query or its user information.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <qelsms/logging.hpp>
#include <qelsms/outcome.hpp>

#include "http_settings.hpp"
#include "transfer_record.hpp"

namespace qelsms::detail {

// Logs the start of an exchange; `target` is "POST https://host/path".
void logExchangeStart(const Settings& settings, const std::string& target, bool post, std::size_t bodyBytes);

// Logs the end of an exchange from what the driver reported and the outcome
// the call ends in.
void logExchangeEnd(const Settings& settings, const std::string& target, const TransferRecord& record,
                    const Outcome& outcome);

// `text` with everything from a '?' on dropped and the user information of
// any URL in it removed, for texts (such as curl's error messages) that may
// quote a URL.
std::string scrubbed(std::string_view text);

// Calls `handler`, dropping whatever it throws.
void emit(const LogHandler& handler, LogLevel level, std::string_view line) noexcept;

}  // namespace qelsms::detail
