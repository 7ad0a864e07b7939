// The form's setup file: what each kind of setup.ini leaves in the port settings, the clock
// mode and the 36 combo boxes, and which message the operator gets.
#include "test_morvanedlg_fixture.h"

#include "setupfile.h"
#include "simhook.h"

#include <QCoreApplication>
#include <QMessageBox>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

using namespace morvanedlg_test;

const QString NO_DEVICE = QStringLiteral("/nonexistent/morvane-test-tty");

// How the 36 combo boxes look after a reading.
enum class Lists {
    AllSelected,   // every list filled, first item shown
    AllEmpty,      // no lists, no text
    StopAtAmpCh05, // FREQ filled, AMP 0-3 filled, the rest empty; no text anywhere
};

struct SetupCase {
    const char* name;
    std::string text; // setup.ini bytes; "<missing>" for no file
    bool messageShown;
    int comPort;
    int baud;
    Lists lists;
};

class SetupFileTest : public MorvaneDlgTest, public ::testing::WithParamInterface<int> {};

std::vector<SetupCase> SetupCases() {
    const std::string full = SetupText("");
    const std::string portOnly = "[COM_PORT]\nCOM_PORT=7\nBAUDRATE=9600\n[DDS_CLK_MODE]\nMODE=5\n";
    std::string noise;
    std::mt19937 random(7);
    for (int k = 0; k < 4096; ++k) {
        noise.push_back(static_cast<char>(random() & 0xFF));
    }
    noise[10] = '\0';
    return {
        {"complete", full, false, 3, 115200, Lists::AllSelected},
        {"missing", "<missing>", true, 1, 115200, Lists::AllEmpty},
        {"empty", "", true, 1, 115200, Lists::AllEmpty},
        {"port sections only", portOnly, true, 7, 9600, Lists::AllEmpty},
        {"AMP without CH_05", ReplaceInSection(full, "AMP", "CH_05=100,50,25\n", ""), true, 3,
         115200, Lists::StopAtAmpCh05},
        {"AMP with an empty CH_05", ReplaceInSection(full, "AMP", "CH_05=100,50,25", "CH_05="),
         true, 3, 115200, Lists::StopAtAmpCh05},
        {"not text at all", noise, true, 1, 115200, Lists::AllEmpty},
        {"numbers that are not numbers",
         ReplaceLine(ReplaceLine(full, "COM_PORT=3", "COM_PORT=abc"), "BAUDRATE=115200",
                     "BAUDRATE= 12x"),
         false, 0, 12, Lists::AllSelected},
    };
}

TEST_P(SetupFileTest, ReadingLeavesPortSettingsListsAndMessage) {
    const SetupCase c = SetupCases().at(static_cast<std::size_t>(GetParam()));
    SCOPED_TRACE(c.name);
    if (c.text != "<missing>") {
        WriteSetup(c.text);
    }
    Open(NO_DEVICE);

    const auto& boxes = Boxes();
    ASSERT_GE(boxes.size(), 1u); // the port cannot open: the troubleshooting box comes last
    EXPECT_EQ(boxes.back().caption, QStringLiteral("確認串列埠設定"));
    if (c.messageShown) {
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].text, SetupFailedText());
        EXPECT_EQ(boxes[0].caption, QStringLiteral("Morvane"));
        EXPECT_EQ(boxes[0].icon, QMessageBox::Warning);
        EXPECT_EQ(boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    } else {
        EXPECT_EQ(boxes.size(), 1u);
    }
    EXPECT_EQ(m_form->ComPort(), c.comPort);
    EXPECT_EQ(m_form->BaudRate(), c.baud);

    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        switch (c.lists) {
        case Lists::AllSelected:
            EXPECT_EQ(Items(Freq(i)), QStringList({"10", "20", "50", "100"}));
            EXPECT_EQ(Freq(i)->currentText(), QStringLiteral("10"));
            EXPECT_EQ(Items(Amp(i)), QStringList({"100", "50", "25"}));
            EXPECT_EQ(Amp(i)->currentText(), QStringLiteral("100"));
            EXPECT_EQ(Items(Phase(i)), QStringList({"0", "90", "180", "270"}));
            EXPECT_EQ(Phase(i)->currentText(), QStringLiteral("0"));
            break;
        case Lists::AllEmpty:
            for (CCComboBox* combo : {Freq(i), Amp(i), Phase(i)}) {
                EXPECT_EQ(combo->count(), 0);
                EXPECT_EQ(combo->currentText(), QString());
            }
            break;
        case Lists::StopAtAmpCh05:
            EXPECT_EQ(Freq(i)->count(), 4);
            EXPECT_EQ(Amp(i)->count(), i < 4 ? 3 : 0);
            EXPECT_EQ(Phase(i)->count(), 0);
            for (CCComboBox* combo : {Freq(i), Amp(i), Phase(i)}) {
                EXPECT_EQ(combo->currentText(), QString());
            }
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Files, SetupFileTest,
                         ::testing::Range(0, static_cast<int>(SetupCases().size())),
                         [](const ::testing::TestParamInfo<int>& info) {
                             std::string name;
                             for (const char ch : std::string(
                                      SetupCases().at(static_cast<std::size_t>(info.param)).name)) {
                                 if (std::isalnum(static_cast<unsigned char>(ch)) != 0) {
                                     name += ch;
                                 } else {
                                     name += '_';
                                 }
                             }
                             return name;
                         });

