#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <fstream>

#include "rpc/runtime_paths.h"
#include "rpc/type_library.h"
#include "rpc/wire.h"
#include "tests/rpc/recording_veskar.h"
#include "tests/rpc/test_support.h"

namespace vsk {
namespace {

using test::ErrorCode;
using test::ExchangeJson;
using test::RecordingVeskar;

class RpcServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server.ListenLocal(&error)) << error;
        ASSERT_TRUE(server.RegisterClassObject(VeskarFactory(false), &error)) << error;
        fd = test::ConnectUnixRaw(server.SocketPath());
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (fd >= 0)
            close(fd);
    }

    ClassFactory VeskarFactory(bool singleUse) {
        ClassFactory f;
        f.clsid = typelib::CLSID_Veskar;
        f.progIds = {typelib::kVeskarProgId, typelib::kVeskarVersionIndependentProgId};
        f.singleUse = singleUse;
        f.create = [this](IDispatch** pp) {
            auto* obj = new RecordingVeskar;
            obj->destroyed = &destroyed;
            last = obj;
            *pp = obj;
            return S_OK;
        };
        return f;
    }

    Json Call(const std::string& request) { return ExchangeJson(server, fd, request); }
    int ConnectTcp() {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(server.TcpPort()));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        return s;
    }
    int64_t Create() {
        Json r = Call(R"({"jsonrpc":"2.0","id":1,"method":"CreateInstance",)"
                      R"("params":{"progid":"VSKManager.Veskar"}})");
        const Json* obj = r.Find("result") ? r.Find("result")->Find("object") : nullptr;
        return obj && obj->IsInt() ? obj->AsInt() : -1;
    }

    test::TempEnv env;
    CRpcServer server{env.RuntimeDir()};
    int fd = -1;
    int destroyed = 0;
    RecordingVeskar* last = nullptr;
};

