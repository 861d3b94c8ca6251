// JSON-RPC over HTTP: each session of a client is a connection of the automation loop, fed
// request lines through PostSessionLine; a request's thread waits for its replies.
#include <algorithm>
#include <cctype>
#include <random>

#include "http/http_front.h"
#include "http/http_reply.h"
#include "rpc/rpc_server.h"
#include "rpc/wire.h"

namespace vsk {

namespace {

constexpr const char* kSessionHeader = "x-vsk-session";
// A batch's answer is held whole until it is sent, and an answer can be hundreds of times its
// request (GetTypeInfo): past this many bytes of answers the rest of the batch is not run, and
// one error (of no id) after the answers of those that ran says from which request on. The
// answer stays within the bound and a reply, whatever the batch; a socket connection's unread
// replies have the same bound.
constexpr size_t kMaxBatchAnswer = 1024 * 1024;
constexpr const char* kSessionCookie = "vsk_session";

// A session name the client chose: short, plain characters only.
bool UsableSessionName(const std::string& s) {
    return !s.empty() && s.size() <= 64 && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
    });
}

}  // namespace

std::string CHttpFront::Call(const std::string& session, const std::string& line) {
    struct Wait {
        bool done = false;
        std::string reply;
    };
    auto wait = std::make_shared<Wait>();
    // The reply may come after this front is gone (the loop answers what is left when it
    // ends): the callback touches only what it shares.
    std::shared_ptr<Replies> replies = m_replies;
    m_rpc.PostSessionLine(session, line, [replies, wait](std::string reply) {
        {
            std::lock_guard lock(replies->mutex);
            wait->done = true;
            wait->reply = std::move(reply);
        }
        replies->cv.notify_all();
    });
    std::unique_lock lock(replies->mutex);
    replies->cv.wait(lock, [&] { return wait->done || replies->ending; });
    return wait->done ? wait->reply : std::string();
}

std::string CHttpFront::NewSessionName() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char text[40];
    std::snprintf(text, sizeof text, "%016llx%016llx", (unsigned long long)random(),
                  (unsigned long long)random());
    return text;
}

HttpReply CHttpFront::Rpc(const Request& request, int) {
    // Keys of JSON-RPC requests are kept apart from those of whole receipts. What a request
    // printed is not known here: a keyed one that ran counts as printed.
    auto canonical = [&] {
        auto parsed = Json::Parse(request.body);
        return parsed ? Canonical(*parsed).Dump() : request.body;
    };
    return WithKey(request, "rpc:", 0, canonical,
                   [&](const std::string&, bool* printed) {
                       HttpReply reply = RunRpc(request);
                       *printed = reply.status != 400;
                       return reply;
                   },
                   {});
}

HttpReply CHttpFront::RunRpc(const Request& request) {
    std::string error;
    auto body = Json::Parse(request.body, &error);
    if (!body)
        return ErrorReply(Fault::BadJson, "malformed JSON: " + error);
    if (body->IsArray() && body->AsArray().empty())
        return ErrorReply(Fault::BadJson, "an empty batch");
    std::string session;
    if (auto h = request.headers.find(kSessionHeader); h != request.headers.end())
        session = h->second;
    else if (auto c = request.headers.find("cookie"); c != request.headers.end())
        session = CookieValue(c->second, kSessionCookie);
    if (!session.empty() && !UsableSessionName(session))
        return ErrorReply(Fault::BadSession, "a session name is up to 64 letters, digits, - or _");
    {
        std::lock_guard lock(m_mutex);
        if (m_ending)
            return ErrorReply(Fault::Ending, "the server is ending");
        if (session.empty() || m_sessions.count(session) == 0) {
            if (m_sessions.size() >= m_options.maxSessions)
                return ErrorReply(Fault::Busy, "too many HTTP sessions; try later");
            if (session.empty())
                session = NewSessionName();
        }
        m_sessions[session] = std::chrono::steady_clock::now();
        ++m_busySessions[session];
    }
    const std::string rpcSession = "http:" + session;
    // The loop's reply lines are JSON already: a batch's answer is their array.
    std::vector<std::string> replies;
    bool ended = false;
    size_t answered = 0, served = 0;
    bool cut = false;
    auto one = [&](const Json& req) {
        cut = cut || answered > kMaxBatchAnswer;
        if (cut)
            return;
        ++served;
        std::string line = Call(rpcSession, req.Dump());
        answered += line.size();
        if (line.empty()) {
            std::lock_guard lock(m_mutex);
            ended = ended || m_ending;
            return;
        }
        replies.push_back(std::move(line));
    };
    if (body->IsArray())
        for (const Json& req : body->AsArray())
            one(req);
    else
        one(*body);
    {
        std::lock_guard lock(m_mutex);
        if (--m_busySessions[session] == 0)
            m_busySessions.erase(session);
        m_sessions[session] = std::chrono::steady_clock::now();
    }
    if (ended)
        return ErrorReply(Fault::Ending, "the server is ending");
    if (cut)
        replies.push_back(wire::Error(Json(), E_OUTOFMEMORY,
                                      HResultName(E_OUTOFMEMORY) + ": the batch's answers passed " +
                                          std::to_string(kMaxBatchAnswer) +
                                          " bytes: its requests from number " +
                                          std::to_string(served + 1) + " on were not run")
                              .Dump());
    HttpReply reply;
    if (body->IsArray()) {
        std::string joined(1, '[');
        for (size_t i = 0; i < replies.size(); ++i) {
            if (i > 0)
                joined.push_back(',');
            joined.append(replies[i]);
        }
        joined.push_back(']');
        reply.body = std::move(joined);
    } else if (!replies.empty()) {
        reply.body = std::move(replies.front());
    } else
        reply.status = 204;  // a notification
    reply.headers.emplace_back("X-Vsk-Session", session);
    reply.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) + "=" + session +
                                                 "; Path=/; HttpOnly; SameSite=Strict");
    return reply;
}

}  // namespace vsk
