// What the engine answers is what happened: a command that never went out fails at once, a
// silent register is told apart from one that answered, closings say what became of them, and
// the receipt number and printed line name are kept.
#include <chrono>
#include <optional>

#include "tests/engine/register_models.h"

namespace vsktest {
namespace {

std::string Result(int32_t value) {
    return std::to_string(value);
}
std::string Result(const std::string& value) {
    return value;
}

std::string Figures(int64_t number, int64_t total) {
    return "COMP" + vsk::ZeroPadded(number, 10) + vsk::ZeroPadded(total, 10) + std::string(70, '0');
}

std::string GlcnReply(int64_t lastReceipt) {
    return "GLCN" + vsk::ZeroPadded(lastReceipt, 10) + std::string(21, '0');
}

class OutcomeTest : public ModelTest {
public:
    void SetUp() override {
        ModelTest::SetUp();
        m_core->SetShowErrorMessages(false);
    }
    // An error word the register sent unasked, in the queue before the next call.
    void ErrorWaiting(const std::string& word) {
        m_register.Send(word);
        ASSERT_TRUE(m_clock.Wait(m_core->Queue().Event(), 20000));
    }
};

struct SendingOperation {
    const char* name;
    std::function<std::string(CVSKCore&)> call;
    std::string failure;  // the documented failure value
};

#define OPERATION(expr, failure)                                    \
    {                                                               \
#expr, [](CVSKCore & c) { return Result(c.expr); }, failure \
    }

TEST_F(OutcomeTest, AnErrorWaitingFailsEveryOperationAtOnceWithoutWriting) {
    const std::vector<SendingOperation> rows = {
        // reports
        OPERATION(XReportFromRegisters(), "0"),
        OPERATION(XReportFromRegistersAsync(), "0"),
        OPERATION(ZReport(), "0"),
        OPERATION(ZReportAsync(), "0"),
        OPERATION(PrintZeroZReport(), "0"),
        OPERATION(ArticleReport(), "0"),
        OPERATION(DiscountReport(), "0"),
        OPERATION(PeriodicalFiscalReport(1, 2), "0"),
        OPERATION(PeriodicalFiscalReportDate(45000, 45001), "0"),
        OPERATION(XReport(0, 0, 0, 0, 0, 0, 0, 0), "0"),
        OPERATION(XReport(100, 0, 0, 0, 0, 0, 0, 0), "0"),
        OPERATION(SetCashRegisters(1, 2, 3, 4, 5, 6, 7, 8), "0"),
        OPERATION(TurnCasheReports(1), "0"),
        // documents
        OPERATION(OpenDocument(0), "0"),
        OPERATION(CloseTextDocument(0), "0"),
        OPERATION(NullCheck(), "0"),
        OPERATION(CheckCopy(), "0"),
        OPERATION(MoveCash(1, 100), "0"),
        OPERATION(OpenCashBox(), "0"),
        OPERATION(CutAndBeep(1, 1, 0), "0"),
        OPERATION(Feed(2), "0"),
        // displays
        OPERATION(PutToDisplay("Total", "12.50"), "0"),
        OPERATION(PutToExternalDisplay("Total 12.50", 1), "0"),
        // settings
        OPERATION(SetTableMode(0), "0"),
        OPERATION(SetOnSaleTaxes(1), "0"),
        OPERATION(SetTaxesCalcMode(1), "0"),
        OPERATION(SetDoubledTaxCalcMode(1, 2), "0"),
        OPERATION(CheckMessagesMode(1), "0"),
        OPERATION(SetInternalTime(12, 30, 0), "0"),
        OPERATION(SetPrintingDoubleWidth(1), "0"),
        OPERATION(SetArticleMode(1), "0"),
        OPERATION(SetDeptAlias("Dairy"), "0"),
        OPERATION(SetCheckHeadLine("Welcome"), "0"),
        OPERATION(SetCheckBottomLine("Thank you"), "0"),
        OPERATION(SetCheckBottomLineEx(1, 0, 0, "Thank you"), "0"),
        OPERATION(SetLinePrintingOn(), "0"),
        OPERATION(SetDiscountPrintMode(1), "0"),
        OPERATION(SetContinousPaperPrintMode(1), "0"),
        OPERATION(SetCurrentCurrency("UAH"), "0"),
        OPERATION(OnChangeKassPassword("0000000000", "1111111111"), "0"),
        // receipt extras and free text
        OPERATION(SetReturnCheckNumber(12), "0"),
        OPERATION(SetReturnCheckNumberStr("12;13"), "0"),
        OPERATION(OpenGoodsGroup("Fruit"), "0"),
        OPERATION(CloseGoodsGroup("Discount", "Upcount"), "0"),
        OPERATION(SetDiscountUpcountTotalsName("Discount", "Upcount"), "0"),
        OPERATION(Storn(), "0"),
        OPERATION(PrintBarcode(1, 0, 0, "4820000000001"), "0"),
        OPERATION(FreeTextLine(0, 0, 0, "Note"), "0"),
        OPERATION(ClearFreeTextLines(), "0"),
        OPERATION(OpenCheck("1"), "0"),
        // queries
        OPERATION(GetPrinterConfig(), ""),
        OPERATION(GetArticleInfo(1), ""),
        OPERATION(GetPrinterTime(), ""),
        OPERATION(GetCashInfo(), ""),
        OPERATION(GetFiscalInfo(), ""),
        OPERATION(GetTaxesInfo(), ""),
        OPERATION(GetPrinterKeyPosition(), "-1"),
    };
    ConnectAs(Model::Level9);  // every command is there to send
    for (const SendingOperation& row : rows) {
        SCOPED_TRACE(row.name);
        ErrorWaiting("SOFTPROTOC");
        const int64_t timedOutBefore = m_clock.TimedOutWaitMs();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(row.call(*m_core), row.failure);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
        EXPECT_LT(m_clock.TimedOutWaitMs() - timedOutBefore, 100) << "a reply wait ran";
        EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTPROTOC");
        EXPECT_FALSE(m_core->LastSendUnconfirmed());
        EXPECT_EQ(SentFrames(), "");
        m_register.ClearLog();
    }
    EXPECT_NE(JournalText().find("ZREP not sent: the register reported SOFTPROTOC before it"),
              std::string::npos);
}

TEST_F(OutcomeTest, AClosedPortFailsAtOnceWithAReason) {
    ConnectAs(Model::Level4);
    ASSERT_EQ(m_core->Done(), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_core->XReportFromRegisters(), 0);
    CDocumentsInfo info;
    EXPECT_EQ(m_core->GetDocumentsInfo(info), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(m_core->GetLastErrorCode(), "PORTOPENERROR");
    EXPECT_EQ(m_core->GetLastErrorMessage(), Text(3012));
    EXPECT_NE(JournalText().find("ZREP not sent: the port is closed"), std::string::npos);
}

TEST_F(OutcomeTest, ASilentRegisterAfterASentCommandIsAnUnconfirmedSuccess) {
    struct Row {
        Model model;
        const char* silent;  // the command the register does not answer; null: it answers
        bool unconfirmed;
    };
    const Row rows[] = {
        {Model::Level4, nullptr, false},
        {Model::Level4, "ZREP", true},
        // The switch back from report mode answers; the report itself did not.
        {Model::Level7, "ZREP", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(ModelName(row.model)) + (row.silent ? " silent" : ""));
        ConnectAs(row.model);
        if (row.silent) {
            m_register.On(row.silent, {}, 1);
        }
        EXPECT_EQ(m_core->XReportFromRegisters(), 1);
        EXPECT_EQ(m_core->LastSendUnconfirmed(), row.unconfirmed);
        EXPECT_EQ(m_core->PeekLastErrorCode(), row.unconfirmed ? "CONNTIMEOUT" : "");
        EXPECT_EQ(m_core->Feed(1), 1);  // answered: the next command is confirmed
        EXPECT_FALSE(m_core->LastSendUnconfirmed());
    }
}

TEST_F(OutcomeTest, ClosingsSayWhatBecameOfThem) {
    using Outcome = CVSKCore::CloseOutcome;
    struct Row {
        const char* name;
        std::function<void(OutcomeTest&)> before;  // the receipt and the register's answers
        std::function<int32_t(CVSKCore&)> close;
        int32_t result;
        Outcome outcome;
        bool compSent;
        bool stillOpen;
    };
    auto sale = [](OutcomeTest& t) {
        t.OpenReceipt();
        ASSERT_EQ(t.m_core->FiscalLine("Milk", 1, 1000, 0, 0, 0, 0), 1000);
    };
    const std::vector<Row> rows = {
        {"sale", sale, [](CVSKCore& c) { return c.CloseCheckEx(1000, 0, 0, 0); }, 1000,
         Outcome::Closed, true, false},
        {"return",
         [](OutcomeTest& t) {
             ASSERT_EQ(t.m_core->OpenReturnCheck("1"), 1);
             ASSERT_EQ(t.m_core->FiscalLine("Milk", 1, 500, 0, 0, 0, 0), 500);
         },
         [](CVSKCore& c) { return c.CloseCheck(); }, -500, Outcome::Closed, true, false},
        {"zero total", [](OutcomeTest& t) { t.OpenReceipt(); },
         [](CVSKCore& c) { return c.CloseCheckEx(0, 0, 0, 0); }, 0, Outcome::Closed, true, false},
        {"no receipt", [](OutcomeTest&) {}, [](CVSKCore& c) { return c.CloseCheck(); }, 0,
         Outcome::NotSent, false, false},
        {"too little money", sale, [](CVSKCore& c) { return c.CloseCheckEx(500, 0, 0, 0); }, -1,
         Outcome::NotSent, false, true},
        {"error waiting",
         [&sale](OutcomeTest& t) {
             sale(t);
             t.ErrorWaiting("SOFTPROTOC");
         },
         [](CVSKCore& c) { return c.CloseCheck(); }, 0, Outcome::NotSent, false, false},
        {"refused",
         [&sale](OutcomeTest& t) {
             sale(t);
             t.m_register.On("COMP", {{"SOFTCHECK"}}, 1);
         },
         [](CVSKCore& c) { return c.CloseCheck(); }, -1, Outcome::Refused, true, true},
    };
    ConnectAs(Model::Level4);
    m_register.On("COMP", {{Figures(77, 1000)}, {"READY"}});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (m_core->IsCheckOpen()) {
            ASSERT_EQ(m_core->AbortCheck(), 1);
        }
        row.before(*this);
        m_register.ClearLog();
        EXPECT_EQ(row.close(*m_core), row.result);
        EXPECT_EQ(m_core->LastCloseOutcome(), row.outcome);
        EXPECT_EQ(m_register.Count("COMP"), row.compSent ? 1u : 0u);
        EXPECT_EQ(m_core->IsCheckOpen(), row.stillOpen);
        if (row.outcome == Outcome::Closed) {
            EXPECT_EQ(m_core->LastReceiptNumber(), std::optional<int64_t>(77));
        }
    }
}

TEST_F(OutcomeTest, TheLastReceiptNumberComesFromGlcnWhereTheRegisterHasIt) {
    struct Row {
        Model model;
        std::optional<int64_t> atConnection;  // level 8 on reads the counters when connecting
        std::optional<int64_t> read;
        bool asked;
    };
    const Row rows[] = {
        {Model::Family0, std::nullopt, std::nullopt, false},
        {Model::Level4, std::nullopt, 31, true},
        {Model::Level9, 30, 31, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(ModelName(row.model));
        m_register.On("GLCN", {{GlcnReply(30)}});
        ConnectAs(row.model);
        EXPECT_EQ(m_core->LastReceiptNumber(), row.atConnection);
        m_register.On("GLCN", {{GlcnReply(31)}}, 1);
        EXPECT_EQ(m_core->ReadLastReceiptNumber(), row.read);
        EXPECT_EQ(m_core->LastReceiptNumber(), row.read);
        EXPECT_EQ(m_register.Count("GLCN"), row.asked ? 1u : 0u);
    }
    // No answer: the engine cannot tell, and keeps what it knew.
    m_register.On("GLCN", {}, 1);
    EXPECT_EQ(m_core->ReadLastReceiptNumber(), std::nullopt);
    EXPECT_EQ(m_core->LastReceiptNumber(), std::optional<int64_t>(31));
}

TEST_F(OutcomeTest, TheLastLineNameIsWhatTheLineCommandCarried) {
    struct Row {
        Model model;
        const char* name;
        const char* printed;
    };
    const Row rows[] = {
        {Model::Level4, "  Milk  ", "Milk"},
        // Name field and continuation.
        {Model::Level4, "Chocolate bar with nuts", "Chocolate bar with nuts"},
        // No continuation on the older family: the name field is all that prints.
        {Model::Family0, "Chocolate bar with nuts", "Chocolate ba"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ConnectAs(row.model);
        OpenReceipt();
        ASSERT_EQ(m_core->FiscalLine(row.name, 1, 100, 0, 0, 0, 0), 100);
        EXPECT_EQ(m_core->LastLineName(), row.printed);
        // A refused line leaves the name of the last accepted one.
        m_register.On("FISC", {{"SOFTPARAM"}}, 1);
        EXPECT_EQ(m_core->FiscalLine("Bread", 1, 100, 0, 0, 0, 0), -1);
        EXPECT_EQ(m_core->LastLineName(), row.printed);
    }
}

}  // namespace
}  // namespace vsktest
