// The running console against a module that misbehaves on the line: garbage answers, a flood, a
// slow module, a hang-up in the middle of a reply, the device vanishing while the port is open
// and a reply that never ends. Nothing may crash or hang beyond the reader's idle time-outs,
// waiting must be sleeping, the port state (flag, check marks, status line) and the channel
// table must stay consistent, and the operator must see each failure the way the console
// reports failures.
#include "test_morvanedlg_fixture.h"

#include <QMessageBox>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using namespace morvanedlg_test;
using namespace std::chrono_literals;

// While the console waits for a module that sends nothing, the process (the in-process
// simulator included) may use this share of the wall time at most: a waiting reader sleeps.
constexpr double MAX_CPU_SHARE_WHILE_WAITING = 0.25;

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU time of the whole process against wall time, from construction on.
class CCpuMeter {
public:
    CCpuMeter() : m_wallStart(std::chrono::steady_clock::now()), m_cpuStart(ProcessCpuSeconds()) {}
    double Wall() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_wallStart)
            .count();
    }
    double Cpu() const { return ProcessCpuSeconds() - m_cpuStart; }

private:
    std::chrono::steady_clock::time_point m_wallStart;
    double m_cpuStart;
};

// The wait measured by meter was spent sleeping. The figures go to the test's output.
void ExpectSleptWhileWaiting(const CCpuMeter& meter, const char* what) {
    const double wall = meter.Wall();
    const double cpu = meter.Cpu();
    std::printf("[ figures  ] %s: cpu %.3f s in %.3f s wall (%.1f %%)\n", what, cpu, wall,
                wall > 0 ? 100.0 * cpu / wall : 0.0);
    EXPECT_LT(cpu, wall * MAX_CPU_SHARE_WHILE_WAITING)
        << what << ": cpu " << cpu << " s in " << wall << " s";
}

// Hangs the simulator up after a delay, from another thread, while the console's thread is
// blocked in an exchange.
class CDelayedHangUp {
public:
    CDelayedHangUp(CPtySimulator& sim, std::chrono::milliseconds delay)
        : m_thread([&sim, delay] {
              std::this_thread::sleep_for(delay);
              sim.HangUp();
          }) {}
    ~CDelayedHangUp() { m_thread.join(); }
    CDelayedHangUp(const CDelayedHangUp&) = delete;
    CDelayedHangUp& operator=(const CDelayedHangUp&) = delete;

private:
    std::thread m_thread;
};

QString GoneText(const QString& port) {
    return QStringLiteral(" 狀態 : [RS232] 串列埠[ %1 ] 已中斷").arg(port);
}

QString SendFailedText(int channelNumber) {
    return QStringLiteral("通道 [CH%1] 設定參數工作異常 !            ").arg(channelNumber);
}

class ConsoleFaultTest : public MorvaneDlgTest {
protected:
    // The link marks an exchange that waited for its time-out with a "T" at the start of a line
    // of the diagnostics. Other lines may hold a T too: the open's line names the device, whose
    // temporary folder has a random name.
    bool WaitedForATimeOut() const {
        return m_diag.starts_with('T') || m_diag.find("\nT") != std::string::npos;
    }

    // These tests pull the device: the setup file names the simulator's link, which goes with it.
    void WriteSimSetup(const std::string& mode = "2") { WriteSetup(SetupText(SimLink(), mode)); }

    // Starts the console on a well-behaved simulated module (clock mode 2, 100 MHz).
    void OpenOnSim() {
        WriteSimSetup();
        Open();
        ASSERT_TRUE(m_form->IsPortOpen());
        ASSERT_EQ(DdsModuleClocks.ddsClockHz, 100e6);
        m_boxes->Clear();
        m_diag.clear();
    }

    QString Port() const { return QString::fromStdString(SimLinkPath()); }

    // The form's flag, the menu's check marks and the link agree. A port whose device has
    // vanished still counts as open until the operator closes it.
    void ExpectPortState(bool open) {
        EXPECT_EQ(m_form->IsPortOpen(), open);
        EXPECT_EQ(Checked(ID_PORT_OPEN), open);
        EXPECT_EQ(Checked(ID_PORT_CLOSE), !open);
        EXPECT_TRUE(m_frame->FindCommand(ID_PORT_OPEN)->isEnabled());
        EXPECT_TRUE(m_frame->FindCommand(ID_PORT_CLOSE)->isEnabled());
        if (!open) {
            EXPECT_FALSE(LinkIsOpen());
        }
    }

