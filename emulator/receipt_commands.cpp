// Register side of login, receipts, sale lines, closing, cancelling, free text and the receipt
// extras (goods groups, storno, barcodes).
#include <cmath>
#include <cstdio>

#include "emulator/register.h"
#include "emulator/util.h"

namespace vsk::emu {

namespace {

const std::vector<std::string> kReady = {"READY"};
std::vector<std::string> Error(const char* word) {
    return {word};
}

// Tax of a line sum at a rate in hundredths of a percent, computed in double precision the way
// the server computes it, so that both sides agree to the kopeck.
double RateOf(const TaxRate& t) {
    return t.rate / 10000.0;
}

std::string QuantityText(int64_t quantity, bool piece) {
    if (piece)
        return std::to_string(quantity == 0 ? 1 : quantity);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld.%03lld", static_cast<long long>(quantity / 1000),
                  static_cast<long long>(quantity % 1000));
    return buf;
}

// The fields of a sale line command as the server sent them.
struct SaleFields {
    std::string name;  // the name field, blanks included
    int64_t sum = 0, price = 0, quantity = 0;
    bool piece = true;
    std::vector<int> taxes;  // indexes 1..8
    int64_t article = 0;
    int64_t discount = 0;  // negative: discount, positive: surcharge
    std::string discountName;
    std::string continuation;  // of the name, after the discount part
};

// Long mode names the taxes by their letters; short mode repeats, for each of the eight, the
// letter, kind and rate it read from CNAL, so that a stale or foreign table is refused.
bool ParseTaxField(std::string_view field, const TaxTable& table, bool longMode,
                   std::vector<int>& taxes) {
    if (longMode) {
        for (char c : field) {
            if (c == '0')
                continue;
            int index = TaxIndexOfLetter(c);
            if (index == 0 || !table[index - 1].set)
                return false;
            taxes.push_back(index);
        }
        return true;
    }
    for (int i = 1; i <= 8; ++i) {
        std::string_view g = field.substr((i - 1) * 6, 6);
        if (g == "000000")
            continue;
        const TaxRate& t = table[i - 1];
        int64_t rate;
        if (TaxIndexOfLetter(g[0]) != i || !t.set || g[1] != t.kind ||
            !ParseField(g.substr(2), rate) || rate != t.rate) {
            return false;
        }
        taxes.push_back(i);
    }
    return true;
}

bool ParseArticleField(std::string_view field, bool longMode, int64_t& article) {
    if (longMode)
        return AllDigits(field) && ParseField(field, article);
    article = ParseArticle4(field);
    return article >= 0;
}

// How many characters of the name may follow the discount part.
size_t ContinuationLimit(const Model& model, bool longMode) {
    if (model.family == 0)
        return 0;
    if ((kLongArticleLevels >> model.level) & 1)
        return longMode ? 104 : 29;
    return model.level == 3 || model.level == 4 || model.level == 7 ? 29 : 24;
}

// The optional tail: a discount or surcharge (sign, name, amount; all zeros for none), then
// the rest of the name.
bool ParseSaleTail(std::string_view tail, const Model& model, bool longMode, SaleFields& f) {
    if (tail.size() < 23)
        return false;
    const char sign = tail[0];
    const std::string_view name = tail.substr(1, 13);
    int64_t amount;
    if (!ParseField(tail.substr(14, 9), amount) || amount < 0)
        return false;
    if (sign == '-' || sign == '+') {
        f.discount = sign == '-' ? -amount : amount;
        f.discountName = Trim(name);
    } else if (sign != '0' || name != std::string(13, '0') || amount != 0) {
        return false;
    }
    f.continuation = std::string(tail.substr(23));
    return f.continuation.size() <= ContinuationLimit(model, longMode);
}

bool ParseSaleFields(std::string_view a, const Model& model, bool longMode, SaleFields& f) {
    const size_t nameWidth = longMode ? 24 : 12;
    const size_t qtyWidth = longMode ? 6 : 5;
    const size_t taxWidth = longMode ? 2 : 48;
    const size_t articleWidth = longMode ? 9 : 4;
    if (a.size() < nameWidth + 9 + 9 + qtyWidth + 2 + taxWidth + articleWidth)
        return false;

    size_t p = 0;
    auto take = [&](size_t n) {
        std::string_view field = a.substr(p, n);
        p += n;
        return field;
    };
    f.name = std::string(take(nameWidth));
    if (!ParseField(take(9), f.sum) || !ParseField(take(9), f.price) ||
        !ParseField(take(qtyWidth), f.quantity) || f.sum < 0 || f.price < 0 || f.quantity < 0) {
        return false;
    }
    const char pieceChar = a[p++];
    const char reserved = a[p++];
    if ((pieceChar != '0' && pieceChar != '1') || reserved != '0')
        return false;
    f.piece = pieceChar == '1';
    if (!ParseTaxField(take(taxWidth), model.taxes, longMode, f.taxes) ||
        !ParseArticleField(take(articleWidth), longMode, f.article)) {
        return false;
    }
    return p == a.size() || ParseSaleTail(a.substr(p), model, longMode, f);
}

// The register recomputes the line sum and refuses a line whose figures disagree, a discount
// larger than the line and a sum past nine digits.
const char* FiguresRefusal(const SaleFields& f) {
    const int64_t expected = f.piece ? f.price * (f.quantity == 0 ? 1 : f.quantity)
                                     : (f.price * 1000 * f.quantity + 500000) / 1000000;
    bool agrees = f.sum == expected;
    if (!f.piece && f.quantity == 0) {
        // A divisible quantity of 0 may be read as nothing or as one thousandth; the register
        // accepts the sum of either reading.
        agrees = agrees || f.sum == 0 || f.sum == (f.price * 1000 + 500000) / 1000000;
    }
    if (!agrees)
        return "SOFTCHECK";
    if (f.discount < 0 && -f.discount > f.sum)
        return "SOFTBADDISC";
    if (f.sum + f.discount > 999999999)
        return "SOFTOVER";
    return nullptr;
}

ReceiptLine LineOf(const SaleFields& f, bool isReturn, const std::string& longName) {
    ReceiptLine line;
    // A long name sent before the line (FINF) takes the place of the line's own.
    line.name = longName.empty() ? Trim(f.name + f.continuation) : longName;
    line.quantity = f.quantity;
    line.price = f.price;
    line.piece = f.piece;
    line.taxes = f.taxes;
    line.discount = f.discount;
    line.sum = f.sum + f.discount;
    line.article = f.article;
    line.isReturn = isReturn;
    return line;
}

// The highest article number each level keeps; long article numbers go to nine digits.
int64_t MaxArticle(int level, bool longMode) {
    switch (level) {
        case 3:
        case 4:
            return 9999;
        case 5:
        case 6:
            return longMode ? 999999999 : 9999;
        case 7:
            return 4999;
        case 8:
            return longMode ? 999999999 : 20688;
        case 9:
            return longMode ? 999999999 : 15516;
        default:
            return 1999;
    }
}

// Each line's own taxes; included taxes round up, taxes on top of the price and withheld ones
// round down.
void ComputeLineTaxes(const TaxTable& table, ReceiptLine& line) {
    for (int index : line.taxes) {
        const TaxRate& t = table[index - 1];
        double r = RateOf(t);
        double s = static_cast<double>(line.sum);
        if (t.kind == '0')
            line.included += static_cast<int64_t>(std::ceil(s * (1 - 1 / (1 + r))));
        if (t.kind == '1')
            line.onSale += static_cast<int64_t>(std::floor(s * r));
        if (t.kind == '2')
            line.kind2 += static_cast<int64_t>(std::floor(s * r));
    }
}

}  // namespace

