// CVSKCore: the protocol engine of one open port. It owns the journal, the pending-message
// queue, the serial channel with its reader thread, the printer information record, the error
// lists, the receipt and document state and the current status window.
// Threading rule: every operation runs on the caller's (main) thread, one at a time; the reader
// thread touches only the queue (Put) and the journal, through the channel.
// Operations return the system's result values and never throw.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/engine_stats.h"
#include "engine/exchange.h"
#include "engine/operator_ui.h"
#include "engine/printer_info.h"
#include "engine/receipt_events.h"
#include "engine/register_variant.h"
#include "link/journal.h"
#include "link/message_container.h"
#include "link/serial_channel.h"
#include "resources/failure.h"

namespace vsk {
class IClock;
}

// The documents counters of a "GLCN" reply.
struct CDocumentsInfo {
    int32_t lastCheckNumber = 0;
    int32_t lastDocumentNumber = 0;
    int32_t lastServiceDocumentNumber = 0;
    int32_t articleMode = 0;
    int32_t fiscalReportMade = 0;
    int32_t fiscalReportNumber = 0;
};

class CVSKCore {
public:
    // `clock` and `ui` default to the real clock and a headless operator UI; both must outlive
    // the engine. `journalFolder` empty means the default journal folder.
    explicit CVSKCore(int32_t portNumber, vsk::IClock* clock = nullptr,
                      vsk::IOperatorUi* ui = nullptr, std::string journalFolder = {});
    // Virtual: the port registry owns its engines through this class, and may be handed a
    // derived one.
    virtual ~CVSKCore();
    CVSKCore(const CVSKCore&) = delete;
    CVSKCore& operator=(const CVSKCore&) = delete;

    // --- connection ---
    int16_t Init(const std::string& portName, const std::string& ident,
                 const std::string& password);
    int16_t ConnectToPrinter(const std::string& password, const std::string& ident,
                             bool& cancelled);
    bool ReadPrinterInfo(CPrinterInfo& info);
    int16_t OnChangeKassPassword(const std::string& current, const std::string& next);
    int16_t Done();

    // --- exchange ---
    // One command and its answer, the way every operation talks to the register: what came
    // unasked is drained first (an error word waiting refuses the command, which then fails at
    // once), the command goes out, and the reply wait follows `rules`.
    [[nodiscard]] vsk::ExchangeResult Exchange(const vsk::Command& command,
                                               const vsk::ReplyRules& rules,
                                               const vsk::ReplyHooks& hooks = {});
    // The exchange of most operations: the command, then READY. 1, or 0 when it failed; a
    // silent register counts as done (and the send as unconfirmed).
    int16_t ExchangeReady(const vsk::Command& command, uint32_t timeoutMs = vsk::kReadyTimeoutMs,
                          const vsk::ReplyHooks& hooks = {});
    // The two halves, for messages a client passes through: the send (false when nothing went
    // out), and the ready wait, which fails at once when that send was refused.
    bool SendToPrinter(std::string_view text, size_t secretBegin = 0, size_t secretLength = 0);
    int16_t WaitForReadyMsg(uint32_t timeoutMs);
    std::string GetNextMessage(uint32_t timeoutMs);
    // True when the reply wait of the most recent command ran out after the command was sent:
    // the ready wait still answers success then, but the register never confirmed it. Reset at
    // each send (a report's switch back from report mode keeps the report's).
    bool LastSendUnconfirmed() const { return m_bSendUnconfirmed; }

    // --- errors ---
    // The latest failure recorded since the error codes were last handed out or cleared: its
    // kind, the word and the message number the error lists show for it.
    const std::optional<vsk::Failure>& LastFailure() const { return m_lastFailure; }
    std::string GetLastErrorCode();
    std::string GetLastErrorMessage();
    // The latest entry of each list, left in place (the two above empty them): what the reply
    // of a failed call tells its client, while the client may still ask the two above.
    std::string PeekLastErrorCode() const;
    std::string PeekLastErrorMessage() const;

