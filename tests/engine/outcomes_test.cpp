// What the engine answers is what happened: a command that never went out fails at once, a
// silent register is told apart from one that answered, closings say what became of them, and
// the receipt number and printed line name are kept.
#include <chrono>
#include <optional>

#include "tests/engine/register_models.h"

namespace vsktest {
namespace {

using Outcome = CVSKCore::CloseOutcome;

std::string Result(int32_t value) {
    return std::to_string(value);
}
std::string Result(const std::string& value) {
    return value;
}

class OutcomeTest : public ModelTest {
public:
    // An error word the register sent unasked, in the queue before the next call.
    void ErrorWaiting(const std::string& word) {
        m_core->SetShowErrorMessages(false);
        m_register.Send(word);
        ASSERT_TRUE(m_clock.Wait(m_core->Queue().Event(), 20000));
    }
};

struct SendingOperation {
    const char* name;
    std::function<std::string(CVSKCore&)> call;
    const char* failure = "0";
};
SendingOperation Op(const char* name, std::function<std::string(CVSKCore&)> call,
                    const char* failure = "0") {
    return {name, std::move(call), failure};
}
#define OP(expr, ...) \
    Op(#expr, [](CVSKCore& c) { return Result(c.expr); } __VA_OPT__(, ) __VA_ARGS__)

TEST_F(OutcomeTest, AnErrorWaitingFailsEveryOperationAtOnceWithoutWriting) {
    const std::vector<SendingOperation> rows = {
        OP(XReportFromRegisters()),
        OP(XReportFromRegistersAsync()),
        OP(ZReport()),
        OP(ZReportAsync()),
        OP(PrintZeroZReport()),
        OP(ArticleReport()),
        OP(DiscountReport()),
        OP(PeriodicalFiscalReport(1, 2)),
        OP(PeriodicalFiscalReportDate(45000, 45001)),
        OP(XReport(0, 0, 0, 0, 0, 0, 0, 0)),
        OP(XReport(100, 0, 0, 0, 0, 0, 0, 0)),
        OP(SetCashRegisters(1, 2, 3, 4, 5, 6, 7, 8)),
        OP(TurnCasheReports(1)),
        OP(OpenDocument(0)),
        OP(CloseTextDocument(0)),
        OP(NullCheck()),
        OP(CheckCopy()),
        OP(MoveCash(1, 100)),
        OP(OpenCashBox()),
        OP(CutAndBeep(1, 1, 0)),
        OP(Feed(2)),
        OP(PutToDisplay("Total", "12.50")),
        OP(PutToExternalDisplay("Total 12.50", 1)),
        OP(SetTableMode(0)),
        OP(SetOnSaleTaxes(1)),
        OP(SetTaxesCalcMode(1)),
        OP(SetDoubledTaxCalcMode(1, 2)),
        OP(CheckMessagesMode(1)),
        OP(SetInternalTime(12, 30, 0)),
        OP(SetPrintingDoubleWidth(1)),
        OP(SetArticleMode(1)),
        OP(SetDeptAlias("Dairy")),
        OP(SetCheckHeadLine("Hello")),
        OP(SetCheckBottomLine("Bye")),
        OP(SetCheckBottomLineEx(1, 0, 0, "Bye")),
        OP(SetLinePrintingOn()),
        OP(SetDiscountPrintMode(1)),
        OP(SetContinousPaperPrintMode(1)),
        OP(SetCurrentCurrency("UAH")),
        OP(OnChangeKassPassword("0000000000", "1111111111")),
        OP(SetReturnCheckNumber(12)),
        OP(SetReturnCheckNumberStr("12;13")),
        OP(OpenGoodsGroup("Fruit")),
        OP(CloseGoodsGroup("Off", "Up")),
        OP(SetDiscountUpcountTotalsName("Off", "Up")),
        OP(Storn()),
        OP(PrintBarcode(1, 0, 0, "4820000000001")),
        OP(FreeTextLine(0, 0, 0, "Note")),
        OP(ClearFreeTextLines()),
        OP(OpenCheck("1")),
        OP(GetPrinterConfig(), ""),
        OP(GetArticleInfo(1), ""),
        OP(GetPrinterTime(), ""),
        OP(GetCashInfo(), ""),
        OP(GetFiscalInfo(), ""),
        OP(GetTaxesInfo(), ""),
        OP(GetPrinterKeyPosition(), "-1")};
    ConnectAs(Model::Level9);  // every command is there to send
    for (const SendingOperation& row : rows) {
        SCOPED_TRACE(row.name);
        ErrorWaiting("SOFTPROTOC");
        const int64_t timedOutBefore = m_clock.TimedOutWaitMs();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(row.call(*m_core), row.failure);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
        EXPECT_LT(m_clock.TimedOutWaitMs() - timedOutBefore, 100) << "a reply wait ran";
        ASSERT_TRUE(m_core->LastFailure().has_value());
        EXPECT_EQ(m_core->LastFailure()->fault, vsk::Fault::Refused);
        EXPECT_EQ(m_core->LastFailure()->word, "SOFTPROTOC");
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
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(m_core->GetLastErrorCode(), "PORTOPENERROR");
    EXPECT_EQ(m_core->GetLastErrorMessage(), Text(3012));
    EXPECT_NE(JournalText().find("ZREP not sent: the port is closed"), std::string::npos);
}

// The engine's last failure names its kind behind the word and message clients have always
// been told, and goes with the codes when they are handed out.
TEST_F(OutcomeTest, TheLastFailureNamesItsKind) {
    const struct {
        const char* name;
        std::function<void(OutcomeTest&)> act;
        std::optional<vsk::Fault> fault;
        const char* code;
        unsigned message;
    } rows[] = {
        {"too little money",
         [](OutcomeTest& t) {
             ASSERT_EQ(t.m_core->OpenCheck("1"), 1);
             ASSERT_EQ(t.m_core->FiscalLine("Milk", 1, 1000, 0, 0, 0, 0), 1000);
             EXPECT_EQ(t.m_core->CloseCheckEx(500, 0, 0, 0), -1);
         },
         vsk::Fault::NotEnoughMoney, "CONNTIMEOUT", 3014},
        {"silence",
         [](OutcomeTest& t) {
             t.m_register.On("ZREP", {}, 1);
             EXPECT_EQ(t.m_core->XReportFromRegisters(), 1);
         },
         vsk::Fault::NoAnswer, "CONNTIMEOUT", 1003},
        {"refusal",
         [](OutcomeTest& t) {
             t.m_register.On("ZREP", {{"SOFTNREP"}}, 1);
             EXPECT_EQ(t.m_core->XReportFromRegisters(), 0);
         },
         vsk::Fault::Refused, "SOFTNREP", 2001},
        {"bad time", [](OutcomeTest& t) { EXPECT_EQ(t.m_core->SetInternalTime(25, 0, 0), 0); },
         vsk::Fault::InvalidTime, "INVALIDTIME", 3015},
        {"closed port",
         [](OutcomeTest& t) {
             t.m_core->Done();
             EXPECT_EQ(t.m_core->Feed(1), 0);
         },
         vsk::Fault::PortUnavailable, "PORTOPENERROR", 3012},
        {"a warning only",
         [](OutcomeTest& t) {
             t.m_register.On("FEED", {{"SOFTPAPER"}, {"READY"}}, 1);
             EXPECT_EQ(t.m_core->Feed(1), 1);
         },
         std::nullopt, "SOFTPAPER", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ConnectAs(Model::Level4);
        m_core->SetShowErrorMessages(false);
        m_core->GetLastErrorCode();
        row.act(*this);
        EXPECT_EQ(m_core->LastFailure().has_value(), row.fault.has_value());
        if (row.fault && m_core->LastFailure()) {
            EXPECT_EQ(m_core->LastFailure()->fault, *row.fault);
            EXPECT_EQ(m_core->LastFailure()->word, row.code);
            EXPECT_EQ(m_core->LastFailure()->message, row.message);
        }
        EXPECT_EQ(m_core->GetLastErrorCode(), row.code);
        EXPECT_FALSE(m_core->LastFailure().has_value());
    }
}

TEST_F(OutcomeTest, ASilentRegisterAfterASentCommandIsAnUnconfirmedSuccess) {
    // On level 7 the switch back from report mode answers; the report itself did not.
    const struct {
        Model model;
        bool silent;
    } rows[] = {{Model::Level4, false}, {Model::Level4, true}, {Model::Level7, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(ModelName(row.model)) + (row.silent ? " silent" : ""));
        ConnectAs(row.model);
        if (row.silent) {
            m_register.On("ZREP", {}, 1);
        }
        EXPECT_EQ(m_core->XReportFromRegisters(), 1);
        EXPECT_EQ(m_core->LastSendUnconfirmed(), row.silent);
        EXPECT_EQ(m_core->PeekLastErrorCode(), row.silent ? "CONNTIMEOUT" : "");
        EXPECT_EQ(m_core->Feed(1), 1);  // answered: the next command is confirmed
        EXPECT_FALSE(m_core->LastSendUnconfirmed());
    }
}

TEST_F(OutcomeTest, ClosingsSayWhatBecameOfThem) {
    const struct {
        const char* name;
        char receipt;   // 'S' sale, 'R' return, 0 none
        int32_t price;  // of the one line; 0: no line
        int32_t cash;
        const char* compAnswer;  // null: the closing figures and READY
        bool errorWaiting;
        int32_t result;
        Outcome outcome;
        bool compSent, stillOpen;
    } rows[] = {
        {"sale", 'S', 1000, 1000, nullptr, false, 1000, Outcome::Closed, true, false},
        {"return", 'R', 500, -500, nullptr, false, -500, Outcome::Closed, true, false},
        {"zero total", 'S', 0, 0, nullptr, false, 0, Outcome::Closed, true, false},
        {"no receipt", 0, 0, 100, nullptr, false, 0, Outcome::NotSent, false, false},
        {"too little money", 'S', 1000, 500, nullptr, false, -1, Outcome::NotSent, false, true},
        // The waiting error cancels the receipt.
        {"error waiting", 'S', 1000, 1000, nullptr, true, 0, Outcome::NotSent, false, false},
        {"refused", 'S', 1000, 1000, "SOFTCHECK", false, -1, Outcome::Refused, true, true},
    };
    const std::string figures = "COMP" + vsk::ZeroPadded(77, 10) + std::string(80, '0');
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ConnectAs(Model::Level4);  // a fresh engine knows no receipt number yet
        m_core->SetShowErrorMessages(false);
        if (row.receipt != 0) {
            ASSERT_EQ(row.receipt == 'R' ? m_core->OpenReturnCheck("1") : m_core->OpenCheck("1"),
                      1);
        }
        if (row.price != 0) {
            ASSERT_EQ(m_core->FiscalLine("Milk", 1, row.price, 0, 0, 0, 0), row.price);
        }
        m_register.On("COMP", {{row.compAnswer ? row.compAnswer : figures}, {"READY"}}, 1);
        if (row.errorWaiting) {
            ErrorWaiting("SOFTPROTOC");
        }
        m_register.ClearLog();
        EXPECT_EQ(m_core->CloseCheckEx(row.cash, 0, 0, 0), row.result);
        EXPECT_EQ(m_core->LastCloseOutcome(), row.outcome);
        EXPECT_EQ(m_register.Count("COMP"), row.compSent ? 1u : 0u);
        EXPECT_EQ(m_core->IsCheckOpen(), row.stillOpen);
        EXPECT_EQ(m_core->LastReceiptNumber(),
                  row.outcome == Outcome::Closed ? std::optional<int64_t>(77) : std::nullopt);
    }
}

TEST_F(OutcomeTest, TheLastReceiptNumberComesFromGlcnWhereTheRegisterHasIt) {
    auto glcn = [](int64_t number) {
        return std::vector<Reply>{{"GLCN" + vsk::ZeroPadded(number, 10) + std::string(21, '0')}};
    };
    const struct {
        Model model;
        std::optional<int64_t> atConnection, read;  // level 8 on read the counters at connection
    } rows[] = {{Model::Family0, std::nullopt, std::nullopt},
                {Model::Level4, std::nullopt, 31},
                {Model::Level9, 30, 31}};
    for (const auto& row : rows) {
        SCOPED_TRACE(ModelName(row.model));
        m_register.On("GLCN", glcn(30));
        ConnectAs(row.model);
        EXPECT_EQ(m_core->LastReceiptNumber(), row.atConnection);
        m_register.On("GLCN", glcn(31), 1);
        EXPECT_EQ(m_core->ReadLastReceiptNumber(), row.read);
        EXPECT_EQ(m_core->LastReceiptNumber(), row.read);
        EXPECT_EQ(m_register.Count("GLCN"), row.read ? 1u : 0u);  // family 0 is not asked
    }
    // No answer: the engine cannot tell, and keeps what it knew.
    m_register.On("GLCN", {}, 1);
    EXPECT_EQ(m_core->ReadLastReceiptNumber(), std::nullopt);
    EXPECT_EQ(m_core->LastReceiptNumber(), std::optional<int64_t>(31));
}

TEST_F(OutcomeTest, TheLastLineNameIsWhatTheLineCommandCarried) {
    // The name field and its continuation; the older family has no continuation.
    const struct {
        Model model;
        const char *name, *printed;
    } rows[] = {{Model::Level4, "  Milk  ", "Milk"},
                {Model::Level4, "Chocolate bar with nuts", "Chocolate bar with nuts"},
                {Model::Family0, "Chocolate bar with nuts", "Chocolate ba"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ConnectAs(row.model);
        OpenReceipt();
        ASSERT_EQ(m_core->FiscalLine(row.name, 1, 100, 0, 0, 0, 0), 100);
        m_register.On("FISC", {{"SOFTPARAM"}}, 1);
        EXPECT_EQ(m_core->FiscalLine("Bread", 1, 100, 0, 0, 0, 0), -1);
        EXPECT_EQ(m_core->LastLineName(), row.printed);  // a refused line changes nothing
    }
}

}  // namespace
}  // namespace vsktest
