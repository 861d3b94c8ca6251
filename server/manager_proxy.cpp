#include "server/manager_proxy.h"

#include <cstdio>
#include <new>
#include <system_error>
#include <utility>

#include "client/client.h"
#include "engine/operator_ui.h"
#include "platform/codepage.h"
#include "rpc/module.h"
#include "rpc/query_interface.h"
#include "server/port_worker.h"

namespace vsk {

namespace {

// LowGetNextPendingPrinterMessage waits this long whatever the script asks for.
constexpr LONG kPendingMessageWaitMs = 3000;

std::string Hex(HRESULT hr, const char* format) {
    char text[16];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(hr));
    return text;
}

// The name shown for a failure of the platform while InitEx reaches the server.
std::string ComErrorName(HRESULT hr) {
    switch (static_cast<uint32_t>(hr)) {
        case 0x80040155:
            return "REGDB_E_IIDNOTREG";
        case 0x80070057:
            return "E_INVALIDARG";
        case 0x80040154:
            return "REGDB_E_CLASSNOTREG";
        case 0x80004002:
            return "E_NOINTERFACE";
        case 0x80004005:
            return "E_FAIL";
        case 0x8000FFFF:
            return "E_UNEXPECTED";
        default:
            return Hex(hr, "%X");
    }
}

// A status the object never answers itself: the call did not get through (the connection
// broke, the reply was unreadable), the dispatch refused it, or the platform could not find the
// class or interface. Init's own failures are E_FAIL and E_INVALIDARG.
bool IsPlatformFailure(HRESULT hr) {
    const uint32_t facility = static_cast<uint32_t>(hr) & 0xFFFF0000u;
    return FAILED(hr) &&
           (facility == 0x80010000u || facility == 0x80020000u || hr == REGDB_E_IIDNOTREG ||
            hr == REGDB_E_CLASSNOTREG || hr == E_NOINTERFACE || hr == E_UNEXPECTED);
}

std::string Narrow(const BSTR& text) {
    return Utf16ToUtf8(text);
}

}  // namespace

VeskarConnector PlatformVeskarConnector() {
    VeskarConnector c;
    c.createLocal = [](IDispatch** ppObj) {
        return CreateInstance(GuidToString(typelib::CLSID_Veskar), ppObj);
    };
    c.createRemote = [](const std::string& host, IDispatch** ppObj) {
        return CreateInstanceEx(GuidToString(typelib::CLSID_Veskar), host, ppObj);
    };
    return c;
}

CVSKManagerDlgAutoProxy::CVSKManagerDlgAutoProxy(Links links)
    : m_connector(std::move(links.connector)), m_ui(links.ui), m_window(links.window) {
    if (!m_connector.createLocal || !m_connector.createRemote) {
        VeskarConnector platform = PlatformVeskarConnector();
        if (!m_connector.createLocal)
            m_connector.createLocal = std::move(platform.createLocal);
        if (!m_connector.createRemote)
            m_connector.createRemote = std::move(platform.createRemote);
    }
    if (!m_ui) {
        m_ownUi = std::make_unique<HeadlessOperatorUi>();
        m_ui = m_ownUi.get();
    }
    TheModule().Lock();
    if (m_window)
        m_window->AttachProxy(this);
}

CVSKManagerDlgAutoProxy::~CVSKManagerDlgAutoProxy() {
    if (m_window)
        m_window->DetachProxy(this);
    // This runs on the automation loop, which the connected object's server may be: no round
    // trip from here. Breaking the connection releases the object on the server's side.
    {
        std::lock_guard lock(m_channelMutex);
        if (m_channel)
            m_channel->Shutdown();
    }
    // No call is under way (the loop holds a reference for each one), so the worker stops at
    // once; a forwarded call still waiting would have ended with the connection.
    m_worker.reset();
    Disconnect();
    TheModule().Unlock();
}

