// The channel status dialog: its window and list, the rows it shows for a channel table, the
// keys it ignores, its placement, and the lamp bitmaps it carries for the main form.
#include "framework.h"
#include "showmsgdlg.h"

#include <QApplication>
#include <QHeaderView>
#include <QImage>
#include <QScreen>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>

namespace {

using Table = DdsChannelState[DDS_CHANNELS];

// The table right after a successful device initialisation: 10 MHz, phase 0, amplitude 0, on.
void FillInitialised(Table& table) {
    for (DdsChannelState& row : table) {
        row = DdsChannelState{1, 10000000.0, 0.0, 0.0};
    }
}

QString Cell(const CShowMsgDlg& dlg, int row, int column) {
    const QTableWidgetItem* item = dlg.m_ChannelList->item(row, column);
    return item != nullptr ? item->text() : QStringLiteral("<none>");
}

// Columns 1 to 5 of a row, joined by "|".
QString RowText(const CShowMsgDlg& dlg, int row) {
    QStringList texts;
    for (int c = 1; c <= 5; ++c) {
        texts << Cell(dlg, row, c);
    }
    return texts.join(QLatin1Char('|'));
}

TEST(ShowMsgDlg, WindowIsAFixedModelessPopUpWithTheListAt1063) {
    CShowMsgDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("讀取 QM-TRV 通道狀態"));
    EXPECT_EQ(dlg.parentWidget(), nullptr);
    EXPECT_FALSE(dlg.isModal());
    EXPECT_FALSE(dlg.isVisible());

    const QFont font = CShowMsgDlg::TemplateFont();
    EXPECT_EQ(dlg.font().pixelSize(), font.pixelSize());
    EXPECT_EQ(dlg.size(), DluToPixels(font, QSize(164, 140)));
    EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize()); // no sizing border
    const Qt::WindowFlags flags = dlg.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));

    auto* list = GetDlgItem<QTableWidget>(&dlg, CShowMsgDlg::IDC_CHANNEL_LIST);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list, dlg.m_ChannelList);
    EXPECT_EQ(list->geometry(), DluToPixels(font, QRect(6, 7, 152, 127)));
    EXPECT_TRUE(list->focusPolicy() & Qt::TabFocus);
    EXPECT_NE(list->frameShape(), QFrame::NoFrame);
    EXPECT_FALSE(list->verticalHeader()->isVisibleTo(list)); // report view: no row headings
    EXPECT_EQ(list->editTriggers(), QAbstractItemView::NoEditTriggers);

    // Creating the window keeps it hidden; a second Create changes nothing.
    EXPECT_FALSE(dlg.IsCreated());
    EXPECT_TRUE(dlg.Create());
    EXPECT_TRUE(dlg.Create());
    EXPECT_TRUE(dlg.IsCreated());
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(list->columnCount(), 6);
}

TEST(ShowMsgDlg, SixCentredColumnsWithHiddenItemColumn) {
    CShowMsgDlg dlg;
    dlg.Create();
    const QTableWidget* list = dlg.m_ChannelList;

    struct Column {
        const char* heading;
        int width;
    };
    const Column columns[] = {
        {"", 0}, {"通道", 60}, {"頻率 MHz", 90}, {"振幅 %", 80}, {"相位 °", 80}, {"狀態", 60},
    };
    ASSERT_EQ(list->columnCount(), 6);
    for (int c = 0; c < 6; ++c) {
        const QTableWidgetItem* heading = list->horizontalHeaderItem(c);
        ASSERT_NE(heading, nullptr) << c;
        EXPECT_EQ(heading->text(), QString::fromUtf8(columns[c].heading)) << c;
        EXPECT_EQ(list->columnWidth(c), columns[c].width) << c;
        EXPECT_EQ(heading->textAlignment(), int(Qt::AlignCenter)) << c;
    }
    EXPECT_TRUE(list->isColumnHidden(0));
    for (int c = 1; c < 6; ++c) {
        EXPECT_FALSE(list->isColumnHidden(c)) << c;
    }

    EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_TRUE(list->showGrid());

    // Every cell is centred, the item column carries no text, and cells are not editable.
    Table table{};
    dlg.FillFromTable(table);
    for (int c = 0; c < 6; ++c) {
        const QTableWidgetItem* item = list->item(0, c);
        ASSERT_NE(item, nullptr) << c;
        EXPECT_EQ(item->textAlignment(), int(Qt::AlignCenter)) << c;
        EXPECT_FALSE(item->flags().testFlag(Qt::ItemIsEditable)) << c;
    }
    EXPECT_EQ(Cell(dlg, 0, 0), QString());
}

