// What the engine may ask of the operator: message boxes, the status window, the connection
// dialog and the printer information window. The engine sees only this interface; the Qt
// window implements it, and the headless implementation answers every question with its
// default (Retry/Cancel -> Cancel, OK -> OK), writes the text to stderr as a log line and never
// blocks.
//
// Threads: the engine of a port runs on that port's worker thread, so every member here is
// called from a port's worker, several ports' workers possibly at once; the status window
// object is created, updated and deleted on the worker that asked for it. A windowed
// implementation keeps this contract:
// - it shows its windows on the GUI thread (handing the request over, e.g. by a queued call),
//   never on the worker;
// - a question (message box, connection dialog, printer information window) blocks only the
//   asking port's worker until the operator answers; the automation loop, the GUI and the other
//   ports go on meanwhile;
// - the status window's calls never block the worker on the GUI (they post and return);
// - when the server ends while a question is open, the question ends with its default answer,
//   so the worker can finish.
// The headless implementation is safe from any thread: it only writes to stderr.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class CPrinterInfo;

namespace vsk {

enum class MsgIcon { Stop, Exclamation, Information };
enum class MsgButtons { Ok, RetryCancel };
enum class MsgResult { Ok, Retry, Cancel };

// CStatusDialog as the engine sees it; deleting the object closes the window.
class IStatusWindow {
public:
    virtual ~IStatusWindow() = default;
    // Texts in Windows-1251. Empty texts hide their controls.
    virtual bool ShowTexts(std::string_view title, std::string_view goods,
                           std::string_view amount) = 0;
    // Title = the resource string; goods text and amount emptied.
    virtual bool ShowMessage(unsigned stringId) = 0;
};

class IOperatorUi {
public:
    virtual ~IOperatorUi() = default;
    // System-modal message box; text in Windows-1251.
    virtual MsgResult MessageBox(std::string_view text, MsgIcon icon, MsgButtons buttons) = 0;
    // The engine's message boxes, about its port ("COM5"): a window shows them as any other;
    // the headless implementation names the port in its log line.
    virtual MsgResult PortMessageBox(std::string_view port, std::string_view text, MsgIcon icon,
                                     MsgButtons buttons) {
        (void)port;
        return MessageBox(text, icon, buttons);
    }
    virtual std::unique_ptr<IStatusWindow> CreateStatusWindow() = 0;
    // The connection dialog filled with the three values; false when the operator cancels.
    // The register's protocol family decides how long a cashier name may be.
    virtual bool RunConnectionDialog(std::string& portName, std::string& ident,
                                     std::string& password, int32_t protocolFamily) = 0;
    // The printer information window, modal.
    virtual void ShowPrinterInfo(const CPrinterInfo& info) = 0;
};

// A message box as a log line on stderr: an error for Stop, a warning for Exclamation,
// information otherwise; `port` ("COM5", or empty) leads the text (Windows-1251).
void LogMessageBox(std::string_view port, std::string_view text, MsgIcon icon);

// Headless implementation; `quiet` suppresses the stderr copy (tests). A box is a log line: an
// error for Stop, a warning for Exclamation, information otherwise.
class HeadlessOperatorUi : public IOperatorUi {
public:
    explicit HeadlessOperatorUi(bool quiet = false) : m_quiet(quiet) {}
    MsgResult MessageBox(std::string_view text, MsgIcon icon, MsgButtons buttons) override;
    MsgResult PortMessageBox(std::string_view port, std::string_view text, MsgIcon icon,
                             MsgButtons buttons) override;
    std::unique_ptr<IStatusWindow> CreateStatusWindow() override;
    bool RunConnectionDialog(std::string& portName, std::string& ident, std::string& password,
                             int32_t protocolFamily) override;
    void ShowPrinterInfo(const CPrinterInfo& info) override;

private:
    bool m_quiet;
};

}  // namespace vsk
