// The ready wait and the error lists.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/engine_fixture.h"

namespace vsktest {
namespace {

class ExchangeTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Connect();
    }

    // Sends `command` and lets every reply arrive in the queue before the wait looks at it.
    int16_t SendAndWaitQueued(const std::string& command, size_t replies) {
        size_t before = m_register.Sent();
        m_core->SendToPrinter(command);
        EXPECT_TRUE(m_register.WaitSent(before + replies));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the reader's decode
        return m_core->WaitForReadyMsg(3000);
    }
};

TEST_F(ExchangeTest, WarningBeforeReadyIsRecordedAndTheWaitSucceeds) {
    m_register.On("WARN", {{"SOFTPAPER"}, {"READY"}});
    m_core->SendToPrinter("WARN");
    EXPECT_EQ(m_core->WaitForReadyMsg(3000), 1);
    EXPECT_TRUE(m_ui.boxes.empty());  // a warning shows nothing
    EXPECT_EQ(m_core->GetLastErrorMessage(), "");
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTPAPER");
}

TEST_F(ExchangeTest, SilenceIsRecordedButTheReadyWaitStillAnswersOne) {
    m_register.On("MUTE", {});
    m_core->SendToPrinter("MUTE");
    EXPECT_EQ(m_core->WaitForReadyMsg(3000), 1);
    EXPECT_TRUE(m_ui.boxes.empty());
    EXPECT_EQ(m_core->GetLastErrorMessage(), Text(1003));
    EXPECT_EQ(m_core->GetLastErrorCode(), "CONNTIMEOUT");
}

TEST_F(ExchangeTest, ErrorWordFailsTheWaitAndDropsWhatCameBehindIt) {
    m_register.On("FAIL", {{"SOFTCOMMAN"}, {"LATE1"}, {"READY"}});
    EXPECT_EQ(SendAndWaitQueued("FAIL", 3), 0);
    EXPECT_TRUE(m_core->Queue().IsEmpty());
    ASSERT_EQ(m_ui.boxes.size(), 1u);
    EXPECT_EQ(m_ui.boxes[0].text, Text(2003));
    EXPECT_EQ(m_ui.boxes[0].icon, vsk::MsgIcon::Stop);
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTCOMMAN");
}

TEST_F(ExchangeTest, UnlistedStatusWordIsAnErrorShownAsReceived) {
    m_core->SetShowErrorMessages(false);
    m_register.On("ODD", {{"HARDWHATEVER"}});
    m_core->SendToPrinter("ODD");
    EXPECT_EQ(m_core->WaitForReadyMsg(3000), 0);
    EXPECT_TRUE(m_ui.boxes.empty());
    EXPECT_EQ(m_core->GetLastErrorMessage(), "HARDWHATEVER");
}

TEST_F(ExchangeTest, RegisterThatKeepsTalkingKeepsTheWaitGoing) {
    // 3000 ms nominal is 150 ms here; the register talks every 80 ms for 400 ms.
    m_register.On("TALK",
                  {{"NOISE", 80}, {"NOISE", 80}, {"NOISE", 80}, {"NOISE", 80}, {"READY", 80}});
    m_core->SendToPrinter("TALK");
    EXPECT_EQ(m_core->WaitForReadyMsg(3000), 1);
    EXPECT_EQ(m_core->GetLastErrorCode(), "");
}

TEST_F(ExchangeTest, ErrorListsAreHandedOutOnceAndTakeUpPendingErrorWords) {
    m_core->SetShowErrorMessages(false);
    m_register.On("FAIL", {{"SOFTNREP"}});
    m_core->SendToPrinter("FAIL");
    EXPECT_EQ(m_core->WaitForReadyMsg(3000), 0);
    // An error word nobody waited for joins the lists when they are read.
    m_register.Send("SOFTSLNREP");
    ASSERT_TRUE(m_clock.Wait(m_core->Queue().Event(), 20000));
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTNREP;SOFTSLNREP");
    EXPECT_EQ(m_core->GetLastErrorCode(), "");
    EXPECT_EQ(m_core->GetLastErrorMessage(), Text(2001) + ";" + Text(2015));
    EXPECT_EQ(m_core->GetLastErrorMessage(), "");
}

TEST_F(ExchangeTest, UnclaimedErrorRefusesTheNextSend) {
    m_core->SetShowErrorMessages(false);
    m_register.Send("SOFTPROTOC");
    ASSERT_TRUE(m_clock.Wait(m_core->Queue().Event(), 20000));
    EXPECT_FALSE(m_core->SendToPrinter("NEXT"));
    EXPECT_EQ(m_register.Count("NEXT"), 0u);
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTPROTOC");
}

// The words the register sends when it stops on its own count as errors without a reply
// around them: alone in the queue they refuse the next command, and only that one.
TEST_F(ExchangeTest, ALoneShutdownOrHardwareWordRefusesTheNextSend) {
    m_core->SetShowErrorMessages(false);
    for (const std::string word : {"SHUTDOWN", "HARDPAPER"}) {
        m_register.Send(word);
        ASSERT_TRUE(m_clock.Wait(m_core->Queue().Event(), 20000)) << word;
        EXPECT_FALSE(m_core->SendToPrinter("NEXT")) << word;
        EXPECT_EQ(m_register.Count("NEXT"), 0u) << word;
        EXPECT_EQ(m_core->GetLastErrorCode(), word);
        EXPECT_TRUE(m_core->SendToPrinter("NEXT")) << word;
        EXPECT_EQ(m_core->WaitForReadyMsg(3000), 1) << word;
        EXPECT_EQ(m_register.Count("NEXT"), 1u) << word;
        m_register.ClearLog();
    }
}

// Before a command goes out, what came unasked is looked at: replies are dropped and warnings
// recorded, and the command goes out; an error word anywhere in a message is recorded, empties
// the queue and refuses the command, and only that one.
TEST_F(ExchangeTest, TheDrainDropsRepliesAndWarningsAndRefusesTheSendAtAnErrorWord) {
    m_core->SetShowErrorMessages(false);
    const struct {
        std::vector<std::string> unasked;
        bool sent;
        const char* codes;
    } rows[] = {
        {{"READY", "SOFTPAPER", "0001"}, true, "SOFTPAPER"},
        {{"READY", "SOFTCOMMAN", "READY", "SHUTDOWN"}, false, "SOFTCOMMAN"},
        {{"12HARD34"}, false, "12HARD34"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.codes);
        const size_t before = m_register.Sent();
        for (const std::string& text : row.unasked) {
            m_register.Send(text);
        }
        ASSERT_TRUE(m_register.WaitSent(before + row.unasked.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the reader's decode
        EXPECT_EQ(m_core->SendToPrinter("NEXT"), row.sent);
        EXPECT_EQ(m_core->LastFailure().has_value(), !row.sent);
        if (!row.sent) {
            EXPECT_TRUE(m_core->Queue().IsEmpty());
            EXPECT_EQ(m_core->LastFailure()->fault, vsk::Fault::Refused);
            EXPECT_TRUE(m_core->SendToPrinter("NEXT"));  // nothing left to refuse it
        }
        EXPECT_EQ(m_core->WaitForReadyMsg(3000), 1);
        EXPECT_EQ(m_register.Count("NEXT"), 1u);
        EXPECT_EQ(m_core->GetLastErrorCode(), row.codes);
        m_register.ClearLog();
    }
}

}  // namespace
}  // namespace vsktest
