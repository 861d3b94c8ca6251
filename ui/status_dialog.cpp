#include "ui/status_dialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QScreen>

#include "ui/ui_text.h"

namespace vsk::ui {

CStatusDialog::CStatusDialog(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      m_title(new QLabel(this)),
      m_goods(new QLabel(this)),
      m_amount(new QLabel(this)) {
    setObjectName("statusDialog");
    setAttribute(Qt::WA_ShowWithoutActivating);  // the operator's typing stays where it was
    m_title->setAlignment(Qt::AlignCenter);
    m_title->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_title->setMinimumWidth(320);
    m_goods->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_amount->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* grid = new QGridLayout(this);
    grid->addWidget(m_title, 0, 0, 1, 2);
    grid->addWidget(m_goods, 1, 0);
    grid->addWidget(m_amount, 1, 1);
    setStyleSheet("CStatusDialog { border: 1px solid palette(dark); }");
}

bool CStatusDialog::ShowTexts(const QString& title, const QString& goods, const QString& amount) {
    m_titleText = title;
    m_goodsText = goods;
    m_amountText = amount;
    Display();
    return true;
}

bool CStatusDialog::ShowMessage(unsigned stringId) {
    return ShowTexts(Text(stringId), {}, {});
}

void CStatusDialog::Display() {
    const std::pair<QLabel*, const QString*> controls[] = {
        {m_title, &m_titleText}, {m_goods, &m_goodsText}, {m_amount, &m_amountText}};
    for (auto [label, text] : controls) {
        label->setText(*text);
        label->setVisible(!text->isEmpty());
    }
    adjustSize();
    // Centred on the main window when the operator can see it, else on the screen (the main
    // window mostly lives hidden).
    QWidget* owner = parentWidget();
    QRect area = owner && owner->isVisible() ? owner->frameGeometry()
                 : screen()                  ? screen()->availableGeometry()
                                             : QRect();
    if (area.isValid())
        move(area.center() - rect().center());
    show();
    raise();
    // The worker goes on at once; the window must show the text now, not when it is next idle.
    repaint();
}

}  // namespace vsk::ui
