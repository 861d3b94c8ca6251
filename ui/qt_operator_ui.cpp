#include "ui/qt_operator_ui.h"

#include <QMessageBox>
#include <QThread>

#include "engine/printer_info.h"
#include "ui/connect_printer_dlg.h"
#include "ui/prn_info_dlg.h"
#include "ui/status_dialog.h"
#include "ui/ui_text.h"

namespace vsk::ui {

namespace {

// The status window as a worker holds it: every call is posted, so the worker never waits for
// the GUI; the window itself exists only on the GUI thread.
class QtStatusWindow : public IStatusWindow {
public:
    explicit QtStatusWindow(QtOperatorUi& ui) : m_ui(ui) {
        auto handle = m_handle;
        m_ui.Post([&ui = m_ui, handle] { *handle = new CStatusDialog(ui.MainWindow()); });
    }
    ~QtStatusWindow() override {
        auto handle = m_handle;
        m_ui.Post([handle] { delete handle->data(); });
    }
    bool ShowTexts(std::string_view title, std::string_view goods,
                   std::string_view amount) override {
        auto handle = m_handle;
        m_ui.Post([handle, t = FromAnsi(title), g = FromAnsi(goods), a = FromAnsi(amount)] {
            if (*handle)
                (*handle)->ShowTexts(t, g, a);
        });
        return true;
    }
    bool ShowMessage(unsigned stringId) override {
        return ShowTexts(LoadString1251(stringId), {}, {});
    }

private:
    QtOperatorUi& m_ui;
    std::shared_ptr<QPointer<CStatusDialog>> m_handle = std::make_shared<QPointer<CStatusDialog>>();
};

int DefaultFor(MsgButtons buttons) {
    return int(buttons == MsgButtons::RetryCancel ? MsgResult::Cancel : MsgResult::Ok);
}

}  // namespace

QtOperatorUi::QtOperatorUi() = default;

QtOperatorUi::~QtOperatorUi() {
    Shutdown();
}

bool QtOperatorUi::Post(std::function<void()> task) {
    return QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void QtOperatorUi::Answer(Question& question, int answer) {
    std::lock_guard lock(question.mutex);
    if (!question.done) {
        question.done = true;
        question.answer = answer;
    }
    question.answered.notify_all();
}

void QtOperatorUi::Shutdown() {
    std::vector<Open> open;
    {
        std::lock_guard lock(m_mutex);
        m_shutDown = true;
        open.swap(m_open);
    }
    for (Open& o : open) {
        Answer(*o.question, o.defaultAnswer);
        if (QThread::currentThread() == thread() && o.question->dialog)
            o.question->dialog->close();
    }
}

int QtOperatorUi::Ask(const std::shared_ptr<Question>& question, int defaultAnswer,
                      std::function<QDialog*(const std::shared_ptr<Question>&)> open) {
    if (QThread::currentThread() == thread()) {
        // Asked on the GUI thread itself: nobody else can run the window, so run it here.
        QDialog* dialog = open(question);
        dialog->exec();
        std::lock_guard lock(question->mutex);
        return question->done ? question->answer : defaultAnswer;
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_shutDown)
            return defaultAnswer;
        m_open.push_back({question, defaultAnswer});
    }
    Post([question, open] {
        {
            std::lock_guard lock(question->mutex);
            if (question->done)
                return;  // the server ended before the window could show
        }
        question->dialog = open(question);
    });
    int answer;
    {
        std::unique_lock lock(question->mutex);
        question->answered.wait(lock, [&] { return question->done; });
        answer = question->answer;
    }
    std::lock_guard lock(m_mutex);
    std::erase_if(m_open, [&](const Open& o) { return o.question == question; });
    return answer;
}

MsgResult QtOperatorUi::PortMessageBox(std::string_view port, std::string_view text, MsgIcon icon,
                                       MsgButtons buttons) {
    LogMessageBox(port, text, icon);
    return MessageBox(text, icon, buttons);
}

MsgResult QtOperatorUi::MessageBox(std::string_view text, MsgIcon icon, MsgButtons buttons) {
    const int defaultAnswer = DefaultFor(buttons);
    auto question = std::make_shared<Question>();
    const QString message = FromAnsi(text);
    return MsgResult(
        Ask(question, defaultAnswer, [this, message, icon, buttons, defaultAnswer](const auto& q) {
            const QMessageBox::Icon shape = icon == MsgIcon::Stop ? QMessageBox::Critical
                                            : icon == MsgIcon::Exclamation
                                                ? QMessageBox::Warning
                                                : QMessageBox::Information;
            auto* box = new QMessageBox(shape, Text(text::kAppTitle), message,
                                        buttons == MsgButtons::RetryCancel
                                            ? QMessageBox::Retry | QMessageBox::Cancel
                                            : QMessageBox::Ok,
                                        m_mainWindow);
            box->setObjectName("operatorMessage");
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setWindowModality(Qt::ApplicationModal);
            box->setWindowFlag(Qt::WindowStaysOnTopHint);
            connect(box, &QDialog::finished, box, [box, q, defaultAnswer] {
                switch (box->standardButton(box->clickedButton())) {
                    case QMessageBox::Retry:
                        return Answer(*q, int(MsgResult::Retry));
                    case QMessageBox::Ok:
                        return Answer(*q, int(MsgResult::Ok));
                    case QMessageBox::Cancel:
                        return Answer(*q, int(MsgResult::Cancel));
                    default:
                        return Answer(*q, defaultAnswer);
                }
            });
            box->open();
            box->raise();
            box->activateWindow();
            return box;
        }));
}

std::unique_ptr<IStatusWindow> QtOperatorUi::CreateStatusWindow() {
    std::lock_guard lock(m_mutex);
    if (m_shutDown)
        return nullptr;
    return std::make_unique<QtStatusWindow>(*this);
}

bool QtOperatorUi::RunConnectionDialog(std::string& portName, std::string& ident,
                                       std::string& password, int32_t protocolFamily) {
    auto question = std::make_shared<Question>();
    const QString port = FromAnsi(portName), cashier = FromAnsi(ident), secret = FromAnsi(password);
    const int answer =
        Ask(question, 0, [this, port, cashier, secret, protocolFamily](const auto& q) {
            auto* dialog =
                new CConnectPrinterDlg(port, cashier, secret, protocolFamily, m_mainWindow);
            dialog->setAttribute(Qt::WA_DeleteOnClose);
            dialog->setWindowModality(Qt::ApplicationModal);
            dialog->setWindowFlag(Qt::WindowStaysOnTopHint);
            connect(dialog, &QDialog::finished, dialog, [dialog, q](int result) {
                if (result == QDialog::Accepted) {
                    std::lock_guard lock(q->mutex);
                    q->texts[0] = ToAnsi(dialog->Port());
                    q->texts[1] = ToAnsi(dialog->Cashier());
                    q->texts[2] = ToAnsi(dialog->Password());
                }
                Answer(*q, result == QDialog::Accepted ? 1 : 0);
            });
            dialog->open();
            return dialog;
        });
    if (!answer)
        return false;
    std::lock_guard lock(question->mutex);
    portName = question->texts[0];
    ident = question->texts[1];
    password = question->texts[2];
    return true;
}

void QtOperatorUi::ShowPrinterInfo(const CPrinterInfo& info) {
    auto question = std::make_shared<Question>();
    auto copy = std::make_shared<CPrinterInfo>(info);
    Ask(question, 0, [this, copy](const auto& q) {
        auto* dialog = new CPrnInfoDlg(copy.get(), m_mainWindow);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowModality(Qt::ApplicationModal);
        dialog->setWindowFlag(Qt::WindowStaysOnTopHint);
        connect(dialog, &QDialog::finished, dialog, [q] { Answer(*q, 1); });
        dialog->open();
        return dialog;
    });
}

}  // namespace vsk::ui
