// CAutoSizeListCtrl: the report list of the pages and the printer information window. Its
// columns grow to one and a half times the longest text they hold, measured in the font's
// average character width, and never below their header text.
#pragma once

#include <QTreeWidget>

namespace vsk::ui {

class CAutoSizeListCtrl : public QTreeWidget {
    Q_OBJECT
public:
    explicit CAutoSizeListCtrl(QWidget* parent = nullptr);
    ~CAutoSizeListCtrl() override;

    QTreeWidgetItem* AddRow(const QStringList& texts);
    void AutoSizeColumns();
    // The width one character is counted with, measured once from the font.
    int CharWidth();

private:
    int m_charWidth = -1;
};

}  // namespace vsk::ui
