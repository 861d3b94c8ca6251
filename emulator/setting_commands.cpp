// Register side of the customer displays, the device settings and the information queries.
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

bool IsFlag(std::string_view a) {
    return a.empty() || a == "1";
}

}  // namespace

int64_t Register::TextLimit() const {
    if (m_model.family == 0)
        return 18;
    return m_model.level >= 3 ? 43 : 36;
}

// ---- displays ---------------------------------------------------------------------------

Register::Reply Register::DisplayText(std::string_view a) {
    if (m_model.numericDisplay)
        return Error("SOFTCOMMAN");
    if (a.empty()) {
        m_display1.clear();
        m_display2.clear();
    } else if (a.size() == 17 && (a[0] == '1' || a[0] == '2')) {
        (a[0] == '1' ? m_display1 : m_display2) = std::string(a.substr(1));
    } else {
        return Error("SOFTPARAM");
    }
    Status("display [" + FixedField(m_display1, 16) + "|" + FixedField(m_display2, 16) + "]");
    return kReady;
}

Register::Reply Register::DisplayNumber(std::string_view a) {
    if (!m_model.numericDisplay)
        return Error("SOFTCOMMAN");
    if (a.empty()) {
        m_numericDisplay.clear();
        Status("numeric display cleared");
        return kReady;
    }
    // kind, point position (1 or 2 digits), 10 characters of digits and blanks
    if (a.size() != 12 && a.size() != 13)
        return Error("SOFTPARAM");
    char kind = a[0];
    std::string_view pos = a.substr(1, a.size() - 11);
    std::string_view digits = a.substr(a.size() - 10);
    int64_t point;
    if (kind < '0' || kind > '3' || !AllDigits(pos) || !ParseField(pos, point) || point > 11) {
        return Error("SOFTPARAM");
    }
    for (char c : digits) {
        if (c != ' ' && (c < '0' || c > '9'))
            return Error("SOFTPARAM");
    }
    std::string shown(digits);
    if (point > 1)
        shown.insert(shown.size() - static_cast<size_t>(point - 1), ".");
    static const char* const kLabels[4] = {"", "PRICE ", "SUM ", "CHANGE "};
    m_numericDisplay = kLabels[kind - '0'] + Trim(shown);
    Status("numeric display [" + m_numericDisplay + "]");
    return kReady;
}

Register::Reply Register::DisplayExternal(std::string_view a) {
    if (a.size() >= 2 && a[0] == '\x1B' && a[1] == '@') {
        if (a.size() - 2 > 198)
            return Error("SOFTPARAM");
        m_externalDisplay = std::string(a.substr(2));
    } else {
        if (a.size() > 200)
            return Error("SOFTPARAM");
        m_externalDisplay += std::string(a);
    }
    Status("external display [" + m_externalDisplay + "]");
    return kReady;
}

// ---- settings ---------------------------------------------------------------------------

Register::Reply Register::Ppod(std::string_view a) {
    if (!IsFlag(a))
        return Error("SOFTPARAM");
    m_onSaleTaxesPerLine = a == "1";
    return kReady;
}

Register::Reply Register::Ppmd(std::string_view a) {
    if (!IsFlag(a))
        return Error("SOFTPARAM");
    if (m_receiptOpen)
        return Error("SOFTPROTOC");
    m_taxesOnTotal = a == "1";
    return kReady;
}

Register::Reply Register::Nlpr(std::string_view a) {
    if (a.size() != 2)
        return Error("SOFTPARAM");
    int t1 = TaxIndexOfLetter(a[0]), t2 = TaxIndexOfLetter(a[1]);
    if (t1 < 1 || t1 > 6 || t2 < 1 || t2 > 6 || t1 == t2)
        return Error("SOFTPARAM");
    m_doubledTax = std::string(a);
    return kReady;
}

Register::Reply Register::Tmod(std::string_view a) {
    if (a.size() != 1 || a[0] < '0' || a[0] > '3')
        return Error("SOFTPARAM");
    if (m_receiptOpen)
        return Error("SOFTPROTOC");
    m_messagesMode = a[0] - '0';
    return kReady;
}

