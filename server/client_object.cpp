#include "server/client_object.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>
#include <type_traits>

#include "engine/vsk_core.h"
#include "ledger/ledger.h"
#include "platform/codepage.h"
#include "rpc/module.h"
#include "rpc/query_interface.h"
#include "server/port_registry.h"
#include "server/receipt_recorder.h"

namespace vsk {

namespace {

// The engine takes only the low 16 bits of these inputs.
int16_t Low16(LONG v) {
    return static_cast<int16_t>(v);
}

}  // namespace

// An engine operation as a generic callable: when the engine does not (yet) have an operation
// of that name and shape, the call is not invocable and the method reports E_NOTIMPL instead of
// pretending to succeed.
#define VSK_ENGINE(expr) [&](auto& core) -> decltype(expr) { return expr; }

CVeskar::CVeskar(CVSKPortManager& ports, CLedger* ledger) : m_ports(ports), m_ledger(ledger) {
    TheModule().Lock();
}

CVeskar::~CVeskar() {
    Detach();
    TheModule().Unlock();
}

HRESULT CVeskar::CreateInstance(CVSKPortManager& ports, IDispatch** ppObj, CLedger* ledger) {
    if (!ppObj)
        return E_POINTER;
    auto* obj = new (std::nothrow) CVeskar(ports, ledger);
    if (!obj)
        return E_OUTOFMEMORY;
    *ppObj = obj;
    return S_OK;
}

HRESULT CVeskar::QueryInterface(const IID& riid, void** ppv) {
    return QueryInterfaceOf(this, riid, ppv,
                            Answers<IVeskar>{{IID_IUnknown, IID_IDispatch, typelib::IID_IVeskar}},
                            Answers<IAsyncDispatch>{{IID_IAsyncDispatch}},
                            Answers<IFailureDetail>{{IID_IFailureDetail}});
}

ULONG CVeskar::AddRef() {
    return ++m_refs;
}

ULONG CVeskar::Release() {
    ULONG left = --m_refs;
    if (left == 0)
        delete this;
    return left;
}

CVSKCore& CVeskar::Core() const {
    return *m_pDescriptor->GetCore();
}

std::string CVeskar::Ansi(const BSTR& text) {
    size_t unmapped = 0;
    std::string ansi = Utf16ToCp1251(text, &unmapped);
    m_unmappedCharacters += unmapped;
    ReportUnmapped();
    return ansi;
}

// A character the register's code page cannot carry goes out as '?': the journal says so, so
// that a receipt line that printed differently from what the program sent can be explained.
void CVeskar::ReportUnmapped() {
    if (m_unmappedCharacters == 0 || !m_pDescriptor)
        return;
    Core().Journal().LogFormat(
        "%zu character(s) of a client text are not in code page 1251 and "
        "were replaced by '?'",
        m_unmappedCharacters);
    m_unmappedCharacters = 0;
}

void CVeskar::InvokeAsync(DISPID dispId, InvokeKind kind, std::vector<VARIANT> args,
                          InvokeDone done) {
    m_lockWait = 0;
    auto id = VeskarDispId(dispId);
    if (id == VeskarDispId::LockPrinter && IsBound() && kind == InvokeKind::Method &&
        args.size() == 1 && args[0].vt() == VT_I4) {
        // Parked on the port, not on its worker: the holder's calls and UnlockPrinter go on.
        m_lockWait = m_pDescriptor->LockAsync(
            static_cast<uint32_t>(args[0].lVal()), this, [done = std::move(done)](bool obtained) {
                done(obtained ? S_OK : CONTEXT_E_SYNCH_TIMEOUT, VARIANT());
            });
        return;
    }
    // Where the call runs: on the worker of the port it talks to; calls that need neither the
    // register nor the engine (and an unbound object's refusals) answer at once.
    int32_t port = 0;
    if (id == VeskarDispId::Init) {
        if (args.size() == 5 && args[0].vt() == VT_I4 && args[0].lVal() > 0)
            port = args[0].lVal();
    } else if (IsBound() && id != VeskarDispId::GetPortNumber &&
               id != VeskarDispId::UnlockPrinter) {
        port = m_lPortNumber;
    }
    auto finish = std::make_shared<InvokeDone>(std::move(done));
    if (std::string why = ControlCharacterIn(id, args); !why.empty()) {
        // A control character would reach the frame and the journal (a NUL cuts both).
        (*finish)(Explain(Failure(Fault::InvalidArgument), why), VARIANT());
        return;
    }
    auto run = [this, dispId, kind, args = std::move(args), finish]() mutable {
        VARIANT result;
        m_failure = {};
        if (IsBound())
            AnnounceCaller();
        const uint64_t exchanges = IsBound() ? Core().Stats().Exchanges() : 0;
        HRESULT hr = Invoke(dispId, kind, args.data(), unsigned(args.size()), &result);
        if (FAILED(hr) && m_failure.code.empty() && m_failure.message.empty())
            ExplainFailure(hr);  // taken here, on the port's worker, where the engine lives
        else if (SUCCEEDED(hr) && m_failure.code.empty() && IsBound() &&
                 Core().Stats().Exchanges() != exchanges && Core().LastSendUnconfirmed())
            ExplainUnconfirmed();
        (*finish)(hr, std::move(result));
    };
    if (port <= 0)
        run();
    else if (!m_ports.RunOnPort(port, std::move(run)))
        (*finish)(Explain(Failure(Fault::NoThread), "no thread could be had for the port"),
                  VARIANT());
}

bool CVeskar::TakeFailureDetail(FailureDetail* detail) {
    if (m_failure.code.empty() && m_failure.message.empty())
        return false;
    *detail = std::move(m_failure);
    m_failure = {};
    return true;
}

// The detail of a failure: its word, its kind and whether the same call again is safe, all
// from the failure table; `outcome` says how a call that answered success was not plain. The
// failure's HRESULT, from the same row.
HRESULT CVeskar::Explain(const Failure& failure, const std::string& message,
                         const std::string& outcome) {
    const FaultRow& row = RowOf(failure.fault);
    m_failure.code = failure.word;
    m_failure.message = message;
    m_failure.outcome = outcome;
    m_failure.kind = std::string(row.name);
    m_failure.retrySafe = row.retrySafe;
    return static_cast<HRESULT>(row.hresult);
}

// The engine's latest failure, as GetLastErrorCode and GetLastErrorMessage would answer it.
void CVeskar::KeepFailure(Fault whenSilent, const std::string& outcome) {
    const std::string word = Cp1251ToUtf8(Core().PeekLastErrorCode());
    const std::string message = Cp1251ToUtf8(Core().PeekLastErrorMessage());
    if (word.empty() && message.empty()) {
        m_failure = {};
        return;
    }
    const std::optional<Failure>& engine = Core().LastFailure();
    Failure failure(engine ? engine->fault : FaultOfWord(word), word, 0);
    if (whenSilent == Fault::InDoubt || whenSilent == Fault::Unconfirmed)
        failure.fault = whenSilent;  // what the call's outcome makes of the engine's word
    Explain(failure, message, outcome);
}

// Every failed call says why: the engine's error when it recorded one, else what stopped it.
void CVeskar::ExplainFailure(HRESULT hr) {
    if (hr == E_NOTIMPL) {
        Explain(Failure(Fault::NotImplemented), "the server has no such operation");
        return;
    }
    if (hr == E_INVALIDARG) {
        Explain(Failure(Fault::InvalidArgument), "an argument is outside what the method takes");
        return;
    }
    if (!IsBound()) {
        Explain(Failure(Fault::NotBound), "the object is not bound to a register: call Init first");
        return;
    }
    KeepFailure();
    if (m_failure.code.empty() && m_failure.message.empty())
        Explain(Failure(Fault::Precondition),
                "refused before anything was sent: no receipt or document is open, or the "
                "register has no such operation");
}

// The register stayed silent after the command: the call answers success, as callers have
// always been told, and its detail says that the register never confirmed it.
void CVeskar::ExplainUnconfirmed() {
    KeepFailure(Fault::Unconfirmed, "unconfirmed");
}

// The HRESULT of a call refused here is its failure's, from the table.
HRESULT CVeskar::Refuse(Fault fault, const std::string& why) {
    const HRESULT hr = Explain(Failure(fault), why);
    if (IsBound())
        Core().Journal().LogFormat("Refused before sending: %s", why.c_str());
    return hr;
}

std::string CVeskar::ControlCharacterIn(VeskarDispId id, const std::vector<VARIANT>& args) {
    // Raw protocol messages pass as they are; a barcode may carry its own separators.
    if (id == VeskarDispId::LowSendMessageToPrinter)
        return {};
    const bool barcode = id == VeskarDispId::PrintBarcode;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].vt() != VT_BSTR)
            continue;
        for (char16_t c : args[i].bstrVal()) {
            if (c == 0 || (!barcode && (c < 0x20 || c == 0x7F))) {
                char text[96];
                std::snprintf(text, sizeof text,
                              "argument %zu holds the control character U+%04X, which the "
                              "register cannot print",
                              i + 1, unsigned(c));
                return text;
            }
        }
    }
    return {};
}

