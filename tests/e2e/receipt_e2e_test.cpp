// The engine against the vsk-emulator program over a pseudo-terminal: connecting, selling a whole
// receipt and the line faults a real register shows (silence, paper, error words).
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "resources/strings.h"
#include "tests/e2e/e2e_support.h"

namespace vske2e {
namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    std::string part;
    while (std::getline(in, part, separator))
        parts.push_back(part);
    return parts;
}

class ConnectE2e : public E2eTest {};

// Each preset identifies itself in its configuration reply; the engine must derive the same
// protocol variant and finish its start-up commands (mode switch, table mode or PPMD1) on it.
TEST_F(ConnectE2e, ConnectsAt115200ToEachProtocolVariant) {
    struct Row {
        const char* model;
        int family, level;
    };
    for (const Row& row : {Row{"f0-1", 0, 1}, Row{"f1-3", 1, 3}, Row{"f1-7", 1, 7},
                           Row{"f1-8", 1, 8}, Row{"f1-9", 1, 9}}) {
        SCOPED_TRACE(row.model);
        m_core.reset();
        m_emulator.Stop();
        Connect({"--model", row.model});
        EXPECT_EQ(m_core->ProtocolFamily(), row.family);
        EXPECT_EQ(m_core->ProtocolLevel(), row.level);
        EXPECT_EQ(m_emulator.Control("baud"), "BAUD 115200");
        EXPECT_EQ(m_core->GetLastErrorCode(), "");
        const CPrinterInfo& info = m_core->PrinterInfo();
        EXPECT_EQ(info.m_szFiscalNumber, "3000012345");
        EXPECT_EQ(info.m_Taxes[0].rateText, "20.00");
        EXPECT_EQ(info.m_Taxes[0].kind, '0');
        EXPECT_EQ(info.m_Taxes[3].kind, '1');
        EXPECT_EQ(info.m_Taxes[4].kind, '2');
        EXPECT_EQ(info.m_Taxes[5].kind, 0);  // Е is not set
        EXPECT_EQ(m_core->Done(), 0);
        EXPECT_FALSE(m_core->IsPortOpen());
    }
}

TEST_F(ConnectE2e, FindsARegisterThatListensOnlyAt57600) {
    Connect({"--only-baud", "57600"});
    EXPECT_EQ(m_emulator.Control("baud"), "BAUD 57600");
    EXPECT_EQ(m_core->ProtocolLevel(), 8);
    // The port stays at the speed found: a later command is understood.
    EXPECT_EQ(m_core->OpenCheck("1"), 1);
    EXPECT_EQ(m_emulator.State()["receipt"], "open");
}

TEST_F(ConnectE2e, ASilentRegisterEndsTheConnectionWithConntimeout) {
    StartEmulator({"--silent"});
    EXPECT_EQ(m_core->Init("COM5", "Anna", kPassword), 0);
    EXPECT_TRUE(Contains(m_core->GetLastErrorCode(), "CONNTIMEOUT"));
    EXPECT_FALSE(m_core->IsPortOpen());
    // The absent operator was asked once whether to retry, and cancelled.
    EXPECT_EQ(m_ui.boxes.size(), 1u);
}

TEST_F(ConnectE2e, AWrongPasswordIsRefused) {
    StartEmulator();
    EXPECT_EQ(m_core->Init("COM5", "Anna", "1111111111"), -2);
    EXPECT_TRUE(Contains(m_core->GetLastErrorCode(), "SOFTUPAS"));
}

class ReceiptE2e : public E2eTest {
protected:
    // Sells the mixed receipt: piece and divisible goods, a discount, a surcharge and a return
    // part; every line must be accepted at the sum the engine works out.
    void SellMixedReceipt() {
        ASSERT_EQ(m_core->OpenCheck("Dept 1"), 1);
        // Bread: 3 × 12.05, tax А (20 % included)
        EXPECT_EQ(m_core->FiscalLineEx("Bread", 3, 1205, 0, 1, 0, 11, -1, "", 0), 3615);
        // Cheese: 1.5 kg × 9.99 = 14.99 (rounded thousandths), tax Г (5 % on top): 74
        EXPECT_EQ(m_core->FiscalLineEx("Cheese Gouda", 1500, 999, 1, 4, 0, 12, -1, "", 0),
                  1499 + 74);
        // Milk: 2 × 30.00 with a discount of 1.50, taxes А and Б
        EXPECT_EQ(m_core->FiscalLineEx("Milk", 2, 3000, 0, 1, 2, 13, 0, "Promo", 150), 5850);
        // Delivery: 50.00 with a surcharge of 2.50, tax Г: 262
        EXPECT_EQ(m_core->FiscalLineEx("Delivery", 1, 5000, 0, 4, 0, 14, 1, "Express", 250),
                  5250 + 262);
        EXPECT_EQ(m_core->SetCurrentCheckDirection(1), 1);
        // One bread comes back.
        EXPECT_EQ(m_core->FiscalLineEx("Bread", 1, 1205, 0, 1, 0, 11, -1, "", 0), 1205);
        EXPECT_EQ(m_core->GetLastErrorCode(), "");
    }
};

