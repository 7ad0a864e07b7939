// Opening without resetting the module (INIT=0, --keep-outputs) against a simulator whose
// channels were set by an earlier session: nothing of theirs changes, only the probe and "u0"
// go out, and the panel and the status dialog claim nothing the console did not send.
#include "test_morvanedlg_fixture.h"

#include <chrono>
#include <cstdio>

namespace {

using namespace morvanedlg_test;

const QString SWITCH_OFF_CAPTION = QStringLiteral("開啟");
const QString SWITCH_ON_CAPTION = QStringLiteral("關閉");
const QString UNKNOWN = QStringLiteral("未知");
// What an open that keeps the outputs sends: the probe (a lone CR) and the clock query.
const std::string PROBE_AND_U0 = "\ru0\r";

// The simulator's registers (applied and pending words of every channel, clock mode) as text,
// so that a difference shows where it is.
std::string Registers(const CPtySimulator& sim) {
    std::string text = "mode " + std::to_string(sim.ClockMode()) + "\n";
    for (int c = 0; c < 12; ++c) {
        for (const SimChannel& ch : {sim.Channel(c), sim.PendingChannel(c)}) {
            char line[80];
            std::snprintf(line, sizeof line, "%d: %08x %08x %08x %d\n", c, ch.freqWord,
                          ch.phaseWord, ch.ampWord, ch.on ? 1 : 0);
            text += line;
        }
    }
    return text;
}

QString KeptText(const QString& port) {
    return QStringLiteral(" 狀態 : [RS232] 串列埠[ %1 ] 已開啟 (未重設模組，通道狀態未知)")
        .arg(port);
}

std::string KeepSetupText(const std::string& device) {
    return ReplaceLine(SetupText(device, "2"), "MODE=2\n", "MODE=2\nINIT=0\n");
}

TEST_F(MorvaneDlgTest, StartWithoutResetLeavesTheModuleAsItRuns) {
    // An earlier session: clock mode 3, two rows on with their own values, one of them only
    // pending (multiple-channel mode, no update).
    const std::string device = SimDevice();
    WriteSimSetup("3");
    Open();
    ASSERT_TRUE(m_form->IsPortOpen());
    SetRow(0, QStringLiteral("25"), QStringLiteral("50"), QStringLiteral("90"));
    Click(Switch(0));
    Click(Multiple());
    SetRow(9, QStringLiteral("7"), QStringLiteral("20"), QStringLiteral("45"));
    Click(Switch(9));
    ASSERT_TRUE(m_sim.Channel(0).on);
    Close();
    DdsResetState();

    // A new start with INIT=0 (clock mode 2 in the file: it must not reach the module).
    const std::string before = Registers(m_sim);
    m_sim.ClearReceived();
    WriteSetup(KeepSetupText(device));
    Open();
    ASSERT_TRUE(m_form->IsPortOpen());
    EXPECT_EQ(m_sim.Received(), PROBE_AND_U0);
    EXPECT_EQ(Registers(m_sim), before);
    EXPECT_EQ(DdsModuleClocks.ddsClockHz, 200e6); // mode 3's clock, read back with u0
    EXPECT_EQ(Pane(), KeptText(QString::fromStdString(device)));
    EXPECT_TRUE(Boxes().empty());

    // The status dialog claims none of the rows; the panel shows every output off.
    Command(ID_READ_STATUS);
    for (int row = 0; row < 12; ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(StatusCell(row, 1), QString::asprintf("%02d", row + 1));
        for (int column = 2; column <= 5; ++column) {
            EXPECT_EQ(StatusCell(row, column), UNKNOWN);
        }
        EXPECT_EQ(Switch(row)->text(), SWITCH_OFF_CAPTION);
        EXPECT_FALSE(LedShowsLit(row));
    }

    // A row's first click sends it as usual; only that row becomes known.
    Click(Switch(1));
    EXPECT_EQ(m_sim.Received().find("dds 1 "), PROBE_AND_U0.size());
    EXPECT_EQ(Switch(1)->text(), SWITCH_ON_CAPTION);
    Command(ID_READ_STATUS);
    EXPECT_EQ(StatusCell(1, 2), QStringLiteral("10.000"));
    EXPECT_EQ(StatusCell(1, 5), QStringLiteral("ON"));
    EXPECT_EQ(StatusCell(0, 2), UNKNOWN);

    // --keep-outputs overrides INIT=1: a reopen with the switch of row 1 on sends the same two
    // lines, and the switch shows off again.
    WriteSimSetup();
    Command(ID_PORT_CLOSE);
    m_form->SetKeepOutputs(true);
    const std::string sent = Registers(m_sim);
    m_sim.ClearReceived();
    Command(ID_PORT_OPEN);
    ASSERT_TRUE(m_form->IsPortOpen());
    EXPECT_EQ(m_sim.Received(), PROBE_AND_U0);
    EXPECT_EQ(Registers(m_sim), sent);
    EXPECT_EQ(Switch(1)->text(), SWITCH_OFF_CAPTION);
    EXPECT_TRUE(LedShowsDark(1));
    EXPECT_FALSE(DdsChannelKnown(1));
}

// REOPEN=1 with INIT=0: the module's device vanishes and comes back under the same name (a
// new simulator on the link); the console reopens it by itself, sending nothing but the probe
// and u0. Boxes and switches keep what they showed; the rows are unknown until sent again.
TEST_F(MorvaneDlgTest, ReplugWithReopenComesBackWithoutReset) {
    const std::string link = SimLink();
    const QString port = QString::fromStdString(link);
    WriteSetup(
        ReplaceLine(KeepSetupText(link), "BAUDRATE=115200\n", "BAUDRATE=115200\nREOPEN=1\n"));
    Open();
    ASSERT_TRUE(m_form->IsPortOpen());
    SetRow(0, QStringLiteral("25"), QStringLiteral("50"), QStringLiteral("90"));
    Click(Switch(0));
    ASSERT_TRUE(DdsChannelKnown(0));

    m_sim.HangUp();
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_form->IsReopenWaiting(); }, WAIT_MS));
    EXPECT_EQ(Pane(),
              QStringLiteral(" 狀態 : [RS232] 串列埠[ %1 ] 已中斷，等待裝置重新連接").arg(port));
    QTest::qWait(2 * CMorvaneDlg::REOPEN_TIMER_MS); // ticks while the device is away
    EXPECT_FALSE(m_form->IsPortOpen());
    EXPECT_TRUE(m_form->IsReopenWaiting());

    CPtySimulator back(SimOptions{.linkPath = link});
    ASSERT_TRUE(back.Start());
    const auto returned = std::chrono::steady_clock::now();
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_form->IsPortOpen(); }, WAIT_MS));
    std::printf("[ figures  ] reopened %.3f s after the device came back\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - returned).count());
    EXPECT_EQ(back.Received(), PROBE_AND_U0);
    EXPECT_EQ(Pane(),
              QStringLiteral(" 狀態 : [RS232] 串列埠[ %1 ] 已重新開啟 (未重設模組，通道狀態未知)")
                  .arg(port));
    EXPECT_FALSE(m_form->IsReopenWaiting());
    EXPECT_TRUE(m_form->IsWatchTimerActive());
    EXPECT_TRUE(Checked(ID_PORT_OPEN));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Freq(0)->currentText(), QStringLiteral("25"));
    EXPECT_EQ(Switch(0)->text(), SWITCH_ON_CAPTION);
    Command(ID_READ_STATUS);
    EXPECT_EQ(StatusCell(0, 2), UNKNOWN);

    // Sent again (off), the row is known and the new module has it.
    Click(Switch(0));
    EXPECT_TRUE(DdsChannelKnown(0));
    EXPECT_EQ(back.Received().find("dds 0 0 "), PROBE_AND_U0.size());
    Close();
}

} // namespace
