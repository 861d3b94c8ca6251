#include "ui/about_dlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/ui_text.h"

namespace vsk::ui {

QString FileVersion() {
    return QString::asprintf("%u,%u,%u,%u", unsigned(VSK_VERSION_MAJOR),
                             unsigned(VSK_VERSION_MINOR), unsigned(VSK_VERSION_PATCH),
                             unsigned(VSK_VERSION_TWEAK));
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("aboutDlg");
    setWindowTitle(Text(text::kMenuAboutShort));
    setWindowIcon(AppIcon());
    auto* icon = new QLabel(this);
    icon->setPixmap(AppIcon().pixmap(64, 64));
    auto* name = new QLabel("<b>" + Text(text::kMainCaption).toHtmlEscaped() + "</b>", this);
    auto* version =
        new QLabel(FormatText(text::kAboutVersion, FileVersion().toUtf8().constData()), this);
    version->setObjectName("version");
    auto* what = new QLabel(Text(text::kAboutLinux), this);
    what->setWordWrap(true);
    auto* texts = new QVBoxLayout;
    texts->addWidget(name);
    texts->addWidget(version);
    texts->addWidget(what);
    auto* row = new QHBoxLayout;
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addLayout(texts, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
    setMinimumWidth(420);
}

}  // namespace vsk::ui