TEST_F(RpcServerTest, RuntimeFolderSocketAndClassFileArePrivate) {
    struct stat st;
    ASSERT_EQ(stat(env.RuntimeDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(server.SocketPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream classFile(env.RuntimeDir() + "/{F9B424D4-51A1-40E0-8EB1-1B9097AF9811}");
    std::string line;
    std::getline(classFile, line);
    EXPECT_EQ(line, server.SocketPath());
    server.RevokeClassObject(typelib::CLSID_Veskar);
    EXPECT_FALSE(
        std::filesystem::exists(env.RuntimeDir() + "/" + GuidToString(typelib::CLSID_Veskar)));
}

TEST_F(RpcServerTest, InvokeByNameAndDispIdCarriesArgumentsAndOutValue) {
    int64_t obj = Create();
    ASSERT_GT(obj, 0);
    std::string o = std::to_string(obj);
    Json r =
        Call(R"({"jsonrpc":"2.0","id":"a","method":"Invoke","params":{"object":)" + o +
             R"(,"name":"fiscallineex","args":["Хліб \ud83c\udf5e",1000,1205,1,1,0,0,0,"",0]}})");
    ASSERT_TRUE(r.Find("result")) << r.Dump();
    EXPECT_EQ(*r.Find("id"), Json("a"));
    EXPECT_EQ(*r.Find("result")->Find("hr"), Json(0));
    EXPECT_EQ(*r.Find("result")->Find("value"), Json(int64_t(RecordingVeskar::kLongOut)));
    EXPECT_EQ(last->lastMethod, "FiscalLineEx");
    EXPECT_EQ(last->lastArgs[0], VARIANT::FromBstr(u"Хліб \U0001F35E"));
    EXPECT_EQ(last->lastArgs[2], VARIANT::FromLong(1205));

    last->nextResult = E_FAIL;
    r = Call(R"({"jsonrpc":"2.0","id":2,"method":"Invoke","params":{"object":)" + o +
             R"(,"dispid":65}})");
    EXPECT_EQ(last->lastMethod, "GetLastErrorMessage");
    EXPECT_EQ(*r.Find("result")->Find("hr"), Json(int64_t(E_FAIL)));
    EXPECT_EQ(*r.Find("result")->Find("value"), Json("Відповідь"));

    r = Call(R"({"jsonrpc":"2.0","id":3,"method":"Invoke","params":{"object":)" + o +
             R"(,"name":"Done","args":[]}})");
    EXPECT_TRUE(r.Find("result")->Find("value")->IsNull());

    r = Call(R"({"jsonrpc":"2.0","id":4,"method":"GetIDsOfNames","params":{"object":)" + o +
             R"(,"names":["FiscalLineEx","PrintZeroZReport"]}})");
    EXPECT_EQ(r.Find("result")->Find("dispids")->Dump(), "[18,89]");

    r = Call(R"({"jsonrpc":"2.0","id":5,"method":"GetTypeInfo","params":{"object":)" + o + "}}");
    const Json* info = r.Find("result");
    ASSERT_TRUE(info);
    EXPECT_EQ(*info->Find("iid"), Json("{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}"));
    EXPECT_EQ(info->Find("members")->AsArray().size(), 89u);
}

// Faults of the request are JSON-RPC errors whose code is the HRESULT; the connection and the
// server go on serving.
TEST_F(RpcServerTest, BadRequestsAreErrorsAndTheConnectionKeepsWorking) {
    std::string o = std::to_string(Create());
    auto invoke = [&](const std::string& rest) {
        return R"({"jsonrpc":"2.0","id":9,"method":"Invoke","params":{"object":)" + o + "," + rest +
               "}}";
    };
    struct Row {
        std::string request;
        HRESULT code;
    } rows[] = {
        {"{not json", RPC_E_INVALID_DATA},
        {"[1,2]", RPC_E_INVALID_DATA},
        {R"({"id":1,"method":"Invoke"})", RPC_E_INVALID_DATA},
        {R"({"jsonrpc":"2.0","id":1,"method":"Invoke","params":[1]})", RPC_E_INVALID_DATA},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"Bad\xff\"}", RPC_E_INVALID_DATA},
        {R"({"jsonrpc":"2.0","id":1,"method":"Frobnicate","params":{}})", DISP_E_MEMBERNOTFOUND},
        {R"({"jsonrpc":"2.0","id":1,"method":"Invoke","params":{"object":999,"dispid":1}})",
         RPC_E_DISCONNECTED},
        {R"({"jsonrpc":"2.0","id":1,"method":"CreateInstance","params":{"clsid":"{00000000-0000-0000-0000-000000000001}"}})",
         REGDB_E_CLASSNOTREG},
        {invoke(R"("name":"NoSuchMethod","args":[])"), DISP_E_UNKNOWNNAME},
        {invoke(R"("dispid":90,"args":[])"), DISP_E_MEMBERNOTFOUND},
        {invoke(R"("dispid":3,"kind":"get","args":[])"), DISP_E_MEMBERNOTFOUND},
        {invoke(R"("name":"LockPrinter","args":[])"), DISP_E_BADPARAMCOUNT},
        {invoke(R"("name":"LockPrinter","args":[1,2])"), DISP_E_BADPARAMCOUNT},
        {invoke(R"("name":"LockPrinter","args":["100"])"), DISP_E_TYPEMISMATCH},
        {invoke(R"("name":"LockPrinter","args":[1.5])"), DISP_E_TYPEMISMATCH},
        {invoke(R"("name":"LockPrinter","args":[2147483648])"), DISP_E_OVERFLOW},
        {invoke(R"("name":"LockPrinter","args":[-2147483649])"), DISP_E_OVERFLOW},
        {invoke(R"("name":"LockPrinter","args":[123456789012345678901234567890])"),
         DISP_E_OVERFLOW},
        {invoke(R"("name":"OpenCheck","args":[7])"), DISP_E_TYPEMISMATCH},
        {invoke(R"("name":"OpenCheck","args":["\ud800"])"), RPC_E_INVALID_DATA},
        {invoke(R"("name":"OpenCheck","args":["\udc00x"])"), RPC_E_INVALID_DATA},
        {invoke(R"("name":"PeriodicalFiscalReportDate","args":["2024-01-01",1])"),
         DISP_E_TYPEMISMATCH},
    };
    for (const Row& row : rows) {
        Json r = Call(row.request);
        EXPECT_EQ(ErrorCode(r), row.code) << row.request << " -> " << r.Dump();
    }
    EXPECT_EQ(last->lastMethod, "");  // none of them reached the object
    Json ok = Call(invoke(R"("name":"LockPrinter","args":[-2147483648])"));
    EXPECT_EQ(*ok.Find("result")->Find("hr"), Json(0));
    EXPECT_EQ(last->lastArgs[0], VARIANT::FromLong(INT32_MIN));
}

TEST_F(RpcServerTest, OverlongLineIsRefusedAndSkipped) {
    std::string big = R"({"jsonrpc":"2.0","id":1,"method":"Invoke","params":{"pad":")" +
                      std::string(wire::kMaxLineBytes + 10, 'x') + "\"}}\n";
    std::string reply = test::Exchange(server, fd, big);
    EXPECT_EQ(ErrorCode(*Json::Parse(reply)), RPC_E_INVALID_DATA);
    EXPECT_GT(Create(), 0);  // the tail of the long line was skipped, the next one served
}

TEST_F(RpcServerTest, ReleaseAndClosingTheConnectionReleaseObjects) {
    int64_t a = Create(), b = Create(), c = Create();
    EXPECT_NE(a, b);
    Json r = Call(R"({"jsonrpc":"2.0","id":1,"method":"Release","params":{"object":)" +
                  std::to_string(a) + "}}");
    EXPECT_EQ(r.Find("result")->Dump(), R"({"refs":0})");
    EXPECT_EQ(destroyed, 1);
    r = Call(R"({"jsonrpc":"2.0","id":1,"method":"Release","params":{"object":)" +
             std::to_string(a) + "}}");
    EXPECT_EQ(ErrorCode(r), RPC_E_DISCONNECTED);
    (void)c;

    // Another connection cannot reach this one's objects.
    int other = test::ConnectUnixRaw(server.SocketPath());
    r = ExchangeJson(server, other,
                     R"({"jsonrpc":"2.0","id":1,"method":"Invoke","params":{"object":)" +
                         std::to_string(b) + R"(,"dispid":3}})");
    EXPECT_EQ(ErrorCode(r), RPC_E_DISCONNECTED);
    close(other);

    close(fd);
    fd = -1;
    for (int i = 0; i < 100 && server.ConnectionCount() > 0; ++i)
        server.RunOnce(10);
    EXPECT_EQ(server.ConnectionCount(), 0u);
    EXPECT_EQ(destroyed, 3);
}

// A client that creates without releasing cannot grow the server without end; the cap is its
// own connection's, and a released object frees its place.
TEST_F(RpcServerTest, ObjectsOfAConnectionAreCapped) {
    const std::string create = R"({"jsonrpc":"2.0","id":1,"method":"CreateInstance",)"
                               R"("params":{"progid":"VSKManager.Veskar"}})";
    // Sent at once, so the test need not wait a round trip for each.
    std::string lines;
    for (size_t i = 0; i <= CRpcServer::kMaxObjects; ++i)
        lines += create + "\n";
    ASSERT_EQ(send(fd, lines.data(), lines.size(), MSG_NOSIGNAL), ssize_t(lines.size()));
    std::string replies;
    for (int i = 0; i < 400 && std::count(replies.begin(), replies.end(), '\n') <=
                                   ptrdiff_t(CRpcServer::kMaxObjects);) {
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            replies.append(buf, size_t(n));
        } else {
            server.RunOnce(5);
            ++i;
        }
    }
    EXPECT_EQ(std::count(replies.begin(), replies.end(), '\n'),
              ptrdiff_t(CRpcServer::kMaxObjects + 1));
    Json r = *Json::Parse(replies.substr(replies.rfind('\n', replies.size() - 2) + 1));
    EXPECT_EQ(ErrorCode(r), int64_t(E_OUTOFMEMORY));
    EXPECT_NE(r.Dump().find("too many objects in this session (256); release some"),
              std::string::npos)
        << r.Dump();
    EXPECT_EQ(destroyed, 0);  // the refused one was never made

    int other = test::ConnectUnixRaw(server.SocketPath());
    r = ExchangeJson(server, other, create);
    EXPECT_TRUE(r.Find("result")) << r.Dump();
    close(other);

    Call(R"({"jsonrpc":"2.0","id":1,"method":"Release","params":{"object":7}})");
    EXPECT_GT(Create(), 0);
    EXPECT_EQ(Create(), -1);

    // A session (an HTTP client's) is held to the same cap.
    std::atomic<size_t> answered{0};
    std::string lastReply;
    for (size_t i = 0; i <= CRpcServer::kMaxObjects; ++i)
        server.PostSessionLine("s", create, [&](std::string reply) {
            lastReply = std::move(reply);
            ++answered;
        });
    for (int i = 0; i < 100 && answered < CRpcServer::kMaxObjects + 1; ++i)
        server.RunOnce(10);
    EXPECT_EQ(ErrorCode(*Json::Parse(lastReply)), int64_t(E_OUTOFMEMORY)) << lastReply;
    server.CloseSession("s");
    server.RunOnce(0);
}

