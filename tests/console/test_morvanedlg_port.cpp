// The form's port control against the simulated module: start-up, the status texts, the
// troubleshooting box, the menu commands with their check marks, the status timer, the read
// status command and the closing of the window.
#include "test_morvanedlg_fixture.h"

#include <QApplication>
#include <QMessageBox>
#include <QTableWidget>

namespace {

using namespace morvanedlg_test;

QString SimLabel(const CPtySimulator& sim) {
    return QString::fromStdString(sim.SlavePath());
}

TEST_F(MorvaneDlgTest, StartUpOpensThePortAndInitialisesTheModule) {
    WriteSimSetup("3");
    Open();

    EXPECT_TRUE(m_form->IsPortOpen());
    EXPECT_TRUE(LinkIsOpen());
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Pane(), OpenedText(SimLabel(m_sim)));
    EXPECT_EQ(m_sim.ClockMode(), 3);
    EXPECT_EQ(DdsModuleClocks.ddsClockHz, 200e6);
    EXPECT_TRUE(m_form->IsStatusTimerActive());
    EXPECT_TRUE(Checked(ID_PORT_OPEN));
    EXPECT_FALSE(Checked(ID_PORT_CLOSE));
    EXPECT_TRUE(m_frame->FindCommand(ID_PORT_OPEN)->isEnabled());
    EXPECT_TRUE(m_frame->FindCommand(ID_PORT_CLOSE)->isEnabled());

    // One second later the opened text is written once more, and the timer is gone.
    m_frame->SetPaneText(0, QStringLiteral("something else"));
    ASSERT_TRUE(QTest::qWaitFor([this] { return !m_form->IsStatusTimerActive(); }, WAIT_MS));
    EXPECT_EQ(Pane(), OpenedText(SimLabel(m_sim)));
    m_frame->SetPaneText(0, QStringLiteral("something else"));
    QTest::qWait(50);
    EXPECT_EQ(Pane(), QStringLiteral("something else"));
}

TEST_F(MorvaneDlgTest, OpenCommandTogglesAndCloseCommandAlwaysCloses) {
    WriteSimSetup();
    Open();
    ASSERT_TRUE(m_form->IsPortOpen());
    const QString port = SimLabel(m_sim);

    struct Step {
        int command;
        bool open;
        QString pane;
    };
    const Step steps[] = {
        {ID_PORT_OPEN, false, ClosedText(port)},  // open while open closes
        {ID_PORT_CLOSE, false, ClosedText(port)}, // close while closed closes again
        {ID_PORT_OPEN, true, OpenedText(port)},
        {ID_PORT_CLOSE, false, ClosedText(port)},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.pane.toStdString());
        m_frame->SetPaneText(0, QString());
        Command(step.command);
        EXPECT_EQ(m_form->IsPortOpen(), step.open);
        EXPECT_EQ(LinkIsOpen(), step.open);
        EXPECT_EQ(Pane(), step.pane);
        // Check marks follow the port; both items stay enabled.
        EXPECT_EQ(Checked(ID_PORT_OPEN), step.open);
        EXPECT_EQ(Checked(ID_PORT_CLOSE), !step.open);
        EXPECT_TRUE(m_frame->FindCommand(ID_PORT_OPEN)->isEnabled());
        EXPECT_TRUE(m_frame->FindCommand(ID_PORT_CLOSE)->isEnabled());
    }
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(MorvaneDlgTest, SilentModuleGivesTheTroubleshootingBoxAndTheFailedText) {
    SimDevice();
    m_sim.SetFault(SimFault::Silent);
    WriteSimSetup();
    Open();

    EXPECT_FALSE(m_form->IsPortOpen());
    EXPECT_FALSE(LinkIsOpen()); // the port object is released
    EXPECT_FALSE(m_form->IsStatusTimerActive());
    EXPECT_EQ(Pane(), FailedText(SimLabel(m_sim)));
    EXPECT_EQ(m_sim.Received().find("DI"), std::string::npos);
    EXPECT_FALSE(Checked(ID_PORT_OPEN));
    EXPECT_TRUE(Checked(ID_PORT_CLOSE));

    ASSERT_EQ(Boxes().size(), 1u);
    const CMessageBoxRequest& box = Boxes()[0];
    EXPECT_EQ(box.caption, QStringLiteral("確認串列埠設定"));
    EXPECT_EQ(box.icon, QMessageBox::Warning);
    EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(box.owner, m_form);
    const QString expected =
        QStringLiteral("無法開啟 [RS232] 串列埠[ %1 ] !\n\n請重新確認電腦端 [RS232] 串列埠設定.\n")
            .arg(SimLabel(m_sim)) +
        QString(74, QLatin1Char('-')) +
        QStringLiteral("\n[故障排除]\n"
                       "(1) 確認電腦系統上\uFF0C欲使用的串列埠的驅動程式是否已備便就緒.\n"
                       "(2) 確認軟體設定 [setup.ini] 的[COM_PORT] 參數值是否正確.\n"
                       "(3) 確認 QM-TRV 端上的串列埠傳輸線是否有連接至電腦的串列埠上.\n") +
        QString(19, QLatin1Char(' '));
    EXPECT_EQ(box.text, expected);

    // The module answers again: the open command opens.
    m_sim.SetFault(SimFault::None);
    Command(ID_PORT_OPEN);
    EXPECT_TRUE(m_form->IsPortOpen());
    EXPECT_EQ(Pane(), OpenedText(SimLabel(m_sim)));
}

