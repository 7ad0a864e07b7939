// The application: start-up, the single-copy rule, the commands the application routes
// (the about box, new and open) and the end.
//
// main() reads the command line, creates the QApplication and then one CMorvaneApp, hands it
// what the command line asked for, runs InitInstance and, when that succeeds, the event loop;
// ExitInstance gives the exit code.
#pragma once

#include "cmdline.h"
#include "singlecopy.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>

class CFormView;
class CMainFrame;
class CMorvaneDoc;

class CMorvaneApp : public QObject {
    Q_OBJECT

public:
    using ViewFactory = std::function<CFormView*()>;

    // Exit codes of a start-up that ends early.
    static constexpr int EXIT_OK = 0;
    static constexpr int EXIT_FAILURE_CODE = 1;
    // ParseCommandLine: go on with start-up.
    static constexpr int CONTINUE_STARTUP = ConsoleArguments::CONTINUE_STARTUP;

    explicit CMorvaneApp(QObject* parent = nullptr);
    ~CMorvaneApp() override;

    // The one application object, or nullptr.
    static CMorvaneApp* Instance();

    // Reads the options of CONSOLE_OPTIONS (ConsoleReadArguments) and prints what they ask
    // for. Returns CONTINUE_STARTUP, or the exit code when the program should end now (help or
    // version printed: 0; a bad option: 1).
    int ParseCommandLine(const QStringList& arguments);

    // What main() read from the command line before the application existed.
    void SetCommandLineInfo(const CCommandLineInfo& info) { m_cmdInfo = info; }

    // Start-up. False: the program ends with ExitInstance()'s code (0 when a running copy
    // was raised, 1 when the frame could not be made).
    bool InitInstance();

    // Destroys the frame (the view's OnDestroy first) and the document, gives up the
    // single-copy name and returns the exit code.
    int ExitInstance();

    // The view the frame hosts is made by this factory (default: an empty CFormView).
    void SetViewFactory(ViewFactory factory) { m_viewFactory = std::move(factory); }

    CMainFrame* GetMainFrame() const { return m_pMainFrame.get(); }
    CMorvaneDoc* GetDocument() const { return m_pDoc.get(); }
    const CCommandLineInfo& GetCommandLineInfo() const { return m_cmdInfo; }
    bool IsSimulate() const { return m_cmdInfo.m_bSimulate; }
    const CSingleCopy& GetSingleCopy() const { return m_singleCopy; }

    // Command handlers.
    void OnAppAbout();
    void OnFileNew();
    void OnFileOpen();

    // A later copy asked this one to come to the front.
    void OnRaiseRequest();

private:
    bool CreateDocumentFrameAndView();

    CCommandLineInfo m_cmdInfo;
    CSingleCopy m_singleCopy;
    ViewFactory m_viewFactory;
    std::unique_ptr<CMorvaneDoc> m_pDoc;
    std::unique_ptr<CMainFrame> m_pMainFrame;
    int m_nExitCode = EXIT_OK;
};
