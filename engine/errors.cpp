// The two error lists of the engine, the last failure they were written from, the reply status
// classifier and the engine's own failures.
#include "engine/error_catalogue.h"
#include "engine/vsk_core.h"
#include "resources/strings.h"

namespace {

// How the port is named in the log line of a message box.
std::string PortName(int32_t portNumber) {
    return "COM" + std::to_string(portNumber);
}

void AppendEntry(std::string& list, std::string_view entry) {
    if (!list.empty()) {
        list += ';';
    }
    list += entry;
}

}  // namespace

bool CVSKCore::ClassifyStatus(const std::string& text) {
    const vsk::StatusWord* row = vsk::FindStatusWord(text);
    const bool warning = row && row->kind == vsk::StatusKind::Warning;
    if (warning) {
        // No failure, yet both lists keep one entry per status word: the message's is empty.
        AppendEntry(m_szLastErrorCode, text);
        m_stats->LastError(std::string(row->word));
        AppendEntry(m_szLastErrorMessage, {});
    } else {
        const std::string message = RecordFailure(vsk::StatusFailure(text), text);
        if (m_bShowErrorMessages && !message.empty()) {
            m_ui.PortMessageBox(PortName(m_lPortNumber), message, vsk::MsgIcon::Stop,
                                vsk::MsgButtons::Ok);
        }
    }
    m_journal.LogError(text);
    if (row) {
        m_journal.LogErrorString(row->message);
    } else {
        m_journal.LogError({});
    }
    return warning;
}

std::string CVSKCore::RecordFailure(const vsk::Failure& failure, std::string_view received,
                                    std::string_view detail) {
    m_lastFailure = failure;
    m_stats->LastError(failure.word);
    // A status word of no row is its own message.
    std::string message =
        failure.message != 0 ? vsk::LoadString1251(failure.message) : std::string(received);
    message += detail;
    if (received.empty()) {
        m_szLastErrorCode = failure.word;
        m_szLastErrorMessage = message;
    } else {
        AppendEntry(m_szLastErrorCode, received);
        AppendEntry(m_szLastErrorMessage, message);
    }
    return message;
}

void CVSKCore::RecordFault(vsk::Fault fault, std::string_view detail) {
    RecordFailure(vsk::EngineFailure(fault), {}, detail);
}

vsk::MsgResult CVSKCore::ShowLastError(vsk::MsgIcon icon, vsk::MsgButtons buttons) {
    if (!m_bShowErrorMessages) {
        return buttons == vsk::MsgButtons::Ok ? vsk::MsgResult::Ok : vsk::MsgResult::Cancel;
    }
    return m_ui.PortMessageBox(PortName(m_lPortNumber), m_szLastErrorMessage, icon, buttons);
}

void CVSKCore::ClearErrors() {
    m_szLastErrorCode.clear();
    m_szLastErrorMessage.clear();
    m_lastFailure.reset();
}

std::string CVSKCore::TakeUpPendingErrors(std::string& list, const char* operation) {
    // Error words that nobody waited for are still the client's news: classify them first.
    while (!m_queue.IsEmpty()) {
        std::string text = m_queue.PeekText();
        if (vsk::IsStatusText(text)) {
            ClassifyStatus(text);
        }
        m_queue.Pop();
    }
    std::string result = list;
    list.clear();
    m_journal.LogFormat("%s() = %s", operation, result.c_str());
    return result;
}

namespace {

std::string LastEntry(const std::string& list) {
    size_t cut = list.rfind(';');
    return cut == std::string::npos ? list : list.substr(cut + 1);
}

}  // namespace

std::string CVSKCore::PeekLastErrorCode() const {
    return LastEntry(m_szLastErrorCode);
}

std::string CVSKCore::PeekLastErrorMessage() const {
    return LastEntry(m_szLastErrorMessage);
}

std::string CVSKCore::GetLastErrorCode() {
    std::string codes = TakeUpPendingErrors(m_szLastErrorCode, "GetLastErrorCode");
    m_lastFailure.reset();  // handed out with its code
    return codes;
}

std::string CVSKCore::GetLastErrorMessage() {
    std::string result = TakeUpPendingErrors(m_szLastErrorMessage, "GetLastErrorMessage");
    // A journal that loses lines fails no operation, yet the people at the till must hear of
    // it: its complaint follows the error messages as one more entry, for as long as it lasts.
    // The error codes are left alone, so a client that reads the codes sees nothing new.
    if (const std::string complaint = m_journal.Complaint(); !complaint.empty()) {
        AppendEntry(result, complaint);
    }
    return result;
}