HRESULT CVSKManagerDlgAutoProxy::CreateInstance(Links links, IDispatch** ppObj) {
    if (!ppObj)
        return E_POINTER;
    *ppObj = nullptr;
    try {
        *ppObj = new CVSKManagerDlgAutoProxy(std::move(links));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CVSKManagerDlgAutoProxy::QueryInterface(const IID& riid, void** ppv) {
    // IDispatch only: IVSKManager is a pure dispatch interface.
    return QueryInterfaceOf(
        this, riid, ppv,
        Answers<IDispatch>{{IID_IUnknown, IID_IDispatch, typelib::IID_IVSKManager}},
        Answers<IAsyncDispatch>{{IID_IAsyncDispatch}});
}

ULONG CVSKManagerDlgAutoProxy::AddRef() {
    return ++m_refs;
}

ULONG CVSKManagerDlgAutoProxy::Release() {
    ULONG left = --m_refs;
    if (left == 0)
        delete this;
    return left;
}

void CVSKManagerDlgAutoProxy::InvokeAsync(DISPID dispId, InvokeKind kind, std::vector<VARIANT> args,
                                          InvokeDone done) {
    if (!m_worker) {
        try {
            m_worker = std::make_unique<CPortWorker>();
        } catch (const std::exception&) {  // no memory or no thread
            done(E_OUTOFMEMORY, VARIANT());
            return;
        }
    }
    m_worker->Post([this, dispId, kind, args = std::move(args), done = std::move(done)]() {
        VARIANT result;
        HRESULT hr = Invoke(dispId, kind, args.data(), unsigned(args.size()), &result);
        done(hr, std::move(result));
    });
}

void CVSKManagerDlgAutoProxy::CancelInvoke() {
    std::lock_guard lock(m_channelMutex);
    if (m_channel)
        m_channel->Shutdown();
}

HRESULT CVSKManagerDlgAutoProxy::Adopt(IDispatch* created) {
    IVeskar* veskar = nullptr;
    HRESULT hr = QueryVeskar(created, &veskar);
    std::shared_ptr<CRpcChannel> channel;
    if (auto* remote = dynamic_cast<CRemoteObject*>(created))
        channel = remote->Channel();
    created->Release();
    if (FAILED(hr) || !veskar)
        return FAILED(hr) ? hr : E_NOINTERFACE;
    m_veskar = veskar;
    std::lock_guard lock(m_channelMutex);
    m_channel = std::move(channel);
    return S_OK;
}

void CVSKManagerDlgAutoProxy::Disconnect() {
    IVeskar* veskar = std::exchange(m_veskar, nullptr);
    {
        std::lock_guard lock(m_channelMutex);
        m_channel.reset();
    }
    // The object goes when this was its last reference, which detaches it from its port as
    // its Done would; IVeskar::Done itself is not called.
    if (veskar)
        veskar->Release();
}

void CVSKManagerDlgAutoProxy::Show(const std::string& text) {
    m_ui->MessageBox(text, MsgIcon::Stop, MsgButtons::Ok);
}

template <class F>
LONG CVSKManagerDlgAutoProxy::Truth(F&& call) {
    return m_veskar && SUCCEEDED(call(*m_veskar)) ? 1 : 0;
}

template <class F>
LONG CVSKManagerDlgAutoProxy::Value(F&& call, LONG failure) {
    if (!m_veskar)
        return failure;
    LONG value = failure;
    return SUCCEEDED(call(*m_veskar, &value)) ? value : failure;
}

template <class F>
BSTR CVSKManagerDlgAutoProxy::Text(F&& call) {
    if (!m_veskar)
        return {};
    BSTR text;
    return SUCCEEDED(call(*m_veskar, &text)) ? text : BSTR();
}

// ---- connecting ---------------------------------------------------------------------------

LONG CVSKManagerDlgAutoProxy::Init(LONG PortNumber, const BSTR& CashierName,
                                   const BSTR& CashierPassword, LONG ShowStatusDialogs,
                                   const BSTR& CallerApplicationName) {
    Disconnect();
    try {
        IDispatch* created = nullptr;
        if (FAILED(m_connector.createLocal(&created)) || !created)
            return 0;
        if (FAILED(Adopt(created)))
            return 0;
        if (FAILED(m_veskar->Init(PortNumber, CashierName, CashierPassword, ShowStatusDialogs,
                                  CallerApplicationName)))
            Disconnect();
    } catch (const std::bad_alloc&) {
        // An object whose Init did not complete is no connection.
        Disconnect();
    }
    return m_veskar ? 1 : 0;
}

LONG CVSKManagerDlgAutoProxy::InitEx(LONG PortNumber, const BSTR& CashierName,
                                     const BSTR& CashierPassword, LONG ShowStatusDialogs,
                                     const BSTR& CallerApplicationName,
                                     const BSTR& RemoteHostName) {
    Disconnect();
    const bool tell = ShowStatusDialogs != 0;
    try {
        // No computer named: this one, as the platform's extended creation does.
        IDispatch* created = nullptr;
        HRESULT hr = RemoteHostName.empty()
                         ? m_connector.createLocal(&created)
                         : m_connector.createRemote(Narrow(RemoteHostName), &created);
        if (FAILED(hr) || !created) {
            if (tell)
                Show("CoCreateInstanceEx failed: " + Hex(FAILED(hr) ? hr : E_FAIL, "%x") + "\n");
        } else if (FAILED(Adopt(created))) {
            if (tell)
                Show("Error connecting to VSKManager server: " + Hex(hr, "%x") + "\n");
        }
        if (m_veskar) {
            HRESULT init = m_veskar->Init(PortNumber, CashierName, CashierPassword,
                                          ShowStatusDialogs, CallerApplicationName);
            if (IsPlatformFailure(init)) {
                if (tell)
                    Show("[ERROR] COM error while accessing the VSKManager server: " +
                         ComErrorName(init) + "\n");
                Disconnect();
            } else if (FAILED(init)) {
                if (tell)
                    Show("m_iVeskar->Init failed");
                Disconnect();
            }
        }
    } catch (const std::bad_alloc& e) {
        if (tell)
            Show("[ERROR] " + std::string(e.what()).substr(0, 1024));
        Disconnect();
    }
    return m_veskar ? 1 : 0;
}

LONG CVSKManagerDlgAutoProxy::Done() {
    if (!m_veskar)
        return 0;
    Disconnect();
    return 1;
}

BSTR CVSKManagerDlgAutoProxy::LowGetNextPendingPrinterMessage(LONG /*TimeoutInMilliseconds*/) {
    return Text([&](IVeskar& v, BSTR* out) {
        return v.LowGetNextPendingPrinterMessage(kPendingMessageWaitMs, out);
    });
}

// ---- properties: nothing is stored here, a get is computed each time ---------------------

LONG CVSKManagerDlgAutoProxy::GetCheckSumm() {
    return Value([&](IVeskar& v, LONG* out) { return v.GetCheckSum(out); }, 0);
}
void CVSKManagerDlgAutoProxy::PutCheckSumm(LONG) {}

LONG CVSKManagerDlgAutoProxy::GetCheckOnSaleTaxes() {
    return Value([&](IVeskar& v, LONG* out) { return v.GetCheckOnSaleTaxes(out); }, 0);
}
void CVSKManagerDlgAutoProxy::PutCheckOnSaleTaxes(LONG) {}

LONG CVSKManagerDlgAutoProxy::GetCheckReturnSumm() {
    return Value([&](IVeskar& v, LONG* out) { return v.GetCheckReturnSum(out); }, 0);
}
void CVSKManagerDlgAutoProxy::PutCheckReturnSumm(LONG) {}

LONG CVSKManagerDlgAutoProxy::GetCheckReturnOnSaleTaxes() {
    return Value([&](IVeskar& v, LONG* out) { return v.GetCheckReturnOnSaleTaxes(out); }, 0);
}
void CVSKManagerDlgAutoProxy::PutCheckReturnOnSaleTaxes(LONG) {}

// The two switches are per port and shared by its clients: the proxy does not pretend to
// know their state.
LONG CVSKManagerDlgAutoProxy::GetShowStatusDialogs() {
    return 0;
}
void CVSKManagerDlgAutoProxy::PutShowStatusDialogs(LONG value) {
    Truth([&](IVeskar& v) { return v.SetShowPrinterStatus(value); });
}

LONG CVSKManagerDlgAutoProxy::GetShowErrorMessages() {
    return 0;
}
void CVSKManagerDlgAutoProxy::PutShowErrorMessages(LONG value) {
    Truth([&](IVeskar& v) { return v.SetShowErrorMessages(value); });
}

BSTR CVSKManagerDlgAutoProxy::GetLastErrorMessage() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetLastErrorMessage(out); });
}
void CVSKManagerDlgAutoProxy::PutLastErrorMessage(const BSTR&) {}

