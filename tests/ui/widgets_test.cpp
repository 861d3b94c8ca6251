// The operator windows on their own: what each shows and what it refuses.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimerEvent>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "engine/printer_info.h"
#include "link/settings.h"
#include "platform/registry.h"
#include "ui/about_dlg.h"
#include "ui/auto_size_list_ctrl.h"
#include "ui/cj_hyper_link.h"
#include "ui/connect_printer_dlg.h"
#include "ui/preferences_dlg.h"
#include "ui/prn_info_dlg.h"
#include "ui/status_dialog.h"
#include "ui/ui_text.h"
#include "ui/vskmanager_dlg.h"

namespace {

using namespace vsk;
using namespace vsk::ui;

// Settings in a registry of the test's own.
class UiTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vsk-ui-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        setenv("VSK_REGISTRY_DIR", (m_dir + "/registry").c_str(), 1);
    }
    void TearDown() override {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox*>(w))
                w->deleteLater();
        QApplication::processEvents();
        std::filesystem::remove_all(m_dir);
    }
    static QMessageBox* OpenBox(const char* name) {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w);
                box && box->isVisible() && box->objectName() == name)
                return box;
        return nullptr;
    }
    std::string m_dir;
};

void Tick(CPrnInfoDlg& dlg) {
    QTimerEvent tick(dlg.TimerId());
    QApplication::sendEvent(&dlg, &tick);
    QApplication::processEvents();
}

TEST_F(UiTest, PrinterInfoClosesOnTheTenthTickShowingTenFirst) {
    CPrnInfoDlg dlg(nullptr);
    dlg.open();
    ASSERT_NE(dlg.TimerId(), 0);
    EXPECT_TRUE(dlg.CountdownButton()->text().contains("10"));
    Tick(dlg);
    EXPECT_TRUE(dlg.CountdownButton()->text().contains("10"));
    for (int i = 2; i <= 9; ++i)
        Tick(dlg);
    EXPECT_TRUE(dlg.isVisible()) << "closed before the tenth tick";
    EXPECT_TRUE(dlg.CountdownButton()->text().contains(" 2 "));
    Tick(dlg);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.TimerId(), 0);
}

