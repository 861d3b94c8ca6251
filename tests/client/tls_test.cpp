// TLS on the TCP listener: clients that trust the server by a pinned fingerprint or a CA file,
// servers that fail that trust refused before the token leaves the client, the wrong kind of
// peer on either side, and handshakes that never end.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <mutex>
#include <thread>

#include "client/client.h"
#include "rpc/runtime_paths.h"
#include "rpc/tls_stream.h"
#include "server/certificate.h"
#include "tests/rpc/recording_veskar.h"
#include "tests/rpc/test_support.h"

namespace vsk {
namespace {

using namespace std::chrono_literals;
using test::RecordingVeskar;

// A CRpcServer serving RecordingVeskar objects on a thread of its own, as a server process does.
class Served {
public:
    explicit Served(const test::TempEnv& env, std::string name = "a")
        : m_server(env.RuntimeDir() + "-" + name), m_token(env.Dir() + "/config/tcp-token") {}
    ~Served() { Stop(); }

    bool Start(const std::string& listen, const TcpListenOptions& options, std::string* error,
               std::chrono::milliseconds preAuth = 10s) {
        m_server.SetLog([this](const std::string& line) {
            std::lock_guard lock(m_mutex);
            m_log.push_back(line);
        });
        m_server.SetPreAuthTimeout(preAuth);
        if (!m_server.ListenLocal(error) || !m_server.ListenTcp(listen, m_token, error, options))
            return false;
        ClassFactory f;
        f.clsid = typelib::CLSID_Veskar;
        f.create = [this](IDispatch** pp) {
            ++created;
            *pp = new RecordingVeskar;
            return S_OK;
        };
        if (!m_server.RegisterClassObject(f, error))
            return false;
        m_wake = eventfd(0, EFD_CLOEXEC);
        m_thread = std::thread([this] {
            while (!m_stop)
                m_server.RunOnce(-1, m_wake);
        });
        return true;
    }
    void Stop() {
        if (!m_thread.joinable())
            return;
        m_stop = true;
        uint64_t one = 1;
        (void)!write(m_wake, &one, sizeof one);
        m_thread.join();
        close(m_wake);
    }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(m_server.TcpPort()); }
    const std::string& TokenFile() const { return m_token; }
    CRpcServer& Server() { return m_server; }
    std::string Log() {
        std::lock_guard lock(m_mutex);
        std::string all;
        for (const auto& line : m_log)
            all += line + "\n";
        return all;
    }
    std::atomic<int> created{0};

private:
    CRpcServer m_server;
    std::string m_token;
    std::mutex m_mutex;
    std::vector<std::string> m_log;
    std::atomic<bool> m_stop{false};
    int m_wake = -1;
    std::thread m_thread;
};

int ConnectRaw(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Milliseconds until the server closes the socket (recv gives 0 or an error), -1 when it is
// still open after `limit`.
int64_t MsUntilClosed(int s, std::chrono::milliseconds limit) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        auto left = limit - (std::chrono::steady_clock::now() - start);
        pollfd p{s, POLLIN, 0};
        if (left <= 0ms ||
            poll(&p, 1, int(std::chrono::ceil<std::chrono::milliseconds>(left).count())) <= 0)
            return -1;
        char buf[4096];
        if (recv(s, buf, sizeof buf, 0) <= 0)
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                .count();
    }
}

std::string WithoutColonsLower(std::string pin) {
    std::erase(pin, ':');
    std::transform(pin.begin(), pin.end(), pin.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return pin;
}

class TlsListener : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(MakeCertificate(cert, key, &fingerprint, &error)) << error;
        ASSERT_TRUE(MakeCertificate(otherCert, otherKey, &otherFingerprint, &error)) << error;
        options.certFile = cert;
        options.keyFile = key;
    }

    // Creates an object on the listener and makes one call through it.
    HRESULT CreateAndCall(Served& served, const TlsTrust& trust, const std::string& hostPort = "") {
        IDispatch* obj = nullptr;
        HRESULT hr = CreateInstanceEx(GuidToString(typelib::CLSID_Veskar),
                                      hostPort.empty() ? served.HostPort() : hostPort, &obj,
                                      served.TokenFile(), trust);
        if (FAILED(hr))
            return hr;
        IVeskar* veskar = nullptr;
        hr = QueryVeskar(obj, &veskar);
        obj->Release();
        if (FAILED(hr))
            return hr;
        LONG port = 0;
        hr = veskar->GetPortNumber(&port);
        veskar->Release();
        return SUCCEEDED(hr) && port != RecordingVeskar::kLongOut ? E_UNEXPECTED : hr;
    }
    static TlsTrust Pin(const std::string& fingerprint) {
        TlsTrust t;
        t.fingerprint = fingerprint;
        return t;
    }
    static TlsTrust Ca(const std::string& file) {
        TlsTrust t;
        t.caFile = file;
        return t;
    }

    test::TempEnv env;
    std::string cert = env.Dir() + "/config/cert.pem", key = env.Dir() + "/config/key.pem";
    std::string otherCert = env.Dir() + "/config/other.pem",
                otherKey = env.Dir() + "/config/other-key.pem";
    std::string fingerprint, otherFingerprint;
    TcpListenOptions options;
};