// Passwords are written, never read back.
BSTR CVSKManagerDlgAutoProxy::GetRegistrationModePassword() {
    return u"HIDDEN";
}
void CVSKManagerDlgAutoProxy::PutRegistrationModePassword(const BSTR& value) {
    Truth([&](IVeskar& v) { return v.SetRegistrationModePassword(value); });
}

BSTR CVSKManagerDlgAutoProxy::GetReportModePassword() {
    return u"HIDDEN";
}
void CVSKManagerDlgAutoProxy::PutReportModePassword(const BSTR& value) {
    Truth([&](IVeskar& v) { return v.SetReportsModePassword(value); });
}

BSTR CVSKManagerDlgAutoProxy::GetProgrammingModePassword() {
    return u"HIDDEN";
}
void CVSKManagerDlgAutoProxy::PutProgrammingModePassword(const BSTR& value) {
    Truth([&](IVeskar& v) { return v.SetProgrammingModePassword(value); });
}

BSTR CVSKManagerDlgAutoProxy::GetLastErrorCode() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetLastErrorCode(out); });
}
void CVSKManagerDlgAutoProxy::PutLastErrorCode(const BSTR&) {}

LONG CVSKManagerDlgAutoProxy::GetLastLineTaxes() {
    return Value([&](IVeskar& v, LONG* out) { return v.GetLastLineTaxes(out); }, 0);
}
void CVSKManagerDlgAutoProxy::PutLastLineTaxes(LONG) {}

