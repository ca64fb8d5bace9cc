// What a client may carry of its own, apart from its credentials: the account
// whose queue its requests wait in and the settings they run under. What it
// leaves out falls back to the process-wide configuration (configureHttpClient).
#pragma once

#include <memory>
#include <string>

#include <qelsms/pacing.hpp>

#include "http_settings.hpp"
#include "pacing.hpp"

namespace qelsms::detail {

struct ClientOptions {
    // Names the queue its requests wait in; empty for the process-wide
    // account's.
    std::string account;
    // Its request rate and retries.
    AccountOptions pacing;
    // Its pace, shared by all its requests (and a Client's copies); only the
    // network thread touches it.
    mutable TokenBucket bucket{pacing.requestsPerSecond, pacing.burst};
    // The settings its requests run under; null for those configured for the
    // process at the time of each call.
    std::shared_ptr<const Settings> settings;
};

}  // namespace qelsms::detail