TEST_F(RpcServerTest, SingleUseClassIsRevokedAfterFirstCreation) {
    std::string error;
    ASSERT_TRUE(server.RegisterClassObject(VeskarFactory(true), &error));
    EXPECT_GT(Create(), 0);
    EXPECT_FALSE(server.IsRegistered(typelib::CLSID_Veskar));
    EXPECT_FALSE(std::filesystem::exists(ClassFilePath(env.RuntimeDir(), typelib::CLSID_Veskar)));
    EXPECT_EQ(Create(), -1);
}

// A server that ends takes every class file it wrote with it, so clients start a new one.
TEST_F(RpcServerTest, EndingServerRevokesEveryClass) {
    const std::string dir = env.Dir() + "/run/other";
    std::string error;
    {
        CRpcServer other(dir);
        ASSERT_TRUE(other.ListenLocal(&error)) << error;
        ClassFactory manager = VeskarFactory(true);
        manager.clsid = typelib::CLSID_VSKManager;
        for (const ClassFactory& f : {VeskarFactory(false), manager}) {
            ASSERT_TRUE(other.RegisterClassObject(f, &error)) << error;
            EXPECT_TRUE(std::filesystem::exists(ClassFilePath(dir, f.clsid)));
        }
    }
    EXPECT_FALSE(std::filesystem::exists(ClassFilePath(dir, typelib::CLSID_Veskar)));
    EXPECT_FALSE(std::filesystem::exists(ClassFilePath(dir, typelib::CLSID_VSKManager)));
}

