// Register side of the reports, the mode switch, the cash counters and the service and text
// documents.
#include <cstdio>
#include <ctime>

#include "emulator/register.h"
#include "emulator/util.h"

namespace vsk::emu {

namespace {

const std::vector<std::string> kReady = {"READY"};
std::vector<std::string> Error(const char* word) {
    return {word};
}

// Mode passwords the register is delivered with (the server's defaults match them).
const char* const kModePasswords[4] = {"", "3807", "6419", "2958"};

bool ValidDate(std::string_view yyyymmdd) {
    int64_t v;
    if (yyyymmdd.size() != 8 || !AllDigits(yyyymmdd) || !ParseField(yyyymmdd, v))
        return false;
    int y = static_cast<int>(v / 10000), m = static_cast<int>(v / 100 % 100),
        d = static_cast<int>(v % 100);
    if (y < 1900 || m < 1 || m > 12 || d < 1)
        return false;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= kDays[m - 1] + (m == 2 && leap ? 1 : 0);
}

// The 12-character data field of a document line: an amount when it is all digits, else the
// client's text as it came (the server passes text data through, filled with '0' on the left).
std::string DataField(std::string_view data) {
    int64_t value;
    if (AllDigits(data) && ParseField(data, value))
        return FormatMoney(value);
    return std::string(data);
}

}  // namespace

char Register::keyPosition() const {
    if (m_model.level != 7)
        return 'R';
    static const char kKeys[4] = {'O', 'R', 'X', 'P'};
    return kKeys[m_mode];
}

bool Register::DayIsEmpty() const {
    return m_day.receipts == 0 && m_day.total == 0;
}

void Register::PrintReportHeader(const std::string& title) {
    BeginDocument();
    Print(Center(title, 42));
    Print(std::string(42, '-'));
}

void Register::PrintDayCounters() {
    PrintPair("RECEIPTS", std::to_string(m_day.receipts));
    PrintPair("SALES", FormatMoney(m_day.total));
    for (int k = 0; k < 8; ++k) {
        if (m_day.taxTotal[k] != 0) {
            PrintPair(std::string("  TAX ") + TaxLetter(k + 1), FormatMoney(m_day.taxTotal[k]));
        }
    }
    if (m_day.untaxedTotal != 0)
        PrintPair("  UNTAXED", FormatMoney(m_day.untaxedTotal));
    PrintPair("RETURNS", FormatMoney(m_day.ret));
    for (int k = 0; k < 8; ++k) {
        if (m_day.taxReturn[k] != 0) {
            PrintPair(std::string("  TAX ") + TaxLetter(k + 1), FormatMoney(m_day.taxReturn[k]));
        }
    }
    PrintPair("INCLUDED TAXES", FormatMoney(m_day.included));
    PrintPair("ON-SALE TAXES", FormatMoney(m_day.onSale));
    PrintPair("WITHHELD TAXES", FormatMoney(m_day.kind2));
}

Register::Reply Register::XReport(std::string_view a) {
    // "ZREP1" prints the cash counters loaded by CASH too.
    if (!a.empty() && a != "1")
        return Error("SOFTPARAM");
    if (const char* refusal = ReportRefusal("SOFTSLZREP"))
        return Error(refusal);
    PrintReportHeader("X-REPORT");
    PrintDayCounters();
    if (a == "1" || m_cashReports) {
        Print(std::string(42, '-'));
        PrintPair("CASH AT START", FormatMoney(m_cash.rest));
        PrintPair("CASH IN", FormatMoney(m_cash.income));
        PrintPair("CASH OUT", FormatMoney(m_cash.outcome));
        PrintPair("CASH SALES", FormatMoney(m_cash.sales));
        PrintPair("CASH RETURNS", FormatMoney(m_cash.returns));
        PrintPair("CASH IN DRAWER", FormatMoney(m_cash.total));
        PrintPair("NON-CASH SALES", FormatMoney(m_cash.checkIncome));
        PrintPair("NON-CASH RETURNS", FormatMoney(m_cash.checkOutcome));
    }
    PrintBottom();
    return kReady;
}

Register::Reply Register::ZReport(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    if (const char* refusal = ReportRefusal("SOFTSLNREP"))
        return Error(refusal);
    ++m_zNumber;
    PrintReportHeader("Z-REPORT " + std::to_string(m_zNumber));
    PrintDayCounters();
    PrintPair("CASH IN DRAWER", FormatMoney(m_cash.total));
    PrintBottom();
    m_fiscalMemory.push_back({m_zNumber, Date(), m_day});
    m_day = {};
    m_dayOpened = 0;
    // The drawer's cash carries over into the next day as its opening balance.
    int64_t drawer = m_cash.total;
    m_cash = {};
    m_cash.rest = m_cash.total = drawer;
    return kReady;
}

Register::Reply Register::ZeroZReport(std::string_view a) {
    // The zero Z-report closes a day in which nothing was sold.
    if (!DayIsEmpty())
        return Error("SOFTPROTOC");
    return ZReport(a);
}

Register::Reply Register::ArticleReport(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    if (const char* refusal = ReportRefusal("SOFTSLZREP"))
        return Error(refusal);
    PrintReportHeader("ARTICLE SALES");
    for (const auto& [number, r] : m_articles) {
        PrintPair(std::to_string(number) + " " + r.name, FormatMoney(r.saleSum));
    }
    if (m_articles.empty())
        Print("NO DATA");
    PrintBottom();
    return kReady;
}

Register::Reply Register::DiscountReport(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    if (const char* refusal = ReportRefusal("SOFTSLZREP"))
        return Error(refusal);
    PrintReportHeader("DISCOUNTS AND SURCHARGES");
    PrintPair("DISCOUNTS", FormatMoney(m_day.discounts));
    PrintPair("SURCHARGES", FormatMoney(m_day.surcharges));
    PrintBottom();
    return kReady;
}

Register::Reply Register::FiscalByNumbers(std::string_view a) {
    if (const char* refusal = ReportRefusal("SOFTSLZREP"))
        return Error(refusal);
    int64_t first = 1, last = m_zNumber;
    if (!a.empty()) {
        // Two numbers of at least 4 digits each; a wider one is written whole, and the first
        // is never the longer of the two (the server orders them), so the first takes half.
        size_t firstWidth = a.size() == 8 ? 4 : a.size() / 2;
        if (a.size() < 8 || !AllDigits(a) || !ParseField(a.substr(0, firstWidth), first) ||
            !ParseField(a.substr(firstWidth), last) || first > last) {
            return Error("SOFTPARAM");
        }
    }
    return PrintFiscalReport(
        "FISCAL REPORT Z " + std::to_string(first) + "-" + std::to_string(last),
        [&](const FiscalRecord& r) { return r.number >= first && r.number <= last; });
}

// The periodic reports list the fiscal memory's Z-reports that fall in their range.
Register::Reply Register::PrintFiscalReport(const std::string& title,
                                            const std::function<bool(const FiscalRecord&)>& in) {
    PrintReportHeader(title);
    int shown = 0;
    for (const FiscalRecord& r : m_fiscalMemory) {
        if (!in(r))
            continue;
        PrintPair("Z " + std::to_string(r.number) + " " + r.date, FormatMoney(r.day.total));
        ++shown;
    }
    if (shown == 0)
        Print("NO DATA");
    PrintBottom();
    return kReady;
}

Register::Reply Register::FiscalByDates(std::string_view a) {
    if (const char* refusal = ReportRefusal("SOFTSLZREP"))
        return Error(refusal);
    if (a.size() != 16 || !ValidDate(a.substr(0, 8)) || !ValidDate(a.substr(8))) {
        return Error("SOFTPARAM");
    }
    std::string from(a.substr(0, 8)), to(a.substr(8));
    if (from > to)
        return Error("SOFTPARAM");
    return PrintFiscalReport("FISCAL REPORT " + from + "-" + to,
                             [&](const FiscalRecord& r) { return r.date >= from && r.date <= to; });
}

Register::Reply Register::Cash(std::string_view a) {
    if (a.size() != 80)
        return Error("SOFTPARAM");
    if (m_receiptOpen)
        return Error("SOFTPROTOC");
    int64_t v[8];
    for (int i = 0; i < 8; ++i) {
        if (!ParseField(a.substr(i * 10, 10), v[i]))
            return Error("SOFTPARAM");
    }
    m_cash = {v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]};
    return kReady;
}

