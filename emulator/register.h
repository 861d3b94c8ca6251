// The emulated fiscal register: its state and the register side of every command word the
// server sends. Pure: no I/O, no threads; PtyRegister puts it on a pseudo-terminal.
//
// Threading: not thread-safe; the owner serialises calls (PtyRegister holds a mutex).
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/models.h"

namespace vsk::emu {

struct RegisterOptions {
    std::string password = "0000000000";  // cashier password, 10 characters
    int articleMode = 0;                  // 2 = long (9-digit) article numbers
    int64_t cash = 0;                     // cash in the drawer at start, kopecks
    std::string owner = "TOV \"EMULATED SHOP\"";
    std::string fiscalNumber = "3000012345";
    // Seconds since the epoch; the register's clock runs on it (tests pin it).
    std::function<std::time_t()> now;
    // Called with every tape line (UTF-8) as it is printed, and with display changes.
    std::function<void(const std::string&)> onTape;
    std::function<void(const std::string&)> onStatus;
};

enum class Paper { kOk, kLow, kOut };

// One sale or return line of the open receipt.
struct ReceiptLine {
    std::string name;  // Windows-1251, long name included
    int64_t quantity = 0;
    int64_t price = 0;
    bool piece = true;
    std::vector<int> taxes;  // indexes 1..8
    int64_t sum = 0;         // after discount or surcharge
    int64_t discount = 0;    // negative: discount, positive: surcharge
    int64_t article = 0;
    bool isReturn = false;
    int64_t included = 0, onSale = 0, kind2 = 0;
};

struct ReceiptTotals {
    int64_t sale = 0, ret = 0;
    std::array<int64_t, 8> saleTurnover{}, returnTurnover{};
    int64_t saleUntaxed = 0, returnUntaxed = 0;
    int64_t saleIncluded = 0, returnIncluded = 0;
    int64_t saleOnSale = 0, returnOnSale = 0;  // sums of the line taxes
    int64_t saleKind2 = 0, returnKind2 = 0;
    int64_t discounts = 0, surcharges = 0;
};

// Cash counters, in the order of the CCAS reply.
struct CashCounters {
    int64_t rest = 0, income = 0, outcome = 0, sales = 0, returns = 0, total = 0;
    int64_t checkIncome = 0, checkOutcome = 0;
};

// Fiscal counters of the open day, in the order of the CFIS reply.
struct DayCounters {
    int64_t total = 0, untaxedTotal = 0, ret = 0, untaxedReturn = 0;
    std::array<int64_t, 8> taxTotal{}, taxReturn{};
    int64_t onSale = 0, included = 0, kind2 = 0;
    int64_t discounts = 0, surcharges = 0;
    int receipts = 0;
};

// The taxes on top of the price and the withheld taxes of the open receipt, by the tax mode:
// the sums of its lines' taxes, or each rate applied once to its turnover.
struct TotalTaxes {
    int64_t saleOnSale = 0, returnOnSale = 0, saleKind2 = 0, returnKind2 = 0;
};

struct FiscalRecord {  // one Z-report in the fiscal memory
    int number = 0;
    std::string date;  // YYYYMMDD
    DayCounters day;
};

struct ArticleRecord {
    std::string name;
    bool piece = true;
    std::vector<int> taxes;
    int64_t soldQuantity = 0, saleSum = 0;
};

class Register {
public:
    explicit Register(const Model& model = DefaultModel(), RegisterOptions options = {});

    // Handles one command text (Windows-1251) and returns the reply messages in order: data
    // replies, warnings, then "READY" or one error word. Empty when the register stays silent.
    std::vector<std::string> Handle(std::string_view command);
    // The wake byte 0x55.
    std::vector<std::string> Wake() { return {"READY"}; }

    // Fault switches and queries of the control channel; one text command per line. Returns
    // the answer line ("OK", "ERR ...", or "STATE key=value ...").
    std::string Control(std::string_view line);
    std::string StateLine() const;

    // Injected faults that act on the command level.
    void SetPaper(Paper paper) { m_paper = paper; }
    void SetNextError(std::string word) { m_nextError = std::move(word); }
    void SetCommandError(const std::string& command, std::string word);
    void ClearErrors();

