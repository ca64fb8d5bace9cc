// The library's one UTF-8 decoder, shared by the body writer, the segment
// counter and the command-line tools: well-formed means no overlong forms, no
// surrogates and nothing past U+10FFFF, as the JSON library checks.
#pragma once

#include <cstddef>
#include <string_view>

namespace qelsms::detail {

struct Utf8Decoded {
    // The code point, or U+FFFD for an ill-formed sequence.
    char32_t code = 0;
    // Bytes taken: the sequence's length, or for an ill-formed one the length
    // of its longest well-formed start (at least 1), the usual practice of
    // decoders, so that a truncated 3-byte sequence counts once.
    std::size_t length = 0;
    bool valid = false;
};

// Decodes the code point that starts at text[at]; `at` must be inside `text`.
constexpr Utf8Decoded decodeUtf8(std::string_view text, std::size_t at) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return {lead, 1, true};
    constexpr char32_t kReplacement = 0xFFFD;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    char32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0FU;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07U;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return {kReplacement, 1, false};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (at + i >= text.size()) return {kReplacement, i, false};
        const unsigned char next = byte(at + i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return {kReplacement, i, false};
        code = (code << 6) | (next & 0x3FU);
    }
    return {code, length, true};
}

}  // namespace qelsms::detail
