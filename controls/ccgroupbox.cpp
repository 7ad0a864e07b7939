#include "ccgroupbox.h"

#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <algorithm>
#include <cstdlib>

namespace {

// Both frame looks round their corners with a 10 by 10 pixel ellipse.
constexpr qreal CORNER_RADIUS = 5.0;
constexpr std::uint8_t DEFAULT_CHARSET = 1;

// Rounds a * b / c to the nearest integer, halves away from zero (what the point-size
// conversion of a font has always used).
int MulDivRound(int a, int b, int c) {
    if (c == 0) {
        return 0;
    }
    const long long num = static_cast<long long>(a) * b;
    const long long den = c;
    long long q = (std::llabs(num) + std::llabs(den) / 2) / std::llabs(den);
    if ((num < 0) != (den < 0)) {
        q = -q;
    }
    return static_cast<int>(std::clamp<long long>(q, -0x7FFFFFFF, 0x7FFFFFFF));
}

QPen OutlinePen(const QColor& color, int width) {
    return QPen(color, width, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin);
}

// Rectangle (l, t, r, b), right and bottom exclusive: filled with *fill when given, then
// outlined with a pen of the given width centred on the 1-pixel outline (columns l and r-1,
// rows t and b-1). Drawn with fillRect so that every edge lands on exact pixels.
void DrawRectangle(QPainter& p, int l, int t, int r, int b, const QColor& pen, int width,
                   const QColor* fill) {
    if (r <= l || b <= t) {
        return;
    }
    if (fill) {
        p.fillRect(QRect(l, t, r - l, b - t), *fill);
    }
    const int lo = width / 2;
    const int outerW = (r - 1 - l) + width;
    const int outerH = (b - 1 - t) + width;
    p.fillRect(QRect(l - lo, t - lo, outerW, width), pen);
    p.fillRect(QRect(l - lo, b - 1 - lo, outerW, width), pen);
    p.fillRect(QRect(l - lo, t - lo, width, outerH), pen);
    p.fillRect(QRect(r - 1 - lo, t - lo, width, outerH), pen);
}

// Rounded rectangle (l, t, r, b) with a 10 by 10 corner ellipse. The path runs through the
// pixel centres of the outline, so that with antialiasing off the straight edges lie on the
// same pixels as DrawRectangle's; the corners are Qt's.
void DrawRoundRectangle(QPainter& p, int l, int t, int r, int b, const QColor& pen, int width,
                        const QColor* fill) {
    if (r <= l || b <= t) {
        return;
    }
    QPainterPath path;
    path.addRoundedRect(QRectF(l + 0.5, t + 0.5, r - l - 1, b - t - 1), CORNER_RADIUS,
                        CORNER_RADIUS);
    p.setPen(OutlinePen(pen, width));
    p.setBrush(fill ? QBrush(*fill) : QBrush(Qt::NoBrush));
    p.drawPath(path);
}

} // namespace

QString CtlTruncateFaceName(const QString& face) {
    QString out = face.left(CTL_FACESIZE - 1);
    if (out.size() < face.size() && !out.isEmpty() && out.back().isHighSurrogate()) {
        out.chop(1);
    }
    return out;
}

CtlLogFont CtlLogFontFromFont(const QFont& font, int dpiY) {
    CtlLogFont lf;
    if (font.pixelSize() > 0) {
        lf.lfHeight = -font.pixelSize();
    } else if (font.pointSizeF() > 0) {
        lf.lfHeight = -qRound(font.pointSizeF() * dpiY / 72.0);
    }
    lf.lfWeight = font.weight();
    lf.lfItalic = font.italic() ? 1 : 0;
    lf.lfUnderline = font.underline() ? 1 : 0;
    lf.lfStrikeOut = font.strikeOut() ? 1 : 0;
    lf.lfCharSet = DEFAULT_CHARSET;
    if (font.styleStrategy() & QFont::NoAntialias) {
        lf.lfQuality = CTL_NONANTIALIASED_QUALITY;
    } else if (font.styleStrategy() & QFont::PreferAntialias) {
        lf.lfQuality = CTL_ANTIALIASED_QUALITY;
    }
    lf.lfFaceName = CtlTruncateFaceName(font.family());
    return lf;
}

