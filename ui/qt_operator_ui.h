// QtOperatorUi: the engine's operator seam shown in windows. Port workers call it; it hands each
// request to the GUI thread and, for a question, blocks only the asking worker until the
// operator answers. Status windows never block: their calls are posted in order.
// Shutdown() ends every open question with its default answer (Retry/Cancel -> Cancel, OK ->
// OK, dialogs -> Cancel) and answers every later one at once, so a worker never outlives the
// event loop waiting for a window nobody will see.
#pragma once

#include <QObject>
#include <QPointer>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/operator_ui.h"

class QDialog;
class QWidget;

namespace vsk::ui {

class QtOperatorUi : public QObject, public IOperatorUi {
    Q_OBJECT
public:
    QtOperatorUi();
    ~QtOperatorUi() override;

    // The window the status windows are centred on and owned by (may change; GUI thread).
    void SetMainWindow(QWidget* window) { m_mainWindow = window; }
    // GUI thread.
    void Shutdown();

    MsgResult MessageBox(std::string_view text, MsgIcon icon, MsgButtons buttons) override;
    // The engine's boxes are also log lines with their port, as without a window: the journal
    // of a till that nobody watches keeps what its registers refused.
    MsgResult PortMessageBox(std::string_view port, std::string_view text, MsgIcon icon,
                             MsgButtons buttons) override;
    std::unique_ptr<IStatusWindow> CreateStatusWindow() override;
    bool RunConnectionDialog(std::string& portName, std::string& ident, std::string& password,
                             int32_t protocolFamily) override;
    void ShowPrinterInfo(const CPrinterInfo& info) override;

    // Runs `task` on the GUI thread after what was posted before it.
    bool Post(std::function<void()> task);
    QWidget* MainWindow() const { return m_mainWindow; }

private:
    struct Question {
        std::mutex mutex;
        std::condition_variable answered;
        bool done = false;
        int answer = 0;
        std::string texts[3];  // the connection dialog's values
        QPointer<QDialog> dialog;
    };
    // Shows the window `open` makes (on the GUI thread; it calls Answer when the operator has
    // answered) and waits for the answer; `defaultAnswer` when the server is ending.
    int Ask(const std::shared_ptr<Question>& question, int defaultAnswer,
            std::function<QDialog*(const std::shared_ptr<Question>&)> open);
    static void Answer(Question& question, int answer);

    QPointer<QWidget> m_mainWindow;
    std::mutex m_mutex;
    bool m_shutDown = false;
    struct Open {
        std::shared_ptr<Question> question;
        int defaultAnswer;
    };
    std::vector<Open> m_open;
};

}  // namespace vsk::ui
