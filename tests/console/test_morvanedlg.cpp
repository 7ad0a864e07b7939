// The main form's panel: template 101 (ids, texts, places, hidden rows, tab order, colours),
// the state after the initial update, the switches with their LEDs, the mode check boxes and
// the update button.
#include "test_morvanedlg_fixture.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QLineEdit>

namespace {

using namespace morvanedlg_test;

QFont FormFont() {
    return FwTemplateFont(QStringLiteral("微軟正黑體"), 12, 400);
}

// Start-up without a module: every test of this file that needs none opens a device that
// does not exist, so the start-up fails fast and the port stays closed.
const QString NO_DEVICE = QStringLiteral("/nonexistent/morvane-test-tty");

TEST_F(MorvaneDlgTest, TemplateControlsHaveTheirIdsTextsAndPlaces) {
    WriteSetup(SetupText(""));
    Open(NO_DEVICE);
    const QFont font = FormFont();

    struct Fixed {
        int id;
        const char* type;
        const char* text;
        QRect du;
    };
    const Fixed fixed[] = {
        {1064, "QPushButton", "更新", QRect(236, 156, 31, 12)},
        {1060, "CGroupBox", "QM-TRV 可程控精準數位合成模組", QRect(6, 5, 270, 171)},
    };
    for (const Fixed& f : fixed) {
        SCOPED_TRACE(f.id);
        QWidget* control = GetDlgItem(m_form, f.id);
        ASSERT_NE(control, nullptr);
        EXPECT_STREQ(control->metaObject()->className(), f.type);
        EXPECT_EQ(control->geometry(), DluToPixels(font, f.du));
        if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            EXPECT_EQ(button->text(), QString::fromUtf8(f.text));
        } else {
            EXPECT_EQ(static_cast<CGroupBox*>(control)->WindowText(), QString::fromUtf8(f.text));
        }
    }

    // The mode boxes: at least their template's width, wider where their captions need it,
    // with the template's gaps to each other and to the update button, which keeps its place.
    const QRect single = Single()->geometry();
    const QRect multiple = Multiple()->geometry();
    EXPECT_EQ(Single()->text(), QStringLiteral("單個通道設定"));
    EXPECT_EQ(Multiple()->text(), QStringLiteral("多個通道設定"));
    EXPECT_GE(single.width(), DluToPixels(font, QSize(47, 8)).width());
    EXPECT_GE(multiple.width(), DluToPixels(font, QSize(48, 8)).width());
    const QRect templateSingle = DluToPixels(font, QRect(112, 158, 47, 8));
    const QRect templateMultiple = DluToPixels(font, QRect(169, 158, 48, 8));
    EXPECT_EQ(single.top(), templateSingle.top());
    EXPECT_EQ(single.height(), templateSingle.height());
    EXPECT_EQ(multiple.left() - single.right(), templateMultiple.left() - templateSingle.right());
    EXPECT_EQ(multiple.right(), templateMultiple.right()); // the gap to the update button
    ExpectCaptionsHoldTheirTexts(m_form);

    // Rows: the labelled rows CH1 to CH8 drive channel indexes 0-3 and 8-11; indexes 4-7 have
    // complete rows, labelled CH5 to CH8 too, hidden and disabled.
    const int top[12] = {29, 44, 59, 75, 91, 107, 123, 139, 91, 107, 123, 139};
    const char* label[12] = {"CH1", "CH2", "CH3", "CH4", "CH5", "CH6",
                             "CH7", "CH8", "CH5", "CH6", "CH7", "CH8"};
    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        const bool hidden = i >= 4 && i <= 7;
        auto* rowLabel = Item<QLabel>(1048 + i);
        EXPECT_EQ(rowLabel->text(), QString::fromLatin1(label[i]));
        EXPECT_TRUE(rowLabel->alignment() & Qt::AlignRight);
        EXPECT_EQ(rowLabel->geometry(), DluToPixels(font, QRect(14, top[i] + 2, 18, 8)));

