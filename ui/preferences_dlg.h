// CPreferencesDlg: the Options page, bound to the journal and tray settings.
#pragma once

#include <QWidget>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace vsk::ui {

class CPreferencesDlg : public QWidget {
    Q_OBJECT
public:
    explicit CPreferencesDlg(QWidget* parent = nullptr);

    // Reads the three settings into the controls.
    void Load();
    // Writes the controls' values; false, with the range message shown and nothing written,
    // when the day count is outside 2..4096.
    bool Apply();

    QCheckBox* SaveToLog() const { return m_saveToLog; }
    QLineEdit* KeepLogFiles() const { return m_keepDays; }
    QCheckBox* TrayIcon() const { return m_trayIcon; }
    QPushButton* ApplyButton() const { return m_apply; }

    static constexpr int kMinDays = 2;
    static constexpr int kMaxDays = 4096;

private:
    void UpdateKeepDaysEnabled();

    QCheckBox* m_saveToLog;
    QLineEdit* m_keepDays;
    QCheckBox* m_trayIcon;
    QPushButton* m_apply;
};

}  // namespace vsk::ui
