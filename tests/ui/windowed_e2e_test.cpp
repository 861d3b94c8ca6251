// The windowed server in this process, on the offscreen platform, against register programs:
// the automation loop inside the Qt event loop, the operator's questions answered by the test
// while other ports go on, status windows during a receipt, and the built-in test client.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>

#include <future>
#include <set>

#include "server/registration.h"
#include "tests/e2e/server_support.h"
#include "ui/connect_printer_dlg.h"
#include "ui/prn_info_dlg.h"
#include "ui/status_dialog.h"
#include "ui/tester_dlg.h"
#include "ui/ui_text.h"
#include "ui/windowed_server.h"

namespace {

using namespace vske2e;
using namespace vsk::ui;

constexpr int kSecondPort = 6;
constexpr int kMissingPort = 9;  // mapped to a device that does not exist
constexpr const char* kTesterPassword = "7302915846";

// Runs the event loop until `done`, or fails after `timeoutMs`.
template <class F>
bool Pump(F done, int timeoutMs = 15000) {
    const auto end = std::chrono::steady_clock::now() + Ms(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

template <class W>
W* Open(const char* name = nullptr) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<W*>(w);
            found && found->isVisible() && (!name || found->objectName() == name))
            return found;
    return nullptr;
}

// Counts the status windows that came on screen.
class ShowWatcher : public QObject {
public:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::Show && qobject_cast<CStatusDialog*>(object))
            ++shown;
        return false;
    }
    int shown = 0;
};

class WindowedE2e : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        UseRuntimeFolder();
    }
    void TearDown() override {
        m_server.reset();
        m_second.Stop();
        E2eTest::TearDown();
    }
    void MapRegister(EmulatorProcess& emulator, const std::string& dir, int port,
                     const std::vector<std::string>& args = {}) {
        std::filesystem::create_directories(dir);
        ASSERT_TRUE(emulator.Start(dir, args));
        ASSERT_TRUE(RegistryStore().SetValue(Hive::CurrentUser,
                                             std::string(kSettingsRoot) + "Ports",
                                             "COM" + std::to_string(port), emulator.Link()));
    }
    void StartServer(bool startedByAutomation = false) {
        ServerCommandLine cl;
        cl.startedByAutomation = startedByAutomation;
        cl.userInControl = !startedByAutomation;
        cl.instanceLock = !startedByAutomation;  // started for one VSKManager.Application
        m_server = std::make_unique<CWindowedServer>(cl, -1);
        std::string error;
        ASSERT_TRUE(m_server->Start(&error)) << error;
    }
    // A client call on a thread of its own, so the event loop here can serve it.
    template <class F>
    auto OnClient(F call) {
        return std::async(std::launch::async, call);
    }
    template <class T>
    bool Ready(std::future<T>& f) {
        return f.wait_for(Ms(0)) == std::future_status::ready;
    }

    EmulatorProcess m_second;
    std::unique_ptr<CWindowedServer> m_server;
};

TEST_F(WindowedE2e, StatusWindowShowsDuringAReceiptAndGoesAfterIt) {
    MapRegister(m_emulator, m_dir, kPort);
    StartServer();
    ShowWatcher watcher;
    qApp->installEventFilter(&watcher);
    auto sold = OnClient([] {
        Client till;
        if (till.Create() != S_OK || till->Init(kPort, u"Anna", u"0000000000", 1, u"till") != S_OK)
            return -2;
        return int(till.Sell(u"Хліб", 1, 1205));
    });
    // The connection ends with the printer information window; the operator closes it.
    ASSERT_TRUE(Pump([&] { return Open<CPrnInfoDlg>() || Ready(sold); }));
    ASSERT_NE(Open<CPrnInfoDlg>(), nullptr) << "Init ended without the information window";
    const int shownWhileConnecting = watcher.shown;
    EXPECT_GE(shownWhileConnecting, 1) << "no status window while connecting";
    Open<CPrnInfoDlg>()->accept();
    ASSERT_TRUE(Pump([&] { return Ready(sold); }));
    EXPECT_EQ(sold.get(), 1205);
    EXPECT_GT(watcher.shown, shownWhileConnecting) << "no status window during the receipt";
    QApplication::processEvents();
    EXPECT_EQ(Open<CStatusDialog>(), nullptr) << "a status window outlived its receipt";
    qApp->removeEventFilter(&watcher);
}

