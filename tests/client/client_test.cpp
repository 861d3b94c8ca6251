#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <set>
#include <thread>

#include "client/client.h"
#include "rpc/runtime_paths.h"
#include "tests/child_process.h"
#include "tests/rpc/recording_veskar.h"
#include "tests/rpc/test_support.h"

namespace vsk {
namespace {

using test::RecordingVeskar;
using namespace std::chrono_literals;

// One line from a socket, waiting at most `limit`; empty on a time-out or a closed socket.
std::string ReadLine(int fd, std::chrono::milliseconds limit = 5000ms) {
    std::string line;
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
            return {};
        char c;
        if (recv(fd, &c, 1, 0) != 1)
            return {};
        if (c == '\n')
            return line;
        line += c;
    }
}

struct ChildResult {
    int status = -1;  // exit status, -1 when it had to be killed
    std::string output;
};

// Runs `body` in a child process, as `uid` when given (a user of its own, with no
// XDG_RUNTIME_DIR), and collects what it writes to the descriptor it is given. A child still
// running after `limit` is killed: a call that would block for ever fails the test instead of
// hanging it.
ChildResult RunChild(std::optional<uid_t> uid, const std::function<int(int out)>& body,
                     std::chrono::milliseconds limit = 10000ms) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        if (uid) {
            unsetenv("XDG_RUNTIME_DIR");
            if (setgroups(0, nullptr) != 0 || setgid(*uid) != 0 || setuid(*uid) != 0)
                _exit(98);
        }
        vsktest::DieWithParent(parent);  // after the change of user, which disarms it
        _exit(body(pipeFds[1]));
    }
    close(pipeFds[1]);
    ChildResult result;
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        char buf[512];
        pollfd p{pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            ssize_t n = read(pipeFds[0], buf, sizeof buf);
            if (n > 0)
                result.output.append(buf, size_t(n));
        }
        if (waitpid(pid, &status, WNOHANG) == pid) {
            while (read(pipeFds[0], buf, sizeof buf) > 0) {
            }
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
    }
    close(pipeFds[0]);
    return result;
}

// A server serving RecordingVeskar objects on its own thread, as a real server process would.
class ServedVeskar : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server.ListenLocal(&error)) << error;
        ASSERT_TRUE(server.ListenTcp("127.0.0.1:0", tokenFile, &error)) << error;
        ClassFactory f;
        f.clsid = typelib::CLSID_Veskar;
        f.progIds = {typelib::kVeskarVersionIndependentProgId};
        f.create = [this](IDispatch** pp) {
            auto* obj = new RecordingVeskar;
            obj->log = &log;
            obj->nextResult = nextResult.load();
            *pp = obj;
            return S_OK;
        };
        ASSERT_TRUE(server.RegisterClassObject(f, &error)) << error;
        wake = eventfd(0, EFD_CLOEXEC);
        thread = std::thread([this] {
            while (!stop)
                server.RunOnce(-1, wake);
        });
    }
    void TearDown() override {
        stop = true;
        uint64_t one = 1;
        (void)!write(wake, &one, sizeof one);
        thread.join();
        close(wake);
    }

    std::vector<std::string> Calls() {
        std::lock_guard lock(log.mutex);
        return log.calls;
    }
    std::vector<VARIANT> LastArgs() {
        std::lock_guard lock(log.mutex);
        return log.args.empty() ? std::vector<VARIANT>{} : log.args.back();
    }

    ActivationOptions LocalOnly() {
        ActivationOptions o;
        o.allowStart = false;
        return o;
    }

    test::TempEnv env;
    std::string tokenFile = env.Dir() + "/config/vskmanager/tcp-token";
    CRpcServer server{env.RuntimeDir()};
    RecordingVeskar::Log log;
    std::atomic<HRESULT> nextResult{S_OK};
    std::atomic<bool> stop{false};
    int wake = -1;
    std::thread thread;
};

