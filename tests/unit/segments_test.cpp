#include <qelsms/segments.hpp>

#include <gtest/gtest.h>

#include <string>

namespace {

using qelsms::Encoding;

std::string repeat(std::string_view piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

struct Case {
    const char* name;
    std::string text;
    Encoding encoding;
    std::size_t characters;
    std::size_t parts;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class SegmentCounting : public testing::TestWithParam<Case> {};

TEST_P(SegmentCounting, CountsCharactersAndParts) {
    const Case& c = GetParam();
    const qelsms::SegmentCount count = qelsms::countSegments(c.text);
    EXPECT_EQ(count.encoding, c.encoding);
    EXPECT_EQ(count.characters, c.characters);
    EXPECT_EQ(count.parts, c.parts);
}

const std::string kArabic = "مرحبا";  // 5 letters, 10 bytes
const std::string kEmoji = "😀";       // outside the BMP: a surrogate pair

// clang-format off
INSTANTIATE_TEST_SUITE_P(Gsm7, SegmentCounting, testing::Values(
    Case{"Empty", "", Encoding::GSM7, 0, 1},
    Case{"Plain", "Hello, world!", Encoding::GSM7, 13, 1},
    Case{"Exactly160", repeat("a", 160), Encoding::GSM7, 160, 1},
    Case{"Just161", repeat("a", 161), Encoding::GSM7, 161, 2},
    Case{"Exactly306", repeat("a", 306), Encoding::GSM7, 306, 2},
    Case{"Just307", repeat("a", 307), Encoding::GSM7, 307, 3},
    Case{"ExtensionFillsTo160", repeat("a", 158) + "€", Encoding::GSM7, 160, 1},
    Case{"ExtensionCrosses160", repeat("a", 159) + "{", Encoding::GSM7, 161, 2},
    Case{"EveryExtensionCountsTwo", "^{}\\[~]|€\f", Encoding::GSM7, 20, 1},
    Case{"AllBasicNonAscii", "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ ¤¡ÄÖÑÜ§¿äöñüà", Encoding::GSM7, 45, 1},
    Case{"LongExtensionsOnly", repeat("€", 80), Encoding::GSM7, 160, 1},
    Case{"LongExtensionsOverflow", repeat("€", 81), Encoding::GSM7, 162, 2}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Ucs2, SegmentCounting, testing::Values(
    Case{"Arabic", kArabic, Encoding::UCS2, 5, 1},
    Case{"Exactly70", repeat("م", 70), Encoding::UCS2, 70, 1},
    Case{"Just71", repeat("م", 71), Encoding::UCS2, 71, 2},
    Case{"Exactly134", repeat("م", 134), Encoding::UCS2, 134, 2},
    Case{"Just135", repeat("م", 135), Encoding::UCS2, 135, 3},
    Case{"OneNonGsmTurnsAllUcs2", repeat("a", 69) + "م", Encoding::UCS2, 70, 1},
    Case{"ExtensionCountsOnceInUcs2", repeat("€", 69) + "م", Encoding::UCS2, 70, 1},
    Case{"EmojiIsTwoUnits", kEmoji, Encoding::UCS2, 2, 1},
    Case{"EmojiFill70", repeat(kEmoji, 35), Encoding::UCS2, 70, 1},
    Case{"EmojiCross70", repeat(kEmoji, 35) + "a", Encoding::UCS2, 71, 2},
    // Lookalikes of GSM characters that have no GSM code of their own.
    Case{"GraveAccent", "`", Encoding::UCS2, 1, 1},
    Case{"LowercaseCCedilla", "ç", Encoding::UCS2, 1, 1},
    Case{"GreekCapitalAlpha", "Α", Encoding::UCS2, 1, 1},
    Case{"GreekSmallDelta", "δ", Encoding::UCS2, 1, 1},
    Case{"Tab", "a\tb", Encoding::UCS2, 3, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Each maximal ill-formed subsequence is one U+FFFD, which is not GSM.
INSTANTIATE_TEST_SUITE_P(InvalidUtf8, SegmentCounting, testing::Values(
    Case{"StrayContinuation", "ab\x80", Encoding::UCS2, 3, 1},
    Case{"InvalidLeadByte", "\xFF", Encoding::UCS2, 1, 1},
    Case{"TruncatedAtEnd", "abc\xE2\x82", Encoding::UCS2, 4, 1},
    Case{"TruncatedBeforeAscii", "\xE2\x82" "a", Encoding::UCS2, 2, 1},
    Case{"BadSecondByte", "\xE2\x28\xA1", Encoding::UCS2, 3, 1},
    Case{"Overlong", "\xC0\xAF", Encoding::UCS2, 2, 1},
    Case{"OverlongThreeByte", "\xE0\x80\xAF", Encoding::UCS2, 3, 1},
    Case{"EncodedSurrogate", "\xED\xA0\x80", Encoding::UCS2, 3, 1},
    Case{"AboveUnicode", "\xF4\x90\x80\x80", Encoding::UCS2, 4, 1},
    Case{"ManyInvalidBytes", repeat("\xFF", 71), Encoding::UCS2, 71, 2}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
