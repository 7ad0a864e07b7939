// Private-profile reading of setup.ini; the format rules are described in profile_reader.h.
#include "profile_reader.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

#include "numtext.h"

namespace fs = std::filesystem;

namespace {

constexpr char32_t REPLACEMENT_CHAR = 0xFFFD;

// Bytes inspected to recognise UTF-16LE without a byte order mark.
constexpr std::size_t UTF16_SNIFF_BYTES = 4096;

// Chunk size for reading files.
constexpr std::size_t READ_CHUNK = 64u * 1024u;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && IsBlank(s[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(s[end - 1])) {
        --end;
    }
    return s.substr(begin, end - begin);
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Section and key names: ASCII letters without regard to case, every other byte exactly.
bool NamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool InRange(unsigned char c, unsigned char lo, unsigned char hi) {
    return c >= lo && c <= hi;
}

// Length of the well-formed UTF-8 sequence at the start of s (1 to 4), or 0 when its first
// byte does not start one: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t Utf8SequenceLength(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(0);
    if (b0 < 0x80) {
        return 1;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80; // allowed range of the second byte
    unsigned char hi = 0xBF;
    if (InRange(b0, 0xC2, 0xDF)) {
        len = 2;
    } else if (InRange(b0, 0xE0, 0xEF)) {
        len = 3;
        if (b0 == 0xE0) {
            lo = 0xA0;
        } else if (b0 == 0xED) {
            hi = 0x9F;
        }
    } else if (InRange(b0, 0xF0, 0xF4)) {
        len = 4;
        if (b0 == 0xF0) {
            lo = 0x90;
        } else if (b0 == 0xF4) {
            hi = 0x8F;
        }
    } else {
        return 0;
    }
    if (s.size() < len || !InRange(byte(1), lo, hi)) {
        return 0;
    }
    for (std::size_t i = 2; i < len; ++i) {
        if (!InRange(byte(i), 0x80, 0xBF)) {
            return 0;
        }
    }
    return len;
}

// Makes value well-formed UTF-8 (each byte that does not start a well-formed sequence becomes
// U+FFFD) and cuts it to max_units UTF-16 code units without splitting a character.
std::string CutValue(std::string_view value, std::size_t max_units) {
    std::string out;
    std::size_t units = 0;
    std::size_t i = 0;
    while (i < value.size()) {
        const std::size_t len = Utf8SequenceLength(value.substr(i));
        const std::size_t need = len == 4 ? 2 : 1;
        if (units + need > max_units) {
            break;
        }
        units += need;
        if (len == 0) {
            AppendUtf8(out, REPLACEMENT_CHAR);
            ++i;
        } else {
            out.append(value.substr(i, len));
            i += len;
        }
    }
    return out;
}

// The value part of an entry line (everything after the first '=') as the reader hands it back.
std::string MakeValue(std::string_view raw) {
    const std::size_t nul = raw.find('\0');
    if (nul != std::string_view::npos) {
        raw = raw.substr(0, nul);
    }
    raw = Trim(raw);
    if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') &&
        raw.back() == raw.front()) {
        raw = raw.substr(1, raw.size() - 2);
    }
    return CutValue(raw, PROFILE_VALUE_MAX_UNITS);
}

std::string Utf16ToUtf8(std::string_view bytes, bool little_endian) {
    std::string out;
    out.reserve(bytes.size() / 2 * 3 / 2 + 4);
    const std::size_t count = bytes.size() / 2;
    const auto unit = [&](std::size_t k) {
        const auto b0 = static_cast<unsigned char>(bytes[2 * k]);
        const auto b1 = static_cast<unsigned char>(bytes[2 * k + 1]);
        return little_endian ? static_cast<char32_t>(b0 | (b1 << 8))
                             : static_cast<char32_t>((b0 << 8) | b1);
    };
    for (std::size_t k = 0; k < count; ++k) {
        const char32_t u = unit(k);
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < count) {
            const char32_t next = unit(k + 1);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00));
                ++k;
                continue;
            }
        }
        AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? REPLACEMENT_CHAR : u);
    }
    if (bytes.size() % 2 != 0) {
        AppendUtf8(out, REPLACEMENT_CHAR);
    }
    return out;
}

// UTF-16LE without a byte order mark: in the first bytes, more than half of the 16-bit units
// are ASCII characters (non-zero low byte, zero high byte) and at most one in eight has a zero
// low byte. UTF-8 text has no NUL bytes, so it never passes.
bool LooksLikeUtf16Le(std::string_view bytes) {
    const std::size_t units = std::min(bytes.size(), UTF16_SNIFF_BYTES) / 2;
    if (units == 0) {
        return false;
    }
    std::size_t ascii = 0;
    std::size_t zero_low = 0;
    for (std::size_t k = 0; k < units; ++k) {
        const char low = bytes[2 * k];
        const char high = bytes[2 * k + 1];
        if (low == '\0') {
            ++zero_low;
        } else if (high == '\0' && static_cast<unsigned char>(low) < 0x80) {
            ++ascii;
        }
    }
    return ascii * 2 > units && zero_low * 8 <= units;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

} // namespace

