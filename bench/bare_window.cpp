// The reference for the console's start-up figures: a bare Qt window with one label of CJK
// text. It reports the moment its event loop runs the way the console reports its opened
// status text ("morvane-startup: opened <ns since the epoch>" on standard error), so that
// bench/startup.sh measures both alike (BENCH_STARTUP_EXE=.../bench_bare_window).
#include <QApplication>
#include <QLabel>
#include <QTimer>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QLabel label(QStringLiteral(" 狀態 : [RS232] 串列埠[ sim ] 已開啟"));
    label.show();
    QTimer::singleShot(0, [] {
        const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::system_clock::now().time_since_epoch());
        std::fprintf(stderr, "morvane-startup: opened %lld\n", static_cast<long long>(now.count()));
        std::fflush(stderr);
    });
    return QApplication::exec();
}
