#include "resources/strings.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/codepage.h"

namespace {

struct Row {
    unsigned id;
    std::string_view utf8;
};

constexpr Row kRows[] = {
#define VSK_STRING(id, name, text) {id, text},
#include "resources/strings.def"
#undef VSK_STRING
};

TEST(StringsTest, EveryRowIsServedInBothEncodingsWithoutLoss) {
    for (const Row& row : kRows) {
        EXPECT_FALSE(row.utf8.empty()) << row.id;
        EXPECT_EQ(vsk::LoadStringUtf8(row.id), row.utf8) << row.id;
        // Every character has a Windows-1251 byte: converting back gives the same text.
        EXPECT_EQ(vsk::Cp1251ToUtf8(vsk::LoadString1251(row.id)), row.utf8) << row.id;
    }
}

TEST(StringsTest, Windows1251BytesOfUkrainianText) {
    // "Відміна чека..." — і is 0xB3 in Windows-1251.
    EXPECT_EQ(vsk::LoadString1251(3004), "\xC2\xB3\xE4\xEC\xB3\xED\xE0 \xF7\xE5\xEA\xE0...");
    EXPECT_EQ(vsk::LoadString1251(1000), "\xD1\xF2\xE0\xF0\xF2 \xEF\xF0\xEE\xE3\xF0\xE0\xEC\xE8");
    // "РЕЄСТРАЦІЯ": Є is 0xAA, І is 0xB2.
    EXPECT_EQ(vsk::LoadString1251(1008), "\xD0\xC5\xAA\xD1\xD2\xD0\xC0\xD6\xB2\xDF");
}

TEST(StringsTest, UnknownIdsAreEmpty) {
    for (unsigned id : {0u, 102u, 2038u, 4010u, 99999u}) {
        EXPECT_EQ(vsk::LoadString1251(id), "") << id;
        EXPECT_EQ(vsk::LoadStringUtf8(id), "") << id;
    }
}

TEST(StringsTest, TextsKeepTheirBlanksExactly) {
    EXPECT_EQ(vsk::LoadStringUtf8(2022), vsk::LoadStringUtf8(2021));
    EXPECT_EQ(vsk::LoadStringUtf8(2027).back(), ' ');
    EXPECT_EQ(vsk::LoadStringUtf8(2028).back(), ' ');
    EXPECT_NE(vsk::LoadStringUtf8(2035).find("'SETR'  (больше 5)."), std::string::npos);
    EXPECT_EQ(vsk::LoadStringUtf8(1001), "Стоп програми");
}

}  // namespace
