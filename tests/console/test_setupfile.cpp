// Where the console finds setup.ini: the working directory, then the user's configuration
// folder (under the temporary XDG_CONFIG_HOME that test_main sets), then the installed example
// beside the executable's folder; the first readable one wins.
#include "framework.h"
#include "profile_reader.h"
#include "setupfile.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

TEST(SetupFileSearch, FirstReadablePlaceWins) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const fs::path base = fs::path(root.path().toStdString());
    const fs::path work = base / "work";
    const fs::path config =
        fs::path(
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString()) /
        PROFILE_ORGANIZATION / PROFILE_APPLICATION;
    const fs::path share = base / "prefix" / "share" / "morvane";
    for (const fs::path& dir : {work, config, share, base / "prefix" / "bin"}) {
        fs::create_directories(dir);
    }
    const QString oldCwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(work.string())));

    const std::vector<fs::path> places =
        SetupFileSearchPath(QString::fromStdString((base / "prefix" / "bin").string()));
    ASSERT_EQ(places.size(), 3u);
    EXPECT_TRUE(fs::equivalent(places[0].parent_path(), work));
    EXPECT_EQ(places[1], config / "setup.ini");
    EXPECT_EQ(places[2], share / "setup.ini");

    // Which places hold a file (MODE names the place); a directory named setup.ini cannot be
    // read and is passed over.
    struct Case {
        const char* work;
        const char* config;
        const char* share;
        int used;
    };
    const Case cases[] = {
        {"1", "2", "3", 0},     {nullptr, "2", "3", 1}, {nullptr, nullptr, "3", 2},
        {"1", nullptr, "3", 0}, {"dir", "2", "3", 1},   {nullptr, nullptr, nullptr, -1},
    };
    for (const Case& c : cases) {
        const fs::path files[] = {work / "setup.ini", config / "setup.ini", share / "setup.ini"};
        const char* modes[] = {c.work, c.config, c.share};
        for (int i = 0; i < 3; ++i) {
            fs::remove_all(files[i]);
            if (modes[i] != nullptr && std::string(modes[i]) == "dir") {
                fs::create_directory(files[i]);
            } else if (modes[i] != nullptr) {
                std::ofstream(files[i]) << "[DDS_CLK_MODE]\nMODE=" << modes[i] << "\n";
            }
        }
        CProfileFile profile;
        const int used = SetupFileLoadFirst(profile, places);
        EXPECT_EQ(used, c.used) << "case " << (&c - cases);
        EXPECT_EQ(profile.GetString("DDS_CLK_MODE", "MODE"),
                  c.used < 0 ? "" : std::to_string(c.used + 1));
    }
    // The diagnostic names every place.
    const std::string text = SetupFilePlacesText(places);
    for (const fs::path& place : places) {
        EXPECT_NE(text.find(place.string()), std::string::npos) << text;
    }

    fs::remove_all(config);
    QDir::setCurrent(oldCwd);
}

} // namespace
