#include "ui/connect_printer_dlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFormLayout>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>

#include "platform/registry.h"
#include "server/registration.h"
#include "ui/ui_text.h"

namespace vsk::ui {

QStringList SerialPortNames() {
    QStringList names;
    for (const auto& [port, path] : ListPortMappings(RegistryStore()))
        names << QString("COM%1").arg(port);
    const std::pair<const char*, QStringList> globs[] = {
        {"/dev", {"ttyS*", "ttyUSB*", "ttyACM*"}},
        {"/dev/serial/by-id", {"*"}},
    };
    for (const auto& [folder, patterns] : globs) {
        QDir dir(folder);
        const auto entries =
            dir.entryInfoList(patterns, QDir::System | QDir::Files | QDir::NoDotAndDotDot,
                              QDir::Name | QDir::LocaleAware);
        for (const QFileInfo& entry : entries)
            names << entry.absoluteFilePath();
    }
    return names;
}

CConnectPrinterDlg::CConnectPrinterDlg(const QString& port, const QString& cashier,
                                       const QString& password, int protocolFamily, QWidget* parent,
                                       const QStringList& available)
    : QDialog(parent),
      m_port(new QComboBox(this)),
      m_cashier(new QLineEdit(cashier.left(CashierLimit(protocolFamily)), this)),
      m_password(new QLineEdit(password.left(kPasswordLimit), this)) {
    setObjectName("connectPrinterDlg");
    setWindowTitle(Text(text::kConnectCaption));
    setWindowIcon(AppIcon());
    m_cashier->setMaxLength(CashierLimit(protocolFamily));
    m_password->setMaxLength(kPasswordLimit);
    m_password->setEchoMode(QLineEdit::Password);
    m_port->setMinimumContentsLength(24);
    m_port->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    if (port.isEmpty()) {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        m_port->addItems(available.isEmpty() ? SerialPortNames() : available);
        QGuiApplication::restoreOverrideCursor();
        if (m_port->count() == 0)
            m_port->addItem("COM1");
        m_port->setEnabled(true);
    } else {
        m_port->addItem(port);
        m_port->setEnabled(false);
    }
    auto* form = new QFormLayout(this);
    form->addRow(Text(text::kConnectPort), m_port);
    form->addRow(Text(text::kConnectCashier), m_cashier);
    form->addRow(Text(text::kConnectPassword), m_password);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    buttons->button(QDialogButtonBox::Cancel)->setText(Text(text::kButtonCancel));
    form->addRow(buttons);
    if (m_cashier->text().isEmpty())
        m_cashier->setFocus();
    else
        m_password->setFocus();
}

QString CConnectPrinterDlg::Port() const {
    return m_port->currentText();
}
QString CConnectPrinterDlg::Cashier() const {
    return m_cashier->text();
}
QString CConnectPrinterDlg::Password() const {
    return m_password->text();
}

}  // namespace vsk::ui
