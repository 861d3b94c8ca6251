// The record of every kind of register the model table knows: each row is what the register
// takes, written out in full, so that one width or flag off in the record shows here.
#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "engine/register_variant.h"

namespace {

using vsk::RegisterVariant;
using vsk::RegisterVariantFor;
using vsk::SaleLineForm;

struct Kind {
    int family, level;
};

// Family 0 levels 0 and 1, family 1 levels 2 to 9.
const Kind kKinds[] = {{0, 0}, {0, 1}, {1, 2}, {1, 3}, {1, 4},
                       {1, 5}, {1, 6}, {1, 7}, {1, 8}, {1, 9}};

std::string KindName(Kind kind) {
    return std::to_string(kind.family) + "/" + std::to_string(kind.level);
}

// A sale line form in one line: "FISC/BFIS name12 qty5<=99999 groups article4L cont29 max9999".
std::string Describe(const SaleLineForm& f) {
    return std::string(f.saleWord) + "/" + std::string(f.returnWord) + " name" +
           std::to_string(f.nameWidth) + " qty" + std::to_string(f.quantityWidth) +
           "<=" + std::to_string(f.maxQuantity) + (f.taxLetters ? " letters" : " groups") +
           " article" + std::to_string(f.articleWidth) + (f.articleThousandsLetter ? "L" : "") +
           " cont" + std::to_string(f.continuationWidth) + " max" + std::to_string(f.maxArticle);
}

// What the register does at connection and which commands it takes, as words.
std::string Describe(const RegisterVariant& v) {
    std::string text;
    auto add = [&text](bool on, const char* word) {
        if (on) {
            text += text.empty() ? word : std::string(" ") + word;
        }
    };
    add(v.hasOperatingModes, "modes");
    add(v.tableModeOffAtConnection, "tableOff");
    add(v.taxesOnTotalAtConnection, "onTotal");
    add(v.readsCountersAtConnection, "counters");
    add(v.canSwitchTableModeOn, "tableOn");
    add(v.alignsWeighedContinuation, "align");
    add(v.displayAlwaysText, "textDisplay");
    add(v.hasCutter, "CUTR");
    add(v.hasPartialCut, "partialCut");
    add(v.hasZeroZReport, "nrep");
    add(v.hasDisplaySettings, "dset");
    add(v.hasDoubledTaxMode, "NLPR");
    add(v.hasLinePrinting, "STFL");
    add(v.hasDiscountPrintMode, "NPDI");
    add(v.hasContinuousPaperMode, "NCDC");
    add(v.hasNumberedBottomLines, "BOTm");
    add(v.hasGoodsGroups, "groups");
    add(v.hasStorno, "STRN");
    add(v.hasBarcodes, "PCOD");
    return text + " " + std::string(v.fiscalReportByNumbersWord) + "/" +
           std::string(v.fiscalReportByDatesWord);
}

TEST(RegisterVariant, KnowsItsFamilyAndLevel) {
    for (Kind kind : kKinds) {
        RegisterVariant v = RegisterVariantFor({kind.family, kind.level});
        EXPECT_EQ(v.family, kind.family);
        EXPECT_EQ(v.level, kind.level);
    }
}

TEST(RegisterVariant, TextWidthsAndTaxes) {
    struct Row {
        size_t department, longName, freeText, receiptText;
        int highestTax;
    };
    const Row rows[] = {
        {2, 18, 18, 18, 8},  {2, 54, 18, 18, 8},  {15, 72, 36, 36, 8}, {15, 86, 43, 43, 8},
        {15, 86, 43, 43, 8}, {15, 86, 43, 43, 8}, {15, 86, 43, 43, 8}, {15, 86, 43, 43, 6},
        {15, 86, 36, 43, 8}, {15, 86, 36, 43, 8},
    };
    static_assert(std::size(rows) == std::size(kKinds));
    for (size_t i = 0; i < std::size(kKinds); ++i) {
        SCOPED_TRACE(KindName(kKinds[i]));
        RegisterVariant v = RegisterVariantFor({kKinds[i].family, kKinds[i].level});
        EXPECT_EQ(v.departmentWidth, rows[i].department);
        EXPECT_EQ(v.longNameWidth, rows[i].longName);
        EXPECT_EQ(v.freeTextWidth, rows[i].freeText);
        EXPECT_EQ(v.receiptTextWidth, rows[i].receiptText);
        EXPECT_EQ(v.highestTax, rows[i].highestTax);
    }
}

TEST(RegisterVariant, SaleLineFormsOfBothArticleModes) {
    const char* const kShortPlain = "FISC/BFIS name12 qty5<=99999 groups article4L";
    const char* const kLongPlain = "FISC/BFIS name24 qty6<=99999 letters article4L";
    const char* const kLongWide = "FICD/BFCD name24 qty6<=999999 letters article9";
    struct Row {
        std::string shortForm, longForm;
    };
    const Row rows[] = {
        {std::string(kShortPlain) + " cont0 max0", std::string(kLongPlain) + " cont0 max0"},
        {std::string(kShortPlain) + " cont0 max1999", std::string(kLongPlain) + " cont0 max1999"},
        {std::string(kShortPlain) + " cont24 max1999", std::string(kLongPlain) + " cont24 max1999"},
        {std::string(kShortPlain) + " cont29 max9999", std::string(kLongPlain) + " cont29 max9999"},
        {std::string(kShortPlain) + " cont29 max9999", std::string(kLongPlain) + " cont29 max9999"},
        {std::string(kShortPlain) + " cont29 max9999",
         std::string(kLongWide) + " cont104 max999999999"},
        {std::string(kShortPlain) + " cont29 max9999",
         std::string(kLongWide) + " cont104 max999999999"},
        {std::string(kShortPlain) + " cont29 max4999", std::string(kLongPlain) + " cont29 max4999"},
        {std::string(kShortPlain) + " cont29 max20688",
         std::string(kLongWide) + " cont104 max999999999"},
        {std::string(kShortPlain) + " cont29 max15516",
         std::string(kLongWide) + " cont104 max999999999"},
    };
    static_assert(std::size(rows) == std::size(kKinds));
    for (size_t i = 0; i < std::size(kKinds); ++i) {
        SCOPED_TRACE(KindName(kKinds[i]));
        RegisterVariant v = RegisterVariantFor({kKinds[i].family, kKinds[i].level});
        EXPECT_EQ(Describe(v.shortArticleLine), rows[i].shortForm);
        EXPECT_EQ(Describe(v.longArticleLine), rows[i].longForm);
        // Article mode 2 alone picks the long form.
        EXPECT_EQ(&v.SaleLine(0), &v.shortArticleLine);
        EXPECT_EQ(&v.SaleLine(1), &v.shortArticleLine);
        EXPECT_EQ(&v.SaleLine(2), &v.longArticleLine);
    }
}

TEST(RegisterVariant, ConnectionStepsAndCommands) {
    const char* const kNewest =
        "tableOff counters align CUTR partialCut nrep dset NLPR STFL NPDI NCDC BOTm groups STRN "
        "PCOD FIRN/FIRP";
    const char* const rows[] = {
        "onTotal tableOn textDisplay IREN/IREP",
        "onTotal tableOn textDisplay IREN/IREP",
        "tableOn CUTR IREN/IREP",
        "tableOff align CUTR FIRN/FIRP",
        "tableOff align CUTR FIRN/FIRP",
        "tableOff counters align CUTR FIRN/FIRP",
        "tableOff counters align CUTR FIRN/FIRP",
        "modes tableOff counters align CUTR FIRN/FIRP",
        kNewest,
        kNewest,
    };
    static_assert(std::size(rows) == std::size(kKinds));
    for (size_t i = 0; i < std::size(kKinds); ++i) {
        SCOPED_TRACE(KindName(kKinds[i]));
        EXPECT_EQ(Describe(RegisterVariantFor({kKinds[i].family, kKinds[i].level})), rows[i]);
    }
}

TEST(RegisterVariant, OnlyTheOlderFamilyPausesAroundReceipts) {
    for (Kind kind : kKinds) {
        SCOPED_TRACE(KindName(kind));
        RegisterVariant v = RegisterVariantFor({kind.family, kind.level});
        const bool older = kind.family == 0;
        EXPECT_EQ(v.receiptOpeningPauseMs, older ? 1300u : 0u);
        EXPECT_EQ(v.documentOpeningPauseMs, older ? 1000u : 0u);
        EXPECT_EQ(v.cancelPauseMs, older ? 1000u : 0u);
    }
}

TEST(RegisterVariant, MaxArticleKeepsWhatWasKnownOnlyWhereTheRegisterDoesNotSay) {
    EXPECT_EQ(RegisterVariantFor({0, 0}).MaxArticle(2, 777), 777);
    EXPECT_EQ(RegisterVariantFor({0, 1}).MaxArticle(0, 777), 1999);
    EXPECT_EQ(RegisterVariantFor({1, 8}).MaxArticle(1, 777), 20688);
    EXPECT_EQ(RegisterVariantFor({1, 8}).MaxArticle(2, 777), 999999999);
}

}  // namespace
