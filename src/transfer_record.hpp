// What the transfer driver reports of a finished exchange, in terms that
// name no HTTP engine: how far it got, the answer's head, and why it failed.
#pragma once

#include <optional>
#include <string>

#include "answer_handling.hpp"
#include "pacing.hpp"

namespace qelsms::detail {

struct TransferRecord {
    // How far it got (pacing.hpp's stages, which the retry rules read).
    TransferStage stage = TransferStage::NotSent;
    // Why no connection was made, when nothing was sent.
    ConnectFailure connectFailure = ConnectFailure::None;
    // A 429 answer's Retry-After header, as sent.
    std::optional<std::string> retryAfter;
    // Absent when the exchange completed at the HTTP level.
    std::optional<TransferFailure> failure;
    // The answer's head, when the exchange completed.
    std::optional<ResponseInfo> response;
    // Why it failed, in words for people and logs, such as "could not resolve
    // host api.example" or "no byte for 60 s after the request was sent";
    // never a credential. Empty when it didn't fail.
    std::string reason;
    // For the log only, and only when the settings carry a log handler: the
    // engine's own code and notes for a failure, or the answer's media type
    // for a whole exchange; then bytes, time and peer.
    std::string facts;
};

}  // namespace qelsms::detail
