#include "platform/CodePage.h"

#include <gtest/gtest.h>

namespace merivo {
namespace {

// "Привет, мир! Ёж №5" in Windows-1251.
const std::string kRussianCp1251 =
    "\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0! \xA8\xE6 \xB9"
    "5";
const std::string kRussianUtf8 = "Привет, мир! Ёж №5";

TEST(CodePageTest, RussianTextRoundTrips) {
    EXPECT_EQ(Cp1251ToUtf8(kRussianCp1251), kRussianUtf8);
    EXPECT_EQ(Utf8ToCp1251(kRussianUtf8), kRussianCp1251);
}

TEST(CodePageTest, EveryDefinedByteRoundTrips) {
    for (int byte = 1; byte < 256; ++byte) {
        if (byte == 0x98) continue;  // the one byte the code page leaves unused
        const std::string one(1, static_cast<char>(byte));
        EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(one)), one) << "byte " << byte;
    }
    EXPECT_EQ(Cp1251ToUtf8("\x98"), "?");
}

TEST(CodePageTest, SymbolsOfTheUpperHalf) {
    EXPECT_EQ(Cp1251ToUtf8("\x88\x96\xAB\xBB"), "€–«»");
    EXPECT_EQ(Cp1251ToUtf8("\xA5\xB4\xB2\xB3"), "ҐґІі");
}

TEST(CodePageTest, UnknownAndMalformedCharactersBecomeQuestionMarks) {
    EXPECT_EQ(Utf8ToCp1251("a中b😀c"), "a?b?c");
    EXPECT_EQ(Utf8ToCp1251("x\xD0"), "x?");     // cut short at the end
    EXPECT_EQ(Utf8ToCp1251("\xD0x"), "?x");     // continuation byte missing
    EXPECT_EQ(Utf8ToCp1251("\x80\xFF"), "??");  // stray bytes
    EXPECT_EQ(Utf8ToCp1251(std::string("a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
}  // namespace merivo
