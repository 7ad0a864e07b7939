// Operator entries as any text, converted the way the console and morvane-cli convert them
// (MHz, percent, degrees through NumTextToDouble) and set with DdsSetChannel on a closed link:
// a refused setting changes nothing, and an accepted one sends only words within their ranges
// and leaves in the row exactly what those words reproduce.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "dds.h"
#include "numtext.h"

namespace {

// The clocks of the simulator's modes and a few awkward ones.
constexpr double CLOCKS[] = {
    0.0, 50e6, 100e6, 200e6, 300e6, 500e6, 800e6, 122.88e6, 1e9, 1.0, DDS_CLOCK_MAX_HZ, 3e-300};

std::string_view NextLine(std::string_view& rest) {
    const std::size_t cut = rest.find('\n');
    const std::string_view line = rest.substr(0, cut);
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    // Byte 0: the clock; byte 1: the channel (-2 to 13) and the single flag; then the three
    // entry texts, one a line: MHz, percent, degrees.
    DdsModuleClocks.ddsClockHz = CLOCKS[data[0] % (sizeof CLOCKS / sizeof CLOCKS[0])];
    const int channel = static_cast<int>(data[1] & 0x0F) - 2;
    const int single = (data[1] >> 4) & 1;
    std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const double mhz = NumTextToDouble(NextLine(rest));
    const double percent = NumTextToDouble(NextLine(rest));
    const double degrees = NumTextToDouble(NextLine(rest));

    const int row = channel >= 0 && channel < DDS_CHANNELS ? channel : 0;
    const DdsChannelState before = DdsChannelTable[row];
    const std::string lastBefore = DdsLastCommand();
    const std::uint32_t r =
        DdsSetChannel(channel, mhz * 1000000.0, degrees, percent / 100.0, single);

    if (r == DDS_E_CHANNEL || r == DDS_E_VALUE || r == DDS_E_CLOCK) {
        if (std::memcmp(&before, &DdsChannelTable[row], sizeof before) != 0 ||
            lastBefore != DdsLastCommand()) {
            __builtin_trap(); // a refused setting touched the row or sent something
        }
        return 0;
    }
    if (r != DDS_E_REPLY) {
        __builtin_trap(); // the link is closed: no reply can be right
    }
    unsigned ch = 0, freq = 0, phase = 0, amp = 0, flag = 0;
    char tail = 0;
    if (std::sscanf(DdsLastCommand(), "dds %x %x %x %x %x%c", &ch, &freq, &phase, &amp, &flag,
                    &tail) != 5) {
        __builtin_trap();
    }
    if (ch != static_cast<unsigned>(channel) || freq >= 0x80000000u || phase > 16384 ||
        amp > 1024 || flag != static_cast<unsigned>(single)) {
        __builtin_trap(); // a word the module cannot take
    }
    const DdsChannelState& now = DdsChannelTable[channel];
    const bool on = mhz * 1000000.0 != 0.0;
    if (now.on != (on ? 1 : 0) ||
        (on && now.freqHz != WordToFreq(static_cast<std::int32_t>(freq))) ||
        (!on && (freq != 0 || now.freqHz != before.freqHz)) ||
        now.phaseDeg != WordToPhase(static_cast<std::int32_t>(phase)) ||
        now.amplitude != WordToAmp(static_cast<std::int32_t>(amp))) {
        __builtin_trap(); // the row does not hold what the words reproduce
    }
    return 0;
}