Register::Reply Register::Crpt(std::string_view a) {
    if (!a.empty() && a != "1")
        return Error("SOFTPARAM");
    m_cashReports = a == "1";
    return kReady;
}

Register::Reply Register::Svsl(std::string_view a) {
    if (a == "0") {
        if (m_receiptOpen)
            return Error("SOFTPROTOC");
        m_mode = 0;
        return kReady;
    }
    if (a.size() < 2 || a[0] < '1' || a[0] > '3')
        return Error("SOFTPARAM");
    int mode = a[0] - '0';
    if (a.substr(1) != kModePasswords[mode])
        return Error("SOFTUPAS");
    if (m_receiptOpen && mode != 1)
        return Error("SOFTPROTOC");
    m_mode = mode;
    return kReady;
}

// ---- documents --------------------------------------------------------------------------

Register::Reply Register::Dbeg(std::string_view a) {
    if (a != "0" && a != "1")
        return Error("SOFTPARAM");
    if (m_receiptOpen || m_documentOpen)
        return Error("SOFTPROTOC");
    m_documentOpen = true;
    m_documentOnJournal = a == "1";
    BeginDocument();
    Print(Center("SERVICE DOCUMENT", 42));
    Print(std::string(42, '-'));
    return kReady;
}

Register::Reply Register::Dlin(std::string_view a) {
    static const char* const kCaptions[12] = {
        "CASH REPORT",  "OPENING BALANCE", "SERVICE CASH IN", "SERVICE CASH OUT",
        "CASH INCOME",  "CASH PAID OUT",   "CLOSING BALANCE", "NON-CASH PAYMENT",
        "SALES REPORT", "BY CURRENCIES",   "BY DEPARTMENTS",  "BY CASHIERS"};
    if (!m_documentOpen)
        return Error("SOFTPROTOC");
    if (a.empty() || a[0] < 'A' || a[0] > 'L')
        return Error("SOFTPARAM");
    std::string_view data = a.substr(1);
    if (!data.empty() && data.size() != 12)
        return Error("SOFTPARAM");
    PrintPair(kCaptions[a[0] - 'A'], DataField(data));
    return kReady;
}

