// DDS control: the console's model of the module's twelve channels, the conversion of
// frequency, phase and amplitude into the module's words, and the set, update and initialise
// commands.
//
// Units inside this layer: frequencies in Hz, phases in degrees, amplitudes as a fraction of
// full scale (1.0 = 100 %). Channel indexes 0 to 11.
#pragma once

#include <climits>
#include <cstdint>

constexpr int DDS_CHANNELS = 12;

// Result codes. 0x4... the module did not answer as expected; 0x8... the call was refused.
constexpr std::uint32_t DDS_OK = 0;
constexpr std::uint32_t DDS_E_REPLY = 0x40000001;   // reply without the expected field count
constexpr std::uint32_t DDS_E_FILE = 0x80000001;    // image file failed to open, or no record
constexpr std::uint32_t DDS_E_CHANNEL = 0x80000002; // channel index outside 0 to 11
constexpr std::uint32_t DDS_E_VALUE = 0x80000003;   // a value the module's words cannot carry
constexpr std::uint32_t DDS_E_CLOCK = 0x80000004;   // no DDS clock known yet (no DdsInit)

// The name of a result code ("DDS_OK", "DDS_E_REPLY", ...; "unknown" otherwise).
const char* DdsResultName(std::uint32_t result);

// One row of the channel table: the values that the words last sent reproduce.
struct DdsChannelState {
    std::int32_t on = 0;  // 1 output on, 0 off
    double freqHz = 0;    // Hz
    double phaseDeg = 0;  // degrees
    double amplitude = 0; // fraction of full scale
};

// The module's three clock frequencies in Hz, as reported by "DI" and "u0".
struct DdsModuleClocksRecord {
    double crystalHz = 0;   // "FXTL="
    double referenceHz = 0; // "FREF="
    double ddsClockHz = 0;  // "FDDS=": the sample clock of the frequency word
};

extern DdsChannelState DdsChannelTable[DDS_CHANNELS];
extern DdsModuleClocksRecord DdsModuleClocks;

// Resets the table and the clocks to their start-up state (all zero, every row known). For
// tests and tools that start a new session in the same process.
void DdsResetState();

// Whether a row of the table says what the module's channel runs (channel 0 to 11; false for
// others). Every row is known from the start, after DdsInit and after a set the module
// confirmed; DdsMarkChannelsUnknown makes every row unknown, for a host that opened the link
// without resetting the module and so cannot tell what its outputs do. A set that the module
// did not confirm leaves the flag as it was.
bool DdsChannelKnown(int channel);
void DdsMarkChannelsUnknown();

// Highest DDS clock (Hz) the layer accepts. A reported clock outside 0 to this value, or one
// that is not a number, is stored as 0 (unknown), so sets are refused with DDS_E_CLOCK instead of
// producing words from a nonsense clock. Far above any sample clock; far below the clocks at
// which WordToFreq's product would overflow.
constexpr double DDS_CLOCK_MAX_HZ = 1e12;

// True when clockHz can serve as the DDS clock: finite, above 0, at most DDS_CLOCK_MAX_HZ.
bool DdsClockUsable(double clockHz);

// Word conversions, in IEEE double arithmetic, rounded half up, truncated toward zero; the
// order of operations is fixed, since it decides the rounding of the last bit.
// FreqToWord: (2^33 * (f / ddsClockHz) + 1) / 2 (-1 while ddsClockHz is 0).
// PhaseToWord: (2^14 * p / 180 + 1) / 2. AmpToWord: (2^11 * a + 1) / 2.
// WordTo...: the word taken as unsigned 32-bit, times the scale (ddsClockHz / 2^32, 360 / 2^14,
// 1 / 2^10). The caller checks the ranges: an argument (NaN, infinity, or a value) whose word
// would not fit a signed 32-bit integer gives DDS_WORD_INVALID (bit pattern 80000000 hex).
constexpr std::int32_t DDS_WORD_INVALID = INT32_MIN;
std::int32_t FreqToWord(double freqHz);
double WordToFreq(std::int32_t word);
std::int32_t PhaseToWord(double phaseDeg);
double WordToPhase(std::int32_t word);
std::int32_t AmpToWord(double amplitude);
double WordToAmp(std::int32_t word);