TEST_F(ServedVeskar, ProxyCallsReachTheServerWithArgumentsAndResults) {
    IDispatch* obj = nullptr;
    ASSERT_EQ(CreateInstance("VSKManager.Veskar", &obj, LocalOnly()), REGDB_E_CLASSNOTREG)
        << "the ProgID is unknown to an empty registry";
    ASSERT_EQ(CreateInstance(GuidToString(typelib::CLSID_Veskar), &obj, LocalOnly()), S_OK);
    IVeskar* veskar = nullptr;
    ASSERT_EQ(QueryVeskar(obj, &veskar), S_OK);
    obj->Release();

    LONG sum = -1;
    EXPECT_EQ(veskar->FiscalLineEx(u"Хліб", 1000, 1205, 1, 1, 0, 7, 0, u"", 0, &sum), S_OK);
    EXPECT_EQ(sum, RecordingVeskar::kLongOut);
    EXPECT_EQ(Calls().back(), "FiscalLineEx");
    auto args = LastArgs();
    ASSERT_EQ(args.size(), 10u);
    EXPECT_EQ(args[0], VARIANT::FromBstr(u"Хліб"));
    EXPECT_EQ(args[6], VARIANT::FromLong(7));

    EXPECT_EQ(veskar->PeriodicalFiscalReportDate(45000.25, 45001.75), S_OK);
    EXPECT_EQ(LastArgs()[1], VARIANT::FromDate(45001.75));

    BSTR text;
    EXPECT_EQ(veskar->GetLastErrorCode(&text), S_OK);
    EXPECT_EQ(text, RecordingVeskar::kTextOut);

    DISPID id = 0;
    EXPECT_EQ(veskar->GetIDsOfNames(u"CloseCheckEx", &id), S_OK);
    EXPECT_EQ(id, 26);
    EXPECT_EQ(veskar->GetIDsOfNames(u"Nope", &id), DISP_E_UNKNOWNNAME);
    const ITypeInfo* info = nullptr;
    EXPECT_EQ(veskar->GetTypeInfo(0, &info), S_OK);
    EXPECT_EQ(info->iid, typelib::IID_IVeskar);
    void* other = nullptr;
    EXPECT_EQ(veskar->QueryInterface(typelib::IID_IVSKManager, &other), E_NOINTERFACE);
    veskar->Release();
}

TEST_F(ServedVeskar, FailuresComeBackWithTheirOutValue) {
    nextResult = E_FAIL;
    IDispatch* obj = nullptr;
    ASSERT_EQ(CreateInstance(GuidToString(typelib::CLSID_Veskar), &obj, LocalOnly()), S_OK);
    IVeskar* veskar = nullptr;
    ASSERT_EQ(QueryVeskar(obj, &veskar), S_OK);
    obj->Release();
    LONG sum = 0;
    EXPECT_EQ(veskar->FiscalLine(u"x", 1, 1, 0, 1, 0, 0, &sum), E_FAIL);
    EXPECT_EQ(sum, RecordingVeskar::kLongOut);
    veskar->Release();
}

TEST_F(ServedVeskar, LateBindingByName) {
    IDispatch* obj = nullptr;
    ASSERT_EQ(CreateInstance(GuidToString(typelib::CLSID_Veskar), &obj, LocalOnly()), S_OK);
    auto* remote = static_cast<CRemoteObject*>(obj);
    VARIANT result;
    EXPECT_EQ(
        remote->InvokeByName("OpenCheck", InvokeKind::Method, {VARIANT::FromBstr(u"1")}, &result),
        S_OK);
    EXPECT_EQ(Calls().back(), "OpenCheck");
    std::string message;
    EXPECT_EQ(remote->InvokeByName("OpenCheck", InvokeKind::Method, {}, &result, &message),
              DISP_E_BADPARAMCOUNT);
    EXPECT_NE(message.find("OpenCheck"), std::string::npos) << message;
    EXPECT_EQ(
        remote->InvokeByName("OpenCheck", InvokeKind::Method, {VARIANT::FromLong(1)}, &result),
        DISP_E_TYPEMISMATCH);
    obj->Release();
}

