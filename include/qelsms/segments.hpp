/// @file
/// Offline estimate of how many SMS parts a text takes.
#pragma once

#include <cstddef>
#include <string_view>

#include "qelsms/export.hpp"

namespace qelsms {

/// The alphabet a text is sent in.
enum class Encoding {
    GSM7,  ///< GSM 03.38 default alphabet (with its extension table)
    UCS2,  ///< anything else
};

/// The size of a text as the network counts it.
struct SegmentCount {
    /// GSM7 when every character is in the GSM 03.38 default alphabet or its
    /// extension table, else UCS2.
    Encoding encoding = Encoding::GSM7;
    /// Septets for GSM7 (extension characters count two), UTF-16 code units
    /// for UCS2 (characters outside the BMP count two).
    std::size_t characters = 0;
    /// Message parts: GSM7 160 in one part, else 153 per part; UCS2 70 in one
    /// part, else 67 per part. An empty text takes one part.
    std::size_t parts = 1;
};

/// Counts the parts of a UTF-8 text, offline and without allocating; safe
/// from any thread. Invalid UTF-8 bytes count as U+FFFD. The provider's own
/// count decides what a message costs; this is the usual GSM 03.38 / UCS-2
/// reckoning.
QELSMS_EXPORT SegmentCount countSegments(std::string_view text) noexcept;

}  // namespace qelsms
