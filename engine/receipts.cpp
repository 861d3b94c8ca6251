// Fiscal receipts: opening, sale lines with their taxes, closing with payments, cancelling and
// free text lines. Receipt figures are worked out in 64 bits and refused with "SOFTOVER" before
// anything is sent when they would not fit the command fields or the 32-bit receipt totals.
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "engine/error_catalogue.h"
#include "engine/line_sum.h"
#include "engine/vsk_core.h"
#include "engine/xml_documents.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/text.h"
#include "resources/strings.h"

namespace {

constexpr size_t kSumField = 9;
constexpr size_t kPaymentField = 10;

bool FitsInt32(int64_t value) {
    return value >= INT32_MIN && value <= INT32_MAX;
}

bool FitsField(int64_t value, size_t width) {
    return vsk::ZeroPadded(value, width).size() <= width;
}

int32_t SaturateInt32(int64_t value) {
    return static_cast<int32_t>(value < INT32_MIN ? INT32_MIN
                                                  : (value > INT32_MAX ? INT32_MAX : value));
}

// The number at the start of `text` as a C runtime would read it: blanks skipped, optional sign,
// digits until the first other character; 0 when there is none.
int64_t LeadingNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > (INT64_MAX - 9) / 10) {
            break;  // saturate rather than wrap
        }
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

// The rate of a tax entry as a fraction (20.00 -> 0.2), independent of the process locale.
double TaxRate(const CTaxEntry& tax) {
    double percent = 0;
    const std::string& text = tax.rateText;
    std::from_chars(text.data(), text.data() + text.size(), percent);
    return percent / 100;
}

enum class Label { Quantity, Price, Amount };

// The status window's labels, converted to Windows-1251 once.
const std::string& LabelText(Label label) {
    static const std::string texts[] = {vsk::Utf8ToCp1251("Кол-во"), vsk::Utf8ToCp1251("Цена"),
                                        vsk::Utf8ToCp1251("Сумма")};
    return texts[static_cast<int>(label)];
}

// The receipt number of a closing's figures: their first field.
int64_t ClosingNumber(std::string_view reply) {
    return reply.size() > 4 ? LeadingNumber(reply.substr(4, 10)) : 0;
}

std::string AmountText(int64_t total) {
    return LabelText(Label::Amount) + ": " + std::to_string(total);
}

char TaxLetter(int index) {
    // The tax letters are the first eight characters of string 1017 (А to З).
    const std::string& letters = vsk::LoadString1251(vsk::text::kTaxLetters);
    return index >= 1 && static_cast<size_t>(index) <= letters.size() && index <= 8
               ? letters[static_cast<size_t>(index) - 1]
               : '0';
}

struct LineTaxes {
    double onSale = 0;
    double kind2 = 0;
};

LineTaxes ComputeLineTaxes(int64_t sum, int16_t tax1, int16_t tax2, const CPrinterInfo& info) {
    LineTaxes taxes;
    for (int16_t index : {tax1, tax2}) {
        if (index < 1 || index > 8) {
            continue;
        }
        const CTaxEntry& tax = info.m_Taxes[index - 1];
        double r = TaxRate(tax);
        double s = static_cast<double>(sum);
        // Kind 0 (included in the price) changes neither the amount due nor a total the engine
        // reports: the register prints its own figure.
        switch (tax.kind) {
            case '1':
                taxes.onSale += std::floor(s * r);
                break;
            case '2':
                taxes.kind2 += std::floor(s * r);
                break;
            default:
                break;
        }
    }
    return taxes;
}

bool FitsAfter(int32_t total, double add) {
    // Room for the agreement step, which may move a tax by up to 2 towards the register's.
    double result = static_cast<double>(total) + std::trunc(add);
    return result - 3 >= INT32_MIN && result + 3 <= INT32_MAX;
}

// ---------------------------------------------------------------------------------- a sale line

// A sale line as the client asked for it.
struct SaleLineArgs {
    const std::string& name;
    int32_t quantity;
    int32_t price;
    int16_t divisible;
    int16_t tax1;
    int16_t tax2;
    int32_t article;
    int16_t discountDirection;
    const std::string& discountName;
    int32_t discount;
};