bool CProfileFile::Load(const fs::path& path) {
    m_text.clear();
    std::error_code ec;
    // Only regular files: a directory cannot be read and a FIFO or device could block or
    // never end.
    if (!fs::is_regular_file(path, ec)) {
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::string bytes;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (!ec) {
        bytes.reserve(
            static_cast<std::size_t>(std::min<std::uintmax_t>(size, PROFILE_FILE_MAX_BYTES)));
    }
    while (bytes.size() < PROFILE_FILE_MAX_BYTES) {
        const std::size_t have = bytes.size();
        const std::size_t want = std::min(READ_CHUNK, PROFILE_FILE_MAX_BYTES - have);
        bytes.resize(have + want);
        in.read(bytes.data() + have, static_cast<std::streamsize>(want));
        bytes.resize(have + static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
        if (!in) {
            break;
        }
    }
    if (in.bad()) {
        return false;
    }
    LoadBytes(bytes);
    return true;
}

void CProfileFile::LoadBytes(std::string_view bytes) {
    bytes = bytes.substr(0, std::min(bytes.size(), PROFILE_FILE_MAX_BYTES));
    if (StartsWith(bytes, "\xEF\xBB\xBF")) {
        m_text.assign(bytes.substr(3));
    } else if (StartsWith(bytes, "\xFF\xFE")) {
        m_text = Utf16ToUtf8(bytes.substr(2), true);
    } else if (StartsWith(bytes, "\xFE\xFF")) {
        m_text = Utf16ToUtf8(bytes.substr(2), false);
    } else if (LooksLikeUtf16Le(bytes)) {
        m_text = Utf16ToUtf8(bytes, true);
    } else {
        m_text.assign(bytes);
    }
    // Every CR ends a line (CR LF, lone CR): one line-end character makes the scans simpler
    // and faster; the empty lines this leaves are skipped anyway.
    std::replace(m_text.begin(), m_text.end(), '\r', '\n');
}

std::string CProfileFile::GetString(std::string_view section, std::string_view key) const {
    std::string value;
    (void)Find(section, key, &value);
    return value;
}

bool CProfileFile::HasSection(std::string_view section) const {
    return Find(section, {}, nullptr) != Found::Nothing;
}

bool CProfileFile::HasKey(std::string_view section, std::string_view key) const {
    return Find(section, key, nullptr) == Found::Key;
}

CProfileFile::Found CProfileFile::Find(std::string_view section, std::string_view key,
                                       std::string* value) const {
    section = Trim(section);
    key = Trim(key);
    const std::string_view text = m_text;
    bool in_section = false;
    bool seen_section = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[') {
            const std::size_t close = line.rfind(']');
            if (close != std::string_view::npos) {
                if (in_section) {
                    // The first section of that name has ended without the key.
                    return Found::Section;
                }
                in_section = NamesEqual(Trim(line.substr(1, close - 1)), section);
                if (in_section && value == nullptr && key.empty()) {
                    return Found::Section; // only the section was asked for
                }
                seen_section = seen_section || in_section;
                continue;
            }
        }
        if (!in_section || line.front() == ';') {
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq != std::string_view::npos && NamesEqual(Trim(line.substr(0, eq)), key)) {
            if (value != nullptr) {
                *value = MakeValue(line.substr(eq + 1));
            }
            return Found::Key;
        }
    }
    return seen_section ? Found::Section : Found::Nothing;
}

std::string ProfileGetString(const fs::path& path, std::string_view section, std::string_view key) {
    return CProfileFile(path).GetString(section, key);
}

std::vector<std::string> ProfileSplitList(std::string_view value) {
    std::vector<std::string> items;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = value.find(',', start);
        if (comma == std::string_view::npos) {
            comma = value.size();
        }
        if (comma == start) {
            break; // an empty field ends the list
        }
        items.emplace_back(value.substr(start, comma - start));
        if (comma == value.size()) {
            break;
        }
        start = comma + 1;
    }
    return items;
}

int ProfileValueToInt(std::string_view value) {
    // NumTextToInt saturates values beyond the range of int (99999999999 gives INT_MAX) where
    // the C library's conversion leaves them undefined; the platform's runtime clamps the same
    // way.
    return NumTextToInt(value);
}

fs::path ProfileSetupFilePath() {
#ifdef _WIN32
    // Asked with a growing buffer rather than through the C runtime's getcwd, which some
    // runtimes limit to 260 characters (and then hand back garbage).
    std::wstring dir(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(dir.size()), dir.data());
        if (n < dir.size()) {
            dir.resize(n); // 0 on failure
            break;
        }
        dir.resize(n); // too small: n is the size needed, terminator included
    }
#else
    std::error_code ec;
    fs::path dir = fs::current_path(ec);
    if (ec) {
        dir.clear();
    }
#endif
    if (dir.empty()) {
        return fs::path("setup.ini");
    }
    return fs::path(dir) / "setup.ini";
}

std::string ProfileChannelKey(int index) {
    const long long number = static_cast<long long>(index) + 1;
    if (number >= 1 && number <= 9) {
        return "CH_0" + std::to_string(number);
    }
    return "CH_" + std::to_string(number);
}
