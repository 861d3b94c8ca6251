// CVeskar against the emulated register on a pseudo-terminal (in process), through the port
// registry, with the engines on a scaled clock.
#include <gtest/gtest.h>

#include <sys/eventfd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <thread>

#include "client/client.h"
#include "emulator/models.h"
#include "emulator/pty_register.h"
#include "emulator/register.h"
#include "engine/vsk_core.h"
#include "ledger/ledger.h"
#include "link/settings.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "resources/strings.h"
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

// The ledger's row follows what the register did, whatever the figure the closing answers: a
// return answers its negative amount, a receipt of nothing 0, and both printed.
TEST_F(ClientObjectTest, TheLedgerSaysWhatTheRegisterPrinted) {
    CLedger ledger;
    std::string report;
    ASSERT_TRUE(ledger.Open(env.Dir() + "/ledger.sqlite", &report)) << report;
    CVeskar* a = new CVeskar(ports, &ledger);
    ASSERT_EQ(a->Init(3, u"Anna", kPassword, 0, u"Kasa"), S_OK);
    struct Row {
        const char* what;
        bool isReturn;
        LONG price, discount;
        LONG figure;  // what CloseCheckEx answers in its value
    } rows[] = {
        {"a sale", false, 1205, 0, 1205},
        {"a return", true, 700, 0, -700},
        {"a receipt of nothing", false, 0, 0, 0},
        {"a discount as large as the line", false, 500, 900, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const int before = pty.WithRegister([](emu::Register& r) { return r.lastReceiptNumber(); });
        ASSERT_EQ(row.isReturn ? a->OpenReturnCheck(u"1") : a->OpenCheck(u"1"), S_OK);
        LONG sum = 0;
        ASSERT_EQ(a->FiscalLineEx(u"Хліб", 1, row.price, 0, 1, 0, 0, 0, u"", row.discount, &sum),
                  S_OK);
        LONG closed = -1;
        EXPECT_EQ(a->CloseCheckEx(row.isReturn ? 0 : 2000, 0, 0, 0, &closed), S_OK);
        EXPECT_EQ(closed, row.figure);
        const int after = pty.WithRegister([](emu::Register& r) { return r.lastReceiptNumber(); });
        EXPECT_EQ(after, before + 1) << "the register printed it";
        const LedgerReceipt last = ledger.Latest(1).at(0);
        EXPECT_EQ(last.end, "closed");
        EXPECT_EQ(last.number, after);
        EXPECT_EQ(last.kind, row.isReturn ? "return" : "sale");
        EXPECT_EQ(last.cashier, "Anna");
        ASSERT_TRUE(last.numberBefore.has_value());
        EXPECT_EQ(*last.numberBefore, before);
    }
    a->Release();
}

// A receipt's row follows the receipt, not the client that opened it: whoever's call ends it,
// the row says how, and who when it was another client.
TEST_F(ClientObjectTest, TheLedgerFollowsAReceiptWhicheverClientEndsIt) {
    CLedger ledger;
    std::string report;
    ASSERT_TRUE(ledger.Open(env.Dir() + "/ledger.sqlite", &report)) << report;
    CVeskar* a = new CVeskar(ports, &ledger);
    CVeskar* b = new CVeskar(ports, &ledger);
    auto call = [](CVeskar* o, VeskarDispId id, std::vector<VARIANT> args) {
        std::promise<HRESULT> done;
        o->InvokeAsync(DISPID(id), InvokeKind::Method, std::move(args),
                       [&done](HRESULT hr, VARIANT) { done.set_value(hr); });
        return done.get_future().get();
    };
    auto init = [&](CVeskar* o, const char16_t* name) {
        return call(o, VeskarDispId::Init,
                    {VARIANT::FromLong(3), VARIANT::FromBstr(u"Anna"), VARIANT::FromBstr(kPassword),
                     VARIANT::FromLong(0), VARIANT::FromBstr(name)});
    };
    ASSERT_EQ(init(a, u"Каса"), S_OK);
    ASSERT_EQ(init(b, u"Склад"), S_OK);
    const std::vector<VARIANT> open = {VARIANT::FromBstr(u"1")};
    struct Row {
        const char* what;
        CVeskar* ender;
        VeskarDispId end;
        std::vector<VARIANT> args;
        const char* rowEnd;
        const char* error;
    } rows[] = {
        {"its own next opening", a, VeskarDispId::OpenCheck, open, "cancelled",
         "cancelled by the next receipt's opening"},
        {"another client's opening", b, VeskarDispId::OpenCheck, open, "cancelled",
         "cancelled by the next receipt's opening (by another client: Склад)"},
        {"another client's cancel",
         b,
         VeskarDispId::AbortCheck,
         {},
         "cancelled",
         "cancelled (by another client: Склад)"},
        {"another client's closing",
         b,
         VeskarDispId::CloseCheckEx,
         {VARIANT::FromLong(1000), VARIANT::FromLong(0), VARIANT::FromLong(0),
          VARIANT::FromLong(0)},
         "closed",
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(call(a, VeskarDispId::OpenCheck, open), S_OK);
        ASSERT_EQ(call(a, VeskarDispId::FiscalLineEx,
                       {VARIANT::FromBstr(u"Хліб"), VARIANT::FromLong(1), VARIANT::FromLong(500),
                        VARIANT::FromLong(0), VARIANT::FromLong(1), VARIANT::FromLong(0),
                        VARIANT::FromLong(0), VARIANT::FromLong(0), VARIANT::FromBstr(u""),
                        VARIANT::FromLong(0)}),
                  S_OK);
        const int64_t opened = ledger.Latest(1).at(0).id;
        EXPECT_EQ(call(row.ender, row.end, row.args), S_OK);
        const LedgerReceipt ended = *ledger.Receipt(opened);
        EXPECT_EQ(ended.client, "Каса");
        EXPECT_EQ(ended.end, row.rowEnd);
        EXPECT_EQ(ended.error, row.error);
        EXPECT_NE(ended.lines.find("Хліб"), std::string::npos) << ended.lines;
        call(row.ender, VeskarDispId::AbortCheck, {});  // the next row starts with none open
    }
    a->Release();
    b->Release();
}

// What the register would misread is refused before anything is sent: the receipt stays open
// and nothing more is on the tape.
TEST_F(ClientObjectTest, ArgumentsTheRegisterWouldMisreadAreRefused) {
    CVeskar* a = NewClient();
    ASSERT_EQ(a->Init(3, u"Anna", kPassword, 0, u"Kasa"), S_OK);
    ASSERT_EQ(a->OpenCheck(u"1"), S_OK);
    const size_t tape = pty.WithRegister([](emu::Register& r) { return int(r.tape().size()); });
    struct Bad {
        const char* what;
        LONG tax1, tax2, article, direction, discount;
    } bad[] = {
        {"tax 99", 99, 0, 0, 0, 0},        {"second tax 9", 1, 9, 0, 0, 0},
        {"article -5", 1, 0, -5, 0, 0},    {"discount -500", 1, 0, 0, 0, -500},
        {"direction -1", 1, 0, 0, -1, 50}, {"direction 5", 1, 0, 0, 5, 50},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.what);
        LONG sum = 77;
        EXPECT_EQ(a->FiscalLineEx(u"Хліб", 1, 100, 0, b.tax1, b.tax2, b.article, b.direction, u"",
                                  b.discount, &sum),
                  E_INVALIDARG);
        FailureDetail why;
        EXPECT_TRUE(a->TakeFailureDetail(&why));
        EXPECT_EQ(why.code, "E_INVALIDARG");
        EXPECT_EQ(why.kind, "InvalidArgument");
        EXPECT_TRUE(why.retrySafe);
    }
    EXPECT_EQ(pty.WithRegister([](emu::Register& r) { return int(r.tape().size()); }), int(tape));
    EXPECT_TRUE(pty.WithRegister([](emu::Register& r) { return r.receiptOpen() ? 1 : 0; }));
    // A negative tax index is no tax, and no discount needs no direction: both still print.
    LONG sum = 0;
    EXPECT_EQ(a->FiscalLineEx(u"Хліб", 1, 100, 0, -1, 0, 0, -1, u"", 0, &sum), S_OK);
    EXPECT_EQ(a->AbortCheck(), S_OK);
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

// Calls that need neither the register nor the engine, and an unbound object's refusals, are
// answered before InvokeAsync returns, not queued behind a port's worker.
TEST_F(ClientObjectTest, CallsThatNeedNoPortAnswerAtOnce) {
    CVeskar* a = NewClient();
    auto answeredAtOnce = [&](VeskarDispId id, std::vector<VARIANT> args) {
        auto answered = std::make_shared<std::atomic<bool>>(false);
        a->InvokeAsync(DISPID(id), InvokeKind::Method, std::move(args),
                       [answered](HRESULT, VARIANT) { *answered = true; });
        return answered->load();
    };
    EXPECT_TRUE(answeredAtOnce(VeskarDispId::GetPortNumber, {}));
    EXPECT_TRUE(answeredAtOnce(VeskarDispId::OpenCashBox, {}));
    EXPECT_TRUE(
        answeredAtOnce(VeskarDispId::Init,
                       {VARIANT::FromLong(0), VARIANT::FromBstr(u"A"), VARIANT::FromBstr(kPassword),
                        VARIANT::FromLong(0), VARIANT::FromBstr(u"K")}));
    ASSERT_EQ(a->Init(3, u"Anna", kPassword, 0, u"Kasa"), S_OK);
    EXPECT_TRUE(answeredAtOnce(VeskarDispId::GetPortNumber, {}));
    EXPECT_TRUE(answeredAtOnce(VeskarDispId::UnlockPrinter, {}));
    a->Release();
    ports.WaitForClosings();
}

// A call without an id is a notification: the server runs it and answers nothing, also when the
// object answers later (on its port's worker), so the next reply is the next call's own.
TEST_F(ClientObjectTest, NotificationsRunWithoutAReply) {
    CRpcServer server(env.RuntimeDir());
    std::string error;
    ASSERT_TRUE(server.ListenLocal(&error)) << error;
    ClassFactory f;
    f.clsid = typelib::CLSID_Veskar;
    f.create = [this](IDispatch** pp) { return CVeskar::CreateInstance(ports, pp); };
    ASSERT_TRUE(server.RegisterClassObject(f, &error)) << error;
    int fd = test::ConnectUnixRaw(server.SocketPath());
    ASSERT_GE(fd, 0);
    Json created = test::ExchangeJson(
        server, fd,
        R"({"jsonrpc":"2.0","id":1,"method":"CreateInstance","params":{"clsid":")" +
            GuidToString(typelib::CLSID_Veskar) + R"("}})");
    const Json* object = created.Find("result") ? created.Find("result")->Find("object") : nullptr;
    ASSERT_TRUE(object && object->IsInt()) << created.Dump();
    const std::string obj = std::to_string(object->AsInt());
    auto invoke = [&](const std::string& id, const std::string& name, const std::string& args) {
        return R"({"jsonrpc":"2.0",)" + id + R"("method":"Invoke","params":{"object":)" + obj +
               R"(,"name":")" + name + R"(","args":)" + args + "}}\n";
    };
    // Bound, the calls run on the port's worker; unbound, at once.
    for (const char* bind : {"", "Init"}) {
        if (*bind) {
            std::string line = test::Exchange(
                server, fd, invoke(R"("id":2,)", "Init", R"([3,"Anna","0000000000",0,"Kasa"])"));
            ASSERT_NE(line.find(R"("result")"), std::string::npos) << line;
        }
        // Bound, the paper feed waits for the register's slow answer on the worker.
        pty.Control("delay 100");
        std::string line = test::Exchange(
            server, fd, invoke("", "Feed", "[1]") + invoke(R"("id":7,)", "GetPortNumber", "[]"));
        pty.Control("delay 0");
        auto reply = Json::Parse(line);
        ASSERT_TRUE(reply) << line;
        const Json* id = reply->Find("id");
        EXPECT_TRUE(id && id->IsInt() && id->AsInt() == 7) << line;
        // ... and nothing else came between: the next line answers the next call.
        line = test::Exchange(server, fd, invoke(R"("id":8,)", "GetPortNumber", "[]"));
        EXPECT_NE(line.find(R"("id":8,)"), std::string::npos) << line;
    }
    close(fd);
}