// ---- forwarded members ---------------------------------------------------------------------

LONG CVSKManagerDlgAutoProxy::GetPortNumber() {
    return Value([&](IVeskar& v, LONG* out) { return v.GetPortNumber(out); }, 0);
}

LONG CVSKManagerDlgAutoProxy::LockPrinter(LONG TimeoutInMilliseconds) {
    return Truth([&](IVeskar& v) { return v.LockPrinter(TimeoutInMilliseconds); });
}

LONG CVSKManagerDlgAutoProxy::UnlockPrinter() {
    return Truth([&](IVeskar& v) { return v.UnlockPrinter(); });
}

LONG CVSKManagerDlgAutoProxy::LowSendMessageToPrinter(const BSTR& TextMessage) {
    return Truth([&](IVeskar& v) { return v.LowSendMessageToPrinter(TextMessage); });
}

LONG CVSKManagerDlgAutoProxy::SetShowPrinterStatus(LONG ShowStatus) {
    return Truth([&](IVeskar& v) { return v.SetShowPrinterStatus(ShowStatus); });
}

BSTR CVSKManagerDlgAutoProxy::GetPrinterSerialNumber() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetPrinterSerialNumber(out); });
}

BSTR CVSKManagerDlgAutoProxy::GetPrinterConfigXML(LONG RefreshFromPrinter) {
    return Text(
        [&](IVeskar& v, BSTR* out) { return v.GetPrinterConfigXML(RefreshFromPrinter, out); });
}

LONG CVSKManagerDlgAutoProxy::SetCheckMessagesMode(LONG Mode) {
    return Truth([&](IVeskar& v) { return v.SetCheckMessagesMode(Mode); });
}

LONG CVSKManagerDlgAutoProxy::OpenCheck(const BSTR& Department) {
    return Truth([&](IVeskar& v) { return v.OpenCheck(Department); });
}

LONG CVSKManagerDlgAutoProxy::SetReturnCheckNumber(LONG CheckNumber) {
    return Truth([&](IVeskar& v) { return v.SetReturnCheckNumber(CheckNumber); });
}

LONG CVSKManagerDlgAutoProxy::OpenReturnCheck(const BSTR& DepartmentName) {
    return Truth([&](IVeskar& v) { return v.OpenReturnCheck(DepartmentName); });
}

LONG CVSKManagerDlgAutoProxy::LongName(const BSTR& Name) {
    return Truth([&](IVeskar& v) { return v.LongName(Name); });
}

LONG CVSKManagerDlgAutoProxy::SetCurrentCheckDirection(LONG Direction) {
    return Truth([&](IVeskar& v) { return v.SetCurrentCheckDirection(Direction); });
}