Register::Reply Register::Ctim(std::string_view a) {
    int64_t v;
    if (a.size() != 6 || !AllDigits(a) || !ParseField(a, v))
        return Error("SOFTPARAM");
    int h = static_cast<int>(v / 10000), m = static_cast<int>(v / 100 % 100),
        s = static_cast<int>(v % 100);
    if (h > 23 || m > 59 || s > 59)
        return Error("SOFTPARAM");
    if (m_receiptOpen)
        return Error("SOFTPROTOC");
    // Only the time of day is set; the date stays.
    std::time_t now = Now();
    std::tm tm{};
    localtime_r(&now, &tm);
    int64_t current = tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    m_clockOffset += (h * 3600 + m * 60 + s) - current;
    return kReady;
}

Register::Reply Register::Dstr(std::string_view a) {
    if (a != "0" && a != "1")
        return Error("SOFTPARAM");
    m_doubleWidth = a == "1";
    return kReady;
}

Register::Reply Register::Tabl(std::string_view a) {
    if (!IsFlag(a))
        return Error("SOFTPARAM");
    // Newer registers print no table; they accept only the mode off.
    if (a == "1" && m_model.family == 1 && m_model.level >= 3)
        return Error("SOFTPARAM");
    m_tableMode = a == "1";
    return kReady;
}

Register::Reply Register::Armo(std::string_view a) {
    if (a.size() != 1 || a[0] < '0' || a[0] > '2')
        return Error("SOFTPARAM");
    if (m_receiptOpen)
        return Error("SOFTPROTOC");
    // The article mode changes only on a closed day: articles of both modes must not mix.
    if (!DayIsEmpty())
        return Error("SOFTNREP");
    int mode = a[0] - '0';
    if (mode != m_articleMode)
        m_articles.clear();
    m_articleMode = mode;
    return kReady;
}

Register::Reply Register::Dept(std::string_view a) {
    if (a.size() > 5)
        return Error("SOFTPARAM");
    m_deptAlias = Trim(a);
    return kReady;
}

Register::Reply Register::Head(std::string_view a) {
    if (static_cast<int64_t>(a.size()) > TextLimit())
        return Error("SOFTPARAM");
    m_headLine = std::string(a);
    return kReady;
}

Register::Reply Register::Botm(std::string_view a) {
    if (static_cast<int64_t>(a.size()) > TextLimit())
        return Error("SOFTPARAM");
    m_bottomLine = std::string(a);
    return kReady;
}

Register::Reply Register::BotmEx(std::string_view a) {
    if (a.empty()) {
        m_bottomLinesEx.clear();
        return kReady;
    }
    if (a[0] < '0' || a[0] > '9')
        return Error("SOFTPARAM");
    int index = a[0] - '0';
    if (a.size() == 1) {
        m_bottomLinesEx.erase(index);
        return kReady;
    }
    if (a.size() < 4 || (a[1] != '0' && a[1] != '1') || a[2] < '0' || a[2] > '3' ||
        a.size() - 3 > 43) {
        return Error("SOFTPARAM");
    }
    m_bottomLinesEx[index] = std::string(a.substr(3));
    return kReady;
}

Register::Reply Register::Stfl(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    m_linePrinting = true;
    return kReady;
}

Register::Reply Register::Npdi(std::string_view a) {
    int64_t v;
    if (!AllDigits(a) || !ParseField(a, v))
        return Error("SOFTPARAM");
    m_discountPrintMode = static_cast<int>(v);
    return kReady;
}

Register::Reply Register::Ncdc(std::string_view a) {
    int64_t v;
    if (!AllDigits(a) || !ParseField(a, v))
        return Error("SOFTPARAM");
    m_continuousPaperMode = static_cast<int>(v);
    return kReady;
}

Register::Reply Register::Senc(std::string_view a) {
    if (a.empty() || a.size() > 3)
        return Error("SOFTPARAM");
    if (m_receiptOpen)
        return Error("SOFTPROTOC");
    if (!DayIsEmpty())
        return Error("SOFTNREP");
    m_currency = std::string(a);
    m_currencyDate = Date();
    return kReady;
}

// ---- queries ----------------------------------------------------------------------------