// Every method through the client object, each argument given a value no other argument of the
// call has, checked where it must land: in the commands the register received (the port's
// journal records each command as it is written) or in what the method returns. Two arguments
// swapped or one dropped on the way to the engine changes a command or a returned value.
class ClientObjectWireTest : public ClientObjectTest {
protected:
    // The commands written to the register since the last call.
    std::vector<std::string> Sent() {
        if (m_journal.empty()) {
            for (const auto& e :
                 std::filesystem::recursive_directory_iterator(env.Dir() + "/state")) {
                if (e.is_regular_file() &&
                    e.path().filename().string().find("_3_") != std::string::npos)
                    m_journal = e.path().string();
            }
        }
        std::ifstream in(m_journal, std::ios::binary);
        std::string text(std::istreambuf_iterator<char>(in), {});
        const std::string mark = ">>> To Printer >>>";
        std::vector<std::string> commands;
        for (size_t at = text.find(mark, m_read); at != std::string::npos;
             at = text.find(mark, at + 1)) {
            const size_t begin = at + mark.size();
            std::string command = text.substr(begin, text.find('\n', begin) - begin);
            if (!command.empty() && command.back() == '\r')
                command.pop_back();
            commands.push_back(command);
        }
        m_read = text.size();
        return commands;
    }
    CVSKCore& Engine() {
        bool created = false;
        CVSKCore* core = ports.AttachClient(3, "probe", &created)->GetCore();
        ports.ReleaseClient(3, "probe");
        return *core;
    }
    std::string m_journal;
    size_t m_read = 0;
};