    // --- receipts ---
    int16_t OpenCheck(const std::string& department);
    int16_t OpenReturnCheck(const std::string& department);
    int16_t SetReturnCheckNumber(int32_t number);
    int16_t SetReturnCheckNumberStr(const std::string& numbers);
    int32_t SetCurrentCheckDirection(int16_t direction);
    int32_t FiscalLineEx(const std::string& name, int32_t quantity, int32_t price,
                         int16_t divisible, int16_t tax1, int16_t tax2, int32_t article,
                         int16_t discountDirection, const std::string& discountName,
                         int32_t discount);
    int32_t FiscalLine(const std::string& name, int32_t quantity, int32_t price, int16_t divisible,
                       int16_t tax1, int16_t tax2, int32_t article);
    int16_t LongName(const std::string& name);
    int32_t CloseCheckEx(int32_t cash, int32_t payCheck, int32_t credit, int32_t pack);
    int32_t CloseCheck();
    enum class CloseOutcome { NotSent, Closed, Refused, InDoubt };
    // What became of the most recent CloseCheckEx / CloseCheck: NotSent (no receipt open, an
    // error was waiting, too little money, a figure that does not fit, a late line: "COMP" never
    // went out), Closed (the register answered the closing figures and READY), Refused (it
    // answered an error word), InDoubt (it stayed silent after "COMP": it may have printed).
    // A closing in doubt becomes Closed when its answer comes late, Refused when that answer is
    // an error word. NotSent until the first closing.
    CloseOutcome LastCloseOutcome() const { return m_closeOutcome; }
    // Who is told of every receipt event (the port's recorder; nobody when null). It must
    // outlive the engine, whose closing may still cancel a receipt.
    void SetReceiptEvents(vsk::IReceiptEvents* events) { m_receiptEvents = events; }
    // The register's last receipt number as the engine last learnt it: from "GLCN" (at
    // connection on registers that have it, and every GetDocumentsInfo) and from every accepted
    // closing's figures. nullopt until one of those has been seen.
    std::optional<int64_t> LastReceiptNumber() const { return m_lastReceiptNumber; }
    // Asks the register now ("GLCN" where the register has it); nullopt when it cannot tell
    // (no such query on this register, or no answer). Updates LastReceiptNumber.
    std::optional<int64_t> ReadLastReceiptNumber();
    // The goods name of the last accepted fiscal line as it went to the register: the name field
    // and its continuation, trailing blanks removed, in the engine's code page (1251).
    const std::string& LastLineName() const { return m_szLastLineName; }
    int16_t AbortCheck();
    int16_t FreeTextLine(int16_t placeBeforeFiscalPart, int16_t printOnJornal, int16_t doubleStrike,
                         const std::string& text);
    int16_t ClearFreeTextLines();

    // --- documents ---
    int16_t OpenDocument(int16_t printJornal);
    int16_t CloseDocument();
    int16_t OpenTextDocument();
    int16_t CloseTextDocument(int16_t printOnJornal);
    // `sData` empty counts as absent.
    int16_t DocumentLine(const std::string& name, const std::string& sData, int32_t lData);
    int16_t NullCheck();
    int16_t CheckCopy();
    int16_t MoveCash(int16_t cashIncome, int32_t summ);
    int16_t OpenCashBox();
    int16_t CutAndBeep(int16_t cutterOn, int16_t beepOn, int16_t partialCut);
    int16_t Feed(int16_t linesToFeed);

    // --- reports ---
    int16_t ActivatePrinterMode(int32_t mode);
    int16_t XReportFromRegisters();
    int16_t XReportFromRegistersAsync();
    int16_t ZReport();
    int16_t ZReportAsync();
    int16_t PrintZeroZReport();
    int16_t ArticleReport();
    int16_t DiscountReport();
    int16_t PeriodicalFiscalReport(int16_t firstZReport, int16_t lastZReport);
    // Automation dates: days since 1899-12-30.
    int16_t PeriodicalFiscalReportDate(double dateFrom, double dateTo);
    int16_t XReport(int32_t cashRemainder, int32_t cashIncome, int32_t cashOutcome,
                    int32_t cashSold, int32_t cashReturn, int32_t cashLeft, int32_t checkPay,
                    int32_t checkReturn);
    int16_t SetCashRegisters(int32_t cashRemainder, int32_t cashIncome, int32_t cashOutcome,
                             int32_t cashSold, int32_t cashReturn, int32_t cashLeft,
                             int32_t checkPay, int32_t checkReturn);
    int16_t TurnCasheReports(int16_t on);

