// The console stays alive and usable under real conditions: the window keeps running its event
// loop while an exchange waits for the module, takes no input meanwhile, and Esc or closing the
// window ends the wait; every way of pressing a control does the same; frequency boxes take
// units; a broken standard output does not end the process; the frame fits scaled screens.
// Figures (the longest stretch without the user-interface thread running its loop during a
// silent wait, how long Esc and close took) go to the test's output, not into assertions.
#include "test_morvanedlg_fixture.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

using namespace morvanedlg_test;

const QString WAITING_TEXT = QStringLiteral(" 狀態 : 等待 QM-TRV 回應中…  [Esc] 取消");

// Counts the ticks of a fast timer and the longest gap between two of them: while the
// user-interface thread runs its loop, the gaps stay near the interval.
class CLoopWatch {
public:
    CLoopWatch() {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            if (m_ticks > 0) {
                m_longestNs = std::max(m_longestNs, now - m_lastNs);
            }
            m_lastNs = now;
            ++m_ticks;
        });
        m_clock.start();
        m_timer.start();
    }
    int Ticks() const { return m_ticks; }
    double LongestGapMs() const { return static_cast<double>(m_longestNs) / 1e6; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    int m_ticks = 0;
    qint64 m_lastNs = 0;
    qint64 m_longestNs = 0;
};

// Runs what at after delay ms on the user-interface thread (inside the form's wait).
void At(int delayMs, std::function<void()> what) {
    QTimer::singleShot(delayMs, qApp, std::move(what));
}

class ConsoleLiveTest : public MorvaneDlgTest {
protected:
    void OpenOnSim() {
        WriteSimSetup();
        Open();
        ASSERT_TRUE(m_form->IsPortOpen());
        m_boxes->Clear();
        m_diag.clear();
    }
};

// A module that answers the probe but not a set: the window's loop keeps running through the
// wait, input is not taken (mouse, a click through the accessibility interface, a mode box's
// toggle), the waiting text and the busy cursor show, and Esc ends the wait as the silent limit
// would: the failed-set box, then why.
TEST_F(ConsoleLiveTest, SilentModuleKeepsTheWindowAliveAndEscCancels) {
    ASSERT_NO_FATAL_FAILURE(OpenOnSim());
    m_sim.SetFault(SimFault::Silent);
    SetRow(0, QStringLiteral("10"), QStringLiteral("100"), QStringLiteral("0"));

    bool running = false;
    QString paneWhileWaiting;
    bool busyCursor = false;
    QString otherSwitch;
    bool singleStayed = false;
    QElapsedTimer escClock;
    At(600, [&] {
        running = m_form->Exchange().IsRunning();
        paneWhileWaiting = Pane();
        busyCursor = QApplication::overrideCursor() != nullptr &&
                     QApplication::overrideCursor()->shape() == Qt::BusyCursor;
        QTest::mouseClick(Switch(1), Qt::LeftButton); // swallowed
        Switch(2)->click();                           // as an accessibility action does
        Multiple()->toggle();
        otherSwitch = Switch(1)->text() + Switch(2)->text();
        singleStayed = Single()->isChecked() && !Multiple()->isChecked();
        escClock.start();
        QTest::keyClick(m_frame.get(), Qt::Key_Escape);
    });
    const CLoopWatch watch;
    Click(Switch(0));
    const double escMs = static_cast<double>(escClock.nsecsElapsed()) / 1e6;
    std::printf("[ figures  ] silent wait: %d loop ticks, longest gap %.1f ms; Esc took %.1f ms\n",
                watch.Ticks(), watch.LongestGapMs(), escMs);

    EXPECT_TRUE(running);
    EXPECT_GT(watch.Ticks(), 10);
    EXPECT_EQ(paneWhileWaiting, WAITING_TEXT);
    EXPECT_TRUE(busyCursor);
    EXPECT_EQ(otherSwitch, QStringLiteral("開啟開啟"));
    EXPECT_TRUE(singleStayed);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(m_form->Exchange().WasCancelled());
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("通道 [CH1] 設定參數工作異常 !            "));
    EXPECT_EQ(Pane(), QStringLiteral("設定異常 : CH[1] 模組無回應"));
    EXPECT_EQ(m_diag, "S : Setup Single DDS Channel\nT");
    EXPECT_EQ(Switch(0)->text(), QStringLiteral("關閉"));
    EXPECT_TRUE(m_form->IsPortOpen());

    // The module answers again: the next set works, and the update too.
    m_sim.SetFault(SimFault::None);
    m_boxes->Clear();
    Click(Multiple());
    Click(Switch(1));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(Pane().startsWith(QStringLiteral("多個通道設定 : CH[2]")));
    Click(Update());
    EXPECT_FALSE(Update()->isEnabled());
    EXPECT_TRUE(m_sim.Channel(1).on);
}

