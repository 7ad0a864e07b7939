// The main frame: menu 310, keyboard table 128, bars, caption, fixed size and placement, and
// the about box.
#include "aboutdlg.h"
#include "formview.h"
#include "framework.h"
#include "mainfrm.h"
#include "resource.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QToolBar>
#include <gtest/gtest.h>

#include <memory>

namespace {

std::unique_ptr<CMainFrame> MakeFrame(QSize viewTotal = QSize()) {
    auto frame = std::make_unique<CMainFrame>();
    EXPECT_TRUE(frame->Create());
    auto* view = new CFormView;
    view->SetTotalSize(viewTotal);
    frame->SetView(view);
    return frame;
}

// The menu bar as lines "level|kind|text|id", depth first.
void WalkMenu(const QList<QAction*>& actions, int level, QStringList& out) {
    for (QAction* action : actions) {
        const QString prefix = QString::number(level) + QLatin1Char('|');
        if (action->isSeparator()) {
            out << prefix + QStringLiteral("separator||");
        } else if (QMenu* menu = action->menu()) {
            out << prefix + QStringLiteral("popup|") + action->text() + QLatin1Char('|');
            WalkMenu(menu->actions(), level + 1, out);
        } else {
            out << prefix + QStringLiteral("item|") + action->text() + QLatin1Char('|') +
                       action->objectName();
        }
    }
}

TEST(MainFrame, Menu310TextsIdsAndSeparators) {
    auto frame = MakeFrame();
    QStringList lines;
    WalkMenu(frame->menuBar()->actions(), 0, lines);
    const QStringList expected = {
        QStringLiteral("0|item|檔案(F)|32771"),
        QStringLiteral("0|popup|選項(O)|"),
        QStringLiteral("1|popup|串列埠設定|"),
        QStringLiteral("2|separator||"),
        QStringLiteral("2|item|開啟 串列埠|32774"),
        QStringLiteral("2|separator||"),
        QStringLiteral("2|item|關閉 串列埠|32775"),
        QStringLiteral("1|separator||"),
        QStringLiteral("1|item|讀取 QM-TRV (DDS) 狀態|32776"),
        // Added after the items above.
        QStringLiteral("1|separator||"),
        QStringLiteral("1|item|儲存通道設定…|32780"),
        QStringLiteral("1|item|載入通道設定…|32781"),
        QStringLiteral("1|separator||"),
        QStringLiteral("1|item|通訊記錄…|32782"),
        QStringLiteral("0|item|說明(H)|0"),
    };
    EXPECT_EQ(lines, expected);

    // The "(F)", "(O)", "(H)" are text: no mnemonic, no shortcut on any menu item, and the
    // leading separator of the port menu is kept.
    for (QAction* top : frame->menuBar()->actions()) {
        EXPECT_TRUE(QKeySequence::mnemonic(top->text()).isEmpty()) << top->text().toStdString();
        EXPECT_TRUE(top->shortcuts().isEmpty());
        if (QMenu* menu = top->menu()) {
            EXPECT_FALSE(menu->separatorsCollapsible());
            for (QAction* item : menu->actions()) {
                EXPECT_TRUE(item->shortcuts().isEmpty());
            }
        }
    }
    EXPECT_TRUE(frame->FindCommand(ID_PORT_OPEN)->isCheckable());
    EXPECT_TRUE(frame->FindCommand(ID_PORT_CLOSE)->isCheckable());
    EXPECT_FALSE(frame->FindCommand(ID_READ_STATUS)->isCheckable());
    EXPECT_EQ(frame->FindCommand(0), nullptr); // "說明(H)" issues no command
}

TEST(MainFrame, CheckMarksFollowTheUpdateHandlers) {
    auto frame = MakeFrame();
    bool portOpen = false;
    int opened = 0;
    QObject::connect(frame->FindCommand(ID_PORT_OPEN), &QAction::triggered, [&]() {
        portOpen = true;
        ++opened;
    });
    frame->SetCommandUpdateHandler(ID_PORT_OPEN, [&](QAction* a) { a->setChecked(portOpen); });
    frame->SetCommandUpdateHandler(ID_PORT_CLOSE, [&](QAction* a) { a->setChecked(!portOpen); });

    // Opening the menu runs the handlers.
    QMenu* options = frame->menuBar()->actions().at(1)->menu();
    options->popup(QPoint(0, 0));
    options->hide();
    EXPECT_FALSE(frame->FindCommand(ID_PORT_OPEN)->isChecked());
    EXPECT_TRUE(frame->FindCommand(ID_PORT_CLOSE)->isChecked());

    // A command runs its handler, then the check marks follow the new state at once.
    EXPECT_TRUE(frame->SendCommand(ID_PORT_OPEN));
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(frame->FindCommand(ID_PORT_OPEN)->isChecked());
    EXPECT_FALSE(frame->FindCommand(ID_PORT_CLOSE)->isChecked());
    // Choosing it again leaves the mark where the state says, not where a toggle would.
    EXPECT_TRUE(frame->SendCommand(ID_PORT_OPEN));
    EXPECT_TRUE(frame->FindCommand(ID_PORT_OPEN)->isChecked());

    // Without an updater a click does not leave a check mark behind.
    frame->SetCommandUpdateHandler(ID_PORT_CLOSE, nullptr);
    EXPECT_TRUE(frame->SendCommand(ID_PORT_CLOSE));
    EXPECT_FALSE(frame->FindCommand(ID_PORT_CLOSE)->isChecked());

    EXPECT_FALSE(frame->SendCommand(12345));
}

TEST(MainFrame, PlainTopLevelItemsDoNothing) {
    auto frame = MakeFrame();
    frame->show();
    frame->SetPaneText(0, QStringLiteral("status"));
    const auto before = QApplication::topLevelWidgets().size();
    for (QAction* top : frame->menuBar()->actions()) {
        if (top->menu() == nullptr) {
            top->trigger();
        }
    }
    QApplication::processEvents();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(QApplication::topLevelWidgets().size(), before);
    EXPECT_EQ(frame->GetPaneText(0), QStringLiteral("status"));
}

TEST(MainFrame, AcceleratorTable128) {
    auto frame = MakeFrame();
    struct Row {
        QKeyCombination key;
        int id;
    };
    const Row table[] = {
        {Qt::CTRL | Qt::Key_N, 57600},       {Qt::CTRL | Qt::Key_O, 57601},
        {Qt::CTRL | Qt::Key_S, 57603},       {Qt::CTRL | Qt::Key_Z, 57643},
        {Qt::CTRL | Qt::Key_X, 57635},       {Qt::CTRL | Qt::Key_C, 57634},
        {Qt::CTRL | Qt::Key_V, 57637},       {Qt::ALT | Qt::Key_Backspace, 57643},
        {Qt::SHIFT | Qt::Key_Delete, 57635}, {Qt::CTRL | Qt::Key_Insert, 57634},
        {Qt::SHIFT | Qt::Key_Insert, 57637}, {QKeyCombination(Qt::Key_F6), 57680},
        {Qt::SHIFT | Qt::Key_F6, 57681},
    };
    frame->show();
    frame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame.get()));
    for (const Row& row : table) {
        const QKeySequence key(row.key);
        QAction* action = frame->FindCommand(row.id);
        ASSERT_NE(action, nullptr) << row.id;
        EXPECT_TRUE(action->shortcuts().contains(key)) << row.id;
        QSignalSpy spy(action, &QAction::triggered);
        QTest::keySequence(frame.get(), key);
        EXPECT_EQ(spy.count(), 1) << key.toString().toStdString();
    }
}

