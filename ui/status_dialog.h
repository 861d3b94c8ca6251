// CStatusDialog: the small borderless window that says what a port's register is busy with.
// It takes no input; empty texts hide their controls.
#pragma once

#include <QDialog>

class QLabel;

namespace vsk::ui {

class CStatusDialog : public QDialog {
    Q_OBJECT
public:
    explicit CStatusDialog(QWidget* parent = nullptr);

    bool ShowTexts(const QString& title, const QString& goods, const QString& amount);
    bool ShowMessage(unsigned stringId);

    QLabel* TitleLabel() const { return m_title; }
    QLabel* GoodsLabel() const { return m_goods; }
    QLabel* AmountLabel() const { return m_amount; }

private:
    void Display();

    QString m_titleText, m_goodsText, m_amountText;
    QLabel* m_title;
    QLabel* m_goods;
    QLabel* m_amount;
};

}  // namespace vsk::ui