std::string FormatMoney(int64_t kopecks) {
    char buf[40];
    int64_t a = kopecks < 0 ? -kopecks : kopecks;
    std::snprintf(buf, sizeof buf, "%s%lld.%02lld", kopecks < 0 ? "-" : "",
                  static_cast<long long>(a / 100), static_cast<long long>(a % 100));
    return buf;
}

int64_t ParseArticle4(std::string_view field) {
    static const std::string_view kLetters = "0123456789ABCDEFGHIJK";
    if (field.size() != 4)
        return -1;
    int64_t rest;
    if (!AllDigits(field.substr(1)) || !ParseField(field.substr(1), rest))
        return -1;
    size_t k = kLetters.find(field[0]);
    if (k == std::string_view::npos)
        return -1;
    // A leading digit is simply the thousands digit; a letter stands for 10 to 20 thousands.
    return static_cast<int64_t>(k) * 1000 + rest;
}

bool Register::NeedsRegistrationMode() const {
    return m_model.level == 7 && m_mode != 1;
}
bool Register::NeedsReportMode() const {
    return m_model.level == 7 && m_mode != 2;
}

// A report is refused inside a receipt or document, and on level 7 outside report mode (with
// the key word the report names).
const char* Register::ReportRefusal(const char* modeWord) const {
    if (m_receiptOpen || m_documentOpen)
        return "SOFTPROTOC";
    return NeedsReportMode() ? modeWord : nullptr;
}

