// CEnterPortDlg: which server (this computer, or HOST:PORT of a server's TCP listener) and which
// COM port the test client connects to.
#pragma once

#include <QDialog>

class QLineEdit;
class QSpinBox;

namespace vsk::ui {

class CEnterPortDlg : public QDialog {
    Q_OBJECT
public:
    CEnterPortDlg(const QString& server, int port, QWidget* parent = nullptr);

    QString Server() const;
    int Port() const;
    // "\\localhost", "localhost" and an empty name mean this computer.
    static bool IsLocal(const QString& server);

    QLineEdit* ServerEdit() const { return m_server; }
    QSpinBox* PortEdit() const { return m_port; }

    static constexpr int kServerLimit = 50;
    static constexpr int kMinPort = 1;
    static constexpr int kMaxPort = 16;

private:
    QLineEdit* m_server;
    QSpinBox* m_port;
};

}  // namespace vsk::ui
