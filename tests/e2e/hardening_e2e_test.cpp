// The server as a careless or hostile client finds it: a thousand waiting lockers, a client that
// dies holding the lock, SIGTERM while a long wait is under way, and a server that runs out of
// descriptors.
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "rpc/json.h"
#include "tests/e2e/server_support.h"

namespace vske2e {
namespace {

// A raw JSON-RPC connection to the server, for clients by the hundred.
class Wire {
public:
    explicit Wire(const std::string& socketPath) {
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~Wire() {
        if (m_fd >= 0)
            close(m_fd);
    }
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;
    int Fd() const { return m_fd; }

    bool Send(const std::string& method, const std::string& params, int id = 1) {
        std::string line = R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" +
                           method + R"(","params":)" + params + "}\n";
        return m_fd >= 0 &&
               send(m_fd, line.data(), line.size(), MSG_NOSIGNAL) == ssize_t(line.size());
    }
    // The next reply line, or nothing within `timeoutMs`.
    std::optional<Json> Receive(int timeoutMs = 10000) {
        const auto end = std::chrono::steady_clock::now() + Ms(timeoutMs);
        for (;;) {
            size_t nl = m_in.find('\n');
            if (nl != std::string::npos) {
                auto reply = Json::Parse(m_in.substr(0, nl));
                m_in.erase(0, nl + 1);
                return reply;
            }
            int left =
                int(std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now()).count());
            pollfd p{m_fd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0)
                return std::nullopt;
            char buf[4096];
            ssize_t n = read(m_fd, buf, sizeof buf);
            if (n <= 0)
                return std::nullopt;
            m_in.append(buf, size_t(n));
        }
    }
    // hr of an Invoke reply (or a JSON-RPC error code).
    static int64_t Hr(const std::optional<Json>& reply) {
        if (!reply)
            return INT64_MIN;
        if (const Json* r = reply->Find("result"); r && r->Find("hr"))
            return r->Find("hr")->AsInt();
        if (const Json* e = reply->Find("error"); e && e->Find("code"))
            return e->Find("code")->AsInt();
        return INT64_MIN;
    }
    // CreateInstance + Init on `port`: true when bound.
    bool Bind(int port) {
        if (!Send("CreateInstance", R"({"progid":"VSKManager.Veskar"})"))
            return false;
        auto created = Receive();
        if (!created || !created->Find("result"))
            return false;
        m_object = created->Find("result")->Find("object")->AsInt();
        return Call("Init", std::to_string(port) + R"(,"Anna","0000000000",0,"wire")") == S_OK;
    }
    bool SendCall(const std::string& member, const std::string& args, int id = 1) {
        return Send("Invoke",
                    R"({"object":)" + std::to_string(m_object) + R"(,"name":")" + member +
                        R"(","args":[)" + args + "]}",
                    id);
    }
    int64_t Call(const std::string& member, const std::string& args = {}, int timeoutMs = 10000) {
        return SendCall(member, args) ? Hr(Receive(timeoutMs)) : INT64_MIN;
    }

private:
    int m_fd = -1;
    int64_t m_object = 0;
    std::string m_in;
};

class HardeningE2e : public ServerE2e {
protected:
    std::string SocketPath() {
        for (const auto& entry : std::filesystem::directory_iterator(m_runtime + "/vskmanager"))
            if (entry.path().filename().string().rfind("server-", 0) == 0)
                return entry.path().string();
        return {};
    }
};