TEST_F(ServedVeskar, AnArgumentTooLongForTheWireFailsAtOnce) {
    IDispatch* obj = nullptr;
    ASSERT_EQ(CreateInstance(GuidToString(typelib::CLSID_Veskar), &obj, LocalOnly()), S_OK);
    auto* remote = static_cast<CRemoteObject*>(obj);
    remote->Channel()->SetTimeout(5000);
    VARIANT result;
    EXPECT_EQ(remote->InvokeByName("OpenCheck", InvokeKind::Method,
                                   {VARIANT::FromBstr(std::u16string(600 * 1024, u'Ж'))}, &result),
              RPC_E_INVALID_DATA);
    EXPECT_EQ(
        remote->InvokeByName("OpenCheck", InvokeKind::Method, {VARIANT::FromBstr(u"1")}, &result),
        S_OK);
    obj->Release();
}

TEST_F(ServedVeskar, RequestIdsComeBackAsSent) {
    int fd = test::ConnectUnixRaw(server.SocketPath());
    ASSERT_GE(fd, 0);
    for (const std::string id : {"123456789012345678901234567890", "1.50", R"("\u0041\/")"}) {
        std::string request =
            R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"Release","params":{"object":999}})";
        request += "\n";
        ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
        std::string reply = ReadLine(fd);
        EXPECT_NE(reply.find(R"("id":)" + id + ","), std::string::npos) << reply;
    }
    close(fd);
}

TEST_F(ServedVeskar, StaleClassFileIsIgnored) {
    std::string classFile = ClassFilePath(env.RuntimeDir(), typelib::CLSID_Veskar);
    std::ofstream(classFile) << env.RuntimeDir() << "/server-999999.sock\n";
    IDispatch* obj = nullptr;
    EXPECT_EQ(CreateInstance(GuidToString(typelib::CLSID_Veskar), &obj, LocalOnly()),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(obj, nullptr);
}

TEST_F(ServedVeskar, RemoteCreationNeedsTheToken) {
    std::string hostPort = "127.0.0.1:" + std::to_string(server.TcpPort());
    IDispatch* obj = nullptr;
    ASSERT_EQ(CreateInstanceEx(GuidToString(typelib::CLSID_Veskar), hostPort, &obj, tokenFile),
              S_OK);
    IVeskar* veskar = nullptr;
    ASSERT_EQ(QueryVeskar(obj, &veskar), S_OK);
    obj->Release();
    LONG port = 0;
    EXPECT_EQ(veskar->GetPortNumber(&port), S_OK);
    EXPECT_EQ(port, RecordingVeskar::kLongOut);
    veskar->Release();

    std::string wrong = env.Dir() + "/config/wrong-token";
    std::string error;
    ASSERT_TRUE(LoadOrCreateTokenFile(wrong, &error)) << error;
    EXPECT_EQ(CreateInstanceEx(GuidToString(typelib::CLSID_Veskar), hostPort, &obj, wrong),
              E_ACCESSDENIED);
    EXPECT_EQ(CreateInstanceEx(GuidToString(typelib::CLSID_Veskar), hostPort, &obj,
                               env.Dir() + "/config/absent"),
              E_ACCESSDENIED);
    std::string shortToken = env.Dir() + "/config/short-token";
    std::ofstream(shortToken) << "x\n";
    chmod(shortToken.c_str(), 0600);
    EXPECT_EQ(CreateInstanceEx(GuidToString(typelib::CLSID_Veskar), hostPort, &obj, shortToken),
              E_ACCESSDENIED);
    EXPECT_NE(ActivationError().find("at least 32"), std::string::npos) << ActivationError();
}

// A reply that comes after its call gave up is never the answer to a later call: replies are
// matched to their requests by id and a stale one, result or error, is dropped, whether it is
// already waiting when the next call is sent or comes just before that call's own reply.
TEST(ClientChannel, ALateReplyIsNotTakenForTheNextCallsAnswer) {
    test::TempEnv env;
    const std::string path = env.Dir() + "/fake.sock";
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);

    auto idOf = [](const std::string& request) -> int64_t {
        auto parsed = Json::Parse(request);
        const Json* id = parsed ? parsed->Find("id") : nullptr;
        return id && id->IsInt() ? id->AsInt() : -1;
    };
    auto reply = [](int fd, int64_t id, const std::string& body) {
        std::string line = R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + "," + body + "}\n";
        EXPECT_EQ(send(fd, line.data(), line.size(), MSG_NOSIGNAL), ssize_t(line.size()));
    };
    std::promise<void> firstTimedOut, lateReplySent, thirdTimedOut;
    std::thread fake([&] {
        int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        const int64_t first = idOf(ReadLine(c));
        firstTimedOut.get_future().wait();
        reply(c, first, R"("result":"late")");
        lateReplySent.set_value();
        const int64_t second = idOf(ReadLine(c));
        reply(c, second, R"("result":"second")");
        const int64_t third = idOf(ReadLine(c));
        thirdTimedOut.get_future().wait();
        const int64_t fourth = idOf(ReadLine(c));
        reply(c, third, R"("error":{"code":-2147467259,"message":"late failure"})");
        reply(c, fourth, R"("result":"fourth")");
        EXPECT_EQ(std::set<int64_t>({first, second, third, fourth}).size(), 4u);
        ReadLine(c, 2000ms);  // until the client hangs up
        close(c);
    });

    HRESULT hr = E_FAIL;
    auto channel = CRpcChannel::ConnectUnix(path, &hr);
    ASSERT_TRUE(channel) << hr;
    channel->SetTimeout(200);
    Json result;
    std::string message;
    EXPECT_EQ(channel->Call("First", Json(), &result), RPC_E_DISCONNECTED);
    firstTimedOut.set_value();
    lateReplySent.get_future().wait();
    channel->SetTimeout(5000);
    EXPECT_EQ(channel->Call("Second", Json(), &result), S_OK);
    EXPECT_EQ(result.IsString() ? result.AsString() : result.Dump(), "second");

    channel->SetTimeout(200);
    EXPECT_EQ(channel->Call("Third", Json(), &result), RPC_E_DISCONNECTED);
    thirdTimedOut.set_value();
    channel->SetTimeout(5000);
    EXPECT_EQ(channel->Call("Fourth", Json(), &result, &message), S_OK) << message;
    EXPECT_EQ(result.IsString() ? result.AsString() : result.Dump(), "fourth");
    EXPECT_EQ(message, "");
    channel.reset();
    fake.join();
    close(listener);
}

