// Receipt extras of the newest registers: goods groups with their totals names, storno of the
// previous sale line, and barcodes. The engine leaves it to the register to refuse them outside
// a receipt.
#include "engine/simple_command.h"
#include "engine/vsk_core.h"

namespace {

using vsk::JournalLine;

// A totals name: blank-filled on the right to 22 characters; a longer name goes whole.
std::string NameField(const std::string& name) {
    std::string field = name;
    if (field.size() < 22) {
        field.append(22 - field.size(), ' ');
    }
    return field;
}

}  // namespace

int16_t CVSKCore::OpenGoodsGroup(const std::string& groupName) {
    return vsk::RunSimpleCommand(
        *this, {.journal = JournalLine("OpenGoodsGroup(szGroupName = %s)", groupName.c_str()),
                .text = "GRBG" + groupName.substr(0, 21),
                .allowed = m_variant.hasGoodsGroups});
}

int16_t CVSKCore::CloseGoodsGroup(const std::string& discountTotalsName,
                                  const std::string& upcountTotalsName) {
    // The journal line has never had its closing parenthesis; log readers match it as it is.
    return vsk::RunSimpleCommand(
        *this, {.journal = JournalLine(
                    "CloseGoodsGroup(szDiscountTotalsName = %s, szUpcountTotalsName = %s",
                    discountTotalsName.c_str(), upcountTotalsName.c_str()),
                .text = "GREN" + NameField(discountTotalsName) + NameField(upcountTotalsName),
                .allowed = m_variant.hasGoodsGroups});
}

int16_t CVSKCore::SetDiscountUpcountTotalsName(const std::string& discountTotalsName,
                                               const std::string& upcountTotalsName) {
    return vsk::RunSimpleCommand(
        *this, {.journal = JournalLine("SetDiscountUpcountTotalsName(szDiscountTotalsName = %s, "
                                       "szUpcountTotalsName = %s)",
                                       discountTotalsName.c_str(), upcountTotalsName.c_str()),
                .text = "ZDNM" + NameField(discountTotalsName) + NameField(upcountTotalsName),
                .allowed = m_variant.hasGoodsGroups});
}

int16_t CVSKCore::Storn() {
    const int16_t result = vsk::RunSimpleCommand(
        *this, {.journal = "Storn()", .text = "STRN", .allowed = m_variant.hasStorno});
    // The register took the previous line off the receipt; so do the totals the closing sends.
    if (result > 0 && m_beforeLastLine) {
        m_totals = *m_beforeLastLine;
        m_beforeLastLine.reset();
        m_lLineTaxes = 0;
    }
    return result;
}

int16_t CVSKCore::PrintBarcode(int32_t barcodeType, int32_t placeBelowFiscalPart,
                               int32_t printOnJornal, const std::string& barcode) {
    std::string code = barcode;
    if (code.size() < 4) {
        code.insert(0, 4 - code.size(), '0');
    }
    // The register takes one barcode kind: the type field is always "0"; the client's type
    // goes to the journal only.
    return vsk::RunSimpleCommand(
        *this, {.journal = JournalLine(
                    "PrintBarcode(BarcodeType = %ld, PlaceBelowFiscalPart = %ld, "
                    "PrintOnJornal = %ld, szBarcode = %s)",
                    static_cast<long>(barcodeType), static_cast<long>(placeBelowFiscalPart),
                    static_cast<long>(printOnJornal), barcode.c_str()),
                .text = "PCOD" + vsk::ZeroPadded(placeBelowFiscalPart, 1) +
                        vsk::ZeroPadded(printOnJornal, 1) + "0" + code.substr(0, 17),
                .allowed = m_variant.hasBarcodes});
}
