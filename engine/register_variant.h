// RegisterVariant: what the operations need to know about the kind of register on the port —
// field widths, limits, the forms of the sale line and which commands it takes. It is worked out
// once from the protocol family and level when the register's configuration is read; the
// operations read its fields and never ask for the family or level themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/printer_info.h"

namespace vsk {

// The sale line command in one article mode.
struct SaleLineForm {
    std::string_view saleWord;    // command word of a sale line
    std::string_view returnWord;  // command word of a return line
    size_t nameWidth = 0;         // the name field; the rest of the name is the continuation
    size_t quantityWidth = 0;
    int32_t maxQuantity = 0;  // larger quantities are refused before anything is sent
    bool taxLetters = false;  // the two taxes as one letter each instead of eight rate groups
    size_t articleWidth = 0;
    bool articleThousandsLetter = false;  // above 9999 the thousands go as one letter
    size_t continuationWidth = 0;         // name text sent after the line; 0: none is sent
    int32_t maxArticle = 0;               // highest article number; 0: whatever was known is kept
};

struct RegisterVariant {
    // Who the register is, for the clients and the journal; operations use the fields below.
    int32_t family = 0;
    int32_t level = 0;

    // --- text fields: longer texts are cut to these ---
    size_t departmentWidth = 0;   // receipt opening
    size_t longNameWidth = 0;     // the long name printed under a line
    size_t freeTextWidth = 0;     // free text lines of a receipt
    size_t receiptTextWidth = 0;  // head and bottom lines printed on every receipt
    int highestTax = 0;           // higher tax indexes in a sale line are refused

    // --- sale lines ---
    SaleLineForm shortArticleLine;  // every article mode but 2
    SaleLineForm longArticleLine;   // article mode 2
    // A weighed good's continuation is padded so that it starts a printed line of its own.
    bool alignsWeighedContinuation = false;

    // --- connection ---
    // The register has operating modes chosen with a password: registration for receipts
    // (also right after connecting), report mode around every report.
    bool hasOperatingModes = false;
    bool tableModeOffAtConnection = false;   // table mode is switched off right after connecting
    bool taxesOnTotalAtConnection = false;   // taxes on the total are chosen right after connecting
    bool readsCountersAtConnection = false;  // documents counters and article mode
    bool hasDocumentsCounters = false;       // "GLCN": the documents counters can be read
    bool canSwitchTableModeOn = false;

    // --- pauses the register needs around receipts and documents ---
    uint32_t receiptOpeningPauseMs = 0;   // after the receipt opening is sent
    uint32_t documentOpeningPauseMs = 0;  // after the service document opening is sent
    uint32_t cancelPauseMs = 0;           // before a receipt is cancelled

    // --- commands the register takes; the others are refused without sending ---
    bool hasCutter = false;
    bool hasPartialCut = false;  // the cutter command carries the partial cut digit
    bool hasZeroZReport = false;
    bool hasDisplaySettings = false;  // the customer display settings can be read
    bool hasDoubledTaxMode = false;
    bool hasLinePrinting = false;
    bool hasDiscountPrintMode = false;
    bool hasContinuousPaperMode = false;
    bool hasNumberedBottomLines = false;
    bool hasGoodsGroups = false;  // goods groups and their discount and upcount totals names
    bool hasStorno = false;
    bool hasBarcodes = false;
    // Without display settings, the customer display always takes two text lines.
    bool displayAlwaysText = false;
    // The periodic fiscal report command words.
    std::string_view fiscalReportByNumbersWord;
    std::string_view fiscalReportByDatesWord;

    const SaleLineForm& SaleLine(int32_t articleMode) const {
        return articleMode == 2 ? longArticleLine : shortArticleLine;
    }
    // The highest article number in `articleMode`; `current` where the register does not say.
    int32_t MaxArticle(int32_t articleMode, int32_t current) const {
        const int32_t max = SaleLine(articleMode).maxArticle;
        return max != 0 ? max : current;
    }
};

// The record of a protocol family and level as the model table yields them.
RegisterVariant RegisterVariantFor(ProtocolVariant variant);

}  // namespace vsk