// Sets one channel: converts the values into words, stores the reproduced values in the
// channel's row and sends "dds <ch> <freq> <phase> <amp> <single>" in lower-case hexadecimal.
// freqHz 0 switches the channel off (its row keeps the previous frequency). Phases within 0 to
// 360 degrees are taken as they are (360 gives the word 16384); others are brought into 0 to
// below 360 modulo 360 (-90 becomes 270, 450 becomes 90, 720 becomes 0). single is sent as it
// is (1 single-channel mode, 0 multiple). Refused without sending and without touching the
// table: channel outside 0 to 11 (DDS_E_CHANNEL); NaN or infinite values, a frequency below 0 or
// at or above half the DDS clock (or so close below it that the rounded word reaches 2^31), an
// amplitude outside 0 to 1.0 (DDS_E_VALUE); a non-zero frequency while no usable DDS clock is
// known (DDS_E_CLOCK). Checks that need no clock come first: a NaN or a negative frequency is
// DDS_E_VALUE even without a clock. Returns DDS_OK when the reply had exactly 2 fields, else
// DDS_E_REPLY (the row is updated all the same). DDS_OK also marks the row known.
std::uint32_t DdsSetChannel(int channel, double freqHz, double phaseDeg, double amplitude,
                            int single);

// A phase as DdsSetChannel sends it: within 0 to 360 degrees as it is (360 must give the word
// 16384, not 0), any other taken modulo 360 into 0 to below 360. The caller refuses NaN and
// infinity first.
double DdsNormalisePhase(double phaseDeg);

// The text of the last command this layer sent ("" before the first), such as
// "dds a 1999999a 1000 400 1". Refused calls send nothing and leave it as it was.
const char* DdsLastCommand();

// Sends "DDU", which applies the settings made in multiple-channel mode. Always DDS_OK.
std::uint32_t DdsUpdate();

// Prints the table to the diagnostic sink, one line a channel: "CH[00]: Off " for a channel
// that is off, "CH[03]: On Freq[10.000000]MHz Ph[90.000] Amp[50.00]%" for one that is on
// (channel index from 0, MHz, degrees, percent). Returns 0.
int DdsPrintTable();

// Sends "DI <mode>" (mode outside 1 to 8 becomes 2), stores the three clocks of the 4-field
// reply and resets every row to on, 10 MHz, phase 0, amplitude 0 (all rows known). DDS_E_REPLY
// (nothing stored) unless the reply has exactly 4 fields. A clock that is missing, not a number,
// negative or above DDS_CLOCK_MAX_HZ is stored as 0 (DDS_OK all the same).
std::uint32_t DdsInit(int clockMode);

// Sends "u0" and fills *clocks from its 4-field reply (DDS_OK), or leaves it untouched
// (DDS_E_REPLY). Changes neither DdsModuleClocks nor the table. A null clocks is refused with
// DDS_E_VALUE and nothing is sent. Values are checked as DdsInit checks them.
std::uint32_t DdsReadClocks(DdsModuleClocksRecord* clocks);

// Adopts clocks read with DdsReadClocks (or given by the caller) as the module's clocks, so
// that sets can be made without "DI": nothing is sent and the channel table is left as it is.
// Values are checked as DdsInit checks them (an unusable DDS clock is stored as 0).
void DdsAdoptClocks(const DdsModuleClocksRecord& clocks);

// True when a usable DDS clock is known (after DdsInit or DdsAdoptClocks).
bool DdsClockKnown();

// The value of a reply field "KEY=number" in Hz (the number is in MHz), read the way atof reads
// decimal text, whatever the process locale. 0 when the key or field is null, the key does not
// occur in the field, the text is not a number, or the result is not finite ("NAN", "INF",
// "1E999"). A key found elsewhere than at the start takes the text after it; a value text
// longer than 63 characters is cut to 63.
double ParseReplyValue(const char* key, const char* field);
