// CGroupBox painted into images: where outlines, fills, band and title land in both styles,
// the title rules, the setters' repaint and the font setters.
#include "ccgroupbox.h"

#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QtTest/QTest>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// The image is filled with this before the control paints into it; the control never uses it.
constexpr COLORREF BACKDROP = 0xFF00FF;
constexpr COLORREF TEXT_RED = 0x0000FF;
const QChar BLOCK(0x2588); // full block: fills its cell, so the title's pixels show its place

QFont TestFont() {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(12);
    font.setStyleStrategy(QFont::NoAntialias); // text pixels are exactly the text colour
    return font;
}

COLORREF At(const QImage& img, int x, int y) {
    return RefFromColor(img.pixelColor(x, y));
}

int Count(const QImage& img, const QRect& area, COLORREF cr) {
    int n = 0;
    const QRect r = area.intersected(img.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            n += At(img, x, y) == cr ? 1 : 0;
        }
    }
    return n;
}

// Leftmost column and topmost row holding the colour, or (-1, -1).
QPoint FirstOf(const QImage& img, COLORREF cr) {
    int left = -1;
    int top = -1;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            if (At(img, x, y) == cr) {
                left = left < 0 ? x : std::min(left, x);
                top = top < 0 ? y : top;
            }
        }
    }
    return {left, top};
}

QStringList g_messages;
void CaptureMessage(QtMsgType, const QMessageLogContext&, const QString& msg) {
    g_messages << msg;
}

class GroupBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The expected pixels come from Qt's font metrics, which match where these unantialiased
        // glyphs ink only without horizontal hinting: full hinting (fontconfig's hintfull, and
        // the default of Qt's FreeType engine on Windows) inks a pixel to the right of them.
        // The title font is built from the application font, so the hinting is asked for there.
        QFont appFont = QApplication::font();
        appFont.setHintingPreference(QFont::PreferVerticalHinting);
        QApplication::setFont(appFont);
        if (QFontInfo(TestFont()).family() != QStringLiteral("DejaVu Sans")) {
            GTEST_SKIP() << "pixel positions need the DejaVu Sans font (fonts-dejavu-core)";
        }
        m_parent.setFont(TestFont());
        m_parent.resize(400, 600);
    }

    CGroupBox& Make(const QString& text, int w, int h) {
        m_box.Attach(&m_parent, 1060, text, QRect(0, 0, w, h));
        return m_box;
    }

    QImage Render() {
        QImage img(m_box.size(), QImage::Format_RGB32);
        img.fill(ColorFromRef(BACKDROP));
        m_box.render(&img, QPoint(), QRegion(), QWidget::RenderFlags());
        return img;
    }

    int Cx() const { return QFontMetrics(m_box.TitleFont()).horizontalAdvance(m_box.Title()); }
    int Cy() const { return QFontMetrics(m_box.TitleFont()).height(); }
    // Where the first pixel of a block glyph lands when the title is drawn from column left.
    int BlockStart(int left, int charsBefore) const {
        const QFontMetrics fm(m_box.TitleFont());
        return left + fm.horizontalAdvance(m_box.Title().left(charsBefore)) + fm.leftBearing(BLOCK);
    }

    QWidget m_parent;
    CGroupBox m_box;
};

TEST_F(GroupBoxTest, ConstructionDefaultsAndTitleBeforeWindow) {
    QWidget parent; // declared first: the box dies first and leaves it
    parent.setFont(TestFont());
    CGroupBox box;
    EXPECT_EQ(box.metaObject()->className(), std::string("CGroupBox"));
    EXPECT_EQ(box.BorderColor(), SysColor(COLOR_BTNSHADOW));
    EXPECT_EQ(box.TitleBkColor(), SysColor(COLOR_BTNFACE));
    EXPECT_EQ(box.BandBkColor(), SysColor(COLOR_BTNFACE));
    EXPECT_EQ(box.TitleTextColor(), SysColor(COLOR_WINDOWTEXT));
    EXPECT_EQ(box.HeaderStyle(), 0);
    EXPECT_EQ(box.Alignment(), 1);
    EXPECT_FALSE(box.IsBanded());
    EXPECT_FALSE(box.HasWindow());

    // No window yet: SetTitle does nothing at all, so the window text becomes the title later.
    EXPECT_EQ(&box.SetTitle(QStringLiteral("Early")), &box);
    EXPECT_TRUE(box.Title().isEmpty());
    ASSERT_TRUE(box.Attach(&parent, 1060, QStringLiteral("QM-TRV 可程控精準數位合成模組"),
                           QRect(0, 0, 300, 100)));
    EXPECT_FALSE(box.Attach(&parent, 1061, QStringLiteral("again"), QRect(0, 0, 10, 10)));
    EXPECT_EQ(box.objectName(), QStringLiteral("1060"));
    EXPECT_EQ(box.parentWidget(), &parent);
    EXPECT_EQ(box.geometry(), QRect(0, 0, 300, 100));
    EXPECT_TRUE(box.Title().isEmpty());
    box.grab();
    EXPECT_EQ(box.Title(), QStringLiteral(" QM-TRV 可程控精準數位合成模組 "));
}