TEST_F(UiTest, PrinterInfoStaysOnceTheCountdownIsClicked) {
    CPrnInfoDlg dlg(nullptr);
    dlg.open();
    const int timer = dlg.TimerId();
    Tick(dlg);
    QTest::mouseClick(dlg.CountdownButton(), Qt::LeftButton);
    EXPECT_EQ(dlg.TimerId(), 0);
    EXPECT_FALSE(dlg.CountdownButton()->isVisible());
    for (int i = 0; i < 12; ++i) {
        QTimerEvent tick(timer);
        QApplication::sendEvent(&dlg, &tick);
    }
    QApplication::processEvents();
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(UiTest, KeyPositionsAndTaxKindsHaveTheirTexts) {
    const std::pair<char, unsigned> keys[] = {
        {'P', text::kKeyProgramming}, {'R', text::kKeyRegistration}, {'X', text::kKeyXReport},
        {'Z', text::kKeyZReport},     {'Q', text::kKeyOff},          {0, text::kKeyOff}};
    for (auto [letter, id] : keys)
        EXPECT_EQ(CPrnInfoDlg::KeyPositionText(letter), Text(id)) << int(letter);
    const std::pair<char, unsigned> kinds[] = {{'0', text::kTaxKindIncluded},
                                               {'1', text::kTaxKindOnSale},
                                               {'2', text::kTaxKindProfit},
                                               {'3', text::kInfoNotSet},
                                               {0, text::kInfoNotSet}};
    for (auto [kind, id] : kinds)
        EXPECT_EQ(CPrnInfoDlg::TaxKindText(kind), Text(id)) << int(kind);
}

TEST_F(UiTest, PrinterInfoListsTheRecordWithKeyLastAndEightTaxes) {
    CPrinterInfo info;
    info.m_szSerialNumber = "4401234567";
    info.m_szOwner = "\xc2\xe5\xf1\xea\xe0\xf0";  // "Вескар" in Windows-1251
    info.m_szDate = "12/06/26";
    info.m_cKeyPosition = 'R';
    info.m_nDecPointPosition = 2;
    info.m_Taxes[0] = {"01/02/24", '1', "2000", "20.00"};
    info.m_Taxes[1] = {"", '9', "", ""};
    CPrnInfoDlg dlg(&info);
    ASSERT_EQ(dlg.Fields()->topLevelItemCount(), 12);
    EXPECT_EQ(dlg.Fields()->topLevelItem(0)->text(1), "4401234567");
    EXPECT_EQ(dlg.Fields()->topLevelItem(2)->text(1), QString::fromUtf8("Вескар"));
    EXPECT_EQ(dlg.Fields()->topLevelItem(3)->text(1), "06.12.2026");  // as the register prints
    EXPECT_EQ(dlg.Fields()->topLevelItem(6)->text(1), "2");
    EXPECT_EQ(dlg.Fields()->topLevelItem(11)->text(0), Text(text::kInfoKeyPosition));
    EXPECT_EQ(dlg.Fields()->topLevelItem(11)->text(1), Text(text::kKeyRegistration));
    ASSERT_EQ(dlg.Taxes()->topLevelItemCount(), 8);
    EXPECT_EQ(dlg.Taxes()->topLevelItem(0)->text(0), QString::fromUtf8("А"));
    EXPECT_EQ(dlg.Taxes()->topLevelItem(7)->text(0), QString::fromUtf8("З"));
    EXPECT_EQ(dlg.Taxes()->topLevelItem(0)->text(1), Text(text::kTaxKindOnSale));
    EXPECT_EQ(dlg.Taxes()->topLevelItem(0)->text(2), "20.00");
    EXPECT_EQ(dlg.Taxes()->topLevelItem(0)->text(3), "02.01.2024");
    EXPECT_EQ(dlg.Taxes()->topLevelItem(1)->text(3), "");
    EXPECT_EQ(dlg.Taxes()->topLevelItem(1)->text(1), Text(text::kInfoNotSet));
}

TEST_F(UiTest, ColumnsFitTheLongestTextInAverageCharacters) {
    CAutoSizeListCtrl list;
    list.setHeaderLabels({"A", "Header text longer than its values"});
    list.AddRow({QString(20, 'x'), "y"});
    const int wanted = 20 * list.CharWidth() * 3 / 2;
    EXPECT_GE(list.columnWidth(0), wanted);
    EXPECT_LT(list.columnWidth(0), wanted + list.CharWidth());
    EXPECT_GE(list.columnWidth(1),
              QFontMetrics(list.font()).horizontalAdvance("Header text longer than its values"));
    list.clear();
    EXPECT_LT(list.columnWidth(0), wanted) << "rows gone, the column shrinks to its header";
}

TEST_F(UiTest, StoredDayCountsOutsideTheRangeShowThree) {
    for (uint32_t stored : {0u, 5000u}) {
        ASSERT_TRUE(WriteConfigInt(kCurrentConfig, kKeepLogFiles, stored));
        CPreferencesDlg page;
        EXPECT_EQ(page.KeepLogFiles()->text(), "3") << stored;
    }
    ASSERT_TRUE(WriteConfigInt(kCurrentConfig, kKeepLogFiles, 4096));
    EXPECT_EQ(CPreferencesDlg().KeepLogFiles()->text(), "4096");
}

TEST_F(UiTest, ApplyRefusesDayCountsOutsideTwoTo4096AndWritesNothing) {
    ASSERT_TRUE(WriteConfigInt(kCurrentConfig, kKeepLogFiles, 7));
    CPreferencesDlg page;
    page.show();
    page.SaveToLog()->setChecked(true);
    page.TrayIcon()->setChecked(false);
    for (const char* refused : {"1", "4097", ""}) {
        page.KeepLogFiles()->setText(refused);
        EXPECT_FALSE(page.Apply()) << refused;
        QMessageBox* box = OpenBox("rangeMessage");
        ASSERT_NE(box, nullptr) << refused;
        EXPECT_TRUE(box->text().contains("4096"));
        box->close();
        EXPECT_EQ(GetConfigInt(kCurrentConfig, kKeepLogFiles, 3), 7u);
        EXPECT_EQ(GetConfigInt(kCurrentConfig, kSaveToLog, 0), 0u);
        EXPECT_EQ(GetConfigInt(kCurrentConfig, kShowSystemTrayIcon, 1), 1u);
    }
    page.KeepLogFiles()->setText("2");
    EXPECT_TRUE(page.Apply());
    EXPECT_EQ(OpenBox("rangeMessage"), nullptr);
    EXPECT_EQ(GetConfigInt(kCurrentConfig, kKeepLogFiles, 3), 2u);
    EXPECT_EQ(GetConfigInt(kCurrentConfig, kSaveToLog, 0), 1u);
    EXPECT_EQ(GetConfigInt(kCurrentConfig, kShowSystemTrayIcon, 1), 0u);
}

TEST_F(UiTest, DayCountIsEditableOnlyWhileJournalingIsChecked) {
    ASSERT_TRUE(WriteConfigInt(kCurrentConfig, kSaveToLog, 0));
    CPreferencesDlg page;
    page.show();
    EXPECT_FALSE(page.KeepLogFiles()->isEnabled());
    QTest::mouseClick(page.SaveToLog(), Qt::LeftButton);
    EXPECT_TRUE(page.KeepLogFiles()->isEnabled());
    QTest::mouseClick(page.SaveToLog(), Qt::LeftButton);
    EXPECT_FALSE(page.KeepLogFiles()->isEnabled());
    ASSERT_TRUE(WriteConfigInt(kCurrentConfig, kSaveToLog, 1));
    EXPECT_TRUE(CPreferencesDlg().KeepLogFiles()->isEnabled());
}

TEST_F(UiTest, CloseEndsTheServerOnlyWithoutALiveProxy) {
    CVSKManagerDlg dlg({}, false);
    int ends = 0;
    dlg.SetOnEnd([&] { ++ends; });
    dlg.ShowWindow();
    dlg.SetProxyLinked(true);
    dlg.Exit();
    EXPECT_EQ(ends, 0);
    EXPECT_FALSE(dlg.isVisible()) << "with a proxy the window only hides";

    bool proxyAlive = true;
    dlg.SetProxyLinked(false);
    dlg.SetProxyCheck([&] { return proxyAlive; });
    dlg.ShowWindow();
    dlg.close();
    EXPECT_EQ(ends, 0);
    proxyAlive = false;
    dlg.ShowWindow();
    dlg.Exit();
    EXPECT_EQ(ends, 1);
}

QStringList MenuTexts(CVSKManagerDlg& dlg) {
    QMenu menu;
    dlg.BuildTrayMenu(&menu);
    dlg.BuildTrayMenu(&menu);  // built afresh, not appended
    QStringList texts;
    for (QAction* a : menu.actions())
        texts << (a->isSeparator() ? "-" : a->text());
    return texts;
}

TEST_F(UiTest, TrayMenuOffersExitOnlyToAServerTheOperatorStarted) {
    CVSKManagerDlg byOperator({}, false);
    EXPECT_EQ(MenuTexts(byOperator),
              QStringList({Text(text::kMenuControl), Text(text::kMenuAboutShort), "-",
                           Text(text::kMenuExit)}));
    CVSKManagerDlg byClient({}, true);
    EXPECT_EQ(MenuTexts(byClient),
              QStringList({Text(text::kMenuControl), Text(text::kMenuAboutShort)}));
    byClient.SetStartedByAutomation(false);
    EXPECT_TRUE(MenuTexts(byClient).contains(Text(text::kMenuExit)));
}

TEST_F(UiTest, TrayIconIsOptionalOnlyForAServerStartedByAClient) {
    ASSERT_TRUE(WriteConfigInt(kCurrentConfig, kShowSystemTrayIcon, 0));
    EXPECT_EQ(CVSKManagerDlg({}, true).TrayIcon(), nullptr);
    EXPECT_NE(CVSKManagerDlg({}, false).TrayIcon(), nullptr);
    ASSERT_TRUE(WriteConfigInt(kCurrentConfig, kShowSystemTrayIcon, 1));
    CVSKManagerDlg byClient({}, true);
    ASSERT_NE(byClient.TrayIcon(), nullptr);
    EXPECT_EQ(byClient.TrayIcon()->toolTip(), Text(text::kAppTitle));
}

TEST_F(UiTest, ConnectionsPageListsEveryClientOfEveryPort) {
    CStatisticsDlg::Rows rows = {{"COM3 LOCKED", "4401234567", "Till"}, {"", "", "Back office"}};
    CVSKManagerDlg dlg([&] { return rows; }, false);
    CAutoSizeListCtrl* list = dlg.Connections()->List();
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->topLevelItem(0)->text(0), "COM3 LOCKED");
    EXPECT_EQ(list->topLevelItem(1)->text(2), "Back office");
    rows.pop_back();
    dlg.Connections()->Refresh();
    EXPECT_EQ(list->topLevelItemCount(), 1);
}

