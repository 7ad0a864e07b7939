// The console under real conditions: a live window during waits, Esc and close, every way of
// pressing, frequency units, a broken standard output, scaled screens. Figures (longest gap in
// the user-interface loop during a silent wait, Esc and close times) are printed, not asserted.
#include "test_morvanedlg_fixture.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

using namespace morvanedlg_test;

const QString WAITING_TEXT = QStringLiteral(" 狀態 : 等待 QM-TRV 回應中…  [Esc] 取消");

// Counts the ticks of a 5 ms timer and the longest gap between two: while the user-interface
// thread runs its loop, the gaps stay near the interval.
struct CLoopWatch {
    CLoopWatch() {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.nsecsElapsed();
            longestNs = ticks++ > 0 ? std::max(longestNs, now - lastNs) : 0;
            lastNs = now;
        });
        clock.start();
        timer.start(5);
    }
    QTimer timer;
    QElapsedTimer clock;
    int ticks = 0;
    qint64 lastNs = 0;
    qint64 longestNs = 0;
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
                watch.ticks, static_cast<double>(watch.longestNs) / 1e6, escMs);

    EXPECT_TRUE(running);
    EXPECT_GT(watch.ticks, 1); // the loop ran during the wait
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

// A mode box, a switch and the update button do the same whether clicked or activated through
// the accessibility interface (a toggle for the boxes; a press, which is an animated click).
TEST_F(ConsoleLiveTest, EveryWayOfPressingDoesTheSame) {
    ASSERT_NO_FATAL_FAILURE(OpenOnSim());
    auto press = [this](const QString& how, QAbstractButton* b) {
        if (how.isEmpty()) {
            return Click(b);
        }
        QSignalSpy toggled(b, &QAbstractButton::toggled);
        QSignalSpy clicked(b, &QAbstractButton::clicked);
        QAccessible::queryAccessibleInterface(b)->actionInterface()->doAction(how);
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return toggled.count() + clicked.count() > 0; }, WAIT_MS));
    };
    for (const QString& how : {QString(), QAccessibleActionInterface::toggleAction(),
                               QAccessibleActionInterface::pressAction()}) {
        SCOPED_TRACE(how.toStdString());
        press(how, Multiple());
        EXPECT_TRUE(Multiple()->isChecked() && !Single()->isChecked());
        press(how, Single());
        EXPECT_TRUE(Single()->isChecked() && !Multiple()->isChecked());
        if (how == QAccessibleActionInterface::toggleAction()) {
            continue; // push buttons have no toggle action
        }
        const bool wasOn = Switch(8)->text() == QStringLiteral("關閉");
        press(how, Switch(8));
        EXPECT_EQ(m_sim.Channel(8).on, !wasOn);
        Click(Multiple());
        Click(Switch(9));
        press(how, Update());
        EXPECT_FALSE(Update()->isEnabled());
        Click(Single());
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
    EXPECT_TRUE(available.contains(frame));
    if (physical.toInt() <= 768) {
        EXPECT_EQ(frame.size(), QSize(720, 693).boundedTo(available.size()));
    }
    // The form keeps its size and scrolls when the frame is smaller than it.
    auto* scroller = qobject_cast<QScrollArea*>(m_frame->centralWidget());
    ASSERT_NE(scroller, nullptr);
    QTest::qWait(10); // the scroll area sets its ranges from its resize events
    EXPECT_EQ(m_form->size().expandedTo(m_form->GetTotalSize()), m_form->size());
    const bool fits = scroller->viewport()->height() >= m_form->GetTotalSize().height();
    EXPECT_EQ(scroller->verticalScrollBar()->maximum() > 0, !fits);
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
            file.write(QStringLiteral("{\"screens\":[{\"name\":\"v\",\"width\":%1,\"height\":%2}]}")
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
