// The day's operations besides receipts: reports, cash in and out, the clock, the displays
// (printing or changing: a body with the cashier, an Idempotency-Key, the port's lock), and
// the readings of counters, clock and the printer information (nothing printed, no lock).
// JSON in, typed operation to the receipt desk, typed outcome back out as JSON.
#include <cstdio>

#include "http/body_check.h"
#include "http/http_front.h"
#include "http/http_reply.h"
#include "http/operation_check.h"
#include "http/receipt_desk.h"

namespace vsk {

namespace {

constexpr int64_t kMaxAmount = INT32_MAX;  // the register's 32-bit figures
// What the register's own display shows of a line; the external display takes one text.
constexpr size_t kDisplayWidth = 16;
constexpr size_t kExternalWidth = 198;

size_t Characters(const std::string& utf8) {
    size_t n = 0;
    for (unsigned char c : utf8)
        n += (c & 0xC0) != 0x80;
    return n;
}

bool Digits(std::string_view text, size_t at, size_t count, int* out) {
    if (at + count > text.size())
        return false;
    int v = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (text[i] - '0');
    }
    *out = v;
    return true;
}

bool CalendarDate(int y, int m, int d) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return y >= 1900 && m >= 1 && m <= 12 && d >= 1 && d <= kDays[m - 1] + (m == 2 && leap);
}

// "YYYY-MM-DD" at the start of `text`.
bool ParseDate(std::string_view text, int* y, int* m, int* d) {
    return text.size() >= 10 && Digits(text, 0, 4, y) && text[4] == '-' && Digits(text, 5, 2, m) &&
           text[7] == '-' && Digits(text, 8, 2, d) && CalendarDate(*y, *m, *d);
}

// The signon a printing body carries: cashier and password, both or (where `optional`)
// neither.
void CheckSignon(BodyCheck& check, const Json& body, bool optional, DeskSignon* who) {
    const bool hasCashier = body.Find("cashier"), hasPassword = body.Find("password");
    check.Text(body, "", "cashier", "", &who->cashier);
    check.Text(body, "", "password", "", &who->password);
    if (check.Failed())
        return;
    if (optional && !hasCashier && !hasPassword) {
        who->given = false;
        return;
    }
    if (!hasCashier)
        check.Fail("/cashier", "cashier is required");
    else if (!hasPassword)
        check.Fail("/password", "password is required");
}

// A date member ("YYYY-MM-DD"); its automation DATE.
bool DateMember(BodyCheck& check, const Json& body, const char* name, double* out) {
    const Json* v = body.Find(name);
    int y = 0, m = 0, d = 0;
    if (!v)
        return check.Fail(std::string("/") + name, std::string(name) + " is required");
    if (!v->IsString() || v->AsString().size() != 10 || !ParseDate(v->AsString(), &y, &m, &d))
        return check.Fail(std::string("/") + name,
                          std::string(name) + " is a date written YYYY-MM-DD");
    *out = AutomationDate(y, m, d);
    return true;
}

void CheckPeriodic(BodyCheck& check, const Json& body, DeskOperation* op) {
    const bool byDates = body.Find("from") || body.Find("to");
    const bool byNumbers = body.Find("fromZ") || body.Find("toZ");
    if (byDates && byNumbers) {
        check.Fail(body.Find("fromZ") ? "/fromZ" : "/toZ",
                   "a periodic report is by dates (from, to) or by Z-report numbers (fromZ, "
                   "toZ), not both");
    } else if (!byDates && !byNumbers) {
        check.Fail("/from", "from and to, or fromZ and toZ, are required");
    } else if (byDates) {
        op->kind = DeskOperation::Kind::PeriodicByDates;
        if (DateMember(check, body, "from", &op->from) && DateMember(check, body, "to", &op->to) &&
            op->to < op->from)
            check.Fail("/to", "to is not before from");
    } else {
        op->kind = DeskOperation::Kind::PeriodicByNumbers;
        check.Number(body, "", "fromZ", 0, 1, 9999, &op->first, true);
        check.Number(body, "", "toZ", 0, 1, 9999, &op->last, true);
        // The register's command for one Z-report alone carries no numbers, which asks the
        // register for its whole fiscal memory: not what was asked.
        if (!check.Failed() && op->last <= op->first)
            check.Fail("/toZ",
                       "toZ is above fromZ (a range of one Z-report cannot be asked "
                       "by numbers: ask it by its date)");
    }
    bool full = false;
    check.Flag(body, "", "full", &full);
    if (!check.Failed() && full)
        check.Fail("/full", "the register prints one form of periodic report: full is false");
}