// Closing the window during a wait cancels it and then closes the frame; no box is left for an
// operator who has gone.
TEST_F(ConsoleLiveTest, ClosingTheWindowDuringAWaitClosesCleanly) {
    ASSERT_NO_FATAL_FAILURE(OpenOnSim());
    m_sim.SetFault(SimFault::Silent);
    QSignalSpy closed(m_frame.get(), &CMainFrame::frameClosed);
    QElapsedTimer closeClock;
    bool refused = false;
    At(400, [&] {
        closeClock.start();
        refused = !m_frame->close(); // the frame waits for the worker
    });
    Click(Switch(3));
    EXPECT_TRUE(refused);
    ASSERT_TRUE(QTest::qWaitFor([&] { return closed.count() == 1; }, WAIT_MS));
    std::printf("[ figures  ] close during a silent wait took %.1f ms\n",
                static_cast<double>(closeClock.nsecsElapsed()) / 1e6);
    EXPECT_FALSE(m_frame->isVisible());
    EXPECT_TRUE(Boxes().empty());
    Close();
    EXPECT_FALSE(LinkIsOpen());
}

// A mode box, a switch and the update button do the same whether clicked, pressed from the
// keyboard or activated through the accessibility interface.
TEST_F(ConsoleLiveTest, EveryWayOfPressingDoesTheSame) {
    ASSERT_NO_FATAL_FAILURE(OpenOnSim());
    auto accessible = [](QWidget* widget, const QString& action) {
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(widget);
        ASSERT_NE(iface, nullptr);
        ASSERT_NE(iface->actionInterface(), nullptr);
        iface->actionInterface()->doAction(action);
    };
    const struct {
        const char* how;
        std::function<void(QAbstractButton*)> press;
    } ways[] = {
        {"click", [this](QAbstractButton* b) { Click(b); }},
        {"keyboard",
         [](QAbstractButton* b) {
             b->setFocus();
             QTest::keyClick(b, Qt::Key_Space);
         }},
        {"accessible toggle",
         [&](QAbstractButton* b) { accessible(b, QAccessibleActionInterface::toggleAction()); }},
        {"accessible press",
         [&](QAbstractButton* b) {
             // A press through the interface is an animated click: it comes a moment later.
             QSignalSpy clicked(b, &QAbstractButton::clicked);
             accessible(b, QAccessibleActionInterface::pressAction());
             EXPECT_TRUE(QTest::qWaitFor([&] { return clicked.count() == 1; }, WAIT_MS));
         }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.how);
        Single()->setChecked(true);
        way.press(Multiple());
        EXPECT_TRUE(Multiple()->isChecked());
        EXPECT_FALSE(Single()->isChecked());
        way.press(Single());
        EXPECT_TRUE(Single()->isChecked());
        EXPECT_FALSE(Multiple()->isChecked());
        if (std::string(way.how) == "accessible toggle") {
            continue; // a push button has no toggle action
        }
        const bool wasOn = Switch(8)->text() == QStringLiteral("關閉");
        way.press(Switch(8));
        EXPECT_EQ(m_sim.Channel(8).on, !wasOn);
        EXPECT_EQ(Switch(8)->text(), wasOn ? QStringLiteral("開啟") : QStringLiteral("關閉"));
        Click(Multiple());
        Click(Switch(9));
        ASSERT_TRUE(Update()->isEnabled());
        way.press(Update());
        EXPECT_FALSE(Update()->isEnabled());
    }
}