TEST_F(RpcServerTest, TcpConnectionsMustAuthenticateFirst) {
    std::string tokenFile = env.Dir() + "/config/token";
    std::string error;
    ASSERT_TRUE(server.ListenTcp("127.0.0.1:0", tokenFile, &error)) << error;
    struct stat st;
    ASSERT_EQ(stat(tokenFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto token = ReadTokenFile(tokenFile, &error);
    ASSERT_TRUE(token);
    std::vector<std::string> log;
    server.SetLog([&](const std::string& line) { log.push_back(line); });

    const std::string create =
        R"({"jsonrpc":"2.0","id":1,"method":"CreateInstance","params":{"progid":"VSKManager.Veskar"}})";
    struct Row {
        std::string first;
        HRESULT code;
    } refused[] = {
        {create, E_ACCESSDENIED},
        {R"({"jsonrpc":"2.0","id":1,"method":"Authenticate","params":{"token":"guess"}})",
         E_ACCESSDENIED},
        {R"({"jsonrpc":"2.0","id":1,"method":"Authenticate","params":{}})", E_ACCESSDENIED},
        {R"({"jsonrpc":"2.0","id":1,"method":"Invoke","params":{"object":1,"name":"Done"}})",
         E_ACCESSDENIED},
        {"garbage", RPC_E_INVALID_DATA},
    };
    for (const Row& row : refused) {
        int s = ConnectTcp();
        EXPECT_EQ(ErrorCode(ExchangeJson(server, s, row.first)), row.code) << row.first;
        // ... and the server hangs up.
        EXPECT_EQ(test::Exchange(server, s, create + "\n"), "");
        close(s);
    }
    // Refusals are reported with the peer, never with a token, once a minute per address.
    ASSERT_EQ(log.size(), 1u);
    for (const std::string& line : log) {
        EXPECT_NE(line.find("TCP connection from 127.0.0.1:"), std::string::npos) << line;
        EXPECT_EQ(line.find("guess"), std::string::npos) << line;
        EXPECT_EQ(line.find(*token), std::string::npos) << line;
    }

    // A flood of wrong tokens from one peer: after a failure the peer waits a growing delay, and
    // wrong tokens within it are refused; the right token is admitted at once all the same.
    const std::string good =
        R"({"jsonrpc":"2.0","id":1,"method":"Authenticate","params":{"token":")" + *token + "\"}}";
    for (int i = 0; i < 50; ++i) {
        int f = ConnectTcp();
        EXPECT_EQ(ErrorCode(ExchangeJson(server, f, refused[1].first)), E_ACCESSDENIED);
        close(f);
    }
    int waiting = ConnectTcp();
    Json r = ExchangeJson(server, waiting, refused[1].first);
    EXPECT_NE(r.Dump().find("try later"), std::string::npos) << r.Dump();
    close(waiting);
    int early = ConnectTcp();
    r = ExchangeJson(server, early, good);
    EXPECT_TRUE(r.Find("result")) << r.Dump();
    r = ExchangeJson(server, early, create);
    EXPECT_TRUE(r.Find("result") && r.Find("result")->Find("object")) << r.Dump();
    close(early);
    EXPECT_EQ(log.size(), 1u);  // all within the minute: not reported again
}

// An IPv6 address is given in brackets, as in a URL.
TEST_F(RpcServerTest, TcpListensOnABracketedIpv6Address) {
    std::string tokenFile = env.Dir() + "/config/token";
    std::string error;
    ASSERT_TRUE(server.ListenTcp("[::1]:0", tokenFile, &error)) << error;
    auto token = ReadTokenFile(tokenFile, &error);
    ASSERT_TRUE(token);
    int s = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(uint16_t(server.TcpPort()));
    addr.sin6_addr = in6addr_loopback;
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    Json r = ExchangeJson(
        server, s,
        R"({"jsonrpc":"2.0","id":1,"method":"Authenticate","params":{"token":")" + *token + "\"}}");
    EXPECT_TRUE(r.Find("result")) << r.Dump();
    close(s);
}

