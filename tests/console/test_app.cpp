// The application: command line, start-up with a view plugged in, the routed commands, and
// the single-copy rule, in this process and with two real `morvane` processes.
#include "aboutdlg.h"
#include "formview.h"
#include "framework.h"
#include "mainfrm.h"
#include "morvane.h"
#include "resource.h"
#include "singlecopy.h"
#include "singlecopy_os.h"
#include "trace.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

// Waits are limits for a shared, slow machine, not expectations of speed.
constexpr int WAIT_MS = 60000;

const QString SETTINGS = QStringLiteral("Settings");
const QString CLASS_NAME = QStringLiteral("Class Name");

QString StoredClassName() {
    return FwGetProfileString(SETTINGS, CLASS_NAME, QStringLiteral("<none>"));
}

void RemoveSocketFile(const QString& name) {
    const std::string path = CSingleCopy::SocketPath(name);
    if (!path.empty()) {
        QFile::remove(QString::fromStdString(path));
    }
}

// Every test starts as on a machine where the console never ran, and leaves no socket file.
class ConsoleApp : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        QSettings profile(QString::fromLatin1(PROFILE_ORGANIZATION),
                          QString::fromLatin1(PROFILE_APPLICATION));
        profile.clear();
        profile.sync();
        RemoveSocketFile(CSingleCopy::DefaultServerName());
    }
};

// A view that records what the application does to it.
class CProbeView : public CFormView {
public:
    int initialUpdates = 0;
    bool visibleAtInitialUpdate = true;
    int* destroysOut = nullptr;
    bool* childAliveOut = nullptr;

    CProbeView() {
        auto* child = new QPushButton(this);
        child->setObjectName(QStringLiteral("1064"));
        SetTotalSize(QSize(420, 310));
    }
    void OnInitialUpdate() override {
        ++initialUpdates;
        visibleAtInitialUpdate = GetParentFrame() != nullptr && GetParentFrame()->isVisible();
        ResizeParentToFit(true);
    }
    void OnDestroy() override {
        *destroysOut += 1;
        *childAliveOut = GetDlgItem(this, 1064) != nullptr;
    }
};

TEST(ConsoleCommandLine, OptionsAndExitCodes) {
    struct Case {
        QStringList args;
        int result;
        bool simulate;
    };
    const Case cases[] = {
        {{QStringLiteral("morvane")}, CMorvaneApp::CONTINUE_STARTUP, false},
        {{QStringLiteral("morvane"), QStringLiteral("--simulate")},
         CMorvaneApp::CONTINUE_STARTUP,
         true},
        {{QStringLiteral("morvane"), QStringLiteral("--version")}, 0, false},
        {{QStringLiteral("morvane"), QStringLiteral("--help")}, 0, false},
        {{QStringLiteral("morvane"), QStringLiteral("--help-all")}, 0, false},
        {{QStringLiteral("morvane"), QStringLiteral("--bogus")}, 1, false},
        {{QStringLiteral("morvane"), QStringLiteral("setup.ini")}, 1, false},
        {{QStringLiteral("morvane"), QStringLiteral("-h")}, 0, false},
        {{QStringLiteral("morvane"), QStringLiteral("-v")}, 0, false},
        {{QStringLiteral("morvane"), QStringLiteral("--simulate=yes")}, 1, false},
        {{QStringLiteral("morvane"), QStringLiteral("--"), QStringLiteral("--simulate")}, 1, false},
        {{QStringLiteral("morvane"), QStringLiteral("-simulate")}, 1, false},
        // Qt's own options are left to QApplication, with their values.
        {{QStringLiteral("morvane"), QStringLiteral("-platform"), QStringLiteral("offscreen"),
          QStringLiteral("--style=fusion"), QStringLiteral("-reverse"),
          QStringLiteral("--simulate")},
         CMorvaneApp::CONTINUE_STARTUP,
         true},
    };
    for (const Case& c : cases) {
        CMorvaneApp app;
        EXPECT_EQ(app.ParseCommandLine(c.args), c.result) << c.args.join(u' ').toStdString();
        EXPECT_EQ(app.IsSimulate(), c.simulate) << c.args.join(u' ').toStdString();
    }
}