Register::Reply Register::Upas(std::string_view a) {
    if (a.size() < 10)
        return Error("SOFTPARAM");
    std::string given(a.substr(0, 10));
    // The server cuts the cashier ident to 9 characters, so 20 characters after the word can
    // only be the password change: current password, new password.
    if (a.size() == 20) {
        if (given != m_password)
            return Error("SOFTUPAS");
        m_password = std::string(a.substr(10, 10));
        return kReady;
    }
    if (given != m_password)
        return Error("SOFTUPAS");
    m_cashier = Trim(a.substr(10));
    return kReady;
}

Register::Reply Register::Prep(std::string_view a) {
    if (m_receiptOpen || m_documentOpen)
        return Error("SOFTPROTOC");
    if (NeedsRegistrationMode())
        return Error("SOFTSLWORK");
    if (a.size() > (m_model.family == 1 ? 15u : 2u))
        return Error("SOFTPARAM");
    m_department = std::string(a);
    m_lines.clear();
    m_totals = {};
    m_longName.clear();
    m_receiptTape.clear();
    m_lastClosing.clear();
    m_receiptOpen = true;
    m_returnPart = false;
    BeginDocument();
    if (!m_cashier.empty())
        Print("CASHIER " + m_cashier);
    if (!Trim(m_department).empty())
        Print("DEPT " + Trim(m_department));
    if (!m_deptAlias.empty())
        Print("DEPT ALIAS " + m_deptAlias);
    if (!m_returnNumbers.empty())
        Print("RETURN FOR RECEIPT " + m_returnNumbers);
    m_returnNumbers.clear();
    Print(std::string(42, '-'));
    // A fiscal day should last at most 24 hours: the register warns, and still opens.
    const std::time_t now = Now();
    if (m_dayOpened == 0)
        m_dayOpened = now;
    if (now - m_dayOpened > 24 * 3600)
        return {"SOFT24HOUR", "READY"};
    return kReady;
}

Register::Reply Register::Bchn(std::string_view a) {
    if (a.empty() || a.size() > 86)
        return Error("SOFTPARAM");
    m_returnNumbers = std::string(a);
    return kReady;
}

Register::Reply Register::Fisc(std::string_view a) {
    return SaleLine(a, false, false);
}
Register::Reply Register::Bfis(std::string_view a) {
    return SaleLine(a, true, false);
}
Register::Reply Register::Ficd(std::string_view a) {
    return SaleLine(a, false, true);
}
Register::Reply Register::Bfcd(std::string_view a) {
    return SaleLine(a, true, true);
}

Register::Reply Register::SaleLine(std::string_view a, bool isReturn, bool longWord) {
    if (const char* refusal = SaleRefusal(isReturn, longWord))
        return Error(refusal);
    const bool longMode = m_articleMode == 2;
    SaleFields f;
    if (!ParseSaleFields(a, m_model, longMode, f))
        return Error("SOFTPARAM");
    if (const char* refusal = FiguresRefusal(f))
        return Error(refusal);
    ReceiptLine line = LineOf(f, isReturn, m_longName);
    if (const char* refusal = ArticleRefusal(line, longMode))
        return Error(refusal);
    ComputeLineTaxes(m_model.taxes, line);

    // Accepted: from here on the line is registered.
    RegisterLine(line);
    PrintSaleLine(line, f.discountName);
    m_lines.push_back(std::move(line));
    return {"FISC" + std::to_string(m_lines.back().onSale - m_lines.back().kind2), "READY"};
}