    // --- customer displays ---
    int16_t PutToDisplay(const std::string& line1, const std::string& line2);
    int16_t PutToExternalDisplay(const std::string& line, int32_t clearBeforePut);

    // --- device settings ---
    int16_t SetTableMode(int16_t tableMode);
    int16_t SetOnSaleTaxes(int16_t on);
    int16_t SetTaxesCalcMode(int32_t onTotal);
    int16_t SetDoubledTaxCalcMode(int32_t tax1Index, int32_t tax2Index);
    int16_t CheckMessagesMode(int16_t mode);
    int16_t SetInternalTime(int16_t hours, int16_t minutes, int16_t seconds);
    int16_t SetPrintingDoubleWidth(int16_t doubleWidth);
    int16_t SetArticleMode(int32_t articleMode);
    int16_t SetDeptAlias(const std::string& alias);
    int16_t SetCheckHeadLine(const std::string& text);
    int16_t SetCheckBottomLine(const std::string& text);
    int16_t SetCheckBottomLineEx(int32_t lineIndex, int32_t printOnJornal, int32_t printMode,
                                 const std::string& text);
    int16_t SetLinePrintingOn();
    int16_t SetDiscountPrintMode(int32_t mode);
    int16_t SetContinousPaperPrintMode(int32_t mode);
    int16_t SetCurrentCurrency(const std::string& currencyName);
    bool PerLineTaxes() const { return m_bPerLineTaxes; }

    // --- queries ---
    std::string InternalGetInfoFromPrinter(const std::string& command,
                                           const std::string& replyWord);
    std::string GetDocumentsInfo(CDocumentsInfo& info);
    void GetDisplaySettings(CPrinterInfo& info);
    std::string GetPrinterConfig();
    int16_t GetPrinterKeyPosition();
    std::string GetArticleInfo(int16_t article);
    std::string GetPrinterTime();
    std::string GetCashInfo();
    std::string GetFiscalInfo();
    std::string GetTaxesInfo();
    // The XML documents; an empty text means the call fails.
    std::string GetPrinterConfigXML(int16_t refreshFromPrinter);
    std::string GetTaxesInfoXML() const;
    std::string GetArticleInfoXML(int16_t article);
    std::string GetCashInfoXML();
    std::string GetFiscalInfoXML();
    std::string GetDocumentsInfoXML();

    // --- receipt extras: goods groups, storno, barcodes ---
    int16_t OpenGoodsGroup(const std::string& groupName);
    int16_t CloseGoodsGroup(const std::string& discountTotalsName,
                            const std::string& upcountTotalsName);
    int16_t SetDiscountUpcountTotalsName(const std::string& discountTotalsName,
                                         const std::string& upcountTotalsName);
    int16_t Storn();
    int16_t PrintBarcode(int32_t barcodeType, int32_t placeBelowFiscalPart, int32_t printOnJornal,
                         const std::string& barcode);

