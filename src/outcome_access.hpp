// What only the engine may change in an Outcome after making it.
#pragma once

#include <qelsms/outcome.hpp>

namespace qelsms::detail {

struct OutcomeAccess {
    // The number of tries a retried call took; an Outcome starts out counting
    // one (none for a refusal).
    static void setAttempts(Outcome& outcome, int attempts) noexcept { outcome.attempts_ = attempts; }
};

}  // namespace qelsms::detail