// Only the whole token opens a TCP connection: not an empty one, not its first character, not
// all of it but the last, not it with one more. Each wrong one is tried only once the delay of
// the previous failure has passed, so that it is its own refusal.
TEST_F(RpcServerTest, TcpTokenMustMatchWhole) {
    std::string tokenFile = env.Dir() + "/config/token";
    std::string error;
    ASSERT_TRUE(server.ListenTcp("127.0.0.1:0", tokenFile, &error)) << error;
    server.SetLog([](const std::string&) {});
    auto token = ReadTokenFile(tokenFile, &error);
    ASSERT_TRUE(token && token->size() > 2);
    auto authenticate = [&](const std::string& candidate) {
        Json request = Json(Json::Object{{"jsonrpc", "2.0"},
                                         {"id", int64_t(1)},
                                         {"method", "Authenticate"},
                                         {"params", Json(Json::Object{{"token", candidate}})}});
        const std::string line = request.Dump();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            int s = ConnectTcp();
            Json r = ExchangeJson(server, s, line);
            close(s);
            if (r.Dump().find("try later") == std::string::npos ||
                std::chrono::steady_clock::now() > until)
                return r;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    };
    std::string changedLast = *token;
    changedLast.back() = changedLast.back() == 'A' ? 'B' : 'A';
    for (const std::string& wrong :
         {std::string(), token->substr(0, 1), token->substr(0, token->size() - 1), *token + "0",
          changedLast}) {
        Json r = authenticate(wrong);
        EXPECT_EQ(ErrorCode(r), E_ACCESSDENIED) << "'" << wrong << "': " << r.Dump();
        EXPECT_NE(r.Dump().find("wrong token"), std::string::npos) << r.Dump();
    }
    Json r = authenticate(*token);
    EXPECT_TRUE(r.Find("result")) << r.Dump();
}

