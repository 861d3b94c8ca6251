#include "ui/vskmanager_dlg.h"

#include <QCloseEvent>
#include <QCursor>
#include <QHBoxLayout>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "link/settings.h"
#include "ui/about_dlg.h"
#include "ui/preferences_dlg.h"
#include "ui/tester_dlg.h"
#include "ui/ui_text.h"

namespace vsk::ui {

namespace {
// How often the open Connections page looks again, so clients are seen coming and going.
constexpr int kRefreshMs = 2000;
// The tray's tip holds at most this many characters.
constexpr int kTipLimit = 63;
}  // namespace

CVSKManagerDlg::CVSKManagerDlg(std::function<CStatisticsDlg::Rows()> fillRows,
                               bool startedByAutomation, QWidget* parent)
    : QWidget(parent),
      m_startedByAutomation(startedByAutomation),
      m_tabs(new QTabWidget(this)),
      m_connections(new CStatisticsDlg(std::move(fillRows), m_tabs)),
      m_options(new CPreferencesDlg(m_tabs)),
      m_refresh(new QTimer(this)) {
    setObjectName("vskManagerDlg");
    setWindowTitle(Text(text::kMainCaption));
    setWindowIcon(AppIcon());
    m_tabs->addTab(m_connections, Text(text::kColumnConnection));
    m_tabs->addTab(m_options, Text(text::kPageOptions));

    auto* hide = new QPushButton(Text(text::kButtonHide), this);
    auto* about = new QPushButton(Text(text::kMenuAboutShort), this);
    auto* tester = new QPushButton(Text(text::kButtonTest), this);
    tester->setObjectName("testButton");
    connect(hide, &QPushButton::clicked, this, &CVSKManagerDlg::HideWindow);
    connect(about, &QPushButton::clicked, this, &CVSKManagerDlg::About);
    connect(tester, &QPushButton::clicked, this, &CVSKManagerDlg::RunTester);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(tester);
    buttons->addStretch();
    buttons->addWidget(about);
    buttons->addWidget(hide);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs);
    layout->addLayout(buttons);
    resize(600, 400);

    connect(m_refresh, &QTimer::timeout, this, [this] {
        if (isVisible() && m_tabs->currentWidget() == m_connections)
            m_connections->Refresh();
    });
    m_refresh->start(kRefreshMs);

    // The icon is always there for a server the operator started; a server started for a
    // client shows it only when the operator asked for it.
    if (!m_startedByAutomation || NumberSetting(Setting::ShowSystemTrayIcon) != 0)
        CreateTrayIcon();
}

CVSKManagerDlg::~CVSKManagerDlg() {
    if (m_tray)
        m_tray->hide();
}

void CVSKManagerDlg::CreateTrayIcon() {
    m_tray = new QSystemTrayIcon(TrayIconImage(), this);
    m_tray->setToolTip(Text(text::kAppTitle).left(kTipLimit));
    m_trayMenu = new QMenu(this);
    // Built afresh each time it opens: the exit entry depends on how the server runs now.
    connect(m_trayMenu, &QMenu::aboutToShow, this, [this] { BuildTrayMenu(m_trayMenu); });
    m_tray->setContextMenu(m_trayMenu);
    connect(m_tray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    m_trayMenu->popup(QCursor::pos());
            });
    m_tray->show();
}

void CVSKManagerDlg::BuildTrayMenu(QMenu* menu) {
    menu->clear();
    menu->addAction(Text(text::kMenuControl), this, &CVSKManagerDlg::ShowWindow);
    menu->addAction(Text(text::kMenuAboutShort), this, &CVSKManagerDlg::About);
    if (!m_startedByAutomation) {
        menu->addSeparator();
        menu->addAction(Text(text::kMenuExit), this, &CVSKManagerDlg::Exit);
    }
}

void CVSKManagerDlg::ShowWindow() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    showNormal();
    if (QScreen* s = screen())
        move(s->availableGeometry().center() - rect().center());
    raise();
    activateWindow();
}

void CVSKManagerDlg::HideWindow() {
    hide();
}

void CVSKManagerDlg::About() {
    CAboutDlg about(this);
    about.exec();
}

void CVSKManagerDlg::RunTester() {
    CTesterDlg tester(this);
    tester.exec();
}

void CVSKManagerDlg::Exit() {
    close();
}

void CVSKManagerDlg::closeEvent(QCloseEvent* event) {
    // A late-bound client's proxy object needs this window: it may only hide.
    if (ProxyLinked()) {
        hide();
        event->ignore();
        return;
    }
    event->accept();
    if (m_onEnd)
        m_onEnd();
}

}  // namespace vsk::ui
