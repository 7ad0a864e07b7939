// The file store of *SAV and *RCL: twelve channels through a file as they were, a file the
// console saved (its eight rows) recalled with the other channels left alone, and stores that
// cannot keep or give a setup failing with an error rather than succeeding.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "fake_remote_module.h"
#include "remote_setup_store.h"

namespace fs = std::filesystem;

namespace {

class RemoteSetupStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        m_dir = fs::temp_directory_path() / ("morvane_setups_" + std::to_string(rd()));
        fs::create_directories(m_dir);
        m_engine.SetSetupStore(&m_store);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    // Runs line; returns its answer, or the first queued error when it has none.
    std::string Run(const std::string& line) {
        std::string answer;
        if (!m_engine.ExecuteLine(line, m_session, &answer)) {
            answer = m_session.PopError();
        }
        m_session.Clear();
        return answer;
    }
    fs::path m_dir;
    CRemoteFileSetupStore m_store{fs::path()};
    CFakeRemoteModule m_module;
    CRemoteEngine m_engine{m_module};
    CRemoteSession m_session;
};

TEST_F(RemoteSetupStoreTest, TwelveChannelsComeBackExactlyFromTheFile) {
    // Values whose units (MHz, percent) are not exact in binary, as clients' texts give them.
    RemoteSetup saved;
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        saved.channels[i] = {1000003.7 * (i + 1) + i / 3.0, 360.0 * i / 7.0,
                             (8.3 * i + 0.1) / 100.0, i % 2 == 0};
    }
    saved.single = false;
    CRemoteFileSetupStore store(m_dir / "new" / "folder"); // made on the first save
    std::string error;
    ASSERT_TRUE(store.Save(3, saved, &error)) << error;
    std::ifstream in(m_dir / "new" / "folder" / "setup-3.ini", std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // The panel's row CH5 is channel index 8; index 4 has a section of its own.
    for (const char* part :
         {"[MODE]\r\nMULTI=1\r\n", "[CH5]\r\nFREQ=9.0000359", "[IDX4]\r\nFREQ=5.0000198"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
    }
    RemoteSetup back;
    ASSERT_EQ(store.Recall(3, &back, &error), CRemoteSetupStore::Recalled::Found) << error;
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        const RemoteChannel &a = back.channels[i], &b = saved.channels[i];
        EXPECT_TRUE(a.freqHz == b.freqHz && a.phaseDeg == b.phaseDeg &&
                    a.amplitude == b.amplitude && a.on == b.on)
            << i;
    }
    EXPECT_FALSE(back.single);
}

TEST_F(RemoteSetupStoreTest, ConsoleFileRecallsItsRowsAndLeavesTheOtherChannels) {
    m_store = CRemoteFileSetupStore(m_dir);
    Run("SOUR5:APPL 2MHZ,20,30;:SOUR2:APPL 3MHZ,40,50;:SOUR3:AMPL 60");
    // As the console saves it: its eight rows, texts as typed; [CH2] and [CH3] lack keys.
    ChannelSetup console;
    console.rows[0] = {" 12.5 ", "50", "", true};
    console.rows[1] = {std::nullopt, std::nullopt, std::nullopt, false};
    console.rows[2] = {"7", std::nullopt, std::nullopt, std::nullopt};
    console.rows[4] = {"4", "25", "45", true}; // CH5: channel 9
    console.multi = false;
    ASSERT_TRUE(ChannelSetupSave(m_store.SlotPath(2), console).ok());
    EXPECT_EQ(Run("*RCL 2;:SOUR1:APPL?;:SOUR2:APPL?;:OUTP2?;:SOUR3:APPL?;:SOUR9:APPL?;"
                  ":SOUR5:APPL?;:SYST:MODE?"),
              "12500000,50,90;3000000,40,50;0;7000000,60,0;4000000,25,45;2000000,20,30;SING");
}

TEST_F(RemoteSetupStoreTest, StoresThatCannotKeepOrGiveASetupSaySo) {
    std::ofstream(m_dir / "file") << "not a folder";
    m_store = CRemoteFileSetupStore(m_dir / "file" / "setups");
    EXPECT_EQ(Run("*SAV 1").rfind("-250,\"Mass storage error; setup 1 was not saved: cannot make "
                                  "the folder ",
                                  0),
              0u);

    m_store = CRemoteFileSetupStore(m_dir);
    fs::create_directories(m_store.SlotPath(5)); // a folder where the file should be
    std::ofstream(m_store.SlotPath(6)) << "[CH1]\nON=yes\n";
    std::ofstream(m_store.SlotPath(7)) << "[REMOTE]\nLISTEN=127.0.0.1:5025\n";
    const struct {
        const char* line;
        const char* code;
        const char* says;
    } bad[] = {{"*RCL 5", "-250,", "could not be read: cannot read "},
               {"*RCL 6", "-250,", "setup-6.ini: [CH1] ON=yes"},
               {"*RCL 7", "-250,", "setup-7.ini is not a channel-setup file"},
               {"*RCL 8", "-256,", "no setup saved as 8"}};
    for (const auto& b : bad) {
        const std::string answer = Run(b.line);
        EXPECT_TRUE(answer.rfind(b.code, 0) == 0 && answer.find(b.says) != std::string::npos)
            << answer;
    }
}

} // namespace
