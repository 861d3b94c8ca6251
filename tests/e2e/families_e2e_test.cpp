// One operation of each family beyond receipts against the vsk-emulator program: reports and
// their counters, service and text documents, cash in and out, the displays, the clock, and the
// queries with their XML documents read back by a real XML parser.
#include <expat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/codepage.h"
#include "tests/e2e/e2e_support.h"

namespace vske2e {
namespace {

struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
};

// Parses a whole document; false when the parser refuses it. The engine's texts are in the
// ANSI code page; the automation boundary hands them on as Unicode, so the parser gets UTF-8.
bool ParseXml(const std::string& text1251, std::vector<Element>& elements) {
    const std::string text = vsk::Cp1251ToUtf8(text1251);
    elements.clear();
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &elements);
    XML_SetStartElementHandler(
        parser, [](void* data, const XML_Char* name, const XML_Char** attributes) {
            Element e{name, {}};
            for (int i = 0; attributes[i]; i += 2)
                e.attributes[attributes[i]] = attributes[i + 1];
            static_cast<std::vector<Element>*>(data)->push_back(std::move(e));
        });
    const bool ok =
        XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return ok;
}

// The attributes of the one element called `name` (empty when there is none).
std::map<std::string, std::string> Attributes(const std::string& xml, const std::string& name) {
    std::vector<Element> elements;
    EXPECT_TRUE(ParseXml(xml, elements)) << "not well-formed: " << xml;
    for (const Element& e : elements) {
        if (e.name == name)
            return e.attributes;
    }
    ADD_FAILURE() << "no element " << name << " in " << xml;
    return {};
}

// A fixed-width numeric field as the register fills it (zeros or blanks in front).
long long Number(const std::string& field) {
    return std::stoll(field.empty() ? "0" : field);
}

