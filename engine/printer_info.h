// CPrinterInfo: the register's identity and configuration as read at connection, and the pure
// rules derived from it (date and time conversion, the model table, the maximum article number).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

struct CTaxEntry {
    std::string date;        // registration date, MM/DD/YY; empty when the rate is not set
    char kind = 0;           // '0' included, '1' on-sale, '2' withheld; 0 when not set
    std::string rateDigits;  // 4 digits as received, hundredths of a percent
    std::string rateText;    // NN.NN
};

class CPrinterInfo {
public:
    virtual ~CPrinterInfo() = default;

    std::string m_szSerialNumber;
    std::string m_szFiscalNumber;
    std::string m_szOwner;
    std::string m_szDate;
    std::string m_szTime;
    std::string m_szFirmwareVersion;
    std::string m_szFirmwareDate;
    char m_cKeyPosition = 0;
    int32_t m_lMaxArticles = 1999;
    int32_t m_lDisplaySetting1 = 1;
    int32_t m_lDisplaySetting2 = 0;
    std::string m_szCurrencyDate;
    int32_t m_nDecPointPosition = 0;
    std::string m_szCurrencyName;
    CTaxEntry m_Taxes[8];
};

namespace vsk {

struct ProtocolVariant {
    int32_t family = 1;
    int32_t level = 4;
};

// "YYYYMMDD" -> "MM/DD/YY"; an invalid calendar date gives `today` instead.
std::string ConvertPrinterDate(std::string_view text, const std::tm& today);
// A date of the record ("MM/DD/YY") as the register itself prints it, for the operator's
// windows: "DD.MM.YYYY" (the register's years start at 2000). Anything else (an empty tax date)
// is kept as it is.
std::string RegisterDateText(std::string_view recordDate);
// "HHMMSS..." -> "HH:MM:SS"; an invalid time gives the time of `now`.
std::string ConvertPrinterTime(std::string_view text, const std::tm& now);
std::tm LocalNow();

char KeyPositionLetter(char code);

// Fills the identity fields from a "CONF"/"CONf" reply text (positions from the reply word).
void ParseConfigReply(std::string_view reply, CPrinterInfo& info, const std::tm& now);
// Fills the eight tax entries from a "CNAL" reply text.
void ParseTaxReply(std::string_view reply, CPrinterInfo& info);

ProtocolVariant ApplyModelTable(const CPrinterInfo& info);
// The highest article number for a variant and article mode; `current` where the rule keeps it.
int32_t MaxArticlesFor(ProtocolVariant variant, int32_t articleMode, int32_t current);

// Command field formats shared by every command.
// Decimal text, '-' first when negative, left-filled with '0' to `width`; never cut.
std::string ZeroPadded(int64_t value, size_t width);
// Up to 9999 a zero-padded number; above, the thousands as a letter of "0123456789ABCDEFGHIJK"
// ('0' above 19) before the rest zero-padded to width - 1.
std::string ArticleNumber(int64_t value, size_t width);

}  // namespace vsk