TEST(ShowMsgDlg, TwelveRowsNumberedByChannelIndex) {
    CShowMsgDlg dlg;
    Table initialised;
    FillInitialised(initialised);
    dlg.FillFromTable(initialised); // also creates the window when that has not happened yet
    EXPECT_TRUE(dlg.IsCreated());
    ASSERT_EQ(dlg.m_ChannelList->rowCount(), DDS_CHANNELS);
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        const QString number = QString::asprintf("%02d", i + 1);
        EXPECT_EQ(RowText(dlg, i), number + QStringLiteral("|10.000|0|0.00|ON")) << i;
        EXPECT_EQ(Cell(dlg, i, 0), QString()) << i;
    }

    Table zero{};
    dlg.FillFromTable(zero);
    ASSERT_EQ(dlg.m_ChannelList->rowCount(), DDS_CHANNELS);
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        EXPECT_EQ(RowText(dlg, i).section(QLatin1Char('|'), 1), QStringLiteral("0.000|0|0.00|OFF"))
            << i;
    }
}

TEST(ShowMsgDlg, RowFormats) {
    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    constexpr double INF = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        DdsChannelState state;
        const char* expected; // columns 2 to 5
    };
    const Case cases[] = {
        {"switched off keeps its frequency", {0, 12500000.0, 90.0, 0.5}, "12.500|50|90.00|OFF"},
        {"amplitude word 614 of 2048", {1, 10e6, 0, 0.2998046875}, "10.000|30|0.00|ON"},
        {"full scale", {1, 10e6, 0, 1.0}, "10.000|100|0.00|ON"},
        {"phase rounds to two places", {1, 10e6, 358.9892578125, 0}, "10.000|0|358.99|ON"},
        {"frequency from its word", {1, 10000000.009313226, 0, 0}, "10.000|0|0.00|ON"},
        {"MHz rounds to three places", {1, 123456789.0, 0, 0}, "123.457|0|0.00|ON"},
        {"half a percent rounds up", {1, 0, 0, 0.005}, "0.000|1|0.00|ON"},
        {"below half a percent", {1, 0, 0, 0.0049}, "0.000|0|0.00|ON"},
        {"negative truncates toward zero", {1, 0, 0, -0.012}, "0.000|0|0.00|ON"},
        {"on above 1 is on", {2, 0, 0, 0}, "0.000|0|0.00|ON"},
        {"on below 0 is off", {-1, 0, 0, 0}, "0.000|0|0.00|OFF"},
        // Values the table never holds: shown without an undefined conversion.
        {"amplitude not a number", {1, 0, 0, NaN}, "0.000|0|0.00|ON"},
        {"amplitude infinite", {1, 0, 0, INF}, "0.000|2147483647|0.00|ON"},
        {"amplitude minus infinite", {1, 0, 0, -INF}, "0.000|-2147483648|0.00|ON"},
        {"amplitude beyond int", {1, 0, 0, 1e300}, "0.000|2147483647|0.00|ON"},
        {"amplitude at the top of int", {1, 0, 0, 21474836.47}, "0.000|2147483647|0.00|ON"},
    };
    CShowMsgDlg dlg;
    constexpr int ROW = 7;
    for (const Case& c : cases) {
        Table table{};
        table[ROW] = c.state;
        dlg.FillFromTable(table);
        EXPECT_EQ(RowText(dlg, ROW), QStringLiteral("08|") + QString::fromUtf8(c.expected))
            << c.what;
    }
}

TEST(ShowMsgDlg, NumbersUseADecimalPointInAGermanLocale) {
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
        GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed";
    }
    CShowMsgDlg dlg;
    Table table{};
    table[0] = DdsChannelState{1, 10000000.009313226, 358.9892578125, 0.2998046875};
    dlg.FillFromTable(table);
    const QString row = RowText(dlg, 0);
    std::setlocale(LC_ALL, previous.c_str());
    EXPECT_EQ(row, QStringLiteral("01|10.000|30|358.99|ON"));
}

TEST(ShowMsgDlg, RefillWhileVisibleReplacesRowsInPlace) {
    CShowMsgDlg dlg;
    dlg.Create();
    Table table;
    FillInitialised(table);
    dlg.FillFromTable(table);
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));

    // The rows are a snapshot: the table changing does not reach the list by itself.
    table[2] = DdsChannelState{0, 25000000.0, 45.0, 0.75};
    EXPECT_EQ(RowText(dlg, 2), QStringLiteral("03|10.000|0|0.00|ON"));

    dlg.FillFromTable(table);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.m_ChannelList->rowCount(), DDS_CHANNELS);
    EXPECT_EQ(RowText(dlg, 2), QStringLiteral("03|25.000|75|45.00|OFF"));
    EXPECT_EQ(RowText(dlg, 3), QStringLiteral("04|10.000|0|0.00|ON"));
}

