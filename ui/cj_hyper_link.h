// CCJHyperLink: a label that reads as a link (underlined, in the palette's link colour, a hand
// cursor, its target as the tip) and hands its target to the desktop's URL handler when it is
// clicked, or on Space or Enter while it has the focus. Main thread only, as every widget.
#pragma once

#include <QLabel>
#include <QUrl>

#include <functional>

namespace vsk::ui {

class CCJHyperLink : public QLabel {
    Q_OBJECT
public:
    // What a link's target is handed to: QDesktopServices::openUrl, unless a test has put its
    // own in place, so that a test sees the address without a browser being started.
    using Opener = std::function<bool(const QUrl&)>;
    // Puts `opener` in place for every link of the process (an empty one restores the
    // desktop's) and returns the one it replaces.
    static Opener SetOpener(Opener opener);

    CCJHyperLink(const QString& text, const QUrl& target, QWidget* parent = nullptr);

    const QUrl& Target() const { return m_target; }
    // Hands the target to the opener; false when nothing could open it.
    bool Open();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QUrl m_target;
    bool m_pressed = false;
};

}  // namespace vsk::ui
