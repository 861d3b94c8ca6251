// VSKManager.Application from a script's point of view: created by ProgID (each creation starts a
// server process of its own), called by name with plain results, and ending its server when it
// is released. The register is the emulator program; the servers are started by activation.
#include <filesystem>
#include <set>

#include "server/registration.h"
#include "tests/e2e/server_support.h"

namespace vske2e {
namespace {

class ManagerE2e : public ServerE2e {
protected:
    void SetUp() override {
        ServerE2e::SetUp();
        RegistryStore reg;
        ASSERT_TRUE(RegisterServer(reg, VSK_SERVER_PATH));
        StartRegister(m_emulator, m_dir, kPort);
    }
    void TearDown() override {
        for (CRemoteObject*& proxy : m_proxies)
            if (proxy)
                proxy->Release();
        // The servers end with their objects; one that does not is a failure, and goes.
        for (pid_t pid : Servers()) {
            EXPECT_TRUE(Eventually([&] { return !vsktest::Running(pid); }, 5000))
                << "server " << pid;
            kill(pid, SIGKILL);
        }
        m_emulator.Stop();
        ServerE2e::TearDown();
    }

    // A new proxy, as a script creates one: by ProgID, the platform starting its server.
    CRemoteObject* CreateProxy() {
        IDispatch* obj = nullptr;
        EXPECT_EQ(CreateInstance(typelib::kManagerProgId, &obj), S_OK) << ActivationError();
        m_proxies.push_back(static_cast<CRemoteObject*>(obj));
        return m_proxies.back();
    }
    void ReleaseProxy(CRemoteObject* proxy) {
        for (CRemoteObject*& p : m_proxies)
            if (p == proxy)
                p = nullptr;
        proxy->Release();
    }

    // The server processes of the runtime folder, by their sockets.
    std::set<pid_t> Servers() {
        std::set<pid_t> pids;
        std::error_code ec;
        for (const auto& entry :
             std::filesystem::directory_iterator(m_runtime + "/vskmanager", ec)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("server-", 0) == 0)
                pids.insert(pid_t(std::atoi(name.c_str() + 7)));
        }
        return pids;
    }

    static VARIANT Call(CRemoteObject* obj, const char* name, std::vector<VARIANT> args = {},
                        InvokeKind kind = InvokeKind::Method) {
        VARIANT result;
        std::string message;
        EXPECT_EQ(obj->InvokeByName(name, kind, args, &result, &message), S_OK)
            << name << ": " << message;
        return result;
    }
    static LONG Long(const VARIANT& v) { return v.vt() == VT_I4 ? v.lVal() : INT32_MIN; }
    static std::string Text(const VARIANT& v) {
        return v.vt() == VT_BSTR ? Cp1251ToUtf8(Utf16ToCp1251(v.bstrVal())) : "<not a text>";
    }