// Options with a value, as a table row declares them: "--name VALUE" and "--name=VALUE".
TEST(ConsoleCommandLine, OptionValues) {
    static QString s_value;
    const ConsoleOption options[] = {
        {"f,file", "FILE", "A file.", ConsoleOption::Kind::Setting,
         [](CCommandLineInfo& info, const QString& value) {
             info.m_bSimulate = true;
             s_value = value;
         }},
    };
    struct Case {
        QStringList args;
        int exitCode;
        QString value;
    };
    const Case cases[] = {
        {{QStringLiteral("--file"), QStringLiteral("a b.txt")}, -1, QStringLiteral("a b.txt")},
        {{QStringLiteral("--file=x=y")}, -1, QStringLiteral("x=y")},
        {{QStringLiteral("-f"), QStringLiteral("--simulate")}, -1, QStringLiteral("--simulate")},
        {{QStringLiteral("--file")}, 1, QString()},
    };
    for (const Case& c : cases) {
        s_value.clear();
        const ConsoleArguments read =
            ConsoleReadArguments(QStringList{QStringLiteral("morvane")} + c.args, options);
        EXPECT_EQ(read.exitCode, c.exitCode) << c.args.join(u' ').toStdString();
        EXPECT_EQ(s_value, c.value) << c.args.join(u' ').toStdString();
        EXPECT_EQ(read.info.m_bSimulate, c.exitCode < 0);
    }
    EXPECT_TRUE(ConsoleHelpText(options).contains(QStringLiteral("-f, --file FILE  A file.")));
}

// Only names this console makes are taken for a server: anything else in the profile (another
// program's class name, a path) is never connected to or cleared away.
TEST(ConsoleSingleCopy, ServerNamesHaveTheConsolesShape) {
    const QString user32(32, QLatin1Char('u'));
    const struct {
        QString name;
        bool ok;
    } cases[] = {
        {QStringLiteral("Morvane-a-0123456789ab"), true},
        {QStringLiteral("Morvane-j.doe_2-abcdef012345"), true},
        {QStringLiteral("Morvane-") + user32 + QStringLiteral("-0123456789ab"), true},
        {QStringLiteral("Morvane-") + user32 + QStringLiteral("u-0123456789ab"), false},
        {QStringLiteral("Morvane--0123456789ab"), false},     // no user
        {QStringLiteral("Morvane-a-0123456789AB"), false},    // upper-case digest
        {QStringLiteral("Morvane-a-0123456789a"), false},     // short digest
        {QStringLiteral("Morvane-a-0123456789abc"), false},   // 13 digits
        {QStringLiteral("Morvane-../x-0123456789ab"), false}, // a path
        {QStringLiteral("Morvane-a b-0123456789ab"), false},  // a blank
        {QStringLiteral("Morvane-a-0123456789ab\n"), false},  // a line end
        {QStringLiteral("morvane-a-0123456789ab"), false},    // the prefix's case
        {QStringLiteral("xMorvane-a-0123456789ab"), false},
        {QStringLiteral("Morvane-\u00e9-0123456789ab"), false}, // not ASCII
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CSingleCopy::IsServerName(c.name), c.ok) << c.name.toStdString();
    }
    EXPECT_TRUE(CSingleCopy::IsServerName(CSingleCopy::DefaultServerName()));
}

