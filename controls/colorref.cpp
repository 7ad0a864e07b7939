#include "colorref.h"

#include <QGuiApplication>
#include <QPalette>

QColor ColorFromRef(COLORREF cr) {
    return QColor(static_cast<int>(cr & 0xFF), static_cast<int>((cr >> 8) & 0xFF),
                  static_cast<int>((cr >> 16) & 0xFF));
}

COLORREF RefFromColor(const QColor& color) {
    const QColor rgb = color.toRgb();
    return ColorRgb(rgb.red(), rgb.green(), rgb.blue());
}

COLORREF SysColor(int index) {
    const QPalette pal = QGuiApplication::palette();
    switch (index) {
    case COLOR_BTNFACE:
        return RefFromColor(pal.color(QPalette::Active, QPalette::Button));
    case COLOR_BTNSHADOW:
        return RefFromColor(pal.color(QPalette::Active, QPalette::Dark));
    case COLOR_WINDOWTEXT:
        return RefFromColor(pal.color(QPalette::Active, QPalette::WindowText));
    default:
        return 0;
    }
}