std::string Trimmed(const std::string& text) {
    const size_t end = text.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

class FamiliesE2e : public E2eTest {
protected:
    // Waits for a status line of the register ("[status] ..." on its standard error).
    bool StatusShown(const std::string& line) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < end) {
            std::ifstream in(m_dir + "/emulator.err");
            std::stringstream all;
            all << in.rdbuf();
            if (all.str().find("[status] " + line) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    bool Printed(const std::string& a, const std::string& b = {}) {
        const std::vector<std::string> tape = m_emulator.Tape(400);
        return std::any_of(tape.begin(), tape.end(), [&](const std::string& line) {
            return line.find(a) != std::string::npos && line.find(b) != std::string::npos;
        });
    }

    int64_t StateNumber(const std::string& key) { return std::stoll(m_emulator.State()[key]); }
};

// Two receipts, then the day's counters three ways: the register's own state, the engine's
// cash and fiscal queries as XML, and the X-report on the tape. The X-report closes nothing.
TEST_F(FamiliesE2e, XReportAfterTwoReceiptsAgreesWithTheRegistersCounters) {
    Connect();
    ASSERT_EQ(m_core->OpenCheck("1"), 1);
    ASSERT_EQ(m_core->FiscalLine("Bread", 3, 1205, 0, 1, 0, 11), 3615);
    ASSERT_EQ(m_core->CloseCheck(), 3615);
    ASSERT_EQ(m_core->OpenCheck("1"), 1);
    ASSERT_EQ(m_core->FiscalLine("Milk", 2, 3000, 0, 4, 0, 13), 6300);  // Г: 5 % on top
    ASSERT_EQ(m_core->CloseCheckEx(5000, 1300, 0, 0), 6300);

    std::map<std::string, std::string> state = m_emulator.State();
    EXPECT_EQ(state["day_receipts"], "2");
    EXPECT_EQ(state["last_receipt"], "2");

    const auto fiscal = Attributes(m_core->GetFiscalInfoXML(), "fiscal_info");
    ASSERT_EQ(fiscal.size(), 20u);
    EXPECT_EQ(Number(fiscal.at("total")), Number(state["day_total"]));
    EXPECT_EQ(Number(fiscal.at("tax1_total")), 3615);
    EXPECT_EQ(Number(fiscal.at("tax4_total")), 6000);
    EXPECT_EQ(Number(fiscal.at("return")), 0);

    const auto cash = Attributes(m_core->GetCashInfoXML(), "cash_info");
    ASSERT_EQ(cash.size(), 8u);
    EXPECT_EQ(cash.at("sales").size(), 11u);  // fill characters kept
    EXPECT_EQ(Number(cash.at("sales")), Number(state["cash_sales"]));
    EXPECT_EQ(Number(cash.at("sales")), 3615 + 5000);
    EXPECT_EQ(Number(cash.at("check_income")), Number(state["check_income"]));
    EXPECT_EQ(Number(cash.at("total")), Number(state["cash"]));

    const auto documents = Attributes(m_core->GetDocumentsInfoXML(), "documents_info");
    EXPECT_EQ(documents.at("last_check_num"), "2");
    EXPECT_EQ(documents.at("fiscal_report_made"), "0");

    const std::string dayTotal = state["day_total"];
    const int64_t tapeLines = StateNumber("tape_lines");
    EXPECT_EQ(m_core->XReportFromRegisters(), 1) << m_core->GetLastErrorCode();
    EXPECT_GT(StateNumber("tape_lines"), tapeLines);
    state = m_emulator.State();
    EXPECT_EQ(state["z"], "0");
    EXPECT_EQ(state["day_receipts"], "2");
    EXPECT_EQ(state["day_total"], dayTotal);
}

// A Z-report closes the day: a receipt left open is cancelled first, the Z number counts, the
// counters are zeroed, the documents record says so, and a receipt can be sold afterwards. On
// the level-7 register the report needs the report-mode bracket around it.
TEST_F(FamiliesE2e, ZReportClosesTheDayOnEveryModeScheme) {
    for (const char* model : {"f1-8", "f1-7"}) {
        SCOPED_TRACE(model);
        m_core.reset();
        m_emulator.Stop();
        Connect({"--model", model});
        ASSERT_EQ(m_core->OpenCheck("1"), 1);
        ASSERT_EQ(m_core->FiscalLine("Bread", 1, 1205, 0, 1, 0, 11), 1205);
        ASSERT_EQ(m_core->CloseCheck(), 1205);
        ASSERT_EQ(m_core->OpenCheck("1"), 1);
        ASSERT_EQ(m_core->FiscalLine("Bread", 1, 1205, 0, 1, 0, 11), 1205);

        EXPECT_EQ(m_core->ZReport(), 1) << m_core->GetLastErrorCode();
        EXPECT_FALSE(m_core->IsCheckOpen());
        std::map<std::string, std::string> state = m_emulator.State();
        EXPECT_EQ(state["receipt"], "closed");
        EXPECT_EQ(state["z"], "1");
        EXPECT_EQ(state["day_total"], "0");
        EXPECT_EQ(state["day_receipts"], "0");

        CDocumentsInfo info;
        EXPECT_FALSE(m_core->GetDocumentsInfo(info).empty());
        EXPECT_EQ(info.fiscalReportMade, 1);
        EXPECT_EQ(info.fiscalReportNumber, 1);
        EXPECT_EQ(info.lastCheckNumber, 1);

        // The register is back in registration mode: the next day's receipt goes through.
        ASSERT_EQ(m_core->OpenCheck("1"), 1) << m_core->GetLastErrorCode();
        EXPECT_EQ(m_core->FiscalLine("Milk", 1, 3000, 0, 1, 0, 13), 3000);
        EXPECT_EQ(m_core->CloseCheck(), 3000);
        EXPECT_EQ(m_core->GetLastErrorCode(), "");
    }
}

TEST_F(FamiliesE2e, ZeroZReportOnlyOnADayWithoutSales) {
    Connect();
    EXPECT_EQ(m_core->PrintZeroZReport(), 1) << m_core->GetLastErrorCode();
    EXPECT_EQ(m_emulator.State()["z"], "1");
    ASSERT_EQ(m_core->OpenCheck("1"), 1);
    ASSERT_EQ(m_core->FiscalLine("Bread", 1, 1205, 0, 1, 0, 11), 1205);
    ASSERT_EQ(m_core->CloseCheck(), 1205);
    EXPECT_EQ(m_core->PrintZeroZReport(), 0);
    EXPECT_NE(m_core->GetLastErrorCode(), "");
    EXPECT_EQ(m_emulator.State()["z"], "1");
}

// A service document with a coded and a named line, then a text document of free lines: each
// is printed and counted as a service document; a line without a document is refused unsent.
TEST_F(FamiliesE2e, ServiceAndTextDocumentsArePrinted) {
    Connect();
    const int64_t before = StateNumber("last_serv_doc");
    EXPECT_EQ(m_core->DocumentLine("A", "", 100), 0);  // no document open

    ASSERT_EQ(m_core->OpenDocument(0), 1) << m_core->GetLastErrorCode();
    EXPECT_TRUE(m_core->IsDocumentOpen());
    EXPECT_EQ(m_emulator.State()["document"], "open");
    EXPECT_EQ(m_core->DocumentLine("B", "", 150), 1) << m_core->GetLastErrorCode();
    EXPECT_EQ(m_core->DocumentLine("XY", "", 12), 1) << m_core->GetLastErrorCode();
    EXPECT_EQ(m_core->CloseDocument(), 1) << m_core->GetLastErrorCode();
    EXPECT_FALSE(m_core->IsDocumentOpen());
    EXPECT_EQ(m_emulator.State()["document"], "closed");
    EXPECT_TRUE(Printed("1.50"));
    EXPECT_TRUE(Printed("XY"));
    EXPECT_EQ(StateNumber("last_serv_doc"), before + 1);

    ASSERT_EQ(m_core->OpenTextDocument(), 1);
    ASSERT_EQ(m_core->FreeTextLine(1, 0, 0, "Thank you for shopping"), 1);
    ASSERT_EQ(m_core->FreeTextLine(1, 0, 1, "Open daily 8-22"), 1);
    EXPECT_EQ(m_core->CloseTextDocument(0), 1) << m_core->GetLastErrorCode();
    EXPECT_FALSE(m_core->IsDocumentOpen());
    EXPECT_TRUE(Printed("Thank you for shopping"));
    EXPECT_TRUE(Printed("Open daily 8-22"));
}

// Cash paid in and out moves the register's counters; paying out more than the drawer holds
// is refused by the register and the refusal reaches the client.
TEST_F(FamiliesE2e, CashInAndOutMoveTheDrawer) {
    Connect({"--cash", "10000"});
    EXPECT_EQ(m_core->MoveCash(1, 2500), 1) << m_core->GetLastErrorCode();
    EXPECT_EQ(m_core->MoveCash(0, 1000), 1) << m_core->GetLastErrorCode();
    std::map<std::string, std::string> state = m_emulator.State();
    EXPECT_EQ(state["cash_income"], "2500");
    EXPECT_EQ(state["cash_outcome"], "1000");
    EXPECT_EQ(state["cash"], "11500");
    EXPECT_TRUE(Printed("SERVICE CASH IN", "25.00"));

    const auto cash = Attributes(m_core->GetCashInfoXML(), "cash_info");
    EXPECT_EQ(Number(cash.at("income")), 2500);
    EXPECT_EQ(Number(cash.at("outcome")), 1000);

    EXPECT_EQ(m_core->MoveCash(0, 20000), 0);
    EXPECT_EQ(m_core->GetLastErrorCode(), "SOFTNEED");
    EXPECT_EQ(m_emulator.State()["cash"], "11500");
}

// The register's own display (text on one preset, numeric on another) and the external one.
TEST_F(FamiliesE2e, BothDisplaysShowWhatWasSent) {
    Connect({"--model", "f1-8t"});
    EXPECT_EQ(m_core->PrinterInfo().m_lDisplaySetting1, 2);
    EXPECT_EQ(m_core->PutToDisplay("Bread", "12.05"), 1) << m_core->GetLastErrorCode();
    EXPECT_TRUE(StatusShown("display [Bread"));
    EXPECT_EQ(m_core->PutToExternalDisplay("Total 36.15", 1), 1) << m_core->GetLastErrorCode();
    EXPECT_TRUE(StatusShown("external display [Total 36.15"));

    m_core.reset();
    m_emulator.Stop();
    Connect({"--model", "f1-8"});
    EXPECT_EQ(m_core->PrinterInfo().m_lDisplaySetting1, 1);
    EXPECT_EQ(m_core->PutToDisplay("", "3615"), 1) << m_core->GetLastErrorCode();
    EXPECT_TRUE(StatusShown("numeric display [")) << "numeric display not updated";
}

// The clock set with CTIM is what GETD reads back (the register's clock runs on).
TEST_F(FamiliesE2e, ClockSetIsReadBack) {
    Connect();
    ASSERT_EQ(m_core->SetInternalTime(12, 34, 56), 1) << m_core->GetLastErrorCode();
    const std::string time = m_core->GetPrinterTime();
    ASSERT_EQ(time.size(), 14u) << time;
    EXPECT_EQ(time.substr(8, 4), "1234");
    EXPECT_GE(time.substr(12, 2), "56");
}

// Every query document parses and carries the register's own values, including texts with
// characters that need escaping.
TEST_F(FamiliesE2e, QueryDocumentsParseAndCarryTheRegistersValues) {
    Connect();
    EXPECT_EQ(m_core->GetPrinterKeyPosition(), 1);

    std::vector<Element> elements;
    const std::string config = m_core->GetPrinterConfigXML(1);
    ASSERT_TRUE(ParseXml(config, elements)) << config;
    const auto common = Attributes(config, "common");
    EXPECT_EQ(common.at("SerialNumber"), "5600012345");
    EXPECT_EQ(common.at("FiscalNumber"), "3000012345");
    EXPECT_EQ(Trimmed(common.at("Owner")), "TOV 'EMULATED SHOP'");
    EXPECT_EQ(common.at("KeyPosition"), "R");
    EXPECT_EQ(common.at("MaxArticles"), "20688");
    const auto money = Attributes(config, "money");
    EXPECT_EQ(money.at("name"), "UAH");
    EXPECT_EQ(money.at("DecPointPosition"), "2");

    // The tax table as the register's CNAL reply has it: А-Д set, Е-З not.
    for (const std::string& xml : {config, m_core->GetTaxesInfoXML()}) {
        ASSERT_TRUE(ParseXml(xml, elements)) << xml;
        std::vector<std::string> taxes;
        for (const Element& e : elements) {
            if (e.name == "tax")
                taxes.push_back(e.attributes.at("index") + e.attributes.at("type") +
                                e.attributes.at("value"));
        }
        EXPECT_EQ(taxes, (std::vector<std::string>{"0020.00", "1007.00", "2000.00", "3105.00",
                                                   "4202.00"}));
    }

    // An article sold under a name with '&' and '"' comes back intact through the parser.
    const std::string name = "Salt & \"Sea\"";
    ASSERT_EQ(m_core->OpenCheck("1"), 1);
    ASSERT_EQ(m_core->FiscalLine(name, 2, 450, 0, 1, 0, 15), 900);
    ASSERT_EQ(m_core->CloseCheck(), 900);
    const auto article = Attributes(m_core->GetArticleInfoXML(15), "article");
    EXPECT_EQ(article.at("index"), "0015");
    EXPECT_EQ(Trimmed(article.at("name")), name);
    EXPECT_EQ(article.at("dividual"), "0");
    EXPECT_EQ(article.at("taxes"), "\u0410" + std::string(7, '0'));  // А
    EXPECT_EQ(Number(article.at("soldqty")), 2);
    EXPECT_EQ(Number(article.at("salesum")), 900);

    // The receipt result document of that closing, against the register's closing figures.
    const auto check = Attributes(m_core->GetCheckResultXML(), "check_info");
    std::map<std::string, std::string> state = m_emulator.State();
    EXPECT_EQ(check.at("check_number"), state["last_receipt"]);
    EXPECT_EQ(check.at("total"), "900");
    EXPECT_EQ(check.at("included_taxes"), state["included"]);

    const auto documents = Attributes(m_core->GetDocumentsInfoXML(), "documents_info");
    EXPECT_EQ(documents.at("last_check_num"), state["last_receipt"]);
    EXPECT_EQ(documents.at("last_serv_doc_num"), state["last_serv_doc"]);
    EXPECT_EQ(documents.at("article_mode"), "0");
}

}  // namespace
}  // namespace vske2e
