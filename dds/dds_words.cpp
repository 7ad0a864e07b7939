// Conversions between the operator's values and the module's words.
//
// Each conversion keeps one fixed order of IEEE double operations (scale, add 1, halve,
// truncate: rounding half up), because that order decides how the last bit rounds and the
// module's words must come out the same on every build.
#include "dds.h"

namespace {

constexpr double TWO_POW_10 = 1024.0;
constexpr double TWO_POW_11 = 2048.0;
constexpr double TWO_POW_14 = 16384.0;
constexpr double TWO_POW_32 = 4294967296.0;
constexpr double TWO_POW_33 = 8589934592.0;

// Truncates toward zero into a signed 32-bit word. Casting a NaN, an infinity or a value
// outside the int range is undefined behaviour, so those give DDS_WORD_INVALID, the pattern
// the processor's own truncation yields for them.
std::int32_t TruncateToWord(double t) {
    // Everything strictly between -2^31 - 1 and 2^31 truncates into range; NaN fails both tests.
    if (t > -2147483649.0 && t < 2147483648.0) {
        return static_cast<std::int32_t>(t);
    }
    return DDS_WORD_INVALID;
}

// The word as the module reads it: an unsigned 32-bit number.
double UnsignedWord(std::int32_t word) {
    return static_cast<double>(static_cast<std::uint32_t>(word));
}

} // namespace

std::int32_t FreqToWord(double freqHz) {
    const double clock = DdsModuleClocks.ddsClockHz;
    if (clock == 0.0) {
        return -1;
    }
    double t = freqHz / clock;
    t = TWO_POW_33 * t;
    t = t + 1.0;
    t = t / 2.0;
    return TruncateToWord(t);
}

double WordToFreq(std::int32_t word) {
    double t = UnsignedWord(word);
    t = t * DdsModuleClocks.ddsClockHz;
    return t / TWO_POW_32;
}

std::int32_t PhaseToWord(double phaseDeg) {
    double t = TWO_POW_14 * phaseDeg;
    t = t / 180.0;
    t = t + 1.0;
    t = t / 2.0;
    return TruncateToWord(t);
}

double WordToPhase(std::int32_t word) {
    double t = UnsignedWord(word);
    t = t * 360.0;
    return t / TWO_POW_14;
}

std::int32_t AmpToWord(double amplitude) {
    double t = TWO_POW_11 * amplitude;
    t = t + 1.0;
    t = t / 2.0;
    return TruncateToWord(t);
}

double WordToAmp(std::int32_t word) {
    return UnsignedWord(word) / TWO_POW_10;
}