TEST_F(ConsoleApp, StartUpPlugsTheViewInAndStoresTheName) {
    int destroys = 0;
    bool childAlive = false;
    CProbeView* probe = nullptr;
    {
        CMorvaneApp app;
        ASSERT_EQ(app.ParseCommandLine({QStringLiteral("morvane")}), -1);
        app.SetViewFactory([&]() {
            probe = new CProbeView;
            probe->destroysOut = &destroys;
            probe->childAliveOut = &childAlive;
            return probe;
        });
        // First start on this profile: nothing stored yet.
        EXPECT_EQ(StoredClassName(), QStringLiteral("<none>"));
        ASSERT_TRUE(app.InitInstance());

        CMainFrame* frame = app.GetMainFrame();
        ASSERT_NE(frame, nullptr);
        ASSERT_NE(probe, nullptr);
        EXPECT_EQ(frame->GetActiveView(), probe);
        EXPECT_EQ(probe->initialUpdates, 1);
        EXPECT_FALSE(probe->visibleAtInitialUpdate); // set up before the frame shows
        EXPECT_TRUE(frame->isVisible());
        EXPECT_EQ(frame->windowTitle(), QStringLiteral("Morvane V1.0"));
        if (CMainFrame::PrimaryDisplayInfo().modeHeight > 768) {
            EXPECT_EQ(probe->size(), QSize(420, 310)); // the frame shrank to the form
        }

        // The running copy's name is in the profile and it listens under it.
        EXPECT_TRUE(app.GetSingleCopy().IsListening());
        EXPECT_EQ(StoredClassName(), app.GetSingleCopy().ServerName());
        EXPECT_TRUE(CSingleCopy::IsServerName(StoredClassName()));
#ifndef _WIN32
        // A socket file; Windows' pipe is no file.
        EXPECT_TRUE(
            QFile::exists(QString::fromStdString(CSingleCopy::SocketPath(StoredClassName()))));
#endif
        EXPECT_EQ(destroys, 0);
    }
    // The view heard of its end while its controls still existed; the name stays stored, and
    // the socket file went with the copy.
    EXPECT_EQ(destroys, 1);
    EXPECT_TRUE(childAlive);
    EXPECT_TRUE(CSingleCopy::IsServerName(StoredClassName()));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(CSingleCopy::SocketPath(StoredClassName()))));
}

TEST_F(ConsoleApp, AboutCommandShowsTheAboutBoxModally) {
    CMorvaneApp app;
    ASSERT_TRUE(app.InitInstance());
    QString caption;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        auto* box = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        poll.stop();
        caption = box->windowTitle();
        GetDlgItem<QPushButton>(box, IDOK)->click();
    });
    poll.start();
    EXPECT_TRUE(app.GetMainFrame()->SendCommand(ID_APP_ABOUT));
    EXPECT_EQ(caption, QStringLiteral("About Morvane"));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    // New and open reach the application and change nothing.
    EXPECT_TRUE(app.GetMainFrame()->SendCommand(ID_FILE_NEW));
    EXPECT_TRUE(app.GetMainFrame()->SendCommand(ID_FILE_OPEN));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

#ifndef _WIN32
// Sets an environment variable for the life of the object.
class CScopedEnv {
public:
    CScopedEnv(const char* name, const QByteArray& value)
        : m_name(name), m_saved(qgetenv(name)), m_had(qEnvironmentVariableIsSet(name)) {
        if (value.isNull()) {
            qunsetenv(name);
        } else {
            qputenv(name, value);
        }
    }
    ~CScopedEnv() {
        if (m_had) {
            qputenv(m_name, m_saved);
        } else {
            qunsetenv(m_name);
        }
    }

private:
    const char* m_name;
    QByteArray m_saved;
    bool m_had;
};

// The folder a copy of this user makes in the temporary folder tmp.
QString OwnFolderIn(const QString& tmp) {
    return tmp + QStringLiteral("/morvane-") + QString::number(geteuid());
}

TEST_F(ConsoleApp, ALongTemporaryFolderStillGivesTheGuard) {
    // A folder that leaves too little of a socket path's hundred-odd bytes for the full name,
    // but enough for a short one.
    QTemporaryDir base;
    ASSERT_TRUE(base.isValid());
    const CScopedEnv noRuntime("XDG_RUNTIME_DIR", QByteArray());
    const qsizetype own = OwnFolderIn(QString()).size();
    const std::size_t room = SingleCopyEndpointMax() - std::strlen("/Morvane-0123456789ab");
    const qsizetype fill = static_cast<qsizetype>(room) - base.path().size() - 1 - own;
    ASSERT_GT(fill, 0) << base.path().toStdString();
    const QString folder = base.path() + QLatin1Char('/') + QString(fill, QLatin1Char('d'));
    ASSERT_TRUE(QDir().mkpath(folder));
    const CScopedEnv tmp("TMPDIR", QFile::encodeName(folder));

    const QString name = CSingleCopy::DefaultServerName();
    const std::string path = CSingleCopy::SocketPath(name);
    EXPECT_LE(path.size(), SingleCopyEndpointMax());
    EXPECT_GT((OwnFolderIn(folder) + QLatin1Char('/') + name).toUtf8().size(),
              static_cast<qsizetype>(SingleCopyEndpointMax()));
    {
        CSingleCopy running;
        int raises = 0;
        QObject::connect(&running, &CSingleCopy::raiseRequested, [&raises] { ++raises; });
        EXPECT_EQ(running.Listen(name), CSingleCopy::ListenResult::Listening);
        EXPECT_TRUE(QFile::exists(QString::fromStdString(path)));
        EXPECT_TRUE(CSingleCopy::AskToRaise(name));
        EXPECT_TRUE(QTest::qWaitFor([&raises] { return raises == 1; }, WAIT_MS));
        // A second copy finds the first under the same short name.
        CSingleCopy second;
        EXPECT_EQ(second.Listen(name), CSingleCopy::ListenResult::AlreadyRunning);
    }
    EXPECT_FALSE(QFile::exists(QString::fromStdString(path)));
}

