// CVeskar against the emulated register on a pseudo-terminal (in process), through the port
// registry, with the engines on a scaled clock.
#include <gtest/gtest.h>

#include <sys/eventfd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "client/client.h"
#include "emulator/pty_register.h"
#include "emulator/register.h"
#include "engine/vsk_core.h"
#include "link/settings.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "rpc/rpc_server.h"
#include "server/client_object.h"
#include "server/port_registry.h"
#include "server/registration.h"
#include "server/server_app.h"
#include "tests/rpc/recording_veskar.h"
#include "tests/rpc/test_support.h"

namespace vsk {
namespace {

constexpr const char16_t* kPassword = u"0000000000";  // the emulated register's default

class ClientObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(pty.Open(error)) << error;
        ASSERT_TRUE(pty.Start(error)) << error;
        RegistryStore reg;
        ASSERT_TRUE(SetPortMapping(reg, 3, pty.SlavePath()));
        ASSERT_TRUE(SetPortMapping(reg, 9, env.Dir() + "/no-such-device"));
    }
    void TearDown() override { pty.Stop(); }

    CVeskar* NewClient() { return new CVeskar(ports); }

    test::TempEnv env;
    emu::Register emulated;
    emu::PtyRegister pty{emulated};
    ScaledClock clock{0.02};
    HeadlessOperatorUi ui{true};
    CVSKPortManager ports{[this](int32_t port, IClock& engineClock) {
                              return std::make_unique<CVSKCore>(port, &engineClock, &ui);
                          },
                          &clock};
};

TEST_F(ClientObjectTest, InitChecksItsArgumentsAndBindsToThePort) {
    CVeskar* a = NewClient();
    LONG port = 0;
    EXPECT_EQ(a->GetPortNumber(&port), S_OK);
    EXPECT_EQ(port, -1);
    EXPECT_EQ(a->Init(-1, u"Anna", kPassword, 0, u"Kasa"), E_INVALIDARG);
    EXPECT_EQ(a->Init(0, u"Anna", kPassword, 0, u"Kasa"), E_INVALIDARG);
    EXPECT_EQ(a->Init(3, u"Anna", kPassword, 0, u""), E_INVALIDARG);
    EXPECT_EQ(ports.PortCount(), 0u);
    a->GetPortNumber(&port);
    EXPECT_EQ(port, -1);

    ASSERT_EQ(a->Init(3, u"Anna", kPassword, 0, u"Каса"), S_OK);
    a->GetPortNumber(&port);
    EXPECT_EQ(port, 3);
    BSTR serial;
    EXPECT_EQ(a->GetPrinterSerialNumber(&serial), S_OK);
    EXPECT_FALSE(serial.empty());

    // A second client shares the engine whatever it passes.
    CVeskar* b = NewClient();
    EXPECT_EQ(b->Init(3, u"", u"", 0, u"Склад"), S_OK);
    std::vector<CVSKPortManager::ConnectionRow> rows;
    ports.FillConnectionsList(rows);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].client, Utf16ToCp1251(u"Каса"));
    EXPECT_EQ(rows[1].client, Utf16ToCp1251(u"Склад"));

    EXPECT_EQ(a->Done(), S_OK);
    a->GetPortNumber(&port);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(ports.PortCount(), 1u);
    b->Release();  // destruction detaches like Done
    EXPECT_EQ(ports.PortCount(), 0u);
    a->Release();
}

TEST_F(ClientObjectTest, FailedFirstInitClosesThePortAgain) {
    CVeskar* a = NewClient();
    EXPECT_EQ(a->Init(9, u"Anna", kPassword, 0, u"Kasa"), E_FAIL);
    LONG port = -1;
    a->GetPortNumber(&port);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(ports.PortCount(), 0u);
    a->Release();
}

