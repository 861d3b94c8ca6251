#include "ui/windowed_server.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/log.h"

namespace vsk::ui {

CQtServerLoop::CQtServerLoop(CServerSession& session, QObject* parent)
    : QObject(parent),
      m_session(session),
      m_epoll(epoll_create1(EPOLL_CLOEXEC)),
      m_due(new QTimer(this)) {
    m_due->setSingleShot(true);
    connect(m_due, &QTimer::timeout, this, &CQtServerLoop::Pass);
    if (m_epoll >= 0) {
        m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &CQtServerLoop::Pass);
    }
}

CQtServerLoop::~CQtServerLoop() {
    if (m_epoll >= 0)
        close(m_epoll);
}

void CQtServerLoop::Start() {
    Watch();
}

void CQtServerLoop::Pass() {
    if (!m_session.Ended())
        m_session.RunOnce(0);
    if (m_session.Ended()) {
        m_due->stop();
        emit Ended();
        return;
    }
    Watch();
}

void CQtServerLoop::Watch() {
    std::vector<pollfd> watch;
    int dueMs = m_session.WatchSet(&watch);
    std::map<int, uint32_t> next;
    for (const pollfd& p : watch) {
        uint32_t events =
            ((p.events & POLLIN) ? EPOLLIN : 0u) | ((p.events & POLLOUT) ? EPOLLOUT : 0u);
        next[p.fd] |= events;
    }
    for (const auto& [fd, events] : m_watched)
        if (!next.count(fd))
            epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);  // may be closed already
    for (const auto& [fd, events] : next) {
        epoll_event e{};
        e.events = events;
        e.data.fd = fd;
        auto it = m_watched.find(fd);
        // A descriptor number may have been closed and reused since the last pass.
        if (it == m_watched.end() || epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &e) != 0)
            if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &e) != 0 && errno == EEXIST)
                epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &e);
    }
    m_watched = std::move(next);
    if (m_epoll < 0 && (dueMs < 0 || dueMs > 50))
        dueMs = 50;  // no epoll: look regularly rather than never
    if (dueMs >= 0)
        m_due->start(dueMs);
    else
        m_due->stop();
}

CWindowedServer::CWindowedServer(const ServerCommandLine& cl, int signalFd)
    : m_session(std::make_unique<CServerSession>(cl, signalFd, &m_ui)) {
    m_session->SetProxyHost(&m_proxies);
}

CWindowedServer::~CWindowedServer() {
    Finish();
    m_loop.reset();
    // The engines close their ports with the session; the window goes after them, so that a
    // status window still open is deleted with its owner.
    m_session.reset();
    m_ui.SetMainWindow(nullptr);
    m_window.reset();
}

bool CWindowedServer::Start(std::string* error) {
    if (!m_session->Start(error))
        return false;
    CServerSession& session = *m_session;
    m_window = std::make_unique<CVSKManagerDlg>(
        [&session] {
            CStatisticsDlg::Rows rows;
            session.Ports().FillConnectionsList(rows);
            return rows;
        },
        session.StartedByAutomation());
    m_ui.SetMainWindow(m_window.get());
    m_window->SetProxyCheck([this] { return ProxyLinked(); });
    // The operator's Exit ends the server; whatever a register is doing is cut short.
    m_window->SetOnEnd([this] {
        m_session->Stop();
        m_loop->Pass();
    });
    // The last client of a server started for it does not end it under an open modal window:
    // the operator is in the middle of something, and owns the server from then on.
    session.SetMayEnd([this] {
        const bool mayEnd = QApplication::activeModalWidget() == nullptr;
        if (!mayEnd)
            m_window->SetStartedByAutomation(false);
        return mayEnd;
    });
    m_loop = std::make_unique<CQtServerLoop>(session);
    m_loop->Start();
    // The window itself stays hidden: the operator opens it from the tray.
    return true;
}

void CWindowedServer::Finish() {
    m_ui.Shutdown();
    if (m_session && !m_session->Ended())
        m_session->Stop();
}

int RunWindowedServer(const ServerCommandLine& cl, int signalFd) {
    int argc = 1;
    char name[] = "vskmanager";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName("vskmanager");
    QApplication::setApplicationVersion(QString(VSK_VERSION));
    CWindowedServer server(cl, signalFd);
    std::string error;
    if (!server.Start(&error)) {
        LogLine(LogPriority::Error, error);
        return 1;
    }
    QObject::connect(&server.Loop(), &CQtServerLoop::Ended, &app, &QApplication::quit);
    // Ended may have come from a pass that ran before the connection was made.
    if (server.Session().Ended())
        return 0;
    app.exec();
    server.Finish();
    return 0;
}

}  // namespace vsk::ui