TEST_F(ReceiptE2e, MixedReceiptClosesWithTheRegistersFigures) {
    Connect();
    SellMixedReceipt();
    std::map<std::string, std::string> open = m_emulator.State();
    ASSERT_EQ(open["receipt"], "open");
    EXPECT_EQ(open["part"], "return");
    EXPECT_EQ(open["lines"], "5");
    EXPECT_EQ(std::to_string(m_core->GetCheckSum()), open["sale"]);
    EXPECT_EQ(std::to_string(m_core->GetCheckReturnSum()), open["return"]);

    // The engine's taxes on the total and amount due agree with the register's.
    const std::string due = open["due"];
    ASSERT_FALSE(due.empty());
    const int32_t dueValue = std::stoi(due);
    EXPECT_EQ(dueValue, 3615 + 1499 + 5850 + 5250 - 1205 + (1499 + 5250) * 5 / 100);

    // Two payments: 100.00 by card, the rest in cash with 3.00 change.
    const int32_t card = 10000, cash = dueValue - card + 300;
    EXPECT_EQ(m_core->CloseCheckEx(cash, card, 0, 0), dueValue) << m_core->GetLastErrorCode();
    EXPECT_FALSE(m_core->IsCheckOpen());

    std::map<std::string, std::string> closed = m_emulator.State();
    EXPECT_EQ(closed["receipt"], "closed");
    EXPECT_EQ(m_core->GetCheckResult(), closed["closing"]);
    const std::vector<std::string> figures = Split(m_core->GetCheckResult(), ';');
    ASSERT_EQ(figures.size(), 9u);
    EXPECT_EQ(figures[0], closed["last_receipt"]);
    EXPECT_EQ(figures[1], open["sale"]);
    EXPECT_EQ(figures[2], open["onsale"]);
    EXPECT_EQ(figures[3], open["included"]);
    EXPECT_EQ(figures[5], open["return"]);
    EXPECT_TRUE(Contains(m_core->GetCheckResultXML(), figures[1]));
    // The drawer got the cash part less the change and the card part is counted apart.
    EXPECT_EQ(closed["cash_sales"], std::to_string(dueValue - card));

    // The tape shows every line, the total, both payments and the change.
    const std::vector<std::string> tape = m_emulator.Tape();
    auto printed = [&tape](const std::string& label, const std::string& value) {
        return std::any_of(tape.begin(), tape.end(), [&](const std::string& line) {
            return Contains(line, label) && Contains(line, value);
        });
    };
    for (const char* goods : {"Bread", "Cheese Gouda", "Milk", "Promo", "Delivery", "Express"}) {
        EXPECT_TRUE(printed(goods, "")) << goods << " missing from the tape";
    }
    EXPECT_TRUE(printed("RETURNS", Money(1205)));
    EXPECT_TRUE(printed("TOTAL", Money(dueValue)));
    EXPECT_TRUE(printed("NON-CASH", Money(card)));
    EXPECT_TRUE(printed("CASH", Money(cash)));
    EXPECT_TRUE(printed("CHANGE", Money(300)));
    EXPECT_TRUE(printed("RECEIPT", figures[0]));
}

