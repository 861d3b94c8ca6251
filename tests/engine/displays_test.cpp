// Customer displays against the scripted register: the text display's lines, the numeric
// display's number, point position and label kind, and the external display's text.
#include "tests/engine/engine_fixture.h"
#include "tests/engine/register_variants.h"

namespace vsktest {
namespace {

using Strings = std::vector<std::string>;

class DisplayTest : public EngineTest {
protected:
    void ConnectAs(Variant variant) {
        m_conf = IdentityOf(variant);
        Connect();
    }
    std::string Put(const std::string& line1Utf8, const std::string& line2Utf8) {
        m_register.ClearLog();
        EXPECT_EQ(m_core->PutToDisplay(vsk::Utf8ToCp1251(line1Utf8), vsk::Utf8ToCp1251(line2Utf8)),
                  1);
        Strings frames = m_register.Frames();
        return frames.size() == 1 ? frames[0] : "<" + std::to_string(frames.size()) + " frames>";
    }
};

TEST_F(DisplayTest, NumericDisplayNumberPointAndLabel) {
    ConnectAs({1, 4});  // display setting 1: numbers only
    struct Row {
        const char *line1, *line2, *command;
    } rows[] = {
        {"СУМА:", "12,50", "DISp23      1250"},
        {"PRICE 7", "", "DISp10         7"},
        {"1.2.3", "", "DISp02        12"},   // a second point ends the number
        {"hello", "", "DISp00          "},   // no digits, no label
        {"сума", " 3", "DISp20         3"},  // labels are found in upper case
        {"Цiна", "5.", "DISp11         5"},  // Latin i in the label word
        {"ціна", "5", "DISp00         5"},   // the Ukrainian letter is another word
        {"Сдача", "0.07", "DISp33       007"},
        {"cash price", "1", "DISp10         1"},          // price is tested before change
        {"Total", "12345678901234", "DISp001234567890"},  // cut to ten characters
        {"", "123456789.12", "DISp01 123456789"},         // the point was the tenth character
        {"x", ".", "DISp01          "},
        {"a1b2", "", "DISp00         1"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Put(row.line1, row.line2), vsk::Utf8ToCp1251(row.command))
            << row.line1 << "|" << row.line2;
    }
    EXPECT_EQ(Put("", ""), "DISp");
}

TEST_F(DisplayTest, TextDisplayLinesOnFamilyZero) {
    ConnectAs({0, 1});
    EXPECT_EQ(Put("ABCD", ""), "DISP1ABCD            ");
    EXPECT_EQ(Put("", "Хлеб"), vsk::Utf8ToCp1251("DISP2Хлеб            "));
    EXPECT_EQ(Put("", ""), "DISP");
    m_register.ClearLog();
    EXPECT_EQ(m_core->PutToDisplay("Seventeen chars!!", "second"), 1);
    EXPECT_EQ(m_register.Frames(), (Strings{"DISP1Seventeen chars!", "DISP2second          "}));
}

TEST_F(DisplayTest, TextDisplayOnTheNewerRegistersByItsSettingAndARefusedFirstLine) {
    m_register.On("dset", {{"dset200"}});
    ConnectAs({1, 8});
    ASSERT_EQ(m_core->PrinterInfo().m_lDisplaySetting1, 2);
    m_core->SetShowErrorMessages(false);
    m_register.On("DISP1", {{"SOFTPROTOC"}});
    EXPECT_EQ(m_core->PutToDisplay("one", "two"), 0);
    EXPECT_EQ(m_register.Frames(), Strings{"DISP1one             "});
}

TEST_F(DisplayTest, ExternalDisplayCutsTheTextAndWaitsLonger) {
    Connect();
    std::string line;
    for (int i = 0; i < 250; ++i) {
        line += static_cast<char>('a' + i % 26);
    }
    EXPECT_EQ(m_core->PutToExternalDisplay(line, 1), 1);
    EXPECT_EQ(m_core->PutToExternalDisplay(line, 0), 1);
    EXPECT_EQ(m_core->PutToExternalDisplay("", 0), 1);
    EXPECT_EQ(m_register.Frames(),
              (Strings{"DIsp\x1B@" + line.substr(0, 198), "DIsp" + line.substr(0, 200), "DIsp"}));
    m_core->Journal().Close();  // flushes the file
    EXPECT_NE(JournalText().find("PutToExternalDisplay(Line = abc"), std::string::npos);
    EXPECT_NE(JournalText().find("WaitForReadyMsg(Timeout = 5000)"), std::string::npos);
}

}  // namespace
}  // namespace vsktest