// The socket never lives where another user could take its name first: the runtime folder when
// it is this user's alone, else a folder of ours in the temporary folder with mode 0700, and no
// guard at all when that folder is not private.
TEST_F(ConsoleApp, SocketLivesInAFolderOnlyThisUserEnters) {
    QTemporaryDir base;
    ASSERT_TRUE(base.isValid());
    const QString runtime = base.filePath(QStringLiteral("run"));
    const QString tmp = base.filePath(QStringLiteral("tmp"));
    ASSERT_TRUE(QDir().mkpath(runtime) && QDir().mkpath(tmp));
    const CScopedEnv tmpEnv("TMPDIR", QFile::encodeName(tmp));
    const QString name = CSingleCopy::DefaultServerName();

    struct Case {
        const char* what;
        mode_t runtimeMode;
        QString expectedFolder; // empty: no guard
    };
    const Case cases[] = {
        {"private runtime folder", 0700, runtime},
        {"runtime folder others may enter", 0755, OwnFolderIn(tmp)},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(chmod(QFile::encodeName(runtime).constData(), c.runtimeMode), 0);
        const CScopedEnv runtimeEnv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        EXPECT_EQ(QString::fromStdString(CSingleCopy::SocketPath(name)),
                  c.expectedFolder + QLatin1Char('/') + name)
            << c.what;
    }
    const QFileInfo own(OwnFolderIn(tmp));
    EXPECT_EQ(own.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                   QFile::ReadOther | QFile::WriteOther | QFile::ExeOther),
              QFileDevice::Permissions());

    // A folder of that name that others may enter (made by someone else, or opened up) is not
    // used: the copy runs without the guard rather than listen where others can reach.
    const CScopedEnv noRuntime("XDG_RUNTIME_DIR", QByteArray());
    ASSERT_EQ(chmod(QFile::encodeName(OwnFolderIn(tmp)).constData(), 0777), 0);
    EXPECT_EQ(CSingleCopy::SocketPath(name), std::string());
    CSingleCopy copy;
    EXPECT_EQ(copy.Listen(name), CSingleCopy::ListenResult::Failed);
    EXPECT_FALSE(CSingleCopy::AskToRaise(name));
}

// Makes a socket file that no one listens on, as a copy that was killed leaves it.
void MakeStaleSocket(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.data(), path.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
}
#endif

TEST_F(ConsoleApp, RaiseRequestRestoresAMinimisedFrame) {
    CMorvaneApp app;
    ASSERT_TRUE(app.InitInstance());
    CMainFrame* frame = app.GetMainFrame();
    frame->showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([frame]() { return frame->isMinimized(); }, WAIT_MS));

    // What a second copy does: it finds this copy under the stored name.
    EXPECT_TRUE(CSingleCopy::AskToRaise(StoredClassName()));
    EXPECT_TRUE(QTest::qWaitFor([frame]() { return !frame->isMinimized(); }, WAIT_MS));
    EXPECT_TRUE(frame->isVisible());
}