TEST(Fingerprints, WrittenAnyWayAPersonWritesThem) {
    const std::string canonical =
        "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:"
        "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89";
    const std::string mixed = "abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF0123456789";
    for (const std::string& written : {canonical, WithoutColonsLower(canonical), mixed})
        EXPECT_EQ(NormalizeFingerprint(written), canonical) << written;
    for (const std::string& wrong :
         {std::string(), canonical.substr(0, canonical.size() - 1), canonical + "0",
          "G" + canonical.substr(1), canonical.substr(0, canonical.size() - 3) + "-89"})
        EXPECT_EQ(NormalizeFingerprint(wrong), std::nullopt) << wrong;
}

TEST_F(TlsListener, ARoundTripWithThePinnedFingerprintOrTheCaFile) {
    Served served(env);
    std::string error;
    ASSERT_TRUE(served.Start("127.0.0.1:0", options, &error)) << error;
    EXPECT_TRUE(served.Server().TcpUsesTls());
    // The listener reports the fingerprint --make-cert printed: one way of taking it.
    EXPECT_EQ(served.Server().TcpFingerprint(), fingerprint);

    EXPECT_EQ(CreateAndCall(served, Pin(fingerprint)), S_OK) << ActivationError();
    EXPECT_EQ(CreateAndCall(served, Pin(WithoutColonsLower(fingerprint))), S_OK)
        << ActivationError();
    // The self-signed certificate is its own authority; it names 127.0.0.1 and localhost.
    EXPECT_EQ(CreateAndCall(served, Ca(cert)), S_OK) << ActivationError();
    EXPECT_EQ(
        CreateAndCall(served, Ca(cert), "localhost:" + std::to_string(served.Server().TcpPort())),
        S_OK)
        << ActivationError();
    TlsTrust both = Ca(cert);
    both.fingerprint = fingerprint;
    EXPECT_EQ(CreateAndCall(served, both), S_OK) << ActivationError();
    EXPECT_EQ(served.created, 5);

    // The environment is the default trust of every client.
    setenv("VSK_TLS_FINGERPRINT", fingerprint.c_str(), 1);
    IDispatch* obj = nullptr;
    EXPECT_EQ(CreateInstanceEx(GuidToString(typelib::CLSID_Veskar), served.HostPort(), &obj,
                               served.TokenFile()),
              S_OK)
        << ActivationError();
    unsetenv("VSK_TLS_FINGERPRINT");
    if (obj)
        obj->Release();
}