Register::Reply Register::Alin(std::string_view a) {
    if (!m_documentOpen)
        return Error("SOFTPROTOC");
    if (a.size() != 16)
        return Error("SOFTPARAM");
    PrintPair(Trim(a.substr(0, 4)), DataField(a.substr(4)));
    return kReady;
}

Register::Reply Register::Dend(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    if (!m_documentOpen)
        return Error("SOFTPROTOC");
    ++m_lastServiceDocument;
    PrintPair("SERVICE DOCUMENT", std::to_string(m_lastServiceDocument));
    PrintBottom();
    m_documentOpen = false;
    return kReady;
}

Register::Reply Register::Prtx(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    if (!m_documentOpen)
        return Error("SOFTPROTOC");
    for (const FreeText& t : m_freeText)
        Print(t.doubleStrike ? "**" + t.text + "**" : t.text);
    m_freeText.clear();
    ++m_lastServiceDocument;
    PrintPair("TEXT DOCUMENT", std::to_string(m_lastServiceDocument));
    PrintBottom();
    m_documentOpen = false;
    return kReady;
}

Register::Reply Register::NullReceipt(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    if (m_receiptOpen || m_documentOpen)
        return Error("SOFTPROTOC");
    BeginDocument();
    Print(Center("NULL RECEIPT", 42));
    PrintPair("TOTAL", FormatMoney(0));
    ++m_lastReceipt;
    PrintPair("RECEIPT", std::to_string(m_lastReceipt));
    PrintBottom();
    return kReady;
}

Register::Reply Register::Copy(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    if (m_receiptOpen || m_documentOpen || m_lastReceiptTape.empty())
        return Error("SOFTPROTOC");
    // The copy buffer holds 110 lines.
    if (m_lastReceiptTape.size() > 110)
        return Error("SOFTCOPY");
    Print(Center("COPY", 42));
    for (const std::string& line : m_lastReceiptTape) {
        m_tape.push_back(line);
        if (m_options.onTape)
            m_options.onTape(line);
    }
    ++m_lastDocument;
    return kReady;
}

Register::Reply Register::Caio(std::string_view a) {
    int64_t amount;
    if (a.size() != 11 || (a[0] != 'I' && a[0] != 'O') || !ParseField(a.substr(1), amount) ||
        amount < 0) {
        return Error("SOFTPARAM");
    }
    if (m_receiptOpen || m_documentOpen)
        return Error("SOFTPROTOC");
    const bool in = a[0] == 'I';
    if (!in && amount > m_cash.total)
        return Error("SOFTNEED");
    BeginDocument();
    PrintPair(in ? "SERVICE CASH IN" : "SERVICE CASH OUT", FormatMoney(amount));
    if (in) {
        m_cash.income += amount;
        m_cash.total += amount;
    } else {
        m_cash.outcome += amount;
        m_cash.total -= amount;
    }
    PrintPair("CASH IN DRAWER", FormatMoney(m_cash.total));
    ++m_lastServiceDocument;
    PrintBottom();
    return kReady;
}

Register::Reply Register::Kass(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    Status("cash drawer opened");
    return kReady;
}

Register::Reply Register::Cutr(std::string_view a) {
    const size_t want = m_model.level >= 8 ? 3 : 2;
    if (a.size() != want || !AllDigits(a) || a[0] > '1' || a[1] > '1')
        return Error("SOFTPARAM");
    if (a[1] == '1')
        Status("beep");
    if (a[0] == '1')
        Print(want == 3 && a[2] != '0' ? "- - - - partial cut - - - -" : "- - - - cut - - - -");
    return kReady;
}

Register::Reply Register::Feed(std::string_view a) {
    int64_t lines;
    if (!AllDigits(a) || a.size() > 3 || !ParseField(a, lines) || lines > 255) {
        return Error("SOFTPARAM");
    }
    for (int64_t i = 0; i < lines; ++i)
        Print("");
    return kReady;
}

}  // namespace vsk::emu