void CVeskar::CancelInvoke() {
    if (m_lockWait != 0 && m_pDescriptor)
        m_pDescriptor->CancelLockWait(m_lockWait);
    m_lockWait = 0;
}

void CVeskar::Detach() {
    if (m_pDescriptor) {
        m_pDescriptor->Recorder().Abandoned(this, m_triedToEnd);
        m_pDescriptor->GiveBackLock(this);
        m_pDescriptor->ForgetOwner(this);
    }
    if (m_lPortNumber > 0)
        m_ports.ReleaseClient(m_lPortNumber, m_szCallerApplicationName);
    m_lPortNumber = 0;
    m_pDescriptor = nullptr;
}

template <class F>
HRESULT CVeskar::Truth(F&& op) {
    if (!IsBound())
        return E_FAIL;
    if constexpr (std::is_invocable_v<F&, CVSKCore&>)
        return op(Core()) ? S_OK : E_FAIL;
    else
        return E_NOTIMPL;
}

template <class F>
HRESULT CVeskar::Text(F&& op, OutArg<BSTR> out, bool mayBeEmpty) {
    if (!out)
        return E_POINTER;
    if (!IsBound())
        return E_FAIL;
    if constexpr (std::is_invocable_v<F&, CVSKCore&>) {
        try {
            std::string text = op(Core());
            if (text.empty() && !mayBeEmpty)
                return E_FAIL;
            *out = Cp1251ToUtf16(text);
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_FAIL;
        }
    } else {
        return E_NOTIMPL;
    }
}

