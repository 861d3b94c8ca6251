#include "resources/strings.h"

#include "resources/failure.h"

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

// The failure table is looked up three ways (by kind, by name, by word); each must lead back to
// its own row, and a word two rows share must name the first (CONNTIMEOUT is silence, not the
// money that was short).
TEST(FailureTableTest, EveryRowIsFoundByItsKindItsNameAndItsWord) {
    size_t count = 0;
    const vsk::FaultRow* rows = vsk::FaultRows(&count);
    ASSERT_GT(count, 20u);
    for (size_t i = 0; i < count; ++i) {
        const vsk::FaultRow& row = rows[i];
        SCOPED_TRACE(std::string(row.name));
        EXPECT_EQ(&vsk::RowOf(row.fault), &row);
        EXPECT_EQ(vsk::FaultOfName(row.name, vsk::Fault::Refused), row.fault);
        EXPECT_EQ(row.word.empty(), row.fault == vsk::Fault::Refused);
        if (!row.word.empty()) {
            const vsk::Fault first = vsk::FaultOfWord(row.word);
            EXPECT_EQ(vsk::RowOf(first).word, row.word);
            EXPECT_LE(static_cast<size_t>(first), i);
        }
        EXPECT_TRUE(row.http >= 400 && row.http <= 503) << "a refusal's status";
        EXPECT_LT(row.hresult, 0) << "a failure's HRESULT has its severity bit";
    }
    EXPECT_EQ(vsk::FaultOfWord("CONNTIMEOUT"), vsk::Fault::NoAnswer);
    EXPECT_EQ(vsk::FaultOfWord("SOFTPARAM"), vsk::Fault::Refused);
    EXPECT_EQ(vsk::FaultOfName("NoSuchKind", vsk::Fault::Ending), vsk::Fault::Ending);
    EXPECT_EQ(vsk::Failure(vsk::Fault::NotEnoughMoney).word, "CONNTIMEOUT");
}
