// Goods groups, storno and barcodes: the newest registers only, with fixed-width name fields;
// and the sale line of long (9-digit) articles.
#include <functional>

#include "tests/engine/register_models.h"

namespace vsktest {
namespace {

struct ExtraRow {
    const char* what;
    std::function<int16_t(CVSKCore&)> op;
    std::string sent;  // on a level 8 or 9 register
};

const std::string kLong(30, 'g');

const ExtraRow kExtraRows[] = {
    {"barcode", [](CVSKCore& c) { return c.PrintBarcode(0, 1, 0, "12"); }, "PCOD1000012"},
    {"barcode type is journal only",
     [](CVSKCore& c) { return c.PrintBarcode(7, 0, 1, "12345678901234567890"); },
     "PCOD010" + std::string("12345678901234567")},
    {"group opened", [](CVSKCore& c) { return c.OpenGoodsGroup(kLong); },
     "GRBG" + kLong.substr(0, 21)},
    {"group closed", [](CVSKCore& c) { return c.CloseGoodsGroup("Disc", "Up"); },
     "GRENDisc" + std::string(18, ' ') + "Up" + std::string(20, ' ')},
    {"long totals names go whole",
     [](CVSKCore& c) { return c.SetDiscountUpcountTotalsName(kLong, ""); },
     "ZDNM" + kLong + std::string(22, ' ')},
    {"storno", [](CVSKCore& c) { return c.Storn(); }, "STRN"},
};

class ReceiptExtrasTest : public ModelTest {};

TEST_F(ReceiptExtrasTest, CommandTextsOnTheNewestRegistersAndNothingElsewhere) {
    for (Model model : {Model::Family0, Model::Level7, Model::Level8, Model::Level9}) {
        ConnectAs(model);
        const bool newest = model == Model::Level8 || model == Model::Level9;
        for (const ExtraRow& row : kExtraRows) {
            SCOPED_TRACE(std::string(ModelName(model)) + ": " + row.what);
            m_register.ClearLog();
            EXPECT_EQ(row.op(*m_core), newest ? 1 : 0);
            EXPECT_EQ(SentFrames(), newest ? row.sent : "");
        }
    }
    EXPECT_EQ(m_core->GetLastErrorCode(), "");
}

TEST_F(ReceiptExtrasTest, RegisterRefusalFailsTheOperation) {
    ConnectAs(Model::Level9);
    m_core->SetShowErrorMessages(false);
    m_register.On("STRN", {{"SOFTCOMMAN"}});
    EXPECT_EQ(m_core->Storn(), 0);
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTCOMMAN");
    m_core->CloseGoodsGroup("D", "U");
    m_core.reset();  // closes and flushes the journal
    EXPECT_NE(
        JournalText().find("CloseGoodsGroup(szDiscountTotalsName = D, szUpcountTotalsName = U"),
        std::string::npos);
}

TEST_F(ReceiptExtrasTest, AcceptedStornoTakesTheLastLineOutOfTheTotals) {
    ConnectAs(Model::Level9);
    ASSERT_EQ(m_core->OpenCheck("1"), 1);
    ASSERT_EQ(m_core->FiscalLineEx("Bread", 2, 1000, 0, 2, 0, 0, 0, "", 0), 2000);
    ASSERT_EQ(m_core->FiscalLineEx("Milk", 1, 1205, 0, 2, 0, 0, 0, "", 0), 1205);
    ASSERT_EQ(m_core->GetCheckSum(), 3205);

    EXPECT_EQ(m_core->Storn(), 1);
    EXPECT_EQ(m_core->GetCheckSum(), 2000);
    EXPECT_EQ(m_core->RunningTotal(), 2000);
    // Only the previous line can be cancelled: a second storno leaves the totals alone.
    EXPECT_EQ(m_core->Storn(), 1);
    EXPECT_EQ(m_core->GetCheckSum(), 2000);

    // A storno the register refused changes nothing.
    ASSERT_EQ(m_core->FiscalLineEx("Tea", 1, 500, 0, 2, 0, 0, 0, "", 0), 500);
    m_core->SetShowErrorMessages(false);
    m_register.On("STRN", {{"SOFTPROTOC"}});
    EXPECT_EQ(m_core->Storn(), 0);
    EXPECT_EQ(m_core->GetCheckSum(), 2500);
}

// With the register in long-article mode, levels 8 and 9 take "FICD" with the two tax letters,
// a 9-digit article and a 6-digit quantity up to 999999; level 4 keeps "FISC", 4-digit articles
// and quantities up to 99999.
TEST_F(ReceiptExtrasTest, LongArticlesTakeTheWideSaleLineOnTheNewestLevelsOnly) {
    for (Model model : {Model::Level4, Model::Level8, Model::Level9}) {
        SCOPED_TRACE(ModelName(model));
        m_register.On("GLCN", {{"GLCN" + std::string(30, '0') + "2"}});
        ConnectAs(model);
        ASSERT_EQ(m_core->OpenCheck("1"), 1);
        const bool wide = model != Model::Level4;
        m_register.ClearLog();
        EXPECT_EQ(m_core->FiscalLine("Tea", 2, 100, 0, 0, 0, 42), 200);
        const std::string line = SentFrames();
        EXPECT_EQ(line.substr(0, 4), wide ? "FICD" : "FISC");
        EXPECT_EQ(line.substr(line.size() - (wide ? 9 : 4)), wide ? "000000042" : "0042");
        if (wide) {
            // The two tax letters in argument order (А and В), right before the article.
            m_register.ClearLog();
            m_core->FiscalLine("Tea", 2, 100, 0, 1, 3, 42);
            const std::string taxed = SentFrames();
            EXPECT_EQ(taxed.substr(taxed.size() - 11, 2), "\xC0\xC2") << taxed;
        }
        m_core->SetShowErrorMessages(false);
        EXPECT_EQ(m_core->FiscalLine("Tea", 150000, 1, 1, 0, 0, 42), wide ? 150 : 0);
        m_core->AbortCheck();
    }
}

}  // namespace
}  // namespace vsktest
