#include "server/receipt_desk.h"

#include <condition_variable>
#include <memory>

#include "engine/line_sum.h"
#include "engine/vsk_core.h"
#include "ledger/ledger.h"
#include "platform/codepage.h"
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

// Whether a request that failed so lets go of the port's binding. A register that did not answer
// keeps nothing bound; a device gone keeps it, so that the port stays open for its page and
// health to show it missing (a port nobody holds is merely closed), and the next call reopens
// the device and logs in again as it does for any client.
bool LetsGoAfter(const Failure& failure) {
    return RowOf(failure.fault).http == 503 && failure.fault != Fault::PortUnavailable;
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
CReceiptDesk::Why CReceiptDesk::WhyOf(const Call& call, const std::string& step) {
    const std::string word = call.detail.code.empty() ? "E_FAIL" : call.detail.code;
    // The object names the kind; a word alone (an older detail) is looked up.
    Fault fault = FaultOfName(call.detail.kind, FaultOfWord(word));
    if (call.hr == CONTEXT_E_SYNCH_TIMEOUT)
        fault = Fault::LockTimeout;
    Why why;
    why.failure = Failure(fault, word, 0);
    why.message = call.detail.message.empty()
                      ? step + " failed (hr " + std::to_string(call.hr) + ")"
                      : call.detail.message;
    why.step = step;
    return why;
}

ReceiptOutcome CReceiptDesk::Refusal(const Call& call, const std::string& step) {
    Why why = WhyOf(call, step);
    return Failed(std::move(why.failure), std::move(why.message), std::move(why.step));
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

std::optional<CReceiptDesk::Binding> CReceiptDesk::Bind(int port, const DeskSignon& who,
                                                        Call* init) {
    Binding binding;
    binding.object = new CVeskar(m_ports, m_ledger);
    binding.cashier = who.cashier;
    binding.password = who.password;
    binding.client = who.client;
    binding.busy = true;
    *init = Invoke(binding.object, VeskarDispId::Init,
                   {Long(port), Text(who.cashier), Text(who.password), Long(0), Text(who.client)});
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
    std::optional<Binding> binding = Bind(port, receipt.Signon(), &init);
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

std::optional<CReceiptDesk::Held> CReceiptDesk::Hold(int port, const DeskSignon& who, bool anyKept,
                                                     bool lock, Why* why) {
    for (int attempt = 0;; ++attempt) {
        std::optional<Binding> binding, stale;
        DeskSignon as = who;
        bool keep = true;
        {
            std::lock_guard guard(m_mutex);
            if (m_stopping) {
                why->ending = true;
                return std::nullopt;
            }
            auto it = m_kept.find(port);
            const bool same = it != m_kept.end() && it->second.cashier == who.cashier &&
                              it->second.password == who.password &&
                              it->second.client == who.client;
            if (it != m_kept.end() && it->second.busy) {
                // Another request has it: this one binds beside it, and lets go afterwards.
                keep = false;
                if (anyKept)
                    as = {it->second.cashier, it->second.password, it->second.client, true};
            } else if (it != m_kept.end() && (same || anyKept)) {
                it->second.busy = true;
                binding = it->second;
            } else if (it != m_kept.end()) {
                stale = it->second;
                m_kept.erase(it);
            }
        }
        if (!binding && !as.given) {
            why->failure = Failure(Fault::NotBound);
            why->message = "port " + std::to_string(port) +
                           " is not bound: name the cashier and password (the X-Vsk-Cashier and "
                           "X-Vsk-Password headers of a reading)";
            why->step = "Init";
            return std::nullopt;
        }
        if (stale)
            LetGo(*stale);  // first, so that the new object binds the port for its own cashier
        const bool wasKept = binding.has_value();
        if (!binding) {
            Call init;
            binding = Bind(port, as, &init);
            if (!binding) {
                *why = WhyOf(init, "Init");
                why->ending = Stopping();
                return std::nullopt;
            }
        }
        if (!lock)
            return Held{std::move(*binding), keep};
        Call locked = Invoke(binding->object, VeskarDispId::LockPrinter, {Long(kLockWaitMs)});
        if (locked.Ok())
            return Held{std::move(*binding), keep};
        if (wasKept && attempt == 0 && !Stopping() && locked.hr != CONTEXT_E_SYNCH_TIMEOUT) {
            // The kept object lost its port meanwhile (the operator closed it): a new one binds.
            Finish(port, std::move(*binding), keep, true);
            continue;
        }
        *why = WhyOf(locked, "LockPrinter");
        why->ending = Stopping();
        Finish(port, std::move(*binding), keep, why->ending);
        return std::nullopt;
    }
}

void CReceiptDesk::Release(int port, Held held, bool locked, bool unbind) {
    if (locked)
        Invoke(held.binding.object, VeskarDispId::UnlockPrinter, {});
    Finish(port, std::move(held.binding), held.keep, unbind);
}

// The receipt in an object of its own: the port's kept one when it is free and bound for the
// same cashier, else a new one that is kept afterwards (or, while another receipt of the port
// uses the kept one, let go).
ReceiptOutcome CReceiptDesk::Sell(int port, const WholeReceipt& receipt, const std::string& key) {
    Why why;
    std::optional<Held> held = Hold(port, receipt.Signon(), false, true, &why);
    if (!held)
        return why.ending ? Ending(why.step) : Failed(why.failure, why.message, why.step);
    ReceiptOutcome out = PrintLocked(port, held->binding.object, receipt, key);
    // A server that is ending keeps nothing bound. A closing in doubt keeps its object: the
    // port's next command catches the register's late answer and completes the row (letting go
    // now would wait for it inside this request).
    Release(port, std::move(*held), true,
            out.end == ReceiptOutcome::End::Ending ||
                (out.end == ReceiptOutcome::End::NotPrinted && LetsGoAfter(out.failure)));
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

namespace {

OperationOutcome OperationEnding(std::string step) {
    OperationOutcome out;
    out.end = OperationOutcome::End::Ending;
    out.failure = Failure(Fault::Ending);
    out.step = std::move(step);
    return out;
}

std::string TextOf(const VARIANT& value) {
    return value.vt() == VT_BSTR ? Utf16ToUtf8(value.bstrVal()) : std::string();
}

// The value of attribute `name` in one of the engine's XML documents (which insert their
// values as they are: no quotes inside, no entities); nullopt when it has none.
std::optional<std::string> Attribute(const std::string& xml, const std::string& name) {
    const std::string head = " " + name + "=\"";
    const size_t at = xml.find(head);
    if (at == std::string::npos)
        return std::nullopt;
    const size_t begin = at + head.size(), end = xml.find('"', begin);
    if (end == std::string::npos)
        return std::nullopt;
    return xml.substr(begin, end - begin);
}

// A counter as the register writes it: digits, filled on the left with blanks or zeros, a
// sign perhaps. nullopt for a field that is missing or holds anything else.
std::optional<int64_t> Figure(const std::optional<std::string>& field) {
    if (!field)
        return std::nullopt;
    std::string_view text = *field;
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    const bool negative = !text.empty() && text.front() == '-';
    if (negative)
        text.remove_prefix(1);
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

std::string Trimmed(const std::string& cp1251) {
    std::string text = Cp1251ToUtf8(cp1251);
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

constexpr const char* kCashAttributes[8] = {"rest",   "income", "outcome",      "sales",
                                            "return", "total",  "check_income", "check_outcome"};
constexpr const char* kFiscalAttributes[20] = {
    "total",       "tax1_total",  "tax2_total",  "tax3_total",  "tax4_total",
    "tax5_total",  "tax6_total",  "tax7_total",  "tax8_total",  "untaxed_total",
    "return",      "tax1_return", "tax2_return", "tax3_return", "tax4_return",
    "tax5_return", "tax6_return", "tax7_return", "tax8_return", "untaxed_return"};

}  // namespace

// A day's operation goes the way of a receipt: the port's binding, its lock, the object's
// calls, the lock let go. A kept binding is used by a display without a cashier, as a reading
// uses it.
OperationOutcome CReceiptDesk::Operate(int port, const DeskOperation& operation) {
    Why why;
    std::optional<Held> held = Hold(port, operation.who, !operation.who.given, true, &why);
    if (!held) {
        OperationOutcome out = why.ending ? OperationEnding(why.step) : OperationOutcome{};
        if (!why.ending) {
            out.failure = why.failure;
            out.message = why.message;
            out.step = why.step;
        }
        out.sentNothing = true;
        return out;
    }
    OperationOutcome out = OperateLocked(port, held->binding.object, operation);
    const bool silent = out.end == OperationOutcome::End::Ending ||
                        out.end == OperationOutcome::End::InDoubt || LetsGoAfter(out.failure);
    Release(port, std::move(*held), true, out.end != OperationOutcome::End::Done && silent);
    return out;
}

OperationOutcome CReceiptDesk::OperateLocked(int port, CVeskar* object, const DeskOperation& op) {
    (void)port;
    OperationOutcome out;
    // A call that failed in the register's words did nothing; one the register never answered
    // (a ready wait that ran out, or a silence the object reports) may have done it.
    auto step = [&](VeskarDispId id, const char* name, std::vector<VARIANT> args,
                    Call* answer = nullptr) {
        Call call = Invoke(object, id, std::move(args));
        const bool ok = call.Ok() && call.detail.outcome.empty();
        if (!ok) {
            Why why = WhyOf(call, name);
            out.failure = why.failure;
            out.message = why.message;
            out.step = name;
            if (!call.Ok() && Stopping()) {
                out = OperationEnding(name);
            } else if (call.Ok()) {
                out.end = OperationOutcome::End::InDoubt;
                out.failure.fault = Fault::Unconfirmed;
            } else {
                out.end = RowOf(out.failure.fault).retrySafe ? OperationOutcome::End::NotDone
                                                             : OperationOutcome::End::InDoubt;
            }
        }
        if (answer)
            *answer = std::move(call);
        return ok;
    };
    using Kind = DeskOperation::Kind;
    bool ok = false;
    switch (op.kind) {
        case Kind::XReport:
            ok = step(VeskarDispId::XReport, "XReport", {});
            break;
        case Kind::ZReport:
            ok = step(VeskarDispId::ZReport, "ZReport", {});
            break;
        case Kind::PeriodicByNumbers:
            ok = step(VeskarDispId::PeriodicalFiscalReport, "PeriodicalFiscalReport",
                      {Long(op.first), Long(op.last)});
            break;
        case Kind::PeriodicByDates:
            ok = step(VeskarDispId::PeriodicalFiscalReportDate, "PeriodicalFiscalReportDate",
                      {VARIANT::FromDate(op.from), VARIANT::FromDate(op.to)});
            break;
        case Kind::CashIn:
        case Kind::CashOut:
            ok = step(VeskarDispId::MoveCash, "MoveCash",
                      {Long(op.kind == Kind::CashIn ? 1 : 0), Long(op.amount)});
            break;
        case Kind::SetClock: {
            // The protocol sets the time of day only: a request for another day is refused
            // before anything is set, rather than answered as done with the day left as it was.
            Call before;
            if (!step(VeskarDispId::GetPrinterTime, "GetPrinterTime", {}, &before)) {
                out.sentNothing = true;
                break;
            }
            const std::string day = TextOf(before.value).substr(0, 8);
            if (day != op.date) {
                out.end = OperationOutcome::End::NotDone;
                out.failure = Failure(Fault::Precondition);
                const std::string shown =
                    day.size() == 8
                        ? day.substr(0, 4) + "-" + day.substr(4, 2) + "-" + day.substr(6, 2)
                        : day;
                out.message = "the register's date is " + shown +
                              ": its clock's time of day can be set, its date cannot";
                out.step = "SetInternalTime";
                out.sentNothing = true;
                break;
            }
            ok = step(VeskarDispId::SetInternalTime, "SetInternalTime",
                      {Long(op.hours), Long(op.minutes), Long(op.seconds)});
            if (ok) {
                Call after = Invoke(object, VeskarDispId::GetPrinterTime, {});
                out.clock = after.Ok() ? TextOf(after.value) : std::string();
            }
            break;
        }
        case Kind::Display:
            ok = step(VeskarDispId::PutToDisplay, "PutToDisplay", {Text(op.line1), Text(op.line2)});
            break;
        case Kind::ExternalDisplay:
            ok = step(VeskarDispId::PutToExternalDisplay, "PutToExternalDisplay",
                      {Text(op.line1), Long(1)});
            break;
    }
    if (ok)
        out.end = OperationOutcome::End::Done;
    return out;
}

ReadingOutcome CReceiptDesk::Read(int port, DeskReading what, const DeskSignon& who) {
    Why why;
    std::optional<Held> held = Hold(port, who, true, false, &why);
    ReadingOutcome out;
    if (!held) {
        out.failure = why.ending ? Failure(Fault::Ending) : why.failure;
        out.message = why.message;
        out.step = why.step;
        return out;
    }
    out = ReadBound(port, held->binding.object, what);
    Release(port, std::move(*held), false, !out.ok && LetsGoAfter(out.failure));
    return out;
}

ReadingOutcome CReceiptDesk::ReadBound(int port, CVeskar* object, DeskReading what) {
    ReadingOutcome out;
    auto ask = [&](VeskarDispId id, const char* name, std::vector<VARIANT> args,
                   std::string* text) {
        Call call = Invoke(object, id, std::move(args));
        if (!call.Ok() || TextOf(call.value).empty()) {
            Why why = WhyOf(call, name);
            if (Stopping())
                why.failure = Failure(Fault::Ending);
            out.failure = why.failure;
            out.message = why.message;
            out.step = name;
            return false;
        }
        *text = TextOf(call.value);
        return true;
    };
    std::string documents, cash, fiscal, config;
    switch (what) {
        case DeskReading::Counters: {
            if (!ask(VeskarDispId::GetDocumentsInfoXML, "GetDocumentsInfoXML", {}, &documents) ||
                !ask(VeskarDispId::GetCashInfoXML, "GetCashInfoXML", {}, &cash) ||
                !ask(VeskarDispId::GetFiscalInfoXML, "GetFiscalInfoXML", {}, &fiscal))
                return out;
            RegisterCounters& c = out.counters;
            c.lastReceipt = Figure(Attribute(documents, "last_check_num")).value_or(0);
            c.lastDocument = Figure(Attribute(documents, "last_doc_num")).value_or(0);
            c.lastServiceDocument = Figure(Attribute(documents, "last_serv_doc_num")).value_or(0);
            c.articleMode = Figure(Attribute(documents, "article_mode")).value_or(0);
            c.fiscalReportMade = Figure(Attribute(documents, "fiscal_report_made")).value_or(0);
            c.fiscalReportNumber = Figure(Attribute(documents, "fiscal_report_num")).value_or(0);
            for (size_t i = 0; i < c.cash.size(); ++i)
                c.cash[i] = Figure(Attribute(cash, kCashAttributes[i]));
            for (size_t i = 0; i < c.fiscal.size(); ++i)
                c.fiscal[i] = Figure(Attribute(fiscal, kFiscalAttributes[i]));
            break;
        }
        case DeskReading::Clock:
            if (!ask(VeskarDispId::GetPrinterTime, "GetPrinterTime", {}, &out.clock))
                return out;
            break;
        case DeskReading::Info: {
            // Read again from the register, as a client's refreshed configuration is; the
            // record is then taken whole, typed, from the port's engine.
            if (!ask(VeskarDispId::GetPrinterConfigXML, "GetPrinterConfigXML", {Long(1)}, &config))
                return out;
            auto record = std::make_shared<PrinterRecord>();
            if (!m_ports.AskEngine(
                    port,
                    [record](CVSKCore* core) {
                        if (!core)
                            return;
                        const CPrinterInfo& info = core->PrinterInfo();
                        PrinterRecord& r = *record;
                        r.family = core->ProtocolFamily();
                        r.level = core->ProtocolLevel();
                        r.model = "family " + std::to_string(r.family) + " level " +
                                  std::to_string(r.level);
                        r.serial = Trimmed(info.m_szSerialNumber);
                        r.fiscalNumber = Trimmed(info.m_szFiscalNumber);
                        r.owner = Trimmed(info.m_szOwner);
                        r.date = Trimmed(info.m_szDate);
                        r.time = Trimmed(info.m_szTime);
                        r.firmwareVersion = Trimmed(info.m_szFirmwareVersion);
                        r.firmwareDate = Trimmed(info.m_szFirmwareDate);
                        r.keyPosition = info.m_cKeyPosition;
                        r.maxArticles = info.m_lMaxArticles;
                        r.currencyName = Trimmed(info.m_szCurrencyName);
                        r.currencyDate = Trimmed(info.m_szCurrencyDate);
                        r.decimalPoint = info.m_nDecPointPosition;
                        for (int i = 0; i < 8; ++i) {
                            const CTaxEntry& t = info.m_Taxes[i];
                            if (t.kind == '0' || t.kind == '1' || t.kind == '2')
                                r.taxes.push_back({i, t.kind, t.rateText, t.date});
                        }
                    },
                    std::chrono::seconds(30))) {
                out.failure = Failure(Fault::NoThread);
                out.message = "the port's worker did not come to it within 30 s";
                out.step = "GetPrinterConfigXML";
                return out;
            }
            out.info = *record;
            break;
        }
    }
    out.ok = true;
    return out;
}

}  // namespace vsk