// Its figures, worked out before anything is sent.
struct SaleLineFigures {
    int64_t quantity = 1;       // what the sum is worked out with: no quantity counts as one
    int32_t quantityField = 0;  // what the command carries
    int64_t sum = 0;            // quantity times price
    int32_t discount = 0;       // as the command carries it; 0 when none is sent
    bool discountSent = false;
    int64_t finalSum = 0;  // the sum after the discount or upcount
};

// nullopt when a figure does not fit its command field.
std::optional<SaleLineFigures> WorkOutLine(const SaleLineArgs& args) {
    SaleLineFigures line;
    line.quantityField = args.quantity < 0 ? 0 : args.quantity;
    line.quantity = args.quantity == 0 ? 1 : args.quantity;
    const std::optional<vsk::LineFigures> sum = vsk::LineSum(
        args.quantity, args.price, args.divisible, args.discountDirection, args.discount);
    if (!sum) {
        return std::nullopt;
    }
    line.sum = sum->sum;
    line.discount = static_cast<int32_t>(sum->discount);
    line.discountSent = sum->discount >= 1;
    line.finalSum = sum->total;
    if (!FitsField(line.sum, kSumField) || !FitsField(args.price, kSumField) ||
        !FitsField(line.discount, kSumField) || !FitsInt32(line.finalSum)) {
        return std::nullopt;
    }
    return line;
}

// What the status window shows of the line: name, quantity and price. Kopecks and thousandths
// keep their leading zeros: 12.05, not 12.5.
std::string StatusGoods(const std::string& nameField, const SaleLineArgs& args,
                        const SaleLineFigures& line) {
    const int64_t q = line.quantity;
    const long price = args.price;
    char figures[96];
    if (args.divisible) {
        std::snprintf(figures, sizeof figures, "%lld.%03lld, %s: %ld.%02ld",
                      static_cast<long long>(q / 1000),
                      static_cast<long long>(std::llabs(q % 1000)), LabelText(Label::Price).c_str(),
                      price / 100, std::labs(price % 100));
    } else {
        std::snprintf(figures, sizeof figures, "%lld, %s: %ld.%02ld", static_cast<long long>(q),
                      LabelText(Label::Price).c_str(), price / 100, std::labs(price % 100));
    }
    return "\"" + nameField + "\" - " + LabelText(Label::Quantity) + ": " + figures;
}

// The tax fields: two letters, or eight groups of letter, kind and rate.
std::string TaxFields(const vsk::SaleLineForm& form, const CPrinterInfo& info, int16_t tax1,
                      int16_t tax2) {
    std::string fields;
    if (form.taxLetters) {
        fields += tax1 >= 1 ? TaxLetter(tax1) : '0';
        fields += tax2 >= 1 ? TaxLetter(tax2) : '0';
        return fields;
    }
    for (int i = 1; i <= 8; ++i) {
        if (tax1 != i && tax2 != i) {
            fields += "000000";
            continue;
        }
        // An unset entry keeps its group six characters wide rather than carrying a NUL.
        const CTaxEntry& tax = info.m_Taxes[i - 1];
        fields += TaxLetter(i);
        fields += tax.kind ? tax.kind : '0';
        fields += tax.rateDigits.size() == 4 ? tax.rateDigits : "0000";
    }
    return fields;
}

std::string ArticleField(const vsk::SaleLineForm& form, const CPrinterInfo& info, int32_t article) {
    if (article < 1 || article > info.m_lMaxArticles) {
        return std::string(form.articleWidth, '0');
    }
    return form.articleThousandsLetter ? vsk::ArticleNumber(article, form.articleWidth)
                                       : vsk::ZeroPadded(article, form.articleWidth);
}

// What follows the name field of a long name, as the register prints it.
std::string Continuation(const vsk::RegisterVariant& variant, const vsk::SaleLineForm& form,
                         const SaleLineArgs& args, std::string continuation) {
    const size_t width = form.continuationWidth;
    if (variant.alignsWeighedContinuation && args.divisible && args.name.size() > 12) {
        continuation = continuation.substr(0, 80);
        while ((continuation.size() + form.nameWidth) % 30 != 12) {
            continuation += ' ';
        }
        continuation = continuation.substr(0, width);
        if (!continuation.empty() && continuation.back() == ' ') {
            continuation.back() = '.';
        }
    }
    return continuation.substr(0, width);
}

