// The XML documents, read back with a real XML parser and compared field by field with the
// reply texts and records they came from.
#include <expat.h>

#include <algorithm>
#include <map>

#include "engine/xml_documents.h"
#include "tests/engine/register_models.h"

namespace vsktest {
namespace {

struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
};

// Every element of the document in document order; fails the test when the parser refuses it.
std::vector<Element> Parse(const std::string& document) {
    std::vector<Element> elements;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &elements);
    XML_SetStartElementHandler(parser, [](void* data, const XML_Char* name, const XML_Char** at) {
        Element element{name, {}};
        for (; at[0] != nullptr; at += 2) {
            element.attributes[at[0]] = at[1];
        }
        static_cast<std::vector<Element>*>(data)->push_back(element);
    });
    bool ok =
        XML_Parse(parser, document.data(), static_cast<int>(document.size()), 1) == XML_STATUS_OK;
    EXPECT_TRUE(ok) << XML_ErrorString(XML_GetErrorCode(parser)) << " in " << document;
    XML_ParserFree(parser);
    return ok ? elements : std::vector<Element>{};
}

// The one element named `name`; an empty element when there is not exactly one.
Element Only(const std::vector<Element>& elements, const std::string& name) {
    std::vector<Element> found;
    for (const Element& e : elements) {
        if (e.name == name) {
            found.push_back(e);
        }
    }
    EXPECT_EQ(found.size(), 1u) << name;
    return found.size() == 1 ? found[0] : Element{};
}

std::string Piece(const std::string& data, size_t pos, size_t width) {
    return pos < data.size() ? data.substr(pos, width) : "";
}

class XmlTest : public ModelTest {};

TEST_F(XmlTest, AttributeValuesSurviveAParserWhateverTheyHold) {
    for (std::string value : {"plain", "A&B", "\"quoted\"", "<tag>", "it's", "&amp;", "]]>", ""}) {
        std::string document =
            vsk::XmlDocument("root", vsk::XmlEmptyElement("e", {{"a", value}, {"b", "x"}}));
        Element e = Only(Parse(document), "e");
        EXPECT_EQ(e.attributes["a"], value) << document;
        EXPECT_EQ(e.attributes["b"], "x");
    }
}

TEST_F(XmlTest, DocumentsOfPlainValuesKeepTheirExactForm) {
    EXPECT_EQ(vsk::DocumentsInfoXml({12, 34, 56, 2, 1, 42}),
              "<?xml version=\"1.0\"?><vsk_documents_info><documents_info last_check_num=\"12\" "
              "last_doc_num=\"34\" last_serv_doc_num=\"56\" article_mode=\"2\" "
              "fiscal_report_made=\"1\" fiscal_report_num=\"42\"/></vsk_documents_info>");
    CPrinterInfo none;
    EXPECT_EQ(vsk::TaxesXml(none), "<?xml version=\"1.0\"?><vsk_taxes><taxes></taxes></vsk_taxes>");
    // The receipt result document as its template has always given it.
    const std::string values[9] = {"1", "2", "3", "4", "5", "6", "7", "8", "9"};
    std::string expected = Text(5010);
    for (const std::string& v : values) {
        expected.replace(expected.find("%s"), 2, v);
    }
    EXPECT_EQ(vsk::CheckResultXml(values), expected);
}

TEST_F(XmlTest, ArticleDocumentFieldByField) {
    Connect();
    const std::string name = "Fish & \"Chips\" <XL>     ";  // 24 characters
    ASSERT_EQ(name.size(), 24u);
    for (std::string mark : {"1", "0", ""}) {
        std::string data = "0007" + name + mark;
        if (!mark.empty()) {
            data +=
                "00000001"
                "0000001500"
                "0000018075"
                "482000123";
        }
        m_register.On("ARTD", {{"ARTD" + data}});
        Element e = Only(Parse(m_core->GetArticleInfoXML(7)), "article");
        SCOPED_TRACE(data);
        EXPECT_EQ(e.attributes["index"], "0007");
        EXPECT_EQ(e.attributes["name"], name);
        EXPECT_EQ(e.attributes["dividual"], mark == "1" ? "0" : "1");
        EXPECT_EQ(e.attributes["taxes"], Piece(data, 29, 8));
        EXPECT_EQ(e.attributes["soldqty"], Piece(data, 37, 10));
        EXPECT_EQ(e.attributes["salesum"], Piece(data, 47, 10));
        EXPECT_EQ(e.attributes["longcode"], Piece(data, 57, 9));
    }
    EXPECT_EQ(m_core->GetArticleInfoXML(0), "");  // nothing asked, nothing to show
}