template <class F>
HRESULT CVeskar::Counter(F&& op, OutArg<LONG> out, bool zeroWhenUnbound) {
    if (!out)
        return E_POINTER;
    if (!IsBound()) {
        if (zeroWhenUnbound)
            *out = 0;
        return E_FAIL;
    }
    *out = op(Core());
    return S_OK;
}

// ---- connection, binding, errors and per-port switches -----------------------------------

HRESULT CVeskar::Init(LONG PortNumber, const BSTR& CashierName, const BSTR& CashierPassword,
                      LONG ShowStatusDialogs, const BSTR& CallerApplicationName) {
    // Port 0 names no port ("COM0" does not exist); it is refused like a negative number.
    if (PortNumber <= 0 || CallerApplicationName.empty())
        return E_INVALIDARG;
    // A second Init detaches first, so the earlier attachment is not left counted for good.
    if (m_lPortNumber > 0)
        Detach();
    m_lPortNumber = PortNumber;
    m_szCallerApplicationName = Ansi(CallerApplicationName);
    m_szCashier = Ansi(CashierName);
    bool created = false;
    m_pDescriptor = m_ports.AttachClient(PortNumber, m_szCallerApplicationName, &created);
    m_pDescriptor->NameOwner(this, m_szCallerApplicationName);
    AnnounceCaller();
    ReportUnmapped();
    if (!created)
        return S_OK;  // another client holds the port: share its engine as it is
    if (!m_pDescriptor->Lock(1000)) {
        Detach();
        return E_FAIL;
    }
    Core().SetShowStatusDialogs(ShowStatusDialogs != 0);
    int16_t result =
        Core().Init("COM" + std::to_string(PortNumber), Ansi(CashierName), Ansi(CashierPassword));
    m_pDescriptor->SetSerialNumber(Core().PrinterInfo().m_szSerialNumber);
    m_pDescriptor->SetCashier(m_szCashier);
    Core().Stats().Identity("family " + std::to_string(Core().ProtocolFamily()) + " level " +
                                std::to_string(Core().ProtocolLevel()),
                            Cp1251ToUtf8(Core().PrinterInfo().m_szSerialNumber));
    if (result > 0)
        SettleAfterCrash();
    m_pDescriptor->Unlock();
    if (result > 0)
        return S_OK;
    KeepFailure();  // the engine goes with the port: its reason is read now
    Detach();       // no other client holds the port: this closes it again
    return E_FAIL;
}

// The first binding of a port whose receipts a killed server left open or closing: the
// register's own counter tells whether the closing printed, before anyone uses the port.
void CVeskar::SettleAfterCrash() {
    if (!m_ledger)
        return;
    const std::vector<int> ports = m_ledger->PortsToSettle();
    if (std::find(ports.begin(), ports.end(), m_lPortNumber) == ports.end())
        return;
    std::optional<int64_t> number = Core().LastReceiptNumber();
    if (!number)
        number = Core().ReadLastReceiptNumber();
    const int settled = m_ledger->SettlePort(m_lPortNumber, number);
    Core().Journal().LogFormat(
        "Receipts left by an earlier server settled by the register's last receipt number (%s): "
        "%d",
        number ? std::to_string(*number).c_str() : "unknown", settled);
}