TEST(MainFrame, StatusBarPanesAndToolBar) {
    auto frame = MakeFrame();
    frame->show();
    QStatusBar* bar = frame->GetStatusBar();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->objectName(), QString::number(0xE801));
    EXPECT_FALSE(bar->isSizeGripEnabled());

    const QString texts[] = {QStringLiteral("Ready"), QStringLiteral("CAP"), QStringLiteral("NUM"),
                             QStringLiteral("SCRL")};
    const int ids[] = {0, 0xE701, 0xE702, 0xE703};
    int previousRight = -1;
    for (int i = 0; i < 4; ++i) {
        QLabel* pane = frame->GetPane(i);
        ASSERT_NE(pane, nullptr);
        EXPECT_EQ(pane->text(), texts[i]);
        EXPECT_EQ(pane->objectName(), QString::number(ids[i]));
        EXPECT_TRUE(pane->isVisible());
        EXPECT_GT(pane->x(), previousRight); // left to right in this order
        previousRight = pane->geometry().right();
    }
    EXPECT_EQ(frame->GetPane(4), nullptr);
    EXPECT_EQ(frame->GetPane(0)->width(), CMainFrame::STATUS_PANE0_WIDTH);
    EXPECT_EQ(frame->GetPane(0)->minimumWidth(), 495);
    EXPECT_EQ(frame->GetPane(0)->maximumWidth(), 495);

    frame->SetPaneText(0, QStringLiteral(" 狀態 : [RS232] 串列埠[ 3 ] 已開啟"));
    EXPECT_EQ(frame->GetPaneText(0), QStringLiteral(" 狀態 : [RS232] 串列埠[ 3 ] 已開啟"));
    EXPECT_EQ(frame->GetPane(0)->width(), 495); // a text does not widen the pane

    // A send summary ends with a line break: the pane keeps one line and the bar its height.
    const int barHeight = bar->sizeHint().height();
    const QString summary = QStringLiteral("單個通道設定 : CH[9] Freq=[10.0000]MHz  Phase=[0.0]°  "
                                           "Amp=[0.500]\n");
    frame->SetPaneText(0, summary);
    EXPECT_EQ(frame->GetPaneText(0), summary);
    EXPECT_FALSE(frame->GetPane(0)->text().contains(QLatin1Char('\n')));
    EXPECT_EQ(bar->sizeHint().height(), barHeight);

    QToolBar* tools = frame->GetToolBar();
    ASSERT_NE(tools, nullptr);
    EXPECT_EQ(tools->objectName(), QString::number(0xE800));
    EXPECT_TRUE(tools->actions().isEmpty());
    EXPECT_FALSE(tools->isMovable());
    EXPECT_TRUE(tools->isVisible());
    EXPECT_EQ(frame->toolBarArea(tools), Qt::TopToolBarArea);
    EXPECT_GT(tools->height(), 0);
    EXPECT_GE(tools->y(), frame->menuBar()->geometry().bottom());
}

