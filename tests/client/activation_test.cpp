// The server process and its activation: started by a client through LocalServer32 with
// -Embedding and ended by the last release, started by the operator and ended by SIGTERM, and
// the registration switches.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "client/client.h"
#include "rpc/runtime_paths.h"
#include "rpc/type_library.h"
#include "server/registration.h"
#include "tests/child_process.h"
#include "tests/rpc/test_support.h"

namespace vsk {
namespace {

using namespace std::chrono_literals;

template <class F>
bool WaitFor(F condition, std::chrono::milliseconds limit = 5000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The server program with `args`; it dies with this test.
pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<std::string> all = {VSKMANAGER_PATH};
    all.insert(all.end(), args.begin(), args.end());
    return vsktest::SpawnWithFds(std::move(all), {-1, -1, -1});
}

// The exit status (128 + the signal for a killed one); -1 when it had to be killed after 20 s.
int ExitStatus(pid_t pid) {
    const std::optional<int> status = vsktest::WaitChild(pid, 20s);
    if (!status)
        return -1;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

class Activation : public ::testing::Test {
protected:
    std::string ClassFile() const { return ClassFilePath(env.RuntimeDir(), typelib::CLSID_Veskar); }
    pid_t ServerPid() const {
        std::ifstream in(ClassFile());
        std::string socket;
        std::getline(in, socket);
        size_t at = socket.rfind("/server-");
        return at == std::string::npos ? -1 : std::atoi(socket.c_str() + at + 8);
    }

    test::TempEnv env;
    RegistryStore reg;
};

TEST_F(Activation, ClientStartsTheServerAndItsLastReleaseEndsIt) {
    ASSERT_TRUE(RegisterServer(reg, VSKMANAGER_PATH));
    IDispatch* obj = nullptr;
    ASSERT_EQ(CreateInstance("VSKManager.Veskar", &obj), S_OK);
    pid_t pid = ServerPid();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(vsktest::Running(pid));
    IDispatch* second = nullptr;
    ASSERT_EQ(CreateInstance("VSKManager.Veskar.1", &second), S_OK);
    EXPECT_EQ(ServerPid(), pid) << "one server serves every client";

    IVeskar* veskar = nullptr;
    ASSERT_EQ(QueryVeskar(obj, &veskar), S_OK);
    obj->Release();
    LONG port = 0;
    EXPECT_EQ(veskar->GetPortNumber(&port), S_OK);
    EXPECT_EQ(port, -1);
    EXPECT_EQ(veskar->XReport(), E_FAIL);  // not bound
    veskar->Release();
    EXPECT_TRUE(vsktest::Running(pid)) << "an object is still alive";
    second->Release();
    EXPECT_TRUE(WaitFor([&] { return !vsktest::Running(pid); }))
        << "the server outlived its last object";
    EXPECT_FALSE(std::filesystem::exists(ClassFile()));
}

TEST_F(Activation, NothingToStartWhenTheClassIsNotRegistered) {
    IDispatch* obj = nullptr;
    EXPECT_EQ(CreateInstance("VSKManager.Veskar", &obj), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CreateInstance(GuidToString(typelib::CLSID_Veskar), &obj), REGDB_E_CLASSNOTREG);
    reg.SetValue(Hive::ClassesRoot,
                 "CLSID\\" + GuidToString(typelib::CLSID_Veskar) + "\\LocalServer32", "",
                 std::string("\"/nonexistent/vskmanager\""));
    EXPECT_EQ(CreateInstance(GuidToString(typelib::CLSID_Veskar), &obj), CO_E_SERVER_EXEC_FAILURE);
}

// A runtime folder the client does not trust is reported, not joined by a server of its own.
TEST_F(Activation, NoServerIsStartedIntoARefusedRuntimeFolder) {
    ASSERT_TRUE(RegisterServer(reg, VSKMANAGER_PATH));
    std::filesystem::create_directories(env.RuntimeDir());
    chmod(env.RuntimeDir().c_str(), 0755);
    IDispatch* obj = nullptr;
    EXPECT_EQ(CreateInstance("VSKManager.Veskar", &obj), E_ACCESSDENIED);
    EXPECT_NE(ActivationError().find("open to other users"), std::string::npos)
        << ActivationError();
    // A started server would have made the folder private and registered its class there.
    EXPECT_FALSE(WaitFor([&] { return std::filesystem::exists(ClassFile()); }, 1000ms));
    struct stat st;
    ASSERT_EQ(stat(env.RuntimeDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(Activation, OperatorStartedServerOutlivesItsClientsAndEndsOnSigterm) {
    pid_t pid = Spawn({"--headless"});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor([&] { return ServerPid() == pid; }));
    // It refreshed its own registration.
    auto server = reg.GetValue(
        Hive::ClassesRoot, "CLSID\\" + GuidToString(typelib::CLSID_Veskar) + "\\LocalServer32", "");
    ASSERT_TRUE(server);
    EXPECT_NE(std::get<std::string>(*server).find("vskmanager"), std::string::npos);

    ActivationOptions noStart;
    noStart.allowStart = false;
    IDispatch* obj = nullptr;
    ASSERT_EQ(CreateInstance("VSKManager.Veskar", &obj, noStart), S_OK);
    obj->Release();
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(vsktest::Running(pid));
    ASSERT_EQ(CreateInstance("VSKManager.Veskar", &obj, noStart), S_OK);
    std::string socket = env.RuntimeDir() + "/server-" + std::to_string(pid) + ".sock";
    EXPECT_TRUE(std::filesystem::exists(socket));

    kill(pid, SIGTERM);
    EXPECT_EQ(ExitStatus(pid), 0);
    EXPECT_FALSE(std::filesystem::exists(ClassFile()));
    EXPECT_FALSE(std::filesystem::exists(socket));
    // The client sees the server gone, not a hang.
    VARIANT result;
    EXPECT_EQ(
        static_cast<CRemoteObject*>(obj)->InvokeByName("Done", InvokeKind::Method, {}, &result),
        RPC_E_DISCONNECTED);
    obj->Release();
}

TEST_F(Activation, RegistrationSwitchesRegisterAndUnregisterThenEnd) {
    const std::string clsidKey = "CLSID\\" + GuidToString(typelib::CLSID_Veskar);
    EXPECT_EQ(ExitStatus(Spawn({"/Regserver"})), 0);
    auto server = reg.GetValue(Hive::ClassesRoot, clsidKey + "\\LocalServer32", "");
    ASSERT_TRUE(server);
    EXPECT_EQ(std::get<std::string>(*server),
              "\"" + std::filesystem::canonical(VSKMANAGER_PATH).string() + "\"");
    EXPECT_TRUE(reg.KeyExists(Hive::ClassesRoot, "VSKManager.Application"));
    EXPECT_FALSE(std::filesystem::exists(ClassFile())) << "no server was left running";

    EXPECT_EQ(ExitStatus(Spawn({"-unregserver"})), 0);
    EXPECT_FALSE(reg.KeyExists(Hive::ClassesRoot, clsidKey));
    EXPECT_TRUE(reg.KeyExists(Hive::ClassesRoot, "AppID"));

    EXPECT_EQ(ExitStatus(Spawn({"--set-port", "4", "/dev/ttyUSB1"})), 0);
    EXPECT_EQ(ListPortMappings(reg), (std::map<int, std::string>{{4, "/dev/ttyUSB1"}}));
    EXPECT_EQ(ExitStatus(Spawn({"--set-port", "x"})), 2);
}

}  // namespace
}  // namespace vsk