// Before authentication a TCP peer gets a short line and a short time; afterwards (and on the
// local socket) the ordinary line limit holds.
TEST_F(RpcServerTest, UnauthenticatedPeersHoldLittleAndNotForLong) {
    std::string error;
    ASSERT_TRUE(server.ListenTcp("127.0.0.1:0", env.Dir() + "/config/token", &error)) << error;
    server.SetLog([](const std::string&) {});
    for (int i = 0; i < 20; ++i)
        server.RunOnce(1);
    const size_t base = server.ConnectionCount();  // the fixture's local client
    // 200 peers that send 64 KiB without a newline are all dropped, holding nothing.
    std::vector<int> peers;
    const std::string blob(64 * 1024, 'x');
    size_t most = 0;
    for (int i = 0; i < 200; ++i) {
        int s = ConnectTcp();
        (void)!send(s, blob.data(), blob.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        peers.push_back(s);
        server.RunOnce(0);  // the listener's backlog is short
        server.RunOnce(0);
        most = std::max(most, server.ConnectionCount() - base);
    }
    EXPECT_LT(most, 10u);  // each went as soon as its line was too long
    for (int i = 0; i < 400 && server.ConnectionCount() > base; ++i)
        server.RunOnce(10);
    EXPECT_EQ(server.ConnectionCount(), base);
    for (int s : peers)
        close(s);

    // A peer that says nothing is dropped after its time.
    int quiet = ConnectTcp();
    for (int i = 0; i < 50 && server.ConnectionCount() == base; ++i)
        server.RunOnce(10);
    EXPECT_EQ(server.ConnectionCount(), base + 1);
    const auto start = std::chrono::steady_clock::now();
    while (server.ConnectionCount() > base &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(15))
        server.RunOnce(100);
    EXPECT_EQ(server.ConnectionCount(), base);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::seconds(9));
    char c;
    EXPECT_EQ(recv(quiet, &c, 1, 0), 0);  // closed by the server
    close(quiet);
}

