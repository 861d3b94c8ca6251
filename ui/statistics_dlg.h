// CStatisticsDlg: the Connections page, one row per open port and client program.
#pragma once

#include <QWidget>

#include <functional>
#include <vector>

#include "server/port_registry.h"

class QPushButton;

namespace vsk::ui {

class CAutoSizeListCtrl;

class CStatisticsDlg : public QWidget {
    Q_OBJECT
public:
    using Rows = std::vector<CVSKPortManager::ConnectionRow>;
    explicit CStatisticsDlg(std::function<Rows()> fillRows, QWidget* parent = nullptr);

    void Refresh();
    CAutoSizeListCtrl* List() const { return m_list; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::function<Rows()> m_fillRows;
    CAutoSizeListCtrl* m_list;
    QPushButton* m_refresh;
};

}  // namespace vsk::ui
