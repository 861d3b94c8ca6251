// IReceiptEvents: what becomes of each fiscal receipt, told by the engine as it happens, in
// whichever call it happens (a receipt one client opened may be cancelled by another's call,
// and a closing's late answer arrives with the next command, whoever sends it). The port's
// recorder keeps the receipts ledger from these events; the engine works without one.
//
// Threading: called on the engine's thread, inside the operation. Texts are in the engine's
// code page (1251); `code` and `message` are the engine's latest error ("" when none).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vsk {

// What a closing says the receipt was paid with, in kopecks.
struct ReceiptPayments {
    int64_t cash = 0;
    int64_t check = 0;
    int64_t credit = 0;
    int64_t packing = 0;
};

class IReceiptEvents {
public:
    virtual ~IReceiptEvents() = default;

    // Before anything is sent for an opening (an open receipt is cancelled for it first):
    // `numberBefore` is the register's last receipt number as the engine knows it.
    virtual void OpeningAsked(bool isReturn, std::optional<int64_t> numberBefore) = 0;
    virtual void Opened() = 0;
    virtual void OpeningRefused(const std::string& code, const std::string& message) = 0;
    // A sale line the register accepted: `name` as it went to the register, `sum` what the
    // line adds with its taxes.
    virtual void LinePrinted(const std::string& name, int64_t quantity, int64_t price,
                             int64_t sum) = 0;
    // Just before the closing goes out. `payments` is nullopt when the closing names none
    // (everything due in cash); `total` is a return's amount, or the sales less the returns.
    virtual void ClosingAsked(const std::optional<ReceiptPayments>& payments, int64_t total) = 0;
    // The register closed the receipt under `number`: in time, or late after ClosingInDoubt.
    virtual void Closed(int64_t number) = 0;
    // The register did not answer the closing: it may have printed the receipt.
    virtual void ClosingInDoubt(const std::string& code, const std::string& message) = 0;
    // The register refused the closing, or it never went out: the receipt stays open.
    virtual void ClosingRefused() = 0;
    virtual void Cancelled(const std::string& code, const std::string& message) = 0;
};

// Told nothing: the engine's listener when nobody keeps its receipts, and a base for one that
// hears only some events.
class NoReceiptEvents : public IReceiptEvents {
public:
    static IReceiptEvents& Instance() {
        static NoReceiptEvents none;
        return none;
    }
    void OpeningAsked(bool, std::optional<int64_t>) override {}
    void Opened() override {}
    void OpeningRefused(const std::string&, const std::string&) override {}
    void LinePrinted(const std::string&, int64_t, int64_t, int64_t) override {}
    void ClosingAsked(const std::optional<ReceiptPayments>&, int64_t) override {}
    void Closed(int64_t) override {}
    void ClosingInDoubt(const std::string&, const std::string&) override {}
    void ClosingRefused() override {}
    void Cancelled(const std::string&, const std::string&) override {}
};

}  // namespace vsk
