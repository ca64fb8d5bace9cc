// Text the library hands to people and logs (error messages, log lines) must
// be valid UTF-8: an application may store it in JSON, whose writer throws on
// anything else. Bytes from the network or from curl carry no such promise.
#pragma once

#include <string>
#include <string_view>

namespace qelsms::detail {

// `text` with every byte that is not part of a well-formed UTF-8 sequence
// written as \xNN; valid text comes back unchanged.
std::string escapeInvalidUtf8(std::string_view text);

}  // namespace qelsms::detail
