// Channel setup files: what the reader tells apart (missing, empty), the round trip of texts the
// reader would otherwise change, refused files, and the atomic save.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "channel_setup.h"
#include "profile_reader.h"

namespace fs = std::filesystem;

namespace {

class ChannelSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        m_dir = fs::temp_directory_path() /
                ("morvane_chsetup_" + std::to_string(rd()) + "_" + std::to_string(rd()));
        ASSERT_TRUE(fs::create_directories(m_dir));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    fs::path Write(const std::string& bytes, const std::string& name = "ch.ini") {
        const fs::path path = m_dir / name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
        return path;
    }
    static std::string Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    fs::path m_dir;
};

TEST_F(ChannelSetupTest, HasSectionAndHasKeyTellMissingFromEmpty) {
    CProfileFile f;
    f.LoadBytes("[A]\nX=\n; Y=1\n[B]\n[a]\nY=2\n");
    struct Row {
        const char* section;
        const char* key; // nullptr: HasSection
        bool expected;
    } rows[] = {
        {"A", nullptr, true}, {"b", nullptr, true}, {"C", nullptr, false},
        {"A", "X", true},     {"A", "Y", false}, // a comment, and the later [a] is never consulted
        {"B", "X", false},
    };
    for (const Row& r : rows) {
        const bool got = r.key == nullptr ? f.HasSection(r.section) : f.HasKey(r.section, r.key);
        EXPECT_EQ(got, r.expected) << r.section << " " << (r.key ? r.key : "-");
    }
}

TEST_F(ChannelSetupTest, SaveAndLoadRoundTripKeepsTextsAndMissingParts) {
    ChannelSetup setup;
    setup.multi = true;
    setup.rows[0] = {"12.5", "50", "0", true};
    setup.rows[1] = {" 10 ", "\"q\"", "'x'", false}; // blanks and quotes the reader would drop
    setup.rows[2] = {"", "", "", false};             // empty boxes stay empty, not missing
    setup.rows[7] = {"a\r\nb", std::nullopt, "90", std::nullopt};
    const fs::path path = m_dir / "setup one.ini";
    ASSERT_TRUE(ChannelSetupSave(path, setup).ok());

    ChannelSetup loaded;
    ASSERT_TRUE(ChannelSetupLoad(path, loaded).ok());
    EXPECT_EQ(loaded.multi, std::optional<bool>(true));
    for (int row = 0; row < 7; ++row) {
        const auto& a = setup.rows[static_cast<std::size_t>(row)];
        const auto& b = loaded.rows[static_cast<std::size_t>(row)];
        EXPECT_EQ(a.freq, b.freq) << row;
        EXPECT_EQ(a.amp, b.amp) << row;
        EXPECT_EQ(a.phase, b.phase) << row;
        EXPECT_EQ(a.on, b.on) << row;
    }
    EXPECT_EQ(loaded.rows[7].freq, std::optional<std::string>("a  b")); // no line break survives
    EXPECT_FALSE(loaded.rows[7].amp.has_value());
    EXPECT_FALSE(loaded.rows[7].on.has_value());

    // Saved again over the good file: replaced, and no temporary file is left in the folder.
    setup.rows[0].freq = "20";
    ASSERT_TRUE(ChannelSetupSave(path, setup).ok());
    ASSERT_TRUE(ChannelSetupLoad(path, loaded).ok());
    EXPECT_EQ(loaded.rows[0].freq, std::optional<std::string>("20"));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 1);

    // A save that cannot be written leaves nothing behind.
    const ChannelSetupResult bad = ChannelSetupSave(m_dir / "no such dir" / "x.ini", setup);
    EXPECT_EQ(bad.error, ChannelSetupError::WriteFailed);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 1);
}

TEST_F(ChannelSetupTest, RefusedFilesLeaveTheSetupAlone) {
    struct Row {
        const char* bytes; // nullptr: no file
        ChannelSetupError error;
        const char* detail;
    } rows[] = {
        {nullptr, ChannelSetupError::Unreadable, ""},
        {"hello\nworld\n", ChannelSetupError::NotSetupFile, ""},
        {"[COM_PORT]\nCOM_PORT=3\n", ChannelSetupError::NotSetupFile, ""},
        {"[CH3]\nON=yes\n", ChannelSetupError::BadFlag, "[CH3] ON=yes"},
        {"[MODE]\nMULTI=2\n[CH1]\nON=1\n", ChannelSetupError::BadFlag, "[MODE] MULTI=2"},
    };
    for (const Row& r : rows) {
        const fs::path path = r.bytes ? Write(r.bytes) : m_dir / "missing.ini";
        ChannelSetup setup;
        setup.rows[0].freq = "keep";
        const ChannelSetupResult result = ChannelSetupLoad(path, setup);
        EXPECT_EQ(result.error, r.error) << (r.bytes ? r.bytes : "missing");
        if (*r.detail != '\0') {
            EXPECT_EQ(result.detail, r.detail);
        }
        EXPECT_EQ(setup.rows[0].freq, std::optional<std::string>("keep"));
    }
    // The example in config/ is a setup file.
    ChannelSetup example;
    EXPECT_TRUE(ChannelSetupLoad(fs::path(MORVANE_CONFIG_DIR) / "channels.ini", example).ok());
}

} // namespace
