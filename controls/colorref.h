// Colours as the console stores them, and the one place where they turn into Qt colours.
//
// Every colour of the console is a 32-bit value laid out 0x00BBGGRR: red in the lowest byte,
// blue in the third. So 0xFFA940 is red 0x40 (64), green 0xA9 (169), blue 0xFF (255), a light
// blue, although read as a hex number it looks orange. Only ColorFromRef and RefFromColor
// convert between this layout and QColor; nothing else shifts colour bytes.
#pragma once

#include <QColor>
#include <cstdint>

// windows.h declares COLORREF as DWORD, which is unsigned long. Declaring the same alias again
// is allowed in C++, so this header compiles whether or not windows.h came first.
#if defined(_WIN32)
using COLORREF = unsigned long;
#else
using COLORREF = std::uint32_t;
#endif

// The system colours the controls read when they are constructed, with the indexes GetSysColor
// uses. windows.h defines these as macros with the same values; then its macros are used.
#ifndef COLOR_WINDOWTEXT
inline constexpr int COLOR_WINDOWTEXT = 8;
#endif
#ifndef COLOR_BTNFACE
inline constexpr int COLOR_BTNFACE = 15;
#endif
#ifndef COLOR_BTNSHADOW
inline constexpr int COLOR_BTNSHADOW = 16;
#endif

// Builds a colour value from its three components, 0..255 each.
constexpr COLORREF ColorRgb(int r, int g, int b) {
    return static_cast<COLORREF>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}

// The opaque QColor of a colour value. The top byte is ignored.
QColor ColorFromRef(COLORREF cr);

// The colour value of a QColor (converted to RGB first; alpha is dropped).
COLORREF RefFromColor(const QColor& color);

// The system colour of the given index, taken from the application palette: COLOR_BTNFACE is
// the button colour, COLOR_BTNSHADOW the dark shade used for button shadows, COLOR_WINDOWTEXT
// the window text colour. Any other index gives 0 (black). Needs a QGuiApplication.
COLORREF SysColor(int index);