struct SaleLineText {
    std::string nameField;  // the name as its field carries it
    std::string command;
    // The name field and its continuation, trailing blanks removed.
    std::string printedName;
};

SaleLineText SaleLineCommand(const vsk::RegisterVariant& variant, const vsk::SaleLineForm& form,
                             const CPrinterInfo& info, bool returnLine, const SaleLineArgs& args,
                             const SaleLineFigures& line) {
    SaleLineText text;
    const size_t nameWidth = form.nameWidth;
    const std::string trimmed = vsk::Trim(args.name, vsk::kWhiteSpace);
    text.nameField = vsk::FixedField(trimmed, nameWidth);
    std::string& command = text.command;
    command = returnLine ? form.returnWord : form.saleWord;
    command += text.nameField;
    command += vsk::ZeroPadded(line.sum, kSumField);
    command += vsk::ZeroPadded(args.price, kSumField);
    command += vsk::ZeroPadded(line.quantityField, form.quantityWidth);
    command += args.divisible ? '0' : '1';
    command += '0';
    command += TaxFields(form, info, args.tax1, args.tax2);
    command += ArticleField(form, info, args.article);
    if (line.discountSent) {
        command += args.discountDirection == 0 ? '-' : '+';
        command += vsk::FixedField(args.discountName, 13);
        command += vsk::ZeroPadded(line.discount, kSumField);
    }
    const std::string continuation = Continuation(
        variant, form, args, trimmed.size() > nameWidth ? trimmed.substr(nameWidth) : "");
    text.printedName = vsk::TrimRight(text.nameField + continuation, " ");
    if (!continuation.empty()) {
        if (!line.discountSent) {
            command += std::string(1 + 13 + 9, '0');  // an empty discount field
        }
        command += continuation;
    }
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------------- opening

void CVSKCore::ResetReceiptTotals() {
    m_beforeLastLine.reset();
    m_totals = {};
}

int16_t CVSKCore::OpenCheck(const std::string& department) {
    m_journal.LogFormat("OpenCheck(%s)", department.c_str());
    return OpenReceipt(department, false);
}

int16_t CVSKCore::OpenReturnCheck(const std::string& department) {
    m_journal.LogFormat("OpenReturnCheck(%s)", department.c_str());
    return OpenReceipt(department, true);
}

void CVSKCore::EndReceipt() {
    m_lineInDoubt.reset();
    m_bLateLineCounted = false;
}

vsk::ReplyHooks CVSKCore::LeftoverHook(bool& leftover) {
    vsk::ReplyHooks hooks;
    hooks.onStatus = [&leftover](const std::string& text) {
        if (text.find("SOFTPROTOC") != std::string::npos) {
            leftover = true;
            return vsk::StatusHook::Fail;
        }
        return vsk::StatusHook::Classify;
    };
    return hooks;
}

void CVSKCore::EndLeftover() {
    // Refusals only say that nothing of that kind was open; they are nobody's error.
    vsk::ReplyHooks hooks;
    hooks.onStatus = [](const std::string& text) {
        const vsk::StatusWord* row = vsk::FindStatusWord(text);
        return row && row->kind == vsk::StatusKind::Warning ? vsk::StatusHook::Drop
                                                            : vsk::StatusHook::Fail;
    };
    const vsk::ReplyRules rules = vsk::ReplyRules::Ready().With(vsk::SilenceRule::Recorded);
    if (m_variant.cancelPauseMs != 0) {
        m_clock.Sleep(m_variant.cancelPauseMs);
    }
    const bool cancelled = Exchange({.text = "CANC"}, rules, hooks).Ready();
    const bool closed = Exchange({.text = "DEND"}, rules, hooks).Ready();
    m_journal.LogFormat(
        "Opening refused with SOFTPROTOC: the register holds a receipt or document left open "
        "before the port was opened; ended it (CANC %s, DEND %s) and opening again",
        cancelled ? "accepted" : "refused", closed ? "accepted" : "refused");
}

int16_t CVSKCore::OpenReceipt(const std::string& department, bool returnCheck) {
    ReceiptEvents().OpeningAsked(returnCheck, m_lastReceiptNumber);
    m_bReturnCheck = returnCheck;
    ClearErrors();
    if (m_bCheckOpen) {
        AbortCheck();
    }
    if (m_bDocumentOpen) {
        CloseDocument();
    }
    if (!PendingErrorCheck()) {
        ReceiptEvents().OpeningRefused(PeekLastErrorCode(), PeekLastErrorMessage());
        return 0;
    }
    if (m_variant.hasOperatingModes) {
        ActivatePrinterMode(1);
    }
    std::string dept = department.substr(0, m_variant.departmentWidth);

    CloseStatusWindow();
    if (m_bShowStatusDialogs) {
        m_statusWindow = m_ui.CreateStatusWindow();
        ShowStatusTexts(vsk::LoadString1251(vsk::text::kStatusOpeningReceipt) + dept, {}, {});
    }
    bool leftover = false;
    auto open = [&](const vsk::ReplyHooks& hooks) {
        return Exchange({.text = "PREP" + dept, .pauseMs = m_variant.receiptOpeningPauseMs},
                        vsk::ReplyRules::Ready(vsk::kOpeningTimeoutMs), hooks);
    };
    vsk::ExchangeResult end =
        open(std::exchange(m_bFirstOpening, false) ? LeftoverHook(leftover) : vsk::ReplyHooks{});
    if (leftover) {
        EndLeftover();
        end = open({});  // a second refusal is the client's answer
    }
    if (!end.Ready()) {
        CloseStatusWindow();
        ReceiptEvents().OpeningRefused(PeekLastErrorCode(), PeekLastErrorMessage());
        return 0;
    }
    ResetReceiptTotals();
    EndReceipt();
    m_queue.Clear();
    m_bCheckOpen = true;
    ReceiptEvents().Opened();
    m_szCheckResult.clear();
    m_szCheckResultXML.clear();
    m_closingFigures = {};
    return 1;  // the status window stays for the lines
}

int16_t CVSKCore::SetReturnCheckNumber(int32_t number) {
    m_journal.LogFormat("SetReturnCheckNumber(CheckNumber = %ld)", static_cast<long>(number));
    return ExchangeReady({.text = "BCHN" + std::to_string(number)});
}

int16_t CVSKCore::SetReturnCheckNumberStr(const std::string& numbers) {
    m_journal.LogFormat("SetReturnCheckNumberStr(Numbers = %s)", numbers.c_str());
    return ExchangeReady({.text = "BCHN" + numbers.substr(0, 86)});
}

int32_t CVSKCore::SetCurrentCheckDirection(int16_t direction) {
    m_journal.LogFormat("SetCurrentCheckDirection(%d)", direction);
    if (!m_bCheckOpen) {
        return 0;
    }
    m_bReturnCheck = true;  // a receipt never goes back from returns to sales
    return 1;
}

// ---------------------------------------------------------------------------------- lines

int32_t CVSKCore::FiscalLine(const std::string& name, int32_t quantity, int32_t price,
                             int16_t divisible, int16_t tax1, int16_t tax2, int32_t article) {
    return FiscalLineEx(name, quantity, price, divisible, tax1, tax2, article, 0, {}, 0);
}

int32_t CVSKCore::FiscalLineEx(const std::string& name, int32_t quantity, int32_t price,
                               int16_t divisible, int16_t tax1, int16_t tax2, int32_t article,
                               int16_t discountDirection, const std::string& discountName,
                               int32_t discount) {
    m_journal.LogFormat(
        "FiscalLineEx(Name = %s, Qty = %ld, Price = %ld, Divided = %d, Tax1 = %d, Tax2 = %d, "
        "Article = %ld, DiscountDirection = %d, DiscountName = %s, Discount = %ld)",
        name.c_str(), static_cast<long>(quantity), static_cast<long>(price), divisible, tax1, tax2,
        static_cast<long>(article), discountDirection, discountName.c_str(),
        static_cast<long>(discount));
    if (!m_bCheckOpen) {
        return -1;
    }
    if (!PendingErrorCheck()) {
        AbortCheck();
        return -1;
    }
    const vsk::SaleLineForm& form = m_variant.SaleLine(m_lArticleMode);
    if (quantity > form.maxQuantity || tax1 > m_variant.highestTax || tax2 > m_variant.highestTax) {
        RecordFault(quantity > form.maxQuantity ? vsk::Fault::TooBigQuantity
                                                : vsk::Fault::InvalidTax);
        ShowLastError(vsk::MsgIcon::Stop, vsk::MsgButtons::Ok);
        AbortCheck();
        return 0;
    }

    m_lLineTaxes = 0;
    const SaleLineArgs args{name,    quantity,          price,        divisible, tax1, tax2,
                            article, discountDirection, discountName, discount};
    const std::optional<SaleLineFigures> figures = WorkOutLine(args);
    // Everything this line would add must fit its command field and the receipt totals.
    if (!figures || !LineFitsTotals(figures->finalSum, tax1, tax2)) {
        RecordFault(vsk::Fault::Overflow);
        ShowLastError(vsk::MsgIcon::Stop, vsk::MsgButtons::Ok);
        return -1;
    }
    const SaleLineText line =
        SaleLineCommand(m_variant, form, m_PrinterInfo, m_bReturnCheck, args, *figures);
    std::string statusGoods;
    if (m_statusWindow) {
        statusGoods = StatusGoods(line.nameField, args, *figures);
        ShowStatusTexts(vsk::LoadString1251(vsk::text::kStatusPrintingReceipt), statusGoods,
                        AmountText(RunningTotal()));
    }

    vsk::ReplyHooks hooks;
    // A full copy buffer only means that "COPY" will not work for this receipt.
    hooks.onStatus = [](const std::string& text) {
        return text.find("SOFTCOPY") != std::string::npos ? vsk::StatusHook::Drop
                                                          : vsk::StatusHook::Classify;
    };
    hooks.onData = [this](const std::string& text) {
        m_lLineTaxes = SaturateInt32(LeadingNumber(std::string_view(text).substr(4)));
    };
    const vsk::ExchangeResult end =
        Exchange({.text = line.command}, vsk::ReplyRules::DataThenReady("FISC"), hooks);
    const int64_t finalSum = figures->finalSum;
    if (end.MayHaveBeenDone()) {
        // The register may print the line all the same; its late answer will tell.
        m_lineInDoubt = LineInDoubt{finalSum, tax1, tax2, m_bReturnCheck, line.printedName};
    }
    if (!end.Ready()) {
        return -1;  // the receipt stays open
    }
    m_szLastLineName = line.printedName;
    const int32_t result = CompleteLine(finalSum, tax1, tax2, m_bReturnCheck);
    ReceiptEvents().LinePrinted(m_szLastLineName, quantity, price, result);
    if (m_statusWindow) {
        m_statusWindow->ShowTexts(vsk::LoadString1251(vsk::text::kStatusPrintingReceipt),
                                  statusGoods, AmountText(RunningTotal()));
    }
    m_journal.LogFormat("FiscalLineEx m_lLineTaxes = %ld, LineSumm = %ld, Result = %ld",
                        static_cast<long>(m_lLineTaxes), static_cast<long>(finalSum),
                        static_cast<long>(result));
    return result;
}

bool CVSKCore::LineFitsTotals(int64_t finalSum, int16_t tax1, int16_t tax2) const {
    const LineTaxes projected = ComputeLineTaxes(finalSum, tax1, tax2, m_PrinterInfo);
    const bool ret = m_bReturnCheck;
    const SideTotals& side = m_totals.Side(ret);
    bool fits = FitsAfter(side.sum, static_cast<double>(finalSum)) &&
                FitsAfter(side.onSaleTaxes, projected.onSale) &&
                FitsAfter(side.kind2Taxes, projected.kind2);
    for (int16_t index : {tax1, tax2}) {
        if (index >= 1 && index <= 8) {
            fits = fits && FitsAfter(side.turnover[index - 1], 2.0 * static_cast<double>(finalSum));
        }
    }
    const double line = static_cast<double>(finalSum) + projected.onSale - projected.kind2;
    const double due = static_cast<double>(RunningTotal()) + (ret ? -line : line);
    return fits && std::fabs(due) + 6 < INT32_MAX;
}

void CVSKCore::CountLateLine(const std::string& fiscReply) {
    if (!m_lineInDoubt) {
        return;
    }
    const LineInDoubt line = *std::exchange(m_lineInDoubt, std::nullopt);
    m_lLineTaxes = fiscReply.size() > 4
                       ? SaturateInt32(LeadingNumber(std::string_view(fiscReply).substr(4)))
                       : 0;
    CompleteLine(line.sum, line.tax1, line.tax2, line.returnLine);
    m_szLastLineName = line.name;
    m_bLateLineCounted = true;
}

int32_t CVSKCore::CompleteLine(int64_t sum, int16_t tax1, int16_t tax2, bool returnLine) {
    // The register printed the line; bring the receipt totals in step.
    m_beforeLastLine = m_totals;
    SideTotals& side = m_totals.Side(returnLine);
    LineTaxes taxes = ComputeLineTaxes(sum, tax1, tax2, m_PrinterInfo);
    for (int16_t index : {tax1, tax2}) {
        if (index >= 1 && index <= 8) {
            side.turnover[index - 1] = SaturateInt32(side.turnover[index - 1] + sum);
        }
    }
    if (m_lLineTaxes == 0) {
        m_lLineTaxes = SaturateInt32(static_cast<int64_t>(std::trunc(taxes.onSale - taxes.kind2)));
    } else {
        if (std::fabs(taxes.onSale - m_lLineTaxes) < 3) {
            taxes.onSale = m_lLineTaxes;
        }
        if (std::fabs(taxes.kind2 - m_lLineTaxes) < 3) {
            taxes.kind2 = m_lLineTaxes;
        }
    }
    auto add = [](int32_t& total, double value) {
        total = SaturateInt32(total + static_cast<int64_t>(std::trunc(value)));
    };
    side.sum = SaturateInt32(side.sum + sum);
    add(side.onSaleTaxes, taxes.onSale);
    add(side.kind2Taxes, taxes.kind2);
    return SaturateInt32(sum + m_lLineTaxes);
}

int16_t CVSKCore::LongName(const std::string& name) {
    m_journal.LogFormat("LongName(aName = %s)", name.c_str());
    if (!m_bCheckOpen || !PendingErrorCheck()) {
        return 0;
    }
    const vsk::Command command{.text = "FINF" + name.substr(0, m_variant.longNameWidth)};
    return Exchange(command, vsk::ReplyRules::Ready()).Ready() ? 1 : 0;
}

// ---------------------------------------------------------------------------------- closing

void CVSKCore::FillCheckResult(const std::string& reply) {
    std::string values[9];
    m_szCheckResult.clear();
    for (size_t i = 0; i < 9; ++i) {
        size_t at = 4 + 10 * i;
        std::string_view field =
            at < reply.size() ? std::string_view(reply).substr(at, 10) : std::string_view{};
        m_closingFigures[i] = LeadingNumber(field);
        values[i] = std::to_string(m_closingFigures[i]);
        if (i > 0) {
            m_szCheckResult += ';';
        }
        m_szCheckResult += values[i];
    }
    m_szCheckResultXML = vsk::CheckResultXml(values);
}

int32_t CVSKCore::CloseCheckEx(int32_t cash, int32_t payCheck, int32_t credit, int32_t pack) {
    m_journal.LogFormat("CloseCheckEx(Cash = %ld, PayCheck = %ld, Credit = %ld, Pack = %ld)",
                        static_cast<long>(cash), static_cast<long>(payCheck),
                        static_cast<long>(credit), static_cast<long>(pack));
    // A closing in doubt that the register answers only now is the one being retried: it ended
    // with the figures the register printed.
    const bool wasInDoubt = CloseInDoubt();
    CatchUpLateAnswer();
    if (wasInDoubt && m_closeOutcome == CloseOutcome::Closed) {
        const int32_t due = SaturateInt32(RunningTotal());
        m_journal.LogFormat("CloseCheckEx Result = %ld (closed by the late answer)",
                            static_cast<long>(due));
        return due;
    }
    m_closeOutcome = CloseOutcome::NotSent;
    if (!m_bCheckOpen) {
        return 0;
    }
    if (!PendingErrorCheck()) {
        AbortCheck();
        return 0;
    }
    int32_t result = -1;
    auto finish = [this, &result]() {
        CloseStatusWindow();
        m_lLineTaxes = 0;
        m_journal.LogFormat("CloseCheckEx Result = %ld", static_cast<long>(result));
        return result;
    };
    if (std::exchange(m_bLateLineCounted, false)) {
        // The client was told a line failed that the register printed after all, and worked
        // out its payments without it. No money is taken before it has seen the new total:
        // the next closing (or cancelling) goes ahead.
        RecordFault(vsk::Fault::LateLine);
        ShowLastError(vsk::MsgIcon::Exclamation, vsk::MsgButtons::Ok);
        return finish();
    }
    auto refuseOverflow = [this, &finish]() {
        RecordFault(vsk::Fault::Overflow);
        ShowLastError(vsk::MsgIcon::Stop, vsk::MsgButtons::Ok);
        return finish();
    };
    if (!m_bPerLineTaxes && !SettleTaxesOnTotal()) {
        return refuseOverflow();
    }
    const int64_t due = RunningTotal();
    int64_t cashDue = cash;
    const int64_t others = int64_t{payCheck} + credit + pack;
    if (std::llabs(cashDue + others - due) < 2) {
        cashDue = due - others;  // a kopeck of difference is absorbed by the cash
    }
    // The figures of "COMP" in their order, from the totals as they stand when it is built.
    auto closingFigures = [&]() {
        return std::array<int64_t, 6>{
            m_totals.sale.sum, m_totals.ret.sum, pack,
            payCheck,          credit,           cashDue < 0 ? -cashDue : cashDue};
    };
    // Every figure of "COMP" must fit its 10-character field: a longer one shifts the rest.
    bool fits = FitsInt32(due) && FitsInt32(cashDue);
    for (int64_t value : closingFigures()) {
        fits = fits && FitsField(value, kPaymentField);
    }
    if (!fits) {
        return refuseOverflow();
    }
    // Taken before a closing that pays nothing clears the figures it sends.
    const int64_t total =
        m_bReturnCheck ? int64_t{m_totals.ret.sum} : int64_t{m_totals.sale.sum} - m_totals.ret.sum;
    if (cashDue == 0 && payCheck == 0 && credit == 0 && pack == 0) {
        ResetReceiptTotals();
    } else if (cashDue + others < due) {
        RecordFault(vsk::Fault::NotEnoughMoney);
        ShowLastError(vsk::MsgIcon::Exclamation, vsk::MsgButtons::Ok);
        return finish();
    }
    if (m_statusWindow) {
        m_statusWindow->ShowMessage(vsk::text::kStatusClosingReceipt);
    }
    std::string command = "COMP";
    for (int64_t value : closingFigures()) {
        command += vsk::ZeroPadded(value, kPaymentField);
    }
    ReceiptEvents().ClosingAsked(
        m_bPaymentsNamed ? std::optional<vsk::ReceiptPayments>({cash, payCheck, credit, pack})
                         : std::nullopt,
        total);
    if (ExchangeClosing(command)) {
        result = static_cast<int32_t>(due);
    }
    return finish();
}

bool CVSKCore::ExchangeClosing(const std::string& command) {
    std::string figures;
    vsk::ReplyHooks hooks;
    hooks.onData = [this, &figures](const std::string& text) {
        FillCheckResult(text);
        figures = text;
    };
    // Only the closing figures show that this READY is the closing's own.
    const vsk::ExchangeResult end =
        Exchange({.text = command}, vsk::ReplyRules::DataThenReady("COMP"), hooks);
    if (end.MayHaveBeenDone()) {
        m_closeOutcome = CloseOutcome::InDoubt;
        ReceiptEvents().ClosingInDoubt(PeekLastErrorCode(), PeekLastErrorMessage());
        return false;
    }
    if (!end.Ready()) {
        m_closeOutcome = end.sent ? CloseOutcome::Refused : CloseOutcome::NotSent;
        ReceiptEvents().ClosingRefused();
        return false;
    }
    m_bCheckOpen = false;
    EndReceipt();
    m_closeOutcome = CloseOutcome::Closed;
    m_lastReceiptNumber = ClosingNumber(figures);
    ReceiptEvents().Closed(*m_lastReceiptNumber);
    return true;
}

bool CVSKCore::SettleTaxesOnTotal() {
    // One rounding per tax rate instead of one per line.
    int64_t saleOnSale = 0, returnOnSale = 0, saleKind2 = 0, returnKind2 = 0;
    for (size_t k = 0; k < 8; ++k) {
        const CTaxEntry& tax = m_PrinterInfo.m_Taxes[k];
        double r = TaxRate(tax);
        auto rounded = [r](int32_t turnover) {
            return static_cast<int64_t>(std::floor(static_cast<double>(turnover) * r + 0.5));
        };
        if (tax.kind == '1') {
            saleOnSale += rounded(m_totals.sale.turnover[k]);
            returnOnSale += rounded(m_totals.ret.turnover[k]);
        } else if (tax.kind == '2') {
            saleKind2 += rounded(m_totals.sale.turnover[k]);
            returnKind2 += rounded(m_totals.ret.turnover[k]);
        }
    }
    if (!FitsInt32(saleOnSale) || !FitsInt32(returnOnSale) || !FitsInt32(saleKind2) ||
        !FitsInt32(returnKind2)) {
        return false;
    }
    m_totals.sale.onSaleTaxes = static_cast<int32_t>(saleOnSale);
    m_totals.ret.onSaleTaxes = static_cast<int32_t>(returnOnSale);
    m_totals.sale.kind2Taxes = static_cast<int32_t>(saleKind2);
    m_totals.ret.kind2Taxes = static_cast<int32_t>(returnKind2);
    return true;
}

void CVSKCore::CloseLate(const std::string& compReply) {
    FillCheckResult(compReply);
    m_bCheckOpen = false;
    EndReceipt();
    m_closeOutcome = CloseOutcome::Closed;
    m_lastReceiptNumber = ClosingNumber(compReply);
    m_journal.LogFormat("The closing in doubt was printed: receipt closed late (%s)",
                        m_szCheckResult.c_str());
    ReceiptEvents().Closed(*m_lastReceiptNumber);
}

int32_t CVSKCore::CloseCheck() {
    m_journal.WriteLogLine("CloseCheck()");
    m_bPaymentsNamed = false;
    const int32_t result = CloseCheckEx(SaturateInt32(RunningTotal()), 0, 0, 0);
    m_bPaymentsNamed = true;
    return result;
}

int16_t CVSKCore::AbortCheck() {
    m_journal.WriteLogLine("AbortCheck()");
    if (m_statusWindow) {
        m_statusWindow->ShowMessage(vsk::text::kStatusCancellingReceipt);
    }
    if (m_variant.cancelPauseMs != 0) {
        m_clock.Sleep(m_variant.cancelPauseMs);
    }
    int16_t result = 0;
    if (Exchange({.text = "CANC"}, vsk::ReplyRules::Ready()).Ready()) {
        m_bCheckOpen = false;
        EndReceipt();
        ReceiptEvents().Cancelled(PeekLastErrorCode(), PeekLastErrorMessage());
        result = 1;
    }
    CloseStatusWindow();
    m_lLineTaxes = 0;
    return result;
}

// ---------------------------------------------------------------------------------- free text

int16_t CVSKCore::FreeTextLine(int16_t placeBeforeFiscalPart, int16_t printOnJornal,
                               int16_t doubleStrike, const std::string& text) {
    m_journal.LogFormat(
        "FreeTextLine(PlaceBeforeFiscalPart = %d, PrintOnJornal = %d, DoubleStrike = %d, "
        "Text = %s)",
        placeBeforeFiscalPart, printOnJornal, doubleStrike, text.c_str());
    if (!PendingErrorCheck()) {
        return 0;
    }
    std::string command = "TEXT";
    command += placeBeforeFiscalPart == 0 ? '1' : '0';
    command += printOnJornal != 0 ? '1' : '0';
    command += doubleStrike != 0 ? '1' : '0';
    command += text.substr(0, m_variant.freeTextWidth);
    return ExchangeReady({.text = command});
}

int16_t CVSKCore::ClearFreeTextLines() {
    m_journal.WriteLogLine("ClearFreeTextLines()");
    return ExchangeReady({.text = "CTXT"});
}