    // Every box shown since the last Clear is the failed-set box of a channel in channels
    // (channel numbers as the operator reads them), in that order.
    void ExpectSendFailedBoxes(const std::vector<int>& channels) {
        ASSERT_EQ(Boxes().size(), channels.size());
        for (std::size_t k = 0; k < channels.size(); ++k) {
            SCOPED_TRACE(k);
            EXPECT_EQ(Boxes()[k].text, SendFailedText(channels[k]));
            EXPECT_EQ(Boxes()[k].caption, QStringLiteral("設定異常"));
            EXPECT_EQ(Boxes()[k].icon, QMessageBox::Warning);
            EXPECT_EQ(Boxes()[k].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
            EXPECT_EQ(Boxes()[k].owner, m_form);
        }
    }

    // The troubleshooting box of a failed open, naming port, is the only box shown.
    void ExpectOnlyTroubleshootingBox(const QString& port) {
        ASSERT_EQ(Boxes().size(), 1u);
        EXPECT_EQ(Boxes()[0].caption, QStringLiteral("確認串列埠設定"));
        EXPECT_TRUE(Boxes()[0].text.startsWith(
            QStringLiteral("無法開啟 [RS232] 串列埠[ %1 ] !\n").arg(port)))
            << Boxes()[0].text.toStdString();
    }

    // The row of channel c holds what the words of the last set of it reproduce.
    static void ExpectRow(int c, bool on, double freqHz, double phaseDeg, double amplitude) {
        SCOPED_TRACE(c);
        const DdsChannelState& row = DdsChannelTable[c];
        EXPECT_EQ(row.on, on ? 1 : 0);
        EXPECT_EQ(row.freqHz, WordToFreq(FreqToWord(freqHz)));
        EXPECT_EQ(row.phaseDeg, WordToPhase(PhaseToWord(phaseDeg)));
        EXPECT_EQ(row.amplitude, WordToAmp(AmpToWord(amplitude)));
    }

    // The module's register of channel c holds the words of the row (a channel that is off
    // holds frequency word 0).
    void ExpectRegisterMatchesRow(int c) const {
        SCOPED_TRACE(c);
        const DdsChannelState& row = DdsChannelTable[c];
        const SimChannel reg = m_sim.Channel(c);
        EXPECT_EQ(reg.on, row.on == 1);
        EXPECT_EQ(reg.freqWord,
                  row.on == 1 ? static_cast<std::uint32_t>(FreqToWord(row.freqHz)) : 0u);
        EXPECT_EQ(reg.phaseWord, static_cast<std::uint32_t>(PhaseToWord(row.phaseDeg)));
        EXPECT_EQ(reg.ampWord, static_cast<std::uint32_t>(AmpToWord(row.amplitude)));
    }
};

// The rows on the panel, by channel index.
const int VISIBLE_ROWS[] = {0, 1, 2, 3, 8, 9, 10, 11};

// Garbage answers end with the prompt, so every exchange ends at once. The module carried out
// each setting; the console reports the sets whose answers do not have the two fields of a good
// one (a random answer without a comma or line feed has them), and the table, the status list
// and the registers agree afterwards.
TEST_F(ConsoleFaultTest, GarbageAnswersAreReportedAndTableAndModuleStayInStep) {
    ASSERT_NO_FATAL_FAILURE(OpenOnSim());
    m_sim.SetFault(SimFault::Garbage);

    std::vector<int> expectedBoxes;
    for (const int c : VISIBLE_ROWS) {
        SetRow(c, QStringLiteral("12.5"), QStringLiteral("50"), QStringLiteral("90"));
        const std::size_t before = Boxes().size();
        Click(Switch(c));
        // A box, when there is one, is the failed-set box of this channel.
        ASSERT_LE(Boxes().size(), before + 1);
        if (Boxes().size() == before + 1) {
            expectedBoxes.push_back(c + 1);
        }
        EXPECT_EQ(Switch(c)->text(), QStringLiteral("關閉"));
        EXPECT_TRUE(LedShowsLit(c));
        if (Boxes().size() == before + 1) {
            EXPECT_EQ(Pane(), QStringLiteral("設定異常 : CH[%1] 模組回應異常").arg(c + 1));
        } else {
            EXPECT_EQ(Pane(), QStringLiteral("單個通道設定 : CH[%1] Freq=[12.5000]MHz  "
                                             "Phase=[90.0]°  Amp=[0.500]\n")
                                  .arg(c + 1));
        }
        ExpectRow(c, true, 12.5e6, 90.0, 0.5);
    }
    ExpectSendFailedBoxes(expectedBoxes);
    EXPECT_FALSE(WaitedForATimeOut()) << m_diag;

    // The update button with garbage answers: no box, the button goes grey.
    Click(Multiple());
    Click(Switch(0)); // off: not reported, whatever the answer
    EXPECT_TRUE(Update()->isEnabled());
    Click(Update());
    EXPECT_FALSE(Update()->isEnabled());
    ExpectSendFailedBoxes(expectedBoxes);
    ExpectPortState(true);

    m_sim.SetFault(SimFault::None);
    Click(Single());
    for (const int c : VISIBLE_ROWS) {
        ExpectRegisterMatchesRow(c);
    }
    Command(ID_READ_STATUS);
    EXPECT_EQ(StatusCell(1, 2), QStringLiteral("12.500"));
    EXPECT_EQ(StatusCell(1, 5), QStringLiteral("ON"));
    EXPECT_EQ(StatusCell(0, 5), QStringLiteral("OFF"));
}

// A module that answers the probe but only garbage after it: the port opens (a failed
// initialise command is not reported), no clock is known, and every switching on is refused
// with the failed-set box without a word going out.
TEST_F(ConsoleFaultTest, GarbageFromStartUpRefusesEverySettingWithoutSendingIt) {
    SimDevice();
    m_sim.SetFault(SimFault::Garbage);
    WriteSimSetup();
    Open();
    EXPECT_TRUE(Boxes().empty());
    ExpectPortState(true);
    EXPECT_EQ(Pane(), OpenedText(Port()));
    EXPECT_NE(m_sim.Received().find("DI 2\r"), std::string::npos);
    EXPECT_EQ(DdsModuleClocks.ddsClockHz, 0.0);

    SetRow(9, QStringLiteral("10"), QStringLiteral("100"), QStringLiteral("0"));
    Click(Switch(9));
    ExpectSendFailedBoxes({10});
    EXPECT_EQ(m_sim.Received().find("dds"), std::string::npos);
    EXPECT_EQ(Switch(9)->text(), QStringLiteral("關閉"));
    // Switching off needs no clock: it goes out.
    Click(Switch(9));
    EXPECT_NE(m_sim.Received().find("dds 9 0 0 400 1\r"), std::string::npos);
    ExpectSendFailedBoxes({10});
}

// The module hangs up after the echo of a command, in the middle of its reply. The console
// reports the failed set, finds the line gone at the next click (the port closes as the close
// command closes it, the boxes keep their texts, nothing is sent), fails to open the vanished
// device with the troubleshooting box, and works again on a new module.
TEST_F(ConsoleFaultTest, HangUpInTheMiddleOfAReply) {
    ASSERT_NO_FATAL_FAILURE(OpenOnSim());
    m_sim.SetFault(SimFault::HangupAfter, 1);
    const QString port = Port();

    SetRow(0, QStringLiteral("10"), QStringLiteral("100"), QStringLiteral("0"));
    Click(Switch(0));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(m_sim.Channel(0).freqWord, 0x1999999au);

    SetRow(1, QStringLiteral("20"), QStringLiteral("50"), QStringLiteral("90"));
    Click(Switch(1));
    ExpectSendFailedBoxes({2});
    EXPECT_TRUE(m_sim.IsHungUp());
    EXPECT_EQ(m_diag, "S : Setup Single DDS Channel\nS : Setup Single DDS Channel\nT");
    // The row holds what was sent; the module hung up before it carried it out.
    ExpectRow(1, true, 20e6, 90.0, 0.5);
    EXPECT_EQ(m_sim.Channel(1).freqWord, 0x1999999au); // still the initialise command's 10 MHz
    EXPECT_EQ(Switch(1)->text(), QStringLiteral("關閉"));
    EXPECT_EQ(Pane(), QStringLiteral("設定異常 : CH[2] 模組回應異常")); // the echo came back

    // The next click finds the line gone.
    SetRow(2, QStringLiteral("3"), QStringLiteral("25"), QStringLiteral("45"));
    m_diag.clear();
    Click(Switch(2));
    ExpectPortState(false);
    EXPECT_EQ(Pane(), GoneText(port));
    EXPECT_EQ(Switch(2)->text(), QStringLiteral("開啟"));
    EXPECT_EQ(Freq(2)->currentText(), QStringLiteral("3"));
    EXPECT_EQ(Amp(1)->currentText(), QStringLiteral("50"));
    EXPECT_EQ(m_diag, "");
    ExpectSendFailedBoxes({2});

    m_boxes->Clear();
    Command(ID_PORT_CLOSE);
    ExpectPortState(false);
    EXPECT_EQ(Pane(), ClosedText(port));
    EXPECT_TRUE(Boxes().empty());

    Command(ID_PORT_OPEN); // the device has vanished
    ExpectPortState(false);
    EXPECT_EQ(Pane(), FailedText(port));
    ExpectOnlyTroubleshootingBox(port);
    Click(Switch(8)); // port closed: nothing happens
    EXPECT_EQ(Switch(8)->text(), QStringLiteral("開啟"));

    // A new module: the panel keeps its switches, the table starts again from the initialise
    // command, and a setting reaches the new module.
    CPtySimulator next;
    ASSERT_TRUE(next.Start());
    WriteSetup(SetupText(next.SlavePath()));
    m_boxes->Clear();
    Command(ID_PORT_OPEN);
    ExpectPortState(true);
    EXPECT_EQ(Pane(), OpenedText(QString::fromStdString(next.SlavePath())));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Switch(0)->text(), QStringLiteral("關閉"));
    EXPECT_EQ(Switch(1)->text(), QStringLiteral("關閉"));
    EXPECT_EQ(Switch(2)->text(), QStringLiteral("開啟"));
    Click(Switch(2));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(next.Channel(2).freqWord, 0x1999999au);
    EXPECT_EQ(next.Channel(2).ampWord, 0x400u);
    Command(ID_PORT_CLOSE);
    ExpectPortState(false);
}

