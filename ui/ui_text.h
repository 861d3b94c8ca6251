// Texts for the operator windows: rows of the string table as QString, and the conversions
// between the server's Windows-1251 texts and Qt's.
#pragma once

#include <QIcon>
#include <QString>

#include <string>
#include <string_view>

#include "resources/strings.h"

namespace vsk::ui {

QString Text(unsigned id);
// The program's icon and the tray's, drawn in the resources.
QIcon AppIcon();
QIcon TrayIconImage();
QString FromAnsi(std::string_view cp1251);
std::string ToAnsi(const QString& text);

// A row holding printf conversions, filled with `args` (at least one).
template <class... Args>
QString FormatText(unsigned id, Args... args) {
    static_assert(sizeof...(Args) > 0);
    return QString::asprintf(LoadStringUtf8(id).c_str(), args...);
}

}  // namespace vsk::ui