TEST_F(MorvaneDlgTest, WrongPortNumberIsNamedInTheBoxAndTheStatusLine) {
    WriteSetup(SetupText("", "2", "77"));
    Open();
    EXPECT_FALSE(m_form->IsPortOpen());
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_TRUE(Boxes()[0].text.startsWith(QStringLiteral("無法開啟 [RS232] 串列埠[ 77 ] !")));
    EXPECT_EQ(Pane(), FailedText(QStringLiteral("77")));
    EXPECT_FALSE(m_form->IsStatusTimerActive());
}

TEST_F(MorvaneDlgTest, ReadStatusFillsAndShowsTheListOnlyWhileThePortIsOpen) {
    WriteSimSetup();
    Open();
    Command(ID_PORT_CLOSE);
    Command(ID_READ_STATUS);
    EXPECT_FALSE(m_form->StatusDialog().isVisible());
    EXPECT_EQ(m_form->StatusDialog().m_ChannelList->rowCount(), 0);

    Command(ID_PORT_OPEN);
    Command(ID_READ_STATUS);
    EXPECT_TRUE(m_form->StatusDialog().isVisible());
    // After the initialise command every channel is on, 10 MHz, amplitude 0, phase 0.
    ASSERT_EQ(m_form->StatusDialog().m_ChannelList->rowCount(), 12);
    for (int row = 0; row < 12; ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(StatusCell(row, 1), QString::asprintf("%02d", row + 1));
        EXPECT_EQ(StatusCell(row, 2), QStringLiteral("10.000"));
        EXPECT_EQ(StatusCell(row, 3), QStringLiteral("0"));
        EXPECT_EQ(StatusCell(row, 4), QStringLiteral("0.00"));
        EXPECT_EQ(StatusCell(row, 5), QStringLiteral("ON"));
    }

    // Chosen again while visible, the list is refilled in place.
    SetRow(1, QStringLiteral("12.5"), QStringLiteral("30"), QStringLiteral("359"));
    Click(Switch(1));
    Command(ID_READ_STATUS);
    EXPECT_TRUE(m_form->StatusDialog().isVisible());
    EXPECT_EQ(StatusCell(1, 2), QStringLiteral("12.500"));
    EXPECT_EQ(StatusCell(1, 3), QStringLiteral("30"));
    EXPECT_EQ(StatusCell(1, 4), QStringLiteral("358.99"));
}

TEST_F(MorvaneDlgTest, ClosingTheWindowClosesThePortAndTheStatusDialog) {
    WriteSimSetup();
    Open();
    ASSERT_TRUE(LinkIsOpen());
    Command(ID_READ_STATUS);
    const std::size_t commands = m_sim.CommandCount();
    ASSERT_TRUE(m_form->StatusDialog().isVisible());
    Close();
    EXPECT_FALSE(LinkIsOpen());
    EXPECT_EQ(m_sim.CommandCount(), commands); // closing sends nothing
    for (const QWidget* window : QApplication::topLevelWidgets()) {
        EXPECT_FALSE(window->inherits("CShowMsgDlg") && window->isVisible());
    }
}

} // namespace