    // --- state read by the client object ---
    int32_t GetPortNumber() const { return m_lPortNumber; }
    const CPrinterInfo& PrinterInfo() const { return m_PrinterInfo; }
    // What this engine has done, for the health report and the metrics; the port registry
    // hands every engine of one port the same record.
    void UseStats(std::shared_ptr<vsk::EngineStats> stats) { m_stats = std::move(stats); }
    vsk::EngineStats& Stats() { return *m_stats; }
    int32_t ProtocolFamily() const { return m_variant.family; }
    int32_t ProtocolLevel() const { return m_variant.level; }
    int32_t ArticleMode() const { return m_lArticleMode; }
    bool IsCheckOpen() const { return m_bCheckOpen; }
    bool IsReturnCheck() const { return m_bReturnCheck; }
    bool IsDocumentOpen() const { return m_bDocumentOpen; }
    bool IsPortOpen() const { return m_channel.IsOpen(); }
    // The port's device went away and has not been opened again since: the next command opens
    // it again and logs in as the last connection did.
    bool DeviceLost() const { return m_bDeviceLost; }
    int32_t GetCheckSum() const { return m_totals.sale.sum; }
    int32_t GetCheckReturnSum() const { return m_totals.ret.sum; }
    int32_t GetCheckOnSaleTaxes() const { return m_totals.sale.onSaleTaxes; }
    int32_t GetCheckReturnOnSaleTaxes() const { return m_totals.ret.onSaleTaxes; }
    int32_t GetLastLineTaxes() const { return m_lLineTaxes; }
    // The amount due of the open receipt.
    int64_t RunningTotal() const;
    const std::string& GetCheckResult() const { return m_szCheckResult; }
    // The last closing's figures as numbers, in GetCheckResult's order (receipt number, total,
    // on-sale taxes, included taxes, ..., returns' total, ...).
    const std::array<int64_t, 9>& ClosingFigures() const { return m_closingFigures; }
    const std::string& GetCheckResultXML() const { return m_szCheckResultXML; }

    void SetShowStatusDialogs(bool on) { m_bShowStatusDialogs = on; }
    bool ShowStatusDialogs() const { return m_bShowStatusDialogs; }
    void SetShowErrorMessages(bool on) { m_bShowErrorMessages = on; }
    bool ShowErrorMessages() const { return m_bShowErrorMessages; }
    void SetRegistrationModePassword(const std::string& p) { m_szRegistrationModePassword = p; }
    void SetReportModePassword(const std::string& p) { m_szReportModePassword = p; }
    void SetProgrammingModePassword(const std::string& p) { m_szProgrammingModePassword = p; }
    // Set by the taxes calculation mode command: true while taxes are worked out per line.
    void SetPerLineTaxes(bool on) { m_bPerLineTaxes = on; }

    vsk::Journal& Journal() { return m_journal; }
    CMessageContainer& Queue() { return m_queue; }

private:
    // --- exchange ---
    // The send half: a late answer caught up, the drain (unless the queue was just found quiet),
    // the frame written. False when nothing went out; the refusal is kept for the reply wait.
    bool Send(const vsk::Command& command);
    // Replies nobody waits for are dropped and warnings classified; an error word is classified,
    // empties the queue and is returned: the command must not go out.
    std::optional<vsk::Failure> DrainQueue();
    // Records and journals why the channel wrote nothing.
    vsk::Failure RefusedSend(vsk::SendOutcome outcome, const std::string& word);
    // The wait half: fails at once after a refused send, else runs the reply wait.
    vsk::ExchangeResult AwaitReply(const vsk::ReplyRules& rules, const vsk::ReplyHooks& hooks);
    struct ReplyProgress;
    vsk::ExchangeResult RunReplyWait(const vsk::ReplyRules& rules, const vsk::ReplyHooks& hooks);
    // One message of the answer; the result when it ends the wait.
    std::optional<vsk::ExchangeResult> TakeReply(const std::string& text,
                                                 const vsk::ReplyRules& rules,
                                                 const vsk::ReplyHooks& hooks,
                                                 ReplyProgress& progress);
    std::optional<vsk::ExchangeResult> TakeStatus(const std::string& text,
                                                  const vsk::ReplyRules& rules,
                                                  const vsk::ReplyHooks& hooks,
                                                  ReplyProgress& progress);
    // A READY that ends another command's data reply: what it settles of a line or closing in
    // doubt.
    void EndForeignAnswer(ReplyProgress& progress);
    vsk::ExchangeResult ReplyTimedOut(const vsk::ReplyRules& rules);
    void Replied(const std::string& word, const ReplyProgress& progress);
    bool PendingErrorCheck();
    // Kept by a send that wrote nothing, taken by the reply wait that follows: that wait fails
    // at once, keeping the failure the refusal recorded.
    std::optional<vsk::Failure> m_refusedSend;
    bool m_bSendUnconfirmed = false;
    // Set by a successful pending-error check, taken by the next send or reply wait.
    bool m_bJustDrained = false;

