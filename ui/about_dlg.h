// CAboutDlg: the program's name and version, and links to its documentation.
#pragma once

#include <QDialog>

namespace vsk::ui {

// The version of this build as four numbers, "major,minor,patch,tweak".
QString FileVersion();

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace vsk::ui
