// A register that answers a sale line after the reply time-out: the vsk-emulator program's
// delay on the line, the engine on a fifth of real time. Whatever the client is told about the
// receipt must be what the register registered.
#include <string>

#include "tests/e2e/e2e_support.h"

namespace vske2e {
namespace {

// The reply time-out is 5000 ms nominal, 1000 ms real here: the answer comes half a second late.
constexpr int kDelayMs = 1500;

class LateReplyE2e : public E2eTest {
protected:
    // A sale line of 1000 with tax А (included) that the register answers late; the client is
    // told it failed.
    void SellLate() {
        ASSERT_EQ(m_emulator.Control("delay " + std::to_string(kDelayMs)), "OK");
        EXPECT_EQ(m_core->FiscalLine("Milk", 1, 1000, 0, 1, 0, 0), -1);
        EXPECT_EQ(m_core->GetLastErrorCode(), "CONNTIMEOUT");
    }
    // The client closes for what it was told: it is refused, and what it can read now is what
    // the register holds.
    void CloseForWhatTheClientWasTold(int32_t told) {
        EXPECT_EQ(m_core->CloseCheckEx(told, 0, 0, 0), -1);
        EXPECT_EQ(m_core->GetLastErrorCode(), "LATELINE");
        ASSERT_EQ(m_emulator.Control("delay 0"), "OK");
        auto state = m_emulator.State();
        EXPECT_EQ(state["receipt"], "open");
        EXPECT_EQ(state["sale"], std::to_string(m_core->GetCheckSum()));
        EXPECT_EQ(state["due"], std::to_string(m_core->RunningTotal()));
    }
};

TEST_F(LateReplyE2e, LateSaleLineNeverClosesAReceiptTheRegisterRefused) {
    Connect();
    m_core->SetShowErrorMessages(false);
    const std::string receiptsBefore = m_emulator.State()["day_receipts"];

    // Closed again once the client has seen the total: the register's figures and the client's
    // result agree.
    ASSERT_EQ(m_core->OpenCheck("1"), 1);
    ASSERT_EQ(m_core->FiscalLine("Bread", 2, 500, 0, 1, 0, 0), 1000);
    SellLate();
    CloseForWhatTheClientWasTold(1000);
    EXPECT_EQ(m_core->GetCheckSum(), 2000);
    EXPECT_EQ(m_core->CloseCheckEx(2000, 0, 0, 0), 2000);
    auto state = m_emulator.State();
    EXPECT_EQ(state["receipt"], "closed");
    EXPECT_EQ(state["closing"], m_core->GetCheckResult());
    EXPECT_EQ(state["day_total"], "2000");
    EXPECT_EQ(state["day_receipts"], std::to_string(std::stoi(receiptsBefore) + 1));

    // Cancelled instead: nothing more is registered.
    ASSERT_EQ(m_core->OpenCheck("1"), 1);
    SellLate();
    CloseForWhatTheClientWasTold(0);
    EXPECT_EQ(m_core->AbortCheck(), 1);
    state = m_emulator.State();
    EXPECT_EQ(state["receipt"], "closed");
    EXPECT_EQ(state["day_total"], "2000");
    EXPECT_EQ(state["day_receipts"], std::to_string(std::stoi(receiptsBefore) + 1));
    EXPECT_EQ(m_emulator.Tape(2).front(), "RECEIPT CANCELLED");
}

}  // namespace
}  // namespace vske2e
