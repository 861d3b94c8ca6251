// The VSKManager.Application proxy: its result rules against a recording Veskar object, its
// messages, and the real thing in process: a server loop serving both classes, the proxy
// reaching its Veskar object through the platform and the emulated register behind that.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "client/client.h"
#include "emulator/pty_register.h"
#include "emulator/register.h"
#include "engine/vsk_core.h"
#include "link/settings.h"
#include "platform/clock.h"
#include "rpc/module.h"
#include "rpc/rpc_server.h"
#include "rpc/runtime_paths.h"
#include "server/client_object.h"
#include "server/manager_proxy.h"
#include "server/port_registry.h"
#include "server/registration.h"
#include "tests/rpc/recording_veskar.h"
#include "tests/rpc/test_support.h"

namespace vsk {
namespace {

using namespace std::chrono_literals;

template <class F>
bool WaitFor(F condition, int limitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The operator seam as a list of the message boxes asked for.
class RecordingUi : public HeadlessOperatorUi {
public:
    RecordingUi() : HeadlessOperatorUi(true) {}
    MsgResult MessageBox(std::string_view text, MsgIcon icon, MsgButtons buttons) override {
        std::lock_guard lock(m_mutex);
        m_boxes.emplace_back(text);
        m_icons.push_back(icon);
        return HeadlessOperatorUi::MessageBox(text, icon, buttons);
    }
    std::vector<std::string> Boxes() {
        std::lock_guard lock(m_mutex);
        return m_boxes;
    }
    std::vector<MsgIcon> Icons() {
        std::lock_guard lock(m_mutex);
        return m_icons;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_boxes;
    std::vector<MsgIcon> m_icons;
};

// An object that is no Veskar object.
class NotAVeskar final : public IDispatch {
public:
    HRESULT QueryInterface(const IID& riid, void** ppv) override {
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch)
            return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override {
        ULONG left = --refs;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT GetTypeInfoCount(unsigned*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(unsigned, const ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const std::u16string&, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, InvokeKind, const VARIANT*, unsigned, VARIANT*) override {
        return E_NOTIMPL;
    }
    ULONG refs = 1;
};

// ---- the rules, against a recording Veskar object ----------------------------------------

class ProxyRulesTest : public ::testing::Test {
protected:
    void SetUp() override {
        CVSKManagerDlgAutoProxy::Links links;
        links.connector.createLocal = [this](IDispatch** pp) { return Create(pp); };
        links.connector.createRemote = [this](const std::string& host, IDispatch** pp) {
            remoteHosts.push_back(host);
            return Create(pp);
        };
        links.ui = &ui;
        locksBefore = TheModule().LockCount();
        ASSERT_EQ(CVSKManagerDlgAutoProxy::CreateInstance(std::move(links), &proxy), S_OK);
        EXPECT_EQ(TheModule().LockCount(), locksBefore + 1);
    }
    void TearDown() override {
        if (proxy)
            proxy->Release();
        EXPECT_EQ(TheModule().LockCount(), locksBefore);
        EXPECT_EQ(destroyed, createdObjects) << "a Veskar object was leaked";
    }

    HRESULT Create(IDispatch** pp) {
        if (FAILED(createResult))
            return createResult;
        if (handOutStranger) {
            *pp = new NotAVeskar;
            return S_OK;
        }
        auto* v = new test::RecordingVeskar;
        v->log = &log;
        v->destroyed = &destroyed;
        v->nextResult = initResult;  // what the next call, Init, answers
        veskar = v;
        ++createdObjects;
        *pp = v;
        return S_OK;
    }

    // Late binding, as a script does it: the name first, then the call.
    VARIANT Call(const char* name, std::vector<VARIANT> args = {},
                 InvokeKind kind = InvokeKind::Method) {
        DISPID id = 0;
        std::u16string wide(name, name + std::strlen(name));
        EXPECT_EQ(proxy->GetIDsOfNames(wide, &id), S_OK) << name;
        VARIANT result;
        EXPECT_EQ(proxy->Invoke(id, kind, args.data(), unsigned(args.size()), &result), S_OK)
            << name;
        return result;
    }
    VARIANT Init(LONG port = 3) {
        return Call("Init", {VARIANT::FromLong(port), VARIANT::FromBstr(u"Anna"),
                             VARIANT::FromBstr(u"0000000000"), VARIANT::FromLong(0),
                             VARIANT::FromBstr(u"script")});
    }
    VARIANT InitEx(LONG showStatus, const std::u16string& host) {
        return Call("InitEx", {VARIANT::FromLong(3), VARIANT::FromBstr(u"Anna"),
                               VARIANT::FromBstr(u"0000000000"), VARIANT::FromLong(showStatus),
                               VARIANT::FromBstr(u"script"), VARIANT::FromBstr(host)});
    }
    std::vector<std::string> Calls() {
        std::lock_guard lock(log.mutex);
        return log.calls;
    }
    void ClearCalls() {
        std::lock_guard lock(log.mutex);
        log.calls.clear();
        log.args.clear();
    }
    std::vector<VARIANT> LastArgs() {
        std::lock_guard lock(log.mutex);
        return log.args.empty() ? std::vector<VARIANT>() : log.args.back();
    }

    static std::vector<VARIANT> SampleArgs(const MemberDesc& m) {
        std::vector<VARIANT> args;
        for (int i = 0; i < m.InputCount(); ++i)
            args.push_back(test::SampleArg(m.params[i].type, i));
        return args;
    }

    RecordingUi ui;
    test::RecordingVeskar::Log log;
    test::RecordingVeskar* veskar = nullptr;  // the last one created
    IDispatch* proxy = nullptr;
    HRESULT createResult = S_OK;
    HRESULT initResult = S_OK;
    bool handOutStranger = false;
    int createdObjects = 0;
    int destroyed = 0;
    long locksBefore = 0;
    std::vector<std::string> remoteHosts;
};

// What a member gives without a connection: 0, -1 or an empty text, "HIDDEN" for a password.
VARIANT Unconnected(const MemberDesc& m) {
    const std::string name = m.name;
    if (name.find("ModePassword") != std::string::npos)
        return VARIANT::FromBstr(u"HIDDEN");
    if (m.result == VarType::Bstr)
        return VARIANT::FromBstr(u"");
    return VARIANT::FromLong(name == "GetPrinterKeyPosition" ? -1 : 0);
}

// Before Init and again after Done: every member gives its failure value and nothing reaches
// any Veskar object (a released one included).
// Without a window a message box is a log line: its priority from the icon, the time, and the
// port when the engine names one; a watcher of MessageBox still sees the engine's boxes.
TEST(HeadlessOperatorUiTest, BoxesAreLogLinesWithTheirPort) {
    RecordingUi watcher;
    EXPECT_EQ(watcher.PortMessageBox("COM3", "refused", MsgIcon::Stop, MsgButtons::RetryCancel),
              MsgResult::Cancel);
    EXPECT_EQ(watcher.Boxes(), std::vector<std::string>{"refused"});

    HeadlessOperatorUi ui;
    testing::internal::CaptureStderr();
    ui.PortMessageBox("COM3", "no paper", MsgIcon::Stop, MsgButtons::Ok);
    ui.MessageBox("info", MsgIcon::Information, MsgButtons::Ok);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string stamp = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ";
    EXPECT_TRUE(
        std::regex_match(err, std::regex("<3>" + stamp + "COM3: no paper\n<6>" + stamp + "info\n")))
        << err;
}

TEST_F(ProxyRulesTest, UnconnectedMembersGiveTheirFailureValueAndCallNothing) {
    auto sweep = [&](const char* when) {
        for (const MemberDesc& m : typelib::kManagerMembers) {
            const std::string name = m.name;
            if (name == "Init" || name == "InitEx")
                continue;
            if (m.kind == MemberKind::Property) {
                EXPECT_EQ(Call(m.name, {}, InvokeKind::PropertyGet), Unconnected(m))
                    << when << " " << name;
                Call(m.name, {test::SampleArg(m.result, 0)}, InvokeKind::PropertyPut);
            } else {
                EXPECT_EQ(Call(m.name, SampleArgs(m)), Unconnected(m)) << when << " " << name;
            }
        }
    };
    sweep("before Init");
    EXPECT_EQ(createdObjects, 0);

    ASSERT_EQ(Init(), VARIANT::FromLong(1));
    EXPECT_EQ(Call("Done"), VARIANT::FromLong(1));
    EXPECT_EQ(destroyed, 1);
    ClearCalls();
    sweep("after Done");
    EXPECT_TRUE(Calls().empty()) << Calls().front();
}

// Each member reaches its IVeskar method with the script's arguments, and its result follows
// the member's rule: a failing call never shows its out value.
TEST_F(ProxyRulesTest, ForwardedMembersFollowTheirRule) {
    ASSERT_EQ(Init(), VARIANT::FromLong(1));
    const std::map<std::string, std::string> renamed = {
        {"SetOnSaleTaxes", "SetOnSaleTaxesPrintMode"}};
    const LONG kOut = test::RecordingVeskar::kLongOut;
    const BSTR& kText = test::RecordingVeskar::kTextOut;
    for (const MemberDesc& m : typelib::kManagerMembers) {
        const std::string name = m.name;
        if (m.kind != MemberKind::Method || name == "Init" || name == "InitEx" || name == "Done" ||
            name == "LowGetNextPendingPrinterMessage")
            continue;
        const bool keyed = name == "GetPrinterKeyPosition";
        const bool valued = keyed || name == "GetPortNumber" || name.rfind("FiscalLine", 0) == 0 ||
                            name.rfind("CloseCheck", 0) == 0;
        const std::vector<VARIANT> args = SampleArgs(m);
        for (HRESULT answer : {S_OK, E_FAIL}) {
            veskar->nextResult = answer;
            ClearCalls();
            VARIANT result = Call(m.name, args);
            auto it = renamed.find(name);
            ASSERT_EQ(Calls().size(), 1u) << name;
            EXPECT_EQ(Calls()[0], it == renamed.end() ? name : it->second);
            EXPECT_EQ(LastArgs(), args) << name;
            VARIANT expected;
            if (m.result == VarType::Bstr)
                expected = VARIANT::FromBstr(answer == S_OK ? kText : u"");
            else if (valued)
                expected = VARIANT::FromLong(answer == S_OK ? kOut : keyed ? -1 : 0);
            else
                expected = VARIANT::FromLong(answer == S_OK ? 1 : 0);
            EXPECT_EQ(result, expected) << name << (answer == S_OK ? " succeeding" : " failing");
        }
    }
}

TEST_F(ProxyRulesTest, PendingMessagesAreAlwaysAwaitedForThreeSeconds) {
    ASSERT_EQ(Init(), VARIANT::FromLong(1));
    for (LONG asked : {100, 0, 60000}) {
        ClearCalls();
        EXPECT_EQ(Call("LowGetNextPendingPrinterMessage", {VARIANT::FromLong(asked)}),
                  VARIANT::FromBstr(test::RecordingVeskar::kTextOut));
        ASSERT_EQ(Calls(), std::vector<std::string>{"LowGetNextPendingPrinterMessage"});
        EXPECT_EQ(LastArgs(), std::vector<VARIANT>{VARIANT::FromLong(3000)});
    }
}

// Properties keep nothing: passwords read "HIDDEN", the switches read 0, whatever was written;
// a write reaches the register only where a setter exists.
TEST_F(ProxyRulesTest, PropertiesAreComputedEachTime) {
    ASSERT_EQ(Init(), VARIANT::FromLong(1));
    const std::pair<const char*, const char*> passwords[] = {
        {"RegistrationModePassword", "SetRegistrationModePassword"},
        {"ReportModePassword", "SetReportsModePassword"},
        {"ProgrammingModePassword", "SetProgrammingModePassword"}};
    for (auto [property, setter] : passwords) {
        ClearCalls();
        Call(property, {VARIANT::FromBstr(u"1234")}, InvokeKind::PropertyPut);
        EXPECT_EQ(Calls(), std::vector<std::string>{setter});
        EXPECT_EQ(LastArgs(), std::vector<VARIANT>{VARIANT::FromBstr(u"1234")});
        EXPECT_EQ(Call(property, {}, InvokeKind::PropertyGet), VARIANT::FromBstr(u"HIDDEN"));
    }
    const std::pair<const char*, const char*> switches[] = {
        {"ShowStatusDialogs", "SetShowPrinterStatus"},
        {"ShowErrorMessages", "SetShowErrorMessages"}};
    for (auto [property, setter] : switches) {
        ClearCalls();
        Call(property, {VARIANT::FromLong(1)}, InvokeKind::PropertyPut);
        EXPECT_EQ(Calls(), std::vector<std::string>{setter});
        EXPECT_EQ(LastArgs(), std::vector<VARIANT>{VARIANT::FromLong(1)});
        EXPECT_EQ(Call(property, {}, InvokeKind::PropertyGet), VARIANT::FromLong(0));
    }
    // Read-only: a write calls nothing, the next read asks the object again.
    const std::pair<const char*, const char*> readOnly[] = {
        {"CheckSumm", "GetCheckSum"},
        {"CheckOnSaleTaxes", "GetCheckOnSaleTaxes"},
        {"CheckReturnSumm", "GetCheckReturnSum"},
        {"CheckReturnOnSaleTaxes", "GetCheckReturnOnSaleTaxes"},
        {"LastErrorMessage", "GetLastErrorMessage"},
        {"LastErrorCode", "GetLastErrorCode"},
        {"LastLineTaxes", "GetLastLineTaxes"}};
    for (auto [property, getter] : readOnly) {
        const MemberDesc* m = typelib::ManagerTypeInfo().FindByName(property);
        ClearCalls();
        Call(property, {test::SampleArg(m->result, 0)}, InvokeKind::PropertyPut);
        EXPECT_TRUE(Calls().empty()) << property;
        VARIANT value = Call(property, {}, InvokeKind::PropertyGet);
        EXPECT_EQ(Calls(), std::vector<std::string>{getter});
        EXPECT_EQ(value, m->result == VarType::Bstr
                             ? VARIANT::FromBstr(test::RecordingVeskar::kTextOut)
                             : VARIANT::FromLong(test::RecordingVeskar::kLongOut))
            << property;
    }
}

TEST_F(ProxyRulesTest, FailedInitLeavesTheProxyUnconnected) {
    createResult = REGDB_E_CLASSNOTREG;
    EXPECT_EQ(Init(), VARIANT::FromLong(0));
    createResult = S_OK;
    handOutStranger = true;
    EXPECT_EQ(Init(), VARIANT::FromLong(0));
    handOutStranger = false;

    initResult = E_FAIL;
    EXPECT_EQ(Init(), VARIANT::FromLong(0));
    EXPECT_EQ(Calls(), std::vector<std::string>{"Init"});
    EXPECT_EQ(destroyed, 1) << "the object whose Init failed is released";
    ClearCalls();
    EXPECT_EQ(Call("XReport"), VARIANT::FromLong(0));
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(Call("Done"), VARIANT::FromLong(0));
    EXPECT_TRUE(ui.Boxes().empty()) << "Init shows nothing";
}

// Done releases the object instead of calling its Done; a second Init drops the first object.
TEST_F(ProxyRulesTest, DoneReleasesTheConnectedObject) {
    ASSERT_EQ(Init(), VARIANT::FromLong(1));
    ASSERT_EQ(Init(4), VARIANT::FromLong(1));
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(Call("GetPortNumber"), VARIANT::FromLong(test::RecordingVeskar::kLongOut));
    EXPECT_EQ(Call("Done"), VARIANT::FromLong(1));
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(Call("Done"), VARIANT::FromLong(0));
    for (const std::string& call : Calls())
        EXPECT_NE(call, "Done");
}

// Destroying a connected proxy releases its object.
TEST_F(ProxyRulesTest, ReleasingTheProxyReleasesItsObject) {
    ASSERT_EQ(Init(), VARIANT::FromLong(1));
    proxy->Release();
    proxy = nullptr;
    EXPECT_EQ(destroyed, 1);
}

TEST_F(ProxyRulesTest, InitExTellsWhatFailedOnlyWhenAsked) {
    for (LONG show : {0, 1}) {
        SCOPED_TRACE(show);
        const size_t before = ui.Boxes().size();
        auto shown = [&] {
            auto all = ui.Boxes();
            return std::vector<std::string>(all.begin() + long(before), all.end());
        };

        createResult = RPC_E_DISCONNECTED;
        EXPECT_EQ(InitEx(show, u"till-2"), VARIANT::FromLong(0));
        createResult = S_OK;
        handOutStranger = true;
        EXPECT_EQ(InitEx(show, u"till-2"), VARIANT::FromLong(0));
        handOutStranger = false;
        initResult = E_FAIL;
        EXPECT_EQ(InitEx(show, u"till-2"), VARIANT::FromLong(0));
        initResult = E_NOINTERFACE;  // the platform's, not the object's
        EXPECT_EQ(InitEx(show, u"till-2"), VARIANT::FromLong(0));
        initResult = RPC_E_DISCONNECTED;
        EXPECT_EQ(InitEx(show, u"till-2"), VARIANT::FromLong(0));
        initResult = S_OK;

        if (show) {
            EXPECT_EQ(shown(),
                      (std::vector<std::string>{
                          "CoCreateInstanceEx failed: 80010108\n",
                          "Error connecting to VSKManager server: 0\n", "m_iVeskar->Init failed",
                          "[ERROR] COM error while accessing the VSKManager server: "
                          "E_NOINTERFACE\n",
                          "[ERROR] COM error while accessing the VSKManager server: "
                          "80010108\n"}));
            for (MsgIcon icon : ui.Icons())
                EXPECT_EQ(icon, MsgIcon::Stop);
        } else {
            EXPECT_TRUE(shown().empty());
        }
        EXPECT_EQ(destroyed, createdObjects) << "every failed connection is released";
    }
    EXPECT_EQ(remoteHosts.size(), 10u);
    EXPECT_EQ(remoteHosts[0], "till-2");

    // No computer named: created here, as Init does.
    ASSERT_EQ(InitEx(1, u""), VARIANT::FromLong(1));
    EXPECT_EQ(remoteHosts.size(), 10u);
    EXPECT_EQ(Call("Done"), VARIANT::FromLong(1));
}

// The platform's own remote creation: a computer that does not answer gives the creation's
// status, and only when asked for.
TEST(ProxyPlatformTest, InitExToAnUnreachableHost) {
    test::TempEnv env;
    std::string error;
    ASSERT_TRUE(LoadOrCreateTokenFile(DefaultTokenFile(), &error)) << error;
    // A port nobody listens on: the connection is refused at once.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string host = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    const std::u16string wideHost(host.begin(), host.end());

    RecordingUi ui;
    CVSKManagerDlgAutoProxy::Links links;
    links.ui = &ui;
    IDispatch* proxy = nullptr;
    ASSERT_EQ(CVSKManagerDlgAutoProxy::CreateInstance(std::move(links), &proxy), S_OK);
    for (LONG show : {0, 1}) {
        std::vector<VARIANT> args = {VARIANT::FromLong(3),         VARIANT::FromBstr(u"Anna"),
                                     VARIANT::FromBstr(u"0000"),   VARIANT::FromLong(show),
                                     VARIANT::FromBstr(u"script"), VARIANT::FromBstr(wideHost)};
        VARIANT result;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(
            proxy->Invoke(65, InvokeKind::Method, args.data(), unsigned(args.size()), &result),
            S_OK);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
        EXPECT_EQ(result, VARIANT::FromLong(0));
        EXPECT_EQ(ui.Boxes().size(), size_t(show));
    }
    EXPECT_EQ(ui.Boxes(), std::vector<std::string>{"CoCreateInstanceEx failed: 80010108\n"});
    proxy->Release();
    close(probe);
}

// ---- in process: the server loop, both classes, the emulated register --------------------

constexpr const char16_t* kPassword = u"0000000000";

class ProxyServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(pty.Open(error)) << error;
        ASSERT_TRUE(pty.Start(error)) << error;
        RegistryStore reg;
        ASSERT_TRUE(SetPortMapping(reg, 3, pty.SlavePath()));
        ASSERT_TRUE(WriteConfigInt(kCurrentConfig, kSaveToLog, 1));

        ASSERT_TRUE(server.ListenLocal(&error)) << error;
        ClassFactory veskar;
        veskar.clsid = typelib::CLSID_Veskar;
        veskar.create = [this](IDispatch** pp) { return CVeskar::CreateInstance(ports, pp); };
        ASSERT_TRUE(server.RegisterClassObject(veskar, &error)) << error;
        ClassFactory manager;
        manager.clsid = typelib::CLSID_VSKManager;
        manager.progIds = {typelib::kManagerProgId};
        manager.singleUse = true;
        manager.create = [this](IDispatch** pp) {
            CVSKManagerDlgAutoProxy::Links links;
            links.ui = &ui;
            return CVSKManagerDlgAutoProxy::CreateInstance(std::move(links), pp);
        };
        ASSERT_TRUE(server.RegisterClassObject(manager, &error)) << error;
        server.SetTimer([this] { return ports.ExpireLockWaits(); });
        wake = eventfd(0, EFD_CLOEXEC);
        loop = std::thread([this] {
            while (!stop)
                server.RunOnce(-1, wake);
        });
    }
    void TearDown() override {
        stop = true;
        uint64_t one = 1;
        (void)!write(wake, &one, sizeof one);
        if (loop.joinable())
            loop.join();
        close(wake);
        pty.Stop();
    }

    // The proxy as a script on another process sees it: by ProgID, members by name.
    CRemoteObject* CreateProxy() {
        ActivationOptions local;
        local.allowStart = false;
        IDispatch* obj = nullptr;
        EXPECT_EQ(CreateInstance(typelib::kManagerProgId, &obj, local), S_OK);
        auto* proxy = static_cast<CRemoteObject*>(obj);
        if (proxy)  // a proxy that waited on this loop for its own call would never answer
            proxy->Channel()->SetTimeout(30000);
        return proxy;
    }
    // Class files name CLSIDs: the ProgID resolves through the registry.
    void RegisterClasses() { ASSERT_TRUE(RegisterServer(reg, "/nonexistent/vskmanager")); }

    static VARIANT Call(CRemoteObject* obj, const char* name, std::vector<VARIANT> args = {},
                        InvokeKind kind = InvokeKind::Method) {
        VARIANT result;
        std::string message;
        EXPECT_EQ(obj->InvokeByName(name, kind, args, &result, &message), S_OK)
            << name << ": " << message;
        return result;
    }
    static VARIANT Init(CRemoteObject* obj) {
        return Call(obj, "Init",
                    {VARIANT::FromLong(3), VARIANT::FromBstr(u"Anna"), VARIANT::FromBstr(kPassword),
                     VARIANT::FromLong(0), VARIANT::FromBstr(u"script")});
    }
    std::string Journal() {
        std::string all;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(env.Dir() + "/state")) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            all.append(std::istreambuf_iterator<char>(in), {});
        }
        return all;
    }

    test::TempEnv env;
    RegistryStore reg;
    emu::Register emulated{*emu::FindModel("f1-7")};  // mode passwords guard the reports
    emu::PtyRegister pty{emulated};
    ScaledClock clock{0.02};
    RecordingUi ui;
    CVSKPortManager ports{[this](int32_t port, IClock& engineClock) {
                              return std::make_unique<CVSKCore>(port, &engineClock, &ui);
                          },
                          &clock};
    CRpcServer server{env.RuntimeDir()};
    int wake = -1;
    std::atomic<bool> stop{false};
    std::thread loop;
};

// The proxy's calls to its Veskar object come back to this very loop: they must not wait on
// it. A receipt by name, then the proxy released: its object goes with it.
TEST_F(ProxyServerTest, ReceiptThroughTheProxyOfThisServer) {
    RegisterClasses();
    const long locksBefore = TheModule().LockCount();
    CRemoteObject* proxy = CreateProxy();
    ASSERT_TRUE(proxy);
    EXPECT_FALSE(server.IsRegistered(typelib::CLSID_VSKManager)) << "single use";

    ASSERT_EQ(Init(proxy), VARIANT::FromLong(1));
    EXPECT_EQ(ports.PortCount(), 1u);
    EXPECT_EQ(Call(proxy, "OpenCheck", {VARIANT::FromBstr(u"1")}), VARIANT::FromLong(1));
    EXPECT_EQ(Call(proxy, "FiscalLineEx",
                   {VARIANT::FromBstr(u"Хліб"), VARIANT::FromLong(2000), VARIANT::FromLong(1205),
                    VARIANT::FromLong(1), VARIANT::FromLong(1), VARIANT::FromLong(0),
                    VARIANT::FromLong(1), VARIANT::FromLong(0), VARIANT::FromBstr(u""),
                    VARIANT::FromLong(0)}),
              VARIANT::FromLong(2410));
    EXPECT_EQ(Call(proxy, "CheckSumm", {}, InvokeKind::PropertyGet), VARIANT::FromLong(2410));
    VARIANT closed = Call(proxy, "CloseCheckEx",
                          {VARIANT::FromLong(3000), VARIANT::FromLong(0), VARIANT::FromLong(0),
                           VARIANT::FromLong(0)});
    ASSERT_EQ(closed.vt(), VT_I4);
    EXPECT_GT(closed.lVal(), 0);
    EXPECT_EQ(pty.WithRegister([](emu::Register& r) { return r.cash().sales; }), 2410);
    const VARIANT key = Call(proxy, "GetPrinterKeyPosition");
    ASSERT_EQ(key.vt(), VT_I4);
    EXPECT_GE(key.lVal(), 0);

    const auto start = std::chrono::steady_clock::now();
    proxy->Release();
    EXPECT_TRUE(WaitFor([&] { return ports.PortCount() == 0; }, 5000))
        << "the proxy's Veskar object outlived it";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(WaitFor([&] { return TheModule().LockCount() == locksBefore; }, 5000));
}

// A mode password written through the proxy is the one the register is switched with; the
// journal shows it masked, and reading the property never gives it away.
TEST_F(ProxyServerTest, PasswordWritesReachTheRegister) {
    RegisterClasses();
    CRemoteObject* proxy = CreateProxy();
    ASSERT_TRUE(proxy);
    ASSERT_EQ(Init(proxy), VARIANT::FromLong(1));
    Call(proxy, "ShowErrorMessages", {VARIANT::FromLong(0)}, InvokeKind::PropertyPut);

    Call(proxy, "ReportModePassword", {VARIANT::FromBstr(u"1111")}, InvokeKind::PropertyPut);
    EXPECT_EQ(Call(proxy, "XReport"), VARIANT::FromLong(0));
    const VARIANT code = Call(proxy, "LastErrorCode", {}, InvokeKind::PropertyGet);
    ASSERT_EQ(code.vt(), VT_BSTR);
    EXPECT_NE(code.bstrVal().find(u"SOFTUPAS"), std::u16string::npos);

    Call(proxy, "ReportModePassword", {VARIANT::FromBstr(u"6419")}, InvokeKind::PropertyPut);
    EXPECT_EQ(Call(proxy, "XReport"), VARIANT::FromLong(1));
    EXPECT_EQ(Call(proxy, "ReportModePassword", {}, InvokeKind::PropertyGet),
              VARIANT::FromBstr(u"HIDDEN"));
    EXPECT_EQ(Call(proxy, "Done"), VARIANT::FromLong(1));
    EXPECT_EQ(Call(proxy, "Done"), VARIANT::FromLong(0));
    proxy->Release();
    ASSERT_TRUE(WaitFor([&] { return ports.PortCount() == 0; }, 5000));
    ports.WaitForClosings();

    const std::string journal = Journal();
    EXPECT_NE(journal.find("SVSL2****"), std::string::npos);
    EXPECT_EQ(journal.find("SVSL26419"), std::string::npos);
    EXPECT_EQ(journal.find("SVSL21111"), std::string::npos);
}

}  // namespace
}  // namespace vsk
