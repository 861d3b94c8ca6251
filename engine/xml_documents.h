// The small XML documents the engine hands to clients: one line each, no encoding declared, no
// whitespace between elements. Every document is put together from the three helpers below, so
// every attribute value goes through the same escaping.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "engine/printer_info.h"

struct CDocumentsInfo;

namespace vsk {

struct XmlAttribute {
    std::string_view name;
    std::string_view value;
};

// The value made safe inside double quotes: & < > and " become entities; any other byte is
// kept as it is (the documents are Windows-1251 text).
std::string XmlEscape(std::string_view value);
// <name a="v" b="w"/>, every value escaped.
std::string XmlEmptyElement(std::string_view name, std::initializer_list<XmlAttribute> attributes);
// <?xml version="1.0"?><root>body</root>; `body` is markup made by the helpers above.
std::string XmlDocument(std::string_view root, std::string_view body);

// The documents, from the record or the reply data text (the reply after its word).
std::string PrinterConfigXml(const CPrinterInfo& info);
std::string TaxesXml(const CPrinterInfo& info);
std::string ArticleXml(std::string_view data);
std::string CashInfoXml(std::string_view data);
std::string FiscalInfoXml(std::string_view data);
std::string DocumentsInfoXml(const CDocumentsInfo& info);
// `values` are the nine figures of the receipt result list, in order.
std::string CheckResultXml(const std::string (&values)[9]);

}  // namespace vsk
