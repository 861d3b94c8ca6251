#include "ui/cj_hyper_link.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

#include <utility>

namespace vsk::ui {
namespace {

CCJHyperLink::Opener& CurrentOpener() {
    static CCJHyperLink::Opener opener;
    return opener;
}

}  // namespace

CCJHyperLink::Opener CCJHyperLink::SetOpener(Opener opener) {
    return std::exchange(CurrentOpener(), std::move(opener));
}

CCJHyperLink::CCJHyperLink(const QString& text, const QUrl& target, QWidget* parent)
    : QLabel(text, parent), m_target(target) {
    setTextFormat(Qt::PlainText);
    setForegroundRole(QPalette::Link);
    QFont underlined = font();
    underlined.setUnderline(true);
    setFont(underlined);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setToolTip(target.toDisplayString());
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

bool CCJHyperLink::Open() {
    const Opener& opener = CurrentOpener();
    return opener ? opener(m_target) : QDesktopServices::openUrl(m_target);
}

// A click is a press and a release both on the link, as on a button: a press dragged off it
// opens nothing.
void CCJHyperLink::mousePressEvent(QMouseEvent* event) {
    m_pressed = event->button() == Qt::LeftButton;
    QLabel::mousePressEvent(event);
}

void CCJHyperLink::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = m_pressed && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    m_pressed = false;
    if (click)
        Open();
    QLabel::mouseReleaseEvent(event);
}

void CCJHyperLink::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Space:
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Select:
            Open();
            event->accept();
            return;
        default:
            QLabel::keyPressEvent(event);
    }
}

// A label draws no focus of its own; a link reached by Tab must show that it has it.
void CCJHyperLink::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    QStylePainter painter(this);
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    focus.backgroundColor = palette().color(backgroundRole());
    painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
}

}  // namespace vsk::ui