TEST_F(UiTest, StatusWindowHidesTheControlsWithoutText) {
    CStatusDialog status;
    status.ShowMessage(text::kStatusPrintingXReport);
    EXPECT_TRUE(status.isVisible());
    EXPECT_EQ(status.TitleLabel()->text(), Text(text::kStatusPrintingXReport));
    EXPECT_FALSE(status.TitleLabel()->isHidden());
    EXPECT_TRUE(status.GoodsLabel()->isHidden());
    EXPECT_TRUE(status.AmountLabel()->isHidden());
    status.ShowTexts("Title", "Bread", "");
    EXPECT_FALSE(status.TitleLabel()->isHidden());
    EXPECT_FALSE(status.GoodsLabel()->isHidden());
    EXPECT_TRUE(status.AmountLabel()->isHidden());
    status.ShowTexts("Title", "Bread", "12.05");
    EXPECT_FALSE(status.AmountLabel()->isHidden());
    EXPECT_EQ(status.AmountLabel()->text(), "12.05");
}

TEST_F(UiTest, ConnectionDialogLimitsFollowTheProtocolFamily) {
    for (auto [family, limit] : {std::pair{1, 9}, std::pair{0, 4}}) {
        CConnectPrinterDlg dlg("", "Oleksandra", "01234567890123", family, nullptr,
                               {"COM5", "/dev/ttyUSB0"});
        EXPECT_EQ(dlg.CashierEdit()->maxLength(), limit);
        EXPECT_EQ(dlg.Cashier(), QString("Oleksandra").left(limit));
        EXPECT_EQ(dlg.PasswordEdit()->maxLength(), 10);
        EXPECT_EQ(dlg.Password(), "0123456789");
        EXPECT_EQ(dlg.PasswordEdit()->echoMode(), QLineEdit::Password);
        EXPECT_TRUE(dlg.PortBox()->isEnabled());
        EXPECT_EQ(dlg.PortBox()->count(), 2);
        EXPECT_EQ(dlg.Port(), "COM5");
    }
    CConnectPrinterDlg given("COM2", "", "", 1, nullptr, {"COM5"});
    EXPECT_FALSE(given.PortBox()->isEnabled());
    EXPECT_EQ(given.PortBox()->count(), 1);
    EXPECT_EQ(given.Port(), "COM2");
}

