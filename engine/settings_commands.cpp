// Device settings commands: printing modes, the texts printed on every receipt, the currency and
// the register's clock. Each is one command and a ready wait.
#include "engine/error_catalogue.h"
#include "engine/simple_command.h"
#include "engine/vsk_core.h"

namespace {

using vsk::JournalLine;

std::string Cut(const std::string& text, size_t length) {
    return text.substr(0, length);
}

std::string TwoDigits(int value) {
    return vsk::ZeroPadded(value, 2);
}

}  // namespace

size_t CVSKCore::ReceiptTextLimit() const {
    return m_variant.receiptTextWidth;
}

int16_t CVSKCore::SetTableMode(int16_t tableMode) {
    // Some registers have no table mode to switch on.
    const bool on = tableMode > 0 && m_variant.canSwitchTableModeOn;
    return vsk::RunSimpleCommand(*this,
                                 {.journal = JournalLine("SetTableMode(TableMode = %d)", tableMode),
                                  .text = on ? "TABL1" : "TABL"});
}

int16_t CVSKCore::SetOnSaleTaxes(int16_t on) {
    return vsk::RunSimpleCommand(*this, {.journal = JournalLine("SetOnSaleTaxes(On = %d)", on),
                                         .text = on != 0 ? "PPOD1" : "PPOD"});
}

int16_t CVSKCore::SetTaxesCalcMode(int32_t onTotal) {
    int16_t result = vsk::RunSimpleCommand(
        *this,
        {.journal = JournalLine("SetTaxesCalcMode(OnTotal = %ld)", static_cast<long>(onTotal)),
         .text = onTotal > 0 ? "PPMD1" : "PPMD"});
    if (result) {
        m_bPerLineTaxes = onTotal == 0;  // a negative value switches per-line taxes off too
    }
    return result;
}

int16_t CVSKCore::SetDoubledTaxCalcMode(int32_t tax1Index, int32_t tax2Index) {
    auto valid = [](int32_t index) { return index >= 1 && index <= 6; };
    // Tax letters are the Cyrillic capitals from А (0xC0 in Windows-1251) on.
    auto letter = [](int32_t index) { return static_cast<char>(0xC0 + index - 1); };
    bool allowed = m_variant.hasDoubledTaxMode && valid(tax1Index) && valid(tax2Index) &&
                   tax1Index != tax2Index;
    std::string text = "NLPR";
    if (allowed) {
        text += letter(tax1Index);
        text += letter(tax2Index);
    }
    return vsk::RunSimpleCommand(
        *this, {.journal = JournalLine("SetDoubledTaxCalcMode(Tax1Index = %ld, Tax2Index = %ld)",
                                       static_cast<long>(tax1Index), static_cast<long>(tax2Index)),
                .text = text,
                .allowed = allowed});
}

int16_t CVSKCore::CheckMessagesMode(int16_t mode) {
    const int16_t sent = mode >= 0 && mode <= 3 ? mode : 0;
    return vsk::RunSimpleCommand(*this,
                                 {.journal = JournalLine("CheckMessagesMode(Mode = %d)", mode),
                                  .text = "TMOD" + std::to_string(sent),
                                  .prepare = [this] { PrepareForReport(); }});
}

int16_t CVSKCore::SetInternalTime(int16_t hours, int16_t minutes, int16_t seconds) {
    const bool valid =
        hours >= 0 && hours <= 23 && minutes >= 0 && minutes <= 59 && seconds >= 0 && seconds <= 59;
    int16_t result = vsk::RunSimpleCommand(
        *this, {.journal = JournalLine("SetInternalTime(Hours = %d, Minutes = %d, Seconds = %d)",
                                       hours, minutes, seconds),
                .text = "CTIM" + TwoDigits(hours) + TwoDigits(minutes) + TwoDigits(seconds),
                .allowed = valid,
                .prepare = [this] { PrepareForReport(); }});
    if (!valid) {
        // Unlike the other refusals this one is the client's mistake, so it is reported.
        RecordFault(vsk::Fault::InvalidTime);
        ShowLastError(vsk::MsgIcon::Exclamation, vsk::MsgButtons::Ok);
    }
    return result;
}

