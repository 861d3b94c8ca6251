// CReceiptRecorder: the receipts ledger of one port, kept from its engine's receipt events. The
// engine says what became of the receipt; the recorder adds what only the server knows: which
// client is calling (each client object says so before its calls), the port's login cashier
// and the register's serial number (the port descriptor's), whether the caller holds the lock.
// A receipt is followed from its opening to its end, whichever client's call ends it.
//
// Threading: Calling and the events come on the port's worker, one call at a time; Abandoned
// may come from the automation loop, where a released client detaches. One mutex guards all.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/receipt_events.h"
#include "ledger/ledger.h"

class CVSKPortDescriptor;

namespace vsk {

class CReceiptRecorder final : public IReceiptEvents {
public:
    // Who is calling the port's engine now.
    struct Caller {
        const void* owner = nullptr;  // the client object
        std::string client;           // its program's name, Windows-1251
        std::string cashier;          // its own cashier (Init), Windows-1251
        CLedger* ledger = nullptr;    // where the receipts it opens get their rows (null: none)
    };

    // `serverEnding` says whether the server is ending (a closing in doubt then stays
    // "closing", for the next start to settle).
    CReceiptRecorder(int32_t port, CVSKPortDescriptor& descriptor,
                     std::function<bool()> serverEnding);

    void Calling(Caller caller);
    // `owner` lets go of the port. The receipt it opened, still open, ends "abandoned": the
    // engine cancels it when the port closes, or the register at its next opening.
    // `triedToEnd`: the client asked to close or cancel it, and is not blamed.
    void Abandoned(const void* owner, bool triedToEnd);

    void OpeningAsked(bool isReturn, std::optional<int64_t> numberBefore) override;
    void Opened() override;
    void OpeningRefused(const std::string& code, const std::string& message) override;
    void LinePrinted(const std::string& name, int64_t quantity, int64_t price,
                     int64_t sum) override;
    void ClosingAsked(const std::optional<ReceiptPayments>& payments, int64_t total) override;
    void Closed(int64_t number) override;
    void ClosingInDoubt(const std::string& code, const std::string& message) override;
    void ClosingRefused() override;
    void Cancelled(const std::string& code, const std::string& message) override;

private:
    struct Row {
        CLedger* ledger = nullptr;
        int64_t id = 0;
        const void* owner = nullptr;  // the client that opened it (null: it has gone)
        std::vector<LedgerLine> lines;
        std::optional<LedgerPayments> payments;
        int64_t total = 0;
        bool closing = false;  // the row says "closing"
        // The row says "unknown": only the register's late answer completes it; anything else
        // leaves it to an operator.
        bool inDoubt = false;
    };
    // Ends the open receipt's row "cancelled", saying who cancelled it when another client did.
    void EndCancelled(std::string why);
    void CountEnd(bool closed);

    const int32_t m_port;
    CVSKPortDescriptor& m_descriptor;
    const std::function<bool()> m_serverEnding;
    std::mutex m_mutex;
    Caller m_caller;
    bool m_opening = false;      // an opening was asked and not yet answered
    std::optional<Row> m_begun;  // its row
    std::optional<Row> m_open;   // the row of the receipt the register holds open
};

}  // namespace vsk
