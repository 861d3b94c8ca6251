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
    std::string data;
    vsk::ReplyHooks hooks;
    hooks.onData = [&data](const std::string& text) {
        data = text.size() > 4 ? text.substr(4) : "";
    };
    // An error word ends the query without touching the error lists.
    const vsk::ReplyRules rules =
        vsk::ReplyRules::EndOnData(replyWord).With(vsk::StatusRule::Unrecorded);
    if (!Exchange({.text = command}, rules, hooks).Ready()) {
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
    if (!data.empty()) {
        m_lastReceiptNumber = info.lastCheckNumber;
    }
    m_lArticleMode = info.articleMode;
    UpdateMaxArticles();
    return data;
}

std::optional<int64_t> CVSKCore::ReadLastReceiptNumber() {
    m_journal.WriteLogLine("ReadLastReceiptNumber()");
    if (!m_variant.hasDocumentsCounters) {
        return std::nullopt;
    }
    // Only the counter: a failed query must not reset the article mode as GetDocumentsInfo does.
    const std::string data = InternalGetInfoFromPrinter("GLCN", "GLCN");
    if (data.empty()) {
        return std::nullopt;
    }
    m_lastReceiptNumber = NumberField(data, 0, 10);
    return m_lastReceiptNumber;
}

void CVSKCore::GetDisplaySettings(CPrinterInfo& info) {
    m_journal.WriteLogLine("GetDisplaySettings(CPrinterInfo& Info)");
    std::string settings = "1000";
    if (m_variant.hasDisplaySettings) {
        settings = InternalGetInfoFromPrinter("dset", "dset");
    }
    if (settings.size() > 2) {
        auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : 0; };
        info.m_lDisplaySetting1 = digit(settings[0]);
        info.m_lDisplaySetting2 = digit(settings[1]);
    }
}

std::string CVSKCore::ConfigQueryWord() const {
    const std::string& serial = m_PrinterInfo.m_szSerialNumber;
    return serial.empty() || serial.rfind("440", 0) == 0 ? "CONF" : "CONf";
}

std::string CVSKCore::GetPrinterConfig() {
    m_journal.WriteLogLine("GetPrinterConfig()");
    const std::string command = ConfigQueryWord();
    std::string message;
    vsk::ReplyHooks hooks;
    hooks.onData = [&message](const std::string& text) { message = text.substr(0, 256); };
    if (!Exchange({.text = command}, vsk::ReplyRules::EndOnData("CONF", "CONf"), hooks).Ready() ||
        message.size() <= 4) {
        return {};
    }
    std::string data = message.substr(4);
    // The older reply holds the key position as a small number; clients get it as a character
    // ('0' added). A register that already sends a digit keeps it.
    if (command == "CONF" && data.size() > 70 && static_cast<unsigned char>(data[70]) < '0') {
        data[70] = static_cast<char>(data[70] + '0');
    }
    return data;
}

int16_t CVSKCore::GetPrinterKeyPosition() {
    m_journal.WriteLogLine("GetPrinterKeyPosition()");
    if (!ReadPrinterInfo(m_PrinterInfo)) {
        return -1;
    }
    switch (m_PrinterInfo.m_cKeyPosition) {
        case 'R':
            return 1;
        case 'X':
            return 2;
        case 'Z':
            return 3;
        case 'P':
            return 4;
        default:
            return 0;
    }
}

std::string CVSKCore::GetArticleInfo(int16_t article) {
    m_journal.LogFormat("GetArticleInfo(Article = %d)", article);
    // Four characters name articles up to 20999 (a letter for the thousands from 10000 on); a
    // higher number would come out as another article's, so it is not asked at all.
    if (article <= 0 || article > m_PrinterInfo.m_lMaxArticles || article >= 21000) {
        return {};
    }
    return InternalGetInfoFromPrinter("ARTD" + vsk::ArticleNumber(article, 4).substr(0, 4), "ARTD");
}

namespace {

// The counters queries write their journal line after the reply, with the data text.
std::string CountersQuery(CVSKCore& core, const char* word, const char* operation) {
    std::string data = core.InternalGetInfoFromPrinter(word, word);
    core.Journal().LogFormat("%s() = %s", operation, data.c_str());
    return data;
}

}  // namespace

std::string CVSKCore::GetPrinterTime() {
    return CountersQuery(*this, "GETD", "GetPrinterTime");
}

std::string CVSKCore::GetCashInfo() {
    return CountersQuery(*this, "CCAS", "GetCashInfo");
}

std::string CVSKCore::GetFiscalInfo() {
    return CountersQuery(*this, "CFIS", "GetFiscalInfo");
}

std::string CVSKCore::GetTaxesInfo() {
    return CountersQuery(*this, "CNAL", "GetTaxesInfo");
}
