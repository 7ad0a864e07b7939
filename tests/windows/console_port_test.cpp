// The console's form as a Windows program on a real COM port: the Win32 serial backend under
// the form, against a module whose registers the test can read (under Wine: qmtrv-sim on a
// pseudo-terminal mapped to the port, started with --state-file; see scripts/test-windows).
//
//   MORVANE_TEST_CONSOLE_PORT   the port's number (11 for COM11)
//   MORVANE_TEST_STATE_FILE     the simulator's state file, as a Windows path
// A test whose variable is not given skips with the reason.
#include "dds.h"
#include "framework.h"
#include "mainfrm.h"
#include "morvanedlg.h"
#include "resource.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

namespace {

// The count of commands and the clock mode the simulator's state file reports.
struct ModuleSummary {
    long commands = -1;
    int mode = 0;
    std::string channel0; // the "applied 0 ..." line's words after the channel
};

ModuleSummary ReadSummary(const char* path) {
    ModuleSummary summary;
    std::ifstream in(path);
    std::string word;
    while (in >> word) {
        if (word == "commands") {
            in >> summary.commands;
        } else if (word == "mode") {
            in >> summary.mode;
        } else if (word == "applied") {
            int channel = -1;
            std::string rest;
            in >> channel;
            std::getline(in, rest);
            if (channel == 0) {
                summary.channel0 = rest;
            }
        } else {
            std::getline(in, word); // a pending line
        }
    }
    return summary;
}

class ConsolePortTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* port = std::getenv("MORVANE_TEST_CONSOLE_PORT");
        m_state = std::getenv("MORVANE_TEST_STATE_FILE");
        if (port == nullptr || *port == '\0' || m_state == nullptr || *m_state == '\0') {
            GTEST_SKIP() << "MORVANE_TEST_CONSOLE_PORT and MORVANE_TEST_STATE_FILE name no module";
        }
        m_port = port;
        ASSERT_TRUE(m_work.isValid());
        m_oldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(m_work.path()));
        m_boxes = std::make_unique<CMessageBoxRecorder>();
        DdsResetState();
    }

    void TearDown() override {
        m_frame.reset();
        if (!m_oldCwd.isEmpty()) {
            QDir::setCurrent(m_oldCwd);
        }
        DdsResetState();
    }

    // Writes a setup file naming the port with clock mode 3 and starts the form on it.
    void Open() {
        QByteArray text = "[COM_PORT]\r\nCOM_PORT=" + QByteArray(m_port.c_str()) +
                          "\r\nBAUDRATE=115200\r\n[DDS_CLK_MODE]\r\nMODE=3\r\n";
        for (const char* section : {"FREQ", "AMP", "PHASE"}) {
            text += QByteArray("[") + section + "]\r\n";
            for (int c = 1; c <= 12; ++c) {
                text +=
                    QByteArray("CH_") + (c < 10 ? "0" : "") + QByteArray::number(c) + "=10,50\r\n";
            }
        }
        QFile setup(QStringLiteral("setup.ini"));
        ASSERT_TRUE(setup.open(QIODevice::WriteOnly));
        setup.write(text);
        setup.close();
        m_frame = std::make_unique<CMainFrame>();
        ASSERT_TRUE(m_frame->Create());
        m_form = new CMorvaneDlg;
        m_frame->SetView(m_form);
        m_form->OnInitialUpdate();
        m_frame->show();
    }

    std::string m_port;
    const char* m_state = nullptr;
    QTemporaryDir m_work;
    QString m_oldCwd;
    std::unique_ptr<CMessageBoxRecorder> m_boxes;
    std::unique_ptr<CMainFrame> m_frame;
    CMorvaneDlg* m_form = nullptr;
};

// Start-up opens \\.\COMn, probes the module and initialises it with the setup's clock mode;
// the status line says the port is open; a click on a row's switch sets the module's channel.
TEST_F(ConsolePortTest, OpensTheNamedPortInitialisesTheModuleAndSetsAChannel) {
    const long before = ReadSummary(m_state).commands;
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_TRUE(m_form->IsPortOpen());
    EXPECT_TRUE(m_boxes->Records().empty());
    EXPECT_EQ(m_frame->GetPaneText(0),
              QStringLiteral(" 狀態 : [RS232] 串列埠[ %1 ] 已開啟").arg(m_port.c_str()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ReadSummary(m_state).commands > before; }, 5000));
    EXPECT_EQ(ReadSummary(m_state).mode, 3);

    auto* button = GetDlgItem<QPushButton>(m_form, CMorvaneDlg::IDC_SWITCH_FIRST + 0 /* row CH1 */);
    ASSERT_NE(button, nullptr);
    const long initialised = ReadSummary(m_state).commands;
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ReadSummary(m_state).commands > initialised; }, 5000));
    EXPECT_TRUE(m_boxes->Records().empty());
    EXPECT_NE(ReadSummary(m_state).channel0.find(" 1"), std::string::npos)
        << "channel 0 is not on: " << ReadSummary(m_state).channel0;
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
