// Device settings commands: the command texts per register kind, the clock's checks, and the
// state the settings leave behind.
#include <functional>

#include "tests/engine/register_models.h"

namespace vsktest {
namespace {

using Op = std::function<int16_t(CVSKCore&)>;

struct CommandRow {
    Model model;
    const char* what;
    Op op;
    std::string sent;  // "" : refused without sending
};

const std::string kFifty(50, 'h');

const CommandRow kCommandRows[] = {
    {Model::Level4, "time", [](CVSKCore& c) { return c.SetInternalTime(23, 59, 59); },
     "CTIM235959"},
    {Model::Level4, "time padded", [](CVSKCore& c) { return c.SetInternalTime(9, 5, 0); },
     "CTIM090500"},
    {Model::Level4, "alias", [](CVSKCore& c) { return c.SetDeptAlias("Grocery"); }, "DEPTGroce"},
    {Model::Level4, "wording mode", [](CVSKCore& c) { return c.CheckMessagesMode(7); }, "TMOD0"},
    {Model::Level4, "wording mode 3", [](CVSKCore& c) { return c.CheckMessagesMode(3); }, "TMOD3"},
    {Model::Level4, "currency", [](CVSKCore& c) { return c.SetCurrentCurrency("EURO"); },
     "SENCEUR"},
    {Model::Level4, "on-sale taxes", [](CVSKCore& c) { return c.SetOnSaleTaxes(-1); }, "PPOD1"},
    {Model::Level4, "double width", [](CVSKCore& c) { return c.SetPrintingDoubleWidth(5); },
     "DSTR1"},
    {Model::Level4, "article mode", [](CVSKCore& c) { return c.SetArticleMode(12); },
     "ARMO12|GLCN"},
    {Model::Level7, "table mode", [](CVSKCore& c) { return c.SetTableMode(1); }, "TABL"},
    {Model::Family0, "table mode", [](CVSKCore& c) { return c.SetTableMode(1); }, "TABL1"},
    {Model::Family0, "head line", [](CVSKCore& c) { return c.SetCheckHeadLine(kFifty); },
     "HEAD" + kFifty.substr(0, 18)},
    {Model::Level8, "head line", [](CVSKCore& c) { return c.SetCheckHeadLine(kFifty); },
     "HEAD" + kFifty.substr(0, 43)},
    {Model::Level4, "bottom line", [](CVSKCore& c) { return c.SetCheckBottomLine(kFifty); },
     "BOTM" + kFifty.substr(0, 43)},
    // Bottom lines by number: only on the newest registers.
    {Model::Level9, "bottom line ex",
     [](CVSKCore& c) { return c.SetCheckBottomLineEx(12, 1, 5, "Thanks"); }, "BOTm010Thanks"},
    {Model::Level8, "bottom line ex",
     [](CVSKCore& c) { return c.SetCheckBottomLineEx(3, 0, 2, kFifty); },
     "BOTm302" + kFifty.substr(0, 43)},
    {Model::Level9, "bottom line cleared",
     [](CVSKCore& c) { return c.SetCheckBottomLineEx(3, 1, 1, ""); }, "BOTm3"},
    {Model::Level9, "bottom lines dropped",
     [](CVSKCore& c) { return c.SetCheckBottomLineEx(-1, 1, 1, "Thanks"); }, "BOTm"},
    {Model::Level7, "bottom line ex",
     [](CVSKCore& c) { return c.SetCheckBottomLineEx(1, 1, 1, "Thanks"); }, ""},
    {Model::Level8, "doubled tax", [](CVSKCore& c) { return c.SetDoubledTaxCalcMode(1, 3); },
     "NLPR\xC0\xC2"},
    {Model::Level8, "doubled tax same", [](CVSKCore& c) { return c.SetDoubledTaxCalcMode(2, 2); },
     ""},
    {Model::Level8, "doubled tax range", [](CVSKCore& c) { return c.SetDoubledTaxCalcMode(1, 7); },
     ""},
    {Model::Level4, "doubled tax", [](CVSKCore& c) { return c.SetDoubledTaxCalcMode(1, 3); }, ""},
    {Model::Level9, "line printing", [](CVSKCore& c) { return c.SetLinePrintingOn(); }, "STFL"},
    {Model::Level7, "line printing", [](CVSKCore& c) { return c.SetLinePrintingOn(); }, ""},
    {Model::Level8, "discount print", [](CVSKCore& c) { return c.SetDiscountPrintMode(12); },
     "NPDI12"},
    {Model::Family0, "discount print", [](CVSKCore& c) { return c.SetDiscountPrintMode(1); }, ""},
    {Model::Level9, "continuous paper", [](CVSKCore& c) { return c.SetContinousPaperPrintMode(1); },
     "NCDC1"},
    {Model::Level4, "continuous paper", [](CVSKCore& c) { return c.SetContinousPaperPrintMode(1); },
     ""},
};

class SettingsTest : public ModelTest {};

TEST_F(SettingsTest, CommandTextsPerRegister) {
    for (Model model :
         {Model::Family0, Model::Level4, Model::Level7, Model::Level8, Model::Level9}) {
        ConnectAs(model);
        for (const CommandRow& row : kCommandRows) {
            if (row.model != model) {
                continue;
            }
            SCOPED_TRACE(std::string(ModelName(model)) + ": " + row.what);
            m_register.ClearLog();
            EXPECT_EQ(row.op(*m_core), row.sent.empty() ? 0 : 1);
            EXPECT_EQ(SentFrames(), row.sent);
        }
    }
    EXPECT_TRUE(m_ui.boxes.empty());  // refusals record and show nothing
    EXPECT_EQ(m_core->GetLastErrorCode(), "");
}

TEST_F(SettingsTest, InvalidTimeIsRefusedWithItsOwnError) {
    Connect();
    for (auto [h, m, s] : {std::tuple{24, 0, 0}, {0, 60, 0}, {0, 0, -1}}) {
        m_ui.boxes.clear();
        EXPECT_EQ(m_core->SetInternalTime(h, m, s), 0);
        EXPECT_EQ(m_register.Frames().size(), 0u);
        ASSERT_EQ(m_ui.boxes.size(), 1u);
        EXPECT_EQ(m_ui.boxes[0].text, Text(3015));
        EXPECT_EQ(m_ui.boxes[0].icon, vsk::MsgIcon::Exclamation);
    }
    EXPECT_EQ(m_core->GetLastErrorCode(), "INVALIDTIME");
    m_core->SetShowErrorMessages(false);
    m_ui.boxes.clear();
    EXPECT_EQ(m_core->SetInternalTime(-1, 0, 0), 0);
    EXPECT_TRUE(m_ui.boxes.empty());
    EXPECT_EQ(m_core->GetLastErrorMessage(), Text(3015));
}

TEST_F(SettingsTest, ClockAndWordingModeCancelTheReceiptAndCloseTheDocumentFirst) {
    Connect();
    OpenReceipt();
    EXPECT_EQ(m_core->SetInternalTime(12, 0, 0), 1);
    EXPECT_EQ(SentFrames(), "CANC|CTIM120000");
    EXPECT_FALSE(m_core->IsCheckOpen());
    ASSERT_EQ(m_core->OpenDocument(0), 1);
    m_register.ClearLog();
    EXPECT_EQ(m_core->CheckMessagesMode(1), 1);
    EXPECT_EQ(SentFrames(), "DEND|TMOD1");
    EXPECT_FALSE(m_core->IsDocumentOpen());
}

TEST_F(SettingsTest, TaxesCalcModeSetsPerLineTaxesOnlyWhenTheRegisterAgrees) {
    Connect();
    struct {
        int32_t onTotal;
        const char* sent;
        bool perLine;
    } rows[] = {{0, "PPMD", true}, {1, "PPMD1", false}, {0, "PPMD", true}, {-1, "PPMD", false}};
    for (const auto& row : rows) {
        m_register.ClearLog();
        EXPECT_EQ(m_core->SetTaxesCalcMode(row.onTotal), 1);
        EXPECT_EQ(SentFrames(), row.sent);
        EXPECT_EQ(m_core->PerLineTaxes(), row.perLine) << row.onTotal;
    }
    m_core->SetShowErrorMessages(false);
    m_register.On("PPMD", {{"SOFTPROTOC"}});
    EXPECT_EQ(m_core->SetTaxesCalcMode(0), 0);
    EXPECT_FALSE(m_core->PerLineTaxes());
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTPROTOC");
}

TEST_F(SettingsTest, ArticleModeRereadsTheCountersOnlyAfterSuccess) {
    ConnectAs(Model::Level8);
    m_register.On("GLCN", {{"GLCN" + std::string(30, '0') + "2"}});
    EXPECT_EQ(m_core->SetArticleMode(2), 1);
    EXPECT_EQ(m_core->ArticleMode(), 2);
    EXPECT_EQ(m_core->PrinterInfo().m_lMaxArticles, 999999999);
    m_core->SetShowErrorMessages(false);
    m_register.On("ARMO", {{"SOFTPROTOC"}});
    m_register.ClearLog();
    EXPECT_EQ(m_core->SetArticleMode(0), 0);
    EXPECT_EQ(SentFrames(), "ARMO0");
    EXPECT_EQ(m_core->ArticleMode(), 2);
}

TEST_F(SettingsTest, JournalKeepsTheArgumentsAsReceived) {
    Connect();
    m_core->SetCurrentCurrency("EURO");
    m_core->SetDeptAlias("100%s");  // client text is data, not a format
    m_core->SetInternalTime(25, 1, 2);
    m_core->SetTableMode(1);  // sent as "TABL" here, logged as asked
    m_core.reset();           // closes and flushes the journal
    std::string journal = JournalText();
    EXPECT_NE(journal.find("SetCurrentCurrency(szCurrencyName = EURO"), std::string::npos);
    EXPECT_NE(journal.find("SetDeptAlias(Alias = 100%s)"), std::string::npos);
    EXPECT_NE(journal.find("SetInternalTime(Hours = 25, Minutes = 1, Seconds = 2)"),
              std::string::npos);
    EXPECT_NE(journal.find("SetTableMode(TableMode = 1)"), std::string::npos);
}

}  // namespace
}  // namespace vsktest
