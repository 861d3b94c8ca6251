// The emulated register without a pseudo-terminal: state rules, computed taxes and totals, the
// COMP figures, the data reply layouts the server reads, and the command-level faults.
#include "emulator/register.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/util.h"

namespace vsk::emu {
namespace {

using Replies = std::vector<std::string>;
const Replies kReady = {"READY"};

// A sale line as the server builds it when the article mode is not 2: name 12, sum 9, price 9,
// quantity 5, piece flag, '0', eight tax groups of 6, article 4, optional discount field.
std::string Line(const Register& reg, const char* word, const std::string& name, int64_t sum,
                 int64_t price, int64_t qty, bool piece, std::vector<int> taxes,
                 const std::string& article = "0000", const std::string& discount = "") {
    std::string text = std::string(word) + PadRight(name, 12) + ZeroPad(sum, 9) +
                       ZeroPad(price, 9) + ZeroPad(qty, 5) + (piece ? "1" : "0") + "0";
    for (int i = 1; i <= 8; ++i) {
        bool used = false;
        for (int t : taxes)
            used = used || t == i;
        const TaxRate& r = reg.model().taxes[i - 1];
        text += used ? std::string(1, TaxLetter(i)) + r.kind + ZeroPad(r.rate, 4) : "000000";
    }
    return text + article + discount;
}

std::string Comp(int64_t sale, int64_t ret, int64_t pack, int64_t check, int64_t credit,
                 int64_t cash) {
    return "COMP" + ZeroPad(sale, 10) + ZeroPad(ret, 10) + ZeroPad(pack, 10) + ZeroPad(check, 10) +
           ZeroPad(credit, 10) + ZeroPad(cash, 10);
}

Register MakeRegister(const char* model = "f1-8", RegisterOptions options = {}) {
    options.now = [] { return std::time_t{1700000000}; };  // 2023-11-14, fixed
    return Register(*FindModel(model), std::move(options));
}

TEST(RegisterLogin, PasswordIsCheckedAndCanBeChanged) {
    Register reg = MakeRegister();
    EXPECT_EQ(reg.Handle("UPAS0000000000Cashier"), kReady);
    EXPECT_EQ(reg.Handle("UPAS1234567890Cashier"), Replies{"SOFTUPAS"});
    // 20 characters after the word: current and new password.
    EXPECT_EQ(reg.Handle("UPAS12345678901111111111"), Replies{"SOFTUPAS"});
    EXPECT_EQ(reg.Handle("UPAS00000000001111111111"), kReady);
    EXPECT_EQ(reg.Handle("UPAS0000000000Cashier"), Replies{"SOFTUPAS"});
    EXPECT_EQ(reg.Handle("UPAS1111111111"), kReady);
    EXPECT_EQ(reg.Handle("UPAS11"), Replies{"SOFTPARAM"});
}

struct RuleCase {
    const char* model;
    std::vector<std::string> setup;
    std::string command;
    std::string reply;  // first reply word
};

TEST(RegisterStateRules, RefusalsFollowStateAndModel) {
    const std::string fisc = "FISC" + std::string(12, 'x') + ZeroPad(100, 9) + ZeroPad(100, 9) +
                             ZeroPad(1, 5) + "10" + std::string(48, '0') + "0000";
    const std::vector<RuleCase> cases = {
        {"f1-8", {}, fisc, "SOFTPROTOC"},            // no receipt open
        {"f1-8", {"PREP1"}, "PREP1", "SOFTPROTOC"},  // already open
        {"f1-8", {}, "COMP" + std::string(60, '0'), "SOFTPROTOC"},
        {"f1-8", {}, "QQQQ", "SOFTCOMMAN"},
        {"f1-8", {}, "QQ", "SOFTCOMMAN"},
        {"f1-8", {"PREP1"}, "FISCshort", "SOFTPARAM"},
        {"f1-8", {"PREP1"}, fisc.substr(0, 20) + "x" + fisc.substr(21), "SOFTPARAM"},
        {"f1-8", {"PREP1"}, "COMP123", "SOFTPARAM"},
        {"f1-8", {}, "FEED300", "SOFTPARAM"},
        {"f1-8", {}, "CTIM240000", "SOFTPARAM"},
        {"f1-8", {"DBEG0"}, "PREP1", "SOFTPROTOC"},   // document open
        {"f1-8", {}, "DLINB", "SOFTPROTOC"},          // no document
        {"f1-8", {}, "COPY", "SOFTPROTOC"},           // nothing to copy
        {"f1-8", {}, "CAIOO0000000100", "SOFTNEED"},  // empty drawer
        {"f1-8", {"PREP1"}, "ZREP", "SOFTPROTOC"},    // no report inside a receipt
        {"f0-1", {}, "PREP123", "SOFTPARAM"},         // department of 2 on family 0
        // commands a model does not have
        {"f0-1", {}, "nrep", "SOFTCOMMAN"},
        {"f0-1", {}, "CUTR10", "SOFTCOMMAN"},
        {"f0-1", {}, "FIRN", "SOFTCOMMAN"},
        {"f1-8", {}, "IREN", "SOFTCOMMAN"},
        {"f1-8", {}, "SVSL12345", "SOFTCOMMAN"},
        {"f1-7", {}, "FICD", "SOFTCOMMAN"},
        {"f1-7", {}, "dset", "SOFTCOMMAN"},
        {"f1-8", {}, "DISP1" + std::string(16, ' '), "SOFTCOMMAN"},  // numeric display
        {"f0-0", {}, "DISp" + std::string(12, ' '), "SOFTCOMMAN"},
        {"f1-6", {}, "STRN", "SOFTCOMMAN"},
        // level 7: receipts in registration mode, reports in report mode, checked passwords
        {"f1-7", {}, "NREP", "SOFTSLNREP"},
        {"f1-7", {"SVSL26419"}, "PREP1", "SOFTSLWORK"},
        {"f1-7", {}, "SVSL21111", "SOFTUPAS"},
        {"f1-7", {"SVSL26419"}, "NREP", "READY"},
        {"f1-7", {"SVSL26419", "SVSL13807"}, "PREP1", "READY"},
        {"f1-8", {"PREP1"}, "STRN", "SOFTPROTOC"},  // nothing to cancel
    };
    for (const RuleCase& c : cases) {
        Register reg = MakeRegister(c.model);
        for (const std::string& s : c.setup)
            ASSERT_EQ(reg.Handle(s).back(), "READY") << s;
        Replies r = reg.Handle(c.command);
        ASSERT_FALSE(r.empty());
        EXPECT_EQ(r.front(), c.reply) << c.model << " " << c.command;
    }
}

TEST(RegisterReceipt, LinesReportTheirTaxesAndClosingGivesTheNineFigures) {
    Register reg = MakeRegister();
    ASSERT_EQ(reg.Handle("PREP1"), kReady);
    // А 20 % included: ceiling(3615 * (1 - 1/1.2)) = 603, nothing on top.
    EXPECT_EQ(reg.Handle(Line(reg, "FISC", "Bread", 3615, 1205, 3, true, {1})),
              (Replies{"FISC0", "READY"}));
    // Divisible 1.5 x 9.99 = 14.99 with Г 5 % on top: floor(74.95) = 74.
    EXPECT_EQ(reg.Handle(Line(reg, "FISC", "Cheese", 1499, 999, 1500, false, {4})),
              (Replies{"FISC74", "READY"}));
    // Д 2 % withheld: the line's tax is negative for the customer.
    EXPECT_EQ(reg.Handle(Line(reg, "FISC", "Lottery", 1000, 1000, 1, true, {5})),
              (Replies{"FISC-20", "READY"}));
    // A line whose sum disagrees with price x quantity is refused and changes nothing.
    EXPECT_EQ(reg.Handle(Line(reg, "FISC", "Bad", 3616, 1205, 3, true, {1})), Replies{"SOFTCHECK"});
    EXPECT_EQ(reg.lines().size(), 3u);

    // Taxes on the total (the default): on-sale floor(1499 * 0.05 + 0.5) = 75, withheld 20.
    const int64_t due = 3615 + 1499 + 1000 + 75 - 20;
    EXPECT_EQ(reg.Due(), due);
    EXPECT_EQ(reg.Handle(Comp(6114, 0, 0, 0, 0, due - 1)), Replies{"SOFTCHECK"});
    EXPECT_EQ(reg.Handle(Comp(6113, 0, 0, 0, 0, 7000)), Replies{"SOFTCHECK"});
    Replies closing = reg.Handle(Comp(6114, 0, 0, 1000, 0, 7000));
    ASSERT_EQ(closing.size(), 2u);
    EXPECT_EQ(closing[1], "READY");
    // nine right-aligned fields of 10 after the word
    ASSERT_EQ(closing[0].size(), 4u + 90u);
    EXPECT_EQ(closing[0].substr(0, 24), "COMP         1      6114");
    EXPECT_EQ(reg.lastClosing(), "1;6114;75;603;20;0;0;0;0");
    EXPECT_FALSE(reg.receiptOpen());
    // 1000 by card, the rest in cash with change: the drawer keeps due - 1000.
    EXPECT_EQ(reg.cash().total, due - 1000);
    EXPECT_EQ(reg.cash().checkIncome, 1000);
    EXPECT_EQ(reg.day().total, 6114);
    EXPECT_EQ(reg.day().taxTotal[0], 3615);
    EXPECT_EQ(reg.lastReceiptNumber(), 1);
}

TEST(RegisterReceipt, DiscountsSurchargesAndTheReturnPart) {
    Register reg = MakeRegister();
    ASSERT_EQ(reg.Handle("PREP1"), kReady);
    const std::string discount = "-" + PadRight("Promo", 13) + ZeroPad(615, 9);
    const std::string surcharge = "+" + PadRight("Service", 13) + ZeroPad(100, 9);
    const std::string tooMuch = "-" + PadRight("Promo", 13) + ZeroPad(5000, 9);
    EXPECT_EQ(reg.Handle(Line(reg, "FISC", "Bread", 3615, 1205, 3, true, {}, "0000", tooMuch)),
              Replies{"SOFTBADDISC"});
    EXPECT_EQ(
        reg.Handle(Line(reg, "FISC", "Bread", 3615, 1205, 3, true, {}, "0000", discount)).back(),
        "READY");
    EXPECT_EQ(reg.Handle(Line(reg, "FISC", "Tea", 500, 500, 0, true, {}, "0000", surcharge)).back(),
              "READY");
    EXPECT_EQ(reg.totals().sale, 3000 + 600);
    EXPECT_EQ(reg.Handle(Line(reg, "BFIS", "Tea", 500, 500, 1, true, {})).back(), "READY");
    EXPECT_TRUE(reg.returnPart());
    // never back to sales within the receipt
    EXPECT_EQ(reg.Handle(Line(reg, "FISC", "Tea", 500, 500, 1, true, {})), Replies{"SOFTPROTOC"});
    EXPECT_EQ(reg.Due(), 3100);
    EXPECT_EQ(reg.Handle(Comp(3600, 500, 0, 0, 0, 3100)).back(), "READY");
    EXPECT_EQ(reg.lastClosing(), "1;3600;0;0;0;500;0;0;0");
    EXPECT_EQ(reg.day().discounts, 615);
    EXPECT_EQ(reg.day().surcharges, 100);
}

TEST(RegisterReceipt, TaxesOnTheTotalOrPerLineChangeTheAmountDue) {
    Model model = *FindModel("f1-8");
    model.taxes[0] = {true, "20110101", '1', 2000};  // А 20 % on top of the price
    for (bool perLine : {false, true}) {
        Register reg(model);
        if (perLine) {
            ASSERT_EQ(reg.Handle("PPMD"), kReady);
        }
        ASSERT_EQ(reg.Handle("PREP1"), kReady);
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(reg.Handle(Line(reg, "FISC", "Item", 333, 333, 1, true, {1})),
                      (Replies{"FISC66", "READY"}));
        }
        // on the total floor(666 * 0.2 + 0.5) = 133, per line 66 + 66 = 132
        const int64_t due = perLine ? 798 : 799;
        EXPECT_EQ(reg.Due(), due) << perLine;
        EXPECT_EQ(reg.Handle(Comp(666, 0, 0, 0, 0, 798)).back(), perLine ? "READY" : "SOFTCHECK");
    }
}

TEST(RegisterReceipt, PaymentsAndTheDrawer) {
    {  // a closing without figures pays the register's own amount in cash
        Register reg = MakeRegister();
        reg.Handle("PREP1");
        reg.Handle(Line(reg, "FISC", "Tea", 500, 500, 1, true, {}));
        EXPECT_EQ(reg.Handle(Comp(0, 0, 0, 0, 0, 0)).back(), "READY");
        EXPECT_EQ(reg.cash().sales, 500);
    }
    {  // non-cash payments give no change
        Register reg = MakeRegister();
        reg.Handle("PREP1");
        reg.Handle(Line(reg, "FISC", "Tea", 500, 500, 1, true, {}));
        EXPECT_EQ(reg.Handle(Comp(500, 0, 0, 600, 0, 0)), Replies{"SOFTCHECK"});
        EXPECT_TRUE(reg.receiptOpen());
    }
    for (int64_t drawer : {0, 5000}) {  // a return pays out of the drawer
        RegisterOptions options;
        options.cash = drawer;
        Register reg = MakeRegister("f1-8", options);
        reg.Handle("PREP1");
        reg.Handle(Line(reg, "BFIS", "Tea", 1000, 1000, 1, true, {}));
        Replies r = reg.Handle(Comp(0, 1000, 0, 0, 0, 1000));
        EXPECT_EQ(r.back(), drawer == 0 ? "SOFTNEED" : "READY");
        EXPECT_EQ(reg.cash().total, drawer == 0 ? 0 : 4000);
    }
}

TEST(RegisterReceipt, CancelFreeTextAndStorno) {
    Register reg = MakeRegister();
    EXPECT_EQ(reg.Handle("CANC"), kReady);  // nothing open: confirmed anyway
    EXPECT_EQ(reg.Handle("TEXT110Thank you"), kReady);
    EXPECT_EQ(reg.Handle("TEXT110" + std::string(40, 'x')), Replies{"SOFTPARAM"});
    reg.Handle("PREP1");
    reg.Handle(Line(reg, "FISC", "Tea", 500, 500, 1, true, {}));
    reg.Handle(Line(reg, "FISC", "Cake", 700, 700, 1, true, {}));
    EXPECT_EQ(reg.Handle("STRN"), kReady);
    EXPECT_EQ(reg.totals().sale, 500);
    EXPECT_EQ(reg.Handle("CANC"), kReady);
    EXPECT_FALSE(reg.receiptOpen());
    EXPECT_EQ(reg.lastReceiptNumber(), 0);
    reg.Handle("PREP1");
    reg.Handle(Line(reg, "FISC", "Tea", 500, 500, 1, true, {}));
    reg.Handle(Comp(500, 0, 0, 0, 0, 500));
    // The tape's own counts: a CANC with nothing open and a refused COMP are not receipts; a
    // NULL receipt moves the number but is no sale; a receipt with a return part is a return.
    EXPECT_EQ(reg.Handle("CANC"), kReady);
    reg.Handle("PREP1");
    reg.Handle(Line(reg, "BFIS", "Tea", 500, 500, 1, true, {}));
    EXPECT_EQ(reg.Handle(Comp(0, 400, 0, 0, 0, 400)), Replies{"SOFTCHECK"});
    EXPECT_EQ(reg.Handle(Comp(0, 500, 0, 0, 0, 500)).back(), "READY");
    EXPECT_EQ(reg.Handle("NULL"), kReady);
    EXPECT_EQ(reg.lastReceiptNumber(), 3);
    EXPECT_EQ(reg.receiptsClosed(), 2);
    EXPECT_EQ(reg.returnsClosed(), 1);
    EXPECT_EQ(reg.receiptsCancelled(), 1);
    EXPECT_NE(reg.StateLine().find(" receipts=2 returns=1 cancelled=1"), std::string::npos)
        << reg.StateLine();
    reg.Handle("TEXT110Thank you");
    reg.Handle("PREP1");
    reg.Handle(Line(reg, "FISC", "Tea", 500, 500, 1, true, {}));
    reg.Handle(Comp(500, 0, 0, 0, 0, 500));
    // the free text line waited for the next receipt and was printed after its fiscal part
    ASSERT_GE(reg.tape().size(), 2u);
    EXPECT_EQ(reg.tape()[reg.tape().size() - 2], "Thank you");
}

TEST(RegisterArticles, ArticlesAreActivatedByTheirFirstLine) {
    EXPECT_EQ(ParseArticle4("0007"), 7);
    EXPECT_EQ(ParseArticle4("C345"), 12345);
    EXPECT_EQ(ParseArticle4("Z345"), -1);
    EXPECT_EQ(ParseArticle4("12x4"), -1);

    Register reg = MakeRegister();
    reg.Handle("PREP1");
    EXPECT_EQ(reg.Handle(Line(reg, "FISC", "Tea", 1000, 500, 2, true, {1}, "C345")).back(),
              "READY");
    EXPECT_EQ(reg.Handle(Line(reg, "FISC", "Coffee", 500, 500, 1, true, {1}, "C345")),
              Replies{"SOFTDIFART"});
    // level 8 in short article mode accepts up to 20688
    EXPECT_EQ(reg.Handle(Line(reg, "FISC", "Tea", 500, 500, 1, true, {1}, "K999")),
              Replies{"SOFTBADART"});
    Replies artd = reg.Handle("ARTDC345");
    ASSERT_EQ(artd.size(), 2u);
    const std::string data = artd[0].substr(4);
    EXPECT_EQ(data.substr(0, 4), "C345");
    EXPECT_EQ(data.substr(4, 24), PadRight("Tea", 24));
    EXPECT_EQ(data.substr(28, 1), "1");  // piece goods
    EXPECT_EQ(data.substr(29, 8), std::string(1, TaxLetter(1)) + "0000000");
    EXPECT_EQ(data.substr(37, 10), "0000000002");
    EXPECT_EQ(data.substr(47, 10), "0000001000");
    EXPECT_EQ(data.substr(57, 9), "000012345");
    EXPECT_EQ(reg.Handle("ARTD0008"), Replies{"SOFTBADART"});
}

TEST(RegisterArticles, LongArticleModeUsesItsOwnWords) {
    Register reg = MakeRegister();
    ASSERT_EQ(reg.Handle("ARMO2"), kReady);
    EXPECT_EQ(reg.Handle("GLCN")[0].substr(4 + 30, 1), "2");
    reg.Handle("PREP1");
    const std::string ficd = "FICD" + PadRight("Long name goods", 24) + ZeroPad(1205, 9) +
                             ZeroPad(1205, 9) + ZeroPad(1, 6) + "10" + TaxLetter(1) + "0" +
                             ZeroPad(123456789, 9);
    EXPECT_EQ(reg.Handle(ficd), (Replies{"FISC0", "READY"}));
    EXPECT_EQ(reg.Handle(Line(reg, "FISC", "Tea", 500, 500, 1, true, {})), Replies{"SOFTARTMODE"});
    reg.Handle(Comp(1205, 0, 0, 0, 0, 1205));
    // the mode changes only on a closed day
    EXPECT_EQ(reg.Handle("ARMO0"), Replies{"SOFTNREP"});
    reg.Handle("NREP");
    EXPECT_EQ(reg.Handle("ARMO0"), kReady);
}

TEST(RegisterReports, ZReportClosesTheDayAndMovesTheCounters) {
    RegisterOptions options;
    options.cash = 1000;
    Register reg = MakeRegister("f1-8", options);
    reg.Handle("PREP1");
    reg.Handle(Line(reg, "FISC", "Tea", 500, 500, 1, true, {2}));
    reg.Handle(Comp(500, 0, 0, 0, 0, 500));
    EXPECT_EQ(reg.Handle("CAIOI0000000200"), kReady);
    EXPECT_EQ(reg.Handle("CAIOO0000000100"), kReady);

    Replies ccas = reg.Handle("CCAS");
    ASSERT_EQ(ccas[0].size(), 4u + 88u);
    const char* expected[8] = {"00000001000", "00000000200", "00000000100", "00000000500",
                               "00000000000", "00000001600", "00000000000", "00000000000"};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(ccas[0].substr(4 + 11 * i, 11), expected[i]) << i;

    Replies cfis = reg.Handle("CFIS");
    ASSERT_EQ(cfis[0].size(), 254u);  // as much as one frame carries
    EXPECT_EQ(cfis[0].substr(4, 12), "000000000500");
    EXPECT_EQ(cfis[0].substr(4 + 24, 12), "000000000500");  // tax 2 (Б)

    EXPECT_EQ(reg.Handle("ZREP"), kReady);
    EXPECT_EQ(reg.Handle("NREP"), kReady);
    EXPECT_EQ(reg.zNumber(), 1);
    EXPECT_EQ(reg.day().total, 0);
    EXPECT_EQ(reg.cash().rest, 1600);
    EXPECT_EQ(reg.cash().sales, 0);
    ASSERT_EQ(reg.fiscalMemory().size(), 1u);
    EXPECT_EQ(reg.fiscalMemory()[0].day.total, 500);

    const std::string glcn = reg.Handle("GLCN")[0].substr(4);
    ASSERT_EQ(glcn.size(), 37u);
    EXPECT_EQ(glcn.substr(0, 10), "0000000001");   // last receipt
    EXPECT_EQ(glcn.substr(20, 10), "0000000002");  // service documents: cash in and out
    EXPECT_EQ(glcn.substr(32, 1), "1");            // day closed
    EXPECT_EQ(glcn.substr(33, 4), "0001");

    // periodic reports: by numbers (word alone, or 4 + 4 digits, wider numbers whole)
    for (const char* cmd : {"FIRN", "FIRN00010001", "FIRN000212345", "FIRP2023010120231231"}) {
        EXPECT_EQ(reg.Handle(cmd), kReady) << cmd;
    }
    for (const char* cmd : {"FIRN0001", "FIRN00050001", "FIRP2023023020231231"}) {
        EXPECT_EQ(reg.Handle(cmd), Replies{"SOFTPARAM"}) << cmd;
    }
    // a zero Z-report needs a day without sales: now it has none
    EXPECT_EQ(reg.Handle("nrep"), kReady);
    EXPECT_EQ(reg.zNumber(), 2);
}

TEST(RegisterDocuments, ServiceAndTextDocuments) {
    Register reg = MakeRegister();
    EXPECT_EQ(reg.Handle("DBEG1"), kReady);
    EXPECT_EQ(reg.Handle("DLINB000000000150"), kReady);
    EXPECT_EQ(reg.Handle("DLINB"), kReady);
    EXPECT_EQ(reg.Handle("ALINXY  000000000012"), kReady);
    EXPECT_EQ(reg.Handle("DLINM000000000150"), Replies{"SOFTPARAM"});
    EXPECT_EQ(reg.Handle("DLINB12"), Replies{"SOFTPARAM"});
    EXPECT_EQ(reg.Handle("DLINC000012.50abc"), kReady);  // text data is printed as it came
    EXPECT_EQ(Trim(reg.tape().back()).substr(0, 15), "SERVICE CASH IN");
    EXPECT_EQ(reg.Handle("DEND"), kReady);
    EXPECT_FALSE(reg.documentOpen());
    EXPECT_EQ(reg.Handle("DEND"), Replies{"SOFTPROTOC"});
    // text document: lines buffered by TEXT, printed by PRTX inside DBEG
    reg.Handle("CTXT");
    reg.Handle("TEXT010First line");
    EXPECT_EQ(reg.Handle("PRTX"), Replies{"SOFTPROTOC"});
    reg.Handle("DBEG0");
    EXPECT_EQ(reg.Handle("PRTX"), kReady);
    EXPECT_EQ(reg.lastServiceDocumentNumber(), 2);
    bool printed = false;
    for (const std::string& l : reg.tape())
        printed = printed || l == "First line";
    EXPECT_TRUE(printed);
}

TEST(RegisterSettings, StoredSettingsShowInLaterReplies) {
    Register reg = MakeRegister();
    EXPECT_EQ(reg.Handle("CTIM090500"), kReady);
    EXPECT_EQ(reg.Handle("GETD")[0].substr(12, 6), "090500");
    EXPECT_EQ(reg.Handle("SENCEUR"), kReady);
    EXPECT_EQ(reg.Handle("CONf")[0].substr(149, 3), "EUR");
    EXPECT_EQ(reg.Handle("HEAD" + std::string(44, 'h')), Replies{"SOFTPARAM"});
    EXPECT_EQ(reg.Handle("HEADWelcome"), kReady);
    EXPECT_EQ(reg.Handle("BOTm010Thanks"), kReady);
    EXPECT_EQ(reg.Handle(std::string("NLPR") + TaxLetter(1) + TaxLetter(3)), kReady);
    EXPECT_EQ(reg.Handle(std::string("NLPR") + TaxLetter(2) + TaxLetter(2)), Replies{"SOFTPARAM"});
    reg.Handle("PREP1");
    bool head = false;
    for (const std::string& l : reg.tape())
        head = head || Trim(l) == "Welcome";
    EXPECT_TRUE(head);
    // settings that would change a receipt under way wait for its end
    EXPECT_EQ(reg.Handle("PPMD"), Replies{"SOFTPROTOC"});
    EXPECT_EQ(reg.Handle("CTIM120000"), Replies{"SOFTPROTOC"});
}

TEST(RegisterDisplays, TextNumericAndExternal) {
    Register text = MakeRegister("f0-0");
    EXPECT_EQ(text.Handle("DISP1" + PadRight("Sum", 16)), kReady);
    EXPECT_EQ(text.display1(), PadRight("Sum", 16));
    EXPECT_EQ(text.Handle("DISP"), kReady);
    EXPECT_EQ(text.display1(), "");

    Register numeric = MakeRegister("f1-8");
    EXPECT_EQ(numeric.Handle("DISp23      1250"), kReady);
    EXPECT_EQ(numeric.numericDisplay(), "SUM 12.50");
    EXPECT_EQ(numeric.Handle("DISp10         7"), kReady);
    EXPECT_EQ(numeric.numericDisplay(), "PRICE 7");
    EXPECT_EQ(numeric.Handle("DISp93      1250"), Replies{"SOFTPARAM"});
    EXPECT_EQ(numeric.Handle("DIsp\x1B@Hello"), kReady);
    EXPECT_EQ(numeric.Handle("DIsp world"), kReady);
    EXPECT_EQ(numeric.externalDisplay(), "Hello world");
    EXPECT_EQ(numeric.Handle("dset")[0], "dset1000");
    EXPECT_EQ(MakeRegister("f1-8t").Handle("dset")[0], "dset2000");
}

TEST(RegisterFaults, PaperAndInjectedErrorWords) {
    Register reg = MakeRegister();
    reg.SetPaper(Paper::kOut);
    EXPECT_EQ(reg.Handle("PREP1"), Replies{"HARDPAPER"});
    EXPECT_EQ(reg.Handle("CNAL").back(), "READY");  // queries print nothing
    reg.SetPaper(Paper::kLow);
    EXPECT_EQ(reg.Handle("PREP1"), (Replies{"SOFTPAPER", "READY"}));
    EXPECT_TRUE(reg.receiptOpen());
    // paper out mid-receipt: lines refused, the receipt stays open and can be cancelled
    EXPECT_EQ(reg.Control("paper out"), "OK");
    EXPECT_EQ(reg.Handle(Line(reg, "FISC", "Tea", 500, 500, 1, true, {})), Replies{"HARDPAPER"});
    EXPECT_TRUE(reg.receiptOpen());
    EXPECT_EQ(reg.Handle("CANC"), kReady);

    EXPECT_EQ(reg.Control("error SOFTNREP"), "OK");
    EXPECT_EQ(reg.Handle("CNAL"), Replies{"SOFTNREP"});
    EXPECT_EQ(reg.Handle("CNAL").back(), "READY");  // only the next command
    EXPECT_EQ(reg.Control("error HARDTIMER GETD"), "OK");
    EXPECT_EQ(reg.Handle("GETD"), Replies{"HARDTIMER"});
    EXPECT_EQ(reg.Handle("GETD"), Replies{"HARDTIMER"});
    EXPECT_EQ(reg.Control("error clear"), "OK");
    EXPECT_EQ(reg.Handle("GETD").back(), "READY");
    EXPECT_EQ(reg.Control("paper sideways").substr(0, 3), "ERR");
    EXPECT_TRUE(reg.Handle("").empty());  // an empty frame gets no answer
    EXPECT_NE(reg.Control("state").find("receipt=closed"), std::string::npos);

    EXPECT_EQ(reg.Control("error HARDTIMER GETD"), "OK");
    EXPECT_EQ(reg.Control("reset"), "OK");
    EXPECT_EQ(reg.Handle("GETD").back(), "READY");
    EXPECT_EQ(reg.Handle("PREP1"), kReady);  // paper is back too
}

// The command texts the server builds for the simple commands, accepted on the models that
// have them, and the neighbouring forms refused.
TEST(RegisterCommandForms, ServerFormsAreAcceptedAndOthersRefused) {
    const std::string gren = "GREN" + PadRight("Disc", 22) + PadRight("Up", 22);
    const std::vector<RuleCase> cases = {
        {"f1-7", {}, "CUTR10", "READY"},
        {"f1-8", {}, "CUTR101", "READY"},
        {"f1-7", {}, "CUTR101", "SOFTPARAM"},  // partial cut digit only on level 8/9
        {"f1-8", {}, "CUTR10", "SOFTPARAM"},
        {"f1-8", {}, "FEED0", "READY"},
        {"f1-8", {}, "FEED5", "READY"},
        {"f1-8", {}, "KASS", "READY"},
        {"f1-8", {}, "NULL", "READY"},
        {"f1-8", {}, "DEPTGroce", "READY"},
        {"f1-8", {}, "DEPTGrocery", "SOFTPARAM"},
        {"f1-9", {}, "BOTm010Thanks", "READY"},
        {"f1-9", {}, "BOTm0", "READY"},
        {"f1-9", {}, "BOTm", "READY"},
        {"f1-9", {}, "BOTm094Thanks", "SOFTPARAM"},  // print mode 0..3
        {"f1-8", {}, "TMOD0", "READY"},
        {"f1-8", {}, "TMOD7", "SOFTPARAM"},
        {"f1-8", {}, "SENCEUR", "READY"},
        {"f1-8", {}, "SENCEURO", "SOFTPARAM"},
        {"f1-8", {}, "DSTR1", "READY"},
        {"f1-8", {}, "PPOD1", "READY"},
        {"f1-8", {}, "CRPT1", "READY"},
        {"f1-8", {}, "STFL", "READY"},
        {"f1-8", {}, "NPDI12", "READY"},  // a mode of 10 or more is written whole
        {"f1-8", {}, "NCDC1", "READY"},
        {"f0-1", {}, "TABL1", "READY"},
        {"f1-7", {}, "TABL1", "SOFTPARAM"},  // newer registers only take the mode off
        {"f1-8", {}, "CASH" + std::string(80, '0'), "READY"},
        {"f1-8", {}, "BCHN12;13", "READY"},
        {"f1-8", {}, "ZDNM" + PadRight("Disc", 22) + PadRight("Up", 22), "READY"},
        {"f1-9", {"PREP1"}, "GRBG" + std::string(21, 'g'), "READY"},
        {"f1-9", {"PREP1"}, "GRBG" + std::string(22, 'g'), "SOFTPARAM"},
        {"f1-9", {"PREP1"}, gren, "READY"},
        {"f1-9", {"PREP1"}, gren + "x", "SOFTPARAM"},
        {"f1-9", {"PREP1"}, "PCOD1000012", "READY"},
        {"f1-9", {"PREP1"}, "PCOD100" + std::string(17, '1'), "READY"},
        {"f1-9", {"PREP1"}, "PCOD100" + std::string(18, '1'), "SOFTPARAM"},
        {"f1-9", {"PREP1"}, "PCOD101012", "SOFTPARAM"},  // type field is always 0
        {"f1-8", {"PREP1"}, "FINF" + std::string(86, 'n'), "READY"},
        {"f1-8", {"PREP1"}, "FINF" + std::string(87, 'n'), "SOFTPARAM"},
        {"f1-7", {}, "SVSL0", "READY"},
        {"f1-7", {}, "SVSL32958", "READY"},
        {"f0-0", {}, "IREN00100025", "READY"},
        {"f0-0", {}, "IREP2023010120231231", "READY"},
        {"f1-8", {}, "DIsp\x1B@" + std::string(199, 'e'), "SOFTPARAM"},
    };
    for (const RuleCase& c : cases) {
        Register reg = MakeRegister(c.model);
        for (const std::string& s : c.setup)
            ASSERT_EQ(reg.Handle(s).back(), "READY") << s;
        Replies r = reg.Handle(c.command);
        ASSERT_FALSE(r.empty());
        EXPECT_EQ(r.back(), c.reply) << c.model << " " << c.command;
    }
}

TEST(RegisterReports, ADayOfMoreThan24HoursIsWarnedUntilTheZReport) {
    std::time_t now = 1700000000;
    RegisterOptions options;
    options.now = [&now] { return now; };
    Register reg(*FindModel("f1-8"), options);
    ASSERT_EQ(reg.Handle("PREP1"), kReady);
    ASSERT_EQ(reg.Handle("CANC"), kReady);
    now += 24 * 3600 + 1;
    EXPECT_EQ(reg.Handle("PREP1"), (Replies{"SOFT24HOUR", "READY"}));
    ASSERT_EQ(reg.Handle("CANC"), kReady);
    ASSERT_EQ(reg.Handle("NREP"), kReady);
    EXPECT_EQ(reg.Handle("PREP1"), kReady);
}

TEST(RegisterReports, LevelSevenKeyFollowsTheModeSwitch) {
    Register reg = MakeRegister("f1-7");
    EXPECT_EQ(reg.Handle("CONf")[0][74], '1');
    ASSERT_EQ(reg.Handle("SVSL26419"), kReady);
    EXPECT_EQ(reg.Handle("CONf")[0][74], '2');
    EXPECT_EQ(reg.Handle("CONF")[0][74], '\x02');
    EXPECT_EQ(reg.Handle("ZREP"), kReady);
    ASSERT_EQ(reg.Handle("SVSL32958"), kReady);
    EXPECT_EQ(reg.Handle("CONf")[0][74], '8');
    // a receipt keeps the register in registration mode
    ASSERT_EQ(reg.Handle("SVSL13807"), kReady);
    ASSERT_EQ(reg.Handle("PREP1"), kReady);
    EXPECT_EQ(reg.Handle("SVSL26419"), Replies{"SOFTPROTOC"});
}

// The server's model table, written from its rules, applied to what each preset reports in
// its configuration reply: every preset must land on the family and level it claims.
TEST(RegisterModels, EveryPresetDerivesItsFamilyAndLevel) {
    for (const Model& m : Models()) {
        Register reg(m);
        for (const char* word : {"CONF", "CONf"}) {
            const std::string conf = reg.Handle(word)[0];
            ASSERT_EQ(conf.size(), 164u) << m.name;
            const std::string serial = conf.substr(4, 10);
            std::string version = conf.substr(110, 4), date = conf.substr(114, 8);
            if (conf[152] != '0' && conf[152] != '\0') {
                version = conf.substr(152, 4);
                date = conf.substr(156, 8);
            }
            const std::string d =
                date.substr(4, 2) + "/" + date.substr(6, 2) + "/" + date.substr(2, 2);
            const std::string prefix = serial.substr(0, 3);
            auto in = [](const std::string& v, std::initializer_list<const char*> set) {
                for (const char* s : set) {
                    if (v == s)
                        return true;
                }
                return false;
            };
            int family = 1, level = 4;
            if (in(prefix, {"040", "041", "042"}))
                family = 0, level = 0;
            if (in(prefix, {"440", "441"}))
                family = 0, level = 1;
            if (in(prefix, {"450", "460"}) && version == "gHHq")
                level = 2;
            if (in(prefix, {"500", "460"}) && in(version, {"QDRZ", "KBLX"}))
                level = 3;
            if (prefix == "510" && version == "QDRZ")
                level = 4;
            if (version == "QDRZ" && (in(d, {"07/19/05", "08/23/05"}) || prefix == "540")) {
                level = 6;
            }
            if ((version == "WYVE" && d == "10/12/06") || version == "JPO7")
                level = 6;
            if (version == "XKDA" && d == "12/06/04")
                level = 7;
            if (version == "KBLX" && in(d, {"06/09/07", "09/06/07"}))
                level = 8;
            if (in(version, {"ZULB", "YOGS"}))
                level = d == "02/17/09" ? 9 : 8;
            EXPECT_EQ(family, m.family) << m.name << " " << word;
            EXPECT_EQ(level, m.level) << m.name << " " << word;
        }
        // key position: a code on the old query, a digit on the new one
        EXPECT_EQ(reg.Handle("CONF")[0][74], '\x01') << m.name;
        EXPECT_EQ(reg.Handle("CONf")[0][74], '1') << m.name;
    }
}

}  // namespace
}  // namespace vsk::emu