TEST_F(MorvaneDlgTest, ListValuesAreSplitAtCommasAndCutAt79Characters) {
    std::string text = SetupText("");
    text = ReplaceInSection(text, "FREQ", "CH_01=10,20,50,100", "CH_01=10,,20");
    text = ReplaceInSection(text, "FREQ", "CH_02=10,20,50,100", "CH_02=10, 20 ,30");
    text = ReplaceInSection(text, "FREQ", "CH_03=10,20,50,100", "CH_03=,10,20");
    text = ReplaceInSection(text, "FREQ", "CH_04=10,20,50,100", "CH_04=10,20,");
    // 19 items of "1234," (95 characters): the 79 read end in the middle of the 16th item.
    std::string longList;
    for (int k = 0; k < 19; ++k) {
        longList += "1234,";
    }
    text = ReplaceInSection(text, "FREQ", "CH_09=10,20,50,100", "CH_09=" + longList);
    text = ReplaceInSection(text, "AMP", "CH_12=100,50,25", "CH_12=\"50,25\"");
    WriteSetup(text);
    Open(NO_DEVICE);

    EXPECT_EQ(Items(Freq(0)), QStringList({"10"}));
    EXPECT_EQ(Items(Freq(1)), QStringList({"10", " 20 ", "30"}));
    EXPECT_EQ(Items(Freq(2)), QStringList());
    EXPECT_EQ(Freq(2)->currentText(), QString());
    EXPECT_EQ(Items(Freq(3)), QStringList({"10", "20"}));
    QStringList cut(15, QStringLiteral("1234"));
    cut << QStringLiteral("1234").left(79 - 15 * 5);
    EXPECT_EQ(Items(Freq(8)), cut);
    EXPECT_EQ(Items(Amp(11)), QStringList({"50", "25"}));
    // All keys were there: no setup message.
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].caption, QStringLiteral("確認串列埠設定"));
}