TEST_F(GroupBoxTest, EmptySetTitleGivesTwoBlanksAndWindowTextNoLongerShows) {
    Make(QStringLiteral("Caption"), 200, 100);
    m_box.SetTitle(QString());
    EXPECT_EQ(m_box.Title(), QStringLiteral("  "));
    m_box.SetWindowText(QStringLiteral("Other"));
    Render();
    EXPECT_EQ(m_box.Title(), QStringLiteral("  "));
    EXPECT_EQ(m_box.WindowText(), QStringLiteral("Other"));

    m_box.SetTitle(QStringLiteral("New"));
    EXPECT_EQ(m_box.Title(), QStringLiteral(" New "));
    EXPECT_EQ(m_box.WindowText(), QStringLiteral("Other"));
}

TEST_F(GroupBoxTest, PlainFrameWithTitleSetIntoTopEdge) {
    const int W = 200;
    const int H = 120;
    Make(QStringLiteral("Panel"), W, H);
    m_box.SetTitleTextColor(TEXT_RED);
    const QImage img = Render();
    ASSERT_EQ(m_box.Title(), QStringLiteral(" Panel "));

    const COLORREF border = SysColor(COLOR_BTNSHADOW);
    const COLORREF face = SysColor(COLOR_BTNFACE);
    const int cx = Cx();
    const int cy = Cy();
    const int frameTop = 1 + cy / 2;
    const int L = 1 + (W - 2 - cx) / 2; // centred by default

    // Outline on columns 1 and W-2, rows frameTop and H-2; nothing outside, nothing inside.
    EXPECT_EQ(At(img, 1, H / 2), border);
    EXPECT_EQ(At(img, W - 2, H / 2), border);
    EXPECT_EQ(At(img, W / 2, H - 2), border);
    EXPECT_EQ(At(img, 20, frameTop), border);
    EXPECT_EQ(At(img, 0, H / 2), BACKDROP);
    EXPECT_EQ(At(img, W - 1, H / 2), BACKDROP);
    EXPECT_EQ(At(img, W / 2, H - 1), BACKDROP);
    EXPECT_EQ(At(img, 20, frameTop - 1), BACKDROP);
    EXPECT_EQ(At(img, 2, H / 2), BACKDROP);
    EXPECT_EQ(At(img, W / 2, H / 2), BACKDROP);

    // The title rectangle (L, 1, cx, cy) is filled and blanks the frame line behind it.
    EXPECT_EQ(At(img, L - 1, frameTop), border);
    EXPECT_EQ(At(img, L, frameTop), face);
    EXPECT_EQ(At(img, L + cx - 1, frameTop), face);
    EXPECT_EQ(At(img, L + cx, frameTop), border);
    EXPECT_EQ(At(img, L, 1), face);
    EXPECT_EQ(At(img, L + cx - 1, cy), face);
    EXPECT_EQ(At(img, L - 1, 1), BACKDROP);
    EXPECT_EQ(At(img, L, cy + 1), BACKDROP);
    const QRect titleRect(L, 1, cx, cy);
    EXPECT_EQ(Count(img, img.rect(), face), Count(img, titleRect, face));

    // The text lies in the title rectangle.
    const int red = Count(img, titleRect, TEXT_RED);
    EXPECT_GT(red, 0);
    EXPECT_EQ(Count(img, img.rect(), TEXT_RED), red);
}

