// setup.ini as any bytes: every value the console reads is valid UTF-8 of at most 79 UTF-16
// units, and every preset list splits into non-empty items.
#include <cstdint>
#include <string>
#include <string_view>

#include "profile_reader.h"

namespace {

bool ValidUtf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80         ? 1
                        : (c >> 5) == 6  ? 2
                        : (c >> 4) == 14 ? 3
                        : (c >> 3) == 30 ? 4
                                         : 0;
        if (n == 0 || i + n > s.size()) {
            return false;
        }
        for (std::size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += n;
    }
    return true;
}

std::size_t Utf16Units(const std::string& s) {
    std::size_t units = 0;
    for (unsigned char c : s) {
        if ((c & 0xC0) != 0x80) {
            units += c >= 0xF0 ? 2 : 1;
        }
    }
    return units;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CProfileFile ini;
    ini.LoadBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    const char* lookups[][2] = {{"COM_PORT", "COM_PORT"}, {"COM_PORT", "BAUDRATE"},
                                {"COM_PORT", "DEVICE"},   {"DDS_CLK_MODE", "MODE"},
                                {"FREQ", "CH_01"},        {"AMP", "CH_12"},
                                {"PHASE", "CH_05"},       {"a", "b"}};
    for (const auto& l : lookups) {
        const std::string value = ini.GetString(l[0], l[1]);
        if (!ValidUtf8(value) || Utf16Units(value) > PROFILE_VALUE_MAX_UNITS) {
            __builtin_trap();
        }
        (void)ProfileValueToInt(value);
        for (const std::string& item : ProfileSplitList(value)) {
            if (item.empty() || item.find(',') != std::string::npos) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
