// Where the console finds setup.ini. Started from a desktop menu the working directory is the
// user's home, so the console looks in three places, in this order:
//   1. setup.ini in the working directory;
//   2. setup.ini in the user's configuration folder, Qt's AppConfigLocation for the
//      organisation "Halvorn" and the application "Morvane" (~/.config/Halvorn/Morvane on
//      Linux, the local application-data folder on Windows);
//   3. the example installed with the programs, <executable's folder>/../share/morvane/setup.ini.
#pragma once

#include <QString>

#include <filesystem>
#include <string>
#include <vector>

class CProfileFile;

// The user's configuration folder of place 2 (also the folder of the server's "*SAV" setups).
std::filesystem::path SetupFileConfigFolder();

// The three places, in search order; exeDir is the folder of the running executable.
std::vector<std::filesystem::path> SetupFileSearchPath(const QString& exeDir);

// Loads the first of places that can be read (CProfileFile::Load) into profile and returns its
// index, or -1, leaving profile empty, when none can.
int SetupFileLoadFirst(CProfileFile& profile, const std::vector<std::filesystem::path>& places);

// "looked in: A, B, C" for a diagnostic line.
std::string SetupFilePlacesText(const std::vector<std::filesystem::path>& places);