TEST_F(GroupBoxTest, PlainFrameWithoutTitleStartsAtTop) {
    const int W = 120;
    const int H = 80;
    Make(QString(), W, H);
    const QImage img = Render();
    EXPECT_TRUE(m_box.Title().isEmpty());
    EXPECT_EQ(At(img, W / 2, 1), SysColor(COLOR_BTNSHADOW));
    EXPECT_EQ(At(img, W / 2, 0), BACKDROP);
    EXPECT_EQ(At(img, W / 2, 2), BACKDROP);
    EXPECT_EQ(Count(img, img.rect(), SysColor(COLOR_BTNFACE)), 0);
}

struct AlignCase {
    int style;
    int align;
    int stored;
};

class GroupBoxAlignTest : public GroupBoxTest, public ::testing::WithParamInterface<AlignCase> {};

TEST_P(GroupBoxAlignTest, TitleLandsWhereAlignmentPutsIt) {
    const AlignCase c = GetParam();
    const int W = 200;
    const int H = 60;
    Make(QString(), W, H);
    m_box.SetHeaderStyle(c.style).SetTitleTextColor(TEXT_RED).SetTitle(QString(BLOCK));

    const QtMessageHandler old = qInstallMessageHandler(CaptureMessage);
    g_messages.clear();
    m_box.SetAlignment(c.align);
    qInstallMessageHandler(old);
    EXPECT_EQ(m_box.Alignment(), c.stored);
    EXPECT_EQ(g_messages.size(), c.align == c.stored ? 0 : 1);

    const QImage img = Render();
    const int cx = Cx();
    const int inset = c.style == 0 ? 10 : 2;
    int L = 1 + inset;
    if (c.stored == 1) {
        L = 1 + (W - 2 - cx) / 2;
    } else if (c.stored == 2) {
        L = W - 1 - inset - cx;
    }
    const int titleTop = c.style == 0 ? 1 : 3;
    // " █ ": the block follows one blank and fills the title's full height.
    EXPECT_EQ(FirstOf(img, TEXT_RED), QPoint(BlockStart(L, 1), titleTop));
    if (c.style == 0) {
        EXPECT_EQ(At(img, L, 1), SysColor(COLOR_BTNFACE));
        EXPECT_EQ(At(img, L - 1, 1), BACKDROP);
        EXPECT_EQ(At(img, L + cx - 1, 1), SysColor(COLOR_BTNFACE));
        EXPECT_EQ(At(img, L + cx, 1), BACKDROP);
    }
}

INSTANTIATE_TEST_SUITE_P(AllStyles, GroupBoxAlignTest,
                         ::testing::Values(AlignCase{0, 0, 0}, AlignCase{0, 1, 1},
                                           AlignCase{0, 2, 2}, AlignCase{0, 3, 0},
                                           AlignCase{1, 0, 0}, AlignCase{1, 1, 1},
                                           AlignCase{1, 2, 2}, AlignCase{1, 3, 0}));

TEST_F(GroupBoxTest, CentredTitleWiderThanControlTruncatesTowardZero) {
    Make(QString(), 100, 40);
    m_box.SetTitleTextColor(TEXT_RED);
    QString blocks;
    for (int i = 0; i < 16; ++i) {
        blocks += BLOCK;
        blocks += QLatin1Char(' ');
    }
    blocks.chop(1);
    m_box.SetTitle(blocks);
    // Pick a width that makes the centring offset negative and odd, where truncation toward
    // zero and rounding down differ by one.
    const int cx = Cx();
    const int W = cx - 21;
    ASSERT_GT(W, 40);
    m_box.setGeometry(0, 0, W, 40);
    const int L = 1 + (W - 2 - cx) / 2; // (W - 2 - cx) is -23: L is -10, not -11
    ASSERT_EQ(L, -10);

    const QImage img = Render();
    // The first block that starts inside the control. Only the first: the layout places later
    // glyphs at fractional advances that integer prefix widths do not reproduce exactly.
    int expected = -1;
    for (int i = 0; i < m_box.Title().size() && expected < 0; ++i) {
        if (m_box.Title()[i] == BLOCK && BlockStart(L, i) > 0) {
            expected = BlockStart(L, i);
        }
    }
    ASSERT_GT(expected, 0);
    ASSERT_LT(expected, W);
    const int row = 1 + Cy() / 2;
    int first = -1;
    for (int x = 1; x < W && first < 0; ++x) {
        if (At(img, x, row) == TEXT_RED && At(img, x - 1, row) != TEXT_RED) {
            first = x;
        }
    }
    EXPECT_EQ(first, expected);
}

