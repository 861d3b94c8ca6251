// Connecting: probe, login, identity reading, fallbacks and the bounded failures.
#include <chrono>
#include <thread>

#include "engine/error_catalogue.h"
#include "tests/engine/engine_fixture.h"

namespace vsktest {
namespace {

using ConnectionTest = EngineTest;

TEST_F(ConnectionTest, InitProbesLogsInReadsIdentityAndPreparesTheRegister) {
    m_core->SetShowStatusDialogs(true);
    ASSERT_EQ(InitEngine("COM7", "Cashier-longer", std::string(kPassword) + "99"), 1);
    std::vector<std::string> frames = m_register.Frames();
    ASSERT_GE(frames.size(), 4u);
    EXPECT_EQ(m_register.Commands().front(), ScriptedRegister::kWake);
    // Ident cut to 9 characters, password to its 10-character field.
    EXPECT_EQ(frames[0], std::string("UPAS") + kPassword + "Cashier-l");
    EXPECT_EQ(frames[1], "CONF");
    EXPECT_EQ(frames[2], "CNAL");
    EXPECT_EQ(frames[3], "TABL");  // family 1 level 4: table mode off
    EXPECT_EQ(m_core->ProtocolFamily(), 1);
    EXPECT_EQ(m_core->ProtocolLevel(), 4);
    EXPECT_EQ(m_core->PrinterInfo().m_szSerialNumber, "1234567890");
    EXPECT_EQ(m_core->PrinterInfo().m_lMaxArticles, 9999);
    EXPECT_EQ(m_core->PrinterInfo().m_Taxes[0].rateText, "20.00");
    EXPECT_TRUE(m_core->Queue().IsEmpty());
    EXPECT_EQ(m_ui.infoWindows, 1);
    ASSERT_FALSE(m_ui.status.empty());
    EXPECT_EQ(m_ui.status.front().title, Text(3001));

    // The next reading uses "CONf": the serial number does not begin with 440.
    CPrinterInfo info;
    EXPECT_TRUE(m_core->ReadPrinterInfo(info));
    EXPECT_EQ(m_register.Frames().back(), "CNAL");
    EXPECT_EQ(m_register.Count("CONf"), 1u);
}

TEST_F(ConnectionTest, NewerRegistersReadDocumentsCountersAndDisplaySettings) {
    m_conf.firmware = "KBLX";
    m_conf.firmwareDate = "20070609";  // family 1, level 8
    m_register.On("GLCN", {{"GLCN" + std::string(30, '0') + "2"}});
    m_register.On("dset", {{"dset310"}});
    ASSERT_EQ(InitEngine("COM7", "Cashier", kPassword), 1);
    EXPECT_EQ(m_core->ProtocolLevel(), 8);
    EXPECT_EQ(m_core->ArticleMode(), 2);
    EXPECT_EQ(m_core->PrinterInfo().m_lMaxArticles, 999999999);
    EXPECT_EQ(m_core->PrinterInfo().m_lDisplaySetting1, 3);
    EXPECT_EQ(m_core->PrinterInfo().m_lDisplaySetting2, 1);
}

TEST_F(ConnectionTest, FamilyZeroRegisterGetsTaxModeAndKeepsDisplayDefaults) {
    m_conf.serial = "4401234567";
    ASSERT_EQ(InitEngine("COM7", "Cashier", kPassword), 1);
    EXPECT_EQ(m_core->ProtocolFamily(), 0);
    EXPECT_EQ(m_register.Count("dset"), 0u);
    EXPECT_EQ(m_register.Count("PPMD1"), 1u);
    EXPECT_EQ(m_core->PrinterInfo().m_lDisplaySetting1, 1);
    EXPECT_EQ(m_core->PrinterInfo().m_lDisplaySetting2, 0);
}

TEST_F(ConnectionTest, LevelSevenRegisterIsSwitchedToRegistrationModeWithItsPassword) {
    m_conf.firmware = "XKDA";
    m_conf.firmwareDate = "20041206";
    ASSERT_EQ(InitEngine("COM7", "Cashier", kPassword), 1);
    EXPECT_EQ(m_core->ProtocolLevel(), 7);
    std::vector<std::string> frames = m_register.Frames();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[frames.size() - 2], "SVSL13807");
    EXPECT_EQ(frames.back(), "TABL");
    m_core->SetRegistrationModePassword("12345678");
    ASSERT_EQ(m_core->OpenCheck("1"), 1);
    frames = m_register.Frames();
    EXPECT_EQ(frames[frames.size() - 2], "SVSL11234");
}

TEST_F(ConnectionTest, RegisterAnsweringOnlyAt57600IsFoundInTheSecondPass) {
    m_register.OnlyAtSpeed(B57600);
    ASSERT_EQ(InitEngine("COM7", "Cashier", kPassword), 1);
    EXPECT_EQ(m_register.LineSpeed(), static_cast<speed_t>(B57600));
}

TEST_F(ConnectionTest, RefusedPasswordGivesMinusTwoAndClosesThePort) {
    m_register.On("UPAS", {{"SOFTUPAS"}});
    EXPECT_EQ(InitEngine("COM7", "Cashier", kPassword), -2);
    EXPECT_EQ(m_ui.dialogs, 1);  // the next attempt asks for ident and password again
    EXPECT_FALSE(m_core->IsPortOpen());
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTUPAS");
    ASSERT_FALSE(m_ui.boxes.empty());
    EXPECT_EQ(m_ui.boxes.front().text, Text(1004));
    EXPECT_EQ(m_ui.boxes.front().icon, vsk::MsgIcon::Exclamation);
}

TEST_F(ConnectionTest, SilentRegisterTimesOutAndCancelEndsInit) {
    m_register.On(ScriptedRegister::kWake, {});
    EXPECT_EQ(InitEngine("COM7", "Cashier", kPassword), 0);
    EXPECT_FALSE(m_core->IsPortOpen());
    ASSERT_EQ(m_ui.boxes.size(), 1u);
    EXPECT_EQ(m_ui.boxes[0].buttons, vsk::MsgButtons::RetryCancel);
    EXPECT_EQ(m_ui.boxes[0].text, Text(1003));
    EXPECT_EQ(m_core->GetLastErrorCode(), "CONNTIMEOUT");
    // Four failed probes (three counted, then the question), two passes of four wake bytes each.
    EXPECT_EQ(m_register.Count(ScriptedRegister::kWake), 32u);
    EXPECT_EQ(m_register.Count("UPAS"), 0u);
}

TEST_F(ConnectionTest, SilentLoginTimesOutWithoutAMessageBoxWhenMessagesAreOff) {
    m_core->SetShowErrorMessages(false);
    m_register.On("UPAS", {});
    EXPECT_EQ(InitEngine("COM7", "Cashier", kPassword), 0);
    EXPECT_TRUE(m_ui.boxes.empty());
    EXPECT_EQ(m_core->GetLastErrorCode(), "CONNTIMEOUT");
    EXPECT_EQ(m_register.Count("UPAS"), 1u);
}

TEST_F(ConnectionTest, RepeatedErrorWordsAtLoginAreBounded) {
    m_core->SetShowErrorMessages(false);
    m_register.On("UPAS", {{"SOFTBLOCK"}});
    EXPECT_EQ(InitEngine("COM7", "Cashier", kPassword), -1);
    EXPECT_EQ(m_register.Count("UPAS"), 3u);
    EXPECT_FALSE(m_core->IsPortOpen());
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTBLOCK;SOFTBLOCK;SOFTBLOCK");
}

TEST_F(ConnectionTest, PortThatCannotBeOpenedReportsItsName) {
    vsk::RegistryStore().SetValue(vsk::Hive::CurrentUser,
                                  "SOFTWARE\\Halvard (JSC)\\VSKManager\\Ports", "COM9",
                                  m_dir + "/no-such-device");
    EXPECT_EQ(InitEngine("COM9", "Cashier", kPassword), 0);
    EXPECT_EQ(m_core->GetLastErrorCode(), "PORTOPENERROR");
    ASSERT_EQ(m_ui.boxes.size(), 1u);
    EXPECT_EQ(m_ui.boxes[0].text, Text(3012) + "COM9");
    EXPECT_EQ(m_ui.boxes[0].buttons, vsk::MsgButtons::RetryCancel);
}

TEST_F(ConnectionTest, ShortPasswordOrNoPortAsksTheOperator) {
    EXPECT_EQ(InitEngine("COM7", "Cashier", "short"), 0);
    EXPECT_EQ(InitEngine("NONE", "Cashier", kPassword), 0);
    EXPECT_EQ(m_ui.dialogs, 2);
    EXPECT_TRUE(m_register.Commands().empty());
}

TEST_F(ConnectionTest, PasswordsNeverReachTheJournalInClear) {
    ASSERT_EQ(InitEngine("COM7", "Cashier", kPassword), 1);
    EXPECT_EQ(m_core->OnChangeKassPassword(kPassword, "NewPass123"), 1);
    EXPECT_EQ(m_register.Last("UPAS"), std::string("UPAS") + kPassword + "NewPass123");
    m_core.reset();  // closes and flushes the journal
    std::string journal = JournalText();
    EXPECT_EQ(journal.find(kPassword), std::string::npos);
    EXPECT_EQ(journal.find("NewPass123"), std::string::npos);
    EXPECT_NE(journal.find("Password = **********)"), std::string::npos);
    EXPECT_NE(journal.find(">>> To Printer >>>UPAS**********Cashier"), std::string::npos);
    EXPECT_NE(journal.find(">>> To Printer >>>UPAS********************"), std::string::npos);
    EXPECT_NE(journal.find(Text(1000)), std::string::npos);
    EXPECT_NE(journal.find(Text(1001)), std::string::npos);
}

TEST_F(ConnectionTest, DoneClosesThePortOnceAndCancelsAnOpenReceipt) {
    Connect();
    ASSERT_EQ(m_core->OpenCheck("1"), 1);
    EXPECT_EQ(m_core->Done(), 0);
    EXPECT_EQ(m_register.Frames().back(), "CANC");
    EXPECT_FALSE(m_core->IsPortOpen());
    EXPECT_EQ(m_core->Done(), -1);
    // A new Init connects again on the same engine.
    EXPECT_EQ(InitEngine("COM7", "Cashier", kPassword), 1);
    EXPECT_FALSE(m_core->IsCheckOpen());
}

// A register unplugged under a closing: the closing fails at once with the device named, and
// stays in doubt (it may have printed); while it is away every command is refused without a
// wait; once a register is back behind the same port name, the next command logs in again.
TEST_F(ConnectionTest, AnUnpluggedRegisterFailsAtOnceAndTheNextCommandLogsInAgain) {
    Connect();
    OpenReceipt();
    const int32_t due = m_core->FiscalLine("Bread", 1, 1205, 0, 1, 0, 11);
    ASSERT_GT(due, 0);
    m_register.On("COMP", {});  // no answer: the plug is pulled meanwhile
    std::thread puller([this] {
        for (int i = 0; i < 2000 && m_register.Count("COMP") == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        m_register.Unplug();
    });
    EXPECT_EQ(m_core->CloseCheckEx(due, 0, 0, 0), -1);
    puller.join();
    EXPECT_EQ(m_core->LastCloseOutcome(), CVSKCore::CloseOutcome::InDoubt);
    EXPECT_EQ(m_core->PeekLastErrorCode(), "PORTOPENERROR");
    EXPECT_EQ(m_core->PeekLastErrorMessage(),
              Text(vsk::text::kPortOpenError) + "COM7 (" + m_register.SlavePath() + ")");
    EXPECT_TRUE(m_core->DeviceLost());
    EXPECT_FALSE(m_core->IsPortOpen());
    EXPECT_TRUE(m_core->Stats().Read().deviceLost);
    EXPECT_TRUE(m_ui.boxes.empty()) << "no box holds the port's calls";

    const int64_t before = m_clock.NowMs();
    EXPECT_EQ(m_core->Feed(1), 0);
    EXPECT_EQ(m_core->PeekLastErrorCode(), "PORTOPENERROR");
    EXPECT_LT(m_clock.NowMs() - before, 100) << "refused without a reply wait";

    ScriptedRegister next;
    next.On("", {{"READY"}});
    next.On("CONF", {{ConfReply(m_conf)}});
    next.On("CONf", {{ConfReply(m_conf, "CONf")}});
    next.On("CNAL", {{CnalReply(m_taxes)}});
    vsk::RegistryStore().SetValue(vsk::Hive::CurrentUser,
                                  "SOFTWARE\\Halvard (JSC)\\VSKManager\\Ports", "COM7",
                                  next.SlavePath());
    EXPECT_EQ(m_core->Feed(1), 1) << m_core->PeekLastErrorCode();
    EXPECT_EQ(next.Count("UPAS"), 1u);
    EXPECT_EQ(next.Frames().back().substr(0, 4), "FEED");
    EXPECT_FALSE(m_core->DeviceLost());
    EXPECT_EQ(m_core->Stats().Read().replugs, 1u);
    EXPECT_FALSE(m_core->Stats().Read().deviceLost);
}

}  // namespace
}  // namespace vsktest