    const Model& model() const { return m_model; }
    int level() const { return m_model.level; }
    int family() const { return m_model.family; }
    bool receiptOpen() const { return m_receiptOpen; }
    bool returnPart() const { return m_returnPart; }
    bool documentOpen() const { return m_documentOpen; }
    const ReceiptTotals& totals() const { return m_totals; }
    const std::vector<ReceiptLine>& lines() const { return m_lines; }
    const CashCounters& cash() const { return m_cash; }
    const DayCounters& day() const { return m_day; }
    const std::vector<FiscalRecord>& fiscalMemory() const { return m_fiscalMemory; }
    const std::vector<std::string>& tape() const { return m_tape; }  // UTF-8 lines
    int articleMode() const { return m_articleMode; }
    bool taxesOnTotal() const { return m_taxesOnTotal; }
    int lastReceiptNumber() const { return m_lastReceipt; }
    int lastDocumentNumber() const { return m_lastDocument; }
    int lastServiceDocumentNumber() const { return m_lastServiceDocument; }
    // What the tape shows since start (or reset): receipts closed (sales and returns), those
    // of them with a return part, and receipts cancelled. Judges count by these, not by the
    // register's numbers, which NULL receipts and a Z-report also move.
    int receiptsClosed() const { return m_receiptsClosed; }
    int returnsClosed() const { return m_returnsClosed; }
    int receiptsCancelled() const { return m_receiptsCancelled; }
    int zNumber() const { return m_zNumber; }
    // The nine figures of the last COMP reply, joined by ';' as the server keeps them.
    const std::string& lastClosing() const { return m_lastClosing; }
    int64_t Due() const;  // amount due of the open receipt with the current tax mode
    const std::string& display1() const { return m_display1; }
    const std::string& display2() const { return m_display2; }
    const std::string& numericDisplay() const { return m_numericDisplay; }
    const std::string& externalDisplay() const { return m_externalDisplay; }
    char keyPosition() const;
    std::time_t Now() const;

    using Reply = std::vector<std::string>;
    using Handler = Reply (Register::*)(std::string_view args);
    struct CommandRow {
        const char* word;
        Handler handler;
        LevelMask levels;
        bool prints;  // needs paper
    };
    static const std::vector<CommandRow>& Commands();

private:
    // Receipts
    Reply Upas(std::string_view a);
    Reply Prep(std::string_view a);
    Reply Bchn(std::string_view a);
    Reply Fisc(std::string_view a);
    Reply Bfis(std::string_view a);
    Reply Ficd(std::string_view a);
    Reply Bfcd(std::string_view a);
    Reply Finf(std::string_view a);
    Reply Comp(std::string_view a);
    Reply Canc(std::string_view a);
    Reply Text(std::string_view a);
    Reply Ctxt(std::string_view a);
    Reply Grbg(std::string_view a);
    Reply Gren(std::string_view a);
    Reply Zdnm(std::string_view a);
    Reply Strn(std::string_view a);
    Reply Pcod(std::string_view a);
    // Reports
    Reply XReport(std::string_view a);
    Reply ZReport(std::string_view a);
    Reply ZeroZReport(std::string_view a);
    Reply ArticleReport(std::string_view a);
    Reply DiscountReport(std::string_view a);
    Reply FiscalByNumbers(std::string_view a);
    Reply FiscalByDates(std::string_view a);
    Reply PrintFiscalReport(const std::string& title,
                            const std::function<bool(const FiscalRecord&)>& in);
    Reply Cash(std::string_view a);
    Reply Crpt(std::string_view a);
    Reply Svsl(std::string_view a);
    // Documents
    Reply Dbeg(std::string_view a);
    Reply Dlin(std::string_view a);
    Reply Alin(std::string_view a);
    Reply Dend(std::string_view a);
    Reply Prtx(std::string_view a);
    Reply NullReceipt(std::string_view a);
    Reply Copy(std::string_view a);
    Reply Caio(std::string_view a);
    Reply Kass(std::string_view a);
    Reply Cutr(std::string_view a);
    Reply Feed(std::string_view a);
    // Displays
    Reply DisplayText(std::string_view a);
    Reply DisplayNumber(std::string_view a);
    Reply DisplayExternal(std::string_view a);
    // Settings
    Reply Ppod(std::string_view a);
    Reply Ppmd(std::string_view a);
    Reply Nlpr(std::string_view a);
    Reply Tmod(std::string_view a);
    Reply Ctim(std::string_view a);
    Reply Dstr(std::string_view a);
    Reply Tabl(std::string_view a);
    Reply Armo(std::string_view a);
    Reply Dept(std::string_view a);
    Reply Head(std::string_view a);
    Reply Botm(std::string_view a);
    Reply BotmEx(std::string_view a);
    Reply Stfl(std::string_view a);
    Reply Npdi(std::string_view a);
    Reply Ncdc(std::string_view a);
    Reply Senc(std::string_view a);
    // Queries
    Reply ConfOld(std::string_view a);
    Reply ConfNew(std::string_view a);
    Reply Cnal(std::string_view a);
    Reply Glcn(std::string_view a);
    Reply Dset(std::string_view a);
    Reply Getd(std::string_view a);
    Reply Ccas(std::string_view a);
    Reply Cfis(std::string_view a);
    Reply Artd(std::string_view a);