LONG CVSKManagerDlgAutoProxy::FiscalLine(const BSTR& GoodName, LONG Qty, LONG Price,
                                         LONG GoodsDividual, LONG Tax1Index, LONG Tax2Index,
                                         LONG Article) {
    return Value(
        [&](IVeskar& v, LONG* out) {
            return v.FiscalLine(GoodName, Qty, Price, GoodsDividual, Tax1Index, Tax2Index, Article,
                                out);
        },
        0);
}

LONG CVSKManagerDlgAutoProxy::FiscalLineEx(const BSTR& GoodsName, LONG Qty, LONG Price,
                                           LONG GoodsDividual, LONG Tax1Index, LONG Tax2Index,
                                           LONG Article, LONG DiscountDirection,
                                           const BSTR& DiscountName, LONG Discount) {
    return Value(
        [&](IVeskar& v, LONG* out) {
            return v.FiscalLineEx(GoodsName, Qty, Price, GoodsDividual, Tax1Index, Tax2Index,
                                  Article, DiscountDirection, DiscountName, Discount, out);
        },
        0);
}

LONG CVSKManagerDlgAutoProxy::FreeTextLine(LONG PlaceBeforeFiscalPart, LONG PrintOnJornal,
                                           LONG DoubleStrike, const BSTR& TextMessage) {
    return Truth([&](IVeskar& v) {
        return v.FreeTextLine(PlaceBeforeFiscalPart, PrintOnJornal, DoubleStrike, TextMessage);
    });
}

LONG CVSKManagerDlgAutoProxy::ClearFreeTextLines() {
    return Truth([&](IVeskar& v) { return v.ClearFreeTextLines(); });
}

LONG CVSKManagerDlgAutoProxy::CloseCheck() {
    return Value([&](IVeskar& v, LONG* out) { return v.CloseCheck(out); }, 0);
}

LONG CVSKManagerDlgAutoProxy::CloseCheckEx(LONG Cash, LONG PayCheck, LONG Credit, LONG Packing) {
    return Value(
        [&](IVeskar& v, LONG* out) { return v.CloseCheckEx(Cash, PayCheck, Credit, Packing, out); },
        0);
}

LONG CVSKManagerDlgAutoProxy::AbortCheck() {
    return Truth([&](IVeskar& v) { return v.AbortCheck(); });
}

BSTR CVSKManagerDlgAutoProxy::GetCheckResult() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetCheckResult(out); });
}

LONG CVSKManagerDlgAutoProxy::CheckCopy() {
    return Truth([&](IVeskar& v) { return v.CheckCopy(); });
}

LONG CVSKManagerDlgAutoProxy::SetOnSaleTaxes(LONG On) {
    return Truth([&](IVeskar& v) { return v.SetOnSaleTaxesPrintMode(On); });
}

LONG CVSKManagerDlgAutoProxy::MoveCash(LONG MoveDirection, LONG CashSum) {
    return Truth([&](IVeskar& v) { return v.MoveCash(MoveDirection, CashSum); });
}

BSTR CVSKManagerDlgAutoProxy::GetPrinterConfig() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetPrinterConfig(out); });
}

LONG CVSKManagerDlgAutoProxy::GetPrinterKeyPosition() {
    return Value([&](IVeskar& v, LONG* out) { return v.GetPrinterKeyPosition(out); }, -1);
}

BSTR CVSKManagerDlgAutoProxy::GetArticleInfoXML(LONG Article) {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetArticleInfoXML(Article, out); });
}

BSTR CVSKManagerDlgAutoProxy::GetArticleInfo(LONG Article) {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetArticleInfo(Article, out); });
}

BSTR CVSKManagerDlgAutoProxy::GetPrinterTime() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetPrinterTime(out); });
}

BSTR CVSKManagerDlgAutoProxy::GetCashInfoXML() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetCashInfoXML(out); });
}

BSTR CVSKManagerDlgAutoProxy::GetCashInfo() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetCashInfo(out); });
}

BSTR CVSKManagerDlgAutoProxy::GetFiscalInfoXML() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetFiscalInfoXML(out); });
}

BSTR CVSKManagerDlgAutoProxy::GetFiscalInfo() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetFiscalInfo(out); });
}

BSTR CVSKManagerDlgAutoProxy::GetTaxesInfoXML() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetTaxesInfoXML(out); });
}

BSTR CVSKManagerDlgAutoProxy::GetTaxesInfo() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetTaxesInfo(out); });
}