// The receipt events of the call that follows are this object's. Every call through the server
// says so before it runs on the port's worker; called in process, an object says so at Init.
void CVeskar::AnnounceCaller() {
    m_pDescriptor->Recorder().Calling({this, m_szCallerApplicationName, m_szCashier, m_ledger});
}

HRESULT CVeskar::GetPortNumber(OutArg<LONG> pPortNumber) {
    if (!pPortNumber)
        return E_POINTER;
    *pPortNumber = m_lPortNumber;
    return S_OK;
}

HRESULT CVeskar::Done() {
    Detach();
    return S_OK;
}

HRESULT CVeskar::LockPrinter(LONG TimeoutInMilliseconds) {
    if (!IsBound())
        return E_FAIL;
    return m_pDescriptor->Lock(static_cast<uint32_t>(TimeoutInMilliseconds), this)
               ? S_OK
               : CONTEXT_E_SYNCH_TIMEOUT;
}

HRESULT CVeskar::UnlockPrinter() {
    if (!IsBound())
        return E_FAIL;
    m_pDescriptor->Unlock();
    return S_OK;
}

HRESULT CVeskar::SetShowPrinterStatus(LONG ShowStatusDialogs) {
    if (!IsBound())
        return E_FAIL;
    Core().SetShowStatusDialogs(ShowStatusDialogs != 0);
    return S_OK;
}

HRESULT CVeskar::SetShowErrorMessages(LONG ShowErrorMessages) {
    if (!IsBound())
        return E_FAIL;
    Core().SetShowErrorMessages(ShowErrorMessages != 0);
    return S_OK;
}

HRESULT CVeskar::GetLastErrorMessage(OutArg<BSTR> ErrorMessage) {
    return Text(VSK_ENGINE(core.GetLastErrorMessage()), ErrorMessage, false);
}

HRESULT CVeskar::GetLastErrorCode(OutArg<BSTR> ErrorCode) {
    return Text(VSK_ENGINE(core.GetLastErrorCode()), ErrorCode, false);
}

HRESULT CVeskar::SetRegistrationModePassword(const BSTR& Password) {
    if (!IsBound())
        return E_FAIL;
    Core().SetRegistrationModePassword(Ansi(Password));
    return S_OK;
}

HRESULT CVeskar::SetReportsModePassword(const BSTR& Password) {
    if (!IsBound())
        return E_FAIL;
    Core().SetReportModePassword(Ansi(Password));
    return S_OK;
}

HRESULT CVeskar::SetProgrammingModePassword(const BSTR& Password) {
    if (!IsBound())
        return E_FAIL;
    Core().SetProgrammingModePassword(Ansi(Password));
    return S_OK;
}

HRESULT CVeskar::GetPrinterSerialNumber(OutArg<BSTR> SerialNumber) {
    return Text(VSK_ENGINE(core.PrinterInfo().m_szSerialNumber), SerialNumber, true);
}

// ---- low-level protocol access -------------------------------------------------------------

HRESULT CVeskar::LowSendMessageToPrinter(const BSTR& TextMessage) {
    if (!IsBound())
        return E_FAIL;
    Core().SendToPrinter(Ansi(TextMessage));  // its refusal is not reported, by design
    return S_OK;
}

HRESULT CVeskar::LowGetNextPendingPrinterMessage(LONG TimeoutMilliseconds,
                                                 OutArg<BSTR> TextMessage) {
    return Text(VSK_ENGINE(core.GetNextMessage(static_cast<uint32_t>(TimeoutMilliseconds))),
                TextMessage, true);
}

// ---- receipts ------------------------------------------------------------------------------

HRESULT CVeskar::OpenReceipt(bool isReturn, const BSTR& department) {
    const HRESULT hr = isReturn ? Truth(VSK_ENGINE(core.OpenReturnCheck(Ansi(department))))
                                : Truth(VSK_ENGINE(core.OpenCheck(Ansi(department))));
    if (SUCCEEDED(hr))
        m_triedToEnd = false;
    return hr;
}

HRESULT CVeskar::OpenCheck(const BSTR& DepartmentName) {
    return OpenReceipt(false, DepartmentName);
}

HRESULT CVeskar::SetReturnCheckNumber(LONG ReturnCheckNumber) {
    return Truth(VSK_ENGINE(core.SetReturnCheckNumber(ReturnCheckNumber)));
}

HRESULT CVeskar::SetReturnCheckNumberStr(const BSTR& CheckNumbers) {
    return Truth(VSK_ENGINE(core.SetReturnCheckNumberStr(Ansi(CheckNumbers))));
}