TEST(ShowMsgDlg, EnterAndEscChangeNothing) {
    CShowMsgDlg dlg;
    Table table;
    FillInitialised(table);
    dlg.FillFromTable(table);
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    QTableWidget* list = dlg.m_ChannelList;
    list->setFocus();
    list->setCurrentCell(4, 1);
    QSignalSpy activated(list, &QAbstractItemView::activated);
    QSignalSpy finished(&dlg, &QDialog::finished);

    for (QWidget* target : {static_cast<QWidget*>(list), static_cast<QWidget*>(&dlg)}) {
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
            QTest::keyClick(target, key);
            EXPECT_TRUE(dlg.isVisible()) << key;
        }
    }
    EXPECT_EQ(activated.count(), 0); // the keys went no further than the dialog
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(list->currentRow(), 4);
    EXPECT_EQ(RowText(dlg, 4), QStringLiteral("05|10.000|0|0.00|ON"));

    // Other keys still reach the list.
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(list->currentRow(), 5);
}

TEST(ShowMsgDlg, CloseBoxHidesAndDestroyWindowTakesItDown) {
    CShowMsgDlg dlg;
    Table table;
    FillInitialised(table);
    dlg.FillFromTable(table);
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));

    EXPECT_TRUE(dlg.close());
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_TRUE(dlg.IsCreated());
    EXPECT_EQ(RowText(dlg, 11), QStringLiteral("12|10.000|0|0.00|ON"));
    dlg.show();
    EXPECT_TRUE(dlg.isVisible());

    dlg.DestroyWindow();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_FALSE(dlg.IsCreated());
    EXPECT_EQ(dlg.m_ChannelList->rowCount(), 0);
    dlg.Create();
    EXPECT_EQ(dlg.m_ChannelList->columnCount(), 6);
    EXPECT_FALSE(dlg.isVisible());
}

TEST(ShowMsgDlg, PlacementLeftOfAndAboveTheMiddle) {
    struct Case {
        QSize screen, window;
        QPoint expected;
    };
    const Case cases[] = {
        {{1920, 1080}, {300, 280}, {800, 415}},
        {{1921, 1081}, {300, 280}, {800, 415}}, // odd differences drop the half
        {{1366, 768}, {247, 229}, {549, 284}},
        {{800, 600}, {300, 40}, {240, 295}},  // window lower than the allowance
        {{200, 100}, {303, 281}, {-61, -75}}, // larger than the screen: -103/2 is -51
        {{0, 0}, {1, 51}, {-10, -10}},        // -1/2 and -1/2 truncate to 0
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CShowMsgDlg::InitialPosition(c.screen, c.window), c.expected)
            << c.screen.width() << "x" << c.screen.height() << " " << c.window.width() << "x"
            << c.window.height();
    }

    // Creating the window moves it there on the primary screen.
    CShowMsgDlg dlg;
    dlg.Create();
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(dlg.pos(), CShowMsgDlg::InitialPosition(screen->geometry().size(), dlg.size()));
}

TEST(ShowMsgDlg, LampBitmapsAreGreyAndRedLampsInTheSameBezel) {
    ShowMsgInitLedResources();
    const QImage off(QString::fromLatin1(LED_OFF_RESOURCE));
    const QImage on(QString::fromLatin1(LED_ON_RESOURCE));
    ASSERT_FALSE(off.isNull());
    ASSERT_FALSE(on.isNull());
    for (const QImage* image : {&off, &on}) {
        EXPECT_EQ(image->size(), QSize(32, 32));
        EXPECT_EQ(image->depth(), 32);
    }
    // The bezel: light grey, the same in both.
    for (const QPoint p : {QPoint(3, 3), QPoint(28, 3), QPoint(3, 28), QPoint(16, 1)}) {
        const QColor c = off.pixelColor(p);
        EXPECT_EQ(c, on.pixelColor(p)) << p.x() << "," << p.y();
        EXPECT_GT(c.lightness(), 170) << p.x() << "," << p.y();
        EXPECT_LT(c.saturation(), 10) << p.x() << "," << p.y();
    }
    // The lamp: dark grey, or red.
    const QColor dark = off.pixelColor(18, 19);
    EXPECT_LT(dark.lightness(), 128);
    EXPECT_LT(dark.saturation(), 10);
    const QColor red = on.pixelColor(18, 19);
    EXPECT_GT(red.red(), 150);
    EXPECT_LT(red.green(), 80);
    EXPECT_LT(red.blue(), 80);
}

} // namespace
