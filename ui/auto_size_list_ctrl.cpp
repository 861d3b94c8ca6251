#include "ui/auto_size_list_ctrl.h"

#include <QFontMetrics>
#include <QHeaderView>

#include <algorithm>
#include <cstdlib>

namespace vsk::ui {

CAutoSizeListCtrl::CAutoSizeListCtrl(QWidget* parent) : QTreeWidget(parent) {
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);  // full-row selection
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setAlternatingRowColors(true);
    header()->setSectionsClickable(true);
    header()->setStretchLastSection(false);
    connect(header(), &QHeaderView::sectionClicked, this, [this] { AutoSizeColumns(); });
    connect(model(), &QAbstractItemModel::rowsInserted, this, [this] { AutoSizeColumns(); });
    connect(model(), &QAbstractItemModel::rowsRemoved, this, [this] { AutoSizeColumns(); });
    connect(model(), &QAbstractItemModel::modelReset, this, [this] { AutoSizeColumns(); });
}

CAutoSizeListCtrl::~CAutoSizeListCtrl() {
    // The model empties itself while the header is already gone.
    disconnect(model(), nullptr, this, nullptr);
}

QTreeWidgetItem* CAutoSizeListCtrl::AddRow(const QStringList& texts) {
    auto* item = new QTreeWidgetItem(texts);
    addTopLevelItem(item);
    AutoSizeColumns();  // the texts were set before the row arrived
    return item;
}

int CAutoSizeListCtrl::CharWidth() {
    if (m_charWidth < 0) {
        QFontMetrics metrics(font());
        int width = metrics.averageCharWidth();
        if (width <= 0)
            width = std::abs(metrics.height()) / 2;
        m_charWidth = width > 0 ? width : 12;
    }
    return m_charWidth;
}

void CAutoSizeListCtrl::AutoSizeColumns() {
    setUpdatesEnabled(false);
    const int charWidth = CharWidth();
    for (int column = 0; column < columnCount(); ++column) {
        int longest = 0;
        for (int row = 0; row < topLevelItemCount(); ++row)
            longest = std::max(longest, int(topLevelItem(row)->text(column).size()));
        int wanted = longest * charWidth;
        wanted += wanted / 2;
        setColumnWidth(column, std::max(header()->sectionSizeHint(column), wanted));
    }
    setUpdatesEnabled(true);
}

}  // namespace vsk::ui
