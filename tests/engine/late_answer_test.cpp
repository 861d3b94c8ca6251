// Replies belong to their command: answers that come after their wait ran out, and the first
// opening that meets a receipt or document a killed server left open in the register.
#include <functional>

#include "tests/engine/engine_fixture.h"

namespace vsktest {
namespace {

// Real milliseconds on this test's clock (a fifth of nominal time): the ready wait of 3000 ms
// and the reply time-out of 5000 ms, which is also how long the line must stay quiet after a
// wait ran out. The register's thread answers one command at a time, so a late answer also
// holds back the answer to the next command.
constexpr int kReadyWait = 600;
constexpr int kReplyWait = 1000;
// Late, but within the quiet time after the wait ran out.
constexpr int kLateReady = kReadyWait + kReplyWait / 2;
constexpr int kLateLine = kReplyWait * 3 / 2;
// After the quiet time too: the next command is already out when the answer comes.
constexpr int kVeryLateLine = kReplyWait * 5 / 2;

std::string FiscReply(long taxes) {
    return "FISC" + vsk::ZeroPadded(taxes, 10);
}

class LateAnswerTest : public EngineTest {
protected:
    // Margins of half a second either side of every deadline: a loaded machine keeps up.
    LateAnswerTest() : EngineTest(0.2) {}
    void SetUp() override {
        EngineTest::SetUp();
        Connect();
        m_core->SetShowErrorMessages(false);
    }
    // A sale line of 1000 with on-sale tax А (20 %) whose answer comes `delayMs` late.
    int32_t SellLate(int delayMs) {
        m_register.On("FISC", {{FiscReply(200), delayMs}, {"READY"}}, 1);
        return m_core->FiscalLine("Milk", 1, 1000, 0, 1, 0, 0);
    }
};

TEST_F(LateAnswerTest, ReadyWaitTakesNoLateAnswerForItsOwn) {
    struct Row {
        const char* name;
        std::vector<Reply> late;  // the answer to "MUTE", after the wait ran out
        std::string journal;
    };
    const std::vector<Row> rows = {
        {"late READY", {{"READY", kLateReady}}, "Late reply to MUTE dropped: READY"},
        {"late refusal", {{"SOFTPARAM", kLateReady}}, "Late reply to MUTE dropped: SOFTPARAM"},
        {"warning, then READY",
         {{"SOFTPAPER", kLateReady}, {"READY"}},
         "Late reply to MUTE dropped: SOFTPAPER;READY"},
        {"silence", {}, "No late reply to MUTE: the register stayed silent"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        m_register.On("MUTE", row.late, 1);
        m_register.On("NEXT", {{"SOFTCOMMAN"}}, 1);
        m_core->SendToPrinter("MUTE");
        EXPECT_EQ(m_core->WaitForReadyMsg(3000), 1);
        EXPECT_EQ(m_core->GetLastErrorCode(), "CONNTIMEOUT");
        // The refusal of the next command is its own answer; the late one is dropped unread.
        EXPECT_TRUE(m_core->SendToPrinter("NEXT"));
        EXPECT_EQ(m_core->WaitForReadyMsg(3000), 0);
        EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTCOMMAN");
        EXPECT_NE(JournalText().find(row.journal), std::string::npos);
    }
}

TEST_F(LateAnswerTest, ReadyBehindAnotherCommandsDataReplyIsNotOurs) {
    m_register.On("TEXT", {{"GLCN" + std::string(31, '0')}, {"READY"}, {"SOFTPARAM"}}, 1);
    m_core->SendToPrinter("TEXT100x");
    EXPECT_EQ(m_core->WaitForReadyMsg(3000), 0);
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTPARAM");
}

TEST_F(LateAnswerTest, LatePrintedLineIsCountedAndTheClosingStopsOnceForTheClient) {
    OpenReceipt();
    EXPECT_EQ(m_core->FiscalLine("Bread", 2, 500, 0, 1, 0, 0), 1200);
    EXPECT_EQ(SellLate(kLateLine), -1);
    EXPECT_EQ(m_core->GetLastErrorCode(), "CONNTIMEOUT");

    // The client pays for what it was told was sold: the register printed more than that.
    EXPECT_EQ(m_core->CloseCheckEx(1200, 0, 0, 0), -1);
    EXPECT_EQ(m_core->GetLastErrorCode(), "LATELINE");
    EXPECT_EQ(m_core->GetLastErrorMessage(), Text(3016));
    EXPECT_EQ(m_register.Count("COMP"), 0u);
    EXPECT_TRUE(m_core->IsCheckOpen());
    EXPECT_EQ(m_core->GetCheckSum(), 2000);
    EXPECT_NE(JournalText().find("Late reply to FISC dropped: " + FiscReply(200) +
                                 ";READY (the line was printed: counted in the receipt)"),
              std::string::npos);

    EXPECT_EQ(m_core->LastCloseOutcome(), CVSKCore::CloseOutcome::NotSent);

    // Told, the client closes again: the closing carries the register's own sums.
    EXPECT_EQ(m_core->CloseCheckEx(2400, 0, 0, 0), 2400);
    EXPECT_EQ(m_register.Last("COMP").substr(4, 10), "0000002000");
    EXPECT_FALSE(m_core->IsCheckOpen());
}

TEST_F(LateAnswerTest, RefusedLateLineIsNotCounted) {
    OpenReceipt();
    m_register.On("FISC", {{"SOFTCHECK", kLateLine}}, 1);
    EXPECT_EQ(m_core->FiscalLine("Milk", 1, 1000, 0, 1, 0, 0), -1);
    EXPECT_EQ(m_core->GetLastErrorCode(), "CONNTIMEOUT");
    EXPECT_EQ(m_core->CloseCheck(), 0);  // nothing was sold, nothing to pay
    EXPECT_EQ(m_register.Last("COMP").substr(4, 10), "0000000000");
    EXPECT_EQ(m_core->GetLastErrorCode(), "");  // the late refusal was the line's, not ours
}

TEST_F(LateAnswerTest, ClosingThatMeetsTheLateLineFailsAndLeavesTheReceiptToCloseOrCancel) {
    OpenReceipt();
    EXPECT_EQ(SellLate(kVeryLateLine), -1);
    EXPECT_EQ(m_core->GetLastErrorCode(), "CONNTIMEOUT");
    // Out before the late answer: the register answers the line first, then refuses the sums.
    m_register.On("COMP", {{"SOFTCHECK"}}, 1);
    EXPECT_EQ(m_core->CloseCheckEx(100, 0, 0, 0), -1);
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTCHECK");
    EXPECT_TRUE(m_core->IsCheckOpen());
    EXPECT_EQ(m_core->GetCheckSum(), 1000);  // the READY behind the line's data counted it
    EXPECT_EQ(m_core->AbortCheck(), 1);
    EXPECT_FALSE(m_core->IsCheckOpen());
}

TEST_F(LateAnswerTest, ClosingCountsOnlyTheReadyBehindItsFigures) {
    OpenReceipt();
    EXPECT_EQ(m_core->FiscalLine("Bread", 1, 1000, 0, 0, 0, 0), 1000);
    m_register.On("COMP", {{"READY"}}, 1);  // no closing figures: the READY is not the closing's
    EXPECT_EQ(m_core->CloseCheck(), -1);
    EXPECT_TRUE(m_core->IsCheckOpen());
    EXPECT_EQ(m_core->CloseCheck(), 1000);
}

// The register stays silent after "COMP" past the closing's wait, then answers (or not).
TEST_F(LateAnswerTest, ClosingInDoubtIsSettledByItsLateAnswer) {
    using Outcome = CVSKCore::CloseOutcome;
    const std::string figures =
        "COMP" + vsk::ZeroPadded(42, 10) + vsk::ZeroPadded(1000, 10) + std::string(70, '0');
    const std::vector<Reply> printed = {{figures, kLateLine}, {"READY"}};
    const struct {
        const char* name;
        std::vector<Reply> late;
        bool closeAgain;  // the next command is the client's closing again
        Outcome outcome;
    } rows[] = {{"printed", printed, false, Outcome::Closed},
                {"printed, closed again", printed, true, Outcome::Closed},
                {"refused", {{"SOFTCHECK", kLateLine}}, false, Outcome::Refused},
                {"silent", {}, false, Outcome::InDoubt}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        OpenReceipt();  // cancels what the row before left open
        ASSERT_EQ(m_core->FiscalLine("Bread", 1, 1000, 0, 0, 0, 0), 1000);
        m_register.On("COMP", row.late, 1);
        EXPECT_EQ(m_core->CloseCheckEx(1000, 0, 0, 0), -1);
        EXPECT_EQ(m_core->LastCloseOutcome(), Outcome::InDoubt);
        EXPECT_TRUE(m_core->LastSendUnconfirmed());

        struct : vsk::NoReceiptEvents {
            std::vector<int64_t> closed;
            void Closed(int64_t number) override { closed.push_back(number); }
        } told;
        m_core->SetReceiptEvents(&told);
        if (row.closeAgain) {
            EXPECT_EQ(m_core->CloseCheckEx(1000, 0, 0, 0), 1000);
        }
        EXPECT_EQ(m_core->Feed(1), 1);
        EXPECT_EQ(m_core->Feed(1), 1);
        EXPECT_EQ(m_register.Count("COMP"), 1u);
        EXPECT_EQ(m_core->LastCloseOutcome(), row.outcome);
        EXPECT_EQ(m_core->IsCheckOpen(), row.outcome != Outcome::Closed);
        if (row.outcome == Outcome::Closed) {
            EXPECT_EQ(told.closed, std::vector<int64_t>{42});  // once
            EXPECT_EQ(m_core->GetCheckResult(), "42;1000;0;0;0;0;0;0;0");
            EXPECT_EQ(m_core->LastReceiptNumber(), std::optional<int64_t>(42));
        } else {
            EXPECT_TRUE(told.closed.empty());
        }
        m_core->SetReceiptEvents(nullptr);
        m_register.ClearLog();
    }
}

// ------------------------------------------------------------------ leftovers of a killed server

struct OpeningRow {
    const char* name;
    const char* word;  // the opening's command word
    std::function<int16_t(CVSKCore&)> open;
    std::function<bool(CVSKCore&)> isOpen;
};

const std::vector<OpeningRow>& Openings() {
    static const std::vector<OpeningRow> rows = {
        {"sale receipt", "PREP", [](CVSKCore& c) { return c.OpenCheck("1"); },
         [](CVSKCore& c) { return c.IsCheckOpen(); }},
        {"return receipt", "PREP", [](CVSKCore& c) { return c.OpenReturnCheck("1"); },
         [](CVSKCore& c) { return c.IsCheckOpen() && c.IsReturnCheck(); }},
        {"service document", "DBEG", [](CVSKCore& c) { return c.OpenDocument(0); },
         [](CVSKCore& c) { return c.IsDocumentOpen(); }},
    };
    return rows;
}

TEST_F(LateAnswerTest, FirstOpeningEndsWhatTheRegisterStillHoldsAndOpensAgain) {
    for (const OpeningRow& row : Openings()) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(InitEngine(), 1);
        m_register.ClearLog();
        m_register.On("DEND", {{"SOFTPROTOC"}});  // no document open: only a receipt was
        m_register.On(row.word, {{"SOFTPROTOC"}}, 1);
        EXPECT_EQ(row.open(*m_core), 1);
        EXPECT_TRUE(row.isOpen(*m_core));
        const std::string w = row.word;
        EXPECT_EQ(m_register.Frames()[0].substr(0, 4), w);
        EXPECT_EQ(m_register.Frames()[1], "CANC");
        EXPECT_EQ(m_register.Frames()[2], "DEND");
        EXPECT_EQ(m_register.Frames()[3].substr(0, 4), w);
        EXPECT_EQ(m_register.Frames().size(), 4u);
        EXPECT_EQ(m_core->GetLastErrorCode(), "");  // recovered: nobody's error
        EXPECT_NE(JournalText().find("(CANC accepted, DEND refused) and opening again"),
                  std::string::npos);
    }
}

TEST_F(LateAnswerTest, OnlyTheFirstOpeningAfterTheConnectionEndsAnything) {
    for (const OpeningRow& row : Openings()) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(InitEngine(), 1);
        m_register.ClearLog();
        // A second refusal in a row is the client's answer.
        m_register.On(row.word, {{"SOFTPROTOC"}}, 2);
        EXPECT_EQ(row.open(*m_core), 0);
        EXPECT_EQ(m_register.Count("CANC"), 1u);
        EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTPROTOC");

        // Later openings never cancel: whatever the register holds now, this engine opened it.
        m_register.On(row.word, {{"SOFTPROTOC"}}, 1);
        EXPECT_EQ(row.open(*m_core), 0);
        EXPECT_EQ(m_register.Count("CANC"), 1u);
        EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTPROTOC");
    }
    // Another word on the first opening is no leftover either.
    ASSERT_EQ(InitEngine(), 1);
    m_register.ClearLog();
    m_register.On("PREP", {{"SOFTSLWORK"}}, 1);
    EXPECT_EQ(m_core->OpenCheck("1"), 0);
    EXPECT_EQ(m_register.Count("CANC"), 0u);
}

}  // namespace
}  // namespace vsktest
