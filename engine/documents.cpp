// Service and text documents, and the small service actions (null receipt, copy, cash in and
// out, drawer, cutter, feed). Also the document-open flag that receipts, reports and settings
// look at before they start.
#include <string_view>
#include <utility>

#include "engine/simple_command.h"
#include "engine/vsk_core.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "resources/strings.h"

namespace {

constexpr size_t kLineData = 12;

// The coded service lines 'A' to 'L' and the captions the status window shows for them.
const std::string& CodedLineCaption(char code) {
    static const std::array<std::string, 12> captions = [] {
        static constexpr std::string_view kUtf8[] = {
            "Отчет по наличности", "Начальный остаток", "Служебное внесение", "Служебное изъятие",
            "Приход наличности",   "Выдано наличности", "Конечный остаток",   "Безналичная оплата",
            "Отчет по реализации", "По Валютам",        "По Отделам",         "По Кассирам"};
        std::array<std::string, 12> texts;
        for (size_t i = 0; i < texts.size(); ++i) {
            texts[i] = vsk::Utf8ToCp1251(kUtf8[i]);
        }
        return texts;
    }();
    return captions[static_cast<size_t>(code - 'A')];
}

bool IsCodedLine(const std::string& name) {
    return name.size() == 1 && name[0] >= 'A' && name[0] <= 'L';
}

char Flag(int16_t value) {
    return value != 0 ? '1' : '0';
}

}  // namespace

// ---------------------------------------------------------------------------- service document

int16_t CVSKCore::OpenDocument(int16_t printJornal) {
    m_journal.LogFormat("OpenDocument(PrintJornal = %d)", printJornal);
    if (m_bDocumentOpen) {
        CloseDocument();
    }
    if (m_bCheckOpen) {
        AbortCheck();
    }
    OpenStatusWindow(vsk::text::kStatusOpeningDocument);
    const bool first = std::exchange(m_bFirstOpening, false);
    bool leftover = false;
    auto open = [&](bool watchLeftover) {
        return ExchangeReady({.text = printJornal != 0 ? "DBEG1" : "DBEG0",
                              .pauseMs = m_variant.documentOpeningPauseMs},
                             vsk::kReadyTimeoutMs,
                             watchLeftover ? LeftoverHook(leftover) : vsk::ReplyHooks{});
    };
    int16_t result = open(first);
    if (leftover) {
        EndLeftover();
        result = open(false);
    }
    CloseStatusWindow();
    if (result) {
        m_bDocumentOpen = true;
    }
    return result;
}

int16_t CVSKCore::DocumentLine(const std::string& name, const std::string& sData, int32_t lData) {
    m_journal.LogFormat("DocumentLine(Name = %s, SData = %s, lData = %ld)", name.c_str(),
                        sData.c_str(), static_cast<long>(lData));
    if (!m_bDocumentOpen) {
        return 0;
    }
    const bool coded = IsCodedLine(name);
    std::string head;
    std::string caption;
    if (coded) {
        head = "DLIN" + name;
        caption = CodedLineCaption(name[0]);
    } else {
        caption = name.substr(0, 4);
        caption.append(4 - caption.size(), ' ');
        head = "ALIN" + caption;
    }
    std::string data;
    if (!sData.empty()) {
        data = sData.substr(0, kLineData);
        data.insert(0, kLineData - data.size(), '0');
    } else if (lData > 0) {
        data = vsk::ZeroPadded(lData, kLineData);
    } else if (!coded) {
        data.assign(kLineData, '0');
    }

    // The line's window stays up after the line, until the next operation replaces it.
    CloseStatusWindow();
    if (m_bShowStatusDialogs) {
        m_statusWindow = m_ui.CreateStatusWindow();
        ShowStatusTexts(vsk::LoadString1251(vsk::text::kStatusPrintingDocumentLine),
                        caption + ": " + data, {});
    }
    if (ExchangeReady({.text = head + data})) {
        return 1;
    }
    // A refused line ends the document: the client opens a new one.
    CloseDocument();
    return 0;
}