TEST(MainFrame, CaptionAndFixedSize) {
    auto frame = MakeFrame();
    EXPECT_EQ(frame->windowTitle(), QStringLiteral("Morvane V1.0"));
    const Qt::WindowFlags flags = frame->windowFlags();
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::MSWindowsFixedSizeDialogHint));
    frame->show();
    const QSize size = frame->size();
    EXPECT_EQ(frame->minimumSize(), size);
    EXPECT_EQ(frame->maximumSize(), size);
    frame->resize(size + QSize(100, 80));
    EXPECT_EQ(frame->size(), size);
}

TEST(MainFrame, ActivationRectFollowsTheDisplay) {
    struct Case {
        QSize frame;
        CDisplayInfo display;
        QRect expected;
    };
    const Case cases[] = {
        // 768 high or less: 720 x 693, centred; (768 - 693) / 2 = 37.5 truncates to 37.
        {QSize(600, 560), {768, 1024, 768, {}}, QRect(152, 37, 720, 693)},
        {QSize(900, 800), {600, 800, 600, {}}, QRect(40, -46, 720, 693)},
        // 769 high: the frame keeps the size the form gave it.
        {QSize(600, 560), {769, 1024, 769, {}}, QRect(212, 104, 600, 560)},
        {QSize(601, 561), {1080, 1920, 1080, {}}, QRect(659, 259, 601, 561)},
        // A screen narrower than the frame: a negative edge, truncated toward zero
        // ((715 - 720) / 2 is -2, not -3).
        {QSize(500, 400), {768, 715, 768, {}}, QRect(-2, 37, 720, 693)},
        {QSize(801, 500), {1024, 640, 1024, {}}, QRect(-80, 262, 801, 500)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CMainFrame::ActivationRect(c.frame, c.display), c.expected)
            << c.display.modeHeight << " " << c.display.screenWidth;
    }
}

