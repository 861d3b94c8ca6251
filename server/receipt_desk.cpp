#include "server/receipt_desk.h"

#include <condition_variable>
#include <memory>

#include "engine/line_sum.h"
#include "engine/vsk_core.h"
#include "ledger/ledger.h"
#include "rpc/json.h"
#include "server/client_object.h"
#include "server/port_registry.h"

namespace vsk {
namespace {

VARIANT Long(int64_t v) {
    return VARIANT::FromLong(static_cast<LONG>(v));
}

// The body was valid JSON, so its texts are valid UTF-8.
VARIANT Text(const std::string& utf8) {
    return VARIANT::FromBstr(Utf8ToUtf16(utf8).value_or(BSTR()));
}

ReceiptOutcome Failed(Failure failure, std::string message, std::string step) {
    ReceiptOutcome out;
    out.end = ReceiptOutcome::End::NotPrinted;
    out.failure = std::move(failure);
    out.message = std::move(message);
    out.step = std::move(step);
    return out;
}

ReceiptOutcome Ending(std::string step) {
    ReceiptOutcome out;
    out.end = ReceiptOutcome::End::Ending;
    out.failure = Failure(Fault::Ending);
    out.step = std::move(step);
    return out;
}

}  // namespace

// A call's failure in the register's words, or the object's when the register said nothing.
ReceiptOutcome CReceiptDesk::Refusal(const Call& call, const std::string& step) {
    const std::string word = call.detail.code.empty() ? "E_FAIL" : call.detail.code;
    // The object names the kind; a word alone (an older detail) is looked up.
    Fault fault = FaultOfName(call.detail.kind, FaultOfWord(word));
    if (call.hr == CONTEXT_E_SYNCH_TIMEOUT)
        fault = Fault::LockTimeout;
    return Failed(Failure(fault, word, 0),
                  call.detail.message.empty()
                      ? step + " failed (hr " + std::to_string(call.hr) + ")"
                      : call.detail.message,
                  step);
}

CReceiptDesk::CReceiptDesk(CVSKPortManager& ports, CLedger* ledger)
    : m_ports(ports), m_ledger(ledger) {}

CReceiptDesk::~CReceiptDesk() {
    Stop();
    std::map<int, Binding> kept;
    {
        std::lock_guard lock(m_mutex);
        kept.swap(m_kept);
    }
    for (auto& [port, binding] : kept)
        LetGo(binding);
}

void CReceiptDesk::Stop() {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
}

bool CReceiptDesk::Stopping() {
    std::lock_guard lock(m_mutex);
    return m_stopping || m_ports.Ending();
}

std::optional<int64_t> CReceiptDesk::LineSum(const WholeReceipt::Line& line) const {
    const auto figures =
        vsk::LineSum(line.qty, line.price, line.weighed, line.direction, line.discount);
    if (!figures)
        return std::nullopt;
    return figures->total;
}

CReceiptDesk::Call CReceiptDesk::Invoke(CVeskar* object, VeskarDispId id,
                                        std::vector<VARIANT> args) {
    struct Answer {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        HRESULT hr = E_FAIL;
        VARIANT value;
    };
    auto answer = std::make_shared<Answer>();
    object->InvokeAsync(static_cast<DISPID>(id), InvokeKind::Method, std::move(args),
                        [answer](HRESULT hr, VARIANT value) {
                            std::lock_guard lock(answer->mutex);
                            answer->hr = hr;
                            answer->value = std::move(value);
                            answer->done = true;
                            answer->cv.notify_all();
                        });
    // A call that talks to the register ends within the engine's own time-outs. A wait for the
    // lock ends when its time is up (the automation loop's timer), or here a little later
    // should the loop no longer run, and at once when the server ends.
    const auto giveUpLockAt = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(kLockWaitMs) + std::chrono::seconds(2);
    bool cancelled = false;
    std::unique_lock lock(answer->mutex);
    while (
        !answer->cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return answer->done; })) {
        if (id != VeskarDispId::LockPrinter || cancelled)
            continue;
        lock.unlock();
        if (Stopping() || std::chrono::steady_clock::now() > giveUpLockAt) {
            object->CancelInvoke();
            cancelled = true;
        }
        lock.lock();
    }
    Call call;
    call.hr = answer->hr;
    call.value = std::move(answer->value);
    lock.unlock();
    object->TakeFailureDetail(&call.detail);
    return call;
}