int16_t CVSKCore::CloseDocument() {
    m_journal.WriteLogLine("CloseDocument()");
    if (!m_bDocumentOpen) {
        return 0;
    }
    OpenStatusWindow(vsk::text::kStatusClosingDocument);
    const int16_t result = ExchangeReady({.text = "DEND"});
    if (result) {
        m_bDocumentOpen = false;
    }
    CloseStatusWindow();
    return result;
}

// ------------------------------------------------------------------------------- text document

int16_t CVSKCore::OpenTextDocument() {
    m_journal.WriteLogLine("OpenTextDocument()");
    if (m_bDocumentOpen) {
        CloseDocument();
    }
    if (m_bCheckOpen) {
        AbortCheck();
    }
    return ClearFreeTextLines();
}

int16_t CVSKCore::CloseTextDocument(int16_t printOnJornal) {
    m_journal.LogFormat("CloseTextDocument(PrintOnJornal = %d)", printOnJornal);
    if (m_bDocumentOpen) {
        CloseDocument();
    }
    if (m_bCheckOpen) {
        AbortCheck();
    }
    const bool first = std::exchange(m_bFirstOpening, false);
    bool leftover = false;
    auto open = [&](bool watchLeftover) {
        return ExchangeReady({.text = printOnJornal != 0 ? "DBEG1" : "DBEG0"}, vsk::kReadyTimeoutMs,
                             watchLeftover ? LeftoverHook(leftover) : vsk::ReplyHooks{});
    };
    int16_t opened = open(first);
    if (leftover) {
        EndLeftover();
        opened = open(false);
    }
    // Only an accepted "DBEG" prints the buffer: a service document left open by a refused
    // closing must not turn a refused "DBEG" into a printed text document.
    if (!opened) {
        return 0;
    }
    CloseStatusWindow();
    // "PRTX" prints the buffered lines and ends the document itself; no "DEND" follows.
    m_bDocumentOpen = false;
    return ExchangeReady({.text = "PRTX"});
}

// ------------------------------------------------------------------------------ service actions

int16_t CVSKCore::NullCheck() {
    return vsk::RunSimpleCommand(*this, {.journal = "NullCheck()", .text = "NULL"});
}

int16_t CVSKCore::CheckCopy() {
    return vsk::RunSimpleCommand(
        *this,
        {.journal = "CheckCopy()", .text = "COPY", .allowed = !m_bCheckOpen && !m_bDocumentOpen});
}

int16_t CVSKCore::MoveCash(int16_t cashIncome, int32_t summ) {
    return vsk::RunSimpleCommand(
        *this,
        {.journal = vsk::JournalLine("MoveCash(CashIncome = %d, Summ = %ld)", cashIncome,
                                     static_cast<long>(summ)),
         .text = std::string("CAIO") + (cashIncome > 0 ? 'I' : 'O') + vsk::ZeroPadded(summ, 10)});
}

int16_t CVSKCore::OpenCashBox() {
    return vsk::RunSimpleCommand(*this, {.journal = "OpenCashBox()", .text = "KASS"});
}

int16_t CVSKCore::CutAndBeep(int16_t cutterOn, int16_t beepOn, int16_t partialCut) {
    std::string command = std::string("CUTR") + Flag(cutterOn) + Flag(beepOn);
    if (m_variant.hasPartialCut) {
        command += vsk::ZeroPadded(partialCut, 1);
    }
    return vsk::RunSimpleCommand(
        *this,
        {.journal = vsk::JournalLine("CutAndBeep(CutterOn = %d, BeepOn = %d, PartialCut = %d)",
                                     cutterOn, beepOn, partialCut),
         .text = command,
         .allowed = m_variant.hasCutter});
}

int16_t CVSKCore::Feed(int16_t linesToFeed) {
    int lines = linesToFeed < 0 || linesToFeed > 255 ? 0 : linesToFeed;
    return vsk::RunSimpleCommand(
        *this, {.journal = vsk::JournalLine("Feed(LinesToFeed = %d)", linesToFeed),
                .text = "FEED" + std::to_string(lines)});
}
