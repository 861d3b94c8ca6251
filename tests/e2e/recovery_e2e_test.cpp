// A server killed in the middle of a receipt leaves it open in the register. The next server's
// first receipt cancels that leftover and goes on; nothing else on the register moves.
#include "tests/e2e/server_support.h"

namespace vske2e {
namespace {

class RecoveryE2e : public OneClientE2e {
protected:
    void KillServer() {
        kill(m_server, SIGKILL);
        int status = 0;
        waitpid(m_server, &status, 0);
        m_server = -1;
        ASSERT_TRUE(WIFSIGNALED(status));
        m_veskar.Reset();
        // The dead server's class file stays behind until the next server writes its own.
        std::filesystem::remove(m_runtime + "/vskmanager/" + GuidToString(typelib::CLSID_Veskar));
    }
};

TEST_F(RecoveryE2e, NextServerCancelsTheReceiptAKilledServerLeftOpen) {
    StartServerAndBind();
    LONG sum = 0;
    ASSERT_EQ(m_veskar->OpenCheck(u"1"), S_OK);
    ASSERT_EQ(m_veskar->FiscalLineEx(u"Хліб", 1, 1205, 0, 1, 0, 1, 0, u"", 0, &sum), S_OK);
    ASSERT_EQ(m_veskar->FiscalLineEx(u"Молоко", 2, 3150, 0, 1, 0, 2, 0, u"", 0, &sum), S_OK);
    KillServer();
    auto before = m_emulator.State();
    ASSERT_EQ(before["receipt"], "open");
    ASSERT_EQ(before["sale"], "7505");

    StartServerAndBind();
    LONG closing = 0;
    ASSERT_EQ(m_veskar->OpenCheck(u"1"), S_OK);
    ASSERT_EQ(m_veskar->FiscalLineEx(u"Сир", 1, 4200, 0, 1, 0, 3, 0, u"", 0, &sum), S_OK);
    ASSERT_EQ(m_veskar->CloseCheckEx(4200, 0, 0, 0, &closing), S_OK);
    EXPECT_EQ(closing, 4200);

    // The leftover was cancelled on the tape, the new receipt closed, and only it was counted.
    auto after = m_emulator.State();
    EXPECT_EQ(after["receipt"], "closed");
    EXPECT_EQ(after["day_total"], std::to_string(std::stoll(before["day_total"]) + 4200));
    EXPECT_EQ(after["day_receipts"], std::to_string(std::stoi(before["day_receipts"]) + 1));
    EXPECT_EQ(after["last_receipt"], std::to_string(std::stoi(before["last_receipt"]) + 1));
    EXPECT_EQ(after["cash"], std::to_string(std::stoll(before["cash"]) + 4200));
    const std::vector<std::string> tape = m_emulator.Tape(200);
    const auto cancelled = std::find(tape.begin(), tape.end(), "RECEIPT CANCELLED");
    ASSERT_NE(cancelled, tape.end());
    EXPECT_EQ(std::count(tape.begin(), tape.end(), "RECEIPT CANCELLED"), 1);
    // The new receipt's line comes after the cancellation.
    EXPECT_TRUE(std::any_of(cancelled, tape.end(), [](const std::string& line) {
        return line.find("Сир") != std::string::npos;
    }));

    std::u16string code;
    m_veskar->GetLastErrorCode(&code);
    EXPECT_EQ(Utf16ToCp1251(code), "");
}

}  // namespace
}  // namespace vske2e