TEST(MainFrame, ActivateFramePlacesAndShowsTheFrame) {
    for (const int height : {768, 769}) {
        auto frame = MakeFrame();
        const QSize before = frame->size();
        const CDisplayInfo display{height, 1600, height, {}};
        frame->SetDisplayInfoProvider([display]() { return display; });
        frame->ActivateFrame();
        const QRect expected = CMainFrame::ActivationRect(before, display);
        EXPECT_TRUE(frame->isVisible());
        EXPECT_EQ(frame->size(), expected.size()) << height;
        EXPECT_EQ(frame->pos(), expected.topLeft()) << height;
        EXPECT_EQ(frame->maximumSize(), expected.size()) << height;
        if (height == 768) {
            EXPECT_EQ(frame->size(), QSize(720, 693));
        } else {
            EXPECT_EQ(frame->size(), before);
        }
    }
}

TEST(MainFrame, FitsToTheViewShrinkingOnly) {
    auto frame = MakeFrame(QSize(400, 300));
    frame->setFixedSize(800, 700);
    frame->GetActiveView()->ResizeParentToFit(true);
    EXPECT_EQ(frame->centralWidget()->size(), QSize(400, 300));
    const QSize fitted = frame->size();
    EXPECT_LT(fitted.height(), 700);
    EXPECT_GT(fitted.height(), 300); // menu, tool bar and status bar around the view

    // Narrower than the view already: the width stays, the height still shrinks.
    frame->setFixedSize(350, 900);
    frame->GetActiveView()->ResizeParentToFit(true);
    EXPECT_EQ(frame->width(), 350);
    EXPECT_EQ(frame->height(), fitted.height());

    frame->GetActiveView()->ResizeParentToFit(false);
    EXPECT_EQ(frame->size(), fitted);
}

TEST(AboutBox, Dialog100Layout) {
    CAboutDlg dlg;
    const QFont font = CAboutDlg::TemplateFont();
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("About Morvane"));
    EXPECT_EQ(dlg.size(), DluToPixels(font, QSize(170, 62)));
    EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize());
    EXPECT_FALSE(dlg.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));

    auto* ok = GetDlgItem<QPushButton>(&dlg, IDOK);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), QStringLiteral("OK"));
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(ok->geometry(), DluToPixels(font, QRect(113, 41, 50, 14)));

    const QList<QLabel*> labels = dlg.findChildren<QLabel*>();
    const QLabel* version = nullptr;
    const QLabel* icon = nullptr;
    const QLabel* second = nullptr;
    for (const QLabel* label : labels) {
        if (label->text() == QStringLiteral("Morvane, Version 1.0")) {
            version = label;
        } else if (!label->pixmap().isNull()) {
            icon = label;
        } else if (!label->text().isEmpty()) {
            second = label;
        }
    }
    ASSERT_NE(version, nullptr);
    ASSERT_NE(icon, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(version->geometry(), DluToPixels(font, QRect(42, 14, 114, 8)));
    EXPECT_EQ(second->geometry(), DluToPixels(font, QRect(42, 26, 114, 8)));
    EXPECT_EQ(icon->pos(), DluToPixels(font, QRect(14, 14, 0, 0)).topLeft());
    EXPECT_EQ(icon->pixmap().size(), QSize(32, 32));

    // OK closes it with acceptance.
    dlg.show();
    ok->click();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_FALSE(dlg.isVisible());
}

} // namespace
