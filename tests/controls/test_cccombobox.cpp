// CCComboBox: its colours in the normal and the hovered state, the hover state machine with
// cursor positions put in by the test, and the brushes its setters replace.
#include "cccombobox.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QFontInfo>
#include <QImage>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTimerEvent>
#include <QtTest/QTest>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const QChar BLOCK(0x2588);

// A combo box whose cursor is wherever the test puts it, in the control's own coordinates.
class CTestCombo : public CCComboBox {
public:
    CTestCombo() {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(12);
        font.setStyleStrategy(QFont::NoAntialias); // text pixels are exactly the text colour
        setFont(font);
        resize(120, 26);
        setEditText(QString(4, BLOCK));
    }
    QPoint cursor{-100, -100};

protected:
    QPoint CursorPos() const override { return mapToGlobal(cursor); }
};

void MouseMove(QWidget* target, QPoint local) {
    QMouseEvent move(QEvent::MouseMove, QPointF(local), target->mapToGlobal(QPointF(local)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &move);
}

// A timer tick with an id the control never started: any tick runs the leave test.
void Tick(QWidget* target) {
    QTimerEvent tick(4242);
    QCoreApplication::sendEvent(target, &tick);
}

int Count(const QImage& img, const QRect& area, COLORREF cr) {
    int n = 0;
    const QRect r = area.intersected(img.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            n += RefFromColor(img.pixelColor(x, y)) == cr ? 1 : 0;
        }
    }
    return n;
}

// What a person sees in the edit field: its background at a blank spot, and whether text of
// the given colour shows.
struct EditLook {
    COLORREF background;
    int textPixels;
};

EditLook Look(CCComboBox& combo, COLORREF text) {
    const QImage img = combo.grab().toImage();
    const QRect edit = combo.lineEdit()->geometry();
    const QPoint blank(edit.right() - 2, edit.center().y()); // right of the four blocks
    return {RefFromColor(img.pixelColor(blank)), Count(img, edit, text)};
}

COLORREF PaletteRef(QWidget* w, QPalette::ColorRole role) {
    return RefFromColor(w->palette().color(QPalette::Active, role));
}

TEST(ComboBox, DefaultsWhiteOnButtonFaceAndBlackWhenHovered) {
    CTestCombo combo;
    EXPECT_EQ(combo.CCComboBox::metaObject()->className(), std::string("CCComboBox"));
    EXPECT_TRUE(combo.isEditable());
    EXPECT_EQ(combo.HoverTimerId(), 1u);
    EXPECT_EQ(combo.HoverTimerElapse(), 10u);
    EXPECT_FALSE(combo.IsHovered());
    EXPECT_FALSE(combo.IsHoverTimerActive());

    const COLORREF face = SysColor(COLOR_BTNFACE);
    const EditLook normal = Look(combo, 0xFFFFFF);
    EXPECT_EQ(normal.background, face);
    EXPECT_GT(normal.textPixels, 0);
    EXPECT_EQ(PaletteRef(combo.view(), QPalette::Base), face);
    EXPECT_EQ(PaletteRef(combo.view(), QPalette::Text), 0xFFFFFFu);

    MouseMove(combo.lineEdit(), {5, 5});
    EXPECT_TRUE(combo.IsHovered());
    const EditLook hovered = Look(combo, 0x000000);
    EXPECT_EQ(hovered.background, face);
    EXPECT_GT(hovered.textPixels, 0);
    EXPECT_EQ(Look(combo, 0xFFFFFF).textPixels, 0);
    EXPECT_EQ(PaletteRef(combo.view(), QPalette::Text), 0x000000u);
}

struct LeaveCase {
    const char* name;
    std::function<QPoint(int w, int h)> cursor;
    bool staysHovered;
};

TEST(ComboBox, TickEndsHoverOnlyWithCursorOutsideClientRect) {
    const std::vector<LeaveCase> cases = {
        {"top left corner", [](int, int) { return QPoint(0, 0); }, true},
        {"last pixel inside", [](int w, int h) { return QPoint(w - 1, h - 1); }, true},
        {"centre", [](int w, int h) { return QPoint(w / 2, h / 2); }, true},
        {"right edge", [](int w, int h) { return QPoint(w, h / 2); }, false},
        {"bottom edge", [](int w, int h) { return QPoint(w / 2, h); }, false},
        {"bottom right corner", [](int w, int h) { return QPoint(w, h); }, false},
        {"left of it", [](int, int h) { return QPoint(-1, h / 2); }, false},
        {"above it", [](int w, int) { return QPoint(w / 2, -1); }, false},
    };
    for (const LeaveCase& c : cases) {
        SCOPED_TRACE(c.name);
        CTestCombo combo;
        MouseMove(combo.lineEdit(), {3, 3});
        ASSERT_TRUE(combo.IsHovered());
        ASSERT_TRUE(combo.IsHoverTimerActive());
        combo.cursor = c.cursor(combo.width(), combo.height());
        Tick(&combo);
        EXPECT_EQ(combo.IsHovered(), c.staysHovered);
        EXPECT_EQ(combo.IsHoverTimerActive(), c.staysHovered);
        const COLORREF text = c.staysHovered ? 0x000000 : 0xFFFFFF;
        EXPECT_EQ(PaletteRef(combo.lineEdit(), QPalette::Text), text);
    }
}

