#include "engine/printer_info.h"
#include "engine/register_variant.h"

#include <cstdio>
#include <initializer_list>

namespace vsk {
namespace {

// Decimal value of `count` characters at `pos`; -1 when any of them is not a digit.
int DigitsAt(std::string_view text, size_t pos, size_t count) {
    if (pos + count > text.size()) {
        return -1;
    }
    int value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool IsValidDate(int year, int month, int day) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 0 || month < 1 || month > 12 || day < 1) {
        return false;
    }
    int last = kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    return day <= last;
}

std::string FormatDate(int year, int month, int day) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d/%02d/%02d", month % 100, day % 100, year % 100);
    return text;
}

std::string FormatTime(int hours, int minutes, int seconds) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", hours % 100, minutes % 100, seconds % 100);
    return text;
}

// Copies `count` characters at `pos` unchanged; what lies beyond the reply is simply missing.
std::string Field(std::string_view text, size_t pos, size_t count) {
    if (pos >= text.size()) {
        return {};
    }
    return std::string(text.substr(pos, count));
}

bool OneOf(std::string_view value, std::initializer_list<std::string_view> options) {
    for (std::string_view option : options) {
        if (value == option) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::tm LocalNow() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

std::string ConvertPrinterDate(std::string_view text, const std::tm& today) {
    int year = DigitsAt(text, 0, 4);
    if (year >= 0 && year < 2000) {
        year = 2000 + DigitsAt(text, 2, 2);
    }
    int month = DigitsAt(text, 4, 2);
    int day = DigitsAt(text, 6, 2);
    if (!IsValidDate(year, month, day)) {
        return FormatDate(today.tm_year + 1900, today.tm_mon + 1, today.tm_mday);
    }
    return FormatDate(year, month, day);
}

std::string RegisterDateText(std::string_view recordDate) {
    const int month = DigitsAt(recordDate, 0, 2), day = DigitsAt(recordDate, 3, 2),
              year = DigitsAt(recordDate, 6, 2);
    if (recordDate.size() != 8 || recordDate[2] != '/' || recordDate[5] != '/' ||
        !IsValidDate(2000 + year, month, day))
        return std::string(recordDate);
    char text[16];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d", day, month, 2000 + year);
    return text;
}

std::string ConvertPrinterTime(std::string_view text, const std::tm& now) {
    int hours = DigitsAt(text, 0, 2);
    int minutes = DigitsAt(text, 2, 2);
    int seconds = DigitsAt(text, 4, 2);
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59 || seconds < 0 || seconds > 59) {
        return FormatTime(now.tm_hour, now.tm_min, now.tm_sec);
    }
    return FormatTime(hours, minutes, seconds);
}

char KeyPositionLetter(char code) {
    switch (code) {
        case 1:
        case '1':
            return 'R';
        case 2:
        case '2':
            return 'X';
        case 4:
        case '4':
            return 'Z';
        case 8:
        case '8':
            return 'P';
        default:
            return 'O';
    }
}

void ParseConfigReply(std::string_view reply, CPrinterInfo& info, const std::tm& now) {
    info.m_szSerialNumber = Field(reply, 4, 10);
    info.m_szFiscalNumber = Field(reply, 14, 10);
    info.m_szOwner = Field(reply, 24, 36);
    info.m_szDate = ConvertPrinterDate(Field(reply, 60, 8), now);
    info.m_szTime = ConvertPrinterTime(Field(reply, 68, 6), now);
    info.m_cKeyPosition = KeyPositionLetter(reply.size() > 74 ? reply[74] : 0);
    std::string firmware = Field(reply, 110, 4);
    std::string firmwareDate = Field(reply, 114, 8);
    info.m_szCurrencyDate = ConvertPrinterDate(Field(reply, 140, 8), now);
    int point = DigitsAt(reply, 148, 1);
    info.m_nDecPointPosition = point < 0 ? 0 : point;
    info.m_szCurrencyName = Field(reply, 149, 3);
    if (reply.size() > 152 && reply[152] != 0) {
        firmware = Field(reply, 152, 4);
        firmwareDate = Field(reply, 156, 8);
    }
    info.m_szFirmwareVersion = firmware;
    info.m_szFirmwareDate = ConvertPrinterDate(firmwareDate, now);
}

void ParseTaxReply(std::string_view reply, CPrinterInfo& info) {
    for (size_t i = 0; i < 8; ++i) {
        CTaxEntry& tax = info.m_Taxes[i];
        tax = CTaxEntry{};
        size_t base = 4 + 14 * i;
        if (base >= reply.size() || reply[base] == '0' || reply[base] == 0) {
            continue;
        }
        tax.date = ConvertPrinterDate(Field(reply, base, 8), LocalNow());
        tax.kind = base + 9 < reply.size() ? reply[base + 9] : 0;
        tax.rateDigits = Field(reply, base + 10, 4);
        if (tax.rateDigits.size() == 4) {
            tax.rateText = tax.rateDigits.substr(0, 2) + "." + tax.rateDigits.substr(2, 2);
        }
    }
}

ProtocolVariant ApplyModelTable(const CPrinterInfo& info) {
    const std::string& serial = info.m_szSerialNumber;
    std::string prefix;
    if (!serial.empty() && serial[0] >= '0' && serial[0] <= '9') {
        prefix = serial.substr(0, 3);
    } else if (serial.size() > 2) {
        prefix = serial.substr(2, 3);
    }
    const std::string& fw = info.m_szFirmwareVersion;
    const std::string& date = info.m_szFirmwareDate;

    ProtocolVariant v;
    if (OneOf(prefix, {"040", "041", "042"})) {
        v = {0, 0};
    }
    if (OneOf(prefix, {"440", "441"})) {
        v = {0, 1};
    }
    if (OneOf(prefix, {"450", "460"}) && fw == "gHHq") {
        v = {1, 2};
    }
    if (OneOf(prefix, {"500", "460"}) && OneOf(fw, {"QDRZ", "KBLX"})) {
        v = {1, 3};
    }
    if (prefix == "510" && fw == "QDRZ") {
        v = {1, 4};
    }
    if (fw == "QDRZ" && (OneOf(date, {"07/19/05", "08/23/05"}) || prefix == "540")) {
        v = {1, 6};
    }
    if ((fw == "WYVE" && date == "10/12/06") || fw == "JPO7") {
        v = {1, 6};
    }
    if (fw == "XKDA" && date == "12/06/04") {
        v = {1, 7};
    }
    if (fw == "KBLX" && OneOf(date, {"06/09/07", "09/06/07"})) {
        v = {1, 8};
    }
    if (OneOf(fw, {"ZULB", "YOGS"})) {
        v = {1, date == "02/17/09" ? 9 : 8};
    }
    return v;
}

int32_t MaxArticlesFor(ProtocolVariant variant, int32_t articleMode, int32_t current) {
    return RegisterVariantFor(variant).MaxArticle(articleMode, current);
}

std::string ZeroPadded(int64_t value, size_t width) {
    std::string text = std::to_string(value);
    if (text.size() < width) {
        // The sign stays in front of the fill, as "%0*ld" writes it.
        text.insert(value < 0 ? 1 : 0, width - text.size(), '0');
    }
    return text;
}

std::string ArticleNumber(int64_t value, size_t width) {
    if (value <= 9999) {
        return ZeroPadded(value, width);
    }
    // The letters run on to 'K' for 20 thousands: a level 8 register takes articles up to 20688,
    // and a '0' there would sell the goods under article 0xxx. Nothing above K is defined.
    static constexpr std::string_view kLetters = "0123456789ABCDEFGHIJK";
    int64_t thousands = value / 1000;
    char letter = thousands >= static_cast<int64_t>(kLetters.size())
                      ? '0'
                      : kLetters[static_cast<size_t>(thousands)];
    return letter + ZeroPadded(value % 1000, width > 0 ? width - 1 : 0);
}

}  // namespace vsk