// A thousand clients wait for one lock: the server keeps serving (the waits are a queue, not a
// stack), and the lock goes round in the order they asked for it.
TEST_F(HardeningE2e, AThousandWaitingLockersAreServedInArrivalOrder) {
    StartRegister(m_emulator, m_dir, kPort);
    StartServer();
    Wire holder(SocketPath());
    ASSERT_TRUE(holder.Bind(kPort));
    ASSERT_EQ(holder.Call("LockPrinter", "5000"), S_OK);

    constexpr int kWaiters = 1000;
    std::vector<std::unique_ptr<Wire>> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.push_back(std::make_unique<Wire>(SocketPath()));
        ASSERT_TRUE(waiters.back()->Bind(kPort)) << "waiter " << i;
    }
    for (int i = 0; i < kWaiters; ++i) {
        ASSERT_TRUE(waiters[i]->SendCall("LockPrinter", "120000"));
        if (i % 100 == 99)  // the server takes them in the order they come
            std::this_thread::sleep_for(Ms(20));
    }
    std::this_thread::sleep_for(Ms(300));
    // Still serving, and the holder can let go.
    EXPECT_EQ(holder.Call("GetPortNumber"), S_OK);
    EXPECT_EQ(holder.Call("UnlockPrinter"), S_OK);
    // Each waiter in turn gets the lock and passes it on.
    int inOrder = 0;
    for (int i = 0; i < kWaiters; ++i) {
        auto reply = waiters[i]->Receive(20000);
        ASSERT_EQ(Wire::Hr(reply), S_OK) << "waiter " << i;
        ++inOrder;
        EXPECT_EQ(waiters[i]->Call("UnlockPrinter"), S_OK);
    }
    EXPECT_EQ(inOrder, kWaiters);
}

// A client that dies holding the lock gives it back; a client that dies waiting leaves the
// queue; the lock is not lost for good.
TEST_F(HardeningE2e, AClientKilledHoldingTheLockGivesItBack) {
    StartRegister(m_emulator, m_dir, kPort);
    StartServer();
    Wire other(SocketPath());
    ASSERT_TRUE(other.Bind(kPort));  // keeps the port open after the holder is gone

    const pid_t child = ForkClient([&] {
        auto dying = new Wire(SocketPath());  // kept open until the process is killed
        return dying->Bind(kPort) && dying->Call("LockPrinter", "1000") == S_OK;
    });
    ASSERT_GT(child, 0);

    // The survivor waits for the lock; the holder dies meanwhile.
    ASSERT_TRUE(other.SendCall("LockPrinter", "20000"));
    std::this_thread::sleep_for(Ms(200));
    const auto killed = std::chrono::steady_clock::now();
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(Wire::Hr(other.Receive(10000)), S_OK);
    EXPECT_LT(ElapsedMs(killed), 5000);
    EXPECT_EQ(other.Call("UnlockPrinter"), S_OK);
    EXPECT_EQ(other.Call("LockPrinter", "100"), S_OK);
}

// SIGTERM ends the server within seconds whatever is waiting: a lock wait of minutes, a call
// on a silent register, a receipt left open (cancelled as a departing client's would be).
TEST_F(HardeningE2e, SigtermEndsTheServerPromptlyWhateverWaits) {
    StartRegister(m_emulator, m_dir, kPort);
    StartServer();
    Wire holder(SocketPath()), waiter(SocketPath()), seller(SocketPath());
    ASSERT_TRUE(holder.Bind(kPort));
    ASSERT_TRUE(waiter.Bind(kPort));
    ASSERT_TRUE(seller.Bind(kPort));
    ASSERT_EQ(holder.Call("LockPrinter", "1000"), S_OK);
    ASSERT_TRUE(waiter.SendCall("LockPrinter", "600000"));
    ASSERT_EQ(seller.Call("OpenCheck", R"("1")"), S_OK);
    ASSERT_EQ(m_emulator.State()["receipt"], "open");
    // The register falls silent under a call that waits for it.
    ASSERT_EQ(m_emulator.Control("silence on"), "OK");
    ASSERT_TRUE(seller.SendCall("FiscalLineEx", R"("Bread",1,1000,0,1,0,1,0,"",0)"));
    ASSERT_TRUE(seller.SendCall("GetCheckSum", "", 2));  // queued behind it
    std::this_thread::sleep_for(Ms(300));
    ASSERT_EQ(m_emulator.Control("silence off"), "OK");

    const auto start = std::chrono::steady_clock::now();
    const int exitStatus = vsktest::StopChild(m_server).value_or(-1);
    const int64_t took = ElapsedMs(start);
    m_server = -1;
    EXPECT_TRUE(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0)
        << exitStatus << "\n"
        << ReadAll(m_dir + "/server.out");
    EXPECT_LT(took, 5000) << ReadAll(m_dir + "/server.out");
    // The waiting calls were answered (as failures) before the connections went; a request
    // still queued behind one was not started.
    EXPECT_EQ(Wire::Hr(waiter.Receive(1000)), CONTEXT_E_SYNCH_TIMEOUT);
    auto sale = seller.Receive(1000);
    ASSERT_TRUE(sale);
    EXPECT_EQ(sale->Find("id")->AsInt(), 1);
    EXPECT_FALSE(seller.Receive(1000)) << "a request was served after SIGTERM";
    EXPECT_TRUE(Eventually([&] { return m_emulator.State()["receipt"] == "closed"; }, 3000));
    EXPECT_EQ(m_emulator.State()["day_receipts"], "0");
}

