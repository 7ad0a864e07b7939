// The about box, dialog 100: the application icon, the version line and an OK button, laid
// out in dialog units of "MS Shell Dlg" 8 pt.
#pragma once

#include <QDialog>
#include <QFont>

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    // The font the box is laid out in.
    static QFont TemplateFont();
};