std::optional<CReceiptDesk::Binding> CReceiptDesk::Bind(int port, const WholeReceipt& receipt,
                                                        Call* init) {
    Binding binding;
    binding.object = new CVeskar(m_ports, m_ledger);
    binding.cashier = receipt.cashier;
    binding.password = receipt.password;
    binding.client = receipt.client;
    binding.busy = true;
    *init = Invoke(
        binding.object, VeskarDispId::Init,
        {Long(port), Text(receipt.cashier), Text(receipt.password), Long(0), Text(receipt.client)});
    if (init->Ok())
        return binding;
    binding.object->Release();
    return std::nullopt;
}

void CReceiptDesk::LetGo(Binding& binding) {
    if (!binding.object)
        return;
    Invoke(binding.object, VeskarDispId::Done, {});
    binding.object->Release();
    binding.object = nullptr;
}

void CReceiptDesk::Finish(int port, Binding binding, bool keep, bool unbind) {
    binding.busy = false;
    binding.idleSince = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(m_mutex);
        auto it = m_kept.find(port);
        const bool mine = it != m_kept.end() && it->second.object == binding.object;
        if (keep && !unbind && !m_stopping && (mine || it == m_kept.end())) {
            m_kept[port] = binding;
            return;
        }
        if (mine)
            m_kept.erase(it);
    }
    LetGo(binding);
}

void CReceiptDesk::Settle(int port, const WholeReceipt& receipt) {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping || m_kept.count(port))
            return;
    }
    Call init;
    std::optional<Binding> binding = Bind(port, receipt, &init);
    if (binding)
        Finish(port, std::move(*binding), true, false);
}

void CReceiptDesk::Sweep(std::chrono::seconds idle) {
    const auto now = std::chrono::steady_clock::now();
    std::vector<Binding> gone;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_kept.begin(); it != m_kept.end();) {
            if (!it->second.busy && now - it->second.idleSince > idle) {
                gone.push_back(it->second);
                it = m_kept.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Binding& binding : gone)
        LetGo(binding);
}

// The receipt in an object of its own: the port's kept one when it is free and bound for the
// same cashier, else a new one that is kept afterwards (or, while another receipt of the port
// uses the kept one, let go).
ReceiptOutcome CReceiptDesk::Sell(int port, const WholeReceipt& receipt, const std::string& key) {
    std::optional<Binding> binding, stale;
    bool keep = true;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return Ending("");
        auto it = m_kept.find(port);
        if (it != m_kept.end() && it->second.busy) {
            keep = false;
        } else if (it != m_kept.end() && it->second.cashier == receipt.cashier &&
                   it->second.password == receipt.password && it->second.client == receipt.client) {
            it->second.busy = true;
            binding = it->second;
        } else if (it != m_kept.end()) {
            stale = it->second;
            m_kept.erase(it);
        }
    }
    if (stale)
        LetGo(*stale);  // first, so that the new object binds the port for its own cashier
    const bool wasKept = binding.has_value();
    if (!binding) {
        Call init;
        binding = Bind(port, receipt, &init);
        if (!binding) {
            if (Stopping())
                return Ending("Init");
            return Refusal(init, "Init");
        }
    }
    Call locked = Invoke(binding->object, VeskarDispId::LockPrinter, {Long(kLockWaitMs)});
    if (!locked.Ok() && wasKept && !Stopping() && locked.hr != CONTEXT_E_SYNCH_TIMEOUT) {
        // The kept object lost its port meanwhile (the operator closed it): a new one binds.
        Finish(port, std::move(*binding), keep, true);
        return Sell(port, receipt, key);
    }
    ReceiptOutcome out;
    if (!locked.Ok()) {
        out = Stopping() ? Ending("LockPrinter") : Refusal(locked, "LockPrinter");
        Finish(port, std::move(*binding), keep, out.end == ReceiptOutcome::End::Ending);
        return out;
    }
    out = PrintLocked(port, binding->object, receipt, key);
    Invoke(binding->object, VeskarDispId::UnlockPrinter, {});
    // A register that did not answer, or a server that is ending, keeps nothing bound. A
    // closing in doubt keeps its object: the port's next command catches the register's late
    // answer and completes the row (letting go now would wait for it inside this request).
    Finish(port, std::move(*binding), keep,
           HttpStatusOf(out) == 503 && out.end != ReceiptOutcome::End::InDoubt);
    return out;
}

