// The file store of *SAV and *RCL: twelve channels through a file as they were, a file the
// console saved (its eight rows) recalled with the other channels left alone, and stores that
// cannot keep or give a setup failing with an error rather than succeeding.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "fake_remote_module.h"
#include "remote.h"
#include "remote_setup_store.h"

namespace fs = std::filesystem;

namespace {

class RemoteSetupStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        m_dir = fs::temp_directory_path() /
                ("morvane_setups_" + std::to_string(rd()) + "_" + std::to_string(rd()));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    void Write(const fs::path& path, const std::string& bytes) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // Runs line; returns its answer, or the first queued error when it has none.
    std::string Run(CRemoteEngine& engine, const std::string& line) {
        std::string answer;
        if (!engine.ExecuteLine(line, m_session, &answer)) {
            answer = m_session.PopError();
        }
        m_session.Clear();
        return answer;
    }
    fs::path m_dir;
    CRemoteSession m_session;
};

TEST_F(RemoteSetupStoreTest, TwelveChannelsComeBackExactlyFromTheFile) {
    // Values whose unit conversions (MHz, percent) are not exact in binary, as the server
    // makes them from clients' texts.
    RemoteSetup saved;
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        saved.channels[i] = {1000003.7 * (i + 1) + i / 3.0, 360.0 * i / 7.0,
                             (8.3 * i + 0.1) / 100.0, i % 2 == 0};
    }
    saved.single = false;
    CRemoteFileSetupStore store(m_dir / "new" / "folder"); // made on the first save
    std::string error;
    ASSERT_TRUE(store.Save(3, saved, &error)) << error;
    ASSERT_EQ(store.SlotPath(3), m_dir / "new" / "folder" / "setup-3.ini");

    // The panel's row CH5 is channel index 8; index 4 has a section of its own.
    const std::string text = Read(store.SlotPath(3));
    EXPECT_NE(text.find("[MODE]\r\nMULTI=1\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[CH5]\r\nFREQ=9.0000359"), std::string::npos) << text;
    EXPECT_NE(text.find("[IDX4]\r\nFREQ=5.0000198"), std::string::npos) << text;

    RemoteSetup back;
    ASSERT_EQ(store.Recall(3, &back, &error), CRemoteSetupStore::Recalled::Found) << error;
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(back.channels[i].freqHz, saved.channels[i].freqHz);
        EXPECT_EQ(back.channels[i].phaseDeg, saved.channels[i].phaseDeg);
        EXPECT_EQ(back.channels[i].amplitude, saved.channels[i].amplitude);
        EXPECT_EQ(back.channels[i].on, saved.channels[i].on);
    }
    EXPECT_FALSE(back.single);
    EXPECT_EQ(store.Recall(4, &back, &error), CRemoteSetupStore::Recalled::Empty);
}

TEST_F(RemoteSetupStoreTest, ConsoleFileRecallsItsRowsAndLeavesTheOtherChannels) {
    CFakeRemoteModule module;
    CRemoteEngine engine(module);
    CRemoteFileSetupStore store(m_dir);
    engine.SetSetupStore(&store);
    fs::create_directories(m_dir);
    ASSERT_EQ(Run(engine, "SOUR5:APPL 2MHZ,20,30;:SOUR2:APPL 3MHZ,40,50;:SOUR3:AMPL 60"),
              "0,\"No error\"");

    // As the console's File menu saves it: its eight rows, texts as typed; [CH2] and [CH3]
    // lack keys.
    ChannelSetup console;
    console.rows[0] = {" 12.5 ", "50", "", true};
    console.rows[1] = {std::nullopt, std::nullopt, std::nullopt, false};
    console.rows[2] = {"7", std::nullopt, std::nullopt, std::nullopt};
    console.rows[4] = {"4", "25", "45", true}; // CH5: channel 9
    console.multi = false;
    ASSERT_TRUE(ChannelSetupSave(store.SlotPath(2), console).ok());
    EXPECT_EQ(Read(store.SlotPath(2)).find("[IDX"), std::string::npos);

    EXPECT_EQ(Run(engine, "*RCL 2;:SOUR1:APPL?;:SOUR2:APPL?;:OUTP2?;:SOUR3:APPL?;:SOUR9:APPL?;"
                          ":SOUR5:APPL?;:SYST:MODE?"),
              "12500000,50,90;3000000,40,50;0;7000000,60,0;4000000,25,45;2000000,20,30;SING");
}

TEST_F(RemoteSetupStoreTest, StoresThatCannotKeepOrGiveASetupSaySo) {
    CFakeRemoteModule module;
    CRemoteEngine engine(module);
    Write(m_dir / "file", "not a folder");
    CRemoteFileSetupStore unwritable(m_dir / "file" / "setups");
    engine.SetSetupStore(&unwritable);
    const std::string saved = Run(engine, "*SAV 1");
    EXPECT_EQ(
        saved.rfind("-250,\"Mass storage error; setup 1 was not saved: cannot make the folder ", 0),
        0u)
        << saved;

    CRemoteFileSetupStore store(m_dir / "setups");
    engine.SetSetupStore(&store);
    fs::create_directories(store.SlotPath(5)); // a folder where the file should be
    Write(store.SlotPath(6), "[CH1]\r\nON=yes\r\n");
    Write(store.SlotPath(7), "[REMOTE]\r\nLISTEN=127.0.0.1:5025\r\n");
    const struct {
        int slot;
        const char* says;
    } bad[] = {{5, "cannot read "}, {6, "[CH1] ON=yes"}, {7, "is not a channel-setup file"}};
    for (const auto& b : bad) {
        const std::string answer = Run(engine, "*RCL " + std::to_string(b.slot));
        EXPECT_EQ(answer.rfind("-250,", 0), 0u) << answer;
        EXPECT_NE(answer.find(b.says), std::string::npos) << answer;
    }
    EXPECT_EQ(Run(engine, "*RCL 8").rfind("-256,", 0), 0u);
}

} // namespace
