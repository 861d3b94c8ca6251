#include "server/receipt_recorder.h"

#include <utility>

#include "engine/vsk_core.h"
#include "platform/codepage.h"
#include "server/port_registry.h"

namespace vsk {

namespace {

// "CODE: message" of an engine error, UTF-8 ("" when there is none).
std::string Reason(const std::string& code, const std::string& message) {
    if (code.empty())
        return {};
    return Cp1251ToUtf8(code) + ": " + Cp1251ToUtf8(message);
}

}  // namespace

CReceiptRecorder::CReceiptRecorder(int32_t port, CVSKPortDescriptor& descriptor,
                                   std::function<bool()> serverEnding)
    : m_port(port), m_descriptor(descriptor), m_serverEnding(std::move(serverEnding)) {}

void CReceiptRecorder::Calling(Caller caller) {
    std::lock_guard lock(m_mutex);
    m_caller = std::move(caller);
}

void CReceiptRecorder::Abandoned(const void* owner, bool triedToEnd) {
    std::lock_guard lock(m_mutex);
    if (!m_open || m_open->owner != owner)
        return;
    if (m_open->inDoubt || m_open->closing) {
        // Its closing decides: the register's answer completes the row.
        m_open->owner = nullptr;
        return;
    }
    std::string why = "the client let go of the port with the receipt open";
    if (triedToEnd) {
        const CVSKCore* core = m_descriptor.GetCore();
        const std::string engine =
            core ? Reason(core->PeekLastErrorCode(), core->PeekLastErrorMessage()) : "";
        why = "the register could not end the receipt" +
              (engine.empty() ? std::string() : " (" + engine + ")");
    }
    m_open->ledger->EndReceipt(m_open->id, ReceiptEnd::Abandoned, m_open->lines, std::nullopt, 0, 0,
                               why);
    m_open.reset();
}

// The row is on the disk before the register is asked: a crash from here on leaves it for the
// next start to settle by the register's receipt counter.
void CReceiptRecorder::OpeningAsked(bool isReturn, std::optional<int64_t> numberBefore) {
    std::lock_guard lock(m_mutex);
    m_opening = true;
    m_begun.reset();
    if (!m_caller.ledger)
        return;
    ReceiptStart start;
    start.port = m_port;
    start.client = Cp1251ToUtf8(m_caller.client);
    start.isReturn = isReturn;
    const std::string cashier = m_descriptor.Cashier();
    start.cashier = Cp1251ToUtf8(cashier);
    if (m_caller.cashier != cashier)
        start.clientCashier = Cp1251ToUtf8(m_caller.cashier);
    start.serial = Cp1251ToUtf8(m_descriptor.SerialNumber());
    start.numberBefore = numberBefore;
    start.lockHeld = m_descriptor.HoldsLock(m_caller.owner);
    if (const int64_t id = m_caller.ledger->BeginReceipt(start); id != 0) {
        Row row;
        row.ledger = m_caller.ledger;
        row.id = id;
        row.owner = m_caller.owner;
        m_begun = std::move(row);
    }
}

void CReceiptRecorder::Opened() {
    std::lock_guard lock(m_mutex);
    m_opening = false;
    // The receipt open before was cancelled for this one (a closing in doubt stays "unknown").
    if (m_open && !m_open->inDoubt)
        EndCancelled("cancelled by the next receipt's opening");
    m_open = std::exchange(m_begun, std::nullopt);
}

void CReceiptRecorder::OpeningRefused(const std::string& code, const std::string& message) {
    std::lock_guard lock(m_mutex);
    m_opening = false;
    if (m_begun)
        m_begun->ledger->EndReceipt(m_begun->id, ReceiptEnd::Refused, {}, std::nullopt, 0, 0,
                                    Reason(code, message));
    m_begun.reset();
}

void CReceiptRecorder::LinePrinted(const std::string& name, int64_t quantity, int64_t price,
                                   int64_t sum) {
    std::lock_guard lock(m_mutex);
    if (!m_open)
        return;
    m_open->lines.push_back({Cp1251ToUtf8(name), quantity, price, sum});
    m_open->ledger->RecordLines(m_open->id, m_open->lines);
}

// Before the register is asked to close: a crash from here on leaves "closing" for the next
// start to settle by the register's counter, not "cut".
void CReceiptRecorder::ClosingAsked(const std::optional<ReceiptPayments>& payments, int64_t total) {
    std::lock_guard lock(m_mutex);
    if (!m_open || m_open->inDoubt)
        return;  // already past "closing": the first closing may have printed
    m_open->payments.reset();
    if (payments)
        m_open->payments =
            LedgerPayments{payments->cash, payments->check, payments->credit, payments->packing};
    m_open->total = total;
    m_open->closing = true;
    m_open->ledger->MarkClosing(m_open->id, m_open->lines, m_open->payments, total);
}

void CReceiptRecorder::Closed(int64_t number) {
    std::lock_guard lock(m_mutex);
    if (!m_open)
        return;
    if (m_open->inDoubt) {
        m_open->ledger->SettleLate(m_open->id, number, m_open->total);
    } else {
        CountEnd(true);
        m_open->ledger->EndReceipt(m_open->id, ReceiptEnd::Closed, m_open->lines, m_open->payments,
                                   number, m_open->total, "");
    }
    m_open.reset();
}

void CReceiptRecorder::ClosingInDoubt(const std::string& code, const std::string& message) {
    std::lock_guard lock(m_mutex);
    if (!m_open || m_open->inDoubt)
        return;  // still unanswered: the row says unknown already
    if (m_serverEnding()) {
        // The server ends before the register answered: the row stays "closing", and the
        // next start settles it by the register's counter.
        m_open.reset();
        return;
    }
    // It may have printed. The row says so at once; should the register answer late (caught
    // at the port's next command, whichever client sends it), Closed completes it.
    m_open->ledger->EndReceipt(m_open->id, ReceiptEnd::Unknown, m_open->lines, m_open->payments, 0,
                               m_open->total,
                               Reason(code, message) +
                                   " (the register did not answer the closing: it may have "
                                   "printed the receipt)");
    m_open->inDoubt = true;
    m_open->closing = false;
}

void CReceiptRecorder::ClosingRefused() {
    std::lock_guard lock(m_mutex);
    if (!m_open || !m_open->closing)
        return;
    m_open->ledger->MarkClosing(m_open->id, false);  // the receipt is still open
    m_open->closing = false;
}

void CReceiptRecorder::Cancelled(const std::string& code, const std::string& message) {
    std::lock_guard lock(m_mutex);
    if (!m_open)
        return;
    if (m_open->inDoubt) {
        m_open.reset();  // "unknown" stays, for an operator
        return;
    }
    if (m_opening) {
        EndCancelled("cancelled by the next receipt's opening");
        return;
    }
    const std::string why = Reason(code, message);
    EndCancelled(why.empty() ? "cancelled" : why);
}

void CReceiptRecorder::EndCancelled(std::string why) {
    if (m_caller.owner != m_open->owner)
        why += " (by another client: " + Cp1251ToUtf8(m_caller.client) + ")";
    CountEnd(false);
    m_open->ledger->EndReceipt(m_open->id, ReceiptEnd::Cancelled, m_open->lines, std::nullopt, 0, 0,
                               why);
    m_open.reset();
}

void CReceiptRecorder::CountEnd(bool closed) {
    if (CVSKCore* core = m_descriptor.GetCore())
        core->Stats().ReceiptEnded(closed);
}

}  // namespace vsk
