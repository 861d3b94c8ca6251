#include "ui/tester_dlg.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>

#include "client/client.h"
#include "rpc/type_library.h"
#include "ui/enter_port_dlg.h"
#include "ui/ui_text.h"

namespace vsk::ui {

namespace {

constexpr const char16_t* kTestCashier = u"Tester";
constexpr const char16_t* kTestPassword = u"7302915846";
constexpr const char16_t* kCallerName = u"VSKManTester";
constexpr LONG kLockWaitMs = 3000;
constexpr LONG kMessageWaitMs = 3000;
// A register that never stops talking must not keep the worker forever.
constexpr int kMaxMessagesPerExchange = 1000;

QString FromBstr(const BSTR& text) {
    return QString::fromUtf16(text.data(), qsizetype(text.size()));
}

BSTR ToBstr(const QString& text) {
    return BSTR(reinterpret_cast<const char16_t*>(text.utf16()), size_t(text.size()));
}

QString HResultText(HRESULT hr) {
    return QString::asprintf("0x%08X", unsigned(hr));
}

}  // namespace

CTesterDlg::CTesterDlg(QWidget* parent)
    : QDialog(parent), m_command(new QLineEdit(this)), m_answers(new QPlainTextEdit(this)) {
    setObjectName("testerDlg");
    setWindowTitle(Text(text::kTesterCaption));
    setWindowIcon(AppIcon());
    m_command->setMaxLength(kCommandLimit);
    m_answers->setReadOnly(true);
    m_answers->setObjectName("answers");

    auto* grid = new QGridLayout(this);
    auto button = [this](unsigned textId, void (CTesterDlg::*action)()) {
        auto* b = new QPushButton(Text(textId), this);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, action);
        return b;
    };
    grid->addWidget(button(text::kTesterConnect, &CTesterDlg::OnConnect), 0, 0);
    grid->addWidget(button(text::kTesterPortNumber, &CTesterDlg::ShowPortNumber), 0, 1);
    grid->addWidget(button(text::kTesterDisconnect, &CTesterDlg::Disconnect), 0, 2);
    grid->addWidget(new QLabel(Text(text::kTesterCommand), this), 1, 0);
    grid->addWidget(m_command, 1, 1);
    auto* send = button(text::kTesterSend, &CTesterDlg::SendCommand);
    send->setDefault(true);
    grid->addWidget(send, 1, 2);
    grid->addWidget(new QLabel(Text(text::kTesterAnswers), this), 2, 0, 1, 3);
    grid->addWidget(m_answers, 3, 0, 1, 3);
    grid->addWidget(button(text::kTesterConfig, &CTesterDlg::ReadConfiguration), 4, 0);
    grid->addWidget(button(text::kTesterReceipt, &CTesterDlg::PrintTestReceipt), 4, 1);
    grid->addWidget(button(text::kTesterConnectPrint, &CTesterDlg::ConnectPrintDisconnect), 4, 2);
    grid->addWidget(button(text::kTesterLock, &CTesterDlg::ToggleSecondLock), 5, 0);
    auto* finish = new QPushButton(Text(text::kTesterFinish), this);
    finish->setAutoDefault(false);
    connect(finish, &QPushButton::clicked, this, &QDialog::accept);
    grid->addWidget(finish, 5, 2);
    resize(760, 460);

    m_worker = std::thread([this] { WorkerLoop(); });
}

CTesterDlg::~CTesterDlg() {
    StopWorker();
}

void CTesterDlg::done(int result) {
    StopWorker();
    QDialog::done(result);
}

void CTesterDlg::Queue(std::function<void()> task) {
    std::lock_guard lock(m_mutex);
    if (m_quit)
        return;
    m_tasks.push_back(std::move(task));
    ++m_pending;
    m_wake.notify_one();
}

void CTesterDlg::WorkerLoop() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_quit || !m_tasks.empty(); });
            if (m_tasks.empty())
                break;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
        std::lock_guard lock(m_mutex);
        --m_pending;
    }
    // The objects go on this thread too: their release is a call to the server.
    ReleaseSecond();
    if (m_veskar)
        m_veskar->Release();
    m_veskar = nullptr;
}

