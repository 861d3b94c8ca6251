// Reports: X, Z, zero Z, article and discount reports, the periodic fiscal reports, the cash
// counters loaded before an X-report, and the register mode switch that brackets reports on
// family 1 level 7 registers.
#include <cmath>
#include <cstdio>

#include "engine/simple_command.h"
#include "engine/vsk_core.h"
#include "resources/strings.h"

namespace {

// The range of automation dates: 1 January 100 to 31 December 9999.
constexpr double kFirstDate = -657434.0;
constexpr double kAfterLastDate = 2958466.0;

// An automation date as "YYYYMMDD"; false when it is not a finite date of the calendar. The
// fraction is the time of day, on either side of the epoch, so the day is the whole part.
bool FormatAutomationDate(double value, std::string& text) {
    if (!std::isfinite(value) || value < kFirstDate || value >= kAfterLastDate) {
        return false;
    }
    // Days since 1970-01-01 to a civil date (proleptic Gregorian).
    int64_t z = static_cast<int64_t>(std::trunc(value)) - 25569 + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04d%02d%02d", static_cast<int>(year),
                  static_cast<int>(month), static_cast<int>(day));
    text = buffer;
    return true;
}

}  // namespace

// ------------------------------------------------------------------------------- mode switch

int16_t CVSKCore::ActivatePrinterMode(int32_t mode) {
    m_journal.LogFormat("ActivatePrinterMode(Mode = %d)", mode);
    if (!m_variant.hasOperatingModes) {
        return 1;  // nothing to switch
    }
    std::string command;
    std::string password;
    switch (mode) {
        case 0:
            command = "SVSL0";
            break;
        case 2:
            command = "SVSL2";
            password = m_szReportModePassword.substr(0, 4);
            break;
        case 3:
            command = "SVSL3";
            password = m_szProgrammingModePassword.substr(0, 4);
            break;
        default:
            command = "SVSL1";
            password = m_szRegistrationModePassword.substr(0, 4);
            break;
    }
    const size_t secretBegin = command.size();
    command += password;
    return ExchangeReady(
        {.text = command, .secretBegin = secretBegin, .secretLength = password.size()});
}

void CVSKCore::BeginReportMode() {
    if (m_variant.hasOperatingModes) {
        ActivatePrinterMode(2);
    }
}

void CVSKCore::EndReportMode() {
    if (m_variant.hasOperatingModes) {
        // The report's own answer is what the client asks about, not the switch back.
        const bool unconfirmed = m_bSendUnconfirmed;
        ActivatePrinterMode(1);
        m_bSendUnconfirmed = m_bSendUnconfirmed || unconfirmed;
    }
}

void CVSKCore::PrepareForReport() {
    if (m_bCheckOpen) {
        AbortCheck();
    }
    if (m_bDocumentOpen) {
        CloseDocument();
    }
}

// ---------------------------------------------------------------------------------- X and Z

int16_t CVSKCore::XReportFromRegisters() {
    m_journal.WriteLogLine("XReportFromRegisters()");
    // No preparation: an X-report prints beside an open receipt or document.
    BeginReportMode();
    OpenStatusWindow(vsk::text::kStatusPrintingXReport);
    const int16_t result = ExchangeReady({.text = "ZREP1"});
    CloseStatusWindow();
    EndReportMode();
    return result;
}

int16_t CVSKCore::XReportFromRegistersAsync() {
    m_journal.WriteLogLine("XReportFromRegistersAsync()");
    // The register's answer stays in the queue for the client or the next wait; a level 7
    // register stays in report mode until something switches it back.
    BeginReportMode();
    CloseStatusWindow();
    // The answer is not waited for; a command that did not go out is still a failure.
    return Exchange({.text = "ZREP1"}, vsk::ReplyRules::SendOnly()).Ready() ? 1 : 0;
}

int16_t CVSKCore::ZReport() {
    m_journal.WriteLogLine("ZReport()");
    PrepareForReport();
    BeginReportMode();
    OpenStatusWindow(vsk::text::kStatusPrintingZReport);
    const int16_t result = ExchangeReady({.text = "NREP"});
    CloseStatusWindow();
    EndReportMode();
    return result;
}

int16_t CVSKCore::ZReportAsync() {
    m_journal.WriteLogLine("ZReportAsync()");
    PrepareForReport();
    BeginReportMode();
    CloseStatusWindow();
    // The answer is not waited for; a command that did not go out is still a failure.
    return Exchange({.text = "NREP"}, vsk::ReplyRules::SendOnly()).Ready() ? 1 : 0;
}

int16_t CVSKCore::PrintZeroZReport() {
    return vsk::RunSimpleCommand(
        *this,
        {.journal = "PrintZeroZReport()", .text = "nrep", .allowed = m_variant.hasZeroZReport});
}

// ------------------------------------------------------------------------ article, discount

int16_t CVSKCore::ArticleReport() {
    m_journal.WriteLogLine("ArticleReport()");
    PrepareForReport();
    OpenStatusWindow(vsk::text::kArticleSalesReport);
    BeginReportMode();
    const int16_t result = ExchangeReady({.text = "ARTZ"});
    CloseStatusWindow();
    EndReportMode();
    return result;
}

