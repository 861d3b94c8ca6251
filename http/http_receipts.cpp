// Whole receipts, the ledger's receipts and the last receipt: JSON in, typed receipt to the
// server's receipt desk, typed outcome back out as JSON.
#include <algorithm>
#include <cctype>

#include "http/body_check.h"
#include "http/http_front.h"
#include "http/http_reply.h"
#include "http/receipt_desk.h"
#include "ledger/ledger.h"

namespace vsk {

namespace {

// Every figure of a body fits the register's 32-bit fields.
constexpr int64_t kMaxFigure = INT32_MAX;

bool CheckLine(BodyCheck& check, const Json& l, const std::string& at, WholeReceipt::Line* line) {
    if (!check.Members(
            &l, at, {"name", "quantity", "price", "weighed", "tax1", "tax2", "article", "discount"},
            "a line"))
        return false;
    check.Text(l, at, "name", "", &line->name);
    if (!check.Failed() && line->name.empty())
        check.Fail(at + "/name", "name is required");
    check.Number(l, at, "quantity", 1, 0, kMaxFigure, &line->qty);
    check.Number(l, at, "price", 0, 0, kMaxFigure, &line->price, true);
    check.Flag(l, at, "weighed", &line->weighed);
    // 1 to 8 name the register's tax rates; 0 is no tax.
    check.Number(l, at, "tax1", 1, 0, 8, &line->tax1);
    check.Number(l, at, "tax2", 0, 0, 8, &line->tax2);
    check.Number(l, at, "article", 0, 0, kMaxFigure, &line->article);
    if (const Json* d = l.Find("discount")) {
        const std::string dat = at + "/discount";
        check.Members(d, dat, {"direction", "value", "name"}, "a discount");
        if (!check.Failed()) {
            // 0 takes the value off the line, 1 adds it as a surcharge.
            check.Number(*d, dat, "direction", 0, 0, 1, &line->direction);
            check.Number(*d, dat, "value", 0, 0, kMaxFigure, &line->discount);
            check.Text(*d, dat, "name", "", &line->discountName);
        }
    }
    return !check.Failed();
}

void CheckTexts(BodyCheck& check, const Json& t, std::vector<WholeReceipt::Text>* texts) {
    if (!t.IsArray()) {
        check.Fail("/texts", "texts is an array");
        return;
    }
    for (size_t i = 0; !check.Failed() && i < t.AsArray().size(); ++i) {
        const Json& e = t.AsArray()[i];
        const std::string at = "/texts/" + std::to_string(i);
        WholeReceipt::Text x;
        check.Members(&e, at, {"text", "before", "journal", "bold"}, "a free text");
        check.Text(e, at, "text", "", &x.text);
        check.Flag(e, at, "before", &x.before);
        check.Flag(e, at, "journal", &x.journal);
        check.Flag(e, at, "bold", &x.bold);
        texts->push_back(std::move(x));
    }
}

// A ledger row as the API gives it; the CSV export uses the same names.
Json RowJson(const LedgerReceipt& r) {
    Json row;
    row.Set("id", r.id);
    row.Set("time", r.time);
    row.Set("port", int64_t(r.port));
    row.Set("client", r.client);
    row.Set("cashier", r.cashier);
    row.Set("clientCashier", r.clientCashier);
    row.Set("serial", r.serial);
    row.Set("kind", r.kind);
    row.Set("lines", Json::Parse(r.lines).value_or(Json(Json::Array{})));
    row.Set("payments", Json::Parse(r.payments).value_or(Json(Json::Object{})));
    row.Set("number", r.number);
    row.Set("numberBefore", r.numberBefore ? Json(*r.numberBefore) : Json());
    row.Set("total", r.total);
    row.Set("end", r.end);
    row.Set("error", r.error);
    row.Set("endedAt", r.endedAt);
    row.Set("settledBy", r.settledBy);
    row.Set("settledAt", r.settledAt);
    return row;
}

// The ledger is read a page at a time, in the order its rows were written: a page without
// `limit` has this many receipts, and none has more than the maximum.
constexpr int kReceiptsPage = 100;
constexpr int kReceiptsPageMax = 1000;

bool AllDigits(const std::string& text, size_t most) {
    return !text.empty() && text.size() <= most &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The query of the page after the one whose last row is `last`: the same filters and format.
std::string NextPage(const std::string& query, int limit, int64_t last) {
    std::string next = "/v1/receipts?";
    for (const char* name : {"port", "since", "format", "lines"})
        if (const std::string v = QueryValue(query, name); !v.empty())
            next += std::string(name) + "=" + v + "&";
    return next + "limit=" + std::to_string(limit) + "&after=" + std::to_string(last);
}

}  // namespace

HttpReply CHttpFront::Receipts(const Request& request, int) {
    const std::string portText = QueryValue(request.query, "port");
    int port = 0;
    if (!portText.empty()) {
        if (!AllDigits(portText, 4))
            return ErrorReply(Fault::BadPort, "port is a number");
        port = std::stoi(portText);
    }
    const std::string since = QueryValue(request.query, "since");
    if (!CLedger::ValidSince(since))
        return ErrorReply(
            Fault::BadSince,
            "since is a date or time (2026-12-01, 2026-12-01T08:00:00Z), got " + since);
    const std::string limitText = QueryValue(request.query, "limit");
    int limit = kReceiptsPage;
    if (!limitText.empty()) {
        limit = AllDigits(limitText, 4) ? std::stoi(limitText) : 0;
        if (limit < 1 || limit > kReceiptsPageMax)
            return ErrorReply(Fault::BadLimit, "limit is the number of receipts of a page, 1 to " +
                                                   std::to_string(kReceiptsPageMax) + ", got " +
                                                   limitText);
    }
    const std::string afterText = QueryValue(request.query, "after");
    if (!afterText.empty() && !AllDigits(afterText, 18))
        return ErrorReply(
            Fault::BadAfter,
            "after is the id of the last receipt of the previous page, got " + afterText);
    const int64_t after = afterText.empty() ? 0 : std::stoll(afterText);
    if (!m_ledger.IsOpen())
        return ErrorReply(Fault::NoLedger, "the receipts ledger is not available");
    // One row more than the page says whether another page follows.
    auto rows = m_ledger.Receipts(port, since, limit + 1, after);
    std::string next;
    if (rows.size() > size_t(limit)) {
        rows.resize(size_t(limit));
        next = NextPage(request.query, limit, rows.back().id);
    }
    if (QueryValue(request.query, "format") == "csv") {
        HttpReply reply;
        reply.contentType = "text/csv; charset=utf-8";
        reply.body = QueryValue(request.query, "lines") == "1" ? CLedger::CsvLines(rows)
                                                               : CLedger::Csv(rows);
        if (!next.empty())
            reply.headers.emplace_back("Link", "<" + next + ">; rel=\"next\"");
        return reply;
    }
    Json::Array list;
    for (const LedgerReceipt& r : rows)
        list.push_back(RowJson(r));
    Json body;
    body.Set("receipts", Json(std::move(list)));
    body.Set("next", next.empty() ? Json() : Json(next));
    return JsonReply(200, body);
}

// What the register says its last receipt is, asked now, beside the ledger's last row of the
// port: an operator's look at a receipt in doubt.
HttpReply CHttpFront::LastReceipt(const Request&, int port) {
    Json body;
    body.Set("port", int64_t(port));
    Json reg;
    if (m_options.lastReceipt) {
        reg = Json::Parse(m_options.lastReceipt(port)).value_or(Json());
    }
    body.Set("register", std::move(reg));
    std::optional<LedgerReceipt> last;
    if (m_ledger.IsOpen())
        last = m_ledger.LastOfPort(port);
    body.Set("ledger", last ? RowJson(*last) : Json());
    return JsonReply(200, body);
}

HttpReply CHttpFront::Receipt(const Request& request, int port) {
    if (!m_options.desk)
        return ErrorReply(Fault::NoRoute, "nothing at " + request.path);
    std::string error;
    auto body = Json::Parse(request.body, &error);
    if (!body)
        return ErrorReply(Fault::BadJson, "malformed JSON: " + error);
    WholeReceipt receipt;
    if (auto refusal = CheckReceipt(*body, &receipt)) {
        // Refused before anything reached the register: a key it carries stays free.
        return *refusal;
    }
    return WithKey(
        request, "", port, [&] { return Canonical(*body).Dump(); },
        [&](const std::string& key, bool* printed) {
            const ReceiptOutcome outcome = m_options.desk->Sell(port, receipt, key);
            // As far as the key goes, one in doubt printed: it must not print again.
            *printed = outcome.end == ReceiptOutcome::End::Printed ||
                       outcome.end == ReceiptOutcome::End::InDoubt;
            return OutcomeReply(outcome, receipt, port);
        },
        // A key whose receipt a killed server left unsettled: binding its port settles it (the
        // first binding reads the register's counter), and the binding is kept for the retry.
        [&](int settlePort) { m_options.desk->Settle(settlePort, receipt); });
}

HttpReply CHttpFront::OutcomeReply(const ReceiptOutcome& o, const WholeReceipt& receipt, int port) {
    const int status = HttpStatusOf(o);
    const std::string word = o.failure.word.empty() ? "E_FAIL" : o.failure.word;
    switch (o.end) {
        case ReceiptOutcome::End::Ending:
            return ErrorReply(Fault::Ending, "the server is ending");
        case ReceiptOutcome::End::InDoubt:
            return InDoubtReply(
                "the register did not answer the closing (" + word + ": " + o.message +
                    "): it may have printed the receipt; its row is completed when the register "
                    "answers, else look at the register before printing it again",
                o.step);
        case ReceiptOutcome::End::Printed: {
            Json result;
            if (o.figures) {
                // number;total;on-sale taxes;included taxes;...;return figures
                const auto& f = *o.figures;
                result.Set("number", f[0]);
                // What the receipt took, or for a return what it paid back.
                result.Set("total", receipt.isReturn ? f[5] : f[1]);
                result.Set("onSaleTaxes", f[2]);
                result.Set("includedTaxes", f[3]);
                result.Set("returnTotal", f[5]);
                result.Set("checkResult", o.checkResult);
            }
            result.Set("kind", receipt.isReturn ? "return" : "sale");
            result.Set("sum", o.total);
            result.Set("paid", receipt.Paid());
            result.Set("change", receipt.Paid() - o.total);
            result.Set("port", int64_t(port));
            return JsonReply(200, result);
        }
        case ReceiptOutcome::End::NotPrinted:
            break;
    }
    if (o.failure.fault == Fault::NotCovered)
        return ErrorReply(Fault::NotCovered, "the payments (" + std::to_string(receipt.Paid()) +
                                                 ") do not cover the register's total (" +
                                                 std::to_string(o.total) +
                                                 "); the receipt was cancelled");
    if (o.failure.fault == Fault::Unconfirmed)
        return ErrorReply(Fault::Unconfirmed,
                          o.step + ": the register did not confirm the command (" + word + ": " +
                              o.message + "); the receipt was cancelled");
    Json why;
    why.Set("code", word);
    why.Set("message", o.message);
    why.Set("step", o.step);
    Json reply;
    reply.Set("error", std::move(why));
    reply.Set("printed", false);
    return JsonReply(status, reply);
}

// A printing request with an Idempotency-Key runs once: a repeat answers the stored answer.
// The key is bound to its request (a fingerprint of method, path, port and body), kept only
// where it survives a crash, and left free when nothing was printed.
HttpReply CHttpFront::WithKey(const Request& request, const std::string& scope, int port,
                              const std::function<std::string()>& canonicalBody,
                              const KeyedRun& run, const std::function<void(int port)>& settle) {
    std::string key;
    if (auto k = request.headers.find("idempotency-key"); k != request.headers.end())
        key = k->second;
    if (key.size() > 200)
        return ErrorReply(Fault::BadKey, "an idempotency key is at most 200 characters");
    bool printed = false;
    if (key.empty())
        return run("", &printed);
    key = scope + key;
    const std::string fingerprint =
        request.method + " " + request.path + " " + std::to_string(port) + " " + canonicalBody();
    for (int attempt = 0;; ++attempt) {
        std::string why;
        if (!m_ledger.KeysDurable(&why))
            return ErrorReply(Fault::LedgerUnavailable,
                              "an idempotency key cannot be kept now (" + why +
                                  "); nothing was printed. Requests without a key still print");
        int status = 0, settlePort = 0;
        std::string stored, firstTime;
        switch (m_ledger.ClaimKey(key, fingerprint, &status, &stored, &firstTime, &settlePort)) {
            case CLedger::KeyState::Done: {
                HttpReply reply;
                reply.status = status;
                reply.body = stored;
                reply.headers.emplace_back("Idempotent-Replay", "true");
                return reply;
            }
            case CLedger::KeyState::Running:
                return ErrorReply(Fault::InProgress,
                                  "a request with this idempotency key is in progress");
            case CLedger::KeyState::Reused: {
                Json why2;
                why2.Set("code", std::string(RowOf(Fault::KeyReused).word));
                why2.Set("message", "this idempotency key was first used at " + firstTime +
                                        " for another request; nothing was printed");
                why2.Set("firstTime", firstTime);
                Json body;
                body.Set("error", std::move(why2));
                return JsonReply(RowOf(Fault::KeyReused).http, body);
            }
            case CLedger::KeyState::Unsettled:
                // Cut by a crash, its receipt not yet settled by the register: bind its port
                // (which settles it) and ask again.
                if (attempt == 0 && settle) {
                    settle(settlePort);
                    continue;
                }
                return ErrorReply(Fault::Unsettled,
                                  "the first request with this key was cut by a crash and port " +
                                      std::to_string(settlePort) +
                                      " could not be asked yet what became of it; try later");
            case CLedger::KeyState::Unavailable:
                return ErrorReply(Fault::LedgerUnavailable,
                                  "an idempotency key cannot be kept now; nothing was printed");
            case CLedger::KeyState::New:
                break;
        }
        break;
    }
    HttpReply reply = run(key, &printed);
    // Cut by the server's end: the key stays running, and the next start settles it by its
    // row (by the register's counter) or, without a row, frees it.
    if (reply.cut)
        return reply;
    if (!printed) {
        m_ledger.ReleaseKey(key);  // nothing printed: the corrected request may use it
        return reply;
    }
    m_ledger.FinishKey(key, reply.status, reply.body);
    return reply;
}

// Everything is checked before the register is asked anything: a refused receipt prints
// nothing, and the field at fault is named.
std::optional<HttpReply> CHttpFront::CheckReceipt(const Json& body, WholeReceipt* r) {
    BodyCheck check(Fault::BadReceipt);
    check.Members(&body, "",
                  {"cashier", "password", "department", "kind", "client", "returnNumber", "lines",
                   "texts", "payments"},
                  "a receipt");
    std::string kind;
    check.Text(body, "", "cashier", "", &r->cashier);
    check.Text(body, "", "password", "", &r->password);
    check.Text(body, "", "department", "1", &r->department);
    check.Text(body, "", "kind", "sale", &kind);
    check.Text(body, "", "client", "http", &r->client);
    if (!check.Failed() && kind != "sale" && kind != "return")
        check.Fail("/kind", "kind is sale or return");
    r->isReturn = kind == "return";
    if (r->client.empty())
        r->client = "http";
    check.Number(body, "", "returnNumber", 0, 0, kMaxFigure, &r->returnNumber);
    const Json* lines = body.Find("lines");
    if (!check.Failed() && (!lines || !lines->IsArray() || lines->AsArray().empty()))
        check.Fail("/lines", "lines is a non-empty array");
    int64_t expected = 0;
    for (size_t i = 0; !check.Failed() && i < lines->AsArray().size(); ++i) {
        const std::string at = "/lines/" + std::to_string(i);
        WholeReceipt::Line line;
        if (!CheckLine(check, lines->AsArray()[i], at, &line))
            break;
        // The engine's own rule: what the register will add for this line.
        const std::optional<int64_t> sum = m_options.desk->LineSum(line);
        if (!sum) {
            check.Fail(at + "/price", "the line's sum does not fit");
            break;
        }
        expected += *sum;
        r->lines.push_back(std::move(line));
    }
    if (const Json* t = body.Find("texts"); t && !check.Failed())
        CheckTexts(check, *t, &r->texts);
    const Json* payments = body.Find("payments");
    if (!check.Failed() && !payments)
        check.Fail("/payments", "payments is required");
    if (check.Members(payments, "/payments", {"cash", "check", "credit", "packing"},
                      "the payments")) {
        check.Number(*payments, "/payments", "cash", 0, 0, kMaxFigure, &r->cash);
        check.Number(*payments, "/payments", "check", 0, 0, kMaxFigure, &r->check);
        check.Number(*payments, "/payments", "credit", 0, 0, kMaxFigure, &r->credit);
        check.Number(*payments, "/payments", "packing", 0, 0, kMaxFigure, &r->packing);
    }
    if (check.Failed())
        return check.Refusal();
    if (r->Paid() < expected)
        return ErrorReply(Fault::NotCovered, "the payments (" + std::to_string(r->Paid()) +
                                                 ") do not cover the total (" +
                                                 std::to_string(expected) +
                                                 "); nothing was printed");
    return std::nullopt;
}

}  // namespace vsk