TEST_F(GroupBoxTest, HeaderStyleBanded) {
    constexpr COLORREF HEADER_BK = 0xFFA940;
    constexpr COLORREF BAND_BK = 0x00C000;
    constexpr COLORREF BLUE = 0xE78C10;
    const int W = 200;
    Make(QStringLiteral("Panel"), W, 100);
    const int cy = QFontMetrics(m_box.TitleFont()).height();
    const int H = cy + 420;
    m_box.setGeometry(0, 0, W, H);
    m_box.SetHeaderStyle(1).SetHeaderColors(HEADER_BK, BAND_BK, true).SetTitleTextColor(0xFFFFFF);
    const QImage img = Render();
    const int x = W / 2;

    // Header band (1, 1, W-1, cy+9): top line, fill between the title and the band.
    EXPECT_EQ(At(img, x, 0), BACKDROP);
    EXPECT_EQ(At(img, x, 1), BLUE);
    EXPECT_EQ(At(img, x, 2), HEADER_BK);
    EXPECT_EQ(At(img, x, cy + 3), HEADER_BK);
    EXPECT_EQ(At(img, x, cy + 4), HEADER_BK);
    // Band (1, cy+5, W-1, 2cy+5) over the header's lowest rows.
    EXPECT_EQ(At(img, x, cy + 5), BLUE);
    EXPECT_EQ(At(img, x, cy + 6), BAND_BK);
    EXPECT_EQ(At(img, x, 2 * cy + 3), BAND_BK);
    EXPECT_EQ(At(img, 1, cy + 10), BLUE);
    EXPECT_EQ(At(img, 2, cy + 10), BAND_BK);
    EXPECT_EQ(At(img, W - 2, cy + 10), BLUE);
    // Body (1, 2cy+4, W-1, cy+406): its top line is the band's bottom line; it is not filled.
    EXPECT_EQ(At(img, x, 2 * cy + 4), BLUE);
    EXPECT_EQ(At(img, x, 2 * cy + 5), BACKDROP);
    EXPECT_EQ(At(img, x, cy + 404), BACKDROP);
    EXPECT_EQ(At(img, x, cy + 405), BLUE);
    EXPECT_EQ(At(img, x, cy + 406), BACKDROP);
    EXPECT_EQ(At(img, 0, 200), BACKDROP);
    EXPECT_EQ(At(img, 1, 200), BLUE);
    EXPECT_EQ(At(img, 2, 200), BACKDROP);
    EXPECT_EQ(At(img, W - 2, 200), BLUE);
    EXPECT_EQ(At(img, W - 1, 200), BACKDROP);
    // White title text in the title rectangle, centred in the header.
    const int cx = Cx();
    const QRect titleRect(1 + (W - 2 - cx) / 2, 3, cx, cy);
    EXPECT_GT(Count(img, titleRect, 0xFFFFFF), 0);
    EXPECT_EQ(Count(img, img.rect(), 0xFFFFFF), Count(img, titleRect, 0xFFFFFF));
    EXPECT_EQ(m_box.BorderColor(), BLUE);
}

// A control shorter than the body's fixed height (the form's panel with other font metrics or
// at another scale): the body ends at the control's bottom, so its bottom line shows.
TEST_F(GroupBoxTest, HeaderStyleBodyEndsAtTheBottomOfAShortControl) {
    constexpr COLORREF BLUE = 0xE78C10;
    constexpr COLORREF GREY = 0xC8C8C8;
    const int W = 200;
    Make(QStringLiteral("Panel"), W, 100);
    for (const bool banded : {true, false}) {
        for (const int H : {120, 300}) {
            SCOPED_TRACE(std::to_string(H) + (banded ? " banded" : " plain"));
            m_box.setGeometry(0, 0, W, H);
            m_box.SetHeaderStyle(1).SetHeaderColors(0xFFA940, 0x00C000, banded);
            const QImage img = Render();
            const COLORREF pen = banded ? BLUE : GREY;
            // Body (1, T, W-1, H-1): the bottom line on row H-2, the sides down to it.
            EXPECT_EQ(At(img, W / 2, H - 2), pen);
            EXPECT_EQ(At(img, W / 2, H - 4), BACKDROP);
            EXPECT_EQ(At(img, 1, H - 3), pen);
            EXPECT_EQ(At(img, W - 2, H - 3), pen);
        }
    }
}

