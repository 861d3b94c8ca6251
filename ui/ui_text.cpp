#include "ui/ui_text.h"

#include "platform/codepage.h"

// The resources live in a static library: nothing would pull them into the program.
static void InitResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(ui);
        return true;
    }();
    (void)done;
}

namespace vsk::ui {

QIcon AppIcon() {
    InitResources();
    return QIcon(":/icons/vskmanager.svg");
}

QIcon TrayIconImage() {
    InitResources();
    return QIcon(":/icons/tray.svg");
}

QString Text(unsigned id) {
    return QString::fromStdString(LoadStringUtf8(id));
}

QString FromAnsi(std::string_view cp1251) {
    return QString::fromStdString(Cp1251ToUtf8(cp1251));
}

std::string ToAnsi(const QString& text) {
    return Utf8ToCp1251(text.toStdString());
}

}  // namespace vsk::ui
