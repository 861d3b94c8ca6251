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

}  // namespace