// Every method but Init, GetPortNumber and Done refuses an unbound object, and the counters and
// closing methods zero their out value.
TEST_F(ClientObjectTest, UnboundObjectRefusesEveryOtherMethod) {
    CVeskar* a = NewClient();
    for (const MemberDesc& m : typelib::kVeskarMethods) {
        std::string name = m.name;
        if (name == "Init" || name == "GetPortNumber" || name == "Done")
            continue;
        std::vector<VARIANT> args;
        for (int i = 0; i < m.InputCount(); ++i)
            args.push_back(test::SampleArg(m.params[i].type, i));
        VARIANT out = VARIANT::FromLong(77);
        EXPECT_EQ(a->Invoke(m.dispid, InvokeKind::Method, args.data(), unsigned(args.size()), &out),
                  E_FAIL)
            << name;
        bool zeroed = name == "GetCheckSum" || name == "GetCheckOnSaleTaxes" ||
                      name == "GetCheckReturnSum" || name == "GetCheckReturnOnSaleTaxes" ||
                      name == "CloseCheck" || name == "CloseCheckEx";
        if (zeroed) {
            EXPECT_EQ(out, VARIANT::FromLong(0)) << name;
        }
    }
    EXPECT_EQ(a->Done(), S_OK);
    a->Release();
}

// Every method reaches an engine operation: a renamed or reshaped operation would otherwise
// leave its method answering E_NOTIMPL.
TEST_F(ClientObjectTest, EveryMethodIsBoundToTheEngine) {
    CVeskar* a = NewClient();
    ASSERT_EQ(a->Init(3, u"Anna", kPassword, 0, u"Kasa"), S_OK);
    a->SetShowErrorMessages(0);
    for (const MemberDesc& m : typelib::kVeskarMethods) {
        std::string name = m.name;
        if (name == "Init" || name == "Done")
            continue;
        std::vector<VARIANT> args;
        for (int i = 0; i < m.InputCount(); ++i)
            args.push_back(test::SampleArg(m.params[i].type, i));
        VARIANT out;
        EXPECT_NE(a->Invoke(m.dispid, InvokeKind::Method, args.data(), unsigned(args.size()), &out),
                  E_NOTIMPL)
            << name;
    }
    a->Release();
}

TEST_F(ClientObjectTest, AdvisoryLockHasNoOwner) {
    CVeskar* a = NewClient();
    CVeskar* b = NewClient();
    ASSERT_EQ(a->Init(3, u"Anna", kPassword, 0, u"A"), S_OK);
    ASSERT_EQ(b->Init(3, u"Anna", kPassword, 0, u"B"), S_OK);
    EXPECT_EQ(a->LockPrinter(5000), S_OK);
    EXPECT_EQ(b->LockPrinter(300), CONTEXT_E_SYNCH_TIMEOUT);
    EXPECT_EQ(a->LockPrinter(100), CONTEXT_E_SYNCH_TIMEOUT);  // the holder is refused too
    EXPECT_EQ(b->UnlockPrinter(), S_OK);
    EXPECT_EQ(b->LockPrinter(100), S_OK);
    EXPECT_EQ(a->UnlockPrinter(), S_OK);
    EXPECT_EQ(a->LockPrinter(0), CONTEXT_E_SYNCH_TIMEOUT);  // 0 never obtains it
    a->Release();
    b->Release();
}

TEST_F(ClientObjectTest, SettingsAreSharedByTheClientsOfAPort) {
    CVeskar* a = NewClient();
    CVeskar* b = NewClient();
    ASSERT_EQ(a->Init(3, u"Anna", kPassword, 1, u"A"), S_OK);
    ASSERT_EQ(b->Init(3, u"Anna", kPassword, 0, u"B"), S_OK);
    bool created;
    CVSKCore* core = ports.AttachClient(3, "probe", &created)->GetCore();
    ports.ReleaseClient(3, "probe");
    EXPECT_TRUE(core->ShowStatusDialogs());  // from the first client's Init only
    EXPECT_EQ(b->SetShowErrorMessages(0), S_OK);
    EXPECT_FALSE(core->ShowErrorMessages());
    EXPECT_EQ(a->SetShowPrinterStatus(0), S_OK);
    EXPECT_FALSE(core->ShowStatusDialogs());
    a->Release();
    b->Release();
}

