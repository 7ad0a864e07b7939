#include "channel_setup.h"

#include "numtext.h"
#include "profile_reader.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <system_error>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const char* const MODE_SECTION = "MODE";
const char* const MULTI_KEY = "MULTI";
const char* const FREQ_KEY = "FREQ";
const char* const AMP_KEY = "AMP";
const char* const PHASE_KEY = "PHASE";
const char* const ON_KEY = "ON";

constexpr int ROW_INDEX[CHANNEL_SETUP_ROWS] = {0, 1, 2, 3, 8, 9, 10, 11};
constexpr int FIRST_HIDDEN_INDEX = 4;

constexpr double HZ_PER_MHZ = 1000000.0;
constexpr double PERCENT_PER_FULL_SCALE = 100.0;

std::optional<std::string> ReadText(const CProfileFile& file, const std::string& section,
                                    const char* key) {
    if (!file.HasKey(section, key)) {
        return std::nullopt;
    }
    return file.GetString(section, key);
}

// A 0/1 flag; false (with the detail) for any other value.
bool ReadFlag(const CProfileFile& file, const std::string& section, const char* key,
              std::optional<bool>& flag, std::string& detail) {
    if (!file.HasKey(section, key)) {
        return true;
    }
    const std::string value = file.GetString(section, key);
    if (value == "0" || value == "1") {
        flag = value == "1";
        return true;
    }
    detail = "[" + section + "] " + key + "=" + value;
    return false;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// The value as the reader gives it back: quoted when it has blanks at either end or would
// lose wrapping quotes of its own.
std::string EncodeValue(std::string value) {
    for (char& c : value) {
        if (c == '\r' || c == '\n' || c == '\0') {
            c = ' ';
        }
    }
    if (value.empty()) {
        return value;
    }
    const bool blanks = IsBlank(value.front()) || IsBlank(value.back());
    const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                        value.front() == value.back();
    return blanks || quoted ? "\"" + value + "\"" : value;
}

void AppendEntry(std::string& out, const char* key, const std::optional<std::string>& value) {
    if (value) {
        out += key;
        out += '=';
        out += EncodeValue(*value);
        out += "\r\n";
    }
}

// Reads the keys of one section into r; false (with the detail) for a bad ON.
bool ReadRow(const CProfileFile& file, const std::string& section, ChannelSetupRow& r,
             std::string& detail) {
    r.freq = ReadText(file, section, FREQ_KEY);
    r.amp = ReadText(file, section, AMP_KEY);
    r.phase = ReadText(file, section, PHASE_KEY);
    return ReadFlag(file, section, ON_KEY, r.on, detail);
}

void AppendRow(std::string& out, const std::string& section, const ChannelSetupRow& r) {
    out += "\r\n[" + section + "]\r\n";
    AppendEntry(out, FREQ_KEY, r.freq);
    AppendEntry(out, AMP_KEY, r.amp);
    AppendEntry(out, PHASE_KEY, r.phase);
    if (r.on) {
        out += std::string(ON_KEY) + "=" + (*r.on ? "1" : "0") + "\r\n";
    }
}

bool HasText(const std::optional<std::string>& text) {
    return text && !text->empty();
}

std::FILE* OpenNew(const fs::path& path) {
#ifdef _WIN32
    return _wfopen(path.c_str(), L"wbx");
#else
    return std::fopen(path.c_str(), "wbx");
#endif
}

ChannelSetupResult WriteFailed(const fs::path& path, const std::string& what) {
    return {ChannelSetupError::WriteFailed, path.string() + ": " + what};
}

} // namespace

int ChannelSetupRowIndex(int row) {
    return row >= 0 && row < CHANNEL_SETUP_ROWS ? ROW_INDEX[row] : -1;
}

std::string ChannelSetupSection(int row) {
    return "CH" + std::to_string(row + 1);
}

int ChannelSetupHiddenIndex(int hidden) {
    return hidden >= 0 && hidden < CHANNEL_SETUP_HIDDEN ? FIRST_HIDDEN_INDEX + hidden : -1;
}

std::string ChannelSetupHiddenSection(int hidden) {
    return "IDX" + std::to_string(FIRST_HIDDEN_INDEX + hidden);
}

