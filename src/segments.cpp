#include "qelsms/segments.hpp"

#include <array>
#include <cstdint>

#include "utf8.hpp"

namespace qelsms {
namespace {

using detail::decodeUtf8;
using detail::Utf8Decoded;

// Septets a character takes in the GSM 03.38 default alphabet: 1 in the basic
// table, 2 in the extension table (escape + code), 0 when it has no GSM code.
enum : std::uint8_t { kNone = 0, kBasic = 1, kExtension = 2 };

constexpr std::array<std::uint8_t, 128> makeAsciiTable() {
    std::array<std::uint8_t, 128> table{};
    for (char32_t c = 0x20; c < 0x7F; ++c)
        table[c] = kBasic;
    // 0x60 of the GSM table is '¿', so the grave accent has no code at all.
    table['`'] = kNone;
    for (char c : {'^', '{', '}', '\\', '[', '~', ']', '|'})
        table[static_cast<unsigned char>(c)] = kExtension;
    table['\n'] = kBasic;
    table['\r'] = kBasic;
    table['\f'] = kExtension;
    return table;
}

constexpr std::array<std::uint8_t, 128> kAscii = makeAsciiTable();

// Basic-table characters in U+0080..U+00FF, one bit per code point.
constexpr std::array<std::uint64_t, 2> makeLatin1Bits() {
    std::array<std::uint64_t, 2> bits{};
    for (char32_t c :
         {U'¡', U'£', U'¤', U'¥', U'§', U'¿', U'Ä', U'Å', U'Æ', U'Ç', U'É', U'Ñ', U'Ö', U'Ø', U'Ü',
          U'ß', U'à', U'ä', U'å', U'æ', U'è', U'é', U'ì', U'ñ', U'ò', U'ö', U'ø', U'ù', U'ü'}) {
        const auto offset = static_cast<unsigned>(c) - 0x80;
        bits[offset / 64] |= std::uint64_t{1} << (offset % 64);
    }
    return bits;
}

constexpr std::array<std::uint64_t, 2> kLatin1 = makeLatin1Bits();

// The Greek capitals of the basic table: Γ Δ Θ Λ Ξ Π Σ Φ Ψ Ω (U+0393..U+03A9).
constexpr std::uint32_t makeGreekBits() {
    std::uint32_t bits = 0;
    for (char32_t c : {U'Γ', U'Δ', U'Θ', U'Λ', U'Ξ', U'Π', U'Σ', U'Φ', U'Ψ', U'Ω'})
        bits |= 1U << (c - 0x393);
    return bits;
}

constexpr std::uint32_t kGreek = makeGreekBits();

constexpr std::uint8_t gsmSeptets(char32_t c) noexcept {
    if (c < 0x80) return kAscii[c];
    if (c < 0x100) {
        const auto offset = static_cast<unsigned>(c) - 0x80;
        return ((kLatin1[offset / 64] >> (offset % 64)) & 1U) != 0 ? kBasic : kNone;
    }
    if (c >= 0x393 && c <= 0x3A9) return ((kGreek >> (c - 0x393)) & 1U) != 0 ? kBasic : kNone;
    if (c == U'€') return kExtension;
    return kNone;
}

constexpr std::size_t partsFor(std::size_t units, std::size_t single, std::size_t perPart) noexcept {
    return units <= single ? 1 : (units + perPart - 1) / perPart;
}

}  // namespace

SegmentCount countSegments(std::string_view text) noexcept {
    std::size_t septets = 0;
    std::size_t utf16Units = 0;
    bool gsm = true;
    for (std::size_t pos = 0; pos < text.size();) {
        const Utf8Decoded decoded = decodeUtf8(text, pos);
        const char32_t cp = decoded.code;
        pos += decoded.length;
        utf16Units += cp >= 0x10000 ? 2 : 1;
        if (gsm) {
            const std::uint8_t septetsOfChar = gsmSeptets(cp);
            if (septetsOfChar == kNone) {
                gsm = false;
            } else {
                septets += septetsOfChar;
            }
        }
    }

    SegmentCount count;
    if (gsm) {
        count.encoding = Encoding::GSM7;
        count.characters = septets;
        count.parts = partsFor(septets, 160, 153);
    } else {
        count.encoding = Encoding::UCS2;
        count.characters = utf16Units;
        count.parts = partsFor(utf16Units, 70, 67);
    }
    return count;
}

}  // namespace qelsms