int16_t CVSKCore::DiscountReport() {
    m_journal.WriteLogLine("DiscountReport()");
    PrepareForReport();
    OpenStatusWindow(vsk::text::kStatusPrintingDiscountReport);
    BeginReportMode();
    const int16_t result = ExchangeReady({.text = "DIZV"});
    CloseStatusWindow();
    EndReportMode();
    return result;
}

// -------------------------------------------------------------------------- periodic reports

int16_t CVSKCore::PeriodicalFiscalReport(int16_t firstZReport, int16_t lastZReport) {
    m_journal.LogFormat("PeriodicalFiscalReport(FirstZReport = %d, LastZReport = %d)", firstZReport,
                        lastZReport);
    PrepareForReport();
    OpenStatusWindow(vsk::text::kStatusPrintingPeriodicReport);
    BeginReportMode();
    std::string command(m_variant.fiscalReportByNumbersWord);
    if (firstZReport != lastZReport) {
        if (lastZReport < firstZReport) {
            std::swap(firstZReport, lastZReport);
        }
        command += vsk::ZeroPadded(firstZReport, 4) + vsk::ZeroPadded(lastZReport, 4);
    }
    const int16_t result = ExchangeReady({.text = command});
    CloseStatusWindow();
    EndReportMode();
    return result;
}

int16_t CVSKCore::PeriodicalFiscalReportDate(double dateFrom, double dateTo) {
    m_journal.LogFormat("PeriodicalFiscalReportDate(DateFrom = %f, DateTo = %f)", dateFrom, dateTo);
    // A value that is no date of the calendar fails the call before anything reaches the
    // register, so a bad argument neither prints nor cancels the client's receipt.
    std::string from;
    std::string to;
    if (!FormatAutomationDate(dateFrom, from) || !FormatAutomationDate(dateTo, to)) {
        m_journal.LogError("PeriodicalFiscalReportDate: invalid date");
        return 0;
    }
    if (to < from) {
        std::swap(from, to);  // "YYYYMMDD" texts order as their dates
    }
    PrepareForReport();
    OpenStatusWindow(vsk::text::kStatusPrintingPeriodicReport);
    BeginReportMode();
    const int16_t result =
        ExchangeReady({.text = std::string(m_variant.fiscalReportByDatesWord) + from + to});
    CloseStatusWindow();
    EndReportMode();
    return result;
}

// ------------------------------------------------------------------------------ cash counters

int16_t CVSKCore::SendCashCounters(const std::array<int32_t, 8>& amounts) {
    std::string command = "CASH";
    for (int32_t amount : amounts) {
        command += vsk::ZeroPadded(amount, 10);
    }
    return ExchangeReady({.text = command});
}

int16_t CVSKCore::XReport(int32_t cashRemainder, int32_t cashIncome, int32_t cashOutcome,
                          int32_t cashSold, int32_t cashReturn, int32_t cashLeft, int32_t checkPay,
                          int32_t checkReturn) {
    m_journal.LogFormat(
        "XReport(CashRemainder = %ld, CashIncome = %ld, CashOutcome = %ld, CashSold = %ld, "
        "CashReturn = %ld, CashLeft = %ld, CheckPay = %ld, CheckReturn = %ld)",
        static_cast<long>(cashRemainder), static_cast<long>(cashIncome),
        static_cast<long>(cashOutcome), static_cast<long>(cashSold), static_cast<long>(cashReturn),
        static_cast<long>(cashLeft), static_cast<long>(checkPay), static_cast<long>(checkReturn));
    const std::array<int32_t, 8> amounts = {cashRemainder, cashIncome, cashOutcome, cashSold,
                                            cashReturn,    cashLeft,   checkPay,    checkReturn};
    bool loaded = false;
    for (int32_t amount : amounts) {
        loaded = loaded || amount > 0;
    }
    if (loaded && !SendCashCounters(amounts)) {
        return 0;  // no report from counters the register refused
    }
    BeginReportMode();
    OpenStatusWindow(vsk::text::kStatusPrintingXReport);
    const int16_t result = ExchangeReady({.text = loaded ? "ZREP1" : "ZREP"});
    EndReportMode();
    CloseStatusWindow();
    return result;
}

int16_t CVSKCore::SetCashRegisters(int32_t cashRemainder, int32_t cashIncome, int32_t cashOutcome,
                                   int32_t cashSold, int32_t cashReturn, int32_t cashLeft,
                                   int32_t checkPay, int32_t checkReturn) {
    m_journal.LogFormat(
        "SetCashRegisters(CashRemainder = %ld, CashIncome = %ld, CashOutcome = %ld, "
        "CashSold = %ld, CashReturn = %ld, CashLeft = %ld, CheckPay = %ld, CheckReturn = %ld)",
        static_cast<long>(cashRemainder), static_cast<long>(cashIncome),
        static_cast<long>(cashOutcome), static_cast<long>(cashSold), static_cast<long>(cashReturn),
        static_cast<long>(cashLeft), static_cast<long>(checkPay), static_cast<long>(checkReturn));
    return SendCashCounters({cashRemainder, cashIncome, cashOutcome, cashSold, cashReturn, cashLeft,
                             checkPay, checkReturn});
}

int16_t CVSKCore::TurnCasheReports(int16_t on) {
    return vsk::RunSimpleCommand(*this,
                                 {.journal = vsk::JournalLine("TurnCasheReports(nOn = %d)", on),
                                  .text = on != 0 ? "CRPT1" : "CRPT",
                                  .allowed = !m_bCheckOpen && !m_bDocumentOpen});
}