// A TLS server of the test's own that records every byte a client sends once its handshake
// has ended: what a client would hand a server it should not trust. It ends at the first line,
// or, told to accept the authentication, answers that line and then nothing more.
class RecordingTlsServer {
public:
    explicit RecordingTlsServer(std::shared_ptr<CTlsServerCredentials> creds,
                                bool acceptAuthentication = false)
        : m_accept(acceptAuthentication) {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(m_listen, 4);
        socklen_t len = sizeof addr;
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        m_thread = std::thread([this, creds] { Serve(creds); });
    }
    ~RecordingTlsServer() { Join(); }
    // What the client sent after the handshake, once it has gone (or 5 s have passed).
    std::string Join() {
        if (m_thread.joinable())
            m_thread.join();
        if (m_listen >= 0)
            close(m_listen);
        m_listen = -1;
        return received;
    }
    int port = 0;
    std::atomic<bool> handshaken{false};

private:
    void Serve(std::shared_ptr<CTlsServerCredentials> creds) {
        pollfd p{m_listen, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return;
        int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        std::string error;
        auto tls = CTlsSession::Server(fd, creds, &error);
        const auto end = std::chrono::steady_clock::now() + 5s;
        std::string in;
        bool answered = false;
        while (tls && std::chrono::steady_clock::now() < end) {
            pollfd q{fd, POLLIN, 0};
            if (!handshaken) {
                auto step = tls->Handshake(&error);
                if (step == CTlsSession::Step::Failed)
                    break;
                if (step == CTlsSession::Step::Done) {
                    handshaken = true;
                    continue;
                }
                q.events = step == CTlsSession::Step::WantWrite ? POLLOUT : POLLIN;
                poll(&q, 1, 100);
                continue;
            }
            auto got = tls->Read(in);
            if (got == CTlsSession::Received::Closed || got == CTlsSession::Received::Failed ||
                (!m_accept && in.find('\n') != std::string::npos))
                break;
            if (m_accept && !answered && in.find('\n') != std::string::npos) {
                const std::string yes =
                    R"({"jsonrpc":"2.0","id":1,"result":{"authenticated":true}})"
                    "\n";
                answered = tls->Send(yes.data(), yes.size()) == ssize_t(yes.size());
            }
            poll(&q, 1, 100);
        }
        received = in;
        tls.reset();
        close(fd);
    }
    const bool m_accept;
    int m_listen = -1;
    std::string received;
    std::thread m_thread;
};

TEST_F(TlsListener, AServerThatFailsTheTrustIsRefusedBeforeTheTokenIsSent) {
    std::string error;
    auto creds = CTlsServerCredentials::Load(cert, key, &error);
    ASSERT_TRUE(creds) << error;
    auto token = LoadOrCreateTokenFile(env.Dir() + "/config/tcp-token", &error);
    ASSERT_TRUE(token) << error;
    auto connect = [&](const TlsTrust& trust, HRESULT* hr, std::string* why) {
        RecordingTlsServer server(creds);
        auto channel = CRpcChannel::ConnectTcp("127.0.0.1:" + std::to_string(server.port), *token,
                                               hr, trust, why);
        channel.reset();  // gone: the recording server ends its read
        std::string received = server.Join();
        EXPECT_TRUE(server.handshaken);
        return received;
    };
    HRESULT hr = S_OK;
    std::string why;
    // A client that trusts the server hands it the token (the recording server never answers).
    EXPECT_NE(connect(Pin(fingerprint), &hr, &why).find(*token), std::string::npos);

    // Another server's fingerprint: refused with both fingerprints said, nothing sent.
    EXPECT_EQ(connect(Pin(otherFingerprint), &hr, &why), "");
    EXPECT_EQ(hr, E_ACCESSDENIED);
    EXPECT_NE(why.find(fingerprint), std::string::npos) << why;
    EXPECT_NE(why.find(otherFingerprint), std::string::npos) << why;
    EXPECT_NE(why.find("nothing was sent"), std::string::npos) << why;
    EXPECT_EQ(why.find(*token), std::string::npos) << why;

    // Not a fingerprint at all: refused before connecting.
    HRESULT bad = S_OK;
    EXPECT_FALSE(CRpcChannel::ConnectTcp("127.0.0.1:1", *token, &bad, Pin("12:34"), &why));
    EXPECT_EQ(bad, E_INVALIDARG);
    EXPECT_NE(why.find("fingerprint"), std::string::npos) << why;
}

TEST_F(TlsListener, ACertificateNoTrustedAuthoritySignedForTheHostIsRefused) {
    Served served(env);
    std::string error;
    ASSERT_TRUE(served.Start("127.0.0.1:0", options, &error)) << error;
    EXPECT_EQ(CreateAndCall(served, Ca(otherCert)), E_ACCESSDENIED);
    EXPECT_NE(ActivationError().find("not trusted"), std::string::npos) << ActivationError();
    EXPECT_NE(ActivationError().find("nothing was sent"), std::string::npos) << ActivationError();
    // The right authority, but the certificate does not name the host connected to (::1).
    Served v6(env, "b");
    if (v6.Start("[::1]:0", options, &error)) {
        const std::string hostPort = "[::1]:" + std::to_string(v6.Server().TcpPort());
        EXPECT_EQ(CreateAndCall(v6, Ca(cert), hostPort), E_ACCESSDENIED);
        EXPECT_NE(ActivationError().find("not trusted for ::1"), std::string::npos)
            << ActivationError();
        // Pinned, the name does not matter: the certificate itself is the one.
        EXPECT_EQ(CreateAndCall(v6, Pin(fingerprint), hostPort), S_OK) << ActivationError();
    }
    // A CA file that holds no certificate.
    EXPECT_EQ(CreateAndCall(served, Ca(env.Dir() + "/config/tcp-token")), E_INVALIDARG);
    EXPECT_NE(ActivationError().find("cannot read a CA certificate"), std::string::npos)
        << ActivationError();
    EXPECT_EQ(served.created, 0);
}

// Replies that fill the socket: the server's records wait for the socket and go out whole and in
// order, its reading pauses while they wait and resumes on what TLS already decrypted.
TEST_F(TlsListener, ManyRequestsAtOnceAreAnsweredInOrderThroughAFullSocket) {
    Served served(env);
    std::string error;
    ASSERT_TRUE(served.Start("127.0.0.1:0", options, &error)) << error;
    auto token = ReadTokenFile(served.TokenFile(), &error);
    ASSERT_TRUE(token) << error;
    // The server's own side made small as well: its accepted socket inherits the listener's
    // buffers, which the kernel would otherwise grow to many megabytes on the loopback (as far
    // as tcp_rmem allows, 32 MiB on some machines), enough to swallow every request unread.
    int small = 4096;
    bool listenerFound = false;
    for (int fd = 0; fd < 4096 && !listenerFound; ++fd) {
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        int listening = 0;
        socklen_t flagLength = sizeof listening;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0 &&
            bound.sin_family == AF_INET && ntohs(bound.sin_port) == served.Server().TcpPort() &&
            getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flagLength) == 0 && listening) {
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            listenerFound = true;
        }
    }
    ASSERT_TRUE(listenerFound);

    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(served.Server().TcpPort()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    auto tls = CTlsSession::Client(s, "127.0.0.1", "", &error);
    ASSERT_TRUE(tls) << error;
    const auto end = std::chrono::steady_clock::now() + 20s;
    for (;;) {
        auto step = tls->Handshake(&error);
        ASSERT_NE(step, CTlsSession::Step::Failed) << error;
        if (step == CTlsSession::Step::Done)
            break;
        pollfd p{s, short(step == CTlsSession::Step::WantWrite ? POLLOUT : POLLIN), 0};
        poll(&p, 1, 100);
        ASSERT_LT(std::chrono::steady_clock::now(), end);
    }

    constexpr int kRequests = 50000;
    std::string out = R"({"jsonrpc":"2.0","id":0,"method":"Authenticate","params":{"token":")" +
                      *token + "\"}}\n";
    for (int id = 1; id <= kRequests; ++id)
        out += R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
               R"(,"method":"CreateInstance","params":{"progid":"Nothing.Here"}})" + "\n";
    std::string in;
    size_t sent = 0;
    bool stalled = false;  // the sending stopped while nothing was read
    size_t counted = 0, countedLines = 0;
    auto lines = [&] {
        countedLines += size_t(std::count(in.begin() + long(counted), in.end(), '\n'));
        counted = in.size();
        return countedLines;
    };
    while (lines() < kRequests + 1 && std::chrono::steady_clock::now() < end) {
        while (sent < out.size()) {
            ssize_t n = tls->Send(out.data() + sent, out.size() - sent);
            ASSERT_GE(n, 0);
            if (n == 0)
                break;
            sent += size_t(n);
        }
        if (sent < out.size() && !stalled) {
            // Not reading yet: the server fills its side until it must wait.
            pollfd p{s, POLLOUT, 0};
            if (poll(&p, 1, 300) > 0)
                continue;
            stalled = true;
        }
        auto got = tls->Read(in, &error);
        ASSERT_NE(got, CTlsSession::Received::Failed) << error;
        ASSERT_NE(got, CTlsSession::Received::Closed) << "the server hung up after " << lines();
        if (got == CTlsSession::Received::Again) {
            pollfd p{s, short(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
            poll(&p, 1, 100);
        }
    }
    EXPECT_TRUE(stalled);
    ASSERT_EQ(lines(), size_t(kRequests + 1));
    int expected = 0;
    for (size_t at = 0, nl; (nl = in.find('\n', at)) != std::string::npos; at = nl + 1) {
        auto reply = Json::Parse(std::string_view(in).substr(at, nl - at));
        ASSERT_TRUE(reply);
        const Json* id = reply->Find("id");
        ASSERT_TRUE(id && id->IsInt());
        EXPECT_EQ(id->AsInt(), expected);
        if (expected > 0) {
            EXPECT_EQ(test::ErrorCode(*reply), REGDB_E_CLASSNOTREG) << reply->Dump();
        }
        ++expected;
    }
    tls.reset();
    close(s);
}

// A call over TLS waits no longer than its time-out, and Shutdown() from another thread ends a
// call that would wait for ever; the channel is done with from then on.
TEST_F(TlsListener, ACallOverTlsEndsAtItsTimeOutOrAtShutdown) {
    std::string error;
    auto creds = CTlsServerCredentials::Load(cert, key, &error);
    ASSERT_TRUE(creds) << error;
    RecordingTlsServer silent(creds, true);
    HRESULT hr = E_FAIL;
    auto channel = CRpcChannel::ConnectTcp("127.0.0.1:" + std::to_string(silent.port),
                                           std::string(64, 'a'), &hr, Pin(fingerprint), &error);
    ASSERT_TRUE(channel) << error;

    channel->SetTimeout(300);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(channel->Call("Invoke", Json(Json::Object{}), nullptr), RPC_E_DISCONNECTED);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 3s);

    channel->SetTimeout(-1);
    std::atomic<HRESULT> waiting{S_OK};
    std::thread caller([&] { waiting = channel->Call("Invoke", Json(Json::Object{}), nullptr); });
    std::this_thread::sleep_for(200ms);
    start = std::chrono::steady_clock::now();
    channel->Shutdown();
    caller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(waiting, RPC_E_DISCONNECTED);
    EXPECT_EQ(channel->Call("Invoke", Json(Json::Object{}), nullptr), RPC_E_DISCONNECTED);
}