// A line is refused outside an open receipt, on level 7 outside registration mode, when it
// would switch a receipt from returns back to sales, and when its word is not the article mode's.
const char* Register::SaleRefusal(bool isReturn, bool longWord) const {
    if (!m_receiptOpen)
        return "SOFTPROTOC";
    if (NeedsRegistrationMode())
        return "SOFTSLWORK";
    // A receipt may switch once from sales to returns, never back.
    if (m_returnPart && !isReturn)
        return "SOFTPROTOC";
    if (longWord != (m_articleMode == 2))
        return "SOFTARTMODE";
    return nullptr;
}

const char* Register::ArticleRefusal(const ReceiptLine& line, bool longMode) const {
    if (line.article <= 0)
        return nullptr;
    if (line.article > MaxArticle(m_model.level, longMode))
        return "SOFTBADART";
    // An article keeps the name, unit and taxes of its first sale.
    auto it = m_articles.find(line.article);
    if (it != m_articles.end()) {
        const ArticleRecord& r = it->second;
        if (r.name != line.name || r.piece != line.piece || r.taxes != line.taxes)
            return "SOFTDIFART";
    }
    return nullptr;
}

void Register::RegisterLine(const ReceiptLine& line) {
    if (line.isReturn)
        m_returnPart = true;
    if (line.article > 0) {
        ArticleRecord& r = m_articles[line.article];
        r.name = line.name;
        r.piece = line.piece;
        r.taxes = line.taxes;
        if (!line.isReturn) {
            r.soldQuantity += line.quantity;
            r.saleSum += line.sum;
        }
    }
    AddToTotals(line, 1);
    m_longName.clear();
}

// Adds a line to the receipt's totals (sign 1), or takes it off them again (sign -1).
void Register::AddToTotals(const ReceiptLine& line, int sign) {
    const int64_t sum = sign * line.sum;
    auto& turnover = line.isReturn ? m_totals.returnTurnover : m_totals.saleTurnover;
    for (int index : line.taxes)
        turnover[index - 1] += sum;
    if (line.taxes.empty())
        (line.isReturn ? m_totals.returnUntaxed : m_totals.saleUntaxed) += sum;
    if (line.isReturn) {
        m_totals.ret += sum;
        m_totals.returnIncluded += sign * line.included;
        m_totals.returnOnSale += sign * line.onSale;
        m_totals.returnKind2 += sign * line.kind2;
    } else {
        m_totals.sale += sum;
        m_totals.saleIncluded += sign * line.included;
        m_totals.saleOnSale += sign * line.onSale;
        m_totals.saleKind2 += sign * line.kind2;
    }
    if (line.discount < 0)
        m_totals.discounts += sign * -line.discount;
    if (line.discount > 0)
        m_totals.surcharges += sign * line.discount;
}

void Register::PrintSaleLine(const ReceiptLine& line, const std::string& discountName) {
    std::string letters;
    for (int index : line.taxes)
        letters += TaxLetter(index);
    // The figures line shows the line's own sum, before its discount or surcharge.
    Print((line.isReturn ? "RETURN " : "") + line.name);
    PrintPair("  " + QuantityText(line.quantity, line.piece) + " x " + FormatMoney(line.price),
              FormatMoney(line.sum - line.discount) + (letters.empty() ? "" : " " + letters));
    if (line.discount != 0) {
        PrintPair(std::string(line.discount < 0 ? "  DISCOUNT " : "  SURCHARGE ") + discountName,
                  FormatMoney(line.discount));
    }
    if (m_onSaleTaxesPerLine && line.onSale != 0)
        PrintPair("  ON-SALE TAX", FormatMoney(line.onSale));
}

