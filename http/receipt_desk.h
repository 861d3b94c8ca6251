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

// Who a request binds a port as. `given` false: as whoever the desk's kept binding of the port
// is for (a reading, or a display without a cashier), and not at all when none is kept.
struct DeskSignon {
    std::string cashier, password, client = "http";
    bool given = true;
};

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
    DeskSignon Signon() const { return {cashier, password, client, true}; }
};

// A day's operation other than a receipt, as its body gave it (checked).
struct DeskOperation {
    enum class Kind {
        XReport,
        ZReport,
        PeriodicByNumbers,  // first..last Z-report number
        PeriodicByDates,    // from..to
        CashIn,
        CashOut,
        SetClock,         // the time of day; `date` is the day the register must already show
        Display,          // the register's own display: line1, line2
        ExternalDisplay,  // the external display: line1, shown on a cleared display
    };
    Kind kind = Kind::XReport;
    DeskSignon who;
    int64_t first = 0, last = 0;
    double from = 0, to = 0;  // automation dates: days since 1899-12-30
    int64_t amount = 0;       // kopecks
    int hours = 0, minutes = 0, seconds = 0;
    std::string date;          // YYYYMMDD
    std::string line1, line2;  // UTF-8

    // Whether it prints: one that may have printed must never run twice unseen.
    bool Prints() const {
        return kind != Kind::SetClock && kind != Kind::Display && kind != Kind::ExternalDisplay;
    }
};

struct OperationOutcome {
    enum class End {
        Done,
        NotDone,  // refused or failed before the register did anything
        InDoubt,  // the register did not answer the command: it may have done it
        Ending,   // the server ends under the request
    };
    End end = End::NotDone;
    Failure failure;
    std::string message;       // UTF-8; may be empty
    std::string step;          // the automation method
    bool sentNothing = false;  // Ending or NotDone before the operation's own command
    std::string clock;         // SetClock done: the register's clock read back (GETD data)
};

// What a reading asks of the register; nothing prints.
enum class DeskReading { Counters, Clock, Info };

struct RegisterCounters {
    int64_t lastReceipt = 0, lastDocument = 0, lastServiceDocument = 0, articleMode = 0,
            fiscalReportNumber = 0;
    bool fiscalReportMade = false;
    // The cash counters in the register's order: rest at the start, income, outcome, sales,
    // returns, total in the drawer, non-cash income, non-cash outcome (nullopt: not a number).
    std::array<std::optional<int64_t>, 8> cash;
    // The fiscal counters in the register's order: the sales total, eight tax totals, the
    // untaxed total, the returns total, eight tax returns, the untaxed returns.
    std::array<std::optional<int64_t>, 20> fiscal;
};

// The printer information record the register gave at its binding, read again now. Texts in
// UTF-8, as the register has them (trailing blanks cut).
struct PrinterRecord {
    std::string model;  // "family F level L", as health names it
    int family = 0, level = 0;
    std::string serial, fiscalNumber, owner, date, time, firmwareVersion, firmwareDate;
    char keyPosition = 0;  // 'R', 'X', 'Z', 'P' or another letter
    int64_t maxArticles = 0;
    std::string currencyName, currencyDate;
    int decimalPoint = 0;
    struct Tax {
        int index = 0;  // 0 to 7
        char kind = 0;  // '0' included, '1' on top, '2' withheld
        std::string rate, date;
    };
    std::vector<Tax> taxes;  // those set
};

struct ReadingOutcome {
    bool ok = false;
    Failure failure;
    std::string message, step;
    RegisterCounters counters;
    std::string clock;  // GETD data text
    PrinterRecord info;
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
    // A day's operation: binds (or reuses the kept binding), locks as a receipt does, runs it,
    // unlocks.
    virtual OperationOutcome Operate(int port, const DeskOperation& operation) = 0;
    // A reading through the port's kept binding, else bound as `who` (not given: refused as
    // not bound). It takes no lock: it prints and changes nothing.
    virtual ReadingOutcome Read(int port, DeskReading what, const DeskSignon& who) = 0;
    // Lets go of bindings unused for longer than `idle`.
    virtual void Sweep(std::chrono::seconds idle) = 0;
    // The server is ending: requests under way answer Ending soon; no new binding is kept.
    virtual void Stop() = 0;
};

}  // namespace vsk