TEST_F(XmlTest, CashAndFiscalDocumentsFieldByField) {
    Connect();
    std::string cash;
    for (int i = 0; i < 8; ++i) {
        cash += "  " + vsk::ZeroPadded(1000 + i, 9);
    }
    m_register.On("CCAS", {{"CCAS" + cash}});
    Element c = Only(Parse(m_core->GetCashInfoXML()), "cash_info");
    const char* cashNames[] = {"rest",   "income", "outcome",      "sales",
                               "return", "total",  "check_income", "check_outcome"};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(c.attributes[cashNames[i]], cash.substr(11 * i, 11)) << cashNames[i];
    }

    // Field n holds "F<n>", so every attribute names its source. One frame carries 250
    // characters of data at most: the twenty-first field is cut and the last one missing.
    std::string fiscal;
    for (int i = 0; i < 22; ++i) {
        fiscal += "F" + vsk::ZeroPadded(i, 11);
    }
    fiscal.resize(250);
    m_register.On("CFIS", {{"CFIS" + fiscal}});
    Element f = Only(Parse(m_core->GetFiscalInfoXML()), "fiscal_info");
    std::vector<std::pair<std::string, int>> expected = {
        {"total", 0}, {"untaxed_total", 10}, {"return", 11}, {"untaxed_return", 21}};
    for (int t = 1; t <= 8; ++t) {
        expected.push_back({"tax" + std::to_string(t) + "_total", t});
        expected.push_back({"tax" + std::to_string(t) + "_return", 11 + t});
    }
    EXPECT_EQ(f.attributes.size(), expected.size());
    for (const auto& [attribute, field] : expected) {
        EXPECT_EQ(f.attributes[attribute], Piece(fiscal, 12 * field, 12)) << attribute;
    }

    m_core->SetShowErrorMessages(false);
    m_register.On("CCAS", {{"SOFTNREP"}});
    EXPECT_EQ(m_core->GetCashInfoXML(), "");
}

TEST_F(XmlTest, PrinterConfigurationFromTheRecord) {
    ConnectAs(Model::Level9);
    m_conf.owner = "Shop \"A&B\" <one>";
    m_conf.fiscal = "          ";
    m_conf.key = '4';
    m_taxes = {{'1', "2000"}, {0, ""}, {'3', "0700"}, {'0', "0500"}, {'2', "1000"}};
    ApplyIdentity();
    std::vector<Element> elements = Parse(m_core->GetPrinterConfigXML(1));
    const CPrinterInfo& info = m_core->PrinterInfo();
    Element common = Only(elements, "common");
    EXPECT_EQ(common.attributes["SerialNumber"], info.m_szSerialNumber);
    EXPECT_EQ(common.attributes["FiscalNumber"], "");
    std::string owner = info.m_szOwner;
    std::replace(owner.begin(), owner.end(), '"', '\'');
    EXPECT_EQ(owner.substr(0, 16), "Shop 'A&B' <one>");
    EXPECT_EQ(common.attributes["Owner"], owner);
    EXPECT_EQ(common.attributes["date"], info.m_szDate);
    EXPECT_EQ(common.attributes["time"], info.m_szTime);
    EXPECT_EQ(common.attributes["KeyPosition"], "Z");
    EXPECT_EQ(common.attributes["MaxArticles"], std::to_string(info.m_lMaxArticles));
    Element money = Only(elements, "money");
    EXPECT_EQ(money.attributes["date"], info.m_szCurrencyDate);
    EXPECT_EQ(money.attributes["DecPointPosition"], "2");
    EXPECT_EQ(money.attributes["name"], "UAH");
    std::vector<std::string> taxes;  // kinds 0 to 2 only, with their places in the table
    for (const Element& e : elements) {
        if (e.name == "tax") {
            taxes.push_back(e.attributes.at("index") + e.attributes.at("type") +
                            e.attributes.at("value") + " " + e.attributes.at("date"));
        }
    }
    const std::string date = info.m_Taxes[0].date;
    EXPECT_EQ(taxes,
              (std::vector<std::string>{"0120.00 " + date, "3005.00 " + date, "4210.00 " + date}));
    EXPECT_EQ(m_core->GetTaxesInfoXML().find("<taxes><tax index=\"0\""), 32u);

    m_conf.owner = std::string(36, ' ');
    ApplyIdentity();
    EXPECT_EQ(Only(Parse(m_core->GetPrinterConfigXML(1)), "common").attributes["Owner"], "");
}

TEST_F(XmlTest, DocumentsCountersAndReceiptResult) {
    Connect();
    m_register.On("GLCN", {{"GLCN0000000012000000003400000000561 10042"}});
    Element d = Only(Parse(m_core->GetDocumentsInfoXML()), "documents_info");
    EXPECT_EQ(d.attributes["last_check_num"], "12");
    EXPECT_EQ(d.attributes["last_doc_num"], "34");
    EXPECT_EQ(d.attributes["last_serv_doc_num"], "56");
    EXPECT_EQ(d.attributes["article_mode"], "1");
    EXPECT_EQ(d.attributes["fiscal_report_made"], "1");
    EXPECT_EQ(d.attributes["fiscal_report_num"], "42");
    m_register.On("GLCN", {{"GLCN"}});
    EXPECT_EQ(m_core->GetDocumentsInfoXML(), "");

    std::string comp;
    for (int i = 0; i < 9; ++i) {
        comp += vsk::ZeroPadded(i * 101, 10);
    }
    m_register.On("COMP", {{"COMP" + comp}, {"READY"}});
    OpenReceipt();
    ASSERT_GE(m_core->CloseCheck(), 0);
    Element r = Only(Parse(m_core->GetCheckResultXML()), "check_info");
    EXPECT_EQ(r.attributes["check_number"], "0");
    EXPECT_EQ(r.attributes["total"], "101");
    EXPECT_EQ(r.attributes["return_saleincluded_taxes"], "808");
    EXPECT_EQ(m_core->GetCheckResult(), "0;101;202;303;404;505;606;707;808");
}

}  // namespace
}  // namespace vsktest