TEST_F(WindowedE2e, RefusedPasswordAsksTheOperatorWhileAnotherPortSells) {
    MapRegister(m_emulator, m_dir, kPort);
    MapRegister(m_second, m_dir + "/second", kSecondPort);
    testing::internal::CaptureStderr();
    StartServer();
    auto asked = OnClient([] {
        Client till;
        if (till.Create() != S_OK)
            return E_FAIL;
        return till->Init(kPort, u"Anna", u"9999999999", 0, u"till");
    });
    ASSERT_TRUE(Pump([&] { return Open<QMessageBox>("operatorMessage") || Ready(asked); }));
    QMessageBox* refused = Open<QMessageBox>("operatorMessage");
    ASSERT_NE(refused, nullptr) << "the refusal was not shown";
    EXPECT_TRUE(refused->text().contains(QString::fromUtf8("пароль")));
    // The window's box is also the log line a box is without a window: priority, time, port.
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(
        std::regex_search(log, std::regex("<[34]>\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d COM" +
                                          std::to_string(kPort) + ": [^\n]*пароль")))
        << log;

    // The question holds only its own port: a till on another port sells meanwhile.
    auto other = OnClient([] {
        Client till;
        if (till.Create() != S_OK || till.Init(kSecondPort) != S_OK)
            return -2;
        return int(till.Sell(u"Молоко", 2, 3150));
    });
    ASSERT_TRUE(Pump([&] { return Ready(other); }));
    EXPECT_EQ(other.get(), 3150);
    EXPECT_FALSE(Ready(asked));

    refused->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(Pump([&] { return Open<CConnectPrinterDlg>() || Ready(asked); }));
    CConnectPrinterDlg* dialog = Open<CConnectPrinterDlg>();
    ASSERT_NE(dialog, nullptr) << "no connection dialog after the refusal";
    EXPECT_EQ(dialog->Port(), "COM" + QString::number(kPort));
    EXPECT_FALSE(dialog->PortBox()->isEnabled());
    dialog->CashierEdit()->setText("Anna");
    dialog->PasswordEdit()->setText(kPassword);
    dialog->accept();
    ASSERT_TRUE(Pump([&] { return Ready(asked); }));
    EXPECT_EQ(asked.get(), S_OK);
}

TEST_F(WindowedE2e, RetryCancelQuestionIsAnsweredAndShutdownEndsAnOpenOne) {
    ASSERT_TRUE(RegistryStore().SetValue(Hive::CurrentUser, std::string(kSettingsRoot) + "Ports",
                                         "COM" + std::to_string(kMissingPort),
                                         m_dir + "/no-such-device"));
    StartServer();
    auto init = OnClient([] {
        Client till;
        if (till.Create() != S_OK)
            return E_FAIL;
        return till.Init(kMissingPort);
    });
    ASSERT_TRUE(Pump([&] { return Open<QMessageBox>("operatorMessage") || Ready(init); }));
    QMessageBox* box = Open<QMessageBox>("operatorMessage");
    ASSERT_NE(box, nullptr);
    ASSERT_NE(box->button(QMessageBox::Retry), nullptr);
    box->button(QMessageBox::Retry)->click();
    // Retry opens the port again, fails again and asks again.
    ASSERT_TRUE(Pump([&] {
        QMessageBox* again = Open<QMessageBox>("operatorMessage");
        return (again && again != box) || Ready(init);
    }));
    ASSERT_FALSE(Ready(init));
    // The server ends with the question open: the question takes its default, Cancel, and the
    // port's worker finishes, so the server's end (which joins it) does not hang.
    const auto ending = std::chrono::steady_clock::now();
    m_server->Finish();
    m_server.reset();
    EXPECT_LT(ElapsedMs(ending), 5000);
    ASSERT_TRUE(Pump([&] { return Ready(init); }, 5000)) << "the client was never answered";
    EXPECT_NE(init.get(), S_OK);
}

