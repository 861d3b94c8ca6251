// The XML documents of the information queries and of the receipt result.
#include "engine/xml_documents.h"

#include "engine/vsk_core.h"

namespace vsk {

namespace {

// [pos, pos + width) of a reply's data text; shorter or empty where the text ends early.
std::string_view Piece(std::string_view data, size_t pos, size_t width) {
    return pos < data.size() ? data.substr(pos, width) : std::string_view{};
}

bool AllBlank(std::string_view text) {
    return text.find_first_not_of(' ') == std::string_view::npos;
}

// The owner keeps its own rule for quotes (an apostrophe, not an entity); a name of blanks
// only is shown empty.
std::string OwnerValue(std::string_view owner) {
    if (AllBlank(owner)) {
        return {};
    }
    std::string value(owner);
    for (char& c : value) {
        if (c == '"') {
            c = '\'';
        }
    }
    return value;
}

char KeyLetter(char key) {
    switch (key) {
        case 'R':
        case 'X':
        case 'Z':
        case 'P':
            return key;
        default:
            return 'O';
    }
}

std::string TaxElements(const CPrinterInfo& info) {
    std::string taxes;
    for (int i = 0; i < 8; ++i) {
        const CTaxEntry& tax = info.m_Taxes[i];
        if (tax.kind != '0' && tax.kind != '1' && tax.kind != '2') {
            continue;
        }
        taxes += XmlEmptyElement("tax", {{"index", std::to_string(i)},
                                         {"date", tax.date},
                                         {"type", std::string_view(&tax.kind, 1)},
                                         {"value", tax.rateText}});
    }
    return taxes;
}

}  // namespace

std::string XmlEscape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string XmlEmptyElement(std::string_view name, std::initializer_list<XmlAttribute> attributes) {
    std::string element = "<";
    element += name;
    for (const XmlAttribute& attribute : attributes) {
        element += ' ';
        element += attribute.name;
        element += "=\"";
        element += XmlEscape(attribute.value);
        element += '"';
    }
    element += "/>";
    return element;
}

std::string XmlDocument(std::string_view root, std::string_view body) {
    std::string document = "<?xml version=\"1.0\"?><";
    document += root;
    document += '>';
    document += body;
    document += "</";
    document += root;
    document += '>';
    return document;
}

std::string PrinterConfigXml(const CPrinterInfo& info) {
    const std::string& fiscal = info.m_szFiscalNumber;
    const char key = KeyLetter(info.m_cKeyPosition);
    std::string body =
        XmlEmptyElement("common", {{"SerialNumber", info.m_szSerialNumber},
                                   {"FiscalNumber", AllBlank(fiscal) ? "" : fiscal},
                                   {"Owner", OwnerValue(info.m_szOwner)},
                                   {"date", info.m_szDate},
                                   {"time", info.m_szTime},
                                   {"KeyPosition", std::string_view(&key, 1)},
                                   {"MaxArticles", std::to_string(info.m_lMaxArticles)}});
    body +=
        XmlEmptyElement("money", {{"date", info.m_szCurrencyDate},
                                  {"DecPointPosition", std::to_string(info.m_nDecPointPosition)},
                                  {"name", info.m_szCurrencyName}});
    body += "<taxes>" + TaxElements(info) + "</taxes>";
    return XmlDocument("vsk_printer_config", body);
}

std::string TaxesXml(const CPrinterInfo& info) {
    return XmlDocument("vsk_taxes", "<taxes>" + TaxElements(info) + "</taxes>");
}

std::string ArticleXml(std::string_view data) {
    // The register marks divisible goods with '1'; the document says it the other way round.
    const bool marked = data.size() > 28 && data[28] == '1';
    return XmlDocument("vsk_article",
                       XmlEmptyElement("article", {{"index", Piece(data, 0, 4)},
                                                   {"name", Piece(data, 4, 24)},
                                                   {"dividual", marked ? "0" : "1"},
                                                   {"taxes", Piece(data, 29, 8)},
                                                   {"soldqty", Piece(data, 37, 10)},
                                                   {"salesum", Piece(data, 47, 10)},
                                                   {"longcode", Piece(data, 57, 9)}}));
}

std::string CashInfoXml(std::string_view data) {
    auto field = [data](size_t i) { return Piece(data, 11 * i, 11); };
    return XmlDocument("vsk_cash_info",
                       XmlEmptyElement("cash_info", {{"rest", field(0)},
                                                     {"income", field(1)},
                                                     {"outcome", field(2)},
                                                     {"sales", field(3)},
                                                     {"return", field(4)},
                                                     {"total", field(5)},
                                                     {"check_income", field(6)},
                                                     {"check_outcome", field(7)}}));
}

std::string FiscalInfoXml(std::string_view data) {
    // Twelve-character fields; the tenth and the twenty-first (positions 108 and 240) are
    // not shown.
    auto field = [data](size_t i) { return Piece(data, 12 * i, 12); };
    return XmlDocument(
        "vsk_fiscal_info",
        XmlEmptyElement(
            "fiscal_info",
            {{"total", field(0)},          {"tax1_total", field(1)},     {"tax2_total", field(2)},
             {"tax3_total", field(3)},     {"tax4_total", field(4)},     {"tax5_total", field(5)},
             {"tax6_total", field(6)},     {"tax7_total", field(7)},     {"tax8_total", field(8)},
             {"untaxed_total", field(10)}, {"return", field(11)},        {"tax1_return", field(12)},
             {"tax2_return", field(13)},   {"tax3_return", field(14)},   {"tax4_return", field(15)},
             {"tax5_return", field(16)},   {"tax6_return", field(17)},   {"tax7_return", field(18)},
             {"tax8_return", field(19)},   {"untaxed_return", field(21)}}));
}

std::string DocumentsInfoXml(const CDocumentsInfo& info) {
    return XmlDocument(
        "vsk_documents_info",
        XmlEmptyElement("documents_info",
                        {{"last_check_num", std::to_string(info.lastCheckNumber)},
                         {"last_doc_num", std::to_string(info.lastDocumentNumber)},
                         {"last_serv_doc_num", std::to_string(info.lastServiceDocumentNumber)},
                         {"article_mode", std::to_string(info.articleMode)},
                         {"fiscal_report_made", std::to_string(info.fiscalReportMade)},
                         {"fiscal_report_num", std::to_string(info.fiscalReportNumber)}}));
}

std::string CheckResultXml(const std::string (&v)[9]) {
    return XmlDocument("vsk_check_info",
                       XmlEmptyElement("check_info", {{"check_number", v[0]},
                                                      {"total", v[1]},
                                                      {"onsale_taxes", v[2]},
                                                      {"included_taxes", v[3]},
                                                      {"saleincluded_taxes", v[4]},
                                                      {"return", v[5]},
                                                      {"return_onsale_taxes", v[6]},
                                                      {"return_included_taxes", v[7]},
                                                      {"return_saleincluded_taxes", v[8]}}));
}

}  // namespace vsk

// --- the engine's document operations ---

std::string CVSKCore::GetPrinterConfigXML(int16_t refreshFromPrinter) {
    if (refreshFromPrinter != 0) {
        ReadPrinterInfo(m_PrinterInfo);  // a failed reading leaves the record as it was
    }
    return vsk::PrinterConfigXml(m_PrinterInfo);
}

std::string CVSKCore::GetTaxesInfoXML() const {
    return vsk::TaxesXml(m_PrinterInfo);
}

std::string CVSKCore::GetArticleInfoXML(int16_t article) {
    std::string data = GetArticleInfo(article);
    return data.empty() ? std::string{} : vsk::ArticleXml(data);
}

std::string CVSKCore::GetCashInfoXML() {
    std::string data = GetCashInfo();
    return data.empty() ? std::string{} : vsk::CashInfoXml(data);
}

std::string CVSKCore::GetFiscalInfoXML() {
    std::string data = GetFiscalInfo();
    return data.empty() ? std::string{} : vsk::FiscalInfoXml(data);
}

std::string CVSKCore::GetDocumentsInfoXML() {
    CDocumentsInfo info;
    std::string data = GetDocumentsInfo(info);
    return data.empty() ? std::string{} : vsk::DocumentsInfoXml(info);
}
