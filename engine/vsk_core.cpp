#include "engine/vsk_core.h"
#include "resources/strings.h"

#include "link/settings.h"
#include "platform/clock.h"

CVSKCore::CVSKCore(int32_t portNumber, vsk::IClock* clock, vsk::IOperatorUi* ui,
                   std::string journalFolder)
    : m_lPortNumber(portNumber),
      m_ownUi(ui ? nullptr : std::make_unique<vsk::HeadlessOperatorUi>()),
      m_clock(clock ? *clock : vsk::RealClock()),
      m_ui(ui ? *ui : *m_ownUi),
      m_journal(portNumber, vsk::SaveToLogSetting(), vsk::KeepLogFilesSetting(),
                std::move(journalFolder)),
      m_queue(&m_journal),
      m_channel(m_journal, m_queue, m_clock) {
    m_journal.LogResourceString(vsk::text::kJournalStart);
}

CVSKCore::~CVSKCore() {
    // The journal closes before Done, so Done's own lines are not recorded.
    m_journal.LogResourceString(vsk::text::kJournalStop);
    m_journal.Close();
    Done();
}

int64_t CVSKCore::RunningTotal() const {
    const SideTotals& sale = m_totals.sale;
    const SideTotals& ret = m_totals.ret;
    return int64_t{sale.sum} - ret.sum + sale.onSaleTaxes - ret.onSaleTaxes + ret.kind2Taxes -
           sale.kind2Taxes;
}

void CVSKCore::OpenStatusWindow(unsigned message) {
    m_statusWindow.reset();
    if (m_bShowStatusDialogs) {
        m_statusWindow = m_ui.CreateStatusWindow();
        if (m_statusWindow) {
            m_statusWindow->ShowMessage(message);
        }
    }
}

void CVSKCore::CloseStatusWindow() {
    m_statusWindow.reset();
}

void CVSKCore::ShowStatusTexts(std::string_view title, std::string_view goods,
                               std::string_view amount) {
    if (m_statusWindow) {
        m_statusWindow->ShowTexts(title, goods, amount);
    }
}

void CVSKCore::UpdateMaxArticles() {
    m_PrinterInfo.m_lMaxArticles =
        m_variant.MaxArticle(m_lArticleMode, m_PrinterInfo.m_lMaxArticles);
}