Register::Reply Register::Finf(std::string_view a) {
    if (!m_receiptOpen)
        return Error("SOFTPROTOC");
    size_t limit =
        m_model.family == 0 ? (m_model.level == 1 ? 54 : 18) : (m_model.level >= 3 ? 86 : 72);
    if (a.empty() || a.size() > limit)
        return Error("SOFTPARAM");
    m_longName = Trim(a);
    return kReady;
}

TotalTaxes Register::ComputeTotalTaxes() const {
    if (!m_taxesOnTotal) {
        return {m_totals.saleOnSale, m_totals.returnOnSale, m_totals.saleKind2,
                m_totals.returnKind2};
    }
    TotalTaxes taxes;
    for (int k = 0; k < 8; ++k) {
        const TaxRate& t = m_model.taxes[k];
        if (!t.set || (t.kind != '1' && t.kind != '2'))
            continue;
        double r = RateOf(t);
        int64_t sale = static_cast<int64_t>(std::floor(m_totals.saleTurnover[k] * r + 0.5));
        int64_t ret = static_cast<int64_t>(std::floor(m_totals.returnTurnover[k] * r + 0.5));
        (t.kind == '1' ? taxes.saleOnSale : taxes.saleKind2) += sale;
        (t.kind == '1' ? taxes.returnOnSale : taxes.returnKind2) += ret;
    }
    return taxes;
}

Register::Reply Register::Comp(std::string_view a) {
    if (!m_receiptOpen)
        return Error("SOFTPROTOC");
    if (a.size() != 60)
        return Error("SOFTPARAM");
    int64_t f[6];
    for (int i = 0; i < 6; ++i) {
        if (!ParseField(a.substr(i * 10, 10), f[i]) || f[i] < 0)
            return Error("SOFTPARAM");
    }
    const int64_t saleSum = f[0], returnSum = f[1], pack = f[2], payCheck = f[3], credit = f[4];
    int64_t cash = f[5];
    const int64_t due = Due();
    const bool allZero =
        saleSum == 0 && returnSum == 0 && pack == 0 && payCheck == 0 && credit == 0 && cash == 0;
    int64_t nonCash = pack + payCheck + credit;
    if (allZero) {
        // A closing with no figures at all pays the register's own amount due in cash.
        cash = due < 0 ? -due : due;
        nonCash = 0;
    } else if (saleSum != m_totals.sale || returnSum != m_totals.ret) {
        return Error("SOFTCHECK");
    }
    const int64_t amount = due < 0 ? -due : due;
    // Change is given from cash only, so non-cash payments may not exceed the amount.
    if (nonCash > amount || cash + nonCash < amount)
        return Error("SOFTCHECK");
    if (due < 0 && amount - nonCash > m_cash.total)
        return Error("SOFTNEED");
    return {"COMP" + CloseReceipt(due, cash, nonCash), "READY"};
}

std::string Register::CloseReceipt(int64_t due, int64_t cash, int64_t nonCash) {
    const TotalTaxes taxes = ComputeTotalTaxes();
    const int64_t change = cash + nonCash - (due < 0 ? -due : due);

    Print(std::string(42, '-'));
    PrintFreeText(FreeTextPart::kBeforeFiscalPart);
    PrintReceiptTotals(taxes);
    PrintPayment(due, cash, nonCash, change);
    ++m_lastReceipt;
    PrintPair("RECEIPT", std::to_string(m_lastReceipt));
    PrintFreeText(FreeTextPart::kAfterFiscalPart);
    m_freeText.clear();
    PrintBottom();

    MoveCashDrawer(due, cash, nonCash, change);
    AddToDay(taxes);
    const std::string data = RecordClosing(taxes);
    EndReceipt();
    return data;
}

void Register::PrintFreeText(FreeTextPart part) {
    for (const FreeText& t : m_freeText) {
        if (t.beforeFiscalPart != (part == FreeTextPart::kBeforeFiscalPart))
            continue;
        Print(t.doubleStrike ? "**" + t.text + "**" : t.text);
    }
}

