// The number conversions of operator entries and setup values: no undefined behaviour, and a
// decimal result agrees with the C library where both read plain decimal text.
#include <cmath>
#include <cstdint>
#include <string>

#include "numtext.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const double d = NumTextToDouble(text);
    const int i = NumTextToInt(text);
    (void)i;
    // Plain digits with an optional point must read exactly as strtod reads them.
    bool plain = !text.empty() && text.size() < 40;
    int points = 0;
    for (char c : text) {
        if (c == '.') {
            ++points;
        } else if (c < '0' || c > '9') {
            plain = false;
        }
    }
    if (plain && points <= 1 && text != ".") {
        const double expected = std::strtod(text.c_str(), nullptr);
        if (!(d == expected)) {
            __builtin_trap();
        }
    }
    return 0;
}