    Reply SaleLine(std::string_view a, bool isReturn, bool longArticles);
    // Steps of a sale line; a refusal is the error word, nullptr when there is none.
    const char* SaleRefusal(bool isReturn, bool longWord) const;
    const char* ArticleRefusal(const ReceiptLine& line, bool longMode) const;
    void RegisterLine(const ReceiptLine& line);
    void AddToTotals(const ReceiptLine& line, int sign);
    void PrintSaleLine(const ReceiptLine& line, const std::string& discountName);
    Reply Configuration(bool digitKey);
    // Prints the closing, moves the counters; returns the nine COMP figures as reply data.
    std::string CloseReceipt(int64_t due, int64_t cash, int64_t nonCash);
    // Steps of the closing.
    enum class FreeTextPart { kBeforeFiscalPart, kAfterFiscalPart };
    void PrintFreeText(FreeTextPart part);
    void PrintReceiptTotals(const TotalTaxes& taxes);
    void PrintPayment(int64_t due, int64_t cash, int64_t nonCash, int64_t change);
    void MoveCashDrawer(int64_t due, int64_t cash, int64_t nonCash, int64_t change);
    void AddToDay(const TotalTaxes& taxes);
    std::string RecordClosing(const TotalTaxes& taxes);
    void EndReceipt();
    TotalTaxes ComputeTotalTaxes() const;
    bool NeedsReportMode() const;
    const char* ReportRefusal(const char* modeWord) const;
    bool NeedsRegistrationMode() const;
    void PrintReportHeader(const std::string& title);
    void PrintDayCounters();
    void PrintHead();
    void PrintBottom();
    void Print(const std::string& line1251);
    void PrintPair(const std::string& left1251, const std::string& right1251);
    void Status(const std::string& line1251);
    void BeginDocument();
    int64_t TextLimit() const;
    bool DayIsEmpty() const;
    std::string Date() const;  // YYYYMMDD
    std::string Time() const;  // HHMMSS

    Model m_model;
    RegisterOptions m_options;
    std::string m_password;
    std::string m_cashier;  // ident of the last login, printed on receipts
    Paper m_paper = Paper::kOk;
    std::string m_nextError;
    std::map<std::string, std::string> m_commandErrors;

    // mode switch of level 7 registers: 0 off, 1 registration, 2 reports, 3 programming
    int m_mode = 1;
    int m_articleMode = 0;
    bool m_taxesOnTotal = true;
    bool m_onSaleTaxesPerLine = false;
    bool m_tableMode = false;
    bool m_doubleWidth = false;
    bool m_cashReports = false;
    bool m_linePrinting = false;
    int m_messagesMode = 0;
    int m_discountPrintMode = 0;
    int m_continuousPaperMode = 0;
    std::string m_doubledTax;
    std::string m_deptAlias;
    std::string m_headLine;
    std::string m_bottomLine;
    std::map<int, std::string> m_bottomLinesEx;
    std::string m_currency = "UAH";
    std::string m_currencyDate = "20000901";
    int64_t m_clockOffset = 0;  // seconds added to the host clock by CTIM

    bool m_receiptOpen = false;
    bool m_returnPart = false;
    std::string m_department;
    std::string m_returnNumbers;
    std::string m_longName;
    std::vector<ReceiptLine> m_lines;
    ReceiptTotals m_totals;
    std::vector<std::string> m_receiptTape;      // tape of the receipt being printed
    std::vector<std::string> m_lastReceiptTape;  // for COPY
    std::string m_lastClosing;
    std::string m_discountTotalsName, m_surchargeTotalsName;

    struct FreeText {
        bool beforeFiscalPart, journal, doubleStrike;
        std::string text;
    };
    std::vector<FreeText> m_freeText;
    bool m_documentOpen = false;
    bool m_documentOnJournal = false;

    CashCounters m_cash;
    DayCounters m_day;
    std::time_t m_dayOpened = 0;  // register time of the day's first receipt; 0: none yet
    std::vector<FiscalRecord> m_fiscalMemory;
    std::map<int64_t, ArticleRecord> m_articles;
    int m_zNumber = 0;
    int m_lastReceipt = 0;
    int m_lastDocument = 0;
    int m_lastServiceDocument = 0;
    int m_receiptsClosed = 0, m_returnsClosed = 0, m_receiptsCancelled = 0;

    std::string m_display1, m_display2, m_numericDisplay, m_externalDisplay;
    std::vector<std::string> m_tape;
};

// Helpers shared with the tests.
std::string FormatMoney(int64_t kopecks);
// Article number format of width 4: 12345 -> "C345"; parse is its inverse (-1 when malformed).
int64_t ParseArticle4(std::string_view field);

}  // namespace vsk::emu
