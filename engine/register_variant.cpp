#include "engine/register_variant.h"

namespace vsk {

namespace {

// What every register shares: the sale line forms, eight taxes, the first report commands.
RegisterVariant Common() {
    RegisterVariant r;
    r.highestTax = 8;
    for (SaleLineForm* form : {&r.shortArticleLine, &r.longArticleLine}) {
        form->saleWord = "FISC";
        form->returnWord = "BFIS";
        form->maxQuantity = 99999;
        form->articleWidth = 4;
        form->articleThousandsLetter = true;
    }
    r.shortArticleLine.nameWidth = 12;
    r.shortArticleLine.quantityWidth = 5;
    // Article mode 2 is the longer name, a sixth quantity digit and the taxes by letter.
    r.longArticleLine.nameWidth = 24;
    r.longArticleLine.quantityWidth = 6;
    r.longArticleLine.taxLetters = true;
    r.fiscalReportByNumbersWord = "IREN";
    r.fiscalReportByDatesWord = "IREP";
    return r;
}

// The older family: short text fields, no continuation, no cutter, and pauses around receipts.
RegisterVariant OlderFamily(int32_t level) {
    RegisterVariant r = Common();
    r.departmentWidth = 2;
    r.longNameWidth = level == 1 ? 54 : 18;
    r.freeTextWidth = 18;
    r.receiptTextWidth = 18;
    r.taxesOnTotalAtConnection = true;
    r.canSwitchTableModeOn = true;
    r.receiptOpeningPauseMs = 1300;
    r.documentOpeningPauseMs = 1000;
    r.cancelPauseMs = 1000;
    r.displayAlwaysText = true;
    // Level 0 does not say how many articles it holds.
    r.shortArticleLine.maxArticle = r.longArticleLine.maxArticle = level == 1 ? 1999 : 0;
    return r;
}

// Family 1: level 3 on has the longer texts and the newer report commands; 5, 6, 8 and 9 have
// nine-digit articles in article mode 2, 7 has operating modes, 8 and 9 the newest commands.
RegisterVariant NewerFamily(int32_t level) {
    auto from = [level](int32_t low, int32_t high) { return level >= low && level <= high; };
    const bool later = from(3, 9);
    const bool newest = from(8, 9);
    const bool nineDigitArticles = level == 5 || level == 6 || level == 8 || level == 9;

    RegisterVariant r = Common();
    r.departmentWidth = 15;
    r.longNameWidth = later ? 86 : 72;
    r.freeTextWidth = from(3, 7) ? 43 : 36;
    r.receiptTextWidth = later ? 43 : 36;
    r.highestTax = level == 7 ? 6 : 8;

    r.shortArticleLine.continuationWidth = later ? 29 : 24;
    r.longArticleLine.continuationWidth =
        nineDigitArticles ? 104 : r.shortArticleLine.continuationWidth;
    if (nineDigitArticles) {
        SaleLineForm& form = r.longArticleLine;
        form.saleWord = "FICD";
        form.returnWord = "BFCD";
        form.maxQuantity = 999999;
        form.articleWidth = 9;
        form.articleThousandsLetter = false;
    }
    r.alignsWeighedContinuation = later;

    int32_t articles = 1999;
    int32_t longArticles = 0;  // 0: as in the other modes
    switch (level) {
        case 3:
        case 4:
            articles = 9999;
            break;
        case 5:
        case 6:
            articles = 9999;
            longArticles = 999999999;
            break;
        case 7:
            articles = 4999;
            break;
        case 8:
            articles = 20688;
            longArticles = 999999999;
            break;
        case 9:
            articles = 15516;
            longArticles = 999999999;
            break;
        default:
            break;
    }
    r.shortArticleLine.maxArticle = articles;
    r.longArticleLine.maxArticle = longArticles != 0 ? longArticles : articles;

    r.hasOperatingModes = level == 7;
    r.tableModeOffAtConnection = later;
    r.canSwitchTableModeOn = !later;
    r.readsCountersAtConnection = from(5, 9);
    r.hasDocumentsCounters = true;

    r.hasCutter = true;
    r.hasPartialCut = newest;
    r.hasZeroZReport = newest;
    r.hasDisplaySettings = newest;
    r.hasDoubledTaxMode = newest;
    r.hasLinePrinting = newest;
    r.hasDiscountPrintMode = newest;
    r.hasContinuousPaperMode = newest;
    r.hasNumberedBottomLines = newest;
    r.hasGoodsGroups = newest;
    r.hasStorno = newest;
    r.hasBarcodes = newest;
    if (later) {
        r.fiscalReportByNumbersWord = "FIRN";
        r.fiscalReportByDatesWord = "FIRP";
    }
    return r;
}

}  // namespace

RegisterVariant RegisterVariantFor(ProtocolVariant variant) {
    // The model table yields family 0 or 1 only.
    RegisterVariant r =
        variant.family == 0 ? OlderFamily(variant.level) : NewerFamily(variant.level);
    r.family = variant.family;
    r.level = variant.level;
    return r;
}

}  // namespace vsk
