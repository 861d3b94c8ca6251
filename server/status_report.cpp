#include "server/status_report.h"

#include <ctime>
#include <fstream>
#include <vector>

#include "link/journal.h"
#include "platform/codepage.h"
#include "rpc/json.h"

namespace vsk {

namespace {

std::string IsoTime(int64_t unixMs) {
    if (unixMs <= 0)
        return {};
    const std::time_t t = std::time_t(unixMs / 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// The page's one format of a time: the till's local time, as its operator reads it.
std::string LocalTime(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%d.%m.%Y %H:%M:%S", &tm);
    return text;
}

std::string LocalTimeOfMs(int64_t unixMs) {
    return unixMs > 0 ? LocalTime(std::time_t(unixMs / 1000)) : std::string();
}

// The ledger's "YYYY-MM-DDTHH:MM:SSZ" as local time; "" when it is not one.
std::string LocalTimeOfIso(const std::string& iso) {
    std::tm tm{};
    char zone = 0;
    if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &zone) != 7 ||
        zone != 'Z')
        return {};
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return LocalTime(timegm(&tm));
}

// A journal line's own stamp ("MM/DD/YY HH:MM:SS" at its start) in the page's format.
std::string WithLocalStamp(const std::string& line) {
    int month = 0, day = 0, year = 0, hour = 0, minute = 0, second = 0, used = 0;
    if (std::sscanf(line.c_str(), "%2d/%2d/%2d %2d:%2d:%2d%n", &month, &day, &year, &hour, &minute,
                    &second, &used) != 6 ||
        used != 17)
        return line;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d.%02d.%04d %02d:%02d:%02d", day, month, 2000 + year,
                  hour, minute, second);
    return stamp + line.substr(17);
}

// A label value: backslash, quote and newline escaped.
std::string Label(const std::string& v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

}  // namespace

namespace {

Json HealthBody(CVSKPortManager& ports, bool* healthy) {
    *healthy = true;
    Json::Array list;
    for (const auto& p : ports.Health()) {
        const EngineStats::Snapshot s = p.stats->Read();
        Json port;
        port.Set("port", int64_t(p.port));
        port.Set("open", p.open);
        port.Set("model", s.model);
        port.Set("serial", s.serial);
        port.Set("lastReply", IsoTime(s.lastReplyUnixMs));
        port.Set("lastReplyLocal", LocalTimeOfMs(s.lastReplyUnixMs));
        port.Set("answering", !s.lastTimedOut && !s.deviceLost);
        port.Set("paper", s.paper);
        port.Set("lastError", s.lastError);
        port.Set("device", s.device);
        // A port let go since (no descriptor, no clients) is closed, not without its device.
        port.Set("deviceLost", p.open && s.deviceLost);
        Json::Array clients;
        for (const std::string& c : p.clients)
            clients.emplace_back(Cp1251ToUtf8(c));
        port.Set("clients", Json(std::move(clients)));
        port.Set("lockHolder", p.locked ? Json(Cp1251ToUtf8(p.lockHolder)) : Json());
        // A port that clients are bound to and that has no device serves none of them.
        if ((p.open && s.lastTimedOut) || (p.open && !p.clients.empty() && s.deviceLost))
            *healthy = false;
        list.push_back(std::move(port));
    }
    Json body;
    body.Set("healthy", *healthy);
    body.Set("ports", Json(std::move(list)));
    return body;
}

// The last lines of a text file (at most the last 64 KiB of it).
std::vector<std::string> Tail(const std::string& path, size_t lines) {
    std::vector<std::string> out;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return out;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    const std::streamoff from = size > 65536 ? size - 65536 : 0;
    in.seekg(from);
    std::string line;
    if (from > 0)
        std::getline(in, line);  // a partial line
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out.push_back(Cp1251ToUtf8(line));
        if (out.size() > lines)
            out.erase(out.begin());
    }
    return out;
}

}  // namespace

namespace {

// What the status page shows of any receipt.
Json BriefRow(const LedgerReceipt& r) {
    Json row;
    row.Set("port", int64_t(r.port));
    row.Set("client", r.client);
    row.Set("total", r.total);
    row.Set("time", r.time);
    return row;
}

// The ledger's own state and the receipts nobody can yet say printed or not: an operator
// settles those by looking at the register.
void AddLedger(Json& body, CLedger& ledger, bool* healthy) {
    Json state;
    state.Set("open", ledger.IsOpen());
    const LedgerHealth h = ledger.Health();
    std::string why;
    const bool durable = ledger.KeysDurable(&why);
    state.Set("ok", h.ok && durable);
    state.Set("failedWrites", h.failedWrites);
    state.Set("lastError", h.lastError.empty() ? why : h.lastError);
    if (!h.ok || (ledger.IsOpen() && !durable))
        *healthy = false;
    body.Set("ledger", std::move(state));
    Json::Array unknown;
    for (const LedgerReceipt& r : ledger.Unknown(20)) {
        Json row = BriefRow(r);
        row.Set("id", r.id);
        row.Set("numberBefore", r.numberBefore ? Json(*r.numberBefore) : Json());
        row.Set("error", r.error);
        unknown.push_back(std::move(row));
    }
    body.Set("unknownReceipts", Json(std::move(unknown)));
}

}  // namespace

std::string HealthJson(CVSKPortManager& ports, CLedger& ledger, bool* healthy) {
    Json body = HealthBody(ports, healthy);
    AddLedger(body, ledger, healthy);
    return body.Dump();
}

