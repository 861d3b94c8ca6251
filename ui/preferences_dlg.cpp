#include "ui/preferences_dlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "link/settings.h"
#include "ui/ui_text.h"

namespace vsk::ui {

CPreferencesDlg::CPreferencesDlg(QWidget* parent)
    : QWidget(parent),
      m_saveToLog(new QCheckBox(Text(text::kOptionSaveToLog), this)),
      m_keepDays(new QLineEdit(this)),
      m_trayIcon(new QCheckBox(Text(text::kOptionTrayIcon), this)),
      m_apply(new QPushButton(Text(text::kButtonApply), this)) {
    setObjectName("preferencesDlg");
    m_keepDays->setValidator(
        new QRegularExpressionValidator(QRegularExpression("[0-9]{0,9}"), m_keepDays));
    m_keepDays->setMaximumWidth(80);
    auto* note = new QLabel(Text(text::kOptionsNote), this);
    note->setWordWrap(true);
    auto* grid = new QGridLayout(this);
    grid->addWidget(m_saveToLog, 0, 0, 1, 2);
    grid->addWidget(new QLabel(Text(text::kOptionKeepDays), this), 1, 0);
    grid->addWidget(m_keepDays, 1, 1, Qt::AlignLeft);
    grid->addWidget(m_trayIcon, 2, 0, 1, 2);
    grid->addWidget(note, 3, 0, 1, 2);
    grid->setRowStretch(4, 1);
    grid->addWidget(m_apply, 5, 1, Qt::AlignRight);
    grid->setColumnStretch(1, 1);
    connect(m_saveToLog, &QCheckBox::clicked, this, &CPreferencesDlg::UpdateKeepDaysEnabled);
    connect(m_apply, &QPushButton::clicked, this, &CPreferencesDlg::Apply);
    Load();
}

void CPreferencesDlg::Load() {
    m_saveToLog->setChecked(NumberSetting(Setting::SaveToLog) != 0);
    uint32_t days = NumberSetting(Setting::KeepLogFiles);
    if (days == 0 || days > uint32_t(kMaxDays))
        days = 3;
    m_keepDays->setText(QString::number(days));
    m_trayIcon->setChecked(NumberSetting(Setting::ShowSystemTrayIcon) != 0);
    UpdateKeepDaysEnabled();
}

bool CPreferencesDlg::Apply() {
    bool number = false;
    const int days = m_keepDays->text().toInt(&number);
    if (!number || days < kMinDays || days > kMaxDays) {
        auto* box = new QMessageBox(QMessageBox::Warning, Text(text::kAppTitle),
                                    FormatText(text::kRangeMessage, kMinDays, kMaxDays),
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setObjectName("rangeMessage");
        box->open();
        m_keepDays->setFocus();
        m_keepDays->selectAll();
        return false;
    }
    bool written = WriteConfigInt(kCurrentConfig, kSaveToLog, m_saveToLog->isChecked() ? 1 : 0);
    written = WriteConfigInt(kCurrentConfig, kKeepLogFiles, uint32_t(days)) && written;
    written =
        WriteConfigInt(kCurrentConfig, kShowSystemTrayIcon, m_trayIcon->isChecked() ? 1 : 0) &&
        written;
    return written;
}

void CPreferencesDlg::UpdateKeepDaysEnabled() {
    m_keepDays->setEnabled(m_saveToLog->isChecked());
}

}  // namespace vsk::ui