TEST_F(ClientObjectTest, ReceiptThroughTheClientObject) {
    CVeskar* a = NewClient();
    ASSERT_EQ(a->Init(3, u"Anna", kPassword, 0, u"Kasa"), S_OK);
    BSTR text;
    EXPECT_EQ(a->GetLastErrorCode(&text), E_FAIL);  // nothing to report
    ASSERT_EQ(a->OpenCheck(u"1"), S_OK);
    LONG sum = 0;
    ASSERT_EQ(a->FiscalLineEx(u"Хліб", 1000, 1205, 1, 1, 0, 1, 0, u"", 0, &sum), S_OK);
    EXPECT_EQ(sum, 1205);
    LONG total = 0;
    EXPECT_EQ(a->GetCheckSum(&total), S_OK);
    EXPECT_EQ(total, 1205);
    LONG closed = -1;
    EXPECT_EQ(a->CloseCheckEx(2000, 0, 0, 0, &closed), S_OK);
    EXPECT_GT(closed, 0);
    EXPECT_EQ(a->GetCheckResult(&text), S_OK);
    EXPECT_FALSE(text.empty());
    a->Release();
}

TEST_F(ClientObjectTest, TextOutsideTheCodePageBecomesQuestionMarksAndIsJournaled) {
    ASSERT_TRUE(WriteConfigInt(kCurrentConfig, kSaveToLog, 1));
    CVeskar* a = NewClient();
    ASSERT_EQ(a->Init(3, u"Anna", kPassword, 0, u"Kasa \u263A"), S_OK);
    ASSERT_EQ(a->OpenCheck(u"1"), S_OK);
    LONG sum = 0;
    ASSERT_EQ(a->FiscalLineEx(u"Tea \u6F22\U0001F375", 1, 500, 0, 1, 0, 1, 0, u"", 0, &sum), S_OK);
    EXPECT_EQ(a->AbortCheck(), S_OK);
    a->Release();  // the last client: the engine goes and its journal is closed
    ports.WaitForClosings();

    std::string journal;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(env.Dir() + "/state")) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        journal.append(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_NE(journal.find("Name = Tea ??,"), std::string::npos);
    EXPECT_NE(journal.find("1 character(s) of a client text are not in code page 1251"),
              std::string::npos);
    EXPECT_NE(journal.find("2 character(s) of a client text are not in code page 1251"),
              std::string::npos);
}

// A LockPrinter that waits for a lock held by another client leaves the server serving the
// other clients, so the holder can unlock and the waiter gets the lock (rather than the whole
// server standing still for the full time-out).
TEST_F(ClientObjectTest, LockWaitServesTheHolderThroughTheServer) {
    CRpcServer server(env.RuntimeDir());
    std::string error;
    ASSERT_TRUE(server.ListenLocal(&error)) << error;
    ClassFactory f;
    f.clsid = typelib::CLSID_Veskar;
    f.create = [this](IDispatch** pp) { return CVeskar::CreateInstance(ports, pp); };
    ASSERT_TRUE(server.RegisterClassObject(f, &error)) << error;
    server.SetTimer([this] { return ports.ExpireLockWaits(); });
    int wake = eventfd(0, EFD_CLOEXEC);
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        while (!stop)
            server.RunOnce(-1, wake);
    });

    ActivationOptions local;
    local.allowStart = false;
    auto connect = [&] {
        IDispatch* obj = nullptr;
        IVeskar* veskar = nullptr;
        EXPECT_EQ(CreateInstance(GuidToString(typelib::CLSID_Veskar), &obj, local), S_OK);
        if (obj) {
            EXPECT_EQ(QueryVeskar(obj, &veskar), S_OK);
            obj->Release();
        }
        return veskar;
    };
    IVeskar* a = connect();
    IVeskar* b = connect();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->Init(3, u"Anna", kPassword, 0, u"A"), S_OK);
    ASSERT_EQ(b->Init(3, u"Anna", kPassword, 0, u"B"), S_OK);
    ASSERT_EQ(a->LockPrinter(5000), S_OK);

    auto start = std::chrono::steady_clock::now();
    HRESULT waited = E_UNEXPECTED;
    std::thread waiter([&] { waited = b->LockPrinter(20000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(a->UnlockPrinter(), S_OK);  // served while B waits
    waiter.join();
    EXPECT_EQ(waited, S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    a->Release();
    b->Release();
    stop = true;
    uint64_t one = 1;
    (void)!write(wake, &one, sizeof one);
    loop.join();
    close(wake);
}

}  // namespace
}  // namespace vsk
