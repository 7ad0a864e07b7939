// The framework layer: dialog units, control ids, message boxes.
#include "framework.h"

#include <algorithm>

#include <QAbstractButton>
#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

TEST(FrameworkMulDiv, RoundsHalfAwayFromZeroLikeThePlatform) {
    struct Case {
        int a, b, c, expected;
    };
    const Case cases[] = {
        {170, 6, 4, 255}, {62, 13, 8, 101}, {1, 6, 4, 2},   // 1.5 rounds up
        {3, 5, 4, 4},     {5, 5, 4, 6},     {1, 5, 8, 1},   // 0.625
        {1, 3, 8, 0},     {-1, 6, 4, -2},   {-3, 5, 4, -4}, // negatives mirror
        {7, 1, -2, -4},   {1, 1, 0, -1},    {0, 9, 4, 0},   // divisor 0 gives -1
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FwMulDiv(c.a, c.b, c.c), c.expected) << c.a << "*" << c.b << "/" << c.c;
    }
    // The product is formed in 64 bits: no overflow on the way.
    EXPECT_EQ(FwMulDiv(1000000, 3000, 1000000), 3000);
}

TEST(FrameworkDialogUnits, BaseUnitsFromLetterWidthAndHeight) {
    struct Case {
        int lettersWidth, height, cx, cy;
    };
    // cx = (width / 26 + 1) / 2 in integers: the 52-letter average rounded to nearest.
    const Case cases[] = {
        {312, 13, 6, 13}, // exactly 6.0 per letter
        {337, 13, 6, 13}, // 6.48: 337/26 = 12 -> 6
        {338, 13, 7, 13}, // 6.5: 338/26 = 13 -> 7
        {415, 21, 8, 21}, // 7.98: 415/26 = 15 -> 8
        {0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const CDialogBaseUnits base = FwDialogBaseUnits(c.lettersWidth, c.height);
        EXPECT_EQ(base.cx, c.cx) << c.lettersWidth;
        EXPECT_EQ(base.cy, c.cy) << c.lettersWidth;
    }
}

TEST(FrameworkDialogUnits, RectangleMapsEachValueAlone) {
    struct Case {
        CDialogBaseUnits base;
        QRect du;
        QRect px;
    };
    const Case cases[] = {
        // The about box and its OK button in an 8-point face of base units 6 x 13.
        {{6, 13}, QRect(0, 0, 170, 62), QRect(0, 0, 255, 101)},
        {{6, 13}, QRect(113, 41, 50, 14), QRect(170, 67, 75, 23)},
        // The main form's group box in a face of base units 8 x 21.
        {{8, 21}, QRect(6, 5, 270, 171), QRect(12, 13, 540, 449)},
        // Position and size are mapped apart: x + width would give 2 + 2 = 4, not 3.
        {{6, 8}, QRect(1, 1, 1, 1), QRect(2, 1, 2, 1)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DluToPixels(c.base, c.du), c.px) << c.du.x() << "," << c.du.y();
    }
}

TEST(FrameworkDialogUnits, FixedPitchFontAveragesToItsAdvance) {
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setPixelSize(20);
    if (QFontInfo(font).family() != QStringLiteral("DejaVu Sans Mono")) {
        GTEST_SKIP() << "DejaVu Sans Mono is not installed";
    }
    const QFontMetrics fm(font);
    const CDialogBaseUnits base = FwDialogBaseUnits(font);
    EXPECT_EQ(base.cx, fm.horizontalAdvance(QLatin1Char('x')));
    EXPECT_EQ(base.cy, fm.height());
    EXPECT_EQ(DluToPixels(font, QRect(4, 8, 40, 16)),
              QRect(base.cx, base.cy, 10 * base.cx, 2 * base.cy));
    EXPECT_EQ(DluToPixels(font, QSize(8, 16)), QSize(2 * base.cx, 2 * base.cy));
}

// The forms' face: "微軟正黑體" where it is installed, else one of the Traditional Chinese faces
// that stand in for it, never the first CJK face the font system knows (often the Japanese
// one, whose glyph forms differ).
TEST(FrameworkFonts, FormFaceOrATraditionalChineseStandIn) {
    const QStringList traditional = {
        QStringLiteral("微軟正黑體"), QStringLiteral("Microsoft JhengHei"),
        QStringLiteral("Noto Sans CJK TC"), QStringLiteral("Noto Sans TC")};
    const QStringList installed = QFontDatabase::families();
    if (std::none_of(traditional.begin(), traditional.end(), [&](const QString& f) {
            return installed.contains(f, Qt::CaseInsensitive);
        })) {
        GTEST_SKIP() << "the font database lists no Traditional Chinese face";
    }
    const QString family =
        QFontInfo(FwTemplateFont(QStringLiteral("微軟正黑體"), 12, 400)).family();
    EXPECT_TRUE(traditional.contains(family, Qt::CaseInsensitive)) << family.toStdString();
}

TEST(FrameworkControls, LookupByDecimalId) {
    QWidget form;
    auto* group = new QWidget(&form);
    auto* button = new QPushButton(QStringLiteral("開啟"), group);
    auto* label = new QLabel(QStringLiteral("CH1"), &form);
    const QFont font = form.font();
    FwPlaceControl(button, 1036, font, QRect(236, 29, 31, 12));
    FwPlaceControl(label, 1048, font, QRect(14, 31, 18, 8));

    EXPECT_EQ(button->objectName(), QStringLiteral("1036"));
    EXPECT_EQ(button->geometry(), DluToPixels(font, QRect(236, 29, 31, 12)));
    EXPECT_EQ(GetDlgItem(&form, 1036), button); // found below a nested widget
    EXPECT_EQ(GetDlgItem<QPushButton>(&form, 1036), button);
    EXPECT_EQ(GetDlgItem<QLabel>(&form, 1036), nullptr); // wrong type
    EXPECT_EQ(GetDlgItem<QLabel>(&form, 1048), label);
    EXPECT_EQ(GetDlgItem(&form, 1037), nullptr);
    EXPECT_EQ(GetDlgItem(nullptr, 1036), nullptr);
    EXPECT_EQ(GetDlgCtrlID(button), 1036);
    EXPECT_EQ(GetDlgCtrlID(group), -1);
}

TEST(FrameworkMessageBox, RecorderAnswersAndRestoresThePreviousHook) {
    QWidget owner;
    {
        CMessageBoxRecorder outer(QMessageBox::Ok);
        {
            CMessageBoxRecorder inner(QMessageBox::No);
            const auto answer =
                MorvaneMessageBox(&owner, QStringLiteral("確認串列埠設定"), QStringLiteral("text"),
                                  QMessageBox::Warning, QMessageBox::Yes | QMessageBox::No);
            EXPECT_EQ(answer, QMessageBox::No);
            ASSERT_EQ(inner.Records().size(), 1U);
            const CMessageBoxRequest& r = inner.Records().front();
            EXPECT_EQ(r.owner, &owner);
            EXPECT_EQ(r.caption, QStringLiteral("確認串列埠設定"));
            EXPECT_EQ(r.text, QStringLiteral("text"));
            EXPECT_EQ(r.icon, QMessageBox::Warning);
            EXPECT_EQ(r.buttons, QMessageBox::Yes | QMessageBox::No);
            EXPECT_TRUE(outer.Records().empty());
        }
        // The inner recorder is gone: the outer one answers again.
        const auto answer =
            MorvaneMessageBox(nullptr, QString(), QStringLiteral("無法開啟"), QMessageBox::Warning);
        EXPECT_EQ(answer, QMessageBox::Ok);
        ASSERT_EQ(outer.Records().size(), 1U);
        // Without a caption the box carries the application name.
        EXPECT_EQ(outer.Records().front().caption, QStringLiteral("Morvane"));
        EXPECT_EQ(outer.Records().front().buttons, QMessageBox::Ok);
    }
}

TEST(FrameworkMessageBox, WithoutRecorderShowsAModalBox) {
    QWidget owner;
    owner.show();
    QString seenTitle;
    QString seenText;
    QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
    bool seenOwner = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        poll.stop();
        seenTitle = box->windowTitle();
        seenText = box->text();
        seenIcon = box->icon();
        seenOwner = box->parentWidget() == &owner;
        box->button(QMessageBox::Cancel)->click();
    });
    poll.start();
    const auto answer =
        MorvaneMessageBox(&owner, QStringLiteral("caption"), QStringLiteral("無法開啟 !     "),
                          QMessageBox::Warning, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(answer, QMessageBox::Cancel);
    EXPECT_EQ(seenTitle, QStringLiteral("caption"));
    EXPECT_EQ(seenText, QStringLiteral("無法開啟 !     "));
    EXPECT_EQ(seenIcon, QMessageBox::Warning);
    EXPECT_TRUE(seenOwner);
}

} // namespace
