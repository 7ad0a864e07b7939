// The operator console `morvane`.
#include "cmdline.h"
#include "diag.h"
#include "framework.h"
#include "mainfrm.h"
#include "morvane.h"
#include "morvanedlg.h"
#include "remoteserver.h"
#include "simhook.h"
#include "startuptrace.h"
#include "translation.h"

#include <QApplication>
#include <QTimer>
#include <QTranslator>

#include <memory>

int main(int argc, char* argv[]) {
    StartupMark("main");
    // Diagnostics go to standard output; a closed pipe there must not end the console.
    DiagIgnoreBrokenPipe();

    // The command line is read before the GUI starts: help, version and a bad option need no
    // display.
    const ConsoleArguments arguments = ConsoleReadArguments(ConsoleArgumentList(argc, argv));
    ConsolePrint(stdout, arguments.out);
    ConsolePrint(stderr, arguments.err);
    if (arguments.exitCode != ConsoleArguments::CONTINUE_STARTUP) {
        return arguments.exitCode;
    }

    QApplication application(argc, argv);
    FwPreferTraditionalFaces();
    StartupMark("application");
    CMorvaneApp theApp;
    theApp.SetCommandLineInfo(arguments.info);
    // The language is chosen before any widget exists, so that every text is created in it.
    // setup.ini may live in the organisation's configuration folder: name it first.
    QCoreApplication::setOrganizationName(QString::fromLatin1(PROFILE_ORGANIZATION));
    QTranslator translator;
    ConsoleInstallTranslator(translator, ConsoleChosenLanguage(arguments.info.m_strLanguage));
    // The device name "sim" (--simulate, or DEVICE=sim in setup.ini) opens the built-in module
    // simulator where the platform has one.
    ConsoleRegisterSimulator();
    StartupMark("language");
    CMorvaneDlg* form = nullptr;
    theApp.SetViewFactory([&theApp, &form]() -> CFormView* {
        form = new CMorvaneDlg;
        if (theApp.IsSimulate()) {
            form->SetDeviceOverride(QStringLiteral("sim"));
        }
        form->SetKeepOutputs(theApp.GetCommandLineInfo().m_bKeepOutputs);
        return form;
    });
    if (!theApp.InitInstance()) {
        return theApp.ExitInstance();
    }
    // --serve or LISTEN= in setup.ini: the module is served to SCPI clients as well. When that
    // cannot be done the console runs without it, and says why.
    QString error;
    std::unique_ptr<CRemoteServer> server = ConsoleStartRemote(*form, arguments.info, &error);
    if (server) {
        ConsolePrint(stdout,
                     QStringLiteral("morvane: serving on %1\n").arg(server->EndpointText()));
        // VXI-11 needs the system's rpcbind; without it the raw server goes on alone.
        if (server->WantsVxi11()) {
            QString why;
            if (server->StartVxi11(&why)) {
                ConsolePrint(stdout, QStringLiteral("morvane: VXI-11 on core port %1\n")
                                         .arg(server->Vxi11CorePort()));
            } else {
                ConsolePrint(stderr,
                             QStringLiteral("morvane: VXI-11 off (%1): serving raw sockets only\n")
                                 .arg(why));
            }
        }
    } else if (!error.isEmpty()) {
        ConsolePrint(stderr, QStringLiteral("morvane: %1\n").arg(error));
        // The reason comes from the address rules shared with morvane-cli, in their words.
        MorvaneMessageBox(theApp.GetMainFrame(),
                          QCoreApplication::translate("CRemoteServer", "遠端控制 (SCPI)"),
                          QCoreApplication::translate("CRemoteServer", "無法提供遠端控制：") +
                              QLatin1Char('\n') + error,
                          QMessageBox::Warning);
    }
    QTimer::singleShot(0, [] { StartupMark("loop"); });
    QApplication::exec();
    server.reset(); // before the form goes
    return theApp.ExitInstance();
}