QFont CtlFontFromLogFont(const CtlLogFont& lf) {
    QFont font;
    if (!lf.lfFaceName.isEmpty()) {
        font.setFamily(lf.lfFaceName);
    }
    if (lf.lfHeight < 0) {
        font.setPixelSize(-lf.lfHeight);
    } else if (lf.lfHeight > 0) {
        // A positive height is the cell height (ascent + descent): scale the em size so that
        // the font's height comes out at that value.
        QFont probe(font);
        probe.setPixelSize(100);
        const int h100 = std::max(1, QFontMetrics(probe).height());
        font.setPixelSize(std::max(1, MulDivRound(lf.lfHeight, 100, h100)));
    }
    const int weight = lf.lfWeight <= 0 ? CTL_FW_NORMAL : std::clamp(lf.lfWeight, 1, 1000);
    font.setWeight(static_cast<QFont::Weight>(weight));
    font.setItalic(lf.lfItalic != 0);
    font.setUnderline(lf.lfUnderline != 0);
    font.setStrikeOut(lf.lfStrikeOut != 0);
    if (lf.lfQuality == CTL_NONANTIALIASED_QUALITY) {
        font.setStyleStrategy(QFont::NoAntialias);
    } else if (lf.lfQuality >= CTL_ANTIALIASED_QUALITY && lf.lfQuality <= 6) {
        font.setStyleStrategy(QFont::PreferAntialias);
    }
    if (lf.lfWidth > 0) {
        // A width is the average character width: stretch the font to it.
        const int avg = QFontMetrics(font).averageCharWidth();
        if (avg > 0) {
            font.setStretch(std::clamp(MulDivRound(lf.lfWidth, 100, avg), 1, 4000));
        }
    }
    return font;
}