    // --- answers that come after their wait ran out ---
    // A register that answers after the time-out would otherwise have its READY taken for the
    // next command's. Before anything else is sent, the engine waits for that late answer to end
    // (or for the line to stay quiet) and drops it.
    struct LateAnswer {
        std::string command;  // word of the command whose wait ran out
        int64_t since = 0;    // clock time when it ran out
    };
    void CatchUpLateAnswer();
    std::optional<LateAnswer> m_lateAnswer;
    std::string m_szLastCommandWord;

    // A sale line whose wait ran out: the register may have printed it all the same.
    struct LineInDoubt {
        int64_t sum = 0;
        int16_t tax1 = 0, tax2 = 0;
        bool returnLine = false;
        std::string name;  // as the line command carried it
    };
    std::optional<LineInDoubt> m_lineInDoubt;
    // The register printed the line in doubt (its FISC reply and READY came late): count it in
    // the receipt. `fiscReply` may be empty when only the READY was seen.
    void CountLateLine(const std::string& fiscReply);
    // A line the client was told had failed is in the receipt: the next closing is refused once.
    bool m_bLateLineCounted = false;

    // A closing whose wait ran out after "COMP": its late figures and READY close the receipt.
    bool CloseInDoubt() const { return m_closeOutcome == CloseOutcome::InDoubt && m_bCheckOpen; }
    void CloseLate(const std::string& compReply);
    CloseOutcome m_closeOutcome = CloseOutcome::NotSent;
    std::optional<int64_t> m_lastReceiptNumber;
    vsk::IReceiptEvents* m_receiptEvents = nullptr;
    vsk::IReceiptEvents& ReceiptEvents() {
        return m_receiptEvents ? *m_receiptEvents : vsk::NoReceiptEvents::Instance();
    }
    // False while CloseCheck closes on the amount due: its closing names no payments.
    bool m_bPaymentsNamed = true;

    // --- a receipt or document left open by a server that was killed ---
    // True from the connection until the first opening of a receipt or service document: only
    // that opening may meet something this engine did not open.
    bool m_bFirstOpening = false;
    // Hooks the first opening's wait: the sequence error marks a leftover, unclassified.
    vsk::ReplyHooks LeftoverHook(bool& leftover);
    // Cancels the leftover receipt and closes a leftover document; journals one line.
    void EndLeftover();

    // --- errors ---
    bool ClassifyStatus(const std::string& text);
    // The one place a failure is recorded: it becomes the last failure, and the error lists get
    // its entries. A failure the register reported (`received`, its text as it came) joins the
    // lists; the engine's own replaces them, `detail` following its message. Returns the
    // message entry.
    std::string RecordFailure(const vsk::Failure& failure, std::string_view received = {},
                              std::string_view detail = {});
    void RecordFault(vsk::Fault fault, std::string_view detail = {});
    vsk::MsgResult ShowLastError(vsk::MsgIcon icon, vsk::MsgButtons buttons);
    void ClearErrors();
    std::string TakeUpPendingErrors(std::string& list, const char* operation);

    // --- connection ---
    int ProbePrinter();
    // What follows a login: the register's identity, and the modes this engine works in.
    bool SettleConnection();
    // --- a device that goes away and comes back ---
    // Lets go of the port whose device went away and records "PORTOPENERROR" with the
    // device's name.
    vsk::Failure LoseDevice();
    // Opens the port again and logs in with the last connection's cashier; false when the
    // device is not back ("PORTOPENERROR" recorded) or did not let us in.
    bool Reopen();
    // "COM5 (/dev/ttyUSB0)": the port and the device its name resolved to.
    std::string DeviceName() const;
    struct Login {
        std::string port, ident, password;
    };
    std::optional<Login> m_login;  // of the last successful connection
    bool m_bDeviceLost = false;
    bool m_bReopening = false;
    bool AskRetry(bool& cancelled);