HRESULT CVeskar::OpenReturnCheck(const BSTR& DepartmentName) {
    return OpenReceipt(true, DepartmentName);
}

HRESULT CVeskar::SetCurrentCheckDirection(LONG CheckDirection) {
    return Truth(VSK_ENGINE(core.SetCurrentCheckDirection(Low16(CheckDirection))));
}

HRESULT CVeskar::LongName(const BSTR& LongName) {
    return Truth(VSK_ENGINE(core.LongName(Ansi(LongName))));
}

HRESULT CVeskar::FiscalLine(const BSTR& GoodsName, LONG Qty, LONG Price, LONG GoodsDividual,
                            LONG Tax1Index, LONG Tax2Index, LONG Article,
                            OutArg<LONG> ThisLineSum) {
    if (!ThisLineSum)
        return E_POINTER;
    if (!IsBound())
        return E_FAIL;
    return FiscalLineEx(GoodsName, Qty, Price, GoodsDividual, Tax1Index, Tax2Index, Article, 0,
                        BSTR(), 0, ThisLineSum);
}

HRESULT CVeskar::FiscalLineEx(const BSTR& GoodsName, LONG Qty, LONG Price, LONG GoodsDividual,
                              LONG Tax1Index, LONG Tax2Index, LONG Article, LONG DiscountDirection,
                              const BSTR& DiscountName, LONG DiscountValue,
                              OutArg<LONG> ThisLineSum) {
    if (!ThisLineSum)
        return E_POINTER;
    if (!IsBound())
        return E_FAIL;
    // What the register would misread is refused before anything is sent: the receipt stays
    // as it was. A negative tax index means no tax; a discount direction only counts with a
    // discount.
    const char* wrong = nullptr;
    if (Tax1Index > 8)
        wrong = "Tax1Index is 1 to 8 (0 or less: no tax)";
    else if (Tax2Index > 8)
        wrong = "Tax2Index is 1 to 8 (0 or less: no tax)";
    else if (Article < 0)
        wrong = "Article is not negative (0: none)";
    else if (DiscountValue < 0)
        wrong = "DiscountValue is not negative";
    else if (DiscountValue > 0 && DiscountDirection != 0 && DiscountDirection != 1)
        wrong = "DiscountDirection is 0 (a discount) or 1 (a surcharge)";
    else if (Qty < 0)
        wrong = "Qty is not negative";
    else if (Price < 0)
        wrong = "Price is not negative";
    if (wrong)
        return Refuse(Fault::InvalidArgument, wrong);
    const bool wasOpen = Core().IsCheckOpen();
    *ThisLineSum = Core().FiscalLineEx(Ansi(GoodsName), Qty, Price, Low16(GoodsDividual),
                                       Low16(Tax1Index), Low16(Tax2Index), Article,
                                       Low16(DiscountDirection), Ansi(DiscountName), DiscountValue);
    const bool cancelled = wasOpen && !Core().IsCheckOpen();
    // A line the register refused by cancelling the receipt (a quantity or tax it cannot
    // take) answers 0 in the sum: the call failed all the same.
    return *ThisLineSum < 0 || cancelled ? E_FAIL : S_OK;
}

HRESULT CVeskar::GetLastLineTaxes(OutArg<LONG> LineTaxes) {
    return Counter([](CVSKCore& c) { return c.GetLastLineTaxes(); }, LineTaxes, false);
}

HRESULT CVeskar::GetCheckSum(OutArg<LONG> CheckSum) {
    return Counter([](CVSKCore& c) { return c.GetCheckSum(); }, CheckSum, true);
}

HRESULT CVeskar::GetCheckOnSaleTaxes(OutArg<LONG> CheckOnSaleTaxes) {
    return Counter([](CVSKCore& c) { return c.GetCheckOnSaleTaxes(); }, CheckOnSaleTaxes, true);
}

HRESULT CVeskar::GetCheckReturnSum(OutArg<LONG> CheckReturnSum) {
    return Counter([](CVSKCore& c) { return c.GetCheckReturnSum(); }, CheckReturnSum, true);
}

HRESULT CVeskar::GetCheckReturnOnSaleTaxes(OutArg<LONG> CheckReturnOnSaleTaxes) {
    return Counter([](CVSKCore& c) { return c.GetCheckReturnOnSaleTaxes(); },
                   CheckReturnOnSaleTaxes, true);
}

HRESULT CVeskar::FreeTextLine(LONG PlaceBeforeFiscalPart, LONG PrintOnJornal, LONG UseBoldStyle,
                              const BSTR& TextMessage) {
    return Truth(VSK_ENGINE(core.FreeTextLine(Low16(PlaceBeforeFiscalPart), Low16(PrintOnJornal),
                                              Low16(UseBoldStyle), Ansi(TextMessage))));
}

