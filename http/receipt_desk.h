// What the HTTP front asks of the server for a whole receipt, typed both ways: the receipt as
// its body gave it (checked), and what became of it. The server implements it on the ports'
// workers, behind the same lock queue as every other client; the front only turns JSON into
// these structs and outcomes into answers.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "resources/failure.h"

namespace vsk {

struct WholeReceipt {
    struct Line {
        std::string name, discountName;
        int64_t qty = 1, price = 0;
        bool weighed = false;
        int64_t tax1 = 1, tax2 = 0, article = 0;
        int64_t direction = 0;  // 0 takes the discount off the line, 1 adds it as a surcharge
        int64_t discount = 0;
    };
    struct Text {
        std::string text;
        bool before = false, journal = false, bold = false;
    };
    std::string cashier, password, department = "1", client = "http";
    bool isReturn = false;
    int64_t returnNumber = 0;
    std::vector<Line> lines;
    std::vector<Text> texts;
    int64_t cash = 0, check = 0, credit = 0, packing = 0;

    int64_t Paid() const { return cash + check + credit + packing; }
};

struct ReceiptOutcome {
    enum class End {
        Printed,
        NotPrinted,  // refused or failed before the closing printed anything
        InDoubt,     // the register did not answer the closing: it may have printed
        Ending,      // the server ends under the request: the next start settles its key
    };
    End end = End::NotPrinted;
    // The register's running total before the closing (what the payments had to cover).
    int64_t total = 0;
    // Printed: the closing's figures in the register's order (number, total, on-sale taxes,
    // included taxes, ..., returns' total, ...), when the register gave them.
    std::optional<std::array<int64_t, 9>> figures;
    std::string checkResult;  // the same as GetCheckResult answers them ("N;N;...")
    // Not printed or in doubt: why, in the register's words, and the step it came at.
    Failure failure;
    std::string message;  // UTF-8; may be empty
    std::string step;     // the automation method: "Init", "LockPrinter", "FiscalLineEx", ...
};

// The HTTP status of an outcome: the failure's own, except that a binding or a lock that
// cannot be had is the port's state whatever the register said (try again later).
inline int HttpStatusOf(const ReceiptOutcome& o) {
    switch (o.end) {
        case ReceiptOutcome::End::Printed:
            return 200;
        case ReceiptOutcome::End::InDoubt:
            return RowOf(Fault::InDoubt).http;
        case ReceiptOutcome::End::Ending:
            return RowOf(Fault::Ending).http;
        case ReceiptOutcome::End::NotPrinted:
            break;
    }
    if (o.step == "Init" || o.step == "LockPrinter")
        return 503;
    return RowOf(o.failure.fault).http;
}

class IReceiptDesk {
public:
    virtual ~IReceiptDesk() = default;
    // Prints `receipt` on `port`: binds (or reuses the port's kept binding for the same cashier),
    // locks, opens, prints, closes, unlocks. `key` (may be empty) is bound to the receipt's
    // ledger row when the row is written.
    virtual ReceiptOutcome Sell(int port, const WholeReceipt& receipt, const std::string& key) = 0;
    // Binds `port` for the receipt's cashier, which settles the receipts a killed server left
    // there by the register's counter; the binding is kept for the next receipt.
    virtual void Settle(int port, const WholeReceipt& receipt) = 0;
    // What one line sums to on the register, by the engine's own rounding; nullopt when it
    // does not fit.
    virtual std::optional<int64_t> LineSum(const WholeReceipt::Line& line) const = 0;
    // Lets go of bindings unused for longer than `idle`.
    virtual void Sweep(std::chrono::seconds idle) = 0;
    // The server is ending: requests under way answer Ending soon; no new binding is kept.
    virtual void Stop() = 0;
};

}  // namespace vsk