void CTesterDlg::StopWorker() {
    if (!m_worker.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
        m_wake.notify_one();
    }
    // The server may be this process: its loop must run while the worker finishes its calls.
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_tasks.empty() && m_pending == 0)
                break;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    // What is left is the objects' release, which the server answers at once.
    std::thread releasing = std::move(m_worker);
    while (releasing.joinable()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::unique_lock lock(m_mutex);
        if (m_tasks.empty() && m_pending == 0 && !m_veskar && !m_second) {
            lock.unlock();
            releasing.join();
        }
    }
}

bool CTesterDlg::WaitIdle(int timeoutMs) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        bool idle;
        {
            std::lock_guard lock(m_mutex);
            idle = m_pending == 0;
        }
        if (idle) {
            QCoreApplication::processEvents();  // what the last action posted
            return true;
        }
        if (waited.elapsed() > timeoutMs)
            return false;
    }
}

void CTesterDlg::Tell(const QString& message) {
    QMetaObject::invokeMethod(
        this,
        [this, message] {
            m_messages << message;
            auto* box = new QMessageBox(QMessageBox::Information, windowTitle(), message,
                                        QMessageBox::Ok, this);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setObjectName("testerMessage");
            box->open();
        },
        Qt::QueuedConnection);
}

void CTesterDlg::Append(const QString& text) {
    QMetaObject::invokeMethod(
        this,
        [this, text] {
            m_answers->moveCursor(QTextCursor::End);
            m_answers->insertPlainText(text + "\n");
        },
        Qt::QueuedConnection);
}

bool CTesterDlg::Check(HRESULT hr, IVeskar* object) {
    if (SUCCEEDED(hr))
        return true;
    QString description = HResultText(hr);
    BSTR message;
    if (object && hr != RPC_E_DISCONNECTED && object->GetLastErrorMessage(&message) == S_OK &&
        !message.empty())
        description += " " + FromBstr(message);
    Tell(FormatText(text::kTesterCallError, description.toUtf8().constData()));
    return false;
}

HRESULT CTesterDlg::CreateObject(const QString& server, IVeskar** object) {
    *object = nullptr;
    IDispatch* dispatch = nullptr;
    const std::string clsid = GuidToString(typelib::CLSID_Veskar);
    HRESULT hr = CEnterPortDlg::IsLocal(server)
                     ? CreateInstance(clsid, &dispatch)
                     : CreateInstanceEx(clsid, server.toStdString(), &dispatch);
    if (FAILED(hr)) {
        QString why = HResultText(hr);
        if (!ActivationError().empty())
            why += " " + QString::fromStdString(ActivationError());
        Tell(FormatText(text::kTesterCreateFailed, why.toUtf8().constData()));
        return hr;
    }
    hr = QueryVeskar(dispatch, object);
    dispatch->Release();
    if (FAILED(hr))
        Tell(FormatText(text::kTesterServerError, HResultText(hr).toUtf8().constData()));
    return hr;
}

void CTesterDlg::OnConnect() {
    CEnterPortDlg ask(m_server, m_lastPort, this);
    if (ask.exec() != QDialog::Accepted)
        return;
    m_server = ask.Server();
    Connect(ask.Server(), ask.Port());
}

void CTesterDlg::Connect(const QString& server, int port) {
    Queue([this, server, port] {
        if (m_veskar)
            m_veskar->Release();
        m_veskar = nullptr;
        IVeskar* object = nullptr;
        if (FAILED(CreateObject(server, &object)))
            return;
        m_lastPort = port;
        m_lastServer = server;
        HRESULT hr = object->Init(port, kTestCashier, kTestPassword, 0, kCallerName);
        if (FAILED(hr)) {
            BSTR message;
            QString why = HResultText(hr);
            if (object->GetLastErrorMessage(&message) == S_OK && !message.empty())
                why += " " + FromBstr(message);
            Tell(FormatText(text::kTesterInitFailed, why.toUtf8().constData()));
            object->Release();
            return;
        }
        m_veskar = object;
    });
}

void CTesterDlg::ShowPortNumber() {
    Queue([this] {
        if (!m_veskar)
            return Tell(Text(text::kTesterNotConnected));
        LONG port = 0;
        if (Check(m_veskar->GetPortNumber(&port), m_veskar))
            Tell(FormatText(text::kTesterPortIs, long(port)));
    });
}