HRESULT CVeskar::ClearFreeTextLines() {
    return Truth(VSK_ENGINE(core.ClearFreeTextLines()));
}

// The closing methods report the engine's result in the out value and succeed when bound.
HRESULT CVeskar::CloseCheck(OutArg<LONG> CheckSum) {
    m_triedToEnd = true;
    HRESULT hr = Counter([](CVSKCore& c) { return c.CloseCheck(); }, CheckSum, true);
    ExplainClosing();
    return hr;
}

HRESULT CVeskar::CloseCheckEx(LONG Cash, LONG PayCheck, LONG Credit, LONG Packing,
                              OutArg<LONG> CheckSum) {
    m_triedToEnd = true;
    HRESULT hr =
        Counter([&](CVSKCore& c) { return c.CloseCheckEx(Cash, PayCheck, Credit, Packing); },
                CheckSum, true);
    ExplainClosing();
    return hr;
}

// The closing answers in its figure, not in its result code (a return's figure is negative, a
// receipt of nothing answers 0): a closing that did not close says why in the call's detail.
void CVeskar::ExplainClosing() {
    if (!IsBound())
        return;
    switch (Core().LastCloseOutcome()) {
        case CVSKCore::CloseOutcome::Closed:
            return;
        case CVSKCore::CloseOutcome::InDoubt:
            KeepFailure(Fault::InDoubt, "in-doubt");
            return;
        case CVSKCore::CloseOutcome::Refused:
        case CVSKCore::CloseOutcome::NotSent:
            KeepFailure();
            if (m_failure.code.empty())
                Explain(Failure(Fault::NotOpen), "no receipt is open");
            return;
    }
}

HRESULT CVeskar::AbortCheck() {
    m_triedToEnd = true;
    return Truth(VSK_ENGINE(core.AbortCheck()));
}

HRESULT CVeskar::GetCheckResult(OutArg<BSTR> CheckResult) {
    return Text(VSK_ENGINE(core.GetCheckResult()), CheckResult, false);
}

HRESULT CVeskar::GetCheckResultXML(OutArg<BSTR> CheckResult) {
    return Text(VSK_ENGINE(core.GetCheckResultXML()), CheckResult, false);
}

// ---- reports -------------------------------------------------------------------------------

HRESULT CVeskar::XReport() {
    return Truth(VSK_ENGINE(core.XReportFromRegisters()));
}
HRESULT CVeskar::XReportAsync() {
    return Truth(VSK_ENGINE(core.XReportFromRegistersAsync()));
}
HRESULT CVeskar::ZReport() {
    return Truth(VSK_ENGINE(core.ZReport()));
}
HRESULT CVeskar::ZReportAsync() {
    return Truth(VSK_ENGINE(core.ZReportAsync()));
}
HRESULT CVeskar::PrintZeroZReport() {
    return Truth(VSK_ENGINE(core.PrintZeroZReport()));
}
HRESULT CVeskar::ArticleReport() {
    return Truth(VSK_ENGINE(core.ArticleReport()));
}
HRESULT CVeskar::DiscountReport() {
    return Truth(VSK_ENGINE(core.DiscountReport()));
}

HRESULT CVeskar::PeriodicalFiscalReport(LONG FirstZReport, LONG LastZReport) {
    return Truth(VSK_ENGINE(core.PeriodicalFiscalReport(Low16(FirstZReport), Low16(LastZReport))));
}

HRESULT CVeskar::PeriodicalFiscalReportDate(DATE DateFrom, DATE DateTo) {
    return Truth(VSK_ENGINE(core.PeriodicalFiscalReportDate(DateFrom, DateTo)));
}

// ---- service and text documents, cash and paper --------------------------------------------

HRESULT CVeskar::OpenTextDocument() {
    return Truth(VSK_ENGINE(core.OpenTextDocument()));
}

HRESULT CVeskar::CloseTextDocument(LONG PrintOnJornal) {
    return Truth(VSK_ENGINE(core.CloseTextDocument(Low16(PrintOnJornal))));
}

HRESULT CVeskar::NullCheck() {
    return Truth(VSK_ENGINE(core.NullCheck()));
}
HRESULT CVeskar::CheckCopy() {
    return Truth(VSK_ENGINE(core.CheckCopy()));
}

HRESULT CVeskar::MoveCash(LONG MoveDirection, LONG CashSum) {
    return Truth(VSK_ENGINE(core.MoveCash(Low16(MoveDirection), CashSum)));
}

HRESULT CVeskar::OpenCashBox() {
    return Truth(VSK_ENGINE(core.OpenCashBox()));
}