TEST_F(GroupBoxTest, HeaderStyleWithoutBand) {
    constexpr COLORREF HEADER_BK = 0xFFA940;
    constexpr COLORREF BAND_BK = 0x00C000;
    constexpr COLORREF GREY = 0xC8C8C8;
    const int W = 200;
    const int H = 420;
    Make(QStringLiteral("Panel"), W, H);
    m_box.SetHeaderStyle(1).SetHeaderColors(HEADER_BK, BAND_BK, false).SetAlignment(0);
    const QImage img = Render();
    const int cy = Cy();
    const int x = W - 12; // right of the left-aligned title, left of the rounded corner

    // 3-pixel lines centred on the 1-pixel outlines. Header (1, 1, W-1, cy+9).
    for (int y : {0, 1, 2}) {
        EXPECT_EQ(At(img, x, y), GREY) << "header top, row " << y;
    }
    EXPECT_EQ(At(img, x, 3), HEADER_BK);
    // Body (1, cy-1, W-1, 401) from the client area's top: its top line crosses the header.
    EXPECT_EQ(At(img, x, cy - 3), HEADER_BK);
    for (int y : {cy - 2, cy - 1, cy}) {
        EXPECT_EQ(At(img, x, y), GREY) << "body top, row " << y;
    }
    EXPECT_EQ(At(img, x, cy + 1), HEADER_BK);
    EXPECT_EQ(At(img, x, cy + 6), HEADER_BK);
    for (int y : {cy + 7, cy + 8, cy + 9}) {
        EXPECT_EQ(At(img, x, y), GREY) << "header bottom, row " << y;
    }
    EXPECT_EQ(At(img, x, cy + 10), BACKDROP);
    EXPECT_EQ(At(img, x, 398), BACKDROP);
    for (int y : {399, 400, 401}) {
        EXPECT_EQ(At(img, x, y), GREY) << "body bottom, row " << y;
    }
    EXPECT_EQ(At(img, x, 402), BACKDROP);
    for (int col : {0, 1, 2, W - 3, W - 2, W - 1}) {
        EXPECT_EQ(At(img, col, 200), GREY) << "side, column " << col;
    }
    EXPECT_EQ(At(img, 3, 200), BACKDROP);
    EXPECT_EQ(At(img, W - 4, 200), BACKDROP);
    EXPECT_EQ(Count(img, img.rect(), BAND_BK), 0);
    EXPECT_EQ(m_box.BorderColor(), GREY);
}

struct OverwriteCase {
    const char* name;
    std::function<void(CGroupBox&)> setColour;
    bool banded;
    COLORREF expected;
};

TEST_F(GroupBoxTest, HeaderStyleOverwritesBorderColourForGood) {
    const std::vector<OverwriteCase> cases = {
        {"SetBorderColor, banded", [](CGroupBox& b) { b.SetBorderColor(0x123456); }, true,
         0xE78C10},
        {"SetFrameColor, not banded", [](CGroupBox& b) { b.SetFrameColor(0x123456); }, false,
         0xC8C8C8},
    };
    const int W = 120;
    const int H = 80;
    Make(QString(), W, H);
    for (const OverwriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        m_box.SetHeaderStyle(0);
        c.setColour(m_box);
        EXPECT_EQ(m_box.BorderColor(), 0x123456u);
        m_box.SetHeaderColors(0xFFA940, 0x00C000, c.banded).SetHeaderStyle(1);
        EXPECT_EQ(m_box.BorderColor(), 0x123456u); // only painting overwrites it
        Render();
        EXPECT_EQ(m_box.BorderColor(), c.expected);
        m_box.SetHeaderStyle(0);
        const QImage img = Render();
        EXPECT_EQ(m_box.BorderColor(), c.expected);
        EXPECT_EQ(At(img, 1, H / 2), c.expected);
    }
}

// Counts its paints, to see that a setter repaints before it returns.
class CCountingGroupBox : public CGroupBox {
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent* event) override {
        ++paints;
        CGroupBox::paintEvent(event);
    }
};

