// Service and text documents and the small service actions against the scripted register: the
// two forms of a document line, the text document's printing, and the command texts of the
// service actions with their journal lines.
#include <functional>

#include "tests/engine/engine_fixture.h"
#include "tests/engine/register_variants.h"

namespace vsktest {
namespace {

using Strings = std::vector<std::string>;

class DocumentTest : public EngineTest {
protected:
    void ConnectAs(Variant variant) {
        m_conf = IdentityOf(variant);
        Connect();
    }
    void OpenServiceDocument() {
        ASSERT_EQ(m_core->OpenDocument(0), 1);
        m_register.ClearLog();
    }
};

TEST_F(DocumentTest, DocumentLineForms) {
    Connect();
    OpenServiceDocument();
    struct Row {
        const char* name;
        const char* sData;
        int32_t lData;
        const char* command;
    } rows[] = {
        {"B", "", 150, "DLINB000000000150"},
        {"B", "", 0, "DLINB"},  // a coded line may go without data
        {"L", "", -3, "DLINL"},
        {"A", "7", 99, "DLINA000000000007"},              // the text wins over the number
        {"B", "12345678901234", 0, "DLINB123456789012"},  // cut to 12
        {"XY", "12", 0, "ALINXY  000000000012"},
        {"M", "", 0, "ALINM   000000000000"},  // past 'L': a named line
        {"b", "", 5, "ALINb   000000000005"},  // codes are capitals only
        {"BB", "", 5, "ALINBB  000000000005"},
        {"Longname", "", 7, "ALINLong000000000007"},
        {"", "", 0, "ALIN    000000000000"},
    };
    for (const Row& row : rows) {
        m_register.ClearLog();
        EXPECT_EQ(m_core->DocumentLine(row.name, row.sData, row.lData), 1) << row.command;
        EXPECT_EQ(m_register.Frames(), Strings{row.command});
    }
    EXPECT_TRUE(m_core->IsDocumentOpen());
}

TEST_F(DocumentTest, DocumentLineNeedsAnOpenDocumentAndARefusedLineEndsIt) {
    Connect();
    EXPECT_EQ(m_core->DocumentLine("B", "", 1), 0);
    EXPECT_TRUE(m_register.Frames().empty());

    OpenServiceDocument();
    m_core->SetShowErrorMessages(false);
    m_register.On("DLIN", {{"SOFTPROTOC"}});
    EXPECT_EQ(m_core->DocumentLine("C", "", 100), 0);
    EXPECT_EQ(m_register.Frames(), (Strings{"DLINC000000000100", "DEND"}));
    EXPECT_FALSE(m_core->IsDocumentOpen());
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTPROTOC");
}

TEST_F(DocumentTest, DocumentLineShowsItsCaptionAndDataInTheStatusWindow) {
    m_core->SetShowStatusDialogs(true);
    Connect();
    OpenServiceDocument();
    m_ui.status.clear();
    EXPECT_EQ(m_core->DocumentLine("B", "", 150), 1);
    EXPECT_EQ(m_core->DocumentLine("XY", "", 0), 1);
    ASSERT_EQ(m_ui.status.size(), 3u);  // the first window stays until the next line replaces it
    EXPECT_EQ(m_ui.status[0].title, Text(3009));
    EXPECT_EQ(m_ui.status[0].goods, vsk::Utf8ToCp1251("Начальный остаток: 000000000150"));
    EXPECT_EQ(m_ui.status[1].title, RecordingStatusWindow::kClosed);
    EXPECT_EQ(m_ui.status[2].goods, "XY  : 000000000000");
    EXPECT_TRUE(m_ui.status[2].amount.empty());
}

TEST_F(DocumentTest, TextDocumentClearsPrintsAndEndsWithoutDend) {
    Connect();
    OpenReceipt();
    EXPECT_EQ(m_core->OpenTextDocument(), 1);
    EXPECT_EQ(m_register.Frames(), (Strings{"CANC", "CTXT"}));
    EXPECT_FALSE(m_core->IsCheckOpen());

    m_register.ClearLog();
    EXPECT_EQ(m_core->FreeTextLine(0, 1, 0, "Hello"), 1);
    EXPECT_EQ(m_core->CloseTextDocument(1), 1);
    EXPECT_EQ(m_register.Frames(), (Strings{"TEXT110Hello", "DBEG1", "PRTX"}));
    EXPECT_FALSE(m_core->IsDocumentOpen());

    // An open service document is closed before the text document prints.
    OpenServiceDocument();
    EXPECT_EQ(m_core->CloseTextDocument(0), 1);
    EXPECT_EQ(m_register.Frames(), (Strings{"DEND", "DBEG0", "PRTX"}));
}

TEST_F(DocumentTest, RefusedDbegPrintsNoText) {
    Connect();
    m_core->SetShowErrorMessages(false);
    m_register.On("DBEG", {{"SOFTPARAM"}});
    EXPECT_EQ(m_core->CloseTextDocument(0), 0);
    EXPECT_EQ(m_register.Frames(), Strings{"DBEG0"});
    EXPECT_FALSE(m_core->IsDocumentOpen());
}

struct ActionRow {
    std::function<int16_t(CVSKCore&)> run;
    const char* command;
    const char* journal;
};

TEST_F(DocumentTest, ServiceActionCommandsAndJournalLines) {
    ConnectAs({1, 7});
    const ActionRow rows[] = {
        {[](CVSKCore& c) { return c.NullCheck(); }, "NULL", "NullCheck()"},
        {[](CVSKCore& c) { return c.CheckCopy(); }, "COPY", "CheckCopy()"},
        {[](CVSKCore& c) { return c.OpenCashBox(); }, "KASS", "OpenCashBox()"},
        {[](CVSKCore& c) { return c.MoveCash(1, 2500); }, "CAIOI0000002500",
         "MoveCash(CashIncome = 1, Summ = 2500)"},
        {[](CVSKCore& c) { return c.MoveCash(0, 2500); }, "CAIOO0000002500",
         "MoveCash(CashIncome = 0, Summ = 2500)"},
        {[](CVSKCore& c) { return c.MoveCash(-1, 7); }, "CAIOO0000000007",
         "MoveCash(CashIncome = -1, Summ = 7)"},
        {[](CVSKCore& c) { return c.Feed(300); }, "FEED0", "Feed(LinesToFeed = 300)"},
        {[](CVSKCore& c) { return c.Feed(-1); }, "FEED0", "Feed(LinesToFeed = -1)"},
        {[](CVSKCore& c) { return c.Feed(5); }, "FEED5", "Feed(LinesToFeed = 5)"},
        {[](CVSKCore& c) { return c.Feed(255); }, "FEED255", "Feed(LinesToFeed = 255)"},
        {[](CVSKCore& c) { return c.CutAndBeep(7, 0, 1); }, "CUTR10",
         "CutAndBeep(CutterOn = 7, BeepOn = 0, PartialCut = 1)"},
        {[](CVSKCore& c) { return c.CutAndBeep(0, -2, 0); }, "CUTR01",
         "CutAndBeep(CutterOn = 0, BeepOn = -2, PartialCut = 0)"},
    };
    for (const ActionRow& row : rows) {
        m_register.ClearLog();
        EXPECT_EQ(row.run(*m_core), 1) << row.command;
        EXPECT_EQ(m_register.Frames(), Strings{row.command});
    }
    m_core->Journal().Close();  // flushes the file
    const std::string journal = JournalText();
    for (const ActionRow& row : rows) {
        EXPECT_NE(journal.find(std::string(";") + row.journal + "\r\n"), std::string::npos)
            << row.journal;
    }
}

TEST_F(DocumentTest, PartialCutOnlyOnLevelEightAndNineAndNoCutterOnFamilyZero) {
    ConnectAs({1, 8});
    EXPECT_EQ(m_core->CutAndBeep(7, 0, 1), 1);
    EXPECT_EQ(m_register.Frames(), Strings{"CUTR101"});

    TearDown();
    SetUp();
    ConnectAs({0, 1});
    EXPECT_EQ(m_core->CutAndBeep(1, 1, 0), 0);
    EXPECT_TRUE(m_register.Frames().empty());
    EXPECT_EQ(m_core->GetLastErrorCode(), "");
}

TEST_F(DocumentTest, CheckCopyRefusedWhileAReceiptOrDocumentIsOpen) {
    Connect();
    OpenReceipt();
    EXPECT_EQ(m_core->CheckCopy(), 0);
    ASSERT_EQ(m_core->AbortCheck(), 1);
    OpenServiceDocument();
    EXPECT_EQ(m_core->CheckCopy(), 0);
    EXPECT_EQ(m_register.Count("COPY"), 0u);
    EXPECT_EQ(m_core->GetLastErrorCode(), "");
}

TEST_F(DocumentTest, RegisterRefusalIsTheResult) {
    Connect();
    m_core->SetShowErrorMessages(false);
    m_register.On("CAIO", {{"SOFTCASHOUT"}});
    EXPECT_EQ(m_core->MoveCash(0, 100000), 0);
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTCASHOUT");
}

}  // namespace
}  // namespace vsktest