HRESULT CVeskar::Feed(LONG LinesToFeed) {
    return Truth(VSK_ENGINE(core.Feed(Low16(LinesToFeed))));
}

HRESULT CVeskar::CutAndBeep(LONG CutterOn, LONG BeepOn, LONG PartialCutOn) {
    return Truth(VSK_ENGINE(core.CutAndBeep(Low16(CutterOn), Low16(BeepOn), Low16(PartialCutOn))));
}

// ---- receipt extras ------------------------------------------------------------------------

HRESULT CVeskar::OpenGoodsGroup(const BSTR& GroupName) {
    return Truth(VSK_ENGINE(core.OpenGoodsGroup(Ansi(GroupName))));
}

HRESULT CVeskar::CloseGoodsGroup(const BSTR& DiscountTotalsName, const BSTR& UpcountTotalsName) {
    return Truth(
        VSK_ENGINE(core.CloseGoodsGroup(Ansi(DiscountTotalsName), Ansi(UpcountTotalsName))));
}

HRESULT CVeskar::SetDiscountUpcountTotalsName(const BSTR& DiscountTotalsName,
                                              const BSTR& UpcountTotalsName) {
    return Truth(VSK_ENGINE(
        core.SetDiscountUpcountTotalsName(Ansi(DiscountTotalsName), Ansi(UpcountTotalsName))));
}

HRESULT CVeskar::Storn() {
    return Truth(VSK_ENGINE(core.Storn()));
}

HRESULT CVeskar::PrintBarcode(LONG BarcodeType, LONG PlaceBelowFiscalPart, LONG PrintOnJornal,
                              const BSTR& Barcode) {
    return Truth(VSK_ENGINE(
        core.PrintBarcode(BarcodeType, PlaceBelowFiscalPart, PrintOnJornal, Ansi(Barcode))));
}

// ---- displays ------------------------------------------------------------------------------

HRESULT CVeskar::PutToDisplay(const BSTR& Line1, const BSTR& Line2) {
    return Truth(VSK_ENGINE(core.PutToDisplay(Ansi(Line1), Ansi(Line2))));
}

HRESULT CVeskar::PutToExternalDisplay(const BSTR& LineText, LONG ClearBeforePut) {
    return Truth(VSK_ENGINE(core.PutToExternalDisplay(Ansi(LineText), ClearBeforePut)));
}

// ---- device and receipt settings -----------------------------------------------------------

HRESULT CVeskar::SetCheckMessagesMode(LONG CheckMessagesMode) {
    return Truth(VSK_ENGINE(core.CheckMessagesMode(Low16(CheckMessagesMode))));
}

HRESULT CVeskar::SetOnSaleTaxesPrintMode(LONG TaxesPrintMode) {
    return Truth(VSK_ENGINE(core.SetOnSaleTaxes(Low16(TaxesPrintMode))));
}

HRESULT CVeskar::SetTaxesCalcMode(LONG SaleTaxesOnTotal) {
    return Truth(VSK_ENGINE(core.SetTaxesCalcMode(SaleTaxesOnTotal)));
}

HRESULT CVeskar::SetDoubledTaxCalcMode(LONG Tax1Index, LONG Tax2Index) {
    return Truth(VSK_ENGINE(core.SetDoubledTaxCalcMode(Tax1Index, Tax2Index)));
}

HRESULT CVeskar::SetPrintingDoubleWidth(LONG On) {
    return Truth(VSK_ENGINE(core.SetPrintingDoubleWidth(Low16(On))));
}

HRESULT CVeskar::SetTableMode(LONG On) {
    return Truth(VSK_ENGINE(core.SetTableMode(Low16(On))));
}

HRESULT CVeskar::SetInternalTime(LONG Hours, LONG Minutes, LONG Seconds) {
    return Truth(VSK_ENGINE(core.SetInternalTime(Low16(Hours), Low16(Minutes), Low16(Seconds))));
}

HRESULT CVeskar::SetDeptAlias(const BSTR& DeptAlias) {
    return Truth(VSK_ENGINE(core.SetDeptAlias(Ansi(DeptAlias))));
}

HRESULT CVeskar::SetCheckHeadLine(const BSTR& CheckText) {
    return Truth(VSK_ENGINE(core.SetCheckHeadLine(Ansi(CheckText))));
}

HRESULT CVeskar::SetCheckBottomLine(const BSTR& CheckLine) {
    return Truth(VSK_ENGINE(core.SetCheckBottomLine(Ansi(CheckLine))));
}

