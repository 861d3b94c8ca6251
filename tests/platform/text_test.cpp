#include "platform/text.h"

#include <gtest/gtest.h>

namespace {

TEST(TextTest, PaddingKeepsOrCutsAsAsked) {
    EXPECT_EQ(vsk::PadRight("ab", 4), "ab  ");
    EXPECT_EQ(vsk::PadRight("abcdef", 4), "abcdef");  // a field that may grow stays whole
    EXPECT_EQ(vsk::PadRight("7", 3, '0'), "700");
    EXPECT_EQ(vsk::FixedField("abcdef", 4), "abcd");
    EXPECT_EQ(vsk::FixedField("ab", 4), "ab  ");
    EXPECT_EQ(vsk::FixedField("", 2, '0'), "00");
    EXPECT_EQ(vsk::FixedField("abc", 0), "");
}

TEST(TextTest, AnEmptyWordIsNeverFound) {
    EXPECT_TRUE(vsk::Contains("xxREADYxx", "READY"));
    EXPECT_TRUE(vsk::Contains("READY", "READY"));
    EXPECT_FALSE(vsk::Contains("READ", "READY"));
    EXPECT_FALSE(vsk::Contains("READY", ""));
    EXPECT_FALSE(vsk::Contains("", ""));
}

TEST(TextTest, TrimTakesOnlyTheBlanksAsked) {
    EXPECT_EQ(vsk::Trim(" \tAnna \t"), "Anna");
    EXPECT_EQ(vsk::Trim(" \t "), "");
    EXPECT_EQ(vsk::Trim("a b"), "a b");
    EXPECT_EQ(vsk::Trim("\r\nAnna\n"), "\r\nAnna\n");  // line ends are no blanks by default
    EXPECT_EQ(vsk::Trim("\r\n Anna\v\f", vsk::kWhiteSpace), "Anna");
    EXPECT_EQ(vsk::TrimRight(" token \r\n", " \r\n"), " token");
    EXPECT_EQ(vsk::TrimRight("\n\n", "\n"), "");
}

TEST(TextTest, LetterCaseAndHexAreAsciiOnly) {
    EXPECT_EQ(vsk::LowerAscii("Software\\VSK-Manager"), "software\\vsk-manager");
    EXPECT_EQ(vsk::LowerAscii("\xC0\xDF"), "\xC0\xDF");  // Windows-1251 letters keep their case
    std::string hex;
    for (uint8_t byte : {0x00, 0x0F, 0xA5, 0xFF})
        vsk::AppendHex(hex, byte, vsk::HexCase::Lower);
    vsk::AppendHex(hex, 0xA5, vsk::HexCase::Upper);
    EXPECT_EQ(hex, "000fa5ffA5");
    for (char c : std::string_view("09afAF"))
        EXPECT_EQ(vsk::HexValue(c), c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10) << c;
    for (char c : std::string_view("/:@Gg` \xC0"))
        EXPECT_EQ(vsk::HexValue(c), -1) << c;
}

}  // namespace

// A slip of the fingers finds the name meant; a word far from every name finds none.
TEST(TextTest, NearestNameForgivesASlipButNotAnotherWord) {
    const std::vector<std::string> names = {"XReport", "ZReport", "XReportAsync", "OpenCheck"};
    const std::pair<const char*, const char*> rows[] = {
        {"XRepot", "XReport"},   // a letter left out
        {"xreport", "XReport"},  // letter case is no difference
        {"XRpeort", "XReport"},  // two neighbours swapped
        {"ZReprot", "ZReport"},  // the nearest, not the first
        {"OpenChek", "OpenCheck"}, {"Frobnicate", ""}, {"X", ""}, {"", ""},
    };
    for (const auto& [word, nearest] : rows)
        EXPECT_EQ(vsk::NearestName(word, names), nearest) << word;
}