// The device vanishes while the console waits for a module that stays silent: the wait ends
// once the dead line has used up the idle cycles, the failed set is reported, and closing the
// main window with the dead port open closes it.
TEST_F(ConsoleFaultTest, DeviceVanishesWhileTheConsoleWaitsForAReply) {
    ASSERT_NO_FATAL_FAILURE(OpenOnSim());
    {
        // The console sits idle with the port open: no polling in the background. A full second,
        // so that what opening the port left to do does not count as idle time.
        const CCpuMeter meter;
        QTest::qWait(1000);
        ExpectSleptWhileWaiting(meter, "idle console, port open");
    }

    m_sim.SetFault(SimFault::Silent);
    SetRow(8, QStringLiteral("5"), QStringLiteral("25"), QStringLiteral("180"));
    {
        const CCpuMeter meter;
        const CDelayedHangUp pull(m_sim, 1000ms);
        Click(Switch(8));
        ExpectSleptWhileWaiting(meter, "silent module, then the device vanishes");
    }
    ExpectSendFailedBoxes({9});
    EXPECT_EQ(m_diag, "S : Setup Single DDS Channel\nT");
    ExpectRow(8, true, 5e6, 180.0, 0.25);
    EXPECT_EQ(Pane(), QStringLiteral("設定異常 : CH[9] 模組無回應"));

    // The watch timer finds the line gone while the operator does nothing.
    ASSERT_TRUE(QTest::qWaitFor([this] { return !m_form->IsPortOpen(); }, WAIT_MS));
    ExpectPortState(false);
    EXPECT_EQ(Pane(), GoneText(Port()));
    EXPECT_EQ(Freq(8)->currentText(), QStringLiteral("5"));
    Close();
    EXPECT_FALSE(LinkIsOpen());
}