ChannelSetupResult ChannelSetupLoad(const fs::path& path, ChannelSetup& setup) {
    CProfileFile file;
    if (!file.Load(path)) {
        return {ChannelSetupError::Unreadable, path.string()};
    }
    bool any = file.HasSection(MODE_SECTION);
    for (int row = 0; row < CHANNEL_SETUP_ROWS && !any; ++row) {
        any = file.HasSection(ChannelSetupSection(row));
    }
    if (!any) {
        return {ChannelSetupError::NotSetupFile, path.string()};
    }

    ChannelSetup read;
    ChannelSetupResult result;
    if (!ReadFlag(file, MODE_SECTION, MULTI_KEY, read.multi, result.detail)) {
        result.error = ChannelSetupError::BadFlag;
        return result;
    }
    for (int row = 0; row < CHANNEL_SETUP_ROWS; ++row) {
        if (!ReadRow(file, ChannelSetupSection(row), read.rows[static_cast<std::size_t>(row)],
                     result.detail)) {
            result.error = ChannelSetupError::BadFlag;
            return result;
        }
    }
    for (int h = 0; h < CHANNEL_SETUP_HIDDEN; ++h) {
        if (!ReadRow(file, ChannelSetupHiddenSection(h), read.hidden[static_cast<std::size_t>(h)],
                     result.detail)) {
            result.error = ChannelSetupError::BadFlag;
            return result;
        }
    }
    setup = std::move(read);
    return result;
}

std::string ChannelSetupText(const ChannelSetup& setup) {
    std::string out = "; Morvane channel setup: the panel's rows CH1 to CH8 and the mode.\r\n";
    out += "; FREQ in MHz, AMP in percent, PHASE in degrees, ON and MULTI 0 or 1.\r\n";
    if (setup.multi) {
        out += "[MODE]\r\n";
        out += std::string(MULTI_KEY) + "=" + (*setup.multi ? "1" : "0") + "\r\n";
    }
    for (int row = 0; row < CHANNEL_SETUP_ROWS; ++row) {
        AppendRow(out, ChannelSetupSection(row), setup.rows[static_cast<std::size_t>(row)]);
    }
    bool noted = false;
    for (int h = 0; h < CHANNEL_SETUP_HIDDEN; ++h) {
        const ChannelSetupRow& r = setup.hidden[static_cast<std::size_t>(h)];
        if (!r.freq && !r.amp && !r.phase && !r.on) {
            continue;
        }
        if (!noted) {
            out += "\r\n; [IDX4] to [IDX7]: channel indexes 4 to 7, which have no panel row.\r\n";
            noted = true;
        }
        AppendRow(out, ChannelSetupHiddenSection(h), r);
    }
    return out;
}

ChannelSetupResult ChannelSetupSave(const fs::path& path, const ChannelSetup& setup) {
    static std::atomic<unsigned> counter{0};
    const std::string text = ChannelSetupText(setup);
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
#ifdef _WIN32
    const unsigned long pid = 0;
#else
    const unsigned long pid = static_cast<unsigned long>(::getpid());
#endif
    // A name of its own in the same folder, so that the rename stays on one file system.
    fs::path temp;
    std::FILE* f = nullptr;
    for (int attempt = 0; attempt < 100 && f == nullptr; ++attempt) {
        std::string name = ".";
        name.append(path.filename().string());
        name.append(".").append(std::to_string(pid));
        name.append(".").append(std::to_string(counter++)).append(".tmp");
        temp = folder / name;
        f = OpenNew(temp);
        if (f == nullptr && errno != EEXIST) {
            break;
        }
    }
    if (f == nullptr) {
        return WriteFailed(path, "cannot create a temporary file in its folder");
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fflush(f) == 0 && ok;
#ifndef _WIN32
    ok = ::fsync(::fileno(f)) == 0 && ok;
#endif
    ok = std::fclose(f) == 0 && ok;
    std::error_code ec;
    if (ok) {
        // Keep the permissions of the file being replaced.
        const fs::file_status old = fs::status(path, ec);
        if (!ec && fs::is_regular_file(old)) {
            fs::permissions(temp, old.permissions(), ec);
        }
        ec.clear();
        fs::rename(temp, path, ec);
        ok = !ec;
    }
    if (!ok) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        return WriteFailed(path, ec ? ec.message() : "cannot write the file");
    }
    return {};
}

ChannelSetupValues ChannelSetupRowValues(const ChannelSetupRow& row) {
    ChannelSetupValues v;
    if (HasText(row.freq)) {
        v.freqHz = NumTextToDouble(*row.freq) * HZ_PER_MHZ;
    }
    if (HasText(row.amp)) {
        v.amplitude = NumTextToDouble(*row.amp) / PERCENT_PER_FULL_SCALE;
    }
    if (HasText(row.phase)) {
        v.phaseDeg = NumTextToDouble(*row.phase);
    }
    return v;
}