// The same receipt on every protocol variant: the line command forms (name continuation,
// long and lettered articles, the long name, the article mode 2 form, the older family's
// short fields) must be what the register accepts, with the sums both sides work out.
TEST_F(ReceiptE2e, LineFormsOfEveryVariantAreAcceptedWithAgreeingSums) {
    struct Row {
        std::vector<std::string> args;
        int32_t article;  // one above 9999 where the register takes it
    };
    const Row rows[] = {
        {{"--model", "f0-1"}, 120},
        {{"--model", "f1-3"}, 9999},
        {{"--model", "f1-7"}, 4999},
        {{"--model", "f1-8"}, 12345},
        {{"--model", "f1-8", "--article-mode", "2"}, 123456789},
        {{"--model", "f1-9"}, 15000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.back());
        m_core.reset();
        m_emulator.Stop();
        Connect(row.args);
        ASSERT_EQ(m_core->OpenCheck("Department 12345"), 1) << m_core->GetLastErrorCode();
        EXPECT_EQ(m_core->FiscalLineEx("Wholemeal bread, sliced 750 g", 2, 1205, 0, 1, 0,
                                       row.article, -1, "", 0),
                  2410);
        EXPECT_EQ(m_core->LongName("Organic cheese from the valley farm, aged twelve months"), 1);
        EXPECT_EQ(m_core->FiscalLineEx("Cheese, aged, from the farm", 1500, 999, 1, 2, 0, 7, 0,
                                       "Loyalty card", 99),
                  1400);
        EXPECT_EQ(m_core->FiscalLine("Bag", 0, 50, 0, 3, 0, 8), 50);  // quantity 0 counts as 1
        EXPECT_EQ(m_core->FreeTextLine(0, 0, 0, "Thank you"), 1);
        EXPECT_EQ(m_core->GetLastErrorCode(), "");
        std::map<std::string, std::string> open = m_emulator.State();
        EXPECT_EQ(open["lines"], "3");
        EXPECT_EQ(open["sale"], std::to_string(m_core->GetCheckSum()));
        EXPECT_EQ(m_core->CloseCheck(), 3860) << m_core->GetLastErrorCode();
        EXPECT_EQ(m_core->GetCheckResult(), m_emulator.State()["closing"]);
    }
}

TEST_F(ReceiptE2e, JournalRecordsTheWholeReceiptWithThePasswordMasked) {
    const std::string password = "Pw-7319-xy";
    StartEmulator({"--password", password}, /*journal=*/true);
    ASSERT_EQ(m_core->Init("COM5", "Anna", password), 1) << m_core->GetLastErrorCode();
    ASSERT_EQ(m_core->OpenCheck("1"), 1);
    ASSERT_EQ(m_core->FiscalLine("Bread", 3, 1205, 0, 1, 0, 11), 3615);
    ASSERT_EQ(m_core->CloseCheck(), 3615);
    EXPECT_EQ(m_core->Done(), 0);
    m_core.reset();  // closes the journal

    std::string text;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(m_dir + "/programdata")) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        text += all.str();
    }
    ASSERT_FALSE(text.empty()) << "no journal file under the temporary ProgramData";
    EXPECT_FALSE(Contains(text, password)) << "the cashier password reached the journal";
    // The lines of the receipt, in order.
    size_t at = 0;
    for (const char* line : {
             "Init(szPortName = COM5, CashierIdent = Anna",
             ">>> To Printer >>>UPAS**********Anna",
             "<< From Printer <<READY",
             "OpenCheck(1)",
             ">>> To Printer >>>PREP1",
             "FiscalLineEx(Name = Bread, Qty = 3, Price = 1205, Divided = 0, Tax1 = 1, Tax2 = 0, "
             "Article = 11, DiscountDirection = 0, DiscountName = , Discount = 0)",
             ">>> To Printer >>>FISCBread       000003615000001205000031",
             "<< From Printer <<FISC",
             "FiscalLineEx m_lLineTaxes = 0, LineSumm = 3615, Result = 3615",
             "CloseCheck()",
             "CloseCheckEx(Cash = 3615, PayCheck = 0, Credit = 0, Pack = 0)",
             ">>> To Printer >>>COMP000000361500000000000000000000000000000000000000000000003615",
             "<< From Printer <<COMP",
             "CloseCheckEx Result = 3615",
             "Done()",
         }) {
        const size_t found = text.find(line, at);
        EXPECT_NE(found, std::string::npos) << "journal line missing or out of order: " << line;
        if (found != std::string::npos)
            at = found;
    }
    EXPECT_TRUE(Contains(text, "\r\n"));
}

class FaultE2e : public E2eTest {};

