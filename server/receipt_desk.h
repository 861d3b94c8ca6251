// The server's side of a whole receipt over HTTP: each is sold through a Veskar object of its
// own, as a client of the socket would sell it (the same binding, lock queue, port worker,
// ledger rows and failure details), but called directly, typed, without a wire in between.
// The object of a port's last receipt stays bound for the next one of the same cashier, so
// that it neither opens the port nor reads the register's configuration again.
//
// Threading: Sell and Settle run on the HTTP listener's threads, one receipt per thread; a
// desk's object is used by one request at a time (a busy one is not shared), so its calls need
// no lock of their own. The kept bindings are guarded by the desk's mutex.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "http/receipt_desk.h"
#include "rpc/com_types.h"
#include "rpc/dispatcher.h"
#include "rpc/failure_detail.h"

class CVSKPortManager;

namespace vsk {

class CLedger;
class CVeskar;

class CReceiptDesk final : public IReceiptDesk {
public:
    // Both outlive the desk; `ledger` may be null.
    CReceiptDesk(CVSKPortManager& ports, CLedger* ledger);
    ~CReceiptDesk() override;  // lets go of every kept binding
    CReceiptDesk(const CReceiptDesk&) = delete;
    CReceiptDesk& operator=(const CReceiptDesk&) = delete;

    ReceiptOutcome Sell(int port, const WholeReceipt& receipt, const std::string& key) override;
    OperationOutcome Operate(int port, const DeskOperation& operation) override;
    ReadingOutcome Read(int port, DeskReading what, const DeskSignon& who) override;
    void Settle(int port, const WholeReceipt& receipt) override;
    std::optional<int64_t> LineSum(const WholeReceipt::Line& line) const override;
    void Sweep(std::chrono::seconds idle) override;
    void Stop() override;

    // How long a receipt waits for the port's lock held by another client.
    static constexpr uint32_t kLockWaitMs = 10000;

private:
    // One call's answer: its result, its value and the object's detail of it.
    struct Call {
        HRESULT hr = E_FAIL;
        VARIANT value;
        FailureDetail detail;
        bool Ok() const { return hr == S_OK; }
    };
    struct Binding {
        CVeskar* object = nullptr;  // one reference, the desk's
        std::string cashier, password, client;
        bool busy = false;
        std::chrono::steady_clock::time_point idleSince;
    };

    // A binding in a request's hands; `keep`: kept for the next request afterwards.
    struct Held {
        Binding binding;
        bool keep = true;
    };
    // Why a request could not go on.
    struct Why {
        Failure failure;
        std::string message, step;
        bool ending = false;
    };

    Call Invoke(CVeskar* object, VeskarDispId id, std::vector<VARIANT> args);
    // A new object bound to `port` by Init; nullopt (with *init saying why) when Init refused.
    std::optional<Binding> Bind(int port, const DeskSignon& who, Call* init);
    // The port's binding for `who`: the kept one when it is free and bound for the same
    // signon (with `anyKept`, whoever it is bound for), else a new one; with `lock`, holding
    // the port's lock. nullopt with *why when it cannot be had.
    std::optional<Held> Hold(int port, const DeskSignon& who, bool anyKept, bool lock, Why* why);
    void Release(int port, Held held, bool locked, bool unbind);
    static Why WhyOf(const Call& call, const std::string& step);
    OperationOutcome OperateLocked(int port, CVeskar* object, const DeskOperation& operation);
    ReadingOutcome ReadBound(int port, CVeskar* object, DeskReading what);
    void LetGo(Binding& binding);
    // After the receipt: the binding is kept for the next one unless `unbind`.
    void Finish(int port, Binding binding, bool keep, bool unbind);
    ReceiptOutcome PrintLocked(int port, CVeskar* object, const WholeReceipt& receipt,
                               const std::string& key);
    static ReceiptOutcome Refusal(const Call& call, const std::string& step);
    ReceiptOutcome Close(int port, CVeskar* object, const WholeReceipt& receipt, int64_t total);
    bool Stopping();

    CVSKPortManager& m_ports;
    CLedger* m_ledger;
    std::mutex m_mutex;
    bool m_stopping = false;
    std::map<int, Binding> m_kept;
};

}  // namespace vsk