// A goods name in its field of a sale line, and a name in its field of the totals commands.
std::string Goods(const std::string& name) {
    return name + std::string(24 - name.size(), ' ');
}
std::string Total(const std::string& name) {
    return name + std::string(22 - name.size(), ' ');
}

std::string Utf8(const BSTR& text) {
    return Utf16ToCp1251(text);  // the texts compared are ASCII
}

TEST_F(ClientObjectWireTest, EveryMethodCarriesEachArgumentToItsPlace) {
    ASSERT_TRUE(WriteConfigInt(kCurrentConfig, kSaveToLog, 1));
    CVeskar* a = NewClient();
    CVeskar* other = NewClient();
    CVeskar& c = *a;
    // Tax letters as the register's code page has them: А, Б, Г for indexes 1, 2 and 4.
    const std::string A = "\xC0", B = "\xC1", G = "\xC3";
    BSTR text;
    LONG value = 0;
    auto ok = [](HRESULT hr) { EXPECT_EQ(hr, S_OK); };
    struct Row {
        const char* method;
        std::function<void()> call;
        std::vector<std::string> sent;  // Windows-1251
    };
    const Row rows[] = {
        // ---- binding, switches and state that stays in the server
        {"Init",
         [&] {
             ok(c.Init(3, u"Anna", kPassword, 1, u"Kasa"));
             EXPECT_TRUE(Engine().ShowStatusDialogs());
             ok(other->Init(3, u"", u"", 0, u"Other"));
             std::vector<CVSKPortManager::ConnectionRow> rows;
             ports.FillConnectionsList(rows);
             ASSERT_EQ(rows.size(), 2u);
             EXPECT_EQ(rows[0].client, "Kasa");
         },
         {"UPAS**********Anna", "CONF", "CNAL", "GLCN", "dset", "TABL"}},
        {"GetPortNumber",
         [&] {
             ok(c.GetPortNumber(&value));
             EXPECT_EQ(value, 3);
         },
         {}},
        {"SetShowPrinterStatus",
         [&] {
             ok(c.SetShowPrinterStatus(0));
             EXPECT_FALSE(Engine().ShowStatusDialogs());
         },
         {}},
        {"SetShowErrorMessages",
         [&] {
             EXPECT_TRUE(Engine().ShowErrorMessages());
             ok(c.SetShowErrorMessages(0));
             EXPECT_FALSE(Engine().ShowErrorMessages());
         },
         {}},
        {"GetPrinterSerialNumber",
         [&] {
             ok(c.GetPrinterSerialNumber(&text));
             EXPECT_EQ(Utf8(text), emulated.model().serial);
         },
         {}},
        {"LockPrinter",
         [&] {
             ok(c.LockPrinter(700));
             EXPECT_EQ(other->LockPrinter(50), CONTEXT_E_SYNCH_TIMEOUT);
         },
         {}},
        {"UnlockPrinter",
         [&] {
             ok(c.UnlockPrinter());
             ok(other->LockPrinter(50));
             ok(other->UnlockPrinter());
         },
         {}},
        {"SetRegistrationModePassword", [&] { ok(c.SetRegistrationModePassword(u"1111")); }, {}},
        {"SetReportsModePassword", [&] { ok(c.SetReportsModePassword(u"2222")); }, {}},
        {"SetProgrammingModePassword", [&] { ok(c.SetProgrammingModePassword(u"3333")); }, {}},
        // ---- raw messages and queries
        {"LowSendMessageToPrinter", [&] { ok(c.LowSendMessageToPrinter(u"CONF")); }, {"CONF"}},
        {"LowGetNextPendingPrinterMessage",
         [&] {
             ok(c.LowGetNextPendingPrinterMessage(2000, &text));
             EXPECT_EQ(Utf8(text).substr(0, 14), "CONF" + emulated.model().serial);
         },
         {}},
        {"GetPrinterConfig",
         [&] {
             ok(c.GetPrinterConfig(&text));
             EXPECT_EQ(Utf8(text).substr(0, 10), emulated.model().serial);
         },
         {"CONf"}},
        {"GetPrinterConfigXML", [&] { ok(c.GetPrinterConfigXML(0, &text)); }, {}},
        {"GetPrinterConfigXML",
         [&] {
             ok(c.GetPrinterConfigXML(1, &text));
             EXPECT_NE(Utf8(text).find(emulated.model().serial), std::string::npos);
         },
         {"CONf", "CNAL", "GLCN"}},
        {"GetPrinterKeyPosition",
         [&] {
             ok(c.GetPrinterKeyPosition(&value));
             EXPECT_EQ(value, 1);
         },
         {"CONf", "CNAL", "GLCN"}},
        {"GetArticleInfo", [&] { c.GetArticleInfo(37, &text); }, {"ARTD0037"}},
        {"GetArticleInfoXML", [&] { c.GetArticleInfoXML(41, &text); }, {"ARTD0041"}},
        {"GetPrinterTime", [&] { ok(c.GetPrinterTime(&text)); }, {"GETD"}},
        {"GetCashInfo", [&] { ok(c.GetCashInfo(&text)); }, {"CCAS"}},
        {"GetCashInfoXML", [&] { ok(c.GetCashInfoXML(&text)); }, {"CCAS"}},
        {"GetFiscalInfo", [&] { ok(c.GetFiscalInfo(&text)); }, {"CFIS"}},
        {"GetFiscalInfoXML", [&] { ok(c.GetFiscalInfoXML(&text)); }, {"CFIS"}},
        {"GetTaxesInfo",
         [&] {
             ok(c.GetTaxesInfo(&text));
             EXPECT_EQ(Utf8(text).substr(0, 13), "2011010100200");
         },
         {"CNAL"}},
        {"GetTaxesInfoXML",
         [&] {
             ok(c.GetTaxesInfoXML(&text));
             EXPECT_NE(Utf8(text).find("value=\"20.00\""), std::string::npos) << Utf8(text);
         },
         {}},
        {"GetDocumentsInfo", [&] { ok(c.GetDocumentsInfo(&text)); }, {"GLCN"}},
        {"GetDocumentsInfoXML", [&] { ok(c.GetDocumentsInfoXML(&text)); }, {"GLCN"}},
        // ---- settings
        {"SetCheckMessagesMode", [&] { ok(c.SetCheckMessagesMode(2)); }, {"TMOD2"}},
        {"SetOnSaleTaxesPrintMode", [&] { ok(c.SetOnSaleTaxesPrintMode(1)); }, {"PPOD1"}},
        {"SetTaxesCalcMode", [&] { ok(c.SetTaxesCalcMode(1)); }, {"PPMD1"}},
        {"SetDoubledTaxCalcMode", [&] { ok(c.SetDoubledTaxCalcMode(2, 4)); }, {"NLPR" + B + G}},
        {"SetPrintingDoubleWidth", [&] { ok(c.SetPrintingDoubleWidth(1)); }, {"DSTR1"}},
        {"SetTableMode", [&] { ok(c.SetTableMode(1)); }, {"TABL"}},
        {"SetInternalTime", [&] { ok(c.SetInternalTime(13, 47, 29)); }, {"CTIM134729"}},
        {"SetDeptAlias", [&] { ok(c.SetDeptAlias(u"Alias")); }, {"DEPTAlias"}},
        {"SetCheckHeadLine", [&] { ok(c.SetCheckHeadLine(u"Head line")); }, {"HEADHead line"}},
        {"SetCheckBottomLine", [&] { ok(c.SetCheckBottomLine(u"Foot line")); }, {"BOTMFoot line"}},
        {"SetCheckBottomLineEx",
         [&] { ok(c.SetCheckBottomLineEx(2, 1, 3, u"Extra foot")); },
         {"BOTm213Extra foot"}},
        {"SetLinePrintingOn", [&] { ok(c.SetLinePrintingOn()); }, {"STFL"}},
        {"SetDiscountPrintMode", [&] { ok(c.SetDiscountPrintMode(2)); }, {"NPDI2"}},
        {"SetContinousPaperPrintMode", [&] { ok(c.SetContinousPaperPrintMode(1)); }, {"NCDC1"}},
        {"SetCurrentCurrency", [&] { ok(c.SetCurrentCurrency(u"EUR")); }, {"SENCEUR"}},
        // ---- displays, drawer, paper
        // The numeric display shows the two lines one after the other.
        {"PutToDisplay", [&] { ok(c.PutToDisplay(u"12", u"345")); }, {"DISp00     12345"}},
        {"PutToExternalDisplay",
         [&] { ok(c.PutToExternalDisplay(u"Outside", 1)); },
         {"DIsp\x1B@Outside"}},
        {"PutToExternalDisplay", [&] { ok(c.PutToExternalDisplay(u"Again", 0)); }, {"DIspAgain"}},
        {"OpenCashBox", [&] { ok(c.OpenCashBox()); }, {"KASS"}},
        {"Feed", [&] { ok(c.Feed(4)); }, {"FEED4"}},
        {"CutAndBeep", [&] { ok(c.CutAndBeep(1, 0, 0)); }, {"CUTR100"}},
        {"CutAndBeep", [&] { ok(c.CutAndBeep(0, 1, 0)); }, {"CUTR010"}},
        {"CutAndBeep", [&] { ok(c.CutAndBeep(0, 0, 1)); }, {"CUTR001"}},
        {"MoveCash", [&] { ok(c.MoveCash(1, 12345)); }, {"CAIOI0000012345"}},
        {"MoveCash", [&] { ok(c.MoveCash(0, 2345)); }, {"CAIOO0000002345"}},
        // ---- documents and reports
        {"NullCheck", [&] { ok(c.NullCheck()); }, {"NULL"}},
        {"OpenTextDocument", [&] { ok(c.OpenTextDocument()); }, {"CTXT"}},
        {"CloseTextDocument", [&] { ok(c.CloseTextDocument(1)); }, {"DBEG1", "PRTX"}},
        {"XReport", [&] { ok(c.XReport()); }, {"ZREP1"}},
        {"XReportAsync", [&] { ok(c.XReportAsync()); }, {"ZREP1"}},
        {"ArticleReport", [&] { ok(c.ArticleReport()); }, {"ARTZ"}},
        {"DiscountReport", [&] { ok(c.DiscountReport()); }, {"DIZV"}},
        {"PeriodicalFiscalReport", [&] { ok(c.PeriodicalFiscalReport(3, 7)); }, {"FIRN00030007"}},
        {"PeriodicalFiscalReportDate",
         [&] { ok(c.PeriodicalFiscalReportDate(45700.0, 45733.0)); },  // 12.02. and 17.03.2025
         {"FIRP2025021220250317"}},
        {"ZReport", [&] { ok(c.ZReport()); }, {"NREP"}},
        {"ZReportAsync", [&] { ok(c.ZReportAsync()); }, {"NREP"}},
        {"PrintZeroZReport", [&] { ok(c.PrintZeroZReport()); }, {"nrep"}},
        {"SetArticleMode", [&] { ok(c.SetArticleMode(2)); }, {"ARMO2", "GLCN"}},
        {"SetTaxesCalcMode", [&] { ok(c.SetTaxesCalcMode(0)); }, {"PPMD"}},
        // ---- a receipt that sells, then takes goods back
        {"OpenCheck", [&] { ok(c.OpenCheck(u"Dept7")); }, {"PREPDept7"}},
        {"LongName", [&] { ok(c.LongName(u"A long name")); }, {"FINFA long name"}},
        {"FiscalLine",
         [&] {
             ok(c.FiscalLine(u"Bread", 3, 1250, 0, 4, 1, 77, &value));
             EXPECT_EQ(value, 3937);  // 3750 and 5 % on top
         },
         // Name, sum, price, quantity, piece goods, the two tax letters, the long article.
         {"FICD" + Goods("Bread") + "000003750" + "000001250" + "000003" + "10" + G + A +
          "000000077"}},
        {"GetLastLineTaxes",
         [&] {
             ok(c.GetLastLineTaxes(&value));
             EXPECT_EQ(value, 187);
         },
         {}},
        {"FiscalLineEx",
         [&] {
             ok(c.FiscalLineEx(u"Milk", 2000, 3100, 1, 2, 4, 78, 0, u"Promo", 150, &value));
             EXPECT_EQ(value, 6352);  // 2 kg at 31.00, less 1.50, and 5 % on top
         },
         // ... divisible goods, and the discount: its direction, name and amount.
         {"FICD" + Goods("Milk") + "000006200" + "000003100" + "002000" + "00" + B + G +
          "000000078" + "-" + "Promo        " + "000000150"}},
        {"FreeTextLine", [&] { ok(c.FreeTextLine(1, 0, 1, u"Free text")); }, {"TEXT001Free text"}},
        {"ClearFreeTextLines", [&] { ok(c.ClearFreeTextLines()); }, {"CTXT"}},
        {"OpenGoodsGroup", [&] { ok(c.OpenGoodsGroup(u"Group A")); }, {"GRBGGroup A"}},
        {"CloseGoodsGroup",
         [&] { ok(c.CloseGoodsGroup(u"Less", u"More")); },
         {"GREN" + Total("Less") + Total("More")}},
        {"SetDiscountUpcountTotalsName",
         [&] { ok(c.SetDiscountUpcountTotalsName(u"Minus", u"Plus")); },
         {"ZDNM" + Total("Minus") + Total("Plus")}},
        {"PrintBarcode",
         [&] { ok(c.PrintBarcode(2, 1, 0, u"4820000123456")); },
         {"PCOD1004820000123456"}},
        {"Storn", [&] { ok(c.Storn()); }, {"STRN"}},
        {"GetCheckSum",
         [&] {
             ok(c.GetCheckSum(&value));
             EXPECT_EQ(value, 3750);  // the milk was cancelled
         },
         {}},
        {"GetCheckOnSaleTaxes",
         [&] {
             ok(c.GetCheckOnSaleTaxes(&value));
             EXPECT_EQ(value, 187);
         },
         {}},
        {"SetCurrentCheckDirection", [&] { ok(c.SetCurrentCheckDirection(1)); }, {}},
        {"FiscalLine",
         [&] {
             ok(c.FiscalLine(u"Jam", 2, 990, 0, 4, 0, 80, &value));
             EXPECT_EQ(value, 2079);
         },
         {"BFCD" + Goods("Jam") + "000001980" + "000000990" + "000002" + "10" + G + "0" +
          "000000080"}},
        {"GetCheckReturnSum",
         [&] {
             ok(c.GetCheckReturnSum(&value));
             EXPECT_EQ(value, 1980);
         },
         {}},
        {"GetCheckReturnOnSaleTaxes",
         [&] {
             ok(c.GetCheckReturnOnSaleTaxes(&value));
             EXPECT_EQ(value, 99);
         },
         {}},
        {"CloseCheckEx",
         [&] {
             ok(c.CloseCheckEx(758, 600, 400, 200, &value));
             EXPECT_EQ(value, 1858);  // 3937 sold less 2079 returned
         },
         // Sales, returns, then packing, cheque, credit and cash.
         {"COMP" + std::string("0000003750") + "0000001980" + "0000000200" + "0000000600" +
          "0000000400" + "0000000758"}},
        {"GetCheckResult",
         [&] {
             ok(c.GetCheckResult(&text));
             EXPECT_EQ(Utf8(text), "2;3750;187;625;0;1980;99;0;0");
         },
         {}},
        {"GetCheckResultXML",
         [&] {
             ok(c.GetCheckResultXML(&text));
             EXPECT_NE(Utf8(text).find("check_number=\"2\" total=\"3750\" onsale_taxes=\"187\""),
                       std::string::npos)
                 << Utf8(text);
         },
         {}},
        {"CheckCopy", [&] { ok(c.CheckCopy()); }, {"COPY"}},
        {"CloseCheck",
         [&] {
             ok(c.OpenCheck(u"Dept8"));
             ok(c.FiscalLine(u"Salt", 1, 990, 0, 1, 0, 79, &value));
             ok(c.CloseCheck(&value));
             EXPECT_EQ(value, 990);
         },
         {"PREPDept8",
          "FICD" + Goods("Salt") + "000000990" + "000000990" + "000001" + "10" + A + "0" +
              "000000079",
          "COMP0000000990" + std::string(40, '0') + "0000000990"}},
        {"SetReturnCheckNumber", [&] { ok(c.SetReturnCheckNumber(4321)); }, {"BCHN4321"}},
        {"OpenReturnCheck", [&] { ok(c.OpenReturnCheck(u"Dept9")); }, {"PREPDept9"}},
        {"AbortCheck", [&] { ok(c.AbortCheck()); }, {"CANC"}},
        {"SetReturnCheckNumberStr",
         [&] { ok(c.SetReturnCheckNumberStr(u"12;34")); },
         {"BCHN12;34"}},
        // ---- the error lists
        {"GetLastErrorMessage",
         [&] {
             pty.WithRegister([](emu::Register& r) {
                 r.SetNextError("HARDPAPER");
                 return 0;
             });
             EXPECT_EQ(c.Feed(5), E_FAIL);
             ok(c.GetLastErrorMessage(&text));
             EXPECT_EQ(Utf8(text), LoadString1251(2020));
         },
         {"FEED5"}},
        {"GetLastErrorCode",
         [&] {
             pty.WithRegister([](emu::Register& r) {
                 r.SetNextError("HARDTIMER");
                 return 0;
             });
             EXPECT_EQ(c.Feed(6), E_FAIL);
             ok(c.GetLastErrorCode(&text));
             EXPECT_EQ(Utf8(text), "HARDPAPER;HARDTIMER");  // until read, the codes add up
         },
         {"FEED6"}},
        {"Done",
         [&] {
             ok(c.Done());
             EXPECT_EQ(c.GetPortNumber(&value), S_OK);
             EXPECT_EQ(value, 0);
             std::vector<CVSKPortManager::ConnectionRow> rows;
             ports.FillConnectionsList(rows);
             ASSERT_EQ(rows.size(), 1u);
             EXPECT_EQ(rows[0].client, "Other");
         },
         {}},
    };
    std::set<std::string> covered;
    for (const Row& row : rows) {
        covered.insert(row.method);
        SCOPED_TRACE(row.method);
        row.call();
        std::vector<std::string> sent = Sent();
        EXPECT_EQ(sent, row.sent) << row.method;
    }
    for (const MemberDesc& m : typelib::kVeskarMethods)
        EXPECT_TRUE(covered.count(m.name)) << m.name << " is not tried";
    a->Release();
    other->Release();
}