        const struct {
            QWidget* control;
            int x;
            int width;
        } combos[] = {{Freq(i), 51, 34}, {Amp(i), 124, 22}, {Phase(i), 176, 31}};
        for (const auto& c : combos) {
            const QRect px = DluToPixels(font, QRect(c.x, top[i], c.width, 12));
            EXPECT_EQ(c.control->geometry().topLeft(), px.topLeft());
            EXPECT_EQ(c.control->width(), px.width());
            EXPECT_TRUE(static_cast<QComboBox*>(c.control)->isEditable());
        }
        EXPECT_EQ(Switch(i)->geometry(), DluToPixels(font, QRect(236, top[i], 31, 12)));
        EXPECT_EQ(Switch(i)->text(), QStringLiteral("開啟"));
        EXPECT_EQ(Led(i)->pos(), DluToPixels(font, QRect(220, top[i], 13, 13)).topLeft());
        EXPECT_EQ(Led(i)->size(), QSize(32, 32)); // a picture takes its bitmap's size

        for (QWidget* control : std::initializer_list<QWidget*>{rowLabel, Freq(i), Amp(i), Phase(i),
                                                                Switch(i), Led(i)}) {
            EXPECT_EQ(control->isVisibleTo(m_form), !hidden) << control->objectName().toStdString();
            EXPECT_EQ(control->isEnabled(), !hidden) << control->objectName().toStdString();
        }
    }

    // Every visible row carries its six captions; the hidden rows' captions are hidden.
    const QStringList captions = {QStringLiteral("頻率"), QStringLiteral("MHz"),
                                  QStringLiteral("振幅"), QStringLiteral("%"),
                                  QStringLiteral("相位"), QStringLiteral("度")};
    for (const QString& caption : captions) {
        int visible = 0;
        int all = 0;
        for (const QLabel* l : m_form->findChildren<QLabel*>()) {
            if (l->text() == caption) {
                ++all;
                visible += l->isVisibleTo(m_form) ? 1 : 0;
            }
        }
        EXPECT_EQ(all, 12) << caption.toStdString();
        EXPECT_EQ(visible, 8) << caption.toStdString();
    }
}

TEST_F(MorvaneDlgTest, TabOrderRunsRowByRowAndEndsAtTheUpdateButton) {
    WriteSetup(SetupText(""));
    Open(NO_DEVICE);
    Update()->setEnabled(true); // a disabled button is skipped by the tab chain

    std::vector<QWidget*> expected;
    for (int i : {0, 1, 2, 3, 8, 9, 10, 11}) {
        expected.insert(expected.end(), {Freq(i), Amp(i), Phase(i), Switch(i)});
    }
    expected.push_back(Update());

    // Walk the focus chain from the first field, keeping what Tab can reach.
    std::vector<QWidget*> reached;
    QWidget* w = Freq(0);
    do {
        if (w->isVisibleTo(m_form) && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus) &&
            w->focusProxy() == nullptr && GetDlgCtrlID(w) >= 0) {
            reached.push_back(w);
        }
        w = w->nextInFocusChain();
    } while (w != Freq(0) && reached.size() < 100);
    // Tab reaches a combo box through its edit field; count the combo box itself.
    std::vector<QWidget*> walked;
    for (QWidget* r : reached) {
        if (m_form->isAncestorOf(r)) {
            walked.push_back(r);
        }
    }
    EXPECT_EQ(walked, expected);
    EXPECT_FALSE(Single()->focusPolicy() & Qt::TabFocus);
    EXPECT_FALSE(Multiple()->focusPolicy() & Qt::TabFocus);
}

