// Receipts against the scripted register: the line command's fields, taxes, totals, closing
// with payments, and the failure rows.
#include <climits>
#include <functional>

#include "tests/engine/engine_fixture.h"

namespace vsktest {
namespace {

// Field offsets of a "FISC" command on a register without long articles.
constexpr size_t kName = 4, kSum = 16, kPrice = 25, kQty = 34, kPiece = 39, kTaxes = 41,
                 kArticle = 89, kDiscount = 93;

std::string FiscReply(long taxes) {
    return "FISC" + vsk::ZeroPadded(taxes, 10);
}

class ReceiptTest : public EngineTest {
protected:
    void ConnectAndOpen() {
        Connect();
        OpenReceipt();
    }
    int32_t Sell(int32_t qty, int32_t price, int16_t divisible = 0, int16_t tax1 = 0,
                 int16_t tax2 = 0, const std::string& name = "Bread") {
        return m_core->FiscalLine(name, qty, price, divisible, tax1, tax2, 0);
    }
};

TEST_F(ReceiptTest, EachLineWaitsOnceForStaleMessagesBeforeItIsSent) {
    ConnectAndOpen();
    const int64_t before = m_clock.TimedOutWaitMs();
    EXPECT_EQ(Sell(3, 1205), 3615);
    // The pending-error check waits its 5 ms; the send right behind it does not wait again.
    EXPECT_EQ(m_clock.TimedOutWaitMs() - before, 5);
}

TEST_F(ReceiptTest, OpeningCutsTheDepartmentAndCancelsAnOpenReceiptFirst) {
    m_core->SetShowStatusDialogs(true);
    Connect();
    EXPECT_EQ(m_core->OpenCheck("Department-twenty!"), 1);
    EXPECT_EQ(m_register.Frames().back(), "PREPDepartment-twen");  // 15 on family 1
    EXPECT_EQ(m_ui.status.back().title, Text(3000) + "Department-twen");
    EXPECT_EQ(m_core->OpenReturnCheck("2"), 1);
    std::vector<std::string> frames = m_register.Frames();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[frames.size() - 2], "CANC");
    EXPECT_EQ(frames.back(), "PREP2");
    EXPECT_TRUE(m_core->IsReturnCheck());
}

TEST_F(ReceiptTest, FamilyZeroDepartmentIsTwoCharacters) {
    m_conf.serial = "4401234567";
    Connect();
    EXPECT_EQ(m_core->OpenCheck("12345"), 1);
    EXPECT_EQ(m_register.Frames().back(), "PREP12");
}

TEST_F(ReceiptTest, OpeningFailuresLeaveNoReceipt) {
    Connect();
    m_register.On("PREP", {});
    EXPECT_EQ(m_core->OpenCheck("1"), 0);
    EXPECT_FALSE(m_core->IsCheckOpen());
    EXPECT_EQ(m_ui.boxes.back().text, Text(1003));
    m_register.On("PREP", {{"SOFTSLWORK"}});
    EXPECT_EQ(m_core->OpenCheck("1"), 0);
    EXPECT_FALSE(m_core->IsCheckOpen());
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTSLWORK");
}

TEST_F(ReceiptTest, OpeningWithAnErrorWaitingSendsNothing) {
    Connect();
    m_core->SetShowErrorMessages(false);
    m_register.Send("SOFTNREP");
    ASSERT_TRUE(m_clock.Wait(m_core->Queue().Event(), 20000));
    EXPECT_EQ(m_core->OpenCheck("1"), 0);
    EXPECT_EQ(m_register.Count("PREP"), 0u);
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTNREP");
}

// A long name goes out only inside a receipt, and not over an error the register sent unasked.
TEST_F(ReceiptTest, LongNameNeedsAnOpenReceiptAndNoWaitingError) {
    Connect();
    m_core->SetShowErrorMessages(false);
    EXPECT_EQ(m_core->LongName("Outside"), 0);
    EXPECT_EQ(m_register.Count("FINF"), 0u);
    OpenReceipt();
    m_register.Send("SOFTSLWORK");
    ASSERT_TRUE(m_clock.Wait(m_core->Queue().Event(), 20000));
    EXPECT_EQ(m_core->LongName("Over an error"), 0);
    EXPECT_EQ(m_register.Count("FINF"), 0u);
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTSLWORK");
    EXPECT_EQ(m_core->LongName("Inside"), 1);
    EXPECT_EQ(m_register.Last("FINF"), "FINFInside");

    // A register that does not answer is reported to the operator.
    m_core->SetShowErrorMessages(true);
    m_ui.boxes.clear();
    m_register.On("FINF", {});
    EXPECT_EQ(m_core->LongName("Unanswered"), 0);
    ASSERT_EQ(m_ui.boxes.size(), 1u);
    EXPECT_EQ(m_core->GetLastErrorCode(), "CONNTIMEOUT");
}

TEST_F(ReceiptTest, StatusWindowFollowsTheReceipt) {
    m_core->SetShowStatusDialogs(true);
    ConnectAndOpen();
    m_ui.status.clear();
    Sell(3, 1205);
    ASSERT_EQ(m_ui.status.size(), 2u);
    EXPECT_EQ(m_ui.status[0].title, Text(3002));
    EXPECT_EQ(m_ui.status[0].goods, vsk::Utf8ToCp1251("\"Bread       \" - Кол-во: 3, Цена: 12.05"));
    EXPECT_EQ(m_ui.status[1].title, Text(3002));  // the printed line keeps its title
    EXPECT_EQ(m_ui.status[1].goods, m_ui.status[0].goods);
    EXPECT_EQ(m_ui.status[1].amount, vsk::Utf8ToCp1251("Сумма: 3615"));
    m_core->FiscalLine("Flour", 1500, 999, 1, 0, 0, 0);
    EXPECT_EQ(m_ui.status[2].goods,
              vsk::Utf8ToCp1251("\"Flour       \" - Кол-во: 1.500, Цена: 9.99"));
    m_ui.status.clear();
    m_core->CloseCheck();
    ASSERT_EQ(m_ui.status.size(), 2u);
    EXPECT_EQ(m_ui.status[0].title, Text(3003));
    EXPECT_EQ(m_ui.status[1].title, RecordingStatusWindow::kClosed);
}

TEST_F(ReceiptTest, ServiceDocumentFlagAndItsClosingBeforeAReceipt) {
    Connect();
    EXPECT_EQ(m_core->CloseDocument(), 0);  // none open: nothing sent
    EXPECT_TRUE(m_register.Frames().empty());
    m_register.On("DBEG", {{"SOFTPARAM"}}, 1);
    m_core->SetShowErrorMessages(false);
    EXPECT_EQ(m_core->OpenDocument(0), 0);
    EXPECT_FALSE(m_core->IsDocumentOpen());
    EXPECT_EQ(m_core->OpenDocument(1), 1);
    EXPECT_EQ(m_register.Frames().back(), "DBEG1");
    EXPECT_TRUE(m_core->IsDocumentOpen());
    EXPECT_EQ(m_core->OpenCheck("1"), 1);
    std::vector<std::string> frames = m_register.Frames();
    EXPECT_EQ(frames[frames.size() - 2], "DEND");
    EXPECT_FALSE(m_core->IsDocumentOpen());
}

TEST_F(ReceiptTest, LineCommandFieldsAndSums) {
    ConnectAndOpen();
    struct Row {
        int32_t qty, price;
        int16_t divisible;
        const char *sum, *qtyField;
        char piece;
    };
    const Row rows[] = {
        {3, 1205, 0, "000003615", "00003", '1'},
        {1500, 999, 1, "000001499", "01500", '0'},  // 999 x 1.5 rounded half up
        {0, 1205, 0, "000001205", "00000", '1'},    // quantity 0 counts as 1
        {-2, 100, 0, "-00000200", "00000", '1'},
    };
    for (const Row& r : rows) {
        m_register.ClearLog();
        int32_t result = Sell(r.qty, r.price, r.divisible);
        std::string fisc = m_register.Last("FISC");
        ASSERT_EQ(fisc.size(), kArticle + 4) << r.qty;
        EXPECT_EQ(fisc.substr(kName, 12), "Bread       ");
        EXPECT_EQ(fisc.substr(kSum, 9), r.sum) << r.qty;
        EXPECT_EQ(fisc.substr(kPrice, 9), vsk::ZeroPadded(r.price, 9));
        EXPECT_EQ(fisc.substr(kQty, 5), r.qtyField);
        EXPECT_EQ(fisc[kPiece], r.piece);
        EXPECT_EQ(fisc.substr(kTaxes, 48), std::string(48, '0'));
        EXPECT_EQ(fisc.substr(kArticle), "0000");
        EXPECT_EQ(result, std::stol(r.sum)) << r.qty;
    }
    EXPECT_EQ(m_core->GetCheckSum(), 3615 + 1499 + 1205 - 200);
}

TEST_F(ReceiptTest, LineTaxesFollowTheTaxTableAndAgreeWithTheRegister) {
    ConnectAndOpen();
    m_register.On("FISC", {{FiscReply(241)}, {"READY"}});
    // On-sale 20 % of 1200 is 240; the register says 241, within 2: the register wins.
    EXPECT_EQ(Sell(1, 1200, 0, 1), 1200 + 241);
    std::string fisc = m_register.Last("FISC");
    EXPECT_EQ(fisc.substr(kTaxes, 12),
              "\xC0"
              "12000"
              "000000");
    EXPECT_EQ(m_core->GetCheckOnSaleTaxes(), 241);
    EXPECT_EQ(m_core->GetLastLineTaxes(), 241);

    // A register reporting no taxes gets the engine's: on-sale minus withheld (kind 2, 10 %).
    m_register.On("FISC", {{FiscReply(0)}, {"READY"}});
    EXPECT_EQ(Sell(1, 1000, 0, 1, 3), 1000 + 200 - 100);
    EXPECT_EQ(m_core->GetCheckOnSaleTaxes(), 241 + 200);
    EXPECT_EQ(m_core->RunningTotal(), 2200 + 441 - 100);

    // Far from the engine's figure, the register's number is kept apart from the totals.
    m_register.On("FISC", {{FiscReply(50)}, {"READY"}});
    EXPECT_EQ(Sell(1, 1000, 0, 1), 1050);
    EXPECT_EQ(m_core->GetCheckOnSaleTaxes(), 441 + 200);
}

// The register's line taxes replace the engine's on-sale or withheld figure when they are
// within two kopecks of it; three off, the engine's figure goes into the totals.
TEST_F(ReceiptTest, RegisterLineTaxesReplaceTheEnginesWithinTwoKopecksOnly) {
    ConnectAndOpen();
    m_register.On("FISC", {{FiscReply(242)}, {"READY"}});
    Sell(1, 1200, 0, 1);  // on-sale 20 %: 240
    EXPECT_EQ(m_core->GetCheckOnSaleTaxes(), 242);
    m_register.On("FISC", {{FiscReply(243)}, {"READY"}});
    Sell(1, 1200, 0, 1);
    EXPECT_EQ(m_core->GetCheckOnSaleTaxes(), 242 + 240);
    EXPECT_EQ(m_core->RunningTotal(), 2400 + 482);

    m_register.On("FISC", {{FiscReply(102)}, {"READY"}});
    Sell(1, 1000, 0, 3);  // withheld 10 %: 100
    EXPECT_EQ(m_core->RunningTotal(), 2400 + 482 + 1000 - 102);
    m_register.On("FISC", {{FiscReply(103)}, {"READY"}});
    Sell(1, 1000, 0, 3);
    EXPECT_EQ(m_core->RunningTotal(), 2400 + 482 + 2000 - 102 - 100);
    EXPECT_EQ(m_core->GetCheckOnSaleTaxes(), 482);
}

TEST_F(ReceiptTest, DiscountIsCappedAtTheLineAndSurchargeAdds) {
    ConnectAndOpen();
    EXPECT_EQ(m_core->FiscalLineEx("Milk", 3, 1205, 0, 0, 0, 0, 0, "Promo", 5000), 0);
    std::string fisc = m_register.Last("FISC");
    EXPECT_EQ(fisc.substr(kDiscount), "-Promo        000003615");
    EXPECT_EQ(m_core->FiscalLineEx("Milk", 3, 1205, 0, 0, 0, 0, 1, "Service charge", 100), 3715);
    EXPECT_EQ(m_register.Last("FISC").substr(kDiscount), "+Service charg000000100");
    // A negative direction sends no discount field and leaves the sum alone.
    EXPECT_EQ(m_core->FiscalLineEx("Milk", 3, 1205, 0, 0, 0, 0, -1, "None", 100), 3615);
    EXPECT_EQ(m_register.Last("FISC").size(), kDiscount);
}

TEST_F(ReceiptTest, ArticleNumbersFollowTheRegistersMaximum) {
    ConnectAndOpen();  // level 4: at most 9999 articles
    m_core->FiscalLine("Tea", 1, 100, 0, 0, 0, 12345);
    EXPECT_EQ(m_register.Last("FISC").substr(kArticle, 4), "0000");
    m_core->FiscalLine("Tea", 1, 100, 0, 0, 0, 42);
    EXPECT_EQ(m_register.Last("FISC").substr(kArticle, 4), "0042");
}

TEST_F(ReceiptTest, LargeArticleNumbersCarryTheirThousandsAsALetter) {
    m_conf.firmware = "KBLX";
    m_conf.firmwareDate = "20070609";  // level 8, article mode 0: up to 20688
    ConnectAndOpen();
    m_core->FiscalLine("Tea", 1, 100, 0, 0, 0, 12345);
    EXPECT_EQ(m_register.Last("FISC").substr(kArticle, 4), "C345");
}

TEST_F(ReceiptTest, LongNamesContinueAfterAnEmptyDiscountField) {
    ConnectAndOpen();
    const std::string name = "Chocolate bar with hazelnuts 1";  // 30 characters
    Sell(1, 100, 0, 0, 0, name);
    std::string fisc = m_register.Last("FISC");
    EXPECT_EQ(fisc.substr(kName, 12), "Chocolate ba");
    EXPECT_EQ(fisc.substr(kDiscount), std::string(23, '0') + "r with hazelnuts 1");

    // Divisible goods pad the continuation to the register's line and end it with a dot.
    Sell(1000, 100, 1, 0, 0, "Cheese, Swiss aged 1");
    fisc = m_register.Last("FISC");
    EXPECT_EQ(fisc.substr(kName, 12), "Cheese, Swis");
    EXPECT_EQ(fisc.substr(kDiscount + 23), "s aged 1" + std::string(20, ' ') + ".");
}

TEST_F(ReceiptTest, LineFailureRows) {
    struct Row {
        const char* what;
        std::function<void(ReceiptTest&)> arrange;
        std::function<int32_t(CVSKCore&)> act;
        int32_t result;
        bool cancelled;  // "CANC" went out and the receipt is closed
        bool sent;       // a line command went out
        const char* code;
    };
    const Row rows[] = {
        {"error waiting",
         [](ReceiptTest& t) {
             t.m_register.Send("SOFTSLWORK");
             t.m_clock.Wait(t.m_core->Queue().Event(), 20000);
         },
         [](CVSKCore& c) { return c.FiscalLine("A", 1, 1, 0, 0, 0, 0); }, -1, true, false,
         "SOFTSLWORK"},
        {"quantity too big", nullptr,
         [](CVSKCore& c) { return c.FiscalLine("A", 100000, 1, 1, 0, 0, 0); }, 0, true, false,
         "TOOBIGQTY"},
        {"tax index 9", nullptr, [](CVSKCore& c) { return c.FiscalLine("A", 1, 1, 0, 9, 0, 0); }, 0,
         true, false, "INVALIDTAX"},
        {"silent register", [](ReceiptTest& t) { t.m_register.On("FISC", {}); },
         [](CVSKCore& c) { return c.FiscalLine("A", 1, 1, 0, 0, 0, 0); }, -1, false, true,
         "CONNTIMEOUT"},
        {"error word", [](ReceiptTest& t) { t.m_register.On("FISC", {{"SOFTCHECK"}}); },
         [](CVSKCore& c) { return c.FiscalLine("A", 1, 1, 0, 0, 0, 0); }, -1, false, true,
         "SOFTCHECK"},
        {"sum over nine digits", nullptr,
         [](CVSKCore& c) { return c.FiscalLine("A", 99999, 999999, 0, 0, 0, 0); }, -1, false, false,
         "SOFTOVER"},
        {"divisible sum over 32 bits", nullptr,
         [](CVSKCore& c) { return c.FiscalLine("A", 99999, INT_MAX, 1, 0, 0, 0); }, -1, false,
         false, "SOFTOVER"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        m_core->SetShowErrorMessages(false);
        if (!m_core->IsCheckOpen()) {
            if (!m_core->IsPortOpen()) {
                Connect();
            }
            OpenReceipt();
        }
        m_core->GetLastErrorCode();
        if (row.arrange) {
            row.arrange(*this);
        }
        EXPECT_EQ(row.act(*m_core), row.result);
        EXPECT_EQ(m_register.Count("CANC") == 1, row.cancelled);
        EXPECT_EQ(m_core->IsCheckOpen(), !row.cancelled);
        EXPECT_EQ(m_register.Count("FISC") == 1, row.sent);
        EXPECT_EQ(m_core->GetLastErrorCode(), row.code);
        m_register.On("FISC", {{FiscReply(0)}, {"READY"}});
        m_register.ClearLog();
    }
    // Without an open receipt nothing is sent and nothing recorded.
    m_core->AbortCheck();
    m_register.ClearLog();
    EXPECT_EQ(Sell(1, 1), -1);
    EXPECT_TRUE(m_register.Frames().empty());
}

TEST_F(ReceiptTest, ReceiptTotalsThatWouldOverflowAreRefusedBeforeSending) {
    ConnectAndOpen();
    m_core->SetShowErrorMessages(false);
    EXPECT_EQ(Sell(1, 999999999), 999999999);
    EXPECT_EQ(Sell(1, 999999999), 999999999);
    m_register.ClearLog();
    EXPECT_EQ(Sell(1, 999999999), -1);
    EXPECT_EQ(m_register.Count("FISC"), 0u);
    EXPECT_TRUE(m_core->IsCheckOpen());
    EXPECT_EQ(m_core->GetCheckSum(), 1999999998);
    EXPECT_EQ(m_core->GetLastErrorMessage(), Text(2019));
}

TEST_F(ReceiptTest, FullCopyBufferIsNotAnError) {
    ConnectAndOpen();
    m_register.On("FISC", {{"SOFTCOPY"}, {FiscReply(0)}, {"READY"}});
    EXPECT_EQ(Sell(1, 500), 500);
    EXPECT_EQ(m_core->GetLastErrorCode(), "");
}

TEST_F(ReceiptTest, ReturnPartUsesReturnCommandsAndTotals) {
    ConnectAndOpen();
    Sell(1, 1000);
    EXPECT_EQ(m_core->SetCurrentCheckDirection(0), 1);  // any direction switches to returns
    Sell(1, 300);
    EXPECT_EQ(m_register.Frames().back().substr(0, 4), "BFIS");
    EXPECT_EQ(m_core->GetCheckReturnSum(), 300);
    EXPECT_EQ(m_core->RunningTotal(), 700);
}

TEST_F(ReceiptTest, ClosingAbsorbsAKopeckAndRefusesTooLittleMoney) {
    ConnectAndOpen();
    Sell(1, 1000);
    m_register.ClearLog();
    EXPECT_EQ(m_core->CloseCheckEx(500, 0, 0, 0), -1);
    EXPECT_EQ(m_register.Count("COMP"), 0u);
    EXPECT_TRUE(m_core->IsCheckOpen());
    ASSERT_EQ(m_ui.boxes.size(), 1u);
    EXPECT_EQ(m_ui.boxes[0].text, Text(3014));
    EXPECT_EQ(m_ui.boxes[0].icon, vsk::MsgIcon::Exclamation);
    EXPECT_EQ(m_core->GetLastErrorCode(), "CONNTIMEOUT");

    // A payment whose digits do not fit the closing's field is refused before sending.
    EXPECT_EQ(m_core->CloseCheckEx(INT_MAX, INT_MIN + 2000, 0, 0), -1);
    EXPECT_EQ(m_register.Count("COMP"), 0u);
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTOVER");

    EXPECT_EQ(m_core->CloseCheckEx(999, 0, 0, 0), 1000);
    EXPECT_EQ(m_register.Last("COMP"), "COMP" + vsk::ZeroPadded(1000, 10) + std::string(40, '0') +
                                           vsk::ZeroPadded(1000, 10));
    EXPECT_FALSE(m_core->IsCheckOpen());
}

// The cash takes up a difference of one kopeck either way, whatever the other payments; two
// kopecks short is too little money, and two over is change.
TEST_F(ReceiptTest, ClosingAbsorbsOneKopeckEitherWayButNotTwo) {
    ConnectAndOpen();
    m_core->SetShowErrorMessages(false);
    struct Row {
        int32_t cash, payCheck, credit, pack;
        int32_t sentCash;  // -1: refused, nothing sent
    } rows[] = {
        {998, 0, 0, 0, -1}, {300, 698, 0, 0, -1},  {0, 0, 500, 498, -1},
        {0, 0, 0, 998, -1}, {999, 0, 0, 0, 1000},  {300, 699, 0, 0, 301},
        {0, 0, 999, 0, 1},  {1001, 0, 0, 0, 1000}, {1002, 0, 0, 0, 1002},
    };
    for (const Row& r : rows) {
        const std::string what = std::to_string(r.cash) + "/" + std::to_string(r.payCheck) + "/" +
                                 std::to_string(r.credit) + "/" + std::to_string(r.pack);
        if (!m_core->IsCheckOpen()) {
            OpenReceipt();
        }
        ASSERT_EQ(Sell(1, 1000), 1000) << what;
        m_register.ClearLog();
        const int32_t result = m_core->CloseCheckEx(r.cash, r.payCheck, r.credit, r.pack);
        if (r.sentCash < 0) {
            EXPECT_EQ(result, -1) << what;
            EXPECT_EQ(m_register.Count("COMP"), 0u) << what;
            EXPECT_TRUE(m_core->IsCheckOpen()) << what;
            EXPECT_EQ(m_core->GetLastErrorCode(), "CONNTIMEOUT") << what;
            ASSERT_EQ(m_core->AbortCheck(), 1) << what;
            continue;
        }
        EXPECT_EQ(result, 1000) << what;
        EXPECT_EQ(m_register.Last("COMP"),
                  "COMP" + vsk::ZeroPadded(1000, 10) + vsk::ZeroPadded(0, 10) +
                      vsk::ZeroPadded(r.pack, 10) + vsk::ZeroPadded(r.payCheck, 10) +
                      vsk::ZeroPadded(r.credit, 10) + vsk::ZeroPadded(r.sentCash, 10))
            << what;
        EXPECT_FALSE(m_core->IsCheckOpen()) << what;
    }
}

TEST_F(ReceiptTest, TaxesOnTheTotalRoundOncePerRate) {
    ConnectAndOpen();
    m_register.On("FISC", {{FiscReply(66)}, {"READY"}});
    Sell(1, 333, 0, 1);
    Sell(1, 333, 0, 1);
    EXPECT_EQ(m_core->RunningTotal(), 798);  // 666 + 66 + 66 per line
    // 20 % of 666 is 133.2, rounded once: due 799, within a kopeck of the 798 paid.
    EXPECT_EQ(m_core->CloseCheck(), 799);
    EXPECT_EQ(m_register.Last("COMP").substr(4 + 50), vsk::ZeroPadded(799, 10));
}

TEST_F(ReceiptTest, ClosingResultListAndDocument) {
    ConnectAndOpen();
    Sell(1, 1000);
    std::string comp = "COMP";
    for (long v : {17L, 1000L, 0L, 0L, 0L, 0L, 0L, 0L, -5L}) {
        std::string field = std::to_string(v);
        comp += std::string(10 - field.size(), ' ') + field;
    }
    m_register.On("COMP", {{comp}, {"READY"}});
    EXPECT_EQ(m_core->CloseCheckEx(0, 1000, 0, 0), 1000);
    EXPECT_EQ(m_core->GetCheckResult(), "17;1000;0;0;0;0;0;0;-5");
    EXPECT_EQ(m_core->GetCheckResultXML(),
              "<?xml version=\"1.0\"?><vsk_check_info><check_info check_number=\"17\" "
              "total=\"1000\" onsale_taxes=\"0\" included_taxes=\"0\" saleincluded_taxes=\"0\" "
              "return=\"0\" return_onsale_taxes=\"0\" return_included_taxes=\"0\" "
              "return_saleincluded_taxes=\"-5\"/></vsk_check_info>");
    // A new receipt forgets the old figures.
    OpenReceipt();
    EXPECT_EQ(m_core->GetCheckResult(), "");
}

TEST_F(ReceiptTest, ClosingWithNoPaymentsSendsZeroSums) {
    ConnectAndOpen();
    Sell(1, 1000);
    EXPECT_EQ(m_core->CloseCheckEx(0, 0, 0, 0), 1000);
    EXPECT_EQ(m_register.Last("COMP"), "COMP" + std::string(60, '0'));
    EXPECT_EQ(m_core->GetCheckSum(), 0);
}

TEST_F(ReceiptTest, ClosingAndCancellingFailureRows) {
    Connect();
    m_core->SetShowErrorMessages(false);
    EXPECT_EQ(m_core->CloseCheckEx(100, 0, 0, 0), 0);  // no receipt
    EXPECT_EQ(m_register.Count("COMP"), 0u);

    OpenReceipt();
    Sell(1, 100);
    m_register.On("COMP", {});
    EXPECT_EQ(m_core->CloseCheck(), -1);
    EXPECT_TRUE(m_core->IsCheckOpen());
    EXPECT_EQ(m_core->GetLastErrorCode(), "CONNTIMEOUT");
    m_register.On("COMP", {{"HARDPAPER"}});
    EXPECT_EQ(m_core->CloseCheck(), -1);
    EXPECT_TRUE(m_core->IsCheckOpen());
    EXPECT_EQ(m_core->GetLastErrorCode(), "HARDPAPER");

    // An error nobody took up cancels the receipt instead of closing it.
    m_register.Send("SOFTSLWORK");
    ASSERT_TRUE(m_clock.Wait(m_core->Queue().Event(), 20000));
    EXPECT_EQ(m_core->CloseCheck(), 0);
    EXPECT_FALSE(m_core->IsCheckOpen());
    EXPECT_EQ(m_register.Count("CANC"), 1u);
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTSLWORK");

    OpenReceipt();
    m_register.On("CANC", {});
    EXPECT_EQ(m_core->AbortCheck(), 0);
    EXPECT_TRUE(m_core->IsCheckOpen());
    m_register.On("CANC", {{"READY"}});
    EXPECT_EQ(m_core->AbortCheck(), 1);
    EXPECT_FALSE(m_core->IsCheckOpen());
    EXPECT_EQ(m_core->AbortCheck(), 1);  // no receipt: still asks the register
    EXPECT_EQ(m_register.Count("CANC"), 3u);
}

TEST_F(ReceiptTest, FreeTextAndLongNameCommands) {
    ConnectAndOpen();
    EXPECT_EQ(m_core->FreeTextLine(0, 1, 0, "Thanks"), 1);
    EXPECT_EQ(m_register.Last("TEXT"), "TEXT110Thanks");
    EXPECT_EQ(m_core->FreeTextLine(5, 0, 7, std::string(50, 'x')), 1);
    EXPECT_EQ(m_register.Last("TEXT"), "TEXT001" + std::string(43, 'x'));
    EXPECT_EQ(m_core->LongName(std::string(100, 'n')), 1);
    EXPECT_EQ(m_register.Last("FINF"), "FINF" + std::string(86, 'n'));
    EXPECT_EQ(m_core->SetReturnCheckNumberStr(std::string(100, '1')), 1);
    EXPECT_EQ(m_register.Last("BCHN"), "BCHN" + std::string(86, '1'));
}

}  // namespace
}  // namespace vsktest
