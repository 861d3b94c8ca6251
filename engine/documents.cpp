// Service documents: opening and closing, and the document-open flag that receipts, reports and
// settings look at before they start.
#include "engine/vsk_core.h"
#include "platform/clock.h"

int16_t CVSKCore::OpenDocument(int16_t printJornal) {
    m_journal.LogFormat("OpenDocument(PrintJornal = %d)", printJornal);
    if (m_bDocumentOpen) {
        CloseDocument();
    }
    if (m_bCheckOpen) {
        AbortCheck();
    }
    OpenStatusWindow(3008);
    SendToPrinter(printJornal != 0 ? "DBEG1" : "DBEG0");
    if (m_lProtocolFamily == 0) {
        m_clock.Sleep(1000);
    }
    int16_t result = WaitForReadyMsg(3000);
    CloseStatusWindow();
    if (result) {
        m_bDocumentOpen = true;
    }
    return result;
}

int16_t CVSKCore::CloseDocument() {
    m_journal.WriteLogLine("CloseDocument()");
    if (!m_bDocumentOpen) {
        return 0;
    }
    OpenStatusWindow(3010);
    SendToPrinter("DEND");
    int16_t result = WaitForReadyMsg(3000);
    if (result) {
        m_bDocumentOpen = false;
    }
    CloseStatusWindow();
    return result;
}
