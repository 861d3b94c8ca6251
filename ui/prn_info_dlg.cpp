#include "ui/prn_info_dlg.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTimerEvent>
#include <QVBoxLayout>

#include "engine/printer_info.h"
#include "ui/auto_size_list_ctrl.h"
#include "ui/ui_text.h"

namespace vsk::ui {

CPrnInfoDlg::CPrnInfoDlg(const CPrinterInfo* info, QWidget* parent)
    : QDialog(parent),
      m_fields(new CAutoSizeListCtrl(this)),
      m_taxes(new CAutoSizeListCtrl(this)),
      m_countdown(new QPushButton(this)) {
    setObjectName("prnInfoDlg");
    setWindowTitle(Text(text::kPrnInfoCaption));
    setWindowIcon(AppIcon());
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_fields, 3);
    layout->addWidget(m_taxes, 2);
    layout->addWidget(m_countdown);
    layout->addWidget(buttons);
    resize(640, 520);

    m_pattern = Text(text::kCountdown);
    m_countdown->setText(QString::asprintf(m_pattern.toUtf8().constData(), m_remaining));
    connect(m_countdown, &QPushButton::clicked, this, [this] {
        StopCountdown();
        m_countdown->hide();
    });
    m_timerId = startTimer(1000);

    m_fields->setHeaderLabels({Text(text::kColumnField), Text(text::kColumnValue)});
    m_taxes->setHeaderLabels({Text(text::kColumnTaxRate), Text(text::kColumnTaxKind),
                              Text(text::kColumnPercent), Text(text::kColumnRegistrationDate)});
    if (!info)
        return;
    FillFields(*info);
    FillTaxes(*info);
}

CPrnInfoDlg::~CPrnInfoDlg() {
    StopCountdown();
}

QString CPrnInfoDlg::KeyPositionText(char letter) {
    switch (letter) {
        case 'P':
            return Text(text::kKeyProgramming);
        case 'R':
            return Text(text::kKeyRegistration);
        case 'X':
            return Text(text::kKeyXReport);
        case 'Z':
            return Text(text::kKeyZReport);
        default:
            return Text(text::kKeyOff);
    }
}

QString CPrnInfoDlg::TaxKindText(char kind) {
    switch (kind) {
        case '0':
            return Text(text::kTaxKindIncluded);
        case '1':
            return Text(text::kTaxKindOnSale);
        case '2':
            return Text(text::kTaxKindProfit);
        default:
            return Text(text::kInfoNotSet);
    }
}

void CPrnInfoDlg::FillFields(const CPrinterInfo& info) {
    const std::pair<unsigned, QString> rows[] = {
        {text::kInfoSerialNumber, FromAnsi(info.m_szSerialNumber)},
        {text::kInfoFiscalNumber, FromAnsi(info.m_szFiscalNumber)},
        {text::kInfoOwner, FromAnsi(info.m_szOwner)},
        {text::kInfoDate, FromAnsi(RegisterDateText(info.m_szDate))},
        {text::kInfoTime, FromAnsi(info.m_szTime)},
        {text::kInfoCurrency, FromAnsi(info.m_szCurrencyName)},
        {text::kInfoCurrencyDecimals, QString::number(info.m_nDecPointPosition)},
        {text::kInfoCurrencyDate, FromAnsi(RegisterDateText(info.m_szCurrencyDate))},
        {text::kInfoMaxArticles, QString::number(info.m_lMaxArticles)},
        {text::kInfoFirmwareVersion, FromAnsi(info.m_szFirmwareVersion)},
        {text::kInfoFirmwareDate, FromAnsi(RegisterDateText(info.m_szFirmwareDate))},
    };
    for (const auto& [label, value] : rows)
        m_fields->AddRow({Text(label), value});
    m_fields->AddRow({Text(text::kInfoKeyPosition), KeyPositionText(info.m_cKeyPosition)});
    m_fields->AutoSizeColumns();
}

void CPrnInfoDlg::FillTaxes(const CPrinterInfo& info) {
    const QString letters = Text(text::kTaxLetters);
    for (int i = 0; i < 8; ++i) {
        const CTaxEntry& tax = info.m_Taxes[i];
        m_taxes->AddRow({letters.mid(i, 1), TaxKindText(tax.kind), FromAnsi(tax.rateText),
                         FromAnsi(RegisterDateText(tax.date))});
    }
    m_taxes->AutoSizeColumns();
}

void CPrnInfoDlg::StopCountdown() {
    if (m_timerId) {
        killTimer(m_timerId);
        m_timerId = 0;
    }
}

void CPrnInfoDlg::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_timerId || m_timerId == 0)
        return QDialog::timerEvent(event);
    // The first tick still shows ten; the tenth closes the window.
    m_countdown->setText(QString::asprintf(m_pattern.toUtf8().constData(), m_remaining));
    if (--m_remaining <= 0) {
        StopCountdown();
        QMetaObject::invokeMethod(this, &QDialog::accept, Qt::QueuedConnection);
    }
}

}  // namespace vsk::ui
