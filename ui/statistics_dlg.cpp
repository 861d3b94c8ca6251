#include "ui/statistics_dlg.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/auto_size_list_ctrl.h"
#include "ui/ui_text.h"

namespace vsk::ui {

CStatisticsDlg::CStatisticsDlg(std::function<Rows()> fillRows, QWidget* parent)
    : QWidget(parent),
      m_fillRows(std::move(fillRows)),
      m_list(new CAutoSizeListCtrl(this)),
      m_refresh(new QPushButton(Text(text::kButtonRefresh), this)) {
    setObjectName("statisticsDlg");
    auto* group = new QGroupBox(Text(text::kGroupConnections), this);
    auto* inGroup = new QVBoxLayout(group);
    inGroup->addWidget(m_list);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_refresh);
    inGroup->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);

    m_list->setHeaderLabels({Text(text::kColumnComPort), Text(text::kColumnSerialNumber),
                             Text(text::kColumnClientProgram)});
    m_list->header()->setStretchLastSection(true);
    connect(m_refresh, &QPushButton::clicked, this, &CStatisticsDlg::Refresh);
    Refresh();
}

void CStatisticsDlg::Refresh() {
    m_list->setUpdatesEnabled(false);
    m_list->clear();
    if (m_fillRows)
        for (const auto& row : m_fillRows())
            m_list->AddRow({FromAnsi(row.port), FromAnsi(row.serial), FromAnsi(row.client)});
    m_list->setUpdatesEnabled(true);
}

void CStatisticsDlg::showEvent(QShowEvent* event) {
    Refresh();
    QWidget::showEvent(event);
}

}  // namespace vsk::ui
