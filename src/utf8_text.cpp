#include "utf8_text.hpp"

#include <cstddef>

#include "utf8.hpp"

namespace qelsms::detail {

std::string escapeInvalidUtf8(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const Utf8Decoded decoded = decodeUtf8(text, at);
        if (decoded.valid) {
            out.append(text.substr(at, decoded.length));
        } else {
            for (std::size_t i = at; i < at + decoded.length; ++i) {
                const auto b = static_cast<unsigned char>(text[i]);
                out.append("\\x").push_back(kHex[b >> 4]);
                out.push_back(kHex[b & 0xF]);
            }
        }
        at += decoded.length;
    }
    return out;
}

}  // namespace qelsms::detail