Register::Reply Register::Configuration(bool digitKey) {
    static const std::string kKeyCodes = "\x10\x01\x02\x08";  // off, R, X, P
    int mode = m_model.level == 7 ? m_mode : 1;
    char key = digitKey ? "0128"[mode] : kKeyCodes[mode];
    std::string text = digitKey ? "CONf" : "CONF";
    text += FixedField(m_model.serial, 10);
    text += FixedField(m_options.fiscalNumber, 10);
    text += FixedField(m_options.owner, 36);
    text += Date();
    text += Time();
    text += key;
    text += std::string(35, '0');
    text += FixedField(m_model.firmware, 4);
    text += m_model.firmwareDate;
    text += std::string(18, '0');
    text += m_currencyDate;
    text += '2';
    text += FixedField(m_currency, 3);
    // The extended version fields repeat the firmware: a reader that prefers them and one that
    // ignores them derive the same model.
    text += FixedField(m_model.firmware, 4) + m_model.firmwareDate;
    return {text, "READY"};
}

Register::Reply Register::ConfOld(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    return Configuration(false);
}

Register::Reply Register::ConfNew(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    return Configuration(true);
}

Register::Reply Register::Cnal(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    std::string text = "CNAL";
    for (const TaxRate& t : m_model.taxes) {
        if (!t.set) {
            text += std::string(14, '0');
            continue;
        }
        text += FixedField(t.date, 8, '0');
        text += '0';
        text += t.kind;
        text += ZeroPad(t.rate, 4);
    }
    return {text, "READY"};
}

Register::Reply Register::Glcn(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    // "fiscal report made": the day is closed by a Z-report and nothing was sold since.
    bool made = m_zNumber > 0 && DayIsEmpty();
    std::string text = "GLCN" + ZeroPad(m_lastReceipt, 10) + ZeroPad(m_lastDocument, 10) +
                       ZeroPad(m_lastServiceDocument, 10) + std::to_string(m_articleMode) + "0" +
                       (made ? "1" : "0") + ZeroPad(m_zNumber, 4);
    return {text, "READY"};
}

Register::Reply Register::Dset(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    // First digit: 2 for the text display, 1 for the numeric one.
    return {std::string("dset") + (m_model.numericDisplay ? "1000" : "2000"), "READY"};
}

Register::Reply Register::Getd(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    return {"GETD" + Date() + Time(), "READY"};
}

Register::Reply Register::Ccas(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    std::string text = "CCAS";
    for (int64_t v : {m_cash.rest, m_cash.income, m_cash.outcome, m_cash.sales, m_cash.returns,
                      m_cash.total, m_cash.checkIncome, m_cash.checkOutcome}) {
        text += ZeroPad(v, 11);
    }
    return {text, "READY"};
}

Register::Reply Register::Cfis(std::string_view a) {
    if (!a.empty())
        return Error("SOFTPARAM");
    std::string data = ZeroPad(m_day.total, 12);
    for (int64_t v : m_day.taxTotal)
        data += ZeroPad(v, 12);
    data += ZeroPad(0, 12);  // unused field
    data += ZeroPad(m_day.untaxedTotal, 12);
    data += ZeroPad(m_day.ret, 12);
    for (int64_t v : m_day.taxReturn)
        data += ZeroPad(v, 12);
    data += ZeroPad(0, 12);  // unused field
    data += ZeroPad(m_day.untaxedReturn, 12);
    // 22 fields of 12 do not fit one frame (254 text bytes): the reply stops at the frame's
    // limit, inside the second unused field, so the untaxed return is not transmitted.
    std::string text = "CFIS" + data;
    text.resize(254);
    return {text, "READY"};
}

Register::Reply Register::Artd(std::string_view a) {
    int64_t number = ParseArticle4(a);
    if (number < 0)
        return Error("SOFTPARAM");
    auto it = m_articles.find(number);
    if (it == m_articles.end())
        return Error("SOFTBADART");
    const ArticleRecord& r = it->second;
    std::string taxes;
    for (int index : r.taxes)
        taxes += TaxLetter(index);
    std::string text = "ARTD" + std::string(a) + FixedField(r.name, 24) + (r.piece ? "1" : "0") +
                       FixedField(taxes, 8, '0') + ZeroPad(r.soldQuantity, 10) +
                       ZeroPad(r.saleSum, 10) + ZeroPad(number, 9);
    return {text, "READY"};
}

}  // namespace vsk::emu
