// CGroupBox: a group box that draws itself completely.
//
// Two looks: a plain rounded frame with the title set into its top edge, or a header look with a
// filled, rounded title band over a rectangular body (optionally with a second band under the
// header). The title has a font and colours of its own. Every appearance setter returns the
// control, so calls chain, and repaints it at once.
//
// The control exists as an object before it has its place on a form. Attach() gives it that
// place (parent, id, window text, rectangle); that is the moment the control "has a window":
// only then do SetTitle and the repaints of the setters act, and only then is the title font
// taken from the widget's font.
//
// The window text is the text the form gave the control (SetWindowText/WindowText, mirrored into
// the accessible name). The first paint with an empty title takes it, padded with one blank on
// each side, as the title; later changes of the window text no longer show.
//
// Colours are 0x00BBGGRR values (see colorref.h). The drawing keeps the rectangle convention of
// the coordinates used below: right and bottom are exclusive, so a 1-pixel outline of
// (l, t, r, b) lies on columns l and r-1 and rows t and b-1.
#pragma once

#include "colorref.h"

#include <QFont>
#include <QRect>
#include <QString>
#include <QWidget>
#include <cstdint>

// A font described the way the title font is stored and edited field by field. Heights are in
// pixels: negative is the character (em) height, positive the cell height (ascent + descent),
// 0 the default. Weight 100..900 (400 normal, 700 bold; 0 means normal). The face name holds
// at most CTL_FACESIZE - 1 UTF-16 units. Escapement, orientation, character set and the
// precision fields are kept but have no effect on the Qt font; quality 3 (non-antialiased)
// turns antialiasing off, 4 to 6 ask for it.
inline constexpr int CTL_FACESIZE = 32;
inline constexpr int CTL_FW_NORMAL = 400;
inline constexpr int CTL_FW_BOLD = 700;
inline constexpr std::uint8_t CTL_NONANTIALIASED_QUALITY = 3;
inline constexpr std::uint8_t CTL_ANTIALIASED_QUALITY = 4;

struct CtlLogFont {
    int lfHeight = 0;
    int lfWidth = 0;
    int lfEscapement = 0;
    int lfOrientation = 0;
    int lfWeight = 0;
    std::uint8_t lfItalic = 0;
    std::uint8_t lfUnderline = 0;
    std::uint8_t lfStrikeOut = 0;
    std::uint8_t lfCharSet = 0;
    std::uint8_t lfOutPrecision = 0;
    std::uint8_t lfClipPrecision = 0;
    std::uint8_t lfQuality = 0;
    std::uint8_t lfPitchAndFamily = 0;
    QString lfFaceName;

    bool operator==(const CtlLogFont&) const = default;
};

// The description of a Qt font; dpiY converts a point size into pixels.
CtlLogFont CtlLogFontFromFont(const QFont& font, int dpiY);
// The Qt font of a description.
QFont CtlFontFromLogFont(const CtlLogFont& lf);
// A face name cut to what the description holds (CTL_FACESIZE - 1 units, never half a
// surrogate pair).
QString CtlTruncateFaceName(const QString& face);

class CGroupBox : public QWidget {
    Q_OBJECT

public:
    CGroupBox();
    ~CGroupBox() override;

    // Gives the control its place: parent, control id (the object name, in decimal), window
    // text and rectangle in the parent's coordinates. Takes the title font from the widget's
    // font and stacks the control under its siblings, since it frames them. Returns false, and
    // changes nothing, when the control is attached already.
    bool Attach(QWidget* parent, int id, const QString& text, const QRect& rect);
    bool HasWindow() const { return m_bHasWindow; }

    void SetWindowText(const QString& text);
    QString WindowText() const { return m_strWindowText; }

    virtual CGroupBox& SetBorderColor(COLORREF cr);
    virtual CGroupBox& SetTitleTextColor(COLORREF cr);
    virtual CGroupBox& SetHeaderColors(COLORREF crTitleBk, COLORREF crBandBk, bool bBanded);
    virtual CGroupBox& SetBackgroundColor(COLORREF cr);
    virtual CGroupBox& SetFrameColor(COLORREF cr);
    virtual CGroupBox& SetHeaderStyle(int nStyle);
    // Without a window this does nothing at all. Otherwise the title becomes the text with one
    // blank before and one after it (an empty text gives two blanks); the window text stays.
    virtual CGroupBox& SetTitle(const QString& title);
    virtual CGroupBox& SetFontBold(bool bBold);
    virtual CGroupBox& SetFontName(const QString& face, std::uint8_t charSet);
    virtual CGroupBox& SetFontUnderline(std::uint8_t bUnderline);
    virtual CGroupBox& SetFontItalic(std::uint8_t bItalic);
    // Height of the given size in points at the widget's vertical resolution, width 0; face,
    // weight, italic and underline stay as they are.
    virtual CGroupBox& SetFontSize(int nPoints);
    virtual CGroupBox& SetLogFont(CtlLogFont lf);
    // 0 left, 1 centre, 2 right. Anything else is a programming error: it is reported as a
    // failed assertion and 0 is stored.
    virtual CGroupBox& SetAlignment(int nAlignment);

    // Read-only views of the state, for the form and for tests.
    const QString& Title() const { return m_strTitle; }
    COLORREF BorderColor() const { return m_crBorder; }
    COLORREF TitleBkColor() const { return m_crTitleBk; }
    COLORREF BandBkColor() const { return m_crBandBk; }
    COLORREF TitleTextColor() const { return m_crTitleText; }
    int HeaderStyle() const { return m_nHeaderStyle; }
    // The header style's body height base in pixels (402 by default: the height the frame was
    // drawn for with the Traditional Chinese face on Windows). A form laid out with other font
    // metrics gives the pixel height of the same dialog units, so the frame still encloses
    // what it frames.
    void SetBodyHeightBase(int pixels) {
        m_nBodyHeightBase = pixels;
        update();
    }
    int BodyHeightBase() const { return m_nBodyHeightBase; }
    int Alignment() const { return m_nAlignment; }
    bool IsBanded() const { return m_bBanded; }
    const CtlLogFont& LogFont() const { return m_logFont; }
    const QFont& TitleFont() const { return m_font; }

    // The header style's outline colours: banded (1 pixel) and not banded (3 pixels).
    static constexpr COLORREF BANDED_PEN_COLOR = 0xE78C10;
    static constexpr COLORREF PLAIN_HEADER_PEN_COLOR = 0xC8C8C8;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void MakeFont();
    void RepaintNow();

    QString m_strTitle;
    COLORREF m_crBorder;
    COLORREF m_crTitleBk;
    COLORREF m_crBandBk;
    COLORREF m_crTitleText;
    int m_nHeaderStyle = 0;
    int m_nAlignment = 1;
    int m_nBodyHeightBase = 402;
    CtlLogFont m_logFont;
    QFont m_font;
    // Only SetHeaderColors decides the header variant; until then the header style draws the
    // variant without band.
    bool m_bBanded = false;

    bool m_bHasWindow = false;
    QString m_strWindowText;
};