#ifndef _WIN32
TEST_F(ConsoleApp, StoredNamesWithoutARunningCopyLetStartUpProceed) {
    // A left-over socket file of a copy that ended, and a plain file under a server name, which
    // is no socket of ours: it is neither contacted nor removed.
    const QString leftOver = CSingleCopy::DefaultServerName();
    const std::string leftOverPath = CSingleCopy::SocketPath(leftOver);
    MakeStaleSocket(leftOverPath);
    const QString plain = QStringLiteral("Morvane-plain-0123456789ab");
    const QString plainPath = QString::fromStdString(CSingleCopy::SocketPath(plain));
    {
        QFile file(plainPath);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    const QString outside = QDir::tempPath() + QStringLiteral("/morvane-test-not-ours");
    {
        QFile file(outside);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }

    struct Case {
        QString stored;
        bool isServerName;
    };
    const Case cases[] = {
        {QStringLiteral("default string"), false},
        {QStringLiteral("Morvane-nobody-0123456789ab"), true},
        {leftOver, true},
        {plain, true},
        {outside, false}, // never touched, whatever the profile says
        {QStringLiteral("Afx:00400000:b:00010003:00000006:00000000"), false},
        {QString(), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CSingleCopy::IsServerName(c.stored), c.isServerName) << c.stored.toStdString();
        EXPECT_FALSE(CSingleCopy::AskToRaise(c.stored)) << c.stored.toStdString();
    }
    // the stale socket file was cleared away
    EXPECT_FALSE(QFile::exists(QString::fromStdString(leftOverPath)));
    EXPECT_TRUE(QFile::exists(plainPath));
    EXPECT_TRUE(QFile::exists(outside));
    QFile::remove(outside);
    QFile::remove(plainPath);

    // Start-up proceeds over a stale value and overwrites it.
    ASSERT_TRUE(
        FwWriteProfileString(SETTINGS, CLASS_NAME, QStringLiteral("Morvane-gone-00ff00ff00ff")));
    CMorvaneApp app;
    ASSERT_TRUE(app.InitInstance());
    EXPECT_EQ(StoredClassName(), CSingleCopy::DefaultServerName());
}

#endif

// ---- two processes -----------------------------------------------------------------------

// One `morvane` process on the test's profile, with the shell's trace lines on its stderr.
class CConsoleProcess {
public:
    CConsoleProcess() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("morvane.shell.debug=true"));
        // A Windows program without a console sends Qt's messages to the debugger otherwise.
        env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
        m_process.setProcessEnvironment(env);
        m_process.setProgram(QStringLiteral(MORVANE_EXE));
        // The console opens its port at start-up: run it on a module with the example setup
        // file, so that no message box waits for an answer.
#ifdef _WIN32
        // No built-in simulator: the port the test run names (under Wine a simulator's
        // pseudo-terminal mapped to it).
        QFile example(QStringLiteral(MORVANE_CONFIG_DIR "/setup.ini"));
        QFile setup(m_dir.filePath(QStringLiteral("setup.ini")));
        if (example.open(QIODevice::ReadOnly) && setup.open(QIODevice::WriteOnly)) {
            const QByteArray port = qgetenv("MORVANE_TEST_CONSOLE_PORT");
            setup.write(example.readAll().replace("COM_PORT=3", "COM_PORT=" + port));
        }
        m_process.setWorkingDirectory(m_dir.path());
#else
        m_process.setWorkingDirectory(QStringLiteral(MORVANE_CONFIG_DIR));
        m_process.setArguments({QStringLiteral("--simulate")});
#endif
    }
    // Whether there is a module to start on: the simulator, or on Windows a named port.
    static bool HasModule() {
#ifdef _WIN32
        return !qEnvironmentVariableIsEmpty("MORVANE_TEST_CONSOLE_PORT");
#else
        return true;
#endif
    }
    ~CConsoleProcess() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(WAIT_MS);
        }
    }
    void Start() {
        m_process.start();
    }
    void AddArgument(const QString& argument) {
        m_process.setArguments(m_process.arguments() << argument);
    }
    QProcess& Process() {
        return m_process;
    }

    // Waits until the trace holds text; false when the process ended or the limit passed.
    bool WaitForTrace(const QString& text) {
        return QTest::qWaitFor(
                   [&]() {
                       m_trace += QString::fromLocal8Bit(m_process.readAllStandardError());
                       return m_trace.contains(text) || m_process.state() == QProcess::NotRunning;
                   },
                   WAIT_MS) &&
               m_trace.contains(text);
    }
    QString Trace() {
        m_trace += QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_trace;
    }

private:
#ifdef _WIN32
    QTemporaryDir m_dir; // the working folder with the setup file naming the port