    std::vector<CRemoteObject*> m_proxies;
};

TEST_F(ManagerE2e, ReceiptByNameWithPlainResults) {
    CRemoteObject* proxy = CreateProxy();
    ASSERT_TRUE(proxy);
    // Unbound: plain failure values, no status a script would have to check.
    EXPECT_EQ(Long(Call(proxy, "GetPrinterKeyPosition")), -1);
    EXPECT_EQ(Long(Call(proxy, "XReport")), 0);

    ASSERT_EQ(Long(Call(proxy, "Init",
                        {VARIANT::FromLong(kPort), VARIANT::FromBstr(u"Anna"),
                         VARIANT::FromBstr(u"0000000000"), VARIANT::FromLong(0),
                         VARIANT::FromBstr(u"script")})),
              1);
    ASSERT_EQ(Long(Call(proxy, "OpenCheck", {VARIANT::FromBstr(u"1")})), 1);
    const std::pair<const char16_t*, LONG> lines[] = {{u"Хліб", 1205}, {u"Молоко", 3490}};
    LONG expected = 0, article = 7;
    for (auto [name, price] : lines) {
        ++article;
        EXPECT_EQ(Long(Call(proxy, "FiscalLineEx",
                            {VARIANT::FromBstr(name), VARIANT::FromLong(1),
                             VARIANT::FromLong(price), VARIANT::FromLong(0), VARIANT::FromLong(1),
                             VARIANT::FromLong(0), VARIANT::FromLong(article), VARIANT::FromLong(0),
                             VARIANT::FromBstr(u""), VARIANT::FromLong(0)})),
                  price);
        expected += price;
    }
    EXPECT_EQ(Long(Call(proxy, "CheckSumm", {}, InvokeKind::PropertyGet)), expected);
    EXPECT_EQ(m_emulator.State()["sale"], std::to_string(expected));
    const LONG closing = Long(Call(proxy, "CloseCheckEx",
                                   {VARIANT::FromLong(5000), VARIANT::FromLong(0),
                                    VARIANT::FromLong(0), VARIANT::FromLong(0)}));
    EXPECT_GT(closing, 0);
    auto state = m_emulator.State();
    EXPECT_EQ(state["receipt"], "closed");
    EXPECT_EQ(state["day_total"], std::to_string(expected));
    EXPECT_EQ(state["cash_sales"], std::to_string(expected));
    EXPECT_EQ(Text(Call(proxy, "GetCheckResult")), state["closing"]);

    // A refusal is a plain 0; its reason is in the properties.
    Call(proxy, "ShowErrorMessages", {VARIANT::FromLong(0)}, InvokeKind::PropertyPut);
    EXPECT_EQ(Long(Call(proxy, "CloseCheck")), 0);  // no receipt open
    EXPECT_EQ(Long(Call(proxy, "Done")), 1);
    EXPECT_EQ(Long(Call(proxy, "Done")), 0);
}

// Single use: each proxy is a server process of its own, which serves no Veskar object: the
// proxy's Veskar object lives in the user's one server, started for it by activation. Each
// proxy's server ends with its proxy; the user's server ends with its last object.
TEST_F(ManagerE2e, EachProxyHasAServerOfItsOwn) {
    CRemoteObject* first = CreateProxy();
    ASSERT_TRUE(first);
    const std::set<pid_t> one = Servers();
    ASSERT_EQ(one.size(), 1u);
    const pid_t firstServer = *one.begin();
    ASSERT_EQ(Long(Call(first, "Init",
                        {VARIANT::FromLong(kPort), VARIANT::FromBstr(u"Anna"),
                         VARIANT::FromBstr(u"0000000000"), VARIANT::FromLong(0),
                         VARIANT::FromBstr(u"first")})),
              1);
    std::set<pid_t> withVeskar = Servers();
    ASSERT_EQ(withVeskar.size(), 2u) << "the proxy's Veskar object is not in a server of its own";
    withVeskar.erase(firstServer);
    const pid_t userServer = *withVeskar.begin();

    CRemoteObject* second = CreateProxy();
    ASSERT_TRUE(second);
    std::set<pid_t> three = Servers();
    ASSERT_EQ(three.size(), 3u) << "the second proxy shares a server";
    three.erase(firstServer);
    three.erase(userServer);
    const pid_t secondServer = *three.begin();
    EXPECT_TRUE(vsktest::Running(firstServer) && vsktest::Running(secondServer) &&
                vsktest::Running(userServer));
    EXPECT_EQ(Long(Call(second, "GetPortNumber")), 0);  // a proxy of its own, unconnected

    ReleaseProxy(second);
    EXPECT_TRUE(Eventually([&] { return !vsktest::Running(secondServer); }, 5000))
        << "the server outlived its proxy";
    EXPECT_TRUE(vsktest::Running(firstServer));
    EXPECT_EQ(Long(Call(first, "GetPortNumber")), kPort);

    // Released while connected: the proxy's Veskar object goes with it, and with it the last
    // object of the user's server.
    ReleaseProxy(first);
    EXPECT_TRUE(Eventually([&] { return !vsktest::Running(firstServer); }, 5000))
        << "the server outlived its proxy";
    EXPECT_TRUE(Eventually([&] { return !vsktest::Running(userServer); }, 5000))
        << "the proxy's Veskar object kept the user's server alive";
    EXPECT_TRUE(Servers().empty());
}

}  // namespace
}  // namespace vske2e
