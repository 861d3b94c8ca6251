// Reports against the scripted register: command words per register, the level 7 report-mode
// bracket, preparation of an open receipt or document, periodic reports by numbers and dates,
// the cash counters and the asynchronous reports.
#include <cmath>
#include <functional>
#include <limits>

#include "tests/engine/engine_fixture.h"
#include "tests/engine/register_variants.h"

namespace vsktest {
namespace {

using Strings = std::vector<std::string>;

class ReportTest : public EngineTest {
protected:
    void ConnectAs(Variant variant) {
        m_conf = IdentityOf(variant);
        Connect();
        ASSERT_EQ(m_core->ProtocolFamily(), variant.family);
        ASSERT_EQ(m_core->ProtocolLevel(), variant.family == 0 ? 1 : variant.level);
    }
    void Passwords() {
        m_core->SetReportModePassword("987654");
        m_core->SetRegistrationModePassword("12");
    }
};

struct ReportRow {
    const char* name;
    std::function<int16_t(CVSKCore&)> run;
    const char* command;
};

const ReportRow kReports[] = {
    {"X", [](CVSKCore& c) { return c.XReportFromRegisters(); }, "ZREP1"},
    {"Z", [](CVSKCore& c) { return c.ZReport(); }, "NREP"},
    {"article", [](CVSKCore& c) { return c.ArticleReport(); }, "ARTZ"},
    {"discount", [](CVSKCore& c) { return c.DiscountReport(); }, "DIZV"},
    {"periodic", [](CVSKCore& c) { return c.PeriodicalFiscalReport(1, 2); }, "FIRN00010002"},
    {"by dates", [](CVSKCore& c) { return c.PeriodicalFiscalReportDate(45658, 46000); },
     "FIRP2025010120251209"},
    {"X with counters", [](CVSKCore& c) { return c.XReport(0, 0, 0, 0, 0, 0, 0, 0); }, "ZREP"},
};

TEST_F(ReportTest, LevelSevenBracketsEveryReportWithReportAndRegistrationMode) {
    ConnectAs({1, 7});
    Passwords();
    for (const ReportRow& row : kReports) {
        m_register.ClearLog();
        EXPECT_EQ(row.run(*m_core), 1) << row.name;
        // Report mode with the first four characters of its password; a short one goes whole.
        EXPECT_EQ(m_register.Frames(), (Strings{"SVSL29876", row.command, "SVSL112"})) << row.name;
    }
    // The passwords never reach the journal in clear.
    m_core->Journal().Close();  // flushes the file
    std::string journal = JournalText();
    EXPECT_EQ(journal.find("SVSL29876"), std::string::npos);
    EXPECT_NE(journal.find("SVSL2****"), std::string::npos);
    EXPECT_NE(journal.find("SVSL1**"), std::string::npos);
}

TEST_F(ReportTest, OtherRegistersSendTheReportAlone) {
    ConnectAs({1, 8});
    for (const ReportRow& row : kReports) {
        m_register.ClearLog();
        EXPECT_EQ(row.run(*m_core), 1) << row.name;
        EXPECT_EQ(m_register.Frames(), Strings{row.command}) << row.name;
    }
}

TEST_F(ReportTest, RefusedReportStillEndsTheBracketAndClosesTheStatusWindow) {
    ConnectAs({1, 7});
    m_core->SetShowStatusDialogs(true);
    m_core->SetShowErrorMessages(false);
    m_register.On("NREP", {{"SOFTNREP"}});
    m_ui.status.clear();
    EXPECT_EQ(m_core->ZReport(), 0);
    EXPECT_EQ(m_register.Frames(), (Strings{"SVSL26419", "NREP", "SVSL13807"}));
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTNREP");
    ASSERT_EQ(m_ui.status.size(), 2u);
    EXPECT_EQ(m_ui.status[0].title, Text(3006));
    EXPECT_EQ(m_ui.status[1].title, RecordingStatusWindow::kClosed);
}

TEST_F(ReportTest, ClosingReportsEndAnOpenReceiptAndDocumentButTheXReportLeavesThem) {
    ConnectAs({1, 4});
    OpenReceipt();
    EXPECT_EQ(m_core->XReportFromRegisters(), 1);
    EXPECT_EQ(m_register.Frames(), Strings{"ZREP1"});
    EXPECT_TRUE(m_core->IsCheckOpen());

    m_register.ClearLog();
    EXPECT_EQ(m_core->ZReport(), 1);
    EXPECT_EQ(m_register.Frames(), (Strings{"CANC", "NREP"}));
    EXPECT_FALSE(m_core->IsCheckOpen());

    ASSERT_EQ(m_core->OpenDocument(0), 1);
    m_register.ClearLog();
    EXPECT_EQ(m_core->PeriodicalFiscalReport(3, 3), 1);
    EXPECT_EQ(m_register.Frames(), (Strings{"DEND", "FIRN"}));
    EXPECT_FALSE(m_core->IsDocumentOpen());
}

TEST_F(ReportTest, PeriodicReportByNumbersOnFamilyZero) {
    ConnectAs({0, 1});
    struct Row {
        int16_t first, last;
        const char* command;
    } rows[] = {
        {25, 10, "IREN00100025"},     // exchanged into order
        {7, 7, "IREN"},               // one report: the word alone
        {12345, 2, "IREN000212345"},  // a number wider than its field is not cut
    };
    for (const Row& row : rows) {
        m_register.ClearLog();
        EXPECT_EQ(m_core->PeriodicalFiscalReport(row.first, row.last), 1);
        EXPECT_EQ(m_register.Frames(), Strings{row.command}) << row.first << "-" << row.last;
    }
}

TEST_F(ReportTest, PeriodicReportWordsOfTheLevelTwoRegister) {
    ConnectAs({1, 2});
    EXPECT_EQ(m_core->PeriodicalFiscalReport(1, 9), 1);
    EXPECT_EQ(m_core->PeriodicalFiscalReportDate(45658, 45658.99), 1);
    EXPECT_EQ(m_register.Frames(), (Strings{"IREN00010009", "IREP2025010120250101"}));
}

// Level 3 is the first to take the newer words, with no report-mode bracket.
TEST_F(ReportTest, PeriodicReportWordsOfTheLevelThreeRegister) {
    m_conf.serial = "5001234567";
    m_conf.firmware = "QDRZ";
    m_conf.firmwareDate = "20060101";
    Connect();
    ASSERT_EQ(m_core->ProtocolFamily(), 1);
    ASSERT_EQ(m_core->ProtocolLevel(), 3);
    EXPECT_EQ(m_core->PeriodicalFiscalReport(1, 9), 1);
    EXPECT_EQ(m_core->PeriodicalFiscalReportDate(45658, 45658.99), 1);
    EXPECT_EQ(m_register.Frames(), (Strings{"FIRN00010009", "FIRP2025010120250101"}));
}

TEST_F(ReportTest, PeriodicReportByDatesFormatsCalendarDates) {
    ConnectAs({1, 4});
    struct Row {
        double from, to;
        const char* command;
    } rows[] = {
        {46000, 45658, "FIRP2025010120251209"},        // exchanged into order
        {45658.75, 45658.25, "FIRP2025010120250101"},  // the time of day is no part of it
        {-1.5, -0.5, "FIRP1899122918991230"},          // before the epoch the fraction is time
        {-657434, 2958465.9, "FIRP0100010199991231"},  // the ends of the calendar
        {60, 61, "FIRP1900022819000301"},              // 1900 is no leap year
        {36585, 36586, "FIRP2000022920000301"},        // 2000 is one
    };
    for (const Row& row : rows) {
        m_register.ClearLog();
        EXPECT_EQ(m_core->PeriodicalFiscalReportDate(row.from, row.to), 1);
        EXPECT_EQ(m_register.Frames(), Strings{row.command}) << row.from << " " << row.to;
    }
}

TEST_F(ReportTest, PeriodicReportByDatesRefusesWhatIsNoDateWithoutSending) {
    ConnectAs({1, 7});
    OpenReceipt();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double rows[][2] = {
        {nan, 45658},     {45658, nan},     {inf, 45658},    {45658, -inf},
        {-657435, 45658}, {45658, 2958466}, {1e300, -1e300},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(m_core->PeriodicalFiscalReportDate(row[0], row[1]), 0) << row[0] << " " << row[1];
    }
    EXPECT_TRUE(m_register.Frames().empty());
    EXPECT_TRUE(m_core->IsCheckOpen());  // a refused call cancels nothing
}

TEST_F(ReportTest, XReportLoadsCountersOnlyWhenOneIsPositive) {
    ConnectAs({1, 4});
    EXPECT_EQ(m_core->XReport(0, 0, 0, -5, 0, 0, 0, 0), 1);
    EXPECT_EQ(m_register.Frames(), Strings{"ZREP"});

    m_register.ClearLog();
    EXPECT_EQ(m_core->XReport(1, 2, 3, 4, 5, 6, 7, 1234567890), 1);
    const std::string cash =
        "CASH0000000001000000000200000000030000000004000000000500000000060"
        "0000000071234567890";
    ASSERT_EQ(cash.size(), 84u);
    EXPECT_EQ(m_register.Frames(), (Strings{cash, "ZREP1"}));

    // Counters the register refuses print no report.
    m_register.ClearLog();
    m_core->SetShowErrorMessages(false);
    m_register.On("CASH", {{"SOFTPROTOC"}});
    EXPECT_EQ(m_core->XReport(0, 0, 0, 0, 0, 0, 0, 1), 0);
    EXPECT_EQ(m_register.Frames().size(), 1u);
    EXPECT_EQ(m_register.Count("ZREP"), 0u);
}

TEST_F(ReportTest, CashCountersAndCashReportsSwitch) {
    ConnectAs({1, 4});
    EXPECT_EQ(m_core->SetCashRegisters(0, 0, 0, 0, 0, 0, 0, -7), 1);
    EXPECT_EQ(m_register.Frames().back(), "CASH" + std::string(70, '0') + "-000000007");
    EXPECT_EQ(m_core->TurnCasheReports(5), 1);
    EXPECT_EQ(m_register.Frames().back(), "CRPT1");
    EXPECT_EQ(m_core->TurnCasheReports(0), 1);
    EXPECT_EQ(m_register.Frames().back(), "CRPT");

    OpenReceipt();
    EXPECT_EQ(m_core->TurnCasheReports(1), 0);
    EXPECT_TRUE(m_register.Frames().empty());
    EXPECT_EQ(m_core->GetLastErrorCode(), "");
}

TEST_F(ReportTest, ZeroZReportOnlyOnLevelEightAndNine) {
    for (Variant variant : {Variant{0, 1}, Variant{1, 7}, Variant{1, 8}, Variant{1, 9}}) {
        TearDown();
        SetUp();
        ConnectAs(variant);
        const bool has = variant.level >= 8;
        EXPECT_EQ(m_core->PrintZeroZReport(), has ? 1 : 0) << variant.level;
        EXPECT_EQ(m_register.Frames(), has ? Strings{"nrep"} : Strings{}) << variant.level;
        EXPECT_EQ(m_core->GetLastErrorCode(), "");
    }
}

TEST_F(ReportTest, AsynchronousReportsLeaveTheAnswerQueuedAndTheModeSwitched) {
    ConnectAs({1, 7});
    m_register.On("NREP", {{"SOFTNREP", 100}});
    OpenReceipt();
    EXPECT_EQ(m_core->ZReportAsync(), 1);
    // The refusal comes after the call returned and waits for the client to read it.
    EXPECT_TRUE(m_core->Queue().IsEmpty());
    EXPECT_EQ(m_core->GetNextMessage(20000), "SOFTNREP");
    EXPECT_EQ(m_core->GetLastErrorCode(), "");
    EXPECT_EQ(m_register.Frames(), (Strings{"CANC", "SVSL26419", "NREP"}));

    m_register.ClearLog();
    EXPECT_EQ(m_core->XReportFromRegistersAsync(), 1);
    EXPECT_EQ(m_core->GetNextMessage(20000), "READY");
    EXPECT_EQ(m_register.Frames(), (Strings{"SVSL26419", "ZREP1"}));
}

TEST_F(ReportTest, ModeSwitchCommandsAndPasswords) {
    ConnectAs({1, 7});
    m_core->SetProgrammingModePassword("5555x");
    struct Row {
        int32_t mode;
        const char* command;
    } rows[] = {
        {0, "SVSL0"}, {1, "SVSL13807"}, {2, "SVSL26419"}, {3, "SVSL35555"}, {9, "SVSL13807"}};
    for (const Row& row : rows) {
        m_register.ClearLog();
        EXPECT_EQ(m_core->ActivatePrinterMode(row.mode), 1);
        EXPECT_EQ(m_register.Frames(), Strings{row.command}) << row.mode;
    }
}

}  // namespace
}  // namespace vsktest