TEST_F(MorvaneDlgTest, InitialUpdateLeavesThePanelReady) {
    WriteSetup(SetupText(""));
    Open(NO_DEVICE);

    EXPECT_TRUE(Single()->isChecked());
    EXPECT_FALSE(Multiple()->isChecked());
    EXPECT_FALSE(Update()->isEnabled());
    EXPECT_TRUE(m_form->StatusDialog().IsCreated());
    EXPECT_FALSE(m_form->StatusDialog().isVisible());
    EXPECT_FALSE(m_form->LedOnBitmap().isNull());
    EXPECT_FALSE(m_form->LedOffBitmap().isNull());
    EXPECT_EQ(m_form->LedOnBitmap().size(), QSize(32, 32));
    for (int i = 0; i < 15; ++i) {
        EXPECT_FALSE(m_form->IsChannelOn(i));
        EXPECT_FALSE(m_form->IsLedLit(i));
        EXPECT_FALSE(m_form->IsLedDark(i));
    }
    for (int i = 0; i < 12; ++i) {
        // The grey lamp of the template: the same picture as the form's off bitmap.
        EXPECT_EQ(Led(i)->pixmap().toImage(), m_form->LedOffBitmap().toImage());
    }

    auto* panel = Item<CGroupBox>(1060);
    EXPECT_EQ(panel->HeaderStyle(), 1);
    EXPECT_EQ(panel->TitleBkColor(), 0xFFA940u);
    EXPECT_EQ(panel->BandBkColor(), SysColor(COLOR_BTNFACE));
    EXPECT_TRUE(panel->IsBanded());
    EXPECT_EQ(panel->TitleTextColor(), 0xFFFFFFu);

    // The combo boxes alternate dark and light grey with white text, by channel index.
    for (int i = 0; i < 12; ++i) {
        for (CCComboBox* combo : {Freq(i), Amp(i), Phase(i)}) {
            // A box's drop-down list is made when it first drops down, not with the form.
            EXPECT_EQ(combo->findChild<QAbstractItemView*>(), nullptr) << i;
            (void)combo->grab(); // the colours reach the palettes when the control paints
            const QPalette pal = combo->lineEdit()->palette();
            EXPECT_EQ(RefFromColor(pal.color(QPalette::Active, QPalette::Base)),
                      i % 2 != 0 ? 0x969696u : 0x737373u)
                << i;
            EXPECT_EQ(RefFromColor(pal.color(QPalette::Active, QPalette::Text)), 0xFFFFFFu);
        }
    }

    // The list made on the first drop-down shows the box's colours.
    static_cast<QComboBox*>(Amp(1))->showPopup();
    const QPalette list = Amp(1)->view()->palette();
    EXPECT_EQ(RefFromColor(list.color(QPalette::Active, QPalette::Base)), 0x969696u);
    EXPECT_EQ(RefFromColor(list.color(QPalette::Active, QPalette::Text)), 0xFFFFFFu);
    Amp(1)->hidePopup();

    // The frame is fitted to the form: its client never exceeds the form.
    EXPECT_LE(m_form->width(), m_form->GetTotalSize().width());
    EXPECT_LE(m_form->height(), m_form->GetTotalSize().height());
}

TEST_F(MorvaneDlgTest, GroupBoxHasTheFocusOnceTheWindowIsActive) {
    WriteSetup(SetupText(""));
    Open(NO_DEVICE);
    m_frame->activateWindow();
    if (!QTest::qWaitForWindowActive(m_frame.get(), WAIT_MS)) {
        GTEST_SKIP() << "the platform did not activate the window";
    }
    EXPECT_EQ(QApplication::focusWidget(), GetDlgItem(m_form, 1060));
}

TEST_F(MorvaneDlgTest, SwitchesDoNothingWhileThePortIsClosed) {
    WriteSetup(SetupText(""));
    Open(NO_DEVICE);
    ASSERT_FALSE(m_form->IsPortOpen());
    m_boxes->Clear();
    const QString pane = Pane();
    const std::string lastCommand = DdsLastCommand();

    for (int i : {0, 3, 8, 11}) {
        Click(Switch(i));
        EXPECT_EQ(Switch(i)->text(), QStringLiteral("開啟"));
        EXPECT_FALSE(m_form->IsChannelOn(i));
        EXPECT_FALSE(m_form->IsLedLit(i));
        EXPECT_FALSE(LedShowsLit(i));
    }
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Pane(), pane);
    EXPECT_EQ(DdsLastCommand(), lastCommand);
}

