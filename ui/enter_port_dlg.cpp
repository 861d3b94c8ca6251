#include "ui/enter_port_dlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include "ui/ui_text.h"

namespace vsk::ui {

CEnterPortDlg::CEnterPortDlg(const QString& server, int port, QWidget* parent)
    : QDialog(parent), m_server(new QLineEdit(server, this)), m_port(new QSpinBox(this)) {
    setObjectName("enterPortDlg");
    setWindowTitle(Text(text::kEnterPortCaption));
    m_server->setMaxLength(kServerLimit);
    m_port->setRange(kMinPort, kMaxPort);
    m_port->setValue(port);  // a value outside the range comes back clamped into it
    auto* form = new QFormLayout(this);
    form->addRow(Text(text::kEnterPortServer), m_server);
    form->addRow(Text(text::kEnterPortNumber), m_port);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    buttons->button(QDialogButtonBox::Cancel)->setText(Text(text::kButtonCancel));
    form->addRow(buttons);
    setMinimumWidth(420);
}

QString CEnterPortDlg::Server() const {
    return m_server->text().trimmed();
}

int CEnterPortDlg::Port() const {
    return m_port->value();
}

bool CEnterPortDlg::IsLocal(const QString& server) {
    QString name = server.trimmed();
    while (name.startsWith('\\'))
        name.remove(0, 1);
    return name.isEmpty() || name.compare("localhost", Qt::CaseInsensitive) == 0;
}

}  // namespace vsk::ui
