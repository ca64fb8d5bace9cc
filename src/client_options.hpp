// What a client may carry of its own, apart from its credentials: the account
// whose queue its requests wait in and the settings they run under. What it
// leaves out falls back to the process-wide configuration (configureHttpClient).
#pragma once

#include <memory>
#include <string>

#include "http_settings.hpp"

namespace qelsms::detail {

struct ClientOptions {
    // Names the queue its requests wait in; empty for the process-wide
    // account's. A budget per account (a request rate, retries) belongs here.
    std::string account;
    // The settings its requests run under; null for those configured for the
    // process at the time of each call.
    std::shared_ptr<const Settings> settings;
};

}  // namespace qelsms::detail