TEST_F(MorvaneDlgTest, ClockModeDecidesTheInitialiseCommand) {
    const std::string device = SimDevice();
    struct Case {
        const char* mode; // "" for no MODE line
        int stored;
        const char* command; // nullptr: none sent
    };
    const Case cases[] = {
        {"0", 0, nullptr}, {"2", 2, "DI 2"}, {"9", 9, nullptr}, {"", 2, "DI 2"}, {"8", 8, "DI 8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        WriteSetup(SetupText(device, c.mode));
        m_sim.ClearReceived();
        DdsResetState();
        Open();
        EXPECT_TRUE(m_form->IsPortOpen());
        EXPECT_EQ(m_form->DdsClkMode(), c.stored);
        const std::string received = m_sim.Received();
        if (c.command != nullptr) {
            EXPECT_NE(received.find(std::string(c.command) + "\r"), std::string::npos) << received;
            EXPECT_GT(DdsModuleClocks.ddsClockHz, 0.0);
        } else {
            EXPECT_EQ(received.find("DI"), std::string::npos) << received;
            EXPECT_EQ(DdsModuleClocks.ddsClockHz, 0.0);
        }
        Close();
    }
}

TEST_F(MorvaneDlgTest, EveryOpenAndCloseReadsTheFileAgain) {
    const std::string device = SimDevice();
    WriteSetup(SetupText(device));
    Open();
    ASSERT_TRUE(m_form->IsPortOpen());

    // What the operator typed or chose is replaced by the first preset at the next reading.
    SetRow(0, QStringLiteral("33"), QStringLiteral("44"), QStringLiteral("55"));
    Freq(8)->setCurrentIndex(2);
    Command(ID_PORT_CLOSE);
    EXPECT_EQ(Freq(0)->currentText(), QStringLiteral("10"));
    EXPECT_EQ(Amp(0)->currentText(), QStringLiteral("100"));
    EXPECT_EQ(Phase(0)->currentText(), QStringLiteral("0"));
    EXPECT_EQ(Freq(8)->currentText(), QStringLiteral("10"));
    EXPECT_EQ(Freq(8)->count(), 4);

    // A later file without the port keys keeps the port settings read before; the clock mode
    // goes back to 2. New lists replace the old ones.
    std::string next = "[COM_PORT]\nDEVICE=" + device + "\n";
    next += SetupText("").substr(SetupText("").find("[DDS_CLK_MODE]"));
    next = ReplaceLine(next, "MODE=2\n", "");
    next = ReplaceInSection(next, "FREQ", "CH_01=10,20,50,100", "CH_01=7.5,8");
    WriteSetup(next);
    Command(ID_PORT_OPEN);
    EXPECT_TRUE(m_form->IsPortOpen());
    EXPECT_EQ(m_form->ComPort(), 3);
    EXPECT_EQ(m_form->BaudRate(), 115200);
    EXPECT_EQ(m_form->DdsClkMode(), 2);
    EXPECT_EQ(Items(Freq(0)), QStringList({"7.5", "8"}));
    EXPECT_EQ(Freq(0)->currentText(), QStringLiteral("7.5"));
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(MorvaneDlgTest, DeviceKeyNamesThePortAndFallsBackToTheNumber) {
    // With DEVICE the named device is opened; without it COM<n>, whose number the texts show.
    WriteSimSetup();
    Open();
    ASSERT_TRUE(m_form->IsPortOpen());
    EXPECT_EQ(m_form->Device().toStdString(), m_sim.SlavePath());
    EXPECT_EQ(Pane(), OpenedText(QString::fromStdString(m_sim.SlavePath())));

    WriteSetup(SetupText("", "2", "250")); // /dev/ttyS249 (POSIX) or COM250: not there
    Command(ID_PORT_CLOSE);
    EXPECT_TRUE(m_form->Device().isEmpty());
    EXPECT_EQ(Pane(), ClosedText(QStringLiteral("250")));
    Command(ID_PORT_OPEN);
    EXPECT_FALSE(m_form->IsPortOpen());
    EXPECT_EQ(Pane(), FailedText(QStringLiteral("250")));
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_TRUE(Boxes()[0].text.startsWith(QStringLiteral("無法開啟 [RS232] 串列埠[ 250 ] !\n")));
}

} // namespace

namespace {

using namespace morvanedlg_test;

TEST_F(MorvaneDlgTest, BaudRateThatIsNotANumberNeitherCrashesNorHangs) {
    // The rate becomes 0, which the serial layer cannot set; a pseudo-terminal has no rate, so
    // the open may succeed. Either way the form's state and the link agree.
    WriteSetup(ReplaceLine(SetupText(SimDevice()), "BAUDRATE=115200", "BAUDRATE=fast"));
    Open();
    EXPECT_EQ(m_form->BaudRate(), 0);
    EXPECT_EQ(m_form->IsPortOpen(), LinkIsOpen());
    const QString port = QString::fromStdString(m_sim.SlavePath());
    EXPECT_EQ(Pane(), m_form->IsPortOpen() ? OpenedText(port) : FailedText(port));
}

TEST_F(MorvaneDlgTest, SimulateOpensTheBuiltInModuleWhateverTheFileNames) {
    if (!ConsoleRegisterSimulator()) {
        GTEST_SKIP() << "no built-in simulator on this platform";
    }
    WriteSetup(SetupText("/nonexistent/tty", "2", "77"));
    Open(QStringLiteral("sim"));
    EXPECT_TRUE(m_form->IsPortOpen());
    EXPECT_EQ(Pane(), OpenedText(QStringLiteral("sim")));
    ASSERT_NE(SimInProcessInstance(), nullptr);
    EXPECT_EQ(SimInProcessInstance()->ClockMode(), 2);
    EXPECT_TRUE(Boxes().empty());
}

// No place of the search holds a readable file (each holds a directory named setup.ini): the
// setup box and 36 empty boxes, and a diagnostic line that names every place. A file in the
// configuration folder alone is found.
TEST_F(MorvaneDlgTest, NoReadableSetupFileInAnyPlaceGivesTheBoxAndEmptyBoxes) {
    namespace fs = std::filesystem;
    const std::vector<fs::path> places =
        SetupFileSearchPath(QCoreApplication::applicationDirPath());
    ASSERT_EQ(places.size(), 3u);
    std::vector<fs::path> made; // the directories this test made, removed at its end
    for (const fs::path& place : places) {
        std::error_code error;
        if (!fs::exists(place, error)) {
            fs::create_directories(place, error);
            made.push_back(place);
        }
        if (!fs::is_directory(place, error)) {
            GTEST_SKIP() << "a setup file is installed at " << place;
        }
    }

    ::testing::internal::CaptureStderr();
    Open(NO_DEVICE);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(Boxes().size(), 2u); // the setup box, then the troubleshooting box
    EXPECT_EQ(Boxes()[0].text, SetupFailedText());
    for (int i = 0; i < 12; ++i) {
        for (CCComboBox* combo : {Freq(i), Amp(i), Phase(i)}) {
            EXPECT_EQ(combo->count(), 0);
            EXPECT_EQ(combo->currentText(), QString());
        }
    }
    EXPECT_NE(err.find("no readable setup.ini"), std::string::npos) << err;
    for (const fs::path& place : places) {
        EXPECT_NE(err.find(place.string()), std::string::npos) << err;
    }
    Close();

    fs::remove(places[1]);
    std::ofstream(places[1]) << SetupText("");
    m_boxes->Clear();
    Open(NO_DEVICE);
    EXPECT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Freq(11)->currentText(), QStringLiteral("10"));
    Close();

    fs::remove(places[1]);
    for (const fs::path& dir : made) {
        std::error_code error;
        fs::remove(dir, error);
    }
}

} // namespace
