#include "engine/headless_ui.h"

#include "platform/codepage.h"
#include "platform/log.h"
#include "resources/strings.h"

namespace vsk {

bool HeadlessStatusWindow::ShowTexts(std::string_view title, std::string_view goods,
                                     std::string_view amount) {
    m_title.assign(title);
    m_goods.assign(goods);
    m_amount.assign(amount);
    m_titles.push_back(m_title);
    return true;
}

bool HeadlessStatusWindow::ShowMessage(unsigned stringId) {
    return ShowTexts(LoadString1251(stringId), {}, {});
}

namespace {

// The port of the box being shown on this thread: PortMessageBox goes through MessageBox, so a
// subclass that watches MessageBox sees the engine's boxes too.
thread_local std::string_view t_port;

}  // namespace

void LogMessageBox(std::string_view port, std::string_view text, MsgIcon icon) {
    const LogPriority priority = icon == MsgIcon::Stop          ? LogPriority::Error
                                 : icon == MsgIcon::Exclamation ? LogPriority::Warning
                                                                : LogPriority::Info;
    LogLine(priority, port, Cp1251ToUtf8(text));
}

MsgResult HeadlessOperatorUi::MessageBox(std::string_view text, MsgIcon icon, MsgButtons buttons) {
    if (!m_quiet)
        LogMessageBox(t_port, text, icon);
    // Nobody can answer: take the choice that does not retry forever.
    return buttons == MsgButtons::RetryCancel ? MsgResult::Cancel : MsgResult::Ok;
}

MsgResult HeadlessOperatorUi::PortMessageBox(std::string_view port, std::string_view text,
                                             MsgIcon icon, MsgButtons buttons) {
    t_port = port;
    MsgResult answer = MessageBox(text, icon, buttons);
    t_port = {};
    return answer;
}

std::unique_ptr<IStatusWindow> HeadlessOperatorUi::CreateStatusWindow() {
    return std::make_unique<HeadlessStatusWindow>();
}

bool HeadlessOperatorUi::RunConnectionDialog(std::string& /*portName*/, std::string& /*ident*/,
                                             std::string& /*password*/,
                                             int32_t /*protocolFamily*/) {
    return false;
}

void HeadlessOperatorUi::ShowPrinterInfo(const CPrinterInfo& /*info*/) {}

}  // namespace vsk
