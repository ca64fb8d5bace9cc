// What the transfer driver reports of a finished exchange, in terms that
// name no HTTP engine: how far it got, the answer's head, and why it failed.
#pragma once

#include <optional>
#include <string>

#include "answer_handling.hpp"

namespace qelsms::detail {

// How far an exchange got.
enum class TransferStage {
    // No byte of the request left the machine.
    NotSent,
    // Some or all of the request left; no answer's head arrived.
    Sent,
    // The answer's head arrived, and for a whole exchange its body too.
    Answered,
};

struct TransferRecord {
    TransferStage stage = TransferStage::NotSent;
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