void CTesterDlg::Disconnect() {
    Queue([this] {
        if (m_veskar)
            m_veskar->Release();
        m_veskar = nullptr;
    });
}

void CTesterDlg::SendCommand() {
    const QString command = m_command->text().left(kCommandLimit);
    Queue([this, command] {
        if (!m_veskar)
            return Tell(Text(text::kTesterNotConnected));
        if (m_veskar->LockPrinter(kLockWaitMs) != S_OK)
            return Tell(Text(text::kTesterLockFailed));
        if (m_veskar->LowSendMessageToPrinter(ToBstr(command)) != S_OK) {
            Tell(Text(text::kTesterSendFailed));
        } else {
            for (int n = 0; n < kMaxMessagesPerExchange; ++n) {
                BSTR reply;
                HRESULT hr = m_veskar->LowGetNextPendingPrinterMessage(kMessageWaitMs, &reply);
                if (FAILED(hr)) {
                    reply.clear();
                    Tell(FormatText(text::kTesterReadFailed, HResultText(hr).toUtf8().constData()));
                }
                if (!reply.empty())
                    Append(FromBstr(reply));
                if (reply.empty() || reply == u"READY")
                    break;
            }
        }
        Check(m_veskar->UnlockPrinter(), m_veskar);
    });
}

void CTesterDlg::ReadConfiguration() {
    Queue([this] {
        if (!m_veskar)
            return Tell(Text(text::kTesterNotConnected));
        if (m_veskar->LockPrinter(kLockWaitMs) != S_OK)
            return Tell(Text(text::kTesterLockFailed));
        BSTR xml;
        if (Check(m_veskar->GetPrinterConfigXML(1, &xml), m_veskar))
            Append(FromBstr(xml));
        Check(m_veskar->UnlockPrinter(), m_veskar);
    });
}

bool CTesterDlg::SellTestReceipt(IVeskar* object, const std::u16string& goods) {
    LONG sum = 0, total = 0;
    if (!Check(object->OpenCheck(u"1"), object))
        return false;
    if (!Check(object->FiscalLineEx(goods, 1000, 100, 0, 1, 0, 0, 0, u"", 0, &sum), object) ||
        !Check(object->CloseCheckEx(sum, 0, 0, 0, &total), object)) {
        object->AbortCheck();  // nothing is left open on the register
        return false;
    }
    return true;
}

void CTesterDlg::PrintTestReceipt() {
    Queue([this] {
        if (!m_veskar)
            return Tell(Text(text::kTesterNotConnected));
        if (m_veskar->LockPrinter(kLockWaitMs) != S_OK)
            return Tell(Text(text::kTesterLockFailed));
        SellTestReceipt(m_veskar, u"Тестовий товар");
        Check(m_veskar->UnlockPrinter(), m_veskar);
    });
}

void CTesterDlg::ConnectPrintDisconnect() {
    Queue([this] {
        IVeskar* object = nullptr;
        if (FAILED(CreateObject("localhost", &object)))
            return;
        if (Check(object->Init(m_lastPort, kTestCashier, kTestPassword, 0, kCallerName), object)) {
            if (object->LockPrinter(kLockWaitMs) != S_OK) {
                Tell(Text(text::kTesterLockFailed));
            } else {
                SellTestReceipt(object, u"Тест з'єднання");
                Check(object->UnlockPrinter(), object);
            }
        }
        object->Release();
    });
}

void CTesterDlg::ReleaseSecond() {
    if (!m_second)
        return;
    m_second->UnlockPrinter();
    m_second->Release();
    m_second = nullptr;
}

void CTesterDlg::ToggleSecondLock() {
    Queue([this, server = m_server] {
        if (m_second) {
            ReleaseSecond();
            return Tell(Text(text::kTesterLockReleased));
        }
        IVeskar* object = nullptr;
        if (FAILED(CreateObject(m_lastServer.isEmpty() ? server : m_lastServer, &object)))
            return;
        if (!Check(object->Init(m_lastPort, kTestCashier, kTestPassword, 0, kCallerName), object) ||
            object->LockPrinter(kLockWaitMs) != S_OK) {
            object->Release();
            return Tell(Text(text::kTesterLockFailed));
        }
        m_second = object;
        Tell(Text(text::kTesterLockHeld));
    });
}

}  // namespace vsk::ui