TEST(TokenFile, OnlyARegularFileOfALongTokenIsRead) {
    test::TempEnv env;
    const std::string dir = env.Dir() + "/config";
    std::string error;
    // A FIFO would hold open() until a writer came, and only SIGKILL would end the wait.
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ChildResult child = RunChild(std::nullopt, [&](int out) {
        std::string why;
        bool read = LoadOrCreateTokenFile(fifo, &why).has_value();
        (void)!write(out, why.data(), why.size());
        return read ? 1 : 0;
    });
    EXPECT_EQ(child.status, 0) << "-1: blocked in open";
    EXPECT_NE(child.output.find("not a regular file"), std::string::npos) << child.output;

    // A symbolic link is not followed, even to a good token file, nor created through.
    std::string good = dir + "/good";
    ASSERT_TRUE(LoadOrCreateTokenFile(good, &error)) << error;
    ASSERT_EQ(symlink(good.c_str(), (dir + "/link").c_str()), 0);
    EXPECT_FALSE(ReadTokenFile(dir + "/link", &error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    ASSERT_EQ(symlink((dir + "/nowhere").c_str(), (dir + "/dangling").c_str()), 0);
    EXPECT_FALSE(LoadOrCreateTokenFile(dir + "/dangling", &error));
    EXPECT_FALSE(std::filesystem::exists(dir + "/nowhere"));

    // A token is long enough to resist guessing, or refused.
    struct Row {
        std::string text;
        bool accepted;
    } rows[] = {
        {"x", false},
        {std::string(31, 'a') + "\n", false},
        {"  " + std::string(20, 'b') + "  \n", false},
        {std::string(32, 'c'), true},
    };
    for (const Row& row : rows) {
        std::string path = dir + "/token";
        std::filesystem::remove(path);
        std::ofstream(path) << row.text;
        chmod(path.c_str(), 0600);
        error.clear();
        auto token = LoadOrCreateTokenFile(path, &error);
        EXPECT_EQ(token.has_value(), row.accepted) << row.text;
        if (!row.accepted) {
            EXPECT_NE(error.find("at least 32"), std::string::npos) << error;
        }
    }
}

// ---- trusting the server --------------------------------------------------------------------

// The uid of the impostor: another user of this machine.
constexpr uid_t kStranger = 65534;

// A uid no one else uses, played by a child process: its fallback folder
// /tmp/vskmanager-<uid> is the test's own, the real user's stays untouched.
uid_t TestUser() {
    return 61000 + uid_t(getpid() % 4000);
}

// A listening socket that never answers: it tells whether anyone connected and how much they
// sent before closing.
class Impostor {
public:
    explicit Impostor(std::string path) : m_path(std::move(path)) {
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, m_path.c_str(), sizeof addr.sun_path - 1);
        unlink(m_path.c_str());
        EXPECT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << m_path;
        EXPECT_EQ(listen(m_fd, 4), 0);
        chmod(m_path.c_str(), 0777);  // anyone may connect
    }
    ~Impostor() {
        close(m_fd);
        unlink(m_path.c_str());
    }
    const std::string& Path() const { return m_path; }
    // -1 when nobody connected; else the bytes the first caller sent (who has gone by now).
    long Received() {
        int c = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            return -1;
        long total = 0;
        char buf[4096];
        pollfd p{c, POLLIN, 0};
        while (poll(&p, 1, 2000) > 0) {
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            total += n;
        }
        close(c);
        return total;
    }

private:
    std::string m_path;
    int m_fd = -1;
};

void WriteClassFile(const std::string& runtimeDir, const std::string& socketPath) {
    std::string path = ClassFilePath(runtimeDir, typelib::CLSID_Veskar);
    std::ofstream(path) << socketPath << "\n";
    chmod(path.c_str(), 0644);
}

// The client library, in the child: 0 when refused with E_ACCESSDENIED; the reason goes out.
int CreateAsClient(int out) {
    ActivationOptions options;
    options.allowStart = false;
    IDispatch* obj = nullptr;
    HRESULT hr = CreateInstance(GuidToString(typelib::CLSID_Veskar), &obj, options);
    std::string why = ActivationError();
    (void)!write(out, why.data(), why.size());
    return hr == E_ACCESSDENIED && !obj ? 0 : 1;
}

// The Python example, in the child: its exit status and what it printed on stderr; 77 when it
// cannot be run here.
int RunPythonExample(int out) {
    static const std::string script =
        std::filesystem::path(VSK_SOURCE_DIR) / "client/example_client.py";
    const char* python = "/usr/bin/python3";
    if (access(python, X_OK) != 0 || access(script.c_str(), R_OK) != 0)
        return 77;
    dup2(out, 2);
    execl(python, "python3", script.c_str(), "1", static_cast<char*>(nullptr));
    return 77;
}

TEST(TrustingTheServer, ARuntimeFolderNotPrivateToThisUserIsRefusedBeforeAnyConnection) {
    struct Row {
        const char* what;
        bool needsRoot;
        std::function<std::string(const std::string& base)> make;  // gives the runtime folder
        const char* why;
    } rows[] = {
        {"another user's folder", true,
         [](const std::string& base) {
             std::filesystem::create_directory(base + "/vskmanager");
             chmod((base + "/vskmanager").c_str(), 0700);
             EXPECT_EQ(chown((base + "/vskmanager").c_str(), kStranger, kStranger), 0);
             return base + "/vskmanager";
         },
         "belongs to another user"},
        {"a folder open to others", false,
         [](const std::string& base) {
             std::filesystem::create_directory(base + "/vskmanager");
             chmod((base + "/vskmanager").c_str(), 0755);
             return base + "/vskmanager";
         },
         "open to other users"},
        {"a symbolic link", false,
         [](const std::string& base) {
             std::filesystem::create_directory(base + "/elsewhere");
             chmod((base + "/elsewhere").c_str(), 0700);
             std::filesystem::create_directory_symlink(base + "/elsewhere", base + "/vskmanager");
             return base + "/vskmanager";
         },
         "symbolic link"},
        {"a parent others may rename in", false,
         [](const std::string& base) {
             std::filesystem::create_directories(base + "/shared/vskmanager");
             chmod((base + "/shared").c_str(), 0777);
             chmod((base + "/shared/vskmanager").c_str(), 0700);
             return base + "/shared/vskmanager";
         },
         "may be changed by other users"},
    };
    for (const Row& row : rows) {
        if (row.needsRoot && geteuid() != 0)
            continue;  // only root can give a folder away
        test::TempEnv env;
        std::string dir = row.make(env.Dir());
        Impostor impostor(env.Dir() + "/impostor.sock");
        WriteClassFile(dir, impostor.Path());
        ActivationOptions options;
        options.runtimeDir = dir;
        options.allowStart = false;
        IDispatch* obj = nullptr;
        EXPECT_EQ(CreateInstance(GuidToString(typelib::CLSID_Veskar), &obj, options),
                  E_ACCESSDENIED)
            << row.what;
        EXPECT_EQ(obj, nullptr);
        EXPECT_NE(ActivationError().find(row.why), std::string::npos)
            << row.what << ": " << ActivationError();
        EXPECT_EQ(impostor.Received(), -1) << row.what << ": the client connected";
    }
}

// Without XDG_RUNTIME_DIR the folder is /tmp/vskmanager-$UID/vskmanager, where any local user
// may have been first.
class FallbackFolder : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "playing two users takes root";
        std::filesystem::remove_all(Parent());
    }
    void TearDown() override { std::filesystem::remove_all(Parent()); }
    std::string Parent() const { return "/tmp/vskmanager-" + std::to_string(user); }
    std::string Dir() const { return Parent() + "/vskmanager"; }
    void MakeFolder(const std::string& path, uid_t owner, mode_t mode) {
        ASSERT_TRUE(std::filesystem::create_directory(path)) << path;
        ASSERT_EQ(chown(path.c_str(), owner, owner), 0);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }
    // The client library and the Python example are each refused with `why`.
    void ExpectBothClientsRefused(const std::string& why, Impostor& impostor, long sent) {
        ChildResult cpp = RunChild(user, CreateAsClient);
        EXPECT_EQ(cpp.status, 0) << cpp.output;
        EXPECT_NE(cpp.output.find(why), std::string::npos) << cpp.output;
        EXPECT_EQ(impostor.Received(), sent) << "libvskclient";

        ChildResult py = RunChild(user, RunPythonExample);
        if (py.status == 77)
            return;  // no Python here, or the source is out of the test user's reach
        EXPECT_EQ(py.status, 1) << py.output;
        EXPECT_NE(py.output.find("refusing the server"), std::string::npos) << py.output;
        EXPECT_NE(py.output.find(why), std::string::npos) << py.output;
        EXPECT_EQ(impostor.Received(), sent) << "example_client.py";
    }

    uid_t user = TestUser();
    test::TempEnv env;
};