void CheckClock(BodyCheck& check, const Json& body, DeskOperation* op) {
    op->kind = DeskOperation::Kind::SetClock;
    const Json* v = body.Find("time");
    int y = 0, mo = 0, d = 0;
    if (!v) {
        check.Fail("/time", "time is required");
        return;
    }
    const std::string text = v->IsString() ? v->AsString() : std::string();
    if (text.size() != 19 || !ParseDate(text, &y, &mo, &d) || text[10] != 'T' ||
        !Digits(text, 11, 2, &op->hours) || text[13] != ':' || !Digits(text, 14, 2, &op->minutes) ||
        text[16] != ':' || !Digits(text, 17, 2, &op->seconds) || op->hours > 23 ||
        op->minutes > 59 || op->seconds > 59) {
        check.Fail("/time", "time is the till's local time written YYYY-MM-DDTHH:MM:SS");
        return;
    }
    char day[40];
    std::snprintf(day, sizeof day, "%04d%02d%02d", y, mo, d);
    op->date = day;
}

void CheckDisplays(BodyCheck& check, const Json& body, DeskOperation* op) {
    bool external = false;
    check.Flag(body, "", "external", &external);
    op->kind = external ? DeskOperation::Kind::ExternalDisplay : DeskOperation::Kind::Display;
    const Json* lines = body.Find("lines");
    const size_t most = external ? 1 : 2;
    if (check.Failed())
        return;
    if (!lines || !lines->IsArray()) {
        check.Fail("/lines", "lines is an array of texts");
        return;
    }
    if (lines->AsArray().size() > most) {
        check.Fail("/lines/" + std::to_string(most), external
                                                         ? "the external display takes one text"
                                                         : "the register's display has two lines");
        return;
    }
    const size_t width = external ? kExternalWidth : kDisplayWidth;
    std::string* texts[2] = {&op->line1, &op->line2};
    for (size_t i = 0; i < lines->AsArray().size() && !check.Failed(); ++i) {
        const std::string at = "/lines/" + std::to_string(i);
        const Json& line = lines->AsArray()[i];
        bool control = false;
        for (unsigned char c : line.IsString() ? line.AsString() : std::string())
            control = control || c < 0x20 || c == 0x7F;
        if (!line.IsString() || control) {
            check.Fail(at, "a line is a text without control characters");
            return;
        }
        const std::string& text = line.AsString();
        if (Characters(text) > width) {
            check.Fail(at, "a line shows at most " + std::to_string(width) + " characters");
            return;
        }
        *texts[i] = text;
    }
}

}  // namespace

double AutomationDate(int year, int month, int day) {
    // Days from 1970-01-01 of a proleptic Gregorian date (the civil-from-days inverse).
    const int y = year - (month <= 2);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = unsigned((153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1);
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long days = long(era) * 146097 + long(doe) - 719468;
    return double(days + 25569);  // 1899-12-30 is 25569 days before 1970-01-01
}

std::string ClockText(const std::string& c) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (c.size() < 14 || !Digits(c, 0, 4, &y) || !Digits(c, 4, 2, &mo) || !Digits(c, 6, 2, &d) ||
        !Digits(c, 8, 2, &h) || !Digits(c, 10, 2, &mi) || !Digits(c, 12, 2, &s) ||
        !CalendarDate(y, mo, d) || h > 23 || mi > 59 || s > 59)
        return {};
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", y, mo, d, h, mi, s);
    return text;
}

std::optional<HttpReply> CheckOperation(std::string_view route, const Json& body,
                                        DeskOperation* op) {
    BodyCheck check(Fault::BadBody);
    const bool displays = route == "displays";
    if (route == "reports/x" || route == "reports/z") {
        op->kind =
            route == "reports/x" ? DeskOperation::Kind::XReport : DeskOperation::Kind::ZReport;
        check.Members(&body, "", {"cashier", "password"}, "a report");
    } else if (route == "reports/periodic") {
        check.Members(&body, "", {"cashier", "password", "from", "to", "fromZ", "toZ", "full"},
                      "a periodic report");
    } else if (route == "cash") {
        check.Members(&body, "", {"cashier", "password", "direction", "amount"}, "a cash move");
    } else if (route == "clock") {
        check.Members(&body, "", {"cashier", "password", "time"}, "a clock setting");
    } else if (displays) {
        check.Members(&body, "", {"cashier", "password", "lines", "external"}, "a display");
    } else {
        check.Fail("/", "no such operation");
    }
    CheckSignon(check, body, displays, &op->who);
    if (check.Failed())
        return check.Refusal();
    if (route == "reports/periodic") {
        CheckPeriodic(check, body, op);
    } else if (route == "cash") {
        std::string direction;
        check.Text(body, "", "direction", "", &direction);
        if (!check.Failed() && direction != "in" && direction != "out")
            check.Fail("/direction", "direction is in or out");
        op->kind = direction == "in" ? DeskOperation::Kind::CashIn : DeskOperation::Kind::CashOut;
        check.Number(body, "", "amount", 0, 1, kMaxAmount, &op->amount, true);
    } else if (route == "clock") {
        CheckClock(check, body, op);
    } else if (displays) {
        CheckDisplays(check, body, op);
    }
    if (check.Failed())
        return check.Refusal();
    return std::nullopt;
}

