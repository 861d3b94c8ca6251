#include "http/http_reply.h"

#include <algorithm>
#include <cctype>

namespace vsk {

HttpReply JsonReply(int status, const Json& body) {
    HttpReply r;
    r.status = status;
    r.body = body.Dump();
    return r;
}

HttpReply InDoubtReply(const std::string& message, const std::string& step) {
    Json why;
    why.Set("code", std::string(RowOf(Fault::InDoubt).word));
    why.Set("message", message);
    why.Set("step", step);
    Json body;
    body.Set("error", std::move(why));
    body.Set("end", "unknown");
    body.Set("printed", Json());
    return JsonReply(RowOf(Fault::InDoubt).http, body);
}

HttpReply ErrorReply(Fault fault, const std::string& message) {
    const FaultRow& row = RowOf(fault);
    Json why;
    why.Set("code", std::string(row.word));
    why.Set("message", message);
    Json body;
    body.Set("error", std::move(why));
    HttpReply reply = JsonReply(row.http, body);
    reply.cut = fault == Fault::Ending;
    return reply;
}

std::string QueryValue(const std::string& query, const std::string& name) {
    size_t at = 0;
    while (at <= query.size()) {
        size_t end = query.find('&', at);
        if (end == std::string::npos)
            end = query.size();
        std::string pair = query.substr(at, end - at);
        size_t eq = pair.find('=');
        if (pair.substr(0, eq) == name)
            return eq == std::string::npos ? std::string() : pair.substr(eq + 1);
        at = end + 1;
    }
    return {};
}

std::string CookieValue(const std::string& cookies, const std::string& name) {
    size_t at = 0;
    while (at < cookies.size()) {
        size_t end = cookies.find(';', at);
        if (end == std::string::npos)
            end = cookies.size();
        std::string pair = cookies.substr(at, end - at);
        pair.erase(0, pair.find_first_not_of(' '));
        size_t eq = pair.find('=');
        if (eq != std::string::npos && pair.substr(0, eq) == name)
            return pair.substr(eq + 1);
        at = end + 1;
    }
    return {};
}

Json Canonical(const Json& v) {
    if (v.IsArray()) {
        Json::Array out;
        for (const Json& e : v.AsArray())
            out.push_back(Canonical(e));
        return Json(std::move(out));
    }
    if (!v.IsObject())
        return v;
    Json::Object members;
    for (const auto& [name, value] : v.AsObject())
        members.emplace_back(name, Canonical(value));
    std::sort(members.begin(), members.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return Json(std::move(members));
}

}  // namespace vsk