// The wrong kind of client on either listener fails at once and says why; the listener goes on
// serving the right kind.
TEST_F(TlsListener, PlainAndTlsMismatchesFailCleanlyAndTheLoopGoesOn) {
    Served tls(env);
    std::string error;
    ASSERT_TRUE(tls.Start("127.0.0.1:0", options, &error)) << error;
    Served plain(env, "b");
    ASSERT_TRUE(plain.Start("127.0.0.1:0", {}, &error)) << error;

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CreateAndCall(tls, TlsTrust{}), E_ACCESSDENIED);
    EXPECT_NE(ActivationError().find("speaks TLS"), std::string::npos) << ActivationError();
    EXPECT_EQ(CreateAndCall(plain, Pin(fingerprint)), RPC_E_DISCONNECTED);
    EXPECT_NE(ActivationError().find("TLS handshake failed"), std::string::npos)
        << ActivationError();
    EXPECT_EQ(ActivationError().find("within"), std::string::npos) << ActivationError();
    // Neither waited for a time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_NE(tls.Log().find("plain TCP on the TLS listener"), std::string::npos) << tls.Log();
    EXPECT_NE(plain.Log().find("TLS handshake on the plain TCP listener"), std::string::npos)
        << plain.Log();

    EXPECT_EQ(CreateAndCall(tls, Pin(fingerprint)), S_OK) << ActivationError();
    EXPECT_EQ(CreateAndCall(plain, TlsTrust{}), S_OK) << ActivationError();
}

