// The operator console `morvane`.
#include "morvane.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    CMorvaneApp theApp;
    const int parsed = theApp.ParseCommandLine(QCoreApplication::arguments());
    if (parsed != CMorvaneApp::CONTINUE_STARTUP) {
        return parsed;
    }
    if (!theApp.InitInstance()) {
        return theApp.ExitInstance();
    }
    QApplication::exec();
    return theApp.ExitInstance();
}