// Frequency texts with and without units, as the boxes read them (MHz).
TEST(FrequencyBox, UnitsAfterTheNumber) {
    const struct {
        const char* text;
        double mhz;
    } cases[] = {
        {"30kHz", 0.03},   {"30 khz", 0.03},   {"1.5 GHz", 1500.0}, {"250000 Hz", 0.25},
        {"12.5MHz", 12.5}, {"12.5 mhz", 12.5}, {"12.5", 12.5},      {" 7 KHZ ", 0.007},
        {"2e3 Hz", 0.002}, {"abc", 0.0},       {"12x", 12.0},       {"5 kHzz", 5.0},
        {"5 k Hz", 5.0},   {"-1kHz", -0.001},  {"", 0.0},           {"0.5GHz", 500.0},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(CMorvaneDlg::FreqTextToMHz(QString::fromUtf8(c.text)), c.mhz) << c.text;
    }
}

// A unit typed into a box reaches the module scaled, and the status text shows MHz.
TEST_F(ConsoleLiveTest, FrequencyWithAUnitIsSentScaled) {
    ASSERT_NO_FATAL_FAILURE(OpenOnSim());
    SetRow(1, QStringLiteral("30kHz"), QStringLiteral("100"), QStringLiteral("0"));
    Click(Switch(1));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Pane(),
              QStringLiteral("單個通道設定 : CH[2] Freq=[0.0300]MHz  Phase=[0.0]°  Amp=[1.000]\n"));
    EXPECT_EQ(m_sim.Channel(1).freqWord, static_cast<std::uint32_t>(FreqToWord(30e3)));
}

// A message box shows a device name with markup in it as it is.
TEST_F(ConsoleLiveTest, BoxesShowTheirTextLiterally) {
    m_boxes.reset(); // the real box, closed by a timer
    WriteSetup(SetupText("/dev/<b>none</b>"));
    QString shownText;
    Qt::TextFormat format = Qt::AutoText;
    // The box comes after the open's exchange: look for it until it is there.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shownText = box->text();
            format = box->textFormat();
            closer.stop();
            box->accept();
        }
    });
    closer.start(20);
    Open();
    EXPECT_TRUE(shownText.contains(QStringLiteral("/dev/<b>none</b>")));
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(Pane(), FailedText(QStringLiteral("/dev/<b>none</b>")));
    m_boxes = std::make_unique<CMessageBoxRecorder>();
}

// Diagnostics written to a standard output whose reader has gone are lost, and the process
// goes on: the set goes out after its diagnostic line.
TEST_F(ConsoleLiveTest, BrokenStandardOutputIsIgnored) {
    ASSERT_NO_FATAL_FAILURE(OpenOnSim());
    DiagIgnoreBrokenPipe(); // what every program does first
    DiagSetSink({});        // the default sink: standard output
    std::fflush(stdout);
    const int savedStdout = dup(STDOUT_FILENO);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]); // the reader is gone
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);

    SetRow(3, QStringLiteral("20"), QStringLiteral("50"), QStringLiteral("0"));
    Click(Switch(3));
    DiagWrite("after\n");

    std::fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    std::clearerr(stdout);
    EXPECT_TRUE(m_sim.Channel(3).on);
    EXPECT_TRUE(Boxes().empty());
}

// The built console started with its standard output a pipe nobody reads gets through its
// start-up, which writes the open's diagnostic line there.
TEST(ConsoleProcess, StartsWithABrokenStandardOutput) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("MORVANE_STARTUP_TRACE"), QStringLiteral("1"));
    process.setProcessEnvironment(env);
    process.setProgram(QStringLiteral(MORVANE_EXE));
    process.setWorkingDirectory(QStringLiteral(MORVANE_CONFIG_DIR));
    process.setArguments({QStringLiteral("--simulate")});
    process.setChildProcessModifier([] {
        int fds[2];
        if (pipe(fds) == 0) {
            close(fds[0]);
            dup2(fds[1], STDOUT_FILENO);
            close(fds[1]);
        }
    });
    process.start();
    QString trace;
    const bool opened = QTest::qWaitFor(
        [&] {
            trace += QString::fromLocal8Bit(process.readAllStandardError());
            return trace.contains(QStringLiteral("morvane-startup: opened")) ||
                   process.state() == QProcess::NotRunning;
        },
        WAIT_MS);
    QTest::qWait(200); // anything after the open's line would end it by now
    EXPECT_TRUE(opened) << trace.toStdString();
    EXPECT_EQ(process.state(), QProcess::Running)
        << "exit status " << process.exitStatus() << " code " << process.exitCode();
    process.kill();
    process.waitForFinished(WAIT_MS);
}