TEST_F(UiTest, PortListOffersTheMappedPorts) {
    ASSERT_TRUE(RegistryStore().SetValue(Hive::CurrentUser, std::string(kSettingsRoot) + "Ports",
                                         "COM12", std::string("/dev/null")));
    EXPECT_TRUE(SerialPortNames().contains("COM12"));
}

TEST_F(UiTest, AboutShowsTheVersionAsFourNumbers) {
    EXPECT_TRUE(QRegularExpression("^\\d+,\\d+,\\d+,\\d+$").match(FileVersion()).hasMatch())
        << FileVersion().toStdString();
    CAboutDlg about;
    auto* version = about.findChild<QLabel*>("version");
    ASSERT_NE(version, nullptr);
    EXPECT_TRUE(version->text().endsWith(FileVersion()));
}

// Each link shows its text and names its target as the string table has them; a click or a key
// hands exactly that address to the desktop.
TEST_F(UiTest, AboutLinksOpenTheTargetsOfTheStringTable) {
    std::vector<std::string> opened;
    struct Restore {
        CCJHyperLink::Opener desktop;
        ~Restore() { CCJHyperLink::SetOpener(std::move(desktop)); }
    } restore{CCJHyperLink::SetOpener([&](const QUrl& url) {
        opened.push_back(url.toString().toStdString());
        return true;
    })};
    CAboutDlg about;
    about.show();
    about.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&about));
    // Enter still closes the box: the focus starts on OK, not on a link.
    EXPECT_EQ(about.focusWidget(),
              about.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok));
    const auto links = about.findChildren<CCJHyperLink*>();
    const std::pair<text::Id, text::Id> rows[] = {{text::kLinkReadme, text::kLinkReadmeTarget},
                                                  {text::kLinkProtocol, text::kLinkProtocolTarget},
                                                  {text::kLinkManual, text::kLinkManualTarget}};
    ASSERT_EQ(links.size(), qsizetype(std::size(rows)));
    std::vector<std::string> targets;
    for (size_t i = 0; i < std::size(rows); ++i) {
        const QUrl& target = links[i]->Target();
        const QUrl given(Text(rows[i].second));
        targets.push_back(target.toString().toStdString());
        EXPECT_EQ(links[i]->text(), Text(rows[i].first));
        if (given.isRelative()) {  // a file of the installed documentation
            EXPECT_TRUE(target.isLocalFile() && QDir::isAbsolutePath(target.toLocalFile()))
                << targets.back();
            EXPECT_EQ(target.fileName(), given.path());
        } else {
            EXPECT_EQ(targets.back(), given.toString().toStdString());
        }
    }
    QTest::mouseClick(links[0], Qt::LeftButton);
    QTest::keyClick(links[2], Qt::Key_Space);
    EXPECT_EQ(opened, (std::vector<std::string>{targets[0], targets[2]}));
}

}  // namespace
