// The operator console `morvane`.
#include "diag.h"
#include "morvane.h"
#include "morvanedlg.h"
#include "simhook.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    // Diagnostics go to standard output; a closed pipe there must not end the console.
    DiagIgnoreBrokenPipe();
    QApplication application(argc, argv);
    CMorvaneApp theApp;
    const int parsed = theApp.ParseCommandLine(QCoreApplication::arguments());
    if (parsed != CMorvaneApp::CONTINUE_STARTUP) {
        return parsed;
    }
    // The device name "sim" (--simulate, or DEVICE=sim in setup.ini) opens the built-in module
    // simulator where the platform has one.
    ConsoleRegisterSimulator();
    theApp.SetViewFactory([&theApp]() -> CFormView* {
        auto* form = new CMorvaneDlg;
        if (theApp.IsSimulate()) {
            form->SetDeviceOverride(QStringLiteral("sim"));
        }
        return form;
    });
    if (!theApp.InitInstance()) {
        return theApp.ExitInstance();
    }
    QApplication::exec();
    return theApp.ExitInstance();
}