// Discounts, surcharges and returns, the turnover of each tax rate, the taxes.
void Register::PrintReceiptTotals(const TotalTaxes& taxes) {
    if (m_totals.discounts != 0) {
        PrintPair(m_discountTotalsName.empty() ? "DISCOUNTS" : m_discountTotalsName,
                  FormatMoney(-m_totals.discounts));
    }
    if (m_totals.surcharges != 0) {
        PrintPair(m_surchargeTotalsName.empty() ? "SURCHARGES" : m_surchargeTotalsName,
                  FormatMoney(m_totals.surcharges));
    }
    if (m_totals.ret != 0)
        PrintPair("RETURNS", FormatMoney(m_totals.ret));
    for (int k = 0; k < 8; ++k) {
        const TaxRate& t = m_model.taxes[k];
        int64_t base = m_totals.saleTurnover[k] - m_totals.returnTurnover[k];
        if (!t.set || (m_totals.saleTurnover[k] == 0 && m_totals.returnTurnover[k] == 0))
            continue;
        std::string label = std::string(1, TaxLetter(k + 1)) + " " + FormatMoney(t.rate) + "% " +
                            (t.kind == '0'   ? "INCL"
                             : t.kind == '1' ? "ON SALE"
                                             : "WITHHELD");
        PrintPair(label, FormatMoney(base));
    }
    if (m_totals.saleIncluded - m_totals.returnIncluded != 0) {
        PrintPair("INCLUDED TAXES", FormatMoney(m_totals.saleIncluded - m_totals.returnIncluded));
    }
    if (taxes.saleOnSale - taxes.returnOnSale != 0) {
        PrintPair("ON-SALE TAXES", FormatMoney(taxes.saleOnSale - taxes.returnOnSale));
    }
    if (taxes.saleKind2 - taxes.returnKind2 != 0) {
        PrintPair("WITHHELD TAXES", FormatMoney(taxes.saleKind2 - taxes.returnKind2));
    }
}

void Register::PrintPayment(int64_t due, int64_t cash, int64_t nonCash, int64_t change) {
    PrintPair("TOTAL", FormatMoney(due));
    if (cash != 0)
        PrintPair("CASH", FormatMoney(cash));
    if (nonCash != 0)
        PrintPair("NON-CASH", FormatMoney(nonCash));
    if (change != 0)
        PrintPair("CHANGE", FormatMoney(change));
}

// For a sale the drawer keeps the cash minus the change; a payout takes the part that non-cash
// payments do not cover.
void Register::MoveCashDrawer(int64_t due, int64_t cash, int64_t nonCash, int64_t change) {
    if (due >= 0) {
        int64_t cashIn = cash - change;
        m_cash.sales += cashIn;
        m_cash.total += cashIn;
        m_cash.checkIncome += nonCash;
    } else {
        int64_t cashOut = -due - nonCash;
        m_cash.returns += cashOut;
        m_cash.total -= cashOut;
        m_cash.checkOutcome += nonCash;
    }
}

// The receipt's figures join the fiscal counters of the day.
void Register::AddToDay(const TotalTaxes& taxes) {
    m_day.total += m_totals.sale;
    m_day.ret += m_totals.ret;
    m_day.untaxedTotal += m_totals.saleUntaxed;
    m_day.untaxedReturn += m_totals.returnUntaxed;
    for (int k = 0; k < 8; ++k) {
        m_day.taxTotal[k] += m_totals.saleTurnover[k];
        m_day.taxReturn[k] += m_totals.returnTurnover[k];
    }
    m_day.onSale += taxes.saleOnSale - taxes.returnOnSale;
    m_day.included += m_totals.saleIncluded - m_totals.returnIncluded;
    m_day.kind2 += taxes.saleKind2 - taxes.returnKind2;
    m_day.discounts += m_totals.discounts;
    m_day.surcharges += m_totals.surcharges;
    ++m_day.receipts;
}

