// Sale lines in article mode 2 against the scripted register: the longer name, the six-digit
// quantity, the two taxes as letters and, where the register has them, nine-digit articles.
#include <string>

#include "tests/engine/engine_fixture.h"

namespace vsktest {
namespace {

// Tax letters in Windows-1251: А, Б, В, Г, Д.
constexpr char kA = '\xC0', kB = '\xC1', kV = '\xC2', kG = '\xC3', kD = '\xC4';

const std::string kEmptyDiscount(1 + 13 + 9, '0');

std::string Letters(char first, char second) {
    return std::string{first, second};
}

class LongArticleTest : public EngineTest {
public:
    // Connects to a register whose counters report article mode 2.
    void ConnectInArticleMode2(const std::string& firmware, const std::string& firmwareDate) {
        m_core.reset();
        m_conf = ConfFields{};
        m_conf.firmware = firmware;
        m_conf.firmwareDate = firmwareDate;
        m_register.On("GLCN", {{"GLCN" + std::string(30, '0') + "2"}});
        m_core = std::make_unique<CVSKCore>(7, &m_clock, &m_ui, m_dir + "/journal");
        Connect();
        ASSERT_EQ(m_core->ArticleMode(), 2);
    }

    // The one line command the call sent, or "" when none went out.
    std::string LineSent(const char* word) const { return m_register.Last(word); }
};

struct NineDigitKind {
    const char *name, *firmware, *firmwareDate;
    int level;
};

// The registers that take nine-digit articles in article mode 2.
const NineDigitKind kNineDigitKinds[] = {
    {"level 6", "JPO7", "20050101", 6},
    {"level 8", "KBLX", "20070609", 8},
    {"level 9", "ZULB", "20090217", 9},
};

TEST_F(LongArticleTest, NineDigitArticleLinesCarryEachTaxAsItsOwnLetter) {
    for (const NineDigitKind& kind : kNineDigitKinds) {
        SCOPED_TRACE(kind.name);
        ConnectInArticleMode2(kind.firmware, kind.firmwareDate);
        ASSERT_EQ(m_core->ProtocolLevel(), kind.level);
        OpenReceipt();

        // Two different taxes: the second letter is the second tax's.
        EXPECT_GT(m_core->FiscalLineEx("Wholemeal bread, sliced 750 g", 2, 1205, 0, 2, 5, 123456789,
                                       -1, "", 0),
                  0);
        EXPECT_EQ(LineSent("FICD"), "FICD" + std::string("Wholemeal bread, sliced ") + "000002410" +
                                        "000001205" + "000002" + "10" + Letters(kB, kD) +
                                        "123456789" + kEmptyDiscount + "750 g");

        // The second tax alone, the largest quantity, a discount, no article.
        m_register.ClearLog();
        EXPECT_GT(m_core->FiscalLineEx("Milk", 999999, 1, 0, 0, 3, 0, 0, "Card", 5), 0);
        EXPECT_EQ(LineSent("FICD"), "FICD" + std::string("Milk") + std::string(20, ' ') +
                                        "000999999" + "000000001" + "999999" + "10" +
                                        Letters('0', kV) + "000000000" + "-Card         " +
                                        "000000005");

        // The first tax alone on a weighed good.
        m_register.ClearLog();
        EXPECT_GT(m_core->FiscalLineEx("Cheese", 1500, 999, 1, 4, 0, 42, -1, "", 0), 0);
        EXPECT_EQ(LineSent("FICD"), "FICD" + std::string("Cheese") + std::string(18, ' ') +
                                        "000001499" + "000000999" + "001500" + "00" +
                                        Letters(kG, '0') + "000000042");
        EXPECT_EQ(m_core->AbortCheck(), 1);
    }
}

TEST_F(LongArticleTest, NineDigitReturnLinesAndTheirLimits) {
    const std::string tail(130, 'x');
    for (const NineDigitKind& kind : kNineDigitKinds) {
        SCOPED_TRACE(kind.name);
        ConnectInArticleMode2(kind.firmware, kind.firmwareDate);
        ASSERT_EQ(m_core->OpenReturnCheck("1"), 1);
        m_register.ClearLog();

        EXPECT_GT(m_core->FiscalLineEx("Returned jar", 1, 300, 0, 3, 1, 999999999, -1, "", 0), 0);
        EXPECT_EQ(LineSent("BFCD"), "BFCD" + std::string("Returned jar") + std::string(12, ' ') +
                                        "000000300" + "000000300" + "000001" + "10" +
                                        Letters(kV, kA) + "999999999");

        // A name continues after the 24 characters of the name field, up to 104 more.
        m_register.ClearLog();
        EXPECT_GT(m_core->FiscalLineEx(std::string(24, 'n') + tail, 1, 100, 0, 0, 0, 0, -1, "", 0),
                  0);
        const std::string line = LineSent("BFCD");
        ASSERT_GE(line.size(), 104u);
        EXPECT_EQ(line.substr(line.size() - 105), kEmptyDiscount.substr(22) + tail.substr(0, 104));

        // A seventh quantity digit is refused before anything is sent, and cancels the receipt.
        m_register.ClearLog();
        EXPECT_EQ(m_core->FiscalLine("Too many", 1000000, 1, 0, 0, 0, 0), 0);
        EXPECT_EQ(m_register.Count("BFCD"), 0u);
        EXPECT_EQ(m_register.Count("CANC"), 1u);
        EXPECT_FALSE(m_core->IsCheckOpen());
    }
}

// A register without nine-digit articles keeps the four-character article and the quantity
// limit in article mode 2, but takes the longer name, six quantity digits and the tax letters.
TEST_F(LongArticleTest, FourCharacterArticleRegistersInArticleMode2) {
    Connect();  // level 4
    m_register.On("GLCN", {{"GLCN" + std::string(30, '0') + "2"}});
    ASSERT_EQ(m_core->SetArticleMode(2), 1);
    ASSERT_EQ(m_core->ArticleMode(), 2);
    OpenReceipt();

    EXPECT_GT(
        m_core->FiscalLineEx("Wholemeal bread, sliced 750 g", 2, 1205, 0, 1, 2, 9999, -1, "", 0),
        0);
    EXPECT_EQ(LineSent("FISC"), "FISC" + std::string("Wholemeal bread, sliced ") + "000002410" +
                                    "000001205" + "000002" + "10" + Letters(kA, kB) + "9999" +
                                    kEmptyDiscount + "750 g");
    EXPECT_EQ(m_register.Count("FICD"), 0u);

    m_register.ClearLog();
    EXPECT_EQ(m_core->FiscalLine("Too many", 100000, 1, 0, 0, 0, 0), 0);
    EXPECT_EQ(m_register.Count("FISC"), 0u);
    EXPECT_EQ(m_core->GetLastErrorCode(), "TOOBIGQTY");
}

}  // namespace
}  // namespace vsktest
