// Reading setup.ini: a private-profile (Windows .ini) reader with the platform's semantics, the
// preset-list split of the channel entry fields, and the setup file's path and key names.
//
// Plain C++ without Qt, so that the console, tools and fuzzers share it.
//
// File format, as the platform's private-profile reading sees it:
//   - A line whose first non-blank character is '[' and which contains a ']' heads a section;
//     the name is the text between the '[' and the last ']' of the line, blanks trimmed. Text
//     after that ']' is ignored. A '[' line without ']' is an ordinary line.
//   - Inside a section, a line "key=value" is an entry: the key is the text before the first
//     '=', the value the text after it, both with blanks trimmed. Lines without '=', lines whose
//     first non-blank character is ';' (comments) and lines before the first section header are
//     ignored. A ';' later in a line is part of the value (no trailing comments).
//   - Section and key names compare case-insensitively for ASCII letters; other characters
//     must match exactly.
//   - The first match wins: a lookup uses the first section header with the requested name and
//     looks only inside that section, up to the next header of any name; a later section of
//     the same name is never consulted, not even for keys the first one lacks. Inside the
//     section the first entry with the key wins.
//   - Blanks are space, tab, CR, vertical tab and form feed.
//   - A value wrapped in matching single or double quotes (at least two characters, the first
//     and the last the same quote) loses them; blanks inside the quotes stay.
//   - A NUL character ends the value (the platform hands values back as terminated strings).
//   - Lines end with LF, CR LF or a lone CR.
//   - A value is cut to PROFILE_VALUE_MAX_UNITS UTF-16 code units, the 80-character buffer the
//     console reads into less its terminator. A character outside the Basic Multilingual Plane
//     counts two units and is never split: when it does not fit, the value ends before it.
//   - A missing or unreadable file, and anything that is not a regular file, reads as no
//     characters for every key. GetString does not tell missing and empty values apart
//     (HasKey does).
//
// Encodings: UTF-8 with or without a byte order mark; UTF-16LE and UTF-16BE with their byte
// order marks (FF FE, FE FF); UTF-16LE without a mark when its first 4 KiB look like it (more
// than half of the 16-bit units are ASCII characters, hardly any has a zero low byte).
// UTF-16BE without a mark is read as UTF-8. Malformed input never fails: each byte that does
// not start a well-formed UTF-8 sequence, each unpaired surrogate and a dangling odd byte of a
// UTF-16 file reads as U+FFFD. Results are always well-formed UTF-8.
//
// Size: only the first PROFILE_FILE_MAX_BYTES bytes of a file are read; the rest is ignored.
// Each lookup scans the file text once (linear time, no per-lookup allocation beyond the
// result), so even a file at the cap with megabyte lines is read in bounded time.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// Longest value handed back, in UTF-16 code units (80-character buffer with its terminator).
inline constexpr std::size_t PROFILE_VALUE_MAX_UNITS = 79;

// Bytes of a file that are read at most (16 MiB); the rest is ignored.
inline constexpr std::size_t PROFILE_FILE_MAX_BYTES = 16u * 1024u * 1024u;

// A private-profile file loaded into memory once, to read many values from. Load it again (or
// make a new one) to see changes to the file: nothing is cached between loads.
class CProfileFile {
public:
    // An empty profile: every lookup gives "".
    CProfileFile() = default;

    // Loads the file at path (see Load).
    explicit CProfileFile(const std::filesystem::path& path) { Load(path); }

    // Replaces the contents with the file at path. Returns false, leaving the profile empty,
    // when the file is missing, not a regular file or cannot be read.
    bool Load(const std::filesystem::path& path);

    // Replaces the contents with file bytes held in memory (at most PROFILE_FILE_MAX_BYTES of
    // them are used), exactly as Load would read them from a file.
    void LoadBytes(std::string_view bytes);

    // The value of key in section, as UTF-8: "" when the section or the key is missing or the
    // value is empty. The names are trimmed of blanks before the lookup.
    std::string GetString(std::string_view section, std::string_view key) const;

    // Whether the file has a section of that name, and whether the first such section has an
    // entry for key (an empty value counts): what GetString cannot tell from "".
    bool HasSection(std::string_view section) const;
    bool HasKey(std::string_view section, std::string_view key) const;

private:
    enum class Found { Nothing, Section, Key };
    // The lookup behind GetString, HasSection and HasKey; value (when given) receives the
    // value of a found key.
    Found Find(std::string_view section, std::string_view key, std::string* value) const;

    std::string m_text; // the file as UTF-8 bytes (not yet validated), byte order mark removed
};

// Loads the file at path and reads one value: the platform's one-call private-profile read.
std::string ProfileGetString(const std::filesystem::path& path, std::string_view section,
                             std::string_view key);

// Splits a preset list the way the entry fields are filled: field k is the text between the
// k-th comma and the next (field 0 from the start, the last one to the end); fields are taken
// while they are not empty and the list ends at the first empty field. Blanks are kept.
// "10,20" gives {"10","20"}, "10,,20" {"10"}, ",10" {}, "10,20," {"10","20"}, "10, 20"
// {"10"," 20"}, "" {}.
std::vector<std::string> ProfileSplitList(std::string_view value);

// Converts a setup value to an int the way the C library's wide-string atoi does: leading
// white space, an optional sign, decimal digits, stop at the first other character, 0 without
// digits ("abc" gives 0, "12x" 12). Values beyond the range of int saturate at INT_MIN/INT_MAX
// (COM_PORT=99999999999 gives INT_MAX) instead of being undefined.
int ProfileValueToInt(std::string_view value);

// The setup file: "setup.ini" in the process's current working directory, joined with the
// platform's separator. Directory names of any length work (no 260-character limit). When
// the working directory cannot be determined (it was removed, say), the relative path
// "setup.ini".
std::filesystem::path ProfileSetupFilePath();

// The names of the user's settings and configuration folder (organisation, then application),
// which the console and the tool share.
inline constexpr const char* PROFILE_ORGANIZATION = "Halvorn";
inline constexpr const char* PROFILE_APPLICATION = "Morvane";

// The key of channel index (0 to 11) in the preset-list sections: "CH_01" to "CH_09" for
// indexes 0 to 8 and "CH_10" to "CH_12" for 9 to 11 (the channel number index + 1, two digits).
std::string ProfileChannelKey(int index);