namespace {

Json Nullable(const std::optional<int64_t>& v) {
    return v ? Json(*v) : Json();
}

Json ClockJson(const std::string& registerClock) {
    Json body;
    const std::string time = ClockText(registerClock);
    body.Set("time", time.empty() ? Json() : Json(time));
    body.Set("raw", registerClock);
    return body;
}

Json CountersJson(const RegisterCounters& c) {
    Json documents;
    documents.Set("lastReceipt", c.lastReceipt);
    documents.Set("lastDocument", c.lastDocument);
    documents.Set("lastServiceDocument", c.lastServiceDocument);
    documents.Set("articleMode", c.articleMode);
    documents.Set("fiscalReportMade", c.fiscalReportMade);
    documents.Set("fiscalReportNumber", c.fiscalReportNumber);
    static const char* const kCash[8] = {"rest",    "income", "outcome",     "sales",
                                         "returns", "total",  "checkIncome", "checkOutcome"};
    Json cash;
    for (size_t i = 0; i < c.cash.size(); ++i)
        cash.Set(kCash[i], Nullable(c.cash[i]));
    Json fiscal;
    Json::Array taxTotals, taxReturns;
    for (size_t i = 0; i < 8; ++i) {
        taxTotals.push_back(Nullable(c.fiscal[1 + i]));
        taxReturns.push_back(Nullable(c.fiscal[11 + i]));
    }
    fiscal.Set("total", Nullable(c.fiscal[0]));
    fiscal.Set("taxTotals", Json(std::move(taxTotals)));
    fiscal.Set("untaxedTotal", Nullable(c.fiscal[9]));
    fiscal.Set("returns", Nullable(c.fiscal[10]));
    fiscal.Set("taxReturns", Json(std::move(taxReturns)));
    fiscal.Set("untaxedReturns", Nullable(c.fiscal[19]));
    Json body;
    body.Set("lastReceipt", c.lastReceipt);
    body.Set("documents", std::move(documents));
    body.Set("cash", std::move(cash));
    body.Set("fiscal", std::move(fiscal));
    return body;
}

Json InfoJson(const PrinterRecord& r) {
    Json body;
    body.Set("model", r.model);
    body.Set("protocolFamily", int64_t(r.family));
    body.Set("protocolLevel", int64_t(r.level));
    body.Set("serial", r.serial);
    body.Set("fiscalNumber", r.fiscalNumber);
    body.Set("owner", r.owner);
    body.Set("date", r.date);
    body.Set("time", r.time);
    body.Set("keyPosition", r.keyPosition ? Json(std::string(1, r.keyPosition)) : Json());
    Json firmware;
    firmware.Set("version", r.firmwareVersion);
    firmware.Set("date", r.firmwareDate);
    body.Set("firmware", std::move(firmware));
    body.Set("maxArticles", r.maxArticles);
    Json currency;
    currency.Set("name", r.currencyName);
    currency.Set("decimalPoint", int64_t(r.decimalPoint));
    currency.Set("date", r.currencyDate);
    body.Set("currency", std::move(currency));
    // The tax letters А to З of the register's receipts.
    static const char* const kLetters[8] = {"А", "Б", "В", "Г", "Д", "Е", "Ж", "З"};
    Json::Array taxes;
    for (const PrinterRecord::Tax& t : r.taxes) {
        Json tax;
        tax.Set("index", int64_t(t.index));
        tax.Set("letter", kLetters[t.index & 7]);
        tax.Set("kind", t.kind == '0' ? "included" : t.kind == '1' ? "onTop" : "withheld");
        tax.Set("rate", t.rate);
        tax.Set("date", t.date);
        taxes.push_back(std::move(tax));
    }
    body.Set("taxes", Json(std::move(taxes)));
    return body;
}

// A binding or a lock that cannot be had is the port's state (try again later), as for a
// receipt; a port nobody bound is the caller's to bind.
int StatusOf(const Failure& failure, const std::string& step) {
    if (failure.fault == Fault::NotBound)
        return RowOf(Fault::NotBound).http;
    if (step == "Init" || step == "LockPrinter")
        return 503;
    return RowOf(failure.fault).http;
}

HttpReply FailureReply(const Failure& failure, const std::string& message, const std::string& step,
                       bool printing, const std::string& field = {}) {
    Json why;
    why.Set("code", failure.word.empty() ? std::string("E_FAIL") : failure.word);
    why.Set("message", message);
    why.Set("step", step);
    if (!field.empty())
        why.Set("field", field);
    Json body;
    body.Set("error", std::move(why));
    if (printing)
        body.Set("printed", false);
    return JsonReply(StatusOf(failure, step), body);
}

HttpReply OperationReply(const OperationOutcome& o, const DeskOperation& op) {
    using End = OperationOutcome::End;
    const std::string word = o.failure.word.empty() ? "E_FAIL" : o.failure.word;
    switch (o.end) {
        case End::Done: {
            if (op.kind == DeskOperation::Kind::SetClock)
                return JsonReply(200, ClockJson(o.clock));
            Json body;
            body.Set(op.Prints() ? "printed" : "shown", true);
            return JsonReply(200, body);
        }
        case End::Ending: {
            HttpReply reply = ErrorReply(Fault::Ending, "the server is ending");
            // Cut before anything was sent: the key is free for the retry.
            reply.cut = !o.sentNothing;
            return reply;
        }
        case End::InDoubt: {
            if (!op.Prints())
                return ErrorReply(Fault::Unconfirmed,
                                  o.step + ": the register did not confirm the command (" + word +
                                      ": " + o.message + ")");
            return InDoubtReply(o.step + ": the register did not answer (" + word + ": " +
                                    o.message +
                                    "): it may have printed; look at the register's tape before "
                                    "asking again with another key",
                                o.step);
        }
        case End::NotDone:
            break;
    }
    // A clock the register cannot be set to names the field that asked for it.
    const bool clockRefused =
        o.failure.fault == Fault::Precondition && op.kind == DeskOperation::Kind::SetClock;
    return FailureReply(o.failure, o.message, o.step, op.Prints(), clockRefused ? "/time" : "");
}

}  // namespace

