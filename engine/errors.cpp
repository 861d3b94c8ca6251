// The two error lists of the engine, the reply status classifier and the engine's own errors.
#include "engine/error_catalogue.h"
#include "engine/vsk_core.h"
#include "resources/strings.h"

namespace {

void AppendEntry(std::string& list, std::string_view entry) {
    if (!list.empty()) {
        list += ';';
    }
    list += entry;
}

}  // namespace

bool CVSKCore::ClassifyStatus(const std::string& text) {
    AppendEntry(m_szLastErrorCode, text);
    const vsk::StatusWord* row = vsk::FindStatusWord(text);
    m_stats->LastError(row ? std::string(row->word) : text.substr(0, 8));
    bool warning = row && row->kind == vsk::StatusKind::Warning;
    std::string message;
    if (!row) {
        message = text;
    } else if (!warning) {
        message = vsk::LoadString1251(row->message);
    }
    if (m_bShowErrorMessages && !message.empty()) {
        m_ui.MessageBox(message, vsk::MsgIcon::Stop, vsk::MsgButtons::Ok);
    }
    // A warning adds only the separator: both lists keep one entry per status word.
    if (!m_szLastErrorMessage.empty()) {
        m_szLastErrorMessage += ';';
    }
    m_szLastErrorMessage += message;
    m_journal.LogError(text);
    if (row) {
        m_journal.LogErrorString(row->message);
    } else {
        m_journal.LogError({});
    }
    return warning;
}

void CVSKCore::SetEngineError(std::string_view mnemonic, unsigned message,
                              std::string_view suffix) {
    m_szLastErrorCode = mnemonic;
    m_stats->LastError(std::string(mnemonic));
    m_szLastErrorMessage = vsk::LoadString1251(message);
    m_szLastErrorMessage += suffix;
}

vsk::MsgResult CVSKCore::ShowLastError(vsk::MsgIcon icon, vsk::MsgButtons buttons) {
    if (!m_bShowErrorMessages) {
        return buttons == vsk::MsgButtons::Ok ? vsk::MsgResult::Ok : vsk::MsgResult::Cancel;
    }
    return m_ui.MessageBox(m_szLastErrorMessage, icon, buttons);
}

void CVSKCore::ClearErrors() {
    m_szLastErrorCode.clear();
    m_szLastErrorMessage.clear();
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
    return TakeUpPendingErrors(m_szLastErrorCode, "GetLastErrorCode");
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
