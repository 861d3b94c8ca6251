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
    if (!m_receiptOpen)
        return Error("SOFTPROTOC");
    if (NeedsRegistrationMode())
        return Error("SOFTSLWORK");
    // A receipt may switch once from sales to returns, never back.
    if (m_returnPart && !isReturn)
        return Error("SOFTPROTOC");
    const bool longMode = m_articleMode == 2;
    if (longWord != longMode)
        return Error("SOFTARTMODE");

    const size_t nameWidth = longMode ? 24 : 12;
    const size_t qtyWidth = longMode ? 6 : 5;
    const size_t taxWidth = longMode ? 2 : 48;
    const size_t articleWidth = longMode ? 9 : 4;
    const size_t base = nameWidth + 9 + 9 + qtyWidth + 2 + taxWidth + articleWidth;
    if (a.size() < base)
        return Error("SOFTPARAM");

    size_t p = 0;
    auto take = [&](size_t n) {
        std::string_view f = a.substr(p, n);
        p += n;
        return f;
    };
    std::string name(take(nameWidth));
    int64_t sum, price, quantity;
    if (!ParseField(take(9), sum) || !ParseField(take(9), price) ||
        !ParseField(take(qtyWidth), quantity) || sum < 0 || price < 0 || quantity < 0) {
        return Error("SOFTPARAM");
    }
    char pieceChar = a[p++];
    char reserved = a[p++];
    if ((pieceChar != '0' && pieceChar != '1') || reserved != '0')
        return Error("SOFTPARAM");
    const bool piece = pieceChar == '1';

    std::vector<int> taxes;
    std::string_view taxField = take(taxWidth);
    if (longMode) {
        for (char c : taxField) {
            if (c == '0')
                continue;
            int index = TaxIndexOfLetter(c);
            if (index == 0 || !m_model.taxes[index - 1].set)
                return Error("SOFTPARAM");
            taxes.push_back(index);
        }
    } else {
        for (int i = 1; i <= 8; ++i) {
            std::string_view g = taxField.substr((i - 1) * 6, 6);
            if (g == "000000")
                continue;
            const TaxRate& t = m_model.taxes[i - 1];
            int64_t rate;
            // The server repeats the rate it read from CNAL; a stale or foreign table is refused.
            if (TaxIndexOfLetter(g[0]) != i || !t.set || g[1] != t.kind ||
                !ParseField(g.substr(2), rate) || rate != t.rate) {
                return Error("SOFTPARAM");
            }
            taxes.push_back(i);
        }
    }

    int64_t article;
    std::string_view articleField = take(articleWidth);
    if (longMode) {
        if (!AllDigits(articleField) || !ParseField(articleField, article)) {
            return Error("SOFTPARAM");
        }
    } else {
        article = ParseArticle4(articleField);
        if (article < 0)
            return Error("SOFTPARAM");
    }

    int64_t discount = 0;
    std::string discountName;
    std::string continuation;
    if (p < a.size()) {
        if (a.size() - p < 23)
            return Error("SOFTPARAM");
        char sign = a[p];
        std::string_view dname = a.substr(p + 1, 13);
        int64_t amount;
        if (!ParseField(a.substr(p + 14, 9), amount) || amount < 0)
            return Error("SOFTPARAM");
        if (sign == '-' || sign == '+') {
            discount = sign == '-' ? -amount : amount;
            discountName = Trim(dname);
        } else if (sign != '0' || dname != std::string(13, '0') || amount != 0) {
            return Error("SOFTPARAM");
        }
        p += 23;
        continuation = std::string(a.substr(p));
        size_t limit = 24;
        if (m_model.level == 3 || m_model.level == 4 || m_model.level == 7)
            limit = 29;
        if ((kLongArticleLevels >> m_model.level) & 1)
            limit = longMode ? 104 : 29;
        if (m_model.family == 0 ? !continuation.empty() : continuation.size() > limit) {
            return Error("SOFTPARAM");
        }
    }

    // The register recomputes the line sum and refuses a line whose figures disagree.
    int64_t expected = piece ? price * (quantity == 0 ? 1 : quantity)
                             : (price * 1000 * quantity + 500000) / 1000000;
    bool agrees = sum == expected;
    if (!piece && quantity == 0) {
        // A divisible quantity of 0 may be read as nothing or as one thousandth; the register
        // accepts the sum of either reading.
        agrees = agrees || sum == 0 || sum == (price * 1000 + 500000) / 1000000;
    }
    if (!agrees)
        return Error("SOFTCHECK");
    if (discount < 0 && -discount > sum)
        return Error("SOFTBADDISC");
    if (sum + discount > 999999999)
        return Error("SOFTOVER");

    ReceiptLine line;
    line.name = Trim(name + continuation);
    if (!m_longName.empty())
        line.name = m_longName;
    line.quantity = quantity;
    line.price = price;
    line.piece = piece;
    line.taxes = taxes;
    line.discount = discount;
    line.sum = sum + discount;
    line.article = article;
    line.isReturn = isReturn;

    if (article > 0) {
        int64_t maxArticles = 1999;
        switch (m_model.level) {
            case 1:
                maxArticles = 1999;
                break;
            case 3:
            case 4:
                maxArticles = 9999;
                break;
            case 5:
            case 6:
                maxArticles = longMode ? 999999999 : 9999;
                break;
            case 7:
                maxArticles = 4999;
                break;
            case 8:
                maxArticles = longMode ? 999999999 : 20688;
                break;
            case 9:
                maxArticles = longMode ? 999999999 : 15516;
                break;
        }
        if (article > maxArticles)
            return Error("SOFTBADART");
        auto it = m_articles.find(article);
        if (it != m_articles.end()) {
            const ArticleRecord& r = it->second;
            if (r.name != line.name || r.piece != piece || r.taxes != taxes) {
                return Error("SOFTDIFART");
            }
        }
    }

    for (int index : taxes) {
        const TaxRate& t = m_model.taxes[index - 1];
        double r = RateOf(t);
        double s = static_cast<double>(line.sum);
        if (t.kind == '0')
            line.included += static_cast<int64_t>(std::ceil(s * (1 - 1 / (1 + r))));
        if (t.kind == '1')
            line.onSale += static_cast<int64_t>(std::floor(s * r));
        if (t.kind == '2')
            line.kind2 += static_cast<int64_t>(std::floor(s * r));
    }

    // Accepted: from here on the line is registered.
    if (isReturn)
        m_returnPart = true;
    if (article > 0) {
        ArticleRecord& r = m_articles[article];
        r.name = line.name;
        r.piece = piece;
        r.taxes = taxes;
        if (!isReturn) {
            r.soldQuantity += quantity;
            r.saleSum += line.sum;
        }
    }
    auto& turnover = isReturn ? m_totals.returnTurnover : m_totals.saleTurnover;
    for (int index : taxes)
        turnover[index - 1] += line.sum;
    if (taxes.empty())
        (isReturn ? m_totals.returnUntaxed : m_totals.saleUntaxed) += line.sum;
    if (isReturn) {
        m_totals.ret += line.sum;
        m_totals.returnIncluded += line.included;
        m_totals.returnOnSale += line.onSale;
        m_totals.returnKind2 += line.kind2;
    } else {
        m_totals.sale += line.sum;
        m_totals.saleIncluded += line.included;
        m_totals.saleOnSale += line.onSale;
        m_totals.saleKind2 += line.kind2;
    }
    if (discount < 0)
        m_totals.discounts += -discount;
    if (discount > 0)
        m_totals.surcharges += discount;
    m_longName.clear();

    std::string letters;
    for (int index : taxes)
        letters += TaxLetter(index);
    Print((isReturn ? "RETURN " : "") + line.name);
    PrintPair("  " + QuantityText(quantity, piece) + " x " + FormatMoney(price),
              FormatMoney(sum) + (letters.empty() ? "" : " " + letters));
    if (discount != 0) {
        PrintPair(std::string(discount < 0 ? "  DISCOUNT " : "  SURCHARGE ") + discountName,
                  FormatMoney(discount));
    }
    if (m_onSaleTaxesPerLine && line.onSale != 0) {
        PrintPair("  ON-SALE TAX", FormatMoney(line.onSale));
    }
    m_lines.push_back(std::move(line));
    return {"FISC" + std::to_string(m_lines.back().onSale - m_lines.back().kind2), "READY"};
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
    auto& turnover = line.isReturn ? m_totals.returnTurnover : m_totals.saleTurnover;
    for (int index : line.taxes)
        turnover[index - 1] -= line.sum;
    if (line.taxes.empty()) {
        (line.isReturn ? m_totals.returnUntaxed : m_totals.saleUntaxed) -= line.sum;
    }
    if (line.isReturn) {
        m_totals.ret -= line.sum;
        m_totals.returnIncluded -= line.included;
        m_totals.returnOnSale -= line.onSale;
        m_totals.returnKind2 -= line.kind2;
    } else {
        m_totals.sale -= line.sum;
        m_totals.saleIncluded -= line.included;
        m_totals.saleOnSale -= line.onSale;
        m_totals.saleKind2 -= line.kind2;
    }
    if (line.discount < 0)
        m_totals.discounts -= -line.discount;
    if (line.discount > 0)
        m_totals.surcharges -= line.discount;
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
