#include <gtest/gtest.h>

#include <sys/eventfd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "automation/client.h"
#include "automation/runtime_paths.h"
#include "tests/automation/recording_veskar.h"
#include "tests/automation/test_support.h"

namespace vsk {
namespace {

using test::RecordingVeskar;

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
}

}  // namespace
}  // namespace vsk
