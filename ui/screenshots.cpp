// Draws every operator window with sample contents into PNG files, for the documentation:
//   vsk-ui-screenshots FOLDER      (run under a display, e.g. xvfb-run)
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTimer>

#include <cstdio>

#include "engine/printer_info.h"
#include "ui/about_dlg.h"
#include "ui/connect_printer_dlg.h"
#include "ui/enter_port_dlg.h"
#include "ui/prn_info_dlg.h"
#include "ui/status_dialog.h"
#include "ui/tester_dlg.h"
#include "ui/ui_text.h"
#include "ui/vskmanager_dlg.h"

using namespace vsk::ui;

namespace {

QString g_folder;
int g_failures = 0;

void Save(QWidget* window, const char* name) {
    window->show();
    window->raise();
    for (int i = 0; i < 10; ++i)
        QApplication::processEvents();
    const QString path = g_folder + "/" + name + ".png";
    if (!window->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        ++g_failures;
    }
    window->hide();
}

std::string Ansi(const char* utf8) {
    return ToAnsi(QString::fromUtf8(utf8));
}

CPrinterInfo SampleInfo() {
    CPrinterInfo info;
    info.m_szSerialNumber = "4401234567";
    info.m_szFiscalNumber = "3000123456";
    info.m_szOwner = Ansi("ТОВ \"Пекарня на Подолі\"");
    info.m_szDate = "03/14/24";
    info.m_szTime = "09:41:07";
    info.m_szCurrencyName = Ansi("грн");
    info.m_nDecPointPosition = 2;
    info.m_szCurrencyDate = "01/01/24";
    info.m_lMaxArticles = 9999;
    info.m_szFirmwareVersion = "4.12";
    info.m_szFirmwareDate = "11/20/23";
    info.m_cKeyPosition = 'R';
    info.m_Taxes[0] = {"01/01/24", '0', "2000", "20.00"};
    info.m_Taxes[1] = {"01/01/24", '0', "0700", "7.00"};
    info.m_Taxes[2] = {"01/01/24", '1', "0500", "5.00"};
    info.m_Taxes[3] = {"01/01/24", '2', "1800", "18.00"};
    return info;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fputs("usage: vsk-ui-screenshots FOLDER\n", stderr);
        return 2;
    }
    g_folder = QString::fromLocal8Bit(argv[1]);
    QApplication::setQuitOnLastWindowClosed(false);

    CStatisticsDlg::Rows rows = {
        {"COM1", "4401234567", Ansi("Каса 1 (торгівля)")},
        {"", "", Ansi("Бухгалтерія")},
        {"COM3 LOCKED", "4409876543", Ansi("Каса 2")},
    };
    CVSKManagerDlg main([&] { return rows; }, false);
    Save(&main, "main-connections");
    main.Tabs()->setCurrentIndex(1);
    Save(&main, "main-options");
    main.Tabs()->setCurrentIndex(0);

    QMenu tray;
    main.BuildTrayMenu(&tray);
    Save(&tray, "tray-menu");

    CAboutDlg about(&main);
    Save(&about, "about");

    CStatusDialog status;
    status.ShowTexts(Text(vsk::text::kStatusPrintingReceipt), QString::fromUtf8("Хліб житній"),
                     "12.05");
    Save(&status, "status");

    const CPrinterInfo info = SampleInfo();
    CPrnInfoDlg prnInfo(&info, &main);
    Save(&prnInfo, "printer-info");

    CConnectPrinterDlg connect("", QString::fromUtf8("Анна"), "0000000000", 1, &main,
                               {"COM1", "COM3", "/dev/ttyUSB0"});
    Save(&connect, "connect-printer");

    CEnterPortDlg enterPort("\\\\localhost", 1, &main);
    Save(&enterPort, "enter-port");

    CTesterDlg tester(&main);
    tester.CommandEdit()->setText("CONF");
    tester.Answers()->setPlainText("CONF4401234567...\nREADY\n");
    Save(&tester, "tester");

    return g_failures ? 1 : 0;
}
