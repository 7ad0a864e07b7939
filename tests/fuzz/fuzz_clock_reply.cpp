// The clock items of the "DI" and "u0" replies: any field text, any key.
#include <cmath>
#include <cstdint>
#include <string>

#include "dds.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\n');
    const std::string key = cut == std::string::npos ? std::string("FDDS=") : input.substr(0, cut);
    const std::string field = cut == std::string::npos ? input : input.substr(cut + 1);
    const double hz = ParseReplyValue(key.c_str(), field.c_str());
    if (std::isnan(hz) || std::isinf(hz)) {
        __builtin_trap(); // a clock value is a finite number or 0
    }
    // Whatever clock the reply gave, the conversions stay defined.
    DdsModuleClocks.ddsClockHz = DdsClockUsable(hz) ? hz : 0.0;
    (void)FreqToWord(hz);
    (void)WordToFreq(FreqToWord(hz / 3));
    return 0;
}