TEST_F(MorvaneDlgTest, TwoClicksSwitchARowOnAndOff) {
    WriteSimSetup();
    Open();
    ASSERT_TRUE(m_form->IsPortOpen());

    Click(Switch(1));
    EXPECT_EQ(Switch(1)->text(), QStringLiteral("關閉"));
    EXPECT_TRUE(LedShowsLit(1));
    EXPECT_TRUE(m_form->IsLedLit(1));
    EXPECT_FALSE(m_form->IsLedDark(1));
    EXPECT_TRUE(m_sim.Channel(1).on);
    EXPECT_EQ(std::string(DdsLastCommand()), "dds 1 1999999a 0 400 1");

    Click(Switch(1));
    EXPECT_EQ(Switch(1)->text(), QStringLiteral("開啟"));
    EXPECT_TRUE(LedShowsDark(1));
    EXPECT_FALSE(m_form->IsLedLit(1));
    EXPECT_TRUE(m_form->IsLedDark(1));
    EXPECT_FALSE(m_sim.Channel(1).on);
    EXPECT_EQ(std::string(DdsLastCommand()), "dds 1 0 0 400 1");
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(MorvaneDlgTest, SetChannelLedNeverSetsTheSameLampTwiceInARow) {
    WriteSetup(SetupText(""));
    Open(NO_DEVICE);
    const QPixmap foreign(8, 8);

    // Neither flag is set after the initial update: the first call sets a lamp either way.
    m_form->SetChannelLed(2, false);
    EXPECT_TRUE(LedShowsDark(2));
    Led(2)->setPixmap(foreign);
    m_form->SetChannelLed(2, false); // grey is set already: the picture is not touched
    EXPECT_EQ(Led(2)->pixmap().cacheKey(), foreign.cacheKey());

    m_form->SetChannelLed(2, true);
    EXPECT_TRUE(LedShowsLit(2));
    Led(2)->setPixmap(foreign);
    m_form->SetChannelLed(2, true);
    EXPECT_EQ(Led(2)->pixmap().cacheKey(), foreign.cacheKey());

    m_form->SetChannelLed(2, false);
    EXPECT_TRUE(LedShowsDark(2));

    // ToggleChannel flips state, caption and lamp without regard to the port.
    EXPECT_TRUE(m_form->ToggleChannel(9));
    EXPECT_EQ(Switch(9)->text(), QStringLiteral("關閉"));
    EXPECT_TRUE(LedShowsLit(9));
    EXPECT_FALSE(m_form->ToggleChannel(9));
    EXPECT_EQ(Switch(9)->text(), QStringLiteral("開啟"));
    EXPECT_TRUE(LedShowsDark(9));
    // Other rows stay as they were.
    EXPECT_FALSE(m_form->IsLedLit(8));
    EXPECT_FALSE(m_form->IsLedDark(8));
}

TEST_F(MorvaneDlgTest, ModeBoxesAreAutomaticCheckBoxesThatMayBothBeUnchecked) {
    WriteSetup(SetupText(""));
    Open(NO_DEVICE);
    struct Step {
        const char* click;
        bool single;
        bool multiple;
    };
    // From the start state: single checked.
    const Step steps[] = {
        {"single", false, false},  // the checked box unchecks itself, the other stays off
        {"multiple", false, true}, // multiple on
        {"single", true, false},   // single on, multiple off
        {"multiple", false, true}, // and back
        {"multiple", false, false}, {"multiple", false, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.click);
        Click(std::string_view(step.click) == "single" ? static_cast<QAbstractButton*>(Single())
                                                       : Multiple());
        EXPECT_EQ(Single()->isChecked(), step.single);
        EXPECT_EQ(Multiple()->isChecked(), step.multiple);
    }
}

TEST_F(MorvaneDlgTest, UpdateButtonWithThePortClosedSendsNothingAndStaysEnabled) {
    WriteSetup(SetupText(""));
    Open(NO_DEVICE);
    Update()->setEnabled(true);
    const std::string lastCommand = DdsLastCommand();
    Click(Update());
    EXPECT_TRUE(Update()->isEnabled());
    EXPECT_EQ(DdsLastCommand(), lastCommand);
}

TEST_F(MorvaneDlgTest, SwitchesKeepCaptionsAndLedsWhenThePortIsClosedAndOpenedAgain) {
    WriteSimSetup();
    Open();
    Click(Switch(0));
    Click(Switch(8));
    Click(Switch(8));
    Command(ID_PORT_CLOSE);
    ASSERT_FALSE(m_form->IsPortOpen());
    Command(ID_PORT_OPEN);
    ASSERT_TRUE(m_form->IsPortOpen());
    EXPECT_EQ(Switch(0)->text(), QStringLiteral("關閉"));
    EXPECT_TRUE(LedShowsLit(0));
    EXPECT_EQ(Switch(8)->text(), QStringLiteral("開啟"));
    EXPECT_TRUE(LedShowsDark(8));
    EXPECT_TRUE(m_form->IsChannelOn(0));
    EXPECT_FALSE(m_form->IsChannelOn(8));
}

} // namespace
