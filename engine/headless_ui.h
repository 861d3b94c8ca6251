// The headless status window: what HeadlessOperatorUi::CreateStatusWindow returns. It shows
// nothing; it keeps the texts it was last given so tests and diagnostics can see them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/operator_ui.h"

namespace vsk {

class HeadlessStatusWindow : public IStatusWindow {
public:
    bool ShowTexts(std::string_view title, std::string_view goods,
                   std::string_view amount) override;
    bool ShowMessage(unsigned stringId) override;

    // Windows-1251, as last shown.
    const std::string& Title() const { return m_title; }
    const std::string& Goods() const { return m_goods; }
    const std::string& Amount() const { return m_amount; }
    // Every title shown, in order.
    const std::vector<std::string>& Titles() const { return m_titles; }

private:
    std::string m_title;
    std::string m_goods;
    std::string m_amount;
    std::vector<std::string> m_titles;
};

}  // namespace vsk
