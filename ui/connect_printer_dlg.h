// CConnectPrinterDlg: asks the operator for the port, the cashier name and the cashier
// password when a client's Init was not given usable ones.
#pragma once

#include <QDialog>
#include <QStringList>

class QComboBox;
class QLineEdit;

namespace vsk::ui {

// This machine's serial devices and the COMn names of the port mappings, for the port list.
QStringList SerialPortNames();

class CConnectPrinterDlg : public QDialog {
    Q_OBJECT
public:
    // An empty `port` lets the operator pick one of `available` (SerialPortNames() when
    // empty); a given port is shown alone and cannot be changed.
    CConnectPrinterDlg(const QString& port, const QString& cashier, const QString& password,
                       int protocolFamily, QWidget* parent = nullptr,
                       const QStringList& available = {});

    // A cashier name longer than this is refused by the register's login.
    static int CashierLimit(int protocolFamily) { return protocolFamily == 1 ? 9 : 4; }
    static constexpr int kPasswordLimit = 10;

    QString Port() const;
    QString Cashier() const;
    QString Password() const;

    QComboBox* PortBox() const { return m_port; }
    QLineEdit* CashierEdit() const { return m_cashier; }
    QLineEdit* PasswordEdit() const { return m_password; }

private:
    QComboBox* m_port;
    QLineEdit* m_cashier;
    QLineEdit* m_password;
};

}  // namespace vsk::ui