// The device vanishes while the port is open and nothing is going on: the console notices it
// without a click, closes the port keeping the boxes' texts, and says so. The switches, the
// update button and the status command then do nothing; opening the vanished device fails with
// the troubleshooting box, and opening it once it is back works.
TEST_F(ConsoleFaultTest, DeviceVanishesWhileThePortIsIdle) {
    ASSERT_NO_FATAL_FAILURE(OpenOnSim());
    const QString port = Port();
    SetRow(11, QStringLiteral("1"), QStringLiteral("100"), QStringLiteral("45"));
    EXPECT_TRUE(m_form->IsWatchTimerActive());
    m_sim.HangUp();
    ASSERT_TRUE(QTest::qWaitFor([this] { return !m_form->IsPortOpen(); }, WAIT_MS));
    ExpectPortState(false);
    EXPECT_FALSE(m_form->IsWatchTimerActive());
    EXPECT_EQ(Pane(), GoneText(port));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Freq(11)->currentText(), QStringLiteral("1"));
    EXPECT_EQ(Phase(11)->currentText(), QStringLiteral("45"));

    Click(Switch(11));
    Click(Multiple());
    Click(Update());
    Command(ID_READ_STATUS);
    EXPECT_EQ(Switch(11)->text(), QStringLiteral("開啟"));
    EXPECT_FALSE(m_form->StatusDialog().isVisible());
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Pane(), GoneText(port));
    EXPECT_EQ(m_diag, "");

    Command(ID_PORT_OPEN);
    ExpectPortState(false);
    EXPECT_EQ(Pane(), FailedText(port));
    ExpectOnlyTroubleshootingBox(port);

    // The module is back (a new one, on the device the setup file names).
    CPtySimulator back;
    ASSERT_TRUE(back.Start());
    WriteSetup(SetupText(back.SlavePath()));
    m_boxes->Clear();
    Command(ID_PORT_OPEN);
    ExpectPortState(true);
    EXPECT_TRUE(Boxes().empty());
    Click(Single());
    Click(Switch(11));
    EXPECT_TRUE(back.Channel(11).on);
    Command(ID_PORT_CLOSE);
}