// ---- scaled screens ------------------------------------------------------------------------

// The child side: the frame as the application shows it, on the screen the parent configured.
// MORVANE_SCREEN_CHILD holds the physical screen height.
TEST_F(MorvaneDlgTest, ScreenChildFrameFitsTheScreen) {
    const QByteArray physical = qgetenv("MORVANE_SCREEN_CHILD");
    if (physical.isEmpty()) {
        GTEST_SKIP() << "run by FrameFitsScaledScreens in a process of its own";
    }
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    // The scaled screen height is rounded to whole pixels: at fractional scales the mode read
    // back from it can be one pixel off.
    EXPECT_NEAR(CMainFrame::PrimaryDisplayInfo().modeHeight, physical.toInt(), 1);

    WriteSimSetup();
    Open();
    m_frame->ActivateFrame();
    const QRect available = screen->availableGeometry();
    const QRect frame = m_frame->frameGeometry();
    EXPECT_TRUE(available.contains(frame))
        << frame.x() << "," << frame.y() << " " << frame.width() << "x" << frame.height() << " on "
        << available.width() << "x" << available.height();
    if (physical.toInt() <= 768) {
        EXPECT_EQ(frame.size(), QSize(720, 693).boundedTo(available.size()));
    }
    // Menu and status bar inside the frame; the form keeps its size and scrolls when the
    // frame is smaller than it.
    EXPECT_TRUE(m_frame->menuBar()->isVisible());
    EXPECT_TRUE(m_frame->statusBar()->isVisible());
    EXPECT_LE(m_frame->statusBar()->geometry().bottom(), m_frame->height());
    auto* scroller = qobject_cast<QScrollArea*>(m_frame->centralWidget());
    ASSERT_NE(scroller, nullptr);
    EXPECT_GE(m_form->width(), m_form->GetTotalSize().width());
    EXPECT_GE(m_form->height(), m_form->GetTotalSize().height());
    QTest::qWait(10); // the scroll area sets its ranges from its resize events
    const bool fits = scroller->viewport()->height() >= m_form->GetTotalSize().height();
    EXPECT_EQ(scroller->verticalScrollBar()->maximum() > 0, !fits)
        << scroller->viewport()->height() << " " << m_form->GetTotalSize().height() << " "
        << m_form->height() << " " << scroller->verticalScrollBar()->maximum();
}

// The parent side: the console's frame on virtual 1280x1024, 1920x1080 and 1366x768 screens
// at scale factors 1, 1.25, 1.5 and 2, each in a process of its own.
TEST(ScaledScreens, FrameFitsScaledScreens) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QSize screens[] = {{1280, 1024}, {1920, 1080}, {1366, 768}};
    for (const QSize physical : screens) {
        for (const char* scale : {"1", "1.25", "1.5", "2"}) {
            SCOPED_TRACE(std::to_string(physical.width()) + "x" +
                         std::to_string(physical.height()) + " at " + scale);
            const QString config = dir.filePath(QStringLiteral("screen.json"));
            QFile file(config);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(QStringLiteral("{\"screens\":[{\"name\":\"virtual\",\"x\":0,\"y\":0,"
                                      "\"width\":%1,\"height\":%2,\"logicalDpi\":96,"
                                      "\"logicalBaseDpi\":96}]}")
                           .arg(physical.width())
                           .arg(physical.height())
                           .toUtf8());
            file.close();
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("QT_QPA_PLATFORM"),
                       QStringLiteral("offscreen:configfile=") + config);
            env.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::fromLatin1(scale));
            env.insert(QStringLiteral("MORVANE_SCREEN_CHILD"), QString::number(physical.height()));
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--gtest_filter=*ScreenChildFrameFitsTheScreen")});
            ASSERT_TRUE(child.waitForFinished(WAIT_MS));
            const QByteArray output = child.readAll();
            EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
            EXPECT_FALSE(output.contains("SKIPPED")) << output.toStdString();
        }
    }
}

} // namespace