// Peers that open TCP and never finish a handshake (silent, a record begun and not ended, or
// not TLS at all) hold the loop up for nobody and are gone at the pre-authentication deadline.
TEST_F(TlsListener, AHandshakeThatNeverEndsIsClosedAtTheDeadlineWhileOthersAreServed) {
    Served served(env);
    std::string error;
    ASSERT_TRUE(served.Start("127.0.0.1:0", options, &error, 1500ms)) << error;
    const int port = served.Server().TcpPort();
    const auto start = std::chrono::steady_clock::now();
    int silent = ConnectRaw(port);
    int halfRecord = ConnectRaw(port);
    int garbage = ConnectRaw(port);
    ASSERT_GE(silent, 0);
    ASSERT_GE(halfRecord, 0);
    ASSERT_GE(garbage, 0);
    const char begun[] = "\x16\x03\x01\x02\x00\x01";  // a handshake record of 512 bytes
    ASSERT_EQ(send(halfRecord, begun, sizeof begun - 1, MSG_NOSIGNAL), ssize_t(sizeof begun - 1));
    ASSERT_EQ(send(garbage, "\x17\x03\x03\x00\x04noise", 9, MSG_NOSIGNAL), 9);

    // Meanwhile a client is served from end to end, well inside the stalled peers' time.
    EXPECT_EQ(CreateAndCall(served, Pin(fingerprint)), S_OK) << ActivationError();
    EXPECT_EQ(CreateAndCall(served, Pin(fingerprint)), S_OK) << ActivationError();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);

    EXPECT_GE(MsUntilClosed(garbage, 1000ms), 0);  // not TLS: closed at once
    for (int s : {silent, halfRecord}) {
        const int64_t closedAt = MsUntilClosed(s, 5000ms);
        EXPECT_GE(closedAt, 0) << "still open";
        const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        EXPECT_GE(since, 1400ms);
        close(s);
    }
    close(garbage);
    EXPECT_EQ(served.created, 2);
}

