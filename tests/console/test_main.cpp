// Test entry point: a QApplication around GoogleTest, with the profile moved into a temporary
// folder of this process (Qt follows XDG_CONFIG_HOME), so no test reads or writes the user's
// own profile and processes started by a test find the same one. Listing the tests (CTest's
// discovery at build time) needs no application and no display.
#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) {
        return RUN_ALL_TESTS();
    }
    QTemporaryDir profileHome;
    if (!profileHome.isValid()) {
        return 2;
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(profileHome.path()));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