// A module that floods the line while the start-up initialise command waits for its prompt:
// the reader keeps reading for as long as bytes come, and ends soon after the line dies. The
// start-up completes with the port open (a failed initialise command is not reported); with no
// clock known, switching on is refused with the failed-set box.
TEST_F(ConsoleFaultTest, FloodDuringTheStartUpInitialiseCommand) {
    SimDevice();
    m_sim.SetFault(SimFault::Flood);
    WriteSimSetup();
    {
        const CDelayedHangUp pull(m_sim, 1000ms);
        Open();
    }
    EXPECT_TRUE(Boxes().empty());
    ExpectPortState(true);
    EXPECT_EQ(Pane(), OpenedText(Port()));
    EXPECT_TRUE(m_form->IsStatusTimerActive());
    EXPECT_EQ(DdsModuleClocks.ddsClockHz, 0.0);
    EXPECT_EQ(m_diag.substr(m_diag.size() - 2), "\nT") << m_diag; // after the open's line

    // The line died in the flood: the next click finds it gone and sends nothing.
    m_diag.clear();
    Click(Switch(0));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(m_diag, "");
    ExpectPortState(false);
    EXPECT_EQ(Pane(), GoneText(Port()));

    Command(ID_PORT_CLOSE);
    ExpectPortState(false);
    EXPECT_EQ(Pane(), ClosedText(Port()));
    EXPECT_TRUE(Boxes().empty());
}

// A flood in answer to a set: the failed set is reported once the line dies, and the console
// stays usable.
TEST_F(ConsoleFaultTest, FloodInAnswerToASet) {
    ASSERT_NO_FATAL_FAILURE(OpenOnSim());
    m_sim.SetFault(SimFault::Flood);
    SetRow(10, QStringLiteral("30"), QStringLiteral("75"), QStringLiteral("270"));
    {
        const CDelayedHangUp pull(m_sim, 1000ms);
        Click(Switch(10));
    }
    ExpectSendFailedBoxes({11});
    ExpectRow(10, true, 30e6, 270.0, 0.75);
    EXPECT_EQ(m_sim.Channel(10).freqWord, 0x1999999au); // flooding, it took in nothing
    EXPECT_EQ(Pane(), QStringLiteral("設定異常 : CH[11] 模組回應異常"));
    Command(ID_PORT_CLOSE);
    ExpectPortState(false);
}