// The mode passwords reach the register of level 7, the one that switches modes with them:
// the report mode password brackets a report, the registration one ends it; the programming
// password is not one of them.
TEST(ClientObjectModePasswords, EachSetterSetsItsOwnPassword) {
    test::TempEnv env;
    emu::Register emulated{*emu::FindModel("f1-7")};
    emu::PtyRegister pty{emulated};
    std::string error;
    ASSERT_TRUE(pty.Open(error)) << error;
    ASSERT_TRUE(pty.Start(error)) << error;
    RegistryStore reg;
    ASSERT_TRUE(SetPortMapping(reg, 3, pty.SlavePath()));
    ScaledClock clock{0.02};
    HeadlessOperatorUi ui{true};
    CVSKPortManager ports{[&ui](int32_t port, IClock& engineClock) {
                              return std::make_unique<CVSKCore>(port, &engineClock, &ui);
                          },
                          &clock};
    CVeskar* c = new CVeskar(ports);
    ASSERT_EQ(c->Init(3, u"Anna", kPassword, 0, u"Kasa"), S_OK);
    c->SetShowErrorMessages(0);
    BSTR code;
    c->GetLastErrorCode(&code);  // empties the list

    EXPECT_EQ(c->SetRegistrationModePassword(u"3807"), S_OK);
    EXPECT_EQ(c->SetReportsModePassword(u"6419"), S_OK);
    EXPECT_EQ(c->SetProgrammingModePassword(u"5555"), S_OK);  // takes neither one's place
    EXPECT_EQ(c->XReport(), S_OK);
    EXPECT_EQ(c->GetLastErrorCode(&code), E_FAIL) << Utf16ToCp1251(code);

    EXPECT_EQ(c->SetReportsModePassword(u"1111"), S_OK);
    EXPECT_EQ(c->XReport(), E_FAIL);
    EXPECT_EQ(c->GetLastErrorCode(&code), S_OK);
    EXPECT_NE(Utf16ToCp1251(code).find("SOFTUPAS"), std::string::npos) << Utf16ToCp1251(code);

    EXPECT_EQ(c->SetReportsModePassword(u"6419"), S_OK);
    EXPECT_EQ(c->SetRegistrationModePassword(u"2222"), S_OK);
    c->XReport();
    EXPECT_EQ(c->GetLastErrorCode(&code), S_OK);
    EXPECT_EQ(Utf16ToCp1251(code), "SOFTUPAS");  // the registration mode after the report
    c->Release();
    ports.WaitForClosings();
    pty.Stop();
}

}  // namespace
}  // namespace vsk