// At the descriptor limit the server neither spins nor stops: it pauses accepting, and serves
// new clients once descriptors are free again.
TEST_F(HardeningE2e, AtTheDescriptorLimitTheServerWaitsInsteadOfSpinning) {
    const std::string out = m_dir + "/server.out";
    m_server =
        SpawnLogged({"/bin/sh", "-c", "ulimit -n 48 && exec " VSK_SERVER_PATH " --headless"}, out);
    ASSERT_GT(m_server, 0);
    ASSERT_TRUE(Eventually(
        [&] {
            return std::filesystem::exists(m_runtime + "/vskmanager/" +
                                           GuidToString(typelib::CLSID_Veskar));
        },
        5000));
    std::vector<std::unique_ptr<Wire>> hogs;
    for (int i = 0; i < 80; ++i)
        hogs.push_back(std::make_unique<Wire>(SocketPath()));
    std::this_thread::sleep_for(Ms(300));
    auto cpuMs = [&] {
        std::istringstream stat(ReadAll("/proc/" + std::to_string(m_server) + "/stat"));
        std::string field;
        long ticks = 0;
        for (int i = 1; stat >> field && i <= 15; ++i)
            if (i == 14 || i == 15)
                ticks += std::stol(field);
        return ticks * 1000 / sysconf(_SC_CLK_TCK);
    };
    const long before = cpuMs();
    std::this_thread::sleep_for(Ms(2000));
    EXPECT_LT(cpuMs() - before, 300) << "the server spins at the descriptor limit";
    hogs.clear();
    Wire fresh(SocketPath());
    ASSERT_TRUE(fresh.Send("CreateInstance", R"({"progid":"VSKManager.Veskar"})"));
    auto reply = fresh.Receive(5000);
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->Find("result")) << reply->Dump();
}

// Every connection costs a descriptor: a server started under a low soft limit raises it to
// the hard one.
TEST_F(HardeningE2e, TheServerRaisesItsDescriptorLimitToTheHardOne) {
    rlimit own{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &own), 0);
    if (own.rlim_max != RLIM_INFINITY && own.rlim_max <= 64)
        GTEST_SKIP() << "the hard limit leaves nothing to raise";
    m_server =
        SpawnLogged({"/bin/sh", "-c", "ulimit -S -n 48 && exec " VSK_SERVER_PATH " --headless"},
                    m_dir + "/server.out");
    ASSERT_GT(m_server, 0);
    ASSERT_TRUE(Eventually(
        [&] {
            return std::filesystem::exists(m_runtime + "/vskmanager/" +
                                           GuidToString(typelib::CLSID_Veskar));
        },
        5000));
    std::istringstream limits(ReadAll("/proc/" + std::to_string(m_server) + "/limits"));
    std::string line, soft, hard;
    while (std::getline(limits, line)) {
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream(line.substr(14)) >> soft >> hard;
        }
    }
    ASSERT_FALSE(hard.empty());
    EXPECT_EQ(soft, hard);
    EXPECT_NE(soft, "48");
}

}  // namespace
}  // namespace vske2e
