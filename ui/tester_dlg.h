// CTesterDlg: a client of the server's own automation interface, built in so that an engineer
// can try a register without a point-of-sale program: connect to a server on this computer or
// another, send raw protocol messages, read the configuration, print test receipts, hold the
// lock from a second connection.
//
// Threading: the automation calls run on the dialog's own worker thread, one at a time in the
// order the buttons were pressed, never on the GUI thread: the server may be this very process,
// whose automation loop runs on the GUI thread. Results come back to the GUI thread posted.
// Every failure is reported in a window; nothing here can end the server.
#pragma once

#include <QDialog>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "rpc/com_types.h"

class QLineEdit;
class QPlainTextEdit;

namespace vsk {
class IVeskar;
}

namespace vsk::ui {

class CTesterDlg : public QDialog {
    Q_OBJECT
public:
    explicit CTesterDlg(QWidget* parent = nullptr);
    ~CTesterDlg() override;

    // The buttons' actions; each is queued for the worker.
    void OnConnect();  // asks for server and port first
    void Connect(const QString& server, int port);
    void ShowPortNumber();
    void Disconnect();
    void SendCommand();
    void ReadConfiguration();
    void PrintTestReceipt();
    void ConnectPrintDisconnect();
    void ToggleSecondLock();

    // Tests: waits (running the event loop) until the queued actions have ended.
    bool WaitIdle(int timeoutMs);
    QLineEdit* CommandEdit() const { return m_command; }
    QPlainTextEdit* Answers() const { return m_answers; }
    // Every message shown in a window, in order.
    const QStringList& Messages() const { return m_messages; }

    static constexpr int kCommandLimit = 100;

    void done(int result) override;

private:
    void Queue(std::function<void()> task);
    void WorkerLoop();
    void StopWorker();
    // Worker side.
    bool Check(HRESULT hr, IVeskar* object = nullptr);
    void Tell(const QString& message);
    void Append(const QString& text);
    HRESULT CreateObject(const QString& server, IVeskar** object);
    bool SellTestReceipt(IVeskar* object, const std::u16string& goods);
    void ReleaseSecond();

    QLineEdit* m_command;
    QPlainTextEdit* m_answers;
    QStringList m_messages;
    QString m_server = "\\\\localhost";

    // Worker state: touched only by the worker thread.
    IVeskar* m_veskar = nullptr;
    IVeskar* m_second = nullptr;
    std::atomic<int> m_lastPort{1};  // also read by the GUI for the next connect
    QString m_lastServer;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks;
    int m_pending = 0;
    bool m_quit = false;
    std::thread m_worker;
};

}  // namespace vsk::ui
