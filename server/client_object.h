// CVeskar: the object behind each Veskar instance a client creates. It binds its client to one
// serial port through the port registry and forwards every other method to the port's engine,
// converting arguments (UTF-16 -> Windows-1251, the 16-bit inputs) and turning engine results
// into HRESULTs and out values. It keeps no device state besides the binding.
//
// Threading: created, released and reference-counted on the automation loop's thread. Through
// InvokeAsync a call of a bound object runs on its port's worker and a LockPrinter that has to
// wait parks in the port's queue of waiters; one call of an object is under way at a time (its
// connection waits for each reply), so the object's own fields need no lock. Called directly
// (in process), every method runs on the caller's thread.
#pragma once

#include <functional>
#include <string>

#include "resources/failure.h"
#include "rpc/async_dispatch.h"
#include "rpc/dispatcher.h"
#include "rpc/failure_detail.h"

class CVSKCore;
class CVSKPortDescriptor;
class CVSKPortManager;

namespace vsk {

class CLedger;

class CVeskar final : public IVeskarDispatchImpl, public IAsyncDispatch, public IFailureDetail {
public:
    // Takes one module lock for its lifetime.
    // `ledger` (may be null) gets a row for every receipt this object opens (its port's
    // recorder writes them), and settles what a killed server left at the port's first binding.
    explicit CVeskar(CVSKPortManager& ports, CLedger* ledger = nullptr);
    static HRESULT CreateInstance(CVSKPortManager& ports, IDispatch** ppObj,
                                  CLedger* ledger = nullptr);

    HRESULT QueryInterface(const IID& riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    void InvokeAsync(DISPID dispId, InvokeKind kind, std::vector<VARIANT> args,
                     InvokeDone done) override;
    void CancelInvoke() override;
    bool TakeFailureDetail(FailureDetail* detail) override;

#define VSK_METHOD(id, name, help, ...) HRESULT name(VSK_PP_MAP(VSK_PP_SIG, __VA_ARGS__)) override;
#include "rpc/veskar_methods.def"
#undef VSK_METHOD

private:
    ~CVeskar();
    bool IsBound() const {
        return m_lPortNumber > 0 && m_pDescriptor != nullptr;
    }
    CVSKCore& Core() const;
    void Detach();
    // UTF-16 -> Windows-1251; characters outside it become '?' and are journaled.
    std::string Ansi(const BSTR& text);
    void ReportUnmapped();
    // The engine's last error code and message, kept for TakeFailureDetail; `whenSilent` names
    // what the call's outcome makes of it (a closing in doubt, a command never confirmed).
    void KeepFailure(Fault whenSilent = Fault::Refused, const std::string& outcome = {});
    HRESULT Explain(const Failure& failure, const std::string& message,
                    const std::string& outcome = {});
    void ExplainFailure(HRESULT hr);
    void ExplainUnconfirmed();
    void SettleAfterCrash();
    // Tells the port's recorder that this object's call runs now.
    void AnnounceCaller();
    // Why a call's text arguments cannot go to the register ("" when they can).
    static std::string ControlCharacterIn(VeskarDispId id, const std::vector<VARIANT>& args);

    HRESULT OpenReceipt(bool isReturn, const BSTR& department);
    void ExplainClosing();
    // A call refused by this object before anything was sent, with its reason.
    HRESULT Refuse(Fault fault, const std::string& why);

    template <class F>
    HRESULT Truth(F&& op);
    template <class F>
    HRESULT Text(F&& op, OutArg<BSTR> out, bool mayBeEmpty);
    template <class F>
    HRESULT Counter(F&& op, OutArg<LONG> out, bool zeroWhenUnbound);

    CVSKPortManager& m_ports;
    ULONG m_refs = 1;
    int32_t m_lPortNumber = -1;
    CVSKPortDescriptor* m_pDescriptor = nullptr;
    std::string m_szCallerApplicationName;  // Windows-1251
    size_t m_unmappedCharacters = 0;        // not yet journaled
    FailureDetail m_failure;                // of the last call, when it failed
    uint64_t m_lockWait = 0;                // the parked LockPrinter of the call under way, if any
    CLedger* m_ledger = nullptr;
    // The client asked to close or cancel the receipt it opened last: should it let go with
    // that receipt open, the register is blamed, not the client.
    bool m_triedToEnd = false;
    std::string m_szCashier;  // this object's own cashier (Init), Windows-1251
};

}  // namespace vsk
