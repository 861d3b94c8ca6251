// The client object as a client program sees it: libvskclient over the Unix socket, a
// vskmanager process started by hand, and the vsk-emulator program on a pseudo-terminal. Result
// codes, out values, shared ports, the port lock and a client that dies mid-receipt.
#include "tests/e2e/server_support.h"

namespace vske2e {
namespace {

using namespace vsk;

class AutomationE2e : public ServerE2e {
protected:
    void StopSecond() override { m_second.Stop(); }
    EmulatorProcess m_second;
};

TEST_F(AutomationE2e, UnboundObjectAndInitEdgeCases) {
    const std::string device = StartRegister(m_emulator, m_dir, kPort);
    StartServer();
    Client a;
    ASSERT_EQ(a.Create(), S_OK);

    // Unbound: only Init, GetPortNumber and Done answer; the receipt counters and the closings
    // report 0 in their out value.
    EXPECT_EQ(a.Port(), -1);
    LONG value = 777;
    EXPECT_EQ(a->GetCheckSum(&value), E_FAIL);
    EXPECT_EQ(value, 0);
    value = 777;
    EXPECT_EQ(a->CloseCheckEx(100, 0, 0, 0, &value), E_FAIL);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(a->OpenCheck(u"1"), E_FAIL);
    EXPECT_EQ(a->LockPrinter(1000), E_FAIL);
    std::u16string text;
    EXPECT_EQ(a->GetPrinterSerialNumber(&text), E_FAIL);
    EXPECT_EQ(a->Done(), S_OK);
    EXPECT_EQ(a.Port(), 0);

    // Refused arguments leave the object as it was and open nothing.
    EXPECT_EQ(a.Init(0), E_INVALIDARG);
    EXPECT_EQ(a.Init(-1), E_INVALIDARG);
    EXPECT_EQ(a.Init(kPort, u"Anna", u"0000000000", u""), E_INVALIDARG);
    EXPECT_EQ(a.Port(), 0);
    EXPECT_FALSE(ServerHolds(device));

    // A first Init that the register refuses (every login answered with the password error):
    // E_FAIL, unbound, and the port is closed again.
    ASSERT_EQ(m_emulator.Control("error SOFTUPAS UPAS"), "OK");
    EXPECT_EQ(a.Init(kPort), E_FAIL);
    EXPECT_EQ(a.Port(), 0);
    EXPECT_EQ(a->OpenCheck(u"1"), E_FAIL);
    EXPECT_FALSE(ServerHolds(device));
    ASSERT_EQ(m_emulator.Control("error clear"), "OK");

    // The object can be bound after the failure.
    ASSERT_EQ(a.Init(kPort), S_OK);
    EXPECT_EQ(a.Port(), kPort);
    EXPECT_TRUE(ServerHolds(device));

    // Init on a bound object lets the earlier attachment go first: after one Done nothing
    // holds the port any more (a leaked attachment would keep it open for good).
    ASSERT_EQ(a.Init(kPort, u"Boris"), S_OK);
    EXPECT_EQ(a.Port(), kPort);
    EXPECT_EQ(a->Done(), S_OK);
    EXPECT_EQ(a.Port(), 0);
    EXPECT_FALSE(ServerHolds(device));
}

TEST_F(AutomationE2e, ResultConventionsOfABoundObject) {
    StartRegister(m_emulator, m_dir, kPort);
    StartServer();
    Client a;
    ASSERT_EQ(a.Create(), S_OK);
    ASSERT_EQ(a.Init(kPort), S_OK);

    // Settings stored in the engine and texts that may be empty: S_OK without the register.
    EXPECT_EQ(a->SetShowErrorMessages(0), S_OK);
    EXPECT_EQ(a->SetShowPrinterStatus(0), S_OK);
    std::u16string text = u"untouched";
    EXPECT_EQ(a->LowGetNextPendingPrinterMessage(0, &text), S_OK);
    EXPECT_EQ(text, u"");
    EXPECT_EQ(a->GetPrinterSerialNumber(&text), S_OK);
    EXPECT_FALSE(text.empty());
    // Nothing to report yet: the must-not-be-empty texts fail.
    EXPECT_EQ(a->GetLastErrorCode(&text), E_FAIL);
    EXPECT_EQ(a->GetCheckResult(&text), E_FAIL);

    // Raw send: S_OK, and the register's answer waits in the port's queue.
    EXPECT_EQ(a->LowSendMessageToPrinter(u"CONF"), S_OK);
    EXPECT_EQ(a->LowGetNextPendingPrinterMessage(2000, &text), S_OK);
    EXPECT_FALSE(text.empty());
    while (a->LowGetNextPendingPrinterMessage(200, &text) == S_OK && !text.empty()) {
    }

    LONG key = -5;
    EXPECT_EQ(a->GetPrinterKeyPosition(&key), S_OK);
    EXPECT_GE(key, 0);

    // A lock time-out of 0 is never obtained, even on a free port.
    EXPECT_EQ(a->LockPrinter(0), CONTEXT_E_SYNCH_TIMEOUT);

    // Truth value, line sum and counters on a receipt.
    ASSERT_EQ(a->OpenCheck(u"1"), S_OK);
    LONG sum = 0;
    EXPECT_EQ(a->FiscalLineEx(u"Хліб", 1, 1250, 0, 1, 0, 31, 0, u"", 0, &sum), S_OK);
    EXPECT_EQ(sum, 1250);
    LONG checkSum = 0;
    EXPECT_EQ(a->GetCheckSum(&checkSum), S_OK);
    EXPECT_EQ(checkSum, 1250);

    // A line the register refuses: E_FAIL, and the out value still carries the negative sum.
    // The error words are read once: mnemonic first, nothing the second time.
    ASSERT_EQ(m_emulator.Control("error SOFTPARAM"), "OK");
    sum = 0;
    EXPECT_EQ(a->FiscalLineEx(u"Milk", 1, 900, 0, 1, 0, 32, 0, u"", 0, &sum), E_FAIL);
    EXPECT_LT(sum, 0);
    EXPECT_EQ(a->GetLastErrorCode(&text), S_OK);
    EXPECT_NE(text.find(u"SOFTPARAM"), std::u16string::npos) << Utf16ToCp1251(text);
    text = u"untouched";
    EXPECT_EQ(a->GetLastErrorCode(&text), E_FAIL);
    EXPECT_EQ(text, u"untouched");  // an empty text is a failure that sets nothing
    EXPECT_EQ(a->GetLastErrorMessage(&text), S_OK);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(a->GetLastErrorMessage(&text), E_FAIL);
    EXPECT_EQ(a->GetCheckSum(&checkSum), S_OK);
    EXPECT_EQ(checkSum, 1250);  // the refused line did not count

    // A closing the register refuses is still S_OK with the engine's figure; the receipt
    // stays open on the register.
    ASSERT_EQ(m_emulator.Control("error SOFTCHECK"), "OK");
    LONG closing = 12345;
    EXPECT_EQ(a->CloseCheckEx(1250, 0, 0, 0, &closing), S_OK);
    EXPECT_NE(closing, 12345);
    EXPECT_EQ(m_emulator.State()["receipt"], "open");
    EXPECT_EQ(a->GetLastErrorCode(&text), S_OK);  // clear what the refusal left

    // A truth-value operation the register refuses is E_FAIL.
    ASSERT_EQ(m_emulator.Control("error SOFTPARAM"), "OK");
    EXPECT_EQ(a->AbortCheck(), E_FAIL);
    EXPECT_EQ(m_emulator.State()["receipt"], "open");
    EXPECT_EQ(a->AbortCheck(), S_OK);
    EXPECT_EQ(m_emulator.State()["receipt"], "closed");

    // A receipt closed normally: the closing figure and the result list agree with the
    // register.
    EXPECT_EQ(a.Sell(u"Milk", 32, 900), 900);
    EXPECT_EQ(a->GetCheckResult(&text), S_OK);
    EXPECT_EQ(Cp1251ToUtf8(Utf16ToCp1251(text)), m_emulator.State()["closing"]);

    // A key position the register does not report: E_FAIL.
    ASSERT_EQ(m_emulator.Control("error SOFTPARAM"), "OK");
    key = 4242;
    EXPECT_EQ(a->GetPrinterKeyPosition(&key), E_FAIL);
    const LONG keyAfterFailure = key;

    EXPECT_EQ(a->Done(), S_OK);
    EXPECT_EQ(a->GetCheckSum(&checkSum), E_FAIL);

    // The out value of a failed key position stays as the caller left it, across the wire too.
    EXPECT_EQ(keyAfterFailure, 4242);
}

TEST_F(AutomationE2e, TwoClientsShareOnePortWithOneLogin) {
    const std::string device = StartRegister(m_emulator, m_dir, kPort);
    StartServer();
    Client a, b;
    ASSERT_EQ(a.Create(), S_OK);
    ASSERT_EQ(b.Create(), S_OK);
    ASSERT_EQ(a.Init(kPort, u"Anna"), S_OK);
    // The second client shares the login: its cashier and (wrong) password are not used.
    ASSERT_EQ(b.Init(kPort, u"Boris", u"9999999999", u"second"), S_OK);
    EXPECT_EQ(b.Port(), kPort);

    EXPECT_GT(a.Sell(u"Bread", 41, 1500), 0);
    EXPECT_GT(b.Sell(u"Milk", 42, 2300), 0);
    EXPECT_EQ(m_emulator.State()["day_receipts"], "2");
    // Both receipts carry the one cashier who logged in.
    EXPECT_EQ(TapeCount(m_emulator, "CASHIER Anna"), 2);
    EXPECT_EQ(TapeCount(m_emulator, "CASHIER Boris"), 0);

    // The port stays open until the last client lets it go.
    EXPECT_EQ(a->Done(), S_OK);
    EXPECT_TRUE(ServerHolds(device));
    EXPECT_GT(b.Sell(u"Milk", 42, 2300), 0);
    EXPECT_EQ(m_emulator.State()["day_receipts"], "3");
    b.Reset();  // release without Done
    EXPECT_TRUE(Eventually([&] { return !ServerHolds(device); }, 5000));
    // The engine is gone with the port, so its journal is complete: one login.
    EXPECT_EQ(Count(Journal(), "ConnectToPrinter("), 1);
}

TEST_F(AutomationE2e, PortLockHasNoOwnerAndTimesOut) {
    StartRegister(m_emulator, m_dir, kPort);
    StartServer();
    Client a, b;
    ASSERT_EQ(a.Create(), S_OK);
    ASSERT_EQ(b.Create(), S_OK);
    ASSERT_EQ(a.Init(kPort), S_OK);
    ASSERT_EQ(b.Init(kPort), S_OK);

    ASSERT_EQ(a->LockPrinter(5000), S_OK);

    // B waits about its time-out and is refused; the server answers A meanwhile.
    std::atomic<int64_t> bWaitedMs{-1};
    std::atomic<HRESULT> bResult{S_OK};
    std::thread waiter([&] {
        const auto start = std::chrono::steady_clock::now();
        bResult = b->LockPrinter(300);
        bWaitedMs = ElapsedMs(start);
    });
    std::this_thread::sleep_for(Ms(50));
    LONG sum = -1;
    EXPECT_EQ(a->GetCheckSum(&sum), S_OK);
    EXPECT_EQ(bWaitedMs.load(), -1) << "A's call was answered only after B's wait";
    waiter.join();
    EXPECT_EQ(bResult.load(), CONTEXT_E_SYNCH_TIMEOUT);
    EXPECT_GE(bWaitedMs.load(), 250);
    EXPECT_LE(bWaitedMs.load(), 1000);

    // The lock has no owner: A is refused like anyone, and B may unlock it.
    EXPECT_EQ(a->LockPrinter(100), CONTEXT_E_SYNCH_TIMEOUT);
    EXPECT_EQ(b->UnlockPrinter(), S_OK);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(b->LockPrinter(300), S_OK);
    EXPECT_LT(ElapsedMs(start), 250);

    // The lock is advisory: A still sells while B holds it.
    EXPECT_GT(a.Sell(u"Bread", 51, 700), 0);
    EXPECT_EQ(a->UnlockPrinter(), S_OK);
    EXPECT_EQ(a->UnlockPrinter(), S_OK);  // unlocking a free port is harmless
    EXPECT_EQ(a->LockPrinter(300), S_OK);
}

TEST_F(AutomationE2e, ClientKilledMidReceiptIsCancelledAndServerKeepsServing) {
    const std::string device = StartRegister(m_emulator, m_dir, kPort);
    const int otherPort = 7;
    StartRegister(m_second, m_dir + "/second", otherPort);
    StartServer();

    Client other;
    ASSERT_EQ(other.Create(), S_OK);
    ASSERT_EQ(other.Init(otherPort), S_OK);

    // The dying client: its own process and connection, killed with a receipt open.
    const pid_t child = ForkClient([] {
        auto& c = *new Client;  // held until the process is killed
        LONG sum = 0;
        return c.Create() == S_OK && c.Init(kPort) == S_OK && c->OpenCheck(u"1") == S_OK &&
               c->FiscalLineEx(u"Bread", 1, 1100, 0, 1, 0, 61, 0, u"", 0, &sum) == S_OK;
    });
    ASSERT_GT(child, 0) << "the child could not open its receipt";
    EXPECT_EQ(m_emulator.State()["receipt"], "open");
    EXPECT_EQ(m_emulator.State()["lines"], "1");

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    // The other port is served meanwhile.
    EXPECT_EQ(other.Sell(u"Milk", 62, 800), 800);

    // The server released the dead client's object; as the port's last client it closed the
    // receipt (a cancel, not a sale) and the port.
    EXPECT_TRUE(Eventually([&] { return m_emulator.State()["receipt"] == "closed"; }));
    EXPECT_EQ(TapeCount(m_emulator, "RECEIPT CANCELLED"), 1);
    EXPECT_EQ(m_emulator.State()["day_receipts"], "0");
    EXPECT_TRUE(Eventually([&] { return !ServerHolds(device); }, 5000));

    // And afterwards: the other port, and the freed one for a new client.
    EXPECT_EQ(other.Sell(u"Milk", 62, 800), 800);
    EXPECT_EQ(m_second.State()["day_receipts"], "2");
    Client again;
    ASSERT_EQ(again.Create(), S_OK);
    ASSERT_EQ(again.Init(kPort), S_OK);
    EXPECT_EQ(again.Sell(u"Bread", 61, 1100), 1100);
}

}  // namespace
}  // namespace vske2e