// A client that sends requests and never reads the replies stops being read, then is dropped;
// the server's memory for it stays bounded.
TEST_F(RpcServerTest, ClientsThatDoNotReadTheirRepliesAreBounded) {
    int s = test::ConnectUnixRaw(server.SocketPath());
    ASSERT_GE(s, 0);
    int small = 4096;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string request =
        R"({"jsonrpc":"2.0","id":1,"method":"CreateInstance","params":{"progid":"Nothing.Here"}})"
        "\n";
    std::string many;
    while (many.size() < 512 * 1024)
        many += request;
    size_t sent = 0;
    for (int i = 0; i < 2000 && sent < many.size(); ++i) {
        ssize_t n = send(s, many.data() + sent, many.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent += size_t(n);
        server.RunOnce(1);
    }
    // The server stopped reading while its replies waited: the client could not push it all.
    EXPECT_LT(sent, many.size());
    EXPECT_EQ(server.ConnectionCount(), 2u);  // the fixture's client and this one
    close(s);
}

TEST(RuntimeFolder, RefusedWhenOthersCanReplaceIt) {
    test::TempEnv env;
    std::string error;
    EXPECT_TRUE(EnsurePrivateDir(env.Dir() + "/run/a/vskmanager", &error)) << error;
    std::string shared = env.Dir() + "/shared";
    std::filesystem::create_directories(shared);
    chmod(shared.c_str(), 0777);  // writable by all, no sticky bit
    EXPECT_FALSE(EnsurePrivateDir(shared + "/vskmanager", &error));
    chmod(shared.c_str(), 01777);  // as /tmp is
    EXPECT_TRUE(EnsurePrivateDir(shared + "/vskmanager", &error)) << error;
    std::filesystem::create_directories(env.Dir() + "/open");
    chmod((env.Dir() + "/open").c_str(), 0755);
    std::filesystem::create_directories(env.Dir() + "/open/vskmanager");
    chmod((env.Dir() + "/open/vskmanager").c_str(), 0755);
    EXPECT_TRUE(EnsurePrivateDir(env.Dir() + "/open/vskmanager", &error)) << error;
    struct stat st;
    stat((env.Dir() + "/open/vskmanager").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0700u);  // made private
}

TEST(TokenFile, RefusesAFileOthersCanRead) {
    test::TempEnv env;
    std::string path = env.Dir() + "/config/token";
    std::string error;
    auto created = LoadOrCreateTokenFile(path, &error);
    ASSERT_TRUE(created) << error;
    EXPECT_EQ(created->size(), 64u);
    EXPECT_EQ(LoadOrCreateTokenFile(path, &error), created);  // stable across starts
    chmod(path.c_str(), 0644);
    EXPECT_FALSE(ReadTokenFile(path, &error));
}

// Session connections: lines posted from another thread are served by the loop in order, each
// session has objects of its own, and closing a session releases them.
TEST_F(RpcServerTest, SessionLinesAreServedInOrderWithObjectsOfTheirOwn) {
    std::mutex mutex;
    std::vector<std::string> replies;
    auto post = [&](const std::string& session, const std::string& line) {
        server.PostSessionLine(session, line, [&](std::string reply) {
            std::lock_guard lock(mutex);
            replies.push_back(std::move(reply));
        });
    };
    auto waitFor = [&](size_t n) {
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard lock(mutex);
                if (replies.size() >= n)
                    return true;
            }
            server.RunOnce(20);
        }
        return false;
    };
    std::thread poster([&] {
        post("a", R"({"jsonrpc":"2.0","id":1,"method":"CreateInstance",)"
                  R"("params":{"progid":"VSKManager.Veskar"}})");
        post("a", R"({"jsonrpc":"2.0","id":2,"method":"Invoke",)"
                  R"("params":{"object":1,"name":"GetPortNumber","args":[]}})");
        post("b", R"({"jsonrpc":"2.0","id":3,"method":"Invoke",)"
                  R"("params":{"object":1,"name":"GetPortNumber","args":[]}})");
        post("a", R"({"jsonrpc":"2.0","method":"Invoke",)"
                  R"("params":{"object":1,"name":"GetPortNumber","args":[]}})");
    });
    poster.join();
    ASSERT_TRUE(waitFor(4));
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_NE(replies[0].find(R"("object":1)"), std::string::npos) << replies[0];
    EXPECT_NE(replies[1].find(R"("id":2,"result")"), std::string::npos) << replies[1];
    // Session b never created object 1: the handle of session a means nothing there.
    EXPECT_EQ(ErrorCode(*Json::Parse(replies[2])), int64_t(RPC_E_DISCONNECTED));
    EXPECT_EQ(replies[3], "");  // a notification has no reply
    EXPECT_EQ(destroyed, 0);
    server.CloseSession("a");
    server.RunOnce(20);
    EXPECT_EQ(destroyed, 1);
    // A closed session starts afresh: its old handle is gone.
    post("a", R"({"jsonrpc":"2.0","id":4,"method":"Release","params":{"object":1}})");
    ASSERT_TRUE(waitFor(5));
    EXPECT_EQ(ErrorCode(*Json::Parse(replies[4])), int64_t(RPC_E_DISCONNECTED));
}

// Lines still queued when the server goes are answered with nothing, so no poster waits for
// ever.
TEST(RpcServerSessions, QueuedLinesAreAnsweredWhenTheServerGoes) {
    test::TempEnv env;
    std::atomic<int> answered{0};
    {
        CRpcServer server{env.RuntimeDir()};
        std::string error;
        ASSERT_TRUE(server.ListenLocal(&error)) << error;
        server.PostSessionLine("s", R"({"jsonrpc":"2.0","id":1,"method":"Nope"})",
                               [&](std::string reply) {
                                   EXPECT_EQ(reply, "");
                                   ++answered;
                               });
    }
    EXPECT_EQ(answered.load(), 1);
}

}  // namespace
}  // namespace vsk
