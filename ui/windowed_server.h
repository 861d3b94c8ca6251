// The windowed face of the server: the automation loop of a CServerSession driven from the Qt
// event loop, the operator window and the windowed operator seam, in one process.
#pragma once

#include <QObject>

#include <atomic>
#include <map>
#include <memory>
#include <vector>

#include "server/manager_proxy.h"
#include "server/server_app.h"
#include "ui/qt_operator_ui.h"
#include "ui/vskmanager_dlg.h"

class QSocketNotifier;
class QTimer;

namespace vsk::ui {

// Runs the session whenever one of its descriptors is ready or its time is due. The session's
// descriptors are gathered in one epoll set that Qt watches: the set changes with every pass
// (connections come and go, a busy connection is not read), and a descriptor watched for no
// event still reports its hang-up, as it does in the headless loop.
class CQtServerLoop : public QObject {
    Q_OBJECT
public:
    explicit CQtServerLoop(CServerSession& session, QObject* parent = nullptr);
    ~CQtServerLoop() override;
    void Start();
    // Serves what is ready; emits Ended once the session has ended.
    void Pass();

signals:
    void Ended();

private:
    void Watch();

    CServerSession& m_session;
    int m_epoll;
    std::map<int, uint32_t> m_watched;
    QSocketNotifier* m_notifier = nullptr;
    QTimer* m_due;
};

// The server with its window, for a QApplication that already exists.
class CWindowedServer {
public:
    CWindowedServer(const ServerCommandLine& cl, int signalFd);
    ~CWindowedServer();
    bool Start(std::string* error);
    // Ends what is still waiting for the operator; the event loop is over or ending.
    void Finish();

    CServerSession& Session() { return *m_session; }
    CVSKManagerDlg& Window() { return *m_window; }
    QtOperatorUi& OperatorUi() { return m_ui; }
    CQtServerLoop& Loop() { return *m_loop; }

    // True while a VSKManager.Application proxy of this server lives: Exit then only hides.
    bool ProxyLinked() const { return m_proxies.Count() > 0; }

private:
    // The proxies attach on the loop's thread and may detach from their own worker.
    class ProxyLink final : public IProxyHost {
    public:
        void AttachProxy(CVSKManagerDlgAutoProxy*) override { ++m_count; }
        void DetachProxy(CVSKManagerDlgAutoProxy*) override { --m_count; }
        int Count() const { return m_count.load(); }

    private:
        std::atomic<int> m_count{0};
    };

    QtOperatorUi m_ui;    // outlives the engines, which hold it
    ProxyLink m_proxies;  // outlives the session's proxies
    std::unique_ptr<CServerSession> m_session;
    std::unique_ptr<CVSKManagerDlg> m_window;
    std::unique_ptr<CQtServerLoop> m_loop;
};

// The whole windowed process: a QApplication, the server and its window until the server ends.
int RunWindowedServer(const ServerCommandLine& cl, int signalFd);

}  // namespace vsk::ui
