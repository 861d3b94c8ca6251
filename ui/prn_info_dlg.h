// CPrnInfoDlg: what the register told about itself at connection (identity, money settings,
// tax table). It closes itself after ten seconds unless the operator stops the countdown.
#pragma once

#include <QDialog>

class CPrinterInfo;
class QPushButton;

namespace vsk::ui {

class CAutoSizeListCtrl;

class CPrnInfoDlg : public QDialog {
    Q_OBJECT
public:
    // `info` is read during construction only; null shows empty lists.
    explicit CPrnInfoDlg(const CPrinterInfo* info, QWidget* parent = nullptr);
    ~CPrnInfoDlg() override;

    static QString KeyPositionText(char letter);
    static QString TaxKindText(char kind);

    CAutoSizeListCtrl* Fields() const { return m_fields; }
    CAutoSizeListCtrl* Taxes() const { return m_taxes; }
    QPushButton* CountdownButton() const { return m_countdown; }
    int TimerId() const { return m_timerId; }
    int RemainingSeconds() const { return m_remaining; }

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void StopCountdown();
    void FillFields(const CPrinterInfo& info);
    void FillTaxes(const CPrinterInfo& info);

    CAutoSizeListCtrl* m_fields;
    CAutoSizeListCtrl* m_taxes;
    QPushButton* m_countdown;
    QString m_pattern;
    int m_remaining = 10;
    int m_timerId = 0;
};

}  // namespace vsk::ui