TEST_F(GroupBoxTest, EverySetterRepaintsAtOnceAndChains) {
    const std::vector<std::pair<const char*, std::function<CGroupBox&(CGroupBox&)>>> setters = {
        {"SetBorderColor", [](CGroupBox& b) -> CGroupBox& { return b.SetBorderColor(1); }},
        {"SetTitleTextColor", [](CGroupBox& b) -> CGroupBox& { return b.SetTitleTextColor(1); }},
        {"SetHeaderColors",
         [](CGroupBox& b) -> CGroupBox& { return b.SetHeaderColors(1, 2, true); }},
        {"SetBackgroundColor", [](CGroupBox& b) -> CGroupBox& { return b.SetBackgroundColor(1); }},
        {"SetFrameColor", [](CGroupBox& b) -> CGroupBox& { return b.SetFrameColor(1); }},
        {"SetHeaderStyle", [](CGroupBox& b) -> CGroupBox& { return b.SetHeaderStyle(1); }},
        {"SetTitle", [](CGroupBox& b) -> CGroupBox& { return b.SetTitle(QStringLiteral("T")); }},
        {"SetFontBold", [](CGroupBox& b) -> CGroupBox& { return b.SetFontBold(true); }},
        {"SetFontName",
         [](CGroupBox& b) -> CGroupBox& {
             return b.SetFontName(QStringLiteral("DejaVu Serif"), 1);
         }},
        {"SetFontUnderline", [](CGroupBox& b) -> CGroupBox& { return b.SetFontUnderline(1); }},
        {"SetFontItalic", [](CGroupBox& b) -> CGroupBox& { return b.SetFontItalic(1); }},
        {"SetFontSize", [](CGroupBox& b) -> CGroupBox& { return b.SetFontSize(14); }},
        {"SetLogFont", [](CGroupBox& b) -> CGroupBox& { return b.SetLogFont(b.LogFont()); }},
        {"SetAlignment", [](CGroupBox& b) -> CGroupBox& { return b.SetAlignment(2); }},
    };
    QWidget parent;
    parent.resize(300, 200);
    CCountingGroupBox box;
    box.Attach(&parent, 1060, QStringLiteral("Box"), QRect(10, 10, 200, 150));
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    for (const auto& [name, setter] : setters) {
        SCOPED_TRACE(name);
        const int before = box.paints;
        EXPECT_EQ(&setter(box), &box);
        EXPECT_GT(box.paints, before);
    }
}

TEST_F(GroupBoxTest, FontSetters) {
    Make(QStringLiteral("Box"), 200, 100);
    // Attaching takes the widget's font.
    EXPECT_EQ(m_box.LogFont().lfHeight, -12);
    EXPECT_EQ(m_box.LogFont().lfFaceName, QStringLiteral("DejaVu Sans"));
    EXPECT_EQ(m_box.LogFont().lfWeight, CTL_FW_NORMAL);

    m_box.SetFontName(QStringLiteral("DejaVu Serif"), 136)
        .SetFontBold(true)
        .SetFontItalic(1)
        .SetFontUnderline(1)
        .SetFontSize(20);
    const CtlLogFont& lf = m_box.LogFont();
    EXPECT_EQ(lf.lfFaceName, QStringLiteral("DejaVu Serif"));
    EXPECT_EQ(lf.lfCharSet, 136);
    EXPECT_EQ(lf.lfWeight, CTL_FW_BOLD);
    EXPECT_EQ(lf.lfItalic, 1);
    EXPECT_EQ(lf.lfUnderline, 1);
    EXPECT_EQ(lf.lfHeight, -qRound(m_box.logicalDpiY() * 200 / 720.0));
    EXPECT_EQ(lf.lfWidth, 0);
    const QFont& f = m_box.TitleFont();
    EXPECT_EQ(f.family(), QStringLiteral("DejaVu Serif"));
    EXPECT_EQ(f.weight(), QFont::Bold);
    EXPECT_TRUE(f.italic());
    EXPECT_TRUE(f.underline());
    EXPECT_EQ(f.pixelSize(), -lf.lfHeight);

    m_box.SetFontBold(false);
    EXPECT_EQ(m_box.LogFont().lfWeight, CTL_FW_NORMAL);
    EXPECT_EQ(m_box.TitleFont().weight(), QFont::Normal);

    // The face name holds 31 UTF-16 units at most, and never half a surrogate pair.
    m_box.SetFontName(QString(40, QLatin1Char('x')), 1);
    EXPECT_EQ(m_box.LogFont().lfFaceName, QString(31, QLatin1Char('x')));
    QString face(30, QLatin1Char('y'));
    face += QString::fromUtf8("\xF0\x9F\x98\x80"); // one character, two UTF-16 units
    m_box.SetFontName(face, 1);
    EXPECT_EQ(m_box.LogFont().lfFaceName, QString(30, QLatin1Char('y')));
}

} // namespace
