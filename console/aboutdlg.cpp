#include "aboutdlg.h"

#include "framework.h"
#include "resource.h"

#include <QLabel>
#include <QPushButton>

namespace {

// An icon control takes the size of the icon, not the size in its template.
constexpr int ICON_SIZE = 32;

QLabel* MakeText(QWidget* parent, const QString& text, const QFont& font, const QRect& du) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setGeometry(DluToPixels(font, du));
    return label;
}

} // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QString::number(IDD_ABOUTBOX));
    // A modal frame with caption and system menu, no sizing border.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(tr("About Morvane"));
    setModal(true);

    const QFont font = TemplateFont();
    setFont(font);
    setFixedSize(DluToPixels(font, QSize(170, 62)));

    auto* icon = new QLabel(this);
    icon->setPixmap(MorvaneAppIcon().pixmap(ICON_SIZE, ICON_SIZE));
    icon->setGeometry(
        QRect(DluToPixels(font, QRect(14, 14, 0, 0)).topLeft(), QSize(ICON_SIZE, ICON_SIZE)));

    MakeText(this, QStringLiteral("Morvane, Version 1.0"), font, QRect(42, 14, 114, 8));
    MakeText(this, QStringLiteral("Copyright (C) Halvorn"), font, QRect(42, 26, 114, 8));

    auto* ok = new QPushButton(tr("OK"), this);
    FwPlaceControl(ok, IDOK, font, QRect(113, 41, 50, 14));
    ok->setDefault(true);
    ok->setFocus();
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

QFont CAboutDlg::TemplateFont() {
    return FwTemplateFont(QStringLiteral("MS Shell Dlg"), 8);
}