// A slow module pauses inside every reply, for less than the idle time-out: start-up and a set
// work as with a quick module, and the console sleeps through the pauses.
TEST_F(ConsoleFaultTest, SlowModuleWorksAndTheConsoleSleepsThroughItsPauses) {
    SimDevice();
    m_sim.SetFault(SimFault::Slow, 1000);
    WriteSimSetup("3");
    const CCpuMeter meter;
    Open();
    EXPECT_TRUE(Boxes().empty());
    ExpectPortState(true);
    EXPECT_EQ(DdsModuleClocks.ddsClockHz, 200e6);

    SetRow(3, QStringLiteral("10"), QStringLiteral("100"), QStringLiteral("0"));
    Click(Switch(3));
    ExpectSleptWhileWaiting(meter, "start-up and one set, 1 s pause in each reply");
    EXPECT_TRUE(Boxes().empty());
    EXPECT_FALSE(WaitedForATimeOut()) << m_diag;
    EXPECT_EQ(m_sim.Channel(3).freqWord, 0x0CCCCCCDu);
    ExpectRegisterMatchesRow(3);
}

// A module that carries a setting out but never sends its prompt: the reader takes the echo and
// the answer it has once the line stays idle (here: dies), and the set counts as done, which it
// is. No box; the register holds the setting.
TEST_F(ConsoleFaultTest, ReplyWithoutPromptIsTakenWhenTheLineGoesIdle) {
    ASSERT_NO_FATAL_FAILURE(OpenOnSim());
    m_sim.SetFault(SimFault::NoPrompt);
    SetRow(2, QStringLiteral("7.5"), QStringLiteral("40"), QStringLiteral("30"));
    {
        const CCpuMeter meter;
        const CDelayedHangUp pull(m_sim, 1000ms);
        Click(Switch(2));
        ExpectSleptWhileWaiting(meter, "reply without prompt, then the device vanishes");
    }
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(m_diag, "S : Setup Single DDS Channel\nT");
    ExpectRow(2, true, 7.5e6, 30.0, 0.4);
    ExpectRegisterMatchesRow(2);
    EXPECT_EQ(Pane(), QStringLiteral(
                          "單個通道設定 : CH[3] Freq=[7.5000]MHz  Phase=[30.0]°  Amp=[0.400]\n"));
    ExpectPortState(true);
}

// The status line's second opened text, one second after start-up, must not contradict a port
// that was closed or failed in the meantime.
TEST_F(ConsoleFaultTest, StartUpTimerDoesNotCallAClosedPortOpen) {
    ASSERT_NO_FATAL_FAILURE(OpenOnSim());
    const QString port = Port();
    ASSERT_TRUE(m_form->IsStatusTimerActive());
    m_sim.HangUp();
    Command(ID_PORT_CLOSE);
    Command(ID_PORT_OPEN); // the device has vanished
    ASSERT_FALSE(m_form->IsPortOpen());
    EXPECT_EQ(Pane(), FailedText(port));
    ASSERT_TRUE(QTest::qWaitFor([this] { return !m_form->IsStatusTimerActive(); }, WAIT_MS));
    QTest::qWait(10);
    EXPECT_EQ(Pane(), FailedText(port));
    ExpectPortState(false);
}

// The one case that waits for the full idle time-out by design: a module that stays silent
// after the open keeps the reader waiting for 200 idle cycles of a 100 ms port-event wait
// (about 20 s) on every command. The console sleeps through it, reports the failed set, and
// the next setting works once the module answers again.
TEST_F(ConsoleFaultTest, LongWaitSilentModuleCostsTheFullIdleTimeOut) {
    ASSERT_NO_FATAL_FAILURE(OpenOnSim());
    m_sim.SetFault(SimFault::Silent);
    SetRow(2, QStringLiteral("7.5"), QStringLiteral("40"), QStringLiteral("30"));
    {
        const CCpuMeter meter;
        Click(Switch(2));
        ExpectSleptWhileWaiting(meter, "silent module, full idle time-out");
    }
    ExpectSendFailedBoxes({3});
    EXPECT_EQ(m_diag, "S : Setup Single DDS Channel\nT");
    ExpectRow(2, true, 7.5e6, 30.0, 0.4);
    EXPECT_EQ(m_sim.Channel(2).freqWord, 0x1999999au); // silent, it took in nothing
    ExpectPortState(true);

    m_sim.SetFault(SimFault::None);
    Click(Switch(2));
    ExpectSendFailedBoxes({3});
    EXPECT_FALSE(m_sim.Channel(2).on);
    ExpectRegisterMatchesRow(2);
}

} // namespace