ReceiptOutcome CReceiptDesk::PrintLocked(int port, CVeskar* object, const WholeReceipt& receipt,
                                         const std::string& key) {
    ReceiptOutcome out;
    // A step that failed, or succeeded without the register ever confirming it (a ready wait
    // that ran out), stops the receipt.
    auto step = [&](VeskarDispId id, const char* name, std::vector<VARIANT> args,
                    Call* answer = nullptr) {
        Call call = Invoke(object, id, std::move(args));
        const bool ok = call.Ok() && call.detail.outcome.empty();
        if (!call.Ok() && Stopping()) {
            out = Ending(name);
        } else if (call.Ok() && call.detail.outcome == "unconfirmed") {
            out =
                Failed(Failure(Fault::Unconfirmed, call.detail.code, 0), call.detail.message, name);
        } else if (!call.Ok()) {
            out = Refusal(call, name);
        }
        if (answer)
            *answer = std::move(call);
        return ok;
    };
    // Holding the lock, the next receipt this object opens is the key's: its row is bound to
    // the key when it is written, so that recovery follows the row, never a guess.
    if (!key.empty() && m_ledger)
        m_ledger->ExpectReceipt(port, key);
    bool ok =
        receipt.isReturn
            ? step(VeskarDispId::SetReturnCheckNumber, "SetReturnCheckNumber",
                   {Long(receipt.returnNumber)}) &&
                  step(VeskarDispId::OpenReturnCheck, "OpenReturnCheck", {Text(receipt.department)})
            : step(VeskarDispId::OpenCheck, "OpenCheck", {Text(receipt.department)});
    if (!key.empty() && m_ledger)
        m_ledger->ForgetExpected(port);
    const bool opened = ok;
    for (size_t i = 0; ok && i < receipt.texts.size(); ++i) {
        const WholeReceipt::Text& t = receipt.texts[i];
        ok = step(VeskarDispId::FreeTextLine, "FreeTextLine",
                  {Long(t.before), Long(t.journal), Long(t.bold), Text(t.text)});
    }
    for (size_t i = 0; ok && i < receipt.lines.size(); ++i) {
        const WholeReceipt::Line& l = receipt.lines[i];
        ok = step(
            VeskarDispId::FiscalLineEx, "FiscalLineEx",
            {Text(l.name), Long(l.qty), Long(l.price), Long(l.weighed), Long(l.tax1), Long(l.tax2),
             Long(l.article), Long(l.direction), Text(l.discountName), Long(l.discount)});
    }
    // A return pays back its return sum; a sale takes its running total.
    Call sum;
    if (ok)
        ok = receipt.isReturn ? step(VeskarDispId::GetCheckReturnSum, "GetCheckReturnSum", {}, &sum)
                              : step(VeskarDispId::GetCheckSum, "GetCheckSum", {}, &sum);
    const int64_t total = ok && sum.value.vt() == VT_I4 ? sum.value.lVal() : 0;
    if (ok && receipt.Paid() < total) {
        ok = false;
        out = Failed(Failure(Fault::NotCovered), "", "GetCheckSum");
        out.total = total;
    }
    if (ok)
        out = Close(port, object, receipt, total);
    if (opened && out.end == ReceiptOutcome::End::NotPrinted)
        Invoke(object, VeskarDispId::AbortCheck, {});
    return out;
}

ReceiptOutcome CReceiptDesk::Close(int port, CVeskar* object, const WholeReceipt& receipt,
                                   int64_t total) {
    Call call = Invoke(
        object, VeskarDispId::CloseCheckEx,
        {Long(receipt.cash), Long(receipt.check), Long(receipt.credit), Long(receipt.packing)});
    ReceiptOutcome out;
    if (call.Ok() && call.detail.outcome == "in-doubt") {
        // Cut while the register closes it: the next start settles it by the register's
        // counter, and the key waits for that. Else it may have printed: never cancelled,
        // never reported failed.
        if (Stopping())
            return Ending("CloseCheckEx");
        out = Failed(Failure(Fault::InDoubt, call.detail.code, 0), call.detail.message,
                     "CloseCheckEx");
        out.end = ReceiptOutcome::End::InDoubt;
        out.total = total;
        return out;
    }
    if (!call.Ok() || !call.detail.code.empty()) {
        // The closing answers its failure in the detail, not in the result code.
        if (!call.Ok() && Stopping())
            return Ending("CloseCheckEx");
        out = Refusal(call, "CloseCheckEx");
        out.total = total;
        return out;
    }
    out.end = ReceiptOutcome::End::Printed;
    out.total = total;
    // The closing's figures as the engine read them, typed: nothing joins and splits them.
    auto read = std::make_shared<ReceiptOutcome>();
    if (m_ports.AskEngine(
            port,
            [read](CVSKCore* core) {
                if (core) {
                    read->figures = core->ClosingFigures();
                    read->checkResult = core->GetCheckResult();  // digits and ';' only
                }
            },
            std::chrono::seconds(30))) {
        out.figures = read->figures;
        out.checkResult = read->checkResult;
    }
    return out;
}

}  // namespace vsk