namespace {

// What the page shows of a port in red: the failure whose operator text it shows.
Json PortAlert(const Json& port) {
    if (port.Find("deviceLost")->AsBool())
        return Json("PORTOPENERROR");
    if (port.Find("open")->AsBool() && !port.Find("answering")->AsBool())
        return Json("CONNTIMEOUT");
    return Json();
}

}  // namespace

std::string StatusJson(CVSKPortManager& ports, CLedger& ledger) {
    bool healthy = true;
    Json body = HealthBody(ports, &healthy);
    AddLedger(body, ledger, &healthy);
    body.Set("at", LocalTime(std::time(nullptr)));
    Json::Array alerted;
    for (const Json& p : body.Find("ports")->AsArray()) {
        Json port = p;
        port.Set("alert", PortAlert(p));
        alerted.push_back(std::move(port));
    }
    body.Set("ports", Json(std::move(alerted)));
    Json::Array receipts;
    for (const LedgerReceipt& r : ledger.Latest(10)) {
        Json row = BriefRow(r);
        row.Set("number", r.number);
        row.Set("end", r.end);
        row.Set("timeLocal", LocalTimeOfIso(r.time));
        receipts.push_back(std::move(row));
    }
    body.Set("receipts", Json(std::move(receipts)));
    Json::Array journal;
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    for (const auto& p : ports.Health())
        for (std::string& line :
             Tail(vsk::Journal::DefaultFolder() + "/" + vsk::Journal::FileName(p.port, today), 15))
            journal.emplace_back("COM" + std::to_string(p.port) + " " + WithLocalStamp(line));
    body.Set("journal", Json(std::move(journal)));
    return body.Dump();
}

std::string MetricsText(CVSKPortManager& ports) {
    const auto health = ports.Health();
    std::vector<EngineStats::Snapshot> snaps;
    for (const auto& p : health)
        snaps.push_back(p.stats->Read());
    std::string out;
    auto family = [&](const char* name, const char* type, const char* help, auto value) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        for (size_t i = 0; i < health.size(); ++i)
            out += std::string(name) + "{port=\"" + std::to_string(health[i].port) + "\"} " +
                   std::to_string(value(health[i], snaps[i])) + "\n";
    };
    using H = CVSKPortManager::PortHealth;
    using S = EngineStats::Snapshot;
    family("vsk_port_open", "gauge", "Whether the port is open (1) or closed (0).",
           [](const H& h, const S&) { return uint64_t(h.open); });
    family("vsk_port_clients", "gauge", "Clients bound to the port.",
           [](const H& h, const S&) { return uint64_t(h.clients.size()); });
    family("vsk_port_answering", "gauge",
           "Whether the register answered its latest exchange in time (1) or not, or its device "
           "went away (0).",
           [](const H&, const S& s) { return uint64_t(!s.lastTimedOut && !s.deviceLost); });
    family("vsk_exchanges_total", "counter", "Commands sent to the register.",
           [](const H&, const S& s) { return s.exchanges; });
    family("vsk_timeouts_total", "counter", "Commands the register did not answer in time.",
           [](const H&, const S& s) { return s.timeouts; });
    family("vsk_message_bytes_sent_total", "counter", "Message text sent to the register.",
           [](const H&, const S& s) { return s.bytesSent; });
    family("vsk_message_bytes_received_total", "counter",
           "Message text received from the register.",
           [](const H&, const S& s) { return s.bytesReceived; });
    family("vsk_port_replugs_total", "counter",
           "Times the port's device came back after it went away and the port logged in again.",
           [](const H&, const S& s) { return s.replugs; });
    family("vsk_receipts_closed_total", "counter", "Receipts closed.",
           [](const H&, const S& s) { return s.receiptsClosed; });
    family("vsk_receipts_cancelled_total", "counter", "Receipts cancelled.",
           [](const H&, const S& s) { return s.receiptsCancelled; });

    out +=
        "# HELP vsk_replies_total Replies of the register by status word.\n"
        "# TYPE vsk_replies_total counter\n";
    for (size_t i = 0; i < health.size(); ++i)
        for (const auto& [word, n] : snaps[i].replies)
            out += "vsk_replies_total{port=\"" + std::to_string(health[i].port) + "\",status=\"" +
                   Label(word) + "\"} " + std::to_string(n) + "\n";

    out +=
        "# HELP vsk_reply_latency_seconds Time from a command to its reply.\n"
        "# TYPE vsk_reply_latency_seconds histogram\n";
    for (size_t i = 0; i < health.size(); ++i) {
        const std::string port = std::to_string(health[i].port);
        uint64_t sum = 0;
        for (size_t b = 0; b < snaps[i].latency.size(); ++b) {
            sum += snaps[i].latency[b];
            char le[32];
            if (b < EngineStats::kLatencyBoundsMs.size())
                std::snprintf(le, sizeof le, "%g", EngineStats::kLatencyBoundsMs[b] / 1000.0);
            else
                std::snprintf(le, sizeof le, "+Inf");
            out += "vsk_reply_latency_seconds_bucket{port=\"" + port + "\",le=\"" + le + "\"} " +
                   std::to_string(sum) + "\n";
        }
        char total[32];
        std::snprintf(total, sizeof total, "%.3f", snaps[i].latencySumMs / 1000.0);
        out += "vsk_reply_latency_seconds_sum{port=\"" + port + "\"} " + total + "\n";
        out +=
            "vsk_reply_latency_seconds_count{port=\"" + port + "\"} " + std::to_string(sum) + "\n";
    }
    return out;
}

}  // namespace vsk
