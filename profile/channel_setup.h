// Channel setup files: the eight rows of the channel panel (three box texts and the switch
// state each) and the mode, saved to and loaded from an INI file that the private-profile
// reader reads.
//
//   [MODE]
//   MULTI=0          ; 1: multiple-channel setting (sent with one update), 0: single
//   [CH1]            ; [CH1] to [CH8]: the panel's rows as labelled
//   FREQ=10          ; the box texts as shown: MHz, percent, degrees
//   AMP=50
//   PHASE=0
//   ON=1             ; 1: the channel is on
//
// Rows CH1 to CH4 are channel indexes 0 to 3, rows CH5 to CH8 channel indexes 8 to 11 (the
// panel's rows, which messages number channels 9 to 12). A missing section or key leaves that
// part alone; a file without any of the sections is not a setup file.
//
// The channel indexes 4 to 7, which have no row on the panel (SCPI channels SOURce5 to
// SOURce8), may follow in the sections [IDX4] to [IDX7], with the same keys. They are named
// by channel index so that they cannot be taken for the rows CH5 to CH8. The console's channel
// setups neither write nor apply them (its panel has no such rows); the server's "*SAV" writes
// them and its "*RCL" reads them. They do not make a file a setup file on their own.
//
// Plain C++ without Qt, shared by the console and morvane-cli.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>

inline constexpr int CHANNEL_SETUP_ROWS = 8;
inline constexpr int CHANNEL_SETUP_HIDDEN = 4; // channel indexes 4 to 7, without a panel row

// The channel index a row (0 to 7 for CH1 to CH8) drives; -1 for any other row.
int ChannelSetupRowIndex(int row);
// "CH1" to "CH8": the section of a row.
std::string ChannelSetupSection(int row);
// The channel index of a hidden section (0 to 3 for [IDX4] to [IDX7]): 4 to 7; -1 for others.
int ChannelSetupHiddenIndex(int hidden);
// "IDX4" to "IDX7": the section of a hidden channel.
std::string ChannelSetupHiddenSection(int hidden);

struct ChannelSetupRow {
    // Each part is empty (std::nullopt) when the file lacks its key.
    std::optional<std::string> freq;
    std::optional<std::string> amp;
    std::optional<std::string> phase;
    std::optional<bool> on;
};

struct ChannelSetup {
    std::array<ChannelSetupRow, CHANNEL_SETUP_ROWS> rows;
    // [IDX4] to [IDX7]; a hidden channel without any part is not written.
    std::array<ChannelSetupRow, CHANNEL_SETUP_HIDDEN> hidden;
    std::optional<bool> multi;
};

enum class ChannelSetupError {
    None,
    Unreadable,   // missing, not a regular file, or cannot be read
    NotSetupFile, // none of the sections [MODE], [CH1] to [CH8]
    BadFlag,      // ON or MULTI other than 0 or 1 (detail: "[CH3] ON=yes")
    WriteFailed,  // the file (or its temporary file) could not be written or renamed
};

struct ChannelSetupResult {
    ChannelSetupError error = ChannelSetupError::None;
    std::string detail; // what was wrong, for the message
    bool ok() const { return error == ChannelSetupError::None; }
};

// Reads a setup file into setup. On any error setup is left as it was.
ChannelSetupResult ChannelSetupLoad(const std::filesystem::path& path, ChannelSetup& setup);

// The file text of a setup (CR LF line ends, UTF-8): parts without a value are left out.
// Values that the reader would change (leading or trailing blanks, wrapping quotes) are
// quoted; CR, LF and NUL, which no value can carry, become blanks.
std::string ChannelSetupText(const ChannelSetup& setup);

// Writes the setup atomically: to a temporary file in the same folder, then renamed over path,
// so that a failed or interrupted write never replaces a good file.
ChannelSetupResult ChannelSetupSave(const std::filesystem::path& path, const ChannelSetup& setup);

// The values a row's box texts stand for, read as the console reads its boxes: the number at
// the start of the text ("." as the decimal point); an empty or missing text gives 0 MHz, 100 %
// and 90 degrees.
struct ChannelSetupValues {
    double freqHz = 0.0;
    double phaseDeg = 90.0;
    double amplitude = 1.0; // fraction of full scale
};
ChannelSetupValues ChannelSetupRowValues(const ChannelSetupRow& row);
