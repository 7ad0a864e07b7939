// The setups of "*SAV n" and "*RCL n" as channel-setup files (profile/channel_setup.h), one file
// a slot: setup-0.ini to setup-9.ini in a folder the host gives, by default the user's
// configuration folder for Morvane, where the console's setup.ini lives too.
//
// A file has [MODE] MULTI, the panel's rows [CH1] to [CH8] (channel indexes 0 to 3 and 8 to
// 11) and [IDX4] to [IDX7] for the channel indexes 4 to 7, which have no row on the panel:
// FREQ in MHz, AMP in percent, PHASE in degrees, ON. So a file the console saved (rows only)
// can be recalled, and a saved slot can be loaded into the console's panel, which ignores
// [IDX4] to [IDX7]. Recalling a file sets what it holds and leaves the rest (a missing section
// or key) as the server has it. Numbers are written with "." as the shortest texts that read
// back as the values kept; files are written to a temporary file and renamed, so a slot always
// holds a whole setup.
//
// Plain C++ without Qt.
#pragma once

#include "channel_setup.h"
#include "remote.h"

#include <filesystem>
#include <string>

class CRemoteFileSetupStore : public CRemoteSetupStore {
public:
    // folder is made (with its parents) when a setup is first saved.
    explicit CRemoteFileSetupStore(std::filesystem::path folder) : m_folder(std::move(folder)) {}

    const std::filesystem::path& Folder() const { return m_folder; }
    // folder/setup-<slot>.ini
    std::filesystem::path SlotPath(int slot) const;

    bool Save(int slot, const RemoteSetup& setup, std::string* error) override;
    Recalled Recall(int slot, RemoteSetup* setup, std::string* error) override;

private:
    std::filesystem::path m_folder;
};

// The channel setup of a remote setup (every part of the twelve channels and the mode).
ChannelSetup RemoteSetupToChannelSetup(const RemoteSetup& setup);
// Sets in *setup what file holds, box texts read as the console reads them; parts the file
// lacks are left as they are.
void RemoteSetupApply(const ChannelSetup& file, RemoteSetup* setup);

// The user's configuration folder for Morvane, the folder the console finds with Qt's
// GenericConfigLocation followed by Halvorn/Morvane: $XDG_CONFIG_HOME (when absolute) or
// ~/.config on Linux, ~/Library/Preferences on macOS, %LOCALAPPDATA% on Windows. Empty when
// the system names no home folder.
std::filesystem::path RemoteConfigFolder();