// COMP figures: receipt number, total, on-sale, included, withheld, then the same for the
// return part. Kept joined by ';' for the control channel; returned as the reply's data.
std::string Register::RecordClosing(const TotalTaxes& taxes) {
    const int64_t figures[9] = {m_lastReceipt,         m_totals.sale,           taxes.saleOnSale,
                                m_totals.saleIncluded, taxes.saleKind2,         m_totals.ret,
                                taxes.returnOnSale,    m_totals.returnIncluded, taxes.returnKind2};
    m_lastClosing.clear();
    std::string data;
    for (int i = 0; i < 9; ++i) {
        if (i > 0)
            m_lastClosing += ';';
        m_lastClosing += std::to_string(figures[i]);
        data += PadLeft(std::to_string(figures[i]), 10);
    }
    return data;
}

void Register::EndReceipt() {
    m_lastReceiptTape = m_receiptTape;
    ++m_receiptsClosed;
    if (m_returnPart)
        ++m_returnsClosed;
    m_receiptOpen = false;
    m_returnPart = false;
    m_discountTotalsName.clear();
    m_surchargeTotalsName.clear();
}

Register::Reply Register::Canc(std::string_view) {
    // Cancelling with no receipt open is harmless: the register just confirms.
    if (!m_receiptOpen)
        return kReady;
    Print("RECEIPT CANCELLED");
    ++m_receiptsCancelled;
    Print(std::string(42, '='));
    m_receiptOpen = false;
    m_returnPart = false;
    m_lines.clear();
    m_totals = {};
    m_longName.clear();
    return kReady;
}

Register::Reply Register::Text(std::string_view a) {
    if (a.size() < 3)
        return Error("SOFTPARAM");
    for (int i = 0; i < 3; ++i) {
        if (a[i] != '0' && a[i] != '1')
            return Error("SOFTPARAM");
    }
    size_t limit = m_model.family == 0 ? 18 : (m_model.level >= 3 && m_model.level <= 7 ? 43 : 36);
    if (a.size() - 3 > limit)
        return Error("SOFTPARAM");
    // The first digit is 1 for a line after the fiscal part.
    m_freeText.push_back({a[0] == '0', a[1] == '1', a[2] == '1', std::string(a.substr(3))});
    return kReady;
}

Register::Reply Register::Ctxt(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    m_freeText.clear();
    return kReady;
}

Register::Reply Register::Grbg(std::string_view a) {
    if (!m_receiptOpen)
        return Error("SOFTPROTOC");
    if (a.size() > 21)
        return Error("SOFTPARAM");
    Print("GROUP " + std::string(a));
    return kReady;
}

Register::Reply Register::Gren(std::string_view a) {
    if (!m_receiptOpen)
        return Error("SOFTPROTOC");
    // Two name fields of 22 characters; the register has no room for longer names.
    if (a.size() != 44)
        return Error("SOFTPARAM");
    Print("END OF GROUP " + Trim(a.substr(0, 22)) + " / " + Trim(a.substr(22)));
    return kReady;
}

Register::Reply Register::Zdnm(std::string_view a) {
    if (a.size() != 44)
        return Error("SOFTPARAM");
    m_discountTotalsName = Trim(a.substr(0, 22));
    m_surchargeTotalsName = Trim(a.substr(22));
    return kReady;
}

Register::Reply Register::Strn(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    if (!m_receiptOpen || m_lines.empty())
        return Error("SOFTPROTOC");
    const ReceiptLine line = m_lines.back();
    m_lines.pop_back();
    AddToTotals(line, -1);
    if (line.article > 0 && !line.isReturn) {
        ArticleRecord& r = m_articles[line.article];
        r.soldQuantity -= line.quantity;
        r.saleSum -= line.sum;
    }
    PrintPair("STORNO " + line.name, FormatMoney(-line.sum));
    return kReady;
}

Register::Reply Register::Pcod(std::string_view a) {
    if (a.size() < 3 + 4 || a.size() > 3 + 17)
        return Error("SOFTPARAM");
    if ((a[0] != '0' && a[0] != '1') || (a[1] != '0' && a[1] != '1') || a[2] != '0' ||
        !AllDigits(a.substr(3))) {
        return Error("SOFTPARAM");
    }
    Print(Center("||| " + std::string(a.substr(3)) + " |||", 42));
    return kReady;
}

}  // namespace vsk::emu