TEST_F(WindowedE2e, TestClientExchangesRawMessagesUntilReady) {
    MapRegister(m_emulator, m_dir, kPort, {"--password", kTesterPassword});
    StartServer();
    CTesterDlg tester;
    tester.show();
    tester.Connect("\\\\localhost", kPort);
    ASSERT_TRUE(tester.WaitIdle(15000));
    ASSERT_TRUE(tester.Messages().isEmpty()) << tester.Messages().join("\n").toStdString();
    tester.CommandEdit()->setText("CONF");
    tester.SendCommand();
    ASSERT_TRUE(tester.WaitIdle(15000));
    const QStringList answers = tester.Answers()->toPlainText().split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(answers.size(), 2) << tester.Answers()->toPlainText().toStdString();
    EXPECT_TRUE(answers.front().startsWith("CONF")) << answers.front().toStdString();
    EXPECT_EQ(answers.back(), "READY");

    // The lock from a second connection keeps the first one's exchange out.
    tester.ToggleSecondLock();
    ASSERT_TRUE(tester.WaitIdle(15000));
    ASSERT_EQ(tester.Messages().size(), 1);
    tester.SendCommand();
    ASSERT_TRUE(tester.WaitIdle(15000));
    ASSERT_EQ(tester.Messages().size(), 2);
    EXPECT_EQ(tester.Messages().back(), Text(vsk::text::kTesterLockFailed));
    tester.ToggleSecondLock();
    tester.PrintTestReceipt();
    ASSERT_TRUE(tester.WaitIdle(15000));
    EXPECT_EQ(tester.Messages().size(), 3) << tester.Messages().join("\n").toStdString();
    EXPECT_EQ(m_emulator.State()["day_receipts"], "1");
    tester.accept();  // releases the objects with the server still running in this thread
}

TEST_F(WindowedE2e, TestClientReportsAServerItCannotReach) {
    StartServer();
    CTesterDlg tester;
    tester.Connect("127.0.0.1:1", kPort);
    ASSERT_TRUE(tester.WaitIdle(15000));
    ASSERT_EQ(tester.Messages().size(), 1);
    EXPECT_TRUE(tester.Messages().front().startsWith("CreateInstanceEx failed"));
    tester.ShowPortNumber();
    ASSERT_TRUE(tester.WaitIdle(15000));
    EXPECT_EQ(tester.Messages().back(), Text(vsk::text::kTesterNotConnected));
}

// A live VSKManager.Application proxy is what the window's close rule asks about: the link is
// made when a client creates one and undone when it is released.
TEST_F(WindowedE2e, TheProxyOfAClientLinksToTheWindowWhileItLives) {
    // The class is found by its ProgID; the program path is never used, as this server runs.
    vsk::RegistryStore registry;
    ASSERT_TRUE(vsk::RegisterServer(registry, "/nonexistent/vskmanager"));
    StartServer(/*startedByAutomation=*/true);
    EXPECT_FALSE(m_server->ProxyLinked());
    std::promise<void> release;
    auto released = release.get_future().share();
    auto created = OnClient([released] {
        IDispatch* proxy = nullptr;
        HRESULT hr = vsk::CreateInstance("VSKManager.Application", &proxy);
        if (FAILED(hr))
            return hr;
        released.wait();
        proxy->Release();
        return hr;
    });
    Pump([&] { return m_server->ProxyLinked() || Ready(created); });
    const bool linked = m_server->ProxyLinked();
    release.set_value();  // the client thread ends on every path
    ASSERT_TRUE(Pump([&] { return Ready(created); }));
    ASSERT_EQ(created.get(), S_OK);
    EXPECT_TRUE(linked) << "no link while the proxy lives";
    EXPECT_TRUE(Pump([&] { return !m_server->ProxyLinked(); })) << "the link outlived the proxy";
}

}  // namespace