#endif
    QProcess m_process;
    QString m_trace;
};

#define SKIP_WITHOUT_A_MODULE()                                                                    \
    if (!CConsoleProcess::HasModule()) {                                                           \
        GTEST_SKIP() << "MORVANE_TEST_CONSOLE_PORT names no port with a module on it";             \
    }

TEST_F(ConsoleApp, TwoProcessesSecondCopyRaisesTheFirstAndEnds) {
    SKIP_WITHOUT_A_MODULE();
    const QString name = CSingleCopy::DefaultServerName();
    CConsoleProcess first;
    first.Start();
    ASSERT_TRUE(first.WaitForTrace(QStringLiteral("listening on ") + name))
        << first.Trace().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&]() { return StoredClassName() == name; }, WAIT_MS));

    CConsoleProcess second;
    second.Start();
    ASSERT_TRUE(second.Process().waitForFinished(WAIT_MS));
    EXPECT_EQ(second.Process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.Process().exitCode(), 0);
    const QString secondTrace = second.Trace();
    EXPECT_TRUE(secondTrace.contains(QStringLiteral("asked the copy on ") + name))
        << secondTrace.toStdString();
    EXPECT_FALSE(secondTrace.contains(QStringLiteral("listening on"))); // it made no window

    EXPECT_TRUE(first.WaitForTrace(QStringLiteral("raise-request"))) << first.Trace().toStdString();
    EXPECT_EQ(first.Process().state(), QProcess::Running);
    EXPECT_EQ(StoredClassName(), name);
}

TEST_F(ConsoleApp, TraceFileHoldsTheTranscriptFromStartUpOn) {
    SKIP_WITHOUT_A_MODULE();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("trace.txt"));
    CConsoleProcess console;
    console.AddArgument(QStringLiteral("--trace"));
    console.AddArgument(path);
    console.Start();
    QString text;
    // The port opened, the probe answered and the clock mode was sent, before any window.
    EXPECT_TRUE(QTest::qWaitFor(
        [&]() {
            QFile file(path);
            text = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
            return text.contains(QStringLiteral("\tok\t")) ||
                   console.Process().state() == QProcess::NotRunning;
        },
        WAIT_MS))
        << console.Trace().toStdString();
    const QStringList lines = text.split(QLatin1Char('\n'));
    ASSERT_GE(lines.size(), 4) << text.toStdString();
    EXPECT_EQ(lines.at(0).toStdString(), LinkTraceHeader());
    EXPECT_EQ(lines.at(1).section(QLatin1Char('\t'), 2, 2), QStringLiteral("opened"));
    EXPECT_EQ(lines.at(2).section(QLatin1Char('\t'), 2, 2), QStringLiteral("probe-ok"));
    EXPECT_TRUE(text.contains(QStringLiteral("\tDI 2\t"))) << text.toStdString();
}

TEST_F(ConsoleApp, TwoProcessesCopyThatDiedLeavesNoObstacle) {
    SKIP_WITHOUT_A_MODULE();
    const QString name = CSingleCopy::DefaultServerName();
    {
        CConsoleProcess crashed;
        crashed.Start();
        ASSERT_TRUE(crashed.WaitForTrace(QStringLiteral("listening on ") + name));
        ASSERT_TRUE(QTest::qWaitFor([&]() { return StoredClassName() == name; }, WAIT_MS));
        // Killed without a chance to clean up: its socket file and its profile value remain.
        crashed.Process().kill();
        ASSERT_TRUE(crashed.Process().waitForFinished(WAIT_MS));
    }
#ifndef _WIN32
    // (On Windows the system ends the copy's mutex and pipe with it: nothing is left.)
    ASSERT_TRUE(QFile::exists(QString::fromStdString(CSingleCopy::SocketPath(name))));
#endif
    ASSERT_EQ(StoredClassName(), name);

    CConsoleProcess next;
    next.Start();
    EXPECT_TRUE(next.WaitForTrace(QStringLiteral("listening on ") + name))
        << next.Trace().toStdString();
#ifndef _WIN32
    EXPECT_TRUE(next.Trace().contains(QStringLiteral("removed the stale socket")));
#endif
    EXPECT_EQ(next.Process().state(), QProcess::Running);
    EXPECT_EQ(StoredClassName(), name);
}

} // namespace