HttpReply CHttpFront::Operation(const Request& request, int port) {
    if (!m_options.desk)
        return ErrorReply(Fault::NoRoute, "nothing at " + request.path);
    // The route is what follows /v1/ports/{n}/ (the router has matched that much).
    const size_t afterPort = request.path.find('/', std::string_view("/v1/ports/").size());
    const std::string route =
        afterPort == std::string::npos ? std::string() : request.path.substr(afterPort + 1);
    std::string error;
    auto body = Json::Parse(request.body, &error);
    if (!body)
        return ErrorReply(Fault::BadJson, "malformed JSON: " + error);
    DeskOperation op;
    if (auto refusal = CheckOperation(route, *body, &op))
        return *refusal;  // nothing reached the register: a key it carries stays free
    return WithKey(
        request, op.Prints() ? "op:" : "set:", port, [&] { return Canonical(*body).Dump(); },
        [&](const std::string&, bool* done) {
            const OperationOutcome outcome = m_options.desk->Operate(port, op);
            // As far as the key goes, a printing one in doubt printed: never again unseen.
            *done = outcome.end == OperationOutcome::End::Done ||
                    (outcome.end == OperationOutcome::End::InDoubt && op.Prints());
            return OperationReply(outcome, op);
        },
        nullptr);
}

HttpReply CHttpFront::Reading(const Request& request, int port, DeskReading what) {
    if (!m_options.desk)
        return ErrorReply(Fault::NoRoute, "nothing at " + request.path);
    DeskSignon who;
    auto cashier = request.headers.find("x-vsk-cashier");
    auto password = request.headers.find("x-vsk-password");
    who.given = cashier != request.headers.end();
    if (who.given) {
        who.cashier = cashier->second;
        who.password = password != request.headers.end() ? password->second : std::string();
    }
    const ReadingOutcome o = m_options.desk->Read(port, what, who);
    if (!o.ok) {
        if (o.failure.fault == Fault::Ending)
            return ErrorReply(Fault::Ending, "the server is ending");
        return FailureReply(o.failure, o.message, o.step, false);
    }
    switch (what) {
        case DeskReading::Counters:
            return JsonReply(200, CountersJson(o.counters));
        case DeskReading::Clock:
            return JsonReply(200, ClockJson(o.clock));
        case DeskReading::Info:
            break;
    }
    return JsonReply(200, InfoJson(o.info));
}

HttpReply CHttpFront::Counters(const Request& request, int port) {
    return Reading(request, port, DeskReading::Counters);
}

HttpReply CHttpFront::Info(const Request& request, int port) {
    return Reading(request, port, DeskReading::Info);
}

HttpReply CHttpFront::Clock(const Request& request, int port) {
    if (request.method == "GET")
        return Reading(request, port, DeskReading::Clock);
    if (request.method == "PUT")
        return Operation(request, port);
    return ErrorReply(Fault::WrongMethod, "use GET or PUT");
}

}  // namespace vsk
