#include "ui/about_dlg.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/cj_hyper_link.h"
#include "ui/ui_text.h"

namespace vsk::ui {
namespace {

// The links of the box: the text each shows and the string naming its target.
struct AboutLink {
    text::Id label;
    text::Id target;
};
constexpr AboutLink kAboutLinks[] = {
    {text::kLinkReadme, text::kLinkReadmeTarget},
    {text::kLinkProtocol, text::kLinkProtocolTarget},
    {text::kLinkManual, text::kLinkManualTarget},
};

// A target without a scheme names a file of the installed documentation, found from the
// program's own folder so that the package under /usr and an install under /usr/local both
// point at their own copy.
QUrl LinkUrl(const QString& target) {
    const QDir docs(QDir(QCoreApplication::applicationDirPath()).filePath(VSK_DOCS_FROM_BIN));
    return QUrl::fromLocalFile(docs.absolutePath() + '/').resolved(QUrl(target));
}

}  // namespace

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
    for (const AboutLink& link : kAboutLinks)
        texts->addWidget(new CCJHyperLink(Text(link.label), LinkUrl(Text(link.target)), this));
    auto* row = new QHBoxLayout;
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addLayout(texts, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    // The links come first in the tab order; Enter must still close the box.
    buttons->button(QDialogButtonBox::Ok)->setFocus();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
    setMinimumWidth(420);
}

}  // namespace vsk::ui