TEST_F(FallbackFolder, PreparedByAnotherUserIsRefusedAndNothingIsSent) {
    MakeFolder(Parent(), kStranger, 0777);
    MakeFolder(Dir(), kStranger, 0777);
    Impostor impostor(Dir() + "/server-1.sock");
    WriteClassFile(Dir(), impostor.Path());
    ExpectBothClientsRefused("belongs to another user", impostor, -1);
}

TEST_F(FallbackFolder, OursButOpenToOthersIsRefused) {
    MakeFolder(Parent(), user, 0755);
    MakeFolder(Dir(), user, 0700);
    Impostor impostor(Dir() + "/server-1.sock");
    WriteClassFile(Dir(), impostor.Path());
    ExpectBothClientsRefused(Parent() + " is open to other users", impostor, -1);
}

// The folder is in order, but the socket it names is served by another user (root here):
// the client learns it from the peer's credentials and hangs up without a word.
TEST_F(FallbackFolder, AServerOfAnotherUserIsRefusedBeforeAnythingIsSent) {
    MakeFolder(Parent(), user, 0700);
    MakeFolder(Dir(), user, 0700);
    Impostor impostor(Dir() + "/server-1.sock");
    WriteClassFile(Dir(), impostor.Path());
    ExpectBothClientsRefused("runs as user 0", impostor, 0);
}

}  // namespace
}  // namespace vsk