int16_t CVSKCore::SetPrintingDoubleWidth(int16_t doubleWidth) {
    return vsk::RunSimpleCommand(
        *this, {.journal = JournalLine("SetPrintingDoubleWidth(DoubleWidth = %d)", doubleWidth),
                .text = doubleWidth != 0 ? "DSTR1" : "DSTR0"});
}

int16_t CVSKCore::SetArticleMode(int32_t articleMode) {
    int16_t result =
        vsk::RunSimpleCommand(*this, {.journal = JournalLine("SetArticleMode(ArticleMode = %ld)",
                                                             static_cast<long>(articleMode)),
                                      .text = "ARMO" + std::to_string(articleMode)});
    if (result) {
        CDocumentsInfo info;
        GetDocumentsInfo(info);  // refreshes the article mode and the highest article number
    }
    return result;
}

int16_t CVSKCore::SetDeptAlias(const std::string& alias) {
    return vsk::RunSimpleCommand(*this,
                                 {.journal = JournalLine("SetDeptAlias(Alias = %s)", alias.c_str()),
                                  .text = "DEPT" + Cut(alias, 5)});
}

int16_t CVSKCore::SetCheckHeadLine(const std::string& text) {
    return vsk::RunSimpleCommand(
        *this, {.journal = JournalLine("SetCheckHeadLine(Text = %s)", text.c_str()),
                .text = "HEAD" + Cut(text, ReceiptTextLimit())});
}

int16_t CVSKCore::SetCheckBottomLine(const std::string& text) {
    return vsk::RunSimpleCommand(
        *this, {.journal = JournalLine("SetCheckBottomLine(Text = %s)", text.c_str()),
                .text = "BOTM" + Cut(text, ReceiptTextLimit())});
}

int16_t CVSKCore::SetCheckBottomLineEx(int32_t lineIndex, int32_t printOnJornal, int32_t printMode,
                                       const std::string& text) {
    // A negative index alone asks the register to drop the bottom lines; an index without text
    // clears that line.
    std::string command = "BOTm";
    if (lineIndex >= 0) {
        command += lineIndex < 10 ? vsk::ZeroPadded(lineIndex, 1) : "0";
        if (!text.empty()) {
            command += printOnJornal != 0 ? '1' : '0';
            command += static_cast<char>('0' + (printMode >= 0 && printMode <= 3 ? printMode : 0));
            command += Cut(text, 43);
        }
    }
    return vsk::RunSimpleCommand(
        *this,
        {.journal = JournalLine("SetCheckBottomLineEx(LineIndex = %ld, PrintOnJornal = %ld, "
                                "PrintMode = %ld, Text = %s)",
                                static_cast<long>(lineIndex), static_cast<long>(printOnJornal),
                                static_cast<long>(printMode), text.c_str()),
         .text = command,
         .allowed = m_variant.hasNumberedBottomLines});
}

int16_t CVSKCore::SetLinePrintingOn() {
    return vsk::RunSimpleCommand(
        *this,
        {.journal = "SetLinePrintingOn()", .text = "STFL", .allowed = m_variant.hasLinePrinting});
}

int16_t CVSKCore::SetDiscountPrintMode(int32_t mode) {
    return vsk::RunSimpleCommand(
        *this, {.journal = JournalLine("SetDiscountPrintMode(Mode = %ld)", static_cast<long>(mode)),
                .text = "NPDI" + vsk::ZeroPadded(mode, 1),
                .allowed = m_variant.hasDiscountPrintMode});
}

int16_t CVSKCore::SetContinousPaperPrintMode(int32_t mode) {
    return vsk::RunSimpleCommand(
        *this,
        {.journal = JournalLine("SetContinousPaperPrintMode(Mode = %ld)", static_cast<long>(mode)),
         .text = "NCDC" + vsk::ZeroPadded(mode, 1),
         .allowed = m_variant.hasContinuousPaperMode});
}

int16_t CVSKCore::SetCurrentCurrency(const std::string& currencyName) {
    // The journal line has never had its closing parenthesis; log readers match it as it is.
    return vsk::RunSimpleCommand(
        *this,
        {.journal = JournalLine("SetCurrentCurrency(szCurrencyName = %s", currencyName.c_str()),
         .text = "SENC" + Cut(currencyName, 3)});
}