LONG CVSKManagerDlgAutoProxy::OpenTextDocument() {
    return Truth([&](IVeskar& v) { return v.OpenTextDocument(); });
}

LONG CVSKManagerDlgAutoProxy::CloseTextDocument(LONG PrintOnJornal) {
    return Truth([&](IVeskar& v) { return v.CloseTextDocument(PrintOnJornal); });
}

LONG CVSKManagerDlgAutoProxy::NullCheck() {
    return Truth([&](IVeskar& v) { return v.NullCheck(); });
}

LONG CVSKManagerDlgAutoProxy::XReport() {
    return Truth([&](IVeskar& v) { return v.XReport(); });
}

LONG CVSKManagerDlgAutoProxy::ZReport() {
    return Truth([&](IVeskar& v) { return v.ZReport(); });
}

LONG CVSKManagerDlgAutoProxy::ArticleReport() {
    return Truth([&](IVeskar& v) { return v.ArticleReport(); });
}

LONG CVSKManagerDlgAutoProxy::DiscountReport() {
    return Truth([&](IVeskar& v) { return v.DiscountReport(); });
}

LONG CVSKManagerDlgAutoProxy::PeriodicalFiscalReport(LONG FirstZReport, LONG LastZReport) {
    return Truth([&](IVeskar& v) { return v.PeriodicalFiscalReport(FirstZReport, LastZReport); });
}

LONG CVSKManagerDlgAutoProxy::PeriodicalFiscalReportDate(DATE DateFrom, DATE DateTo) {
    return Truth([&](IVeskar& v) { return v.PeriodicalFiscalReportDate(DateFrom, DateTo); });
}

LONG CVSKManagerDlgAutoProxy::Feed(LONG LinesToFeed) {
    return Truth([&](IVeskar& v) { return v.Feed(LinesToFeed); });
}

LONG CVSKManagerDlgAutoProxy::SetPrintingDoubleWidth(LONG DoubleWidth) {
    return Truth([&](IVeskar& v) { return v.SetPrintingDoubleWidth(DoubleWidth); });
}

LONG CVSKManagerDlgAutoProxy::SetTableMode(LONG TableMode) {
    return Truth([&](IVeskar& v) { return v.SetTableMode(TableMode); });
}

LONG CVSKManagerDlgAutoProxy::PutToDisplay(const BSTR& Line1, const BSTR& Line2) {
    return Truth([&](IVeskar& v) { return v.PutToDisplay(Line1, Line2); });
}

LONG CVSKManagerDlgAutoProxy::OpenCashBox() {
    return Truth([&](IVeskar& v) { return v.OpenCashBox(); });
}

LONG CVSKManagerDlgAutoProxy::CutAndBeep(LONG CutterOn, LONG BeepOn, LONG PartialCutOn) {
    return Truth([&](IVeskar& v) { return v.CutAndBeep(CutterOn, BeepOn, PartialCutOn); });
}

LONG CVSKManagerDlgAutoProxy::SetInternalTime(LONG Hours, LONG Minutes, LONG Seconds) {
    return Truth([&](IVeskar& v) { return v.SetInternalTime(Hours, Minutes, Seconds); });
}

LONG CVSKManagerDlgAutoProxy::SetDeptAlias(const BSTR& Alias) {
    return Truth([&](IVeskar& v) { return v.SetDeptAlias(Alias); });
}

LONG CVSKManagerDlgAutoProxy::SetCheckHeadLine(const BSTR& CheckHeadLine) {
    return Truth([&](IVeskar& v) { return v.SetCheckHeadLine(CheckHeadLine); });
}

LONG CVSKManagerDlgAutoProxy::SetCheckBottomLine(const BSTR& CheckBottomLine) {
    return Truth([&](IVeskar& v) { return v.SetCheckBottomLine(CheckBottomLine); });
}

BSTR CVSKManagerDlgAutoProxy::GetCheckResultXML() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetCheckResultXML(out); });
}

LONG CVSKManagerDlgAutoProxy::SetTaxesCalcMode(LONG SaleTaxesOnTotal) {
    return Truth([&](IVeskar& v) { return v.SetTaxesCalcMode(SaleTaxesOnTotal); });
}

LONG CVSKManagerDlgAutoProxy::XReportAsync() {
    return Truth([&](IVeskar& v) { return v.XReportAsync(); });
}

