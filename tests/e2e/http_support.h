// A small HTTP/1.1 client for the end-to-end tests of the HTTP API: one request a connection,
// the answer read whole, its body parsed as JSON when it is JSON.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <strings.h>
#include <cstdlib>
#include <initializer_list>
#include <regex>
#include <string>
#include <vector>

#include "rpc/json.h"

namespace vske2e {

using vsk::Json;

struct HttpResult {
    int status = 0;  // 0: no answer (refused, or cut by the server's end)
    std::string head, body;
    Json parsed;  // the body as JSON (null when it is not)
    const Json& json() const { return parsed; }
    std::string Header(const std::string& name) const {
        std::smatch m;
        std::regex re("\r\n" + name + ": ([^\r]*)", std::regex::icase);
        return std::regex_search(head, m, re) ? m[1].str() : std::string();
    }
    // A member by path ("error", "code"), or nullptr.
    const Json* At(std::initializer_list<const char*> path) const {
        const Json* at = &parsed;
        for (const char* key : path) {
            at = at->IsObject() ? at->Find(key) : nullptr;
            if (!at)
                return nullptr;
        }
        return at;
    }
    std::string Text(std::initializer_list<const char*> path) const {
        const Json* v = At(path);
        return v && v->IsString() ? v->AsString() : std::string();
    }
    int64_t Number(std::initializer_list<const char*> path) const {
        const Json* v = At(path);
        return v && v->IsInt() ? v->AsInt() : -1;
    }
    std::string Code() const { return Text({"error", "code"}); }
};

// One request to the listener at host:port, which the Host header names unless `headers` give
// a Host of their own; an empty "Host:" sends none, as HTTP/1.0 (the version that may omit it).
inline HttpResult Http(int port, const std::string& method, const std::string& path,
                       const std::string& body = {}, const std::vector<std::string>& headers = {},
                       const std::string& host = "127.0.0.1") {
    HttpResult r;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{60, 0};  // a hung server fails the test instead of hanging it
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return r;
    }
    std::string request, own = "Host: " + host + ":" + std::to_string(port);
    for (const std::string& h : headers) {
        if (strncasecmp(h.c_str(), "Host:", 5) == 0)
            own = h;
        else
            request += h + "\r\n";
    }
    request = method + " " + path +
              (own == "Host:" ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n" + own + "\r\n") +
              "Connection: close\r\n" + request;
    if (!body.empty() || method == "POST")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    for (size_t sent = 0; sent < request.size();) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += size_t(n);
    }
    std::string all;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        all.append(buf, size_t(n));
    close(fd);
    const size_t split = all.find("\r\n\r\n");
    if (all.rfind("HTTP/1.1 ", 0) != 0 || split == std::string::npos)
        return r;
    r.status = std::atoi(all.c_str() + 9);
    r.head = all.substr(0, split);
    r.body = all.substr(split + 4);
    r.parsed = Json::Parse(r.body).value_or(Json());
    return r;
}

}  // namespace vske2e
