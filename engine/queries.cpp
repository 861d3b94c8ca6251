// Information queries: one command, one data reply.
#include "engine/error_catalogue.h"
#include "engine/vsk_core.h"

namespace {

// The digits at [pos, pos + width) as a number: leading blanks skipped, conversion stops at the
// first character that is not a digit; 0 when there is none.
int32_t NumberField(std::string_view data, size_t pos, size_t width) {
    if (pos >= data.size()) {
        return 0;
    }
    std::string_view field = data.substr(pos, width);
    size_t i = 0;
    while (i < field.size() && field[i] == ' ') {
        ++i;
    }
    bool negative = false;
    if (i < field.size() && (field[i] == '-' || field[i] == '+')) {
        negative = field[i] == '-';
        ++i;
    }
    int64_t value = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
        value = value * 10 + (field[i] - '0');  // at most 10 digits: no overflow in 64 bits
    }
    value = negative ? -value : value;
    return value > INT32_MAX || value < INT32_MIN ? 0 : static_cast<int32_t>(value);
}

}  // namespace

std::string CVSKCore::InternalGetInfoFromPrinter(const std::string& command,
                                                 const std::string& replyWord) {
    m_journal.LogFormat("InternalGetInfoFromPrinter(Command = %s, RetSeq = %s)", command.c_str(),
                        replyWord.c_str());
    SendToPrinter(command);
    std::string data;
    ReplyWait wait;
    wait.timeoutMs = m_lReplyTimeout;
    wait.showTimeout = true;
    wait.classify = false;  // an error word ends the query without touching the error lists
    wait.endOnData = true;
    wait.dataBeforeReady = true;
    wait.replyWords = {replyWord, {}};
    wait.onData = [&data](const std::string& text) {
        data = text.size() > 4 ? text.substr(4) : "";
    };
    if (RunReplyWait(wait) != WaitEnd::Ready) {
        return {};
    }
    return data;
}

std::string CVSKCore::GetDocumentsInfo(CDocumentsInfo& info) {
    m_journal.WriteLogLine("GetDocumentsInfo()");
    std::string data = InternalGetInfoFromPrinter("GLCN", "GLCN");
    info = CDocumentsInfo{};
    info.lastCheckNumber = NumberField(data, 0, 10);
    info.lastDocumentNumber = NumberField(data, 10, 10);
    info.lastServiceDocumentNumber = NumberField(data, 20, 10);
    info.articleMode = NumberField(data, 30, 1);
    info.fiscalReportMade = NumberField(data, 32, 1) != 0 ? 1 : 0;
    info.fiscalReportNumber = NumberField(data, 33, 4);
    m_lArticleMode = info.articleMode;
    UpdateMaxArticles();
    return data;
}

void CVSKCore::GetDisplaySettings(CPrinterInfo& info) {
    m_journal.WriteLogLine("GetDisplaySettings(CPrinterInfo& Info)");
    std::string settings = "1000";
    if (IsLevel(1, 8, 9)) {
        settings = InternalGetInfoFromPrinter("dset", "dset");
    }
    if (settings.size() > 2) {
        auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : 0; };
        info.m_lDisplaySetting1 = digit(settings[0]);
        info.m_lDisplaySetting2 = digit(settings[1]);
    }
}