LONG CVSKManagerDlgAutoProxy::ZReportAsync() {
    return Truth([&](IVeskar& v) { return v.ZReportAsync(); });
}

LONG CVSKManagerDlgAutoProxy::SetArticleMode(LONG ArticleMode) {
    return Truth([&](IVeskar& v) { return v.SetArticleMode(ArticleMode); });
}

BSTR CVSKManagerDlgAutoProxy::GetDocumentsInfo() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetDocumentsInfo(out); });
}

BSTR CVSKManagerDlgAutoProxy::GetDocumentsInfoXML() {
    return Text([&](IVeskar& v, BSTR* out) { return v.GetDocumentsInfoXML(out); });
}

LONG CVSKManagerDlgAutoProxy::SetReturnCheckNumberStr(const BSTR& CheckNumbers) {
    return Truth([&](IVeskar& v) { return v.SetReturnCheckNumberStr(CheckNumbers); });
}

LONG CVSKManagerDlgAutoProxy::SetLinePrintingOn() {
    return Truth([&](IVeskar& v) { return v.SetLinePrintingOn(); });
}

LONG CVSKManagerDlgAutoProxy::SetCheckBottomLineEx(LONG LineIndex, LONG PrintOnJornal,
                                                   LONG PrintMode, const BSTR& LineText) {
    return Truth([&](IVeskar& v) {
        return v.SetCheckBottomLineEx(LineIndex, PrintOnJornal, PrintMode, LineText);
    });
}

LONG CVSKManagerDlgAutoProxy::SetDiscountPrintMode(LONG PrintMode) {
    return Truth([&](IVeskar& v) { return v.SetDiscountPrintMode(PrintMode); });
}

LONG CVSKManagerDlgAutoProxy::SetContinousPaperPrintMode(LONG ContinousPaper) {
    return Truth([&](IVeskar& v) { return v.SetContinousPaperPrintMode(ContinousPaper); });
}

LONG CVSKManagerDlgAutoProxy::OpenGoodsGroup(const BSTR& GroupName) {
    return Truth([&](IVeskar& v) { return v.OpenGoodsGroup(GroupName); });
}

LONG CVSKManagerDlgAutoProxy::CloseGoodsGroup(const BSTR& DiscountTotalsName,
                                              const BSTR& UpcountTotalsName) {
    return Truth(
        [&](IVeskar& v) { return v.CloseGoodsGroup(DiscountTotalsName, UpcountTotalsName); });
}

LONG CVSKManagerDlgAutoProxy::SetCurrentCurrency(const BSTR& CurrencyName) {
    return Truth([&](IVeskar& v) { return v.SetCurrentCurrency(CurrencyName); });
}

LONG CVSKManagerDlgAutoProxy::PutToExternalDisplay(const BSTR& LineText, LONG ClearBeforePut) {
    return Truth([&](IVeskar& v) { return v.PutToExternalDisplay(LineText, ClearBeforePut); });
}

LONG CVSKManagerDlgAutoProxy::Storn() {
    return Truth([&](IVeskar& v) { return v.Storn(); });
}

LONG CVSKManagerDlgAutoProxy::SetDiscountUpcountTotalsName(const BSTR& DiscountTotalsName,
                                                           const BSTR& UpcountTotalsName) {
    return Truth([&](IVeskar& v) {
        return v.SetDiscountUpcountTotalsName(DiscountTotalsName, UpcountTotalsName);
    });
}

LONG CVSKManagerDlgAutoProxy::SetDoubledTaxCalcMode(LONG Tax1Index, LONG Tax2Index) {
    return Truth([&](IVeskar& v) { return v.SetDoubledTaxCalcMode(Tax1Index, Tax2Index); });
}

LONG CVSKManagerDlgAutoProxy::PrintBarcode(LONG BarcodeType, LONG PlaceBelowFiscalPart,
                                           LONG PrintOnJornal, const BSTR& Barcode) {
    return Truth([&](IVeskar& v) {
        return v.PrintBarcode(BarcodeType, PlaceBelowFiscalPart, PrintOnJornal, Barcode);
    });
}

LONG CVSKManagerDlgAutoProxy::PrintZeroZReport() {
    return Truth([&](IVeskar& v) { return v.PrintZeroZReport(); });
}

}  // namespace vsk