HRESULT CVeskar::SetCheckBottomLineEx(LONG LineIndex, LONG PrintOnJornal, LONG PrintMode,
                                      const BSTR& LineText) {
    return Truth(
        VSK_ENGINE(core.SetCheckBottomLineEx(LineIndex, PrintOnJornal, PrintMode, Ansi(LineText))));
}

HRESULT CVeskar::SetLinePrintingOn() {
    return Truth(VSK_ENGINE(core.SetLinePrintingOn()));
}

HRESULT CVeskar::SetDiscountPrintMode(LONG PrintMode) {
    return Truth(VSK_ENGINE(core.SetDiscountPrintMode(PrintMode)));
}

HRESULT CVeskar::SetContinousPaperPrintMode(LONG ContinousPaper) {
    return Truth(VSK_ENGINE(core.SetContinousPaperPrintMode(ContinousPaper)));
}

HRESULT CVeskar::SetArticleMode(LONG ArticleMode) {
    return Truth(VSK_ENGINE(core.SetArticleMode(ArticleMode)));
}

HRESULT CVeskar::SetCurrentCurrency(const BSTR& CurrencyName) {
    return Truth(VSK_ENGINE(core.SetCurrentCurrency(Ansi(CurrencyName))));
}

// ---- information queries and XML documents -------------------------------------------------

HRESULT CVeskar::GetPrinterConfig(OutArg<BSTR> Config) {
    return Text(VSK_ENGINE(core.GetPrinterConfig()), Config, false);
}

HRESULT CVeskar::GetPrinterConfigXML(LONG RefreshFromPrinter, OutArg<BSTR> VSKPrinterConfigXML) {
    return Text(VSK_ENGINE(core.GetPrinterConfigXML(RefreshFromPrinter != 0)), VSKPrinterConfigXML,
                true);
}

HRESULT CVeskar::GetPrinterKeyPosition(OutArg<LONG> KeyPosition) {
    if (!KeyPosition)
        return E_POINTER;
    if (!IsBound())
        return E_FAIL;
    auto op = VSK_ENGINE(core.GetPrinterKeyPosition());
    if constexpr (std::is_invocable_v<decltype(op)&, CVSKCore&>) {
        int16_t position = op(Core());
        if (position < 0)
            return E_FAIL;
        *KeyPosition = position;
        return S_OK;
    } else {
        return E_NOTIMPL;
    }
}

HRESULT CVeskar::GetPrinterTime(OutArg<BSTR> PrinterTime) {
    return Text(VSK_ENGINE(core.GetPrinterTime()), PrinterTime, false);
}

HRESULT CVeskar::GetArticleInfo(LONG Article, OutArg<BSTR> ArticleInfo) {
    return Text(VSK_ENGINE(core.GetArticleInfo(Low16(Article))), ArticleInfo, false);
}

HRESULT CVeskar::GetArticleInfoXML(LONG Article, OutArg<BSTR> ArticleInfo) {
    return Text(VSK_ENGINE(core.GetArticleInfoXML(Low16(Article))), ArticleInfo, false);
}

HRESULT CVeskar::GetCashInfo(OutArg<BSTR> CashInfo) {
    return Text(VSK_ENGINE(core.GetCashInfo()), CashInfo, false);
}

HRESULT CVeskar::GetCashInfoXML(OutArg<BSTR> CashInfo) {
    return Text(VSK_ENGINE(core.GetCashInfoXML()), CashInfo, false);
}

HRESULT CVeskar::GetFiscalInfo(OutArg<BSTR> FiscalInfo) {
    return Text(VSK_ENGINE(core.GetFiscalInfo()), FiscalInfo, false);
}

HRESULT CVeskar::GetFiscalInfoXML(OutArg<BSTR> FiscalInfo) {
    return Text(VSK_ENGINE(core.GetFiscalInfoXML()), FiscalInfo, false);
}

HRESULT CVeskar::GetTaxesInfo(OutArg<BSTR> TaxesInfo) {
    return Text(VSK_ENGINE(core.GetTaxesInfo()), TaxesInfo, false);
}

HRESULT CVeskar::GetTaxesInfoXML(OutArg<BSTR> TaxesInfo) {
    return Text(VSK_ENGINE(core.GetTaxesInfoXML()), TaxesInfo, true);
}

HRESULT CVeskar::GetDocumentsInfo(OutArg<BSTR> DocumentsInfo) {
    CDocumentsInfo info;
    return Text(VSK_ENGINE(core.GetDocumentsInfo(info)), DocumentsInfo, false);
}

HRESULT CVeskar::GetDocumentsInfoXML(OutArg<BSTR> DocumentsInfoXML) {
    return Text(VSK_ENGINE(core.GetDocumentsInfoXML()), DocumentsInfoXML, false);
}

}  // namespace vsk