TEST(ComboBox, MouseMoveOnTheControlItselfHovers) {
    CTestCombo combo;
    MouseMove(&combo, {combo.width() - 3, combo.height() / 2}); // the arrow button
    EXPECT_TRUE(combo.IsHovered());
    EXPECT_TRUE(combo.IsHoverTimerActive());
}

TEST(ComboBox, RunningTimerNoticesTheCursorLeaving) {
    CTestCombo combo;
    combo.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&combo));
    combo.cursor = {5, 5};
    MouseMove(combo.lineEdit(), combo.cursor);
    ASSERT_TRUE(combo.IsHovered());
    // Ticks with the cursor inside keep the state; once it is outside, one tick ends it.
    QTest::qWait(30);
    EXPECT_TRUE(combo.IsHovered());
    combo.cursor = {combo.width(), 5};
    EXPECT_TRUE(QTest::qWaitFor([&] { return !combo.IsHovered(); }, 5000));
    EXPECT_FALSE(combo.IsHoverTimerActive());
    EXPECT_EQ(Look(combo, 0xFFFFFF).background, SysColor(COLOR_BTNFACE));
}

struct SetterCase {
    const char* name;
    std::function<void(CCComboBox&)> set;
    bool hovered;    // the state in which the new colour shows
    bool textColour; // the colour is a text colour (else a background)
    COLORREF colour;
};

TEST(ComboBox, EverySetterReplacesBothBrushesAndShowsAtNextPaint) {
    const std::vector<SetterCase> cases = {
        {"normal background", [](CCComboBox& c) { c.SetNormalBkColor(0x737373); }, false, false,
         0x737373},
        {"hover background", [](CCComboBox& c) { c.SetHoverBkColor(0xFAFAFA); }, true, false,
         0xFAFAFA},
        {"normal text", [](CCComboBox& c) { c.SetNormalTextColor(0x00FF00); }, false, true,
         0x00FF00},
        {"hover text", [](CCComboBox& c) { c.SetHoverTextColor(0x0000FF); }, true, true, 0x0000FF},
        {"all four", [](CCComboBox& c) { c.SetColors(0x00FF00, 0x969696, 0x0000FF, 0xFFFFFF); },
         false, false, 0x969696},
    };
    for (const SetterCase& c : cases) {
        SCOPED_TRACE(c.name);
        CTestCombo combo;
        combo.SetColors(0xFFFFFF, 0x404040, 0x000000, 0xC0C0C0);
        if (c.hovered) {
            combo.cursor = {5, 5};
            MouseMove(combo.lineEdit(), combo.cursor);
        }
        combo.grab();
        const QPalette::ColorRole role = c.textColour ? QPalette::Text : QPalette::Base;
        const COLORREF before = PaletteRef(combo.lineEdit(), role);
        ASSERT_NE(before, c.colour);
        const int live = CCComboBox::LiveBrushCount();
        const auto bk = combo.BkBrushSerial();
        const auto hover = combo.HoverBrushSerial();

        c.set(combo);
        EXPECT_NE(combo.BkBrushSerial(), bk);
        EXPECT_NE(combo.HoverBrushSerial(), hover);
        EXPECT_NE(combo.BkBrushSerial(), combo.HoverBrushSerial());
        EXPECT_EQ(CCComboBox::LiveBrushCount(), live);
        // The old look stays until the control is next painted.
        EXPECT_EQ(PaletteRef(combo.lineEdit(), role), before);

        const EditLook look = Look(combo, c.colour);
        if (c.textColour) {
            EXPECT_GT(look.textPixels, 0);
        } else {
            EXPECT_EQ(look.background, c.colour);
        }
        EXPECT_EQ(PaletteRef(combo.view(), role), c.colour);
    }
}

TEST(ComboBox, TwoBrushesAlivePerControl) {
    const int base = CCComboBox::LiveBrushCount();
    {
        CCComboBox a;
        CCComboBox b;
        EXPECT_EQ(CCComboBox::LiveBrushCount(), base + 4);
        for (int i = 0; i < 50; ++i) {
            a.SetNormalBkColor(static_cast<COLORREF>(i));
            a.SetHoverTextColor(static_cast<COLORREF>(i));
            b.SetColors(1, 2, 3, static_cast<COLORREF>(i));
        }
        EXPECT_EQ(CCComboBox::LiveBrushCount(), base + 4);
    }
    EXPECT_EQ(CCComboBox::LiveBrushCount(), base);
}

} // namespace