CGroupBox::CGroupBox()
    : m_crBorder(SysColor(COLOR_BTNSHADOW)), m_crTitleBk(SysColor(COLOR_BTNFACE)),
      m_crBandBk(SysColor(COLOR_BTNFACE)), m_crTitleText(SysColor(COLOR_WINDOWTEXT)),
      m_font(font()) {
    // A group box only frames its siblings: clicks on it belong to whatever lies below.
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

CGroupBox::~CGroupBox() = default;

bool CGroupBox::Attach(QWidget* parent, int id, const QString& text, const QRect& rect) {
    if (m_bHasWindow) {
        qWarning("CGroupBox::Attach: control %d is attached already", objectName().toInt());
        return false;
    }
    setParent(parent);
    setObjectName(QString::number(id));
    m_strWindowText = text;
    setAccessibleName(text);
    setGeometry(rect);
    m_logFont = CtlLogFontFromFont(font(), logicalDpiY());
    MakeFont();
    m_bHasWindow = true;
    if (parent) {
        // Created after the controls it frames or not, it must lie beneath them.
        lower();
        show();
    }
    return true;
}

void CGroupBox::SetWindowText(const QString& text) {
    m_strWindowText = text;
    setAccessibleName(text);
    update();
}

void CGroupBox::MakeFont() {
    m_font = CtlFontFromLogFont(m_logFont);
}

void CGroupBox::RepaintNow() {
    if (!m_bHasWindow) {
        return;
    }
    // Repaint the parent's area under the control, background first, before returning.
    if (QWidget* parent = parentWidget()) {
        parent->repaint(geometry());
    } else {
        repaint();
    }
}

CGroupBox& CGroupBox::SetBorderColor(COLORREF cr) {
    m_crBorder = cr;
    RepaintNow();
    return *this;
}

CGroupBox& CGroupBox::SetTitleTextColor(COLORREF cr) {
    m_crTitleText = cr;
    RepaintNow();
    return *this;
}

CGroupBox& CGroupBox::SetHeaderColors(COLORREF crTitleBk, COLORREF crBandBk, bool bBanded) {
    m_crTitleBk = crTitleBk;
    m_crBandBk = crBandBk;
    m_bBanded = bBanded;
    RepaintNow();
    return *this;
}

CGroupBox& CGroupBox::SetBackgroundColor(COLORREF cr) {
    m_crTitleBk = cr;
    m_crBandBk = cr;
    RepaintNow();
    return *this;
}

CGroupBox& CGroupBox::SetFrameColor(COLORREF cr) {
    m_crBorder = cr;
    RepaintNow();
    return *this;
}

CGroupBox& CGroupBox::SetHeaderStyle(int nStyle) {
    m_nHeaderStyle = nStyle;
    RepaintNow();
    return *this;
}

CGroupBox& CGroupBox::SetTitle(const QString& title) {
    if (!m_bHasWindow) {
        return *this;
    }
    m_strTitle = QLatin1Char(' ') + title + QLatin1Char(' ');
    RepaintNow();
    return *this;
}

CGroupBox& CGroupBox::SetFontBold(bool bBold) {
    m_logFont.lfWeight = bBold ? CTL_FW_BOLD : CTL_FW_NORMAL;
    MakeFont();
    RepaintNow();
    return *this;
}

CGroupBox& CGroupBox::SetFontName(const QString& face, std::uint8_t charSet) {
    m_logFont.lfCharSet = charSet;
    m_logFont.lfFaceName = CtlTruncateFaceName(face);
    MakeFont();
    RepaintNow();
    return *this;
}

CGroupBox& CGroupBox::SetFontUnderline(std::uint8_t bUnderline) {
    m_logFont.lfUnderline = bUnderline;
    MakeFont();
    RepaintNow();
    return *this;
}

CGroupBox& CGroupBox::SetFontItalic(std::uint8_t bItalic) {
    m_logFont.lfItalic = bItalic;
    MakeFont();
    RepaintNow();
    return *this;
}

CGroupBox& CGroupBox::SetFontSize(int nPoints) {
    // A point font: tenths of a point turned into a character height in pixels at the
    // vertical resolution of the screen, width left to the font.
    const long long tenths =
        std::clamp<long long>(static_cast<long long>(nPoints) * 10, -0x7FFFFFFF, 0x7FFFFFFF);
    m_logFont.lfHeight = -std::abs(MulDivRound(logicalDpiY(), static_cast<int>(tenths), 720));
    m_logFont.lfWidth = 0;
    MakeFont();
    RepaintNow();
    return *this;
}

CGroupBox& CGroupBox::SetLogFont(CtlLogFont lf) {
    lf.lfFaceName = CtlTruncateFaceName(lf.lfFaceName);
    m_logFont = std::move(lf);
    MakeFont();
    RepaintNow();
    return *this;
}

CGroupBox& CGroupBox::SetAlignment(int nAlignment) {
    if (nAlignment < 0 || nAlignment > 2) {
        // A caller's mistake. Reported, not fatal, so that a release build keeps running;
        // QT_FATAL_WARNINGS=1 turns it into an abort while debugging.
        qWarning("ASSERT: CGroupBox::SetAlignment: alignment %d is not 0, 1 or 2", nAlignment);
        nAlignment = 0;
    }
    m_nAlignment = nAlignment;
    RepaintNow();
    return *this;
}

void CGroupBox::paintEvent(QPaintEvent* /*event*/) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setFont(m_font);

    // Client rectangle shrunk by one pixel on every side; right and bottom exclusive.
    const int left = 1;
    const int top = 1;
    const int right = width() - 1;
    const int bottom = height() - 1;

    if (m_strTitle.isEmpty() && !m_strWindowText.isEmpty()) {
        m_strTitle = QLatin1Char(' ') + m_strWindowText + QLatin1Char(' ');
    }
    int cx = 0;
    int cy = 0;
    if (!m_strTitle.isEmpty()) {
        const QFontMetrics fm = p.fontMetrics();
        cx = fm.horizontalAdvance(m_strTitle);
        cy = fm.height();
    }

    // All halvings below are int divisions, truncating toward zero also when a title wider
    // than the control makes them negative.
    QRect titleRect;
    if (m_nHeaderStyle == 0) {
        int titleLeft = left + 10;
        if (m_nAlignment == 1) {
            titleLeft = left + (right - left - cx) / 2;
        } else if (m_nAlignment == 2) {
            titleLeft = right - 10 - cx;
        }
        titleRect = QRect(titleLeft, top, cx, cy);

        DrawRoundRectangle(p, left, top + cy / 2, right, bottom, ColorFromRef(m_crBorder), 1,
                           nullptr);
        // The title blanks the frame line behind it, and nothing of the title reaches beyond
        // its rectangle. An empty title clips everything away.
        p.setClipRect(titleRect);
        p.fillRect(titleRect, ColorFromRef(m_crTitleBk));
    } else {
        const int penWidth = m_bBanded ? 1 : 3;
        m_crBorder = m_bBanded ? BANDED_PEN_COLOR : PLAIN_HEADER_PEN_COLOR;
        const QColor pen = ColorFromRef(m_crBorder);
        const QColor titleBk = ColorFromRef(m_crTitleBk);

        DrawRoundRectangle(p, left, top, right, top + cy + 8, pen, penWidth, &titleBk);
        int bodyTop = cy - 1;
        if (m_bBanded) {
            // The band covers the header's lowest four rows; the body's top line is the band's
            // bottom line.
            const QColor bandBk = ColorFromRef(m_crBandBk);
            DrawRectangle(p, left, top + cy + 4, right, top + 2 * cy + 4, pen, penWidth, &bandBk);
            bodyTop = top + 2 * cy + 3;
        }
        // The body keeps its fixed height where the control is tall enough; in a shorter
        // control (the form's rectangle, laid out with other font metrics or at another scale)
        // it ends at the control's bottom, so that all four sides are drawn.
        const int bodyBottom = std::min(bodyTop + m_nBodyHeightBase - cy, bottom);
        DrawRectangle(p, left, bodyTop, right, bodyBottom, pen, penWidth, nullptr);

        int titleLeft = left + 2;
        if (m_nAlignment == 1) {
            titleLeft = left + (right - left - cx) / 2;
        } else if (m_nAlignment == 2) {
            titleLeft = right - 2 - cx;
        }
        titleRect = QRect(titleLeft, top + 2, cx, cy);
    }

    if (!m_strTitle.isEmpty()) {
        p.setPen(ColorFromRef(m_crTitleText));
        p.setBrush(Qt::NoBrush);
        p.drawText(titleRect,
                   Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextDontClip,
                   m_strTitle);
    }
}