    // --- receipts ---
    int16_t OpenReceipt(const std::string& department, bool returnCheck);
    void ResetReceiptTotals();
    // Whether the receipt totals take a line of this sum and taxes.
    bool LineFitsTotals(int64_t finalSum, int16_t tax1, int16_t tax2) const;
    // Line completion: adds an accepted line to the receipt totals; returns sum + line taxes.
    int32_t CompleteLine(int64_t sum, int16_t tax1, int16_t tax2, bool returnLine);
    // Taxes worked out on the receipt's total before it closes; false, with the totals left as
    // they were, when one does not fit.
    bool SettleTaxesOnTotal();
    // The receipt ended (closed, cancelled): nothing of it is in doubt any more.
    void EndReceipt();
    void FillCheckResult(const std::string& reply);
    // Sends the closing and waits for its figures and READY; true when the receipt closed.
    // Sets the closing's outcome either way.
    bool ExchangeClosing(const std::string& command);

    // --- status window ---
    void OpenStatusWindow(unsigned message);
    void CloseStatusWindow();
    void ShowStatusTexts(std::string_view title, std::string_view goods, std::string_view amount);

    // Cancels an open receipt, then closes an open service document; results ignored.
    void PrepareForReport();
    // Registers with operating modes print reports in report mode: mode 2 before, 1 after.
    void BeginReportMode();
    void EndReportMode();
    int16_t SendCashCounters(const std::array<int32_t, 8>& amounts);

    // The configuration query word: "CONF" for the older registers and while the serial number
    // is unknown, "CONf" otherwise.
    std::string ConfigQueryWord() const;
    // Head and bottom lines longer than the register prints are cut to this.
    size_t ReceiptTextLimit() const;

    void UpdateMaxArticles();

    int32_t m_lPortNumber;
    std::unique_ptr<vsk::IOperatorUi> m_ownUi;
    vsk::IClock& m_clock;
    vsk::IOperatorUi& m_ui;
    vsk::Journal m_journal;
    CMessageContainer m_queue;
    vsk::SerialChannel m_channel;
    std::unique_ptr<vsk::IStatusWindow> m_statusWindow;

    CPrinterInfo m_PrinterInfo;
    std::shared_ptr<vsk::EngineStats> m_stats = std::make_shared<vsk::EngineStats>();
    // When the command being answered was sent; none once its reply is counted (a wait with
    // no command before it, as at a login, measures nothing).
    std::optional<int64_t> m_sentAtMs;
    // Until the configuration is read: the older family's first level.
    vsk::RegisterVariant m_variant = vsk::RegisterVariantFor({0, 0});
    int32_t m_lArticleMode = 0;

    // The error lists the legacy calls hand out, one ';'-separated entry per status word or
    // failure recorded; and the latest failure of them.
    std::string m_szLastErrorCode;
    std::string m_szLastErrorMessage;
    std::optional<vsk::Failure> m_lastFailure;
    bool m_bShowErrorMessages = true;
    bool m_bShowStatusDialogs = false;
    std::string m_szRegistrationModePassword = "3807";
    std::string m_szReportModePassword = "6419";
    std::string m_szProgrammingModePassword = "2958";

    // receipt state
    bool m_bCheckOpen = false;
    bool m_bReturnCheck = false;
    bool m_bDocumentOpen = false;
    bool m_bPerLineTaxes = false;
    // What one side of the receipt (its sales, or its returns) adds up to so far, in kopecks.
    struct SideTotals {
        int32_t sum = 0;
        int32_t onSaleTaxes = 0;            // taxes added to the price (kind 1)
        int32_t kind2Taxes = 0;             // taxes taken off the amount due (kind 2)
        std::array<int32_t, 8> turnover{};  // per tax rate, for taxes worked out on the total
    };
    struct ReceiptTotals {
        SideTotals sale;
        SideTotals ret;
        SideTotals& Side(bool returns) { return returns ? ret : sale; }
        const SideTotals& Side(bool returns) const { return returns ? ret : sale; }
    };
    ReceiptTotals m_totals;
    int32_t m_lLineTaxes = 0;
    std::string m_szCheckResult;
    std::array<int64_t, 9> m_closingFigures{};
    std::string m_szCheckResultXML;
    std::string m_szLastLineName;

    // The totals as they stood before the last sale line: a storno that the register accepted
    // takes that line out of its own totals, and the closing must agree with them.
    std::optional<ReceiptTotals> m_beforeLastLine;
};
