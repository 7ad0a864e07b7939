#include "morvane.h"

#include "aboutdlg.h"
#include "formview.h"
#include "framework.h"
#include "mainfrm.h"
#include "morvane_version.h"
#include "morvanedoc.h"
#include "resource.h"
#include "startuptrace.h"

#include <QAction>
#include <QApplication>

#include <cstdio>

namespace {

CMorvaneApp* g_pTheApp = nullptr;

const QString PROFILE_SECTION = QStringLiteral("Settings");
const QString PROFILE_CLASS_NAME = QStringLiteral("Class Name");
const QString DEFAULT_CLASS_NAME = QStringLiteral("default string");

} // namespace

CMorvaneApp::CMorvaneApp(QObject* parent) : QObject(parent) {
    Q_ASSERT(g_pTheApp == nullptr);
    g_pTheApp = this;
    QCoreApplication::setApplicationName(QString::fromLatin1(IDS_APP_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(MORVANE_VERSION));
    QGuiApplication::setWindowIcon(MorvaneAppIcon());
    // Wayland compositors match the window to the installed morvane.desktop (and its icon) by
    // this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("morvane"));
    // The application ends when the frame is closed, also while a modeless dialog without
    // an owner is still open.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    connect(&m_singleCopy, &CSingleCopy::raiseRequested, this, &CMorvaneApp::OnRaiseRequest);
}

CMorvaneApp::~CMorvaneApp() {
    ExitInstance();
    g_pTheApp = nullptr;
}

CMorvaneApp* CMorvaneApp::Instance() {
    return g_pTheApp;
}

int CMorvaneApp::ParseCommandLine(const QStringList& arguments) {
    const ConsoleArguments read = ConsoleReadArguments(arguments);
    ConsolePrint(stdout, read.out);
    ConsolePrint(stderr, read.err);
    if (read.exitCode == CONTINUE_STARTUP) {
        m_cmdInfo = read.info;
    }
    return read.exitCode;
}

bool CMorvaneApp::InitInstance() {
    // The profile lives under the organisation "Halvorn".
    QCoreApplication::setOrganizationName(QString::fromLatin1(PROFILE_ORGANIZATION));

    // One copy at a time: a copy listening under the stored name is asked to come to the
    // front and this one ends without a window.
    const QString stored =
        FwGetProfileString(PROFILE_SECTION, PROFILE_CLASS_NAME, DEFAULT_CLASS_NAME);
    if (CSingleCopy::AskToRaise(stored)) {
        m_nExitCode = EXIT_OK;
        return false;
    }
    // Take this copy's own name at once, before any window exists, so that a copy started at
    // the same moment finds it (and is raised rather than running twice).
    const QString name = CSingleCopy::DefaultServerName();
    if (m_singleCopy.Listen(name) == CSingleCopy::ListenResult::AlreadyRunning) {
        m_nExitCode = EXIT_OK;
        return false;
    }

    if (!CreateDocumentFrameAndView()) {
        m_nExitCode = EXIT_FAILURE_CODE;
        return false;
    }

    // The next copy looks for this name.
    if (!FwWriteProfileString(PROFILE_SECTION, PROFILE_CLASS_NAME, name)) {
        qCWarning(lcMorvaneShell, "cannot write the profile %s",
                  qUtf8Printable(FwProfileLocation()));
    }

    m_pMainFrame->show();
    StartupMark("shown");
    return true;
}

bool CMorvaneApp::CreateDocumentFrameAndView() {
    m_pDoc = std::make_unique<CMorvaneDoc>();
    auto frame = std::make_unique<CMainFrame>();
    if (!frame->Create()) {
        return false;
    }
    StartupMark("frame");
    CFormView* view = m_viewFactory ? m_viewFactory() : new CFormView;
    StartupMark("form");
    if (view == nullptr) {
        return false;
    }
    frame->SetView(view);

    // The commands the application routes.
    connect(frame->FindCommand(ID_APP_ABOUT), &QAction::triggered, this, &CMorvaneApp::OnAppAbout);
    connect(frame->FindCommand(ID_FILE_NEW), &QAction::triggered, this, &CMorvaneApp::OnFileNew);
    connect(frame->FindCommand(ID_FILE_OPEN), &QAction::triggered, this, &CMorvaneApp::OnFileOpen);
    connect(frame.get(), &CMainFrame::frameClosed, qApp, &QCoreApplication::quit,
            Qt::QueuedConnection);

    m_pMainFrame = std::move(frame);
    if (!m_pDoc->OnNewDocument()) {
        return false;
    }
    // The view sets itself up (and may fit the frame to itself); then the frame takes its
    // place on the screen and becomes visible.
    view->OnInitialUpdate();
    m_pMainFrame->ActivateFrame();
    return true;
}

int CMorvaneApp::ExitInstance() {
    // Deleting the frame runs the view's OnDestroy before any control goes.
    m_pMainFrame.reset();
    m_pDoc.reset();
    return m_nExitCode;
}

void CMorvaneApp::OnAppAbout() {
    CAboutDlg dlg(m_pMainFrame.get());
    dlg.exec();
}

void CMorvaneApp::OnFileNew() {
    // The document holds nothing, so a new document changes nothing; the form keeps its state
    // (setting it up again would reopen the port).
}

void CMorvaneApp::OnFileOpen() {
    // The document has no file format: there is nothing to open.
}

void CMorvaneApp::OnRaiseRequest() {
    if (!m_pMainFrame) {
        return;
    }
    if (m_pMainFrame->isMinimized()) {
        m_pMainFrame->showNormal();
    }
    // A modal box in front of the frame (a message box, the about box) is what the operator
    // must see; otherwise the frame itself.
    QWidget* target = QApplication::activeModalWidget();
    if (target == nullptr) {
        target = m_pMainFrame.get();
    }
    target->raise();
    target->activateWindow();
}
