#include "remote_setup_store.h"

#include "numtext.h"
#include "profile_reader.h"

#include <cmath>
#include <cstdlib>
#include <system_error>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr double HZ_PER_MHZ = 1000000.0;
constexpr double PERCENT_PER_FULL_SCALE = 100.0;

// The text of value in a box's unit (x = value in that unit), chosen so that back(the number
// the console reads from it) gives value again: the unit's conversion can be a bit off for x
// itself, and then a near neighbour reads back exactly. Values the server makes from a
// client's text (a percentage divided by 100) always have one; others may have none, and then
// come back within the last bit.
template <class Back> std::string UnitText(double value, double x, Back back) {
    const std::string first = NumTextShortest(x);
    double up = x;
    double down = x;
    for (int step = 0; step < 4 && std::isfinite(up) && std::isfinite(down); ++step) {
        for (const double c : {up, down}) {
            std::string text = NumTextShortest(c);
            if (back(NumTextToDouble(text)) == value) {
                return text;
            }
        }
        up = std::nextafter(up, HUGE_VAL);
        down = std::nextafter(down, -HUGE_VAL);
    }
    return first;
}

ChannelSetupRow RowOf(const RemoteChannel& c) {
    ChannelSetupRow row;
    row.freq =
        UnitText(c.freqHz, c.freqHz / HZ_PER_MHZ, [](double mhz) { return mhz * HZ_PER_MHZ; });
    row.amp = UnitText(c.amplitude, c.amplitude * PERCENT_PER_FULL_SCALE,
                       [](double pct) { return pct / PERCENT_PER_FULL_SCALE; });
    row.phase = NumTextShortest(c.phaseDeg);
    row.on = c.on;
    return row;
}

void ApplyRow(const ChannelSetupRow& row, RemoteChannel& c) {
    const ChannelSetupValues v = ChannelSetupRowValues(row);
    if (row.freq) {
        c.freqHz = v.freqHz;
    }
    if (row.amp) {
        c.amplitude = v.amplitude;
    }
    if (row.phase) {
        c.phaseDeg = v.phaseDeg;
    }
    if (row.on) {
        c.on = *row.on;
    }
}

// A text fit for an SCPI error string, which clients read as ASCII: other bytes (a folder's
// name in UTF-8, control characters) and the string's own quote become "?".
std::string ErrorText(std::string text) {
    for (char& c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '"') {
            c = '?';
        }
    }
    return text;
}

void SetError(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = ErrorText(std::move(text));
    }
}

// A path as UTF-8 text (a narrow conversion of the system's may throw on Windows).
std::string PathText(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

fs::path EnvPath(const char* name) {
#ifdef _WIN32
    const std::wstring wide(name, name + std::char_traits<char>::length(name));
    const wchar_t* value = _wgetenv(wide.c_str());
#else
    const char* value = std::getenv(name);
#endif
    return value != nullptr ? fs::path(value) : fs::path();
}

} // namespace

fs::path CRemoteFileSetupStore::SlotPath(int slot) const {
    return m_folder / ("setup-" + std::to_string(slot) + ".ini");
}

bool CRemoteFileSetupStore::Save(int slot, const RemoteSetup& setup, std::string* error) {
    std::error_code ec;
    fs::create_directories(m_folder, ec);
    if (ec) {
        SetError(error, "cannot make the folder " + PathText(m_folder) + ": " + ec.message());
        return false;
    }
    const ChannelSetupResult result =
        ChannelSetupSave(SlotPath(slot), RemoteSetupToChannelSetup(setup));
    if (!result.ok()) {
        SetError(error, result.detail);
        return false;
    }
    return true;
}

CRemoteSetupStore::Recalled CRemoteFileSetupStore::Recall(int slot, RemoteSetup* setup,
                                                          std::string* error) {
    const fs::path path = SlotPath(slot);
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) {
        return Recalled::Empty;
    }
    ChannelSetup file;
    const ChannelSetupResult result = ChannelSetupLoad(path, file);
    switch (result.error) {
    case ChannelSetupError::None:
        RemoteSetupApply(file, setup);
        return Recalled::Found;
    case ChannelSetupError::NotSetupFile:
        SetError(error, PathText(path) + " is not a channel-setup file");
        break;
    case ChannelSetupError::BadFlag:
        SetError(error, PathText(path) + ": " + result.detail + " (0 or 1)");
        break;
    default:
        SetError(error, "cannot read " + PathText(path) + (ec ? ": " + ec.message() : ""));
        break;
    }
    return Recalled::Failed;
}

ChannelSetup RemoteSetupToChannelSetup(const RemoteSetup& setup) {
    ChannelSetup file;
    for (int row = 0; row < CHANNEL_SETUP_ROWS; ++row) {
        file.rows[static_cast<std::size_t>(row)] = RowOf(setup.channels[ChannelSetupRowIndex(row)]);
    }
    for (int h = 0; h < CHANNEL_SETUP_HIDDEN; ++h) {
        file.hidden[static_cast<std::size_t>(h)] =
            RowOf(setup.channels[ChannelSetupHiddenIndex(h)]);
    }
    file.multi = !setup.single;
    return file;
}

void RemoteSetupApply(const ChannelSetup& file, RemoteSetup* setup) {
    for (int row = 0; row < CHANNEL_SETUP_ROWS; ++row) {
        ApplyRow(file.rows[static_cast<std::size_t>(row)],
                 setup->channels[ChannelSetupRowIndex(row)]);
    }
    for (int h = 0; h < CHANNEL_SETUP_HIDDEN; ++h) {
        ApplyRow(file.hidden[static_cast<std::size_t>(h)],
                 setup->channels[ChannelSetupHiddenIndex(h)]);
    }
    if (file.multi) {
        setup->single = !*file.multi;
    }
}

fs::path RemoteConfigFolder() {
    fs::path base;
#ifdef _WIN32
    base = EnvPath("LOCALAPPDATA");
#else
    fs::path home = EnvPath("HOME");
    if (home.empty()) {
        if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
            home = pw->pw_dir;
        }
    }
#ifdef __APPLE__
    if (!home.empty()) {
        base = home / "Library" / "Preferences";
    }
#else
    base = EnvPath("XDG_CONFIG_HOME");
    if (!base.is_absolute() && !home.empty()) {
        base = home / ".config";
    }
#endif
#endif
    if (!base.is_absolute()) {
        return {};
    }
    return base / PROFILE_ORGANIZATION / PROFILE_APPLICATION;
}