// Plain TCP puts the token on the wire: a listener off the loopback needs a certificate or
// --insecure, and a client does not send it off the loopback unless told to.
TEST_F(TlsListener, PlainTcpOffTheLoopbackOnlyWhenSaidInsecure) {
    const std::string tokenFile = env.Dir() + "/config/tcp-token";
    std::string error;
    {
        CRpcServer server(env.RuntimeDir());
        EXPECT_FALSE(server.ListenTcp("0.0.0.0:0", tokenFile, &error));
        EXPECT_NE(error.find("--insecure"), std::string::npos) << error;
        EXPECT_EQ(server.TcpPort(), 0);
    }
    {
        CRpcServer server(env.RuntimeDir());
        TcpListenOptions insecure;
        insecure.insecure = true;
        EXPECT_TRUE(server.ListenTcp("0.0.0.0:0", tokenFile, &error, insecure)) << error;
        EXPECT_TRUE(server.TcpInClearOffLoopback());
        EXPECT_FALSE(server.TcpUsesTls());
    }
    {
        CRpcServer server(env.RuntimeDir());
        EXPECT_TRUE(server.ListenTcp("0.0.0.0:0", tokenFile, &error, options)) << error;
        EXPECT_FALSE(server.TcpInClearOffLoopback());
        EXPECT_TRUE(server.TcpUsesTls());
    }
    {
        CRpcServer server(env.RuntimeDir());
        TcpListenOptions half;
        half.certFile = cert;
        EXPECT_FALSE(server.ListenTcp("127.0.0.1:0", tokenFile, &error, half));
        half.keyFile = otherKey;  // not this certificate's key
        EXPECT_FALSE(server.ListenTcp("127.0.0.1:0", tokenFile, &error, half));
        EXPECT_NE(error.find(cert), std::string::npos) << error;
    }

    // The client side: a host that is not the loopback gets no token in the clear. 0.0.0.0
    // stands for one here: Linux connects it to this machine, so nothing leaves it.
    Served open(env);
    TcpListenOptions insecure;
    insecure.insecure = true;
    ASSERT_TRUE(open.Start("0.0.0.0:0", insecure, &error)) << error;
    const std::string hostPort = "0.0.0.0:" + std::to_string(open.Server().TcpPort());
    EXPECT_EQ(CreateAndCall(open, TlsTrust{}, hostPort), E_ACCESSDENIED);
    EXPECT_NE(ActivationError().find("clear text"), std::string::npos) << ActivationError();
    TlsTrust insecureTrust;
    insecureTrust.insecure = true;
    EXPECT_EQ(CreateAndCall(open, insecureTrust, hostPort), S_OK) << ActivationError();
    EXPECT_EQ(open.created, 1);
    // A program without an option of its own is told so by the environment.
    setenv("VSK_INSECURE", "1", 1);
    EXPECT_TRUE(TlsTrust::FromEnvironment().insecure);
    setenv("VSK_INSECURE", "0", 1);
    EXPECT_FALSE(TlsTrust::FromEnvironment().insecure);
    unsetenv("VSK_INSECURE");
}

}  // namespace
}  // namespace vsk
