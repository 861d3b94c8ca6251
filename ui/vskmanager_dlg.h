// CVSKManagerDlg: the server's one top-level window, hidden and reached through the tray icon:
// the Connections and Options pages, About, the built-in test client, and the end of the
// server when no automation proxy holds it.
#pragma once

#include <QWidget>

#include <functional>

#include "ui/statistics_dlg.h"

class QMenu;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;

namespace vsk::ui {

class CPreferencesDlg;

class CVSKManagerDlg : public QWidget {
    Q_OBJECT
public:
    CVSKManagerDlg(std::function<CStatisticsDlg::Rows()> fillRows, bool startedByAutomation,
                   QWidget* parent = nullptr);
    ~CVSKManagerDlg() override;

    // The automation proxy's side tells whether a proxy object lives: while one does, closing
    // only hides the window. Either a flag the proxy sets and clears, or a question asked at
    // each close (the question wins when both are given).
    void SetProxyLinked(bool linked) { m_proxyLinked = linked; }
    void SetProxyCheck(std::function<bool()> check) { m_proxyCheck = std::move(check); }
    bool ProxyLinked() const { return m_proxyCheck ? m_proxyCheck() : m_proxyLinked; }
    // What ends the server when the close rule lets the window go.
    void SetOnEnd(std::function<void()> onEnd) { m_onEnd = std::move(onEnd); }
    // A server started for a client becomes the operator's when it stays after its last
    // client (an operator's window was open): from then on its tray menu offers the exit.
    void SetStartedByAutomation(bool started) { m_startedByAutomation = started; }
    bool StartedByAutomation() const { return m_startedByAutomation; }

    // Commands of the window and the tray menu.
    void ShowWindow();
    void HideWindow();
    void About();
    void Exit();
    void RunTester();

    // Refills `menu` the way the tray shows it.
    void BuildTrayMenu(QMenu* menu);
    QSystemTrayIcon* TrayIcon() const { return m_tray; }
    QTabWidget* Tabs() const { return m_tabs; }
    CStatisticsDlg* Connections() const { return m_connections; }
    CPreferencesDlg* Options() const { return m_options; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateTrayIcon();

    bool m_startedByAutomation;
    bool m_proxyLinked = false;
    std::function<bool()> m_proxyCheck;
    std::function<void()> m_onEnd;
    QTabWidget* m_tabs;
    CStatisticsDlg* m_connections;
    CPreferencesDlg* m_options;
    QSystemTrayIcon* m_tray = nullptr;
    QMenu* m_trayMenu = nullptr;
    QTimer* m_refresh;
};

}  // namespace vsk::ui