// Silence mid-session: the opening and a line fail with CONNTIMEOUT, nothing is counted twice,
// and the receipt closes correctly once the register talks again.
TEST_F(FaultE2e, SilenceFailsTheExchangeAndTheSessionRecovers) {
    Connect();
    ASSERT_EQ(m_emulator.Control("silence on"), "OK");
    EXPECT_EQ(m_core->OpenCheck("1"), 0);
    EXPECT_FALSE(m_core->IsCheckOpen());
    EXPECT_TRUE(Contains(m_core->GetLastErrorCode(), "CONNTIMEOUT"));
    EXPECT_TRUE(Contains(m_core->GetLastErrorMessage(), vsk::LoadString1251(1003)));

    ASSERT_EQ(m_emulator.Control("silence off"), "OK");
    ASSERT_EQ(m_core->OpenCheck("1"), 1);
    ASSERT_EQ(m_core->FiscalLine("Bread", 1, 1205, 0, 1, 0, 11), 1205);
    ASSERT_EQ(m_emulator.Control("silence on"), "OK");
    EXPECT_EQ(m_core->FiscalLine("Milk", 1, 3000, 0, 1, 0, 13), -1);
    EXPECT_TRUE(m_core->IsCheckOpen());
    EXPECT_TRUE(Contains(m_core->GetLastErrorCode(), "CONNTIMEOUT"));
    EXPECT_EQ(m_core->GetCheckSum(), 1205);

    ASSERT_EQ(m_emulator.Control("silence off"), "OK");
    EXPECT_EQ(m_core->CloseCheck(), 1205) << m_core->GetLastErrorCode();
    EXPECT_EQ(m_emulator.State()["receipt"], "closed");
}

TEST_F(FaultE2e, PaperOutMidReceiptKeepsTheReceiptOpenAndCancelWorks) {
    Connect();
    ASSERT_EQ(m_core->OpenCheck("1"), 1);
    ASSERT_EQ(m_core->FiscalLine("Bread", 1, 1205, 0, 1, 0, 11), 1205);

    // Paper low: a warning before READY, the line goes through.
    ASSERT_EQ(m_emulator.Control("paper low"), "OK");
    EXPECT_EQ(m_core->FiscalLine("Milk", 1, 3000, 0, 1, 0, 13), 3000);
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTPAPER");

    ASSERT_EQ(m_emulator.Control("paper out"), "OK");
    EXPECT_EQ(m_core->FiscalLine("Cheese", 1, 999, 0, 1, 0, 12), -1);
    EXPECT_EQ(m_core->GetLastErrorCode(), "HARDPAPER");
    EXPECT_EQ(m_core->GetLastErrorMessage(), vsk::LoadString1251(2020));
    EXPECT_TRUE(m_core->IsCheckOpen());
    EXPECT_EQ(m_core->GetCheckSum(), 4205);
    std::map<std::string, std::string> state = m_emulator.State();
    EXPECT_EQ(state["receipt"], "open");
    EXPECT_EQ(state["lines"], "2");

    EXPECT_EQ(m_core->AbortCheck(), 1);
    EXPECT_FALSE(m_core->IsCheckOpen());
    EXPECT_EQ(m_emulator.State()["receipt"], "closed");
}

// An error word the register sent on its own waits in the queue: the next line is not sent,
// the receipt is cancelled on both sides. An error word in answer to a command fails only it.
TEST_F(FaultE2e, ErrorWordsRefuseOrFailTheNextCommand) {
    Connect();
    ASSERT_EQ(m_core->OpenCheck("1"), 1);
    ASSERT_EQ(m_core->FiscalLine("Bread", 1, 1205, 0, 1, 0, 11), 1205);

    ASSERT_EQ(m_emulator.Control("error SOFTPARAM"), "OK");
    EXPECT_EQ(m_core->FiscalLine("Milk", 1, 3000, 0, 1, 0, 13), -1);
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTPARAM");
    EXPECT_TRUE(m_core->IsCheckOpen());
    EXPECT_EQ(m_emulator.State()["receipt"], "open");
    EXPECT_EQ(m_core->FiscalLine("Milk", 1, 3000, 0, 1, 0, 13), 3000);

    ASSERT_EQ(m_emulator.Control("send HARDTIMER"), "OK");
    ASSERT_TRUE(WaitForQueued());
    EXPECT_EQ(m_core->FiscalLine("Cheese", 1, 999, 0, 1, 0, 12), -1);
    EXPECT_EQ(m_core->GetLastErrorCode(), "HARDTIMER");
    EXPECT_FALSE(m_core->IsCheckOpen());
    std::map<std::string, std::string> state = m_emulator.State();
    EXPECT_EQ(state["receipt"], "closed");
    EXPECT_EQ(state["lines"], "0");  // the cheese was never sent; the receipt was cancelled
    EXPECT_EQ(state["closing"], "-");
}

}  // namespace
}  // namespace vske2e
