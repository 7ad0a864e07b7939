// The set, update and initialise commands, the clock readout and the table dump.
#include "dds.h"

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "diag.h"
#include "exchange.h"
#include "numtext.h"

namespace {

constexpr std::size_t COMMAND_SIZE = 256;
// Longest value text ParseReplyValue converts; longer texts are cut.
constexpr std::size_t VALUE_TEXT_MAX = 63;

constexpr double HZ_PER_MHZ = 1000000.0;
constexpr double INIT_FREQ_HZ = 10000000.0;

// A reported clock frequency as the layer keeps it: 0 (unknown) unless usable.
double CheckedClock(double clockHz) {
    return DdsClockUsable(clockHz) ? clockHz : 0.0;
}

// Reads the three clocks out of a 4-field "DI" or "u0" reply.
DdsModuleClocksRecord ClocksFromReply(const ReplyField fields[REPLY_FIELD_COUNT]) {
    DdsModuleClocksRecord clocks;
    clocks.crystalHz = CheckedClock(ParseReplyValue("FXTL=", fields[1]));
    clocks.referenceHz = CheckedClock(ParseReplyValue("FREF=", fields[2]));
    clocks.ddsClockHz = CheckedClock(ParseReplyValue("FDDS=", fields[3]));
    return clocks;
}

} // namespace

// Kept in dds_state.cpp with the flags; only the commands below change them.
void DdsMarkChannelKnown(int channel);
void DdsMarkAllChannelsKnown();

namespace {

// The text of the last command the layer sent, for tools that show what went out.
std::string g_lastCommand;

// Sends a command whose answer has expectedFields fields (-1: not examined), so that the
// transcript can mark another count.
int Send(const char* command, ReplyField fields[REPLY_FIELD_COUNT], int expectedFields) {
    g_lastCommand = command;
    return SendCommandExpecting(command, fields, expectedFields);
}

} // namespace

double DdsNormalisePhase(double phaseDeg) {
    if (phaseDeg >= 0.0 && phaseDeg <= 360.0) {
        return phaseDeg;
    }
    double r = std::fmod(phaseDeg, 360.0);
    if (r < 0.0) {
        r += 360.0;
    }
    // A tiny negative remainder plus 360 rounds to 360 exactly: that angle is 0.
    if (r >= 360.0) {
        r = 0.0;
    }
    return r;
}

const char* DdsLastCommand() {
    return g_lastCommand.c_str();
}

std::uint32_t DdsSetChannel(int channel, double freqHz, double phaseDeg, double amplitude,
                            int single) {
    if (channel < 0 || channel >= DDS_CHANNELS) {
        return DDS_E_CHANNEL;
    }
    // Every check comes before the row is touched: a refused call changes nothing.
    if (!std::isfinite(freqHz) || !std::isfinite(phaseDeg) || !std::isfinite(amplitude)) {
        return DDS_E_VALUE;
    }
    if (freqHz < 0.0 || !(amplitude >= 0.0 && amplitude <= 1.0)) {
        return DDS_E_VALUE;
    }

    const bool on = freqHz != 0.0;
    std::int32_t freqWord = 0;
    if (on) {
        const double clock = DdsModuleClocks.ddsClockHz;
        if (!DdsClockUsable(clock)) {
            return DDS_E_CLOCK;
        }
        if (freqHz >= clock / 2.0) {
            return DDS_E_VALUE;
        }
        freqWord = FreqToWord(freqHz);
        // Just below half the clock the rounding can still carry the word to 2^31.
        if (freqWord < 0) {
            return DDS_E_VALUE;
        }
    }
    const std::int32_t phaseWord = PhaseToWord(DdsNormalisePhase(phaseDeg));
    const std::int32_t ampWord = AmpToWord(amplitude);

    // The row holds what the words stand for, and is updated before the command goes out so
    // that it shows the new setting whatever the module answers.
    DdsChannelState& row = DdsChannelTable[channel];
    if (on) {
        row.freqHz = WordToFreq(freqWord);
        row.on = 1;
    } else {
        row.on = 0; // the previous frequency stays for when the channel is switched on again
    }
    row.phaseDeg = WordToPhase(phaseWord);
    row.amplitude = WordToAmp(ampWord);

    // Words go out as 32-bit two's complement, lower-case hexadecimal, no prefix.
    char command[COMMAND_SIZE];
    NumFormat(command, sizeof command, "dds %x %x %x %x %x", static_cast<unsigned>(channel),
              static_cast<unsigned>(static_cast<std::uint32_t>(freqWord)),
              static_cast<unsigned>(static_cast<std::uint32_t>(phaseWord)),
              static_cast<unsigned>(static_cast<std::uint32_t>(ampWord)),
              static_cast<unsigned>(static_cast<std::uint32_t>(single)));
    ReplyField fields[REPLY_FIELD_COUNT];
    if (Send(command, fields, 2) != 2) {
        return DDS_E_REPLY;
    }
    DdsMarkChannelKnown(channel);
    return DDS_OK;
}

std::uint32_t DdsUpdate() {
    ReplyField fields[REPLY_FIELD_COUNT];
    Send("DDU", fields, -1); // the module's answer to the update is not examined
    return DDS_OK;
}

int DdsPrintTable() {
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        const DdsChannelState& row = DdsChannelTable[i];
        std::string line = NumFormatString("CH[%02d]: %s ", i, row.on ? "On" : "Off");
        if (row.on) {
            line += NumFormatString("Freq[%.6f]MHz Ph[%.03f] Amp[%.02f]%%", row.freqHz / HZ_PER_MHZ,
                                    row.phaseDeg, row.amplitude * 100.0);
        }
        line += '\n';
        DiagWrite(line); // one line per sink call, so that line-based sinks see whole lines
    }
    return 0;
}

std::uint32_t DdsInit(int clockMode) {
    if (clockMode < 1 || clockMode > 8) {
        clockMode = 2;
    }
    char command[COMMAND_SIZE];
    NumFormat(command, sizeof command, "DI %d", clockMode);
    ReplyField fields[REPLY_FIELD_COUNT];
    if (Send(command, fields, 4) != 4) {
        return DDS_E_REPLY;
    }
    DdsModuleClocks = ClocksFromReply(fields);
    for (DdsChannelState& row : DdsChannelTable) {
        row.on = 1;
        row.freqHz = INIT_FREQ_HZ;
        row.phaseDeg = 0.0;
        row.amplitude = 0.0;
    }
    DdsMarkAllChannelsKnown();
    return DDS_OK;
}

std::uint32_t DdsReadClocks(DdsModuleClocksRecord* clocks) {
    if (clocks == nullptr) {
        return DDS_E_VALUE;
    }
    ReplyField fields[REPLY_FIELD_COUNT];
    if (Send("u0", fields, 4) != 4) {
        return DDS_E_REPLY;
    }
    *clocks = ClocksFromReply(fields);
    return DDS_OK;
}

void DdsAdoptClocks(const DdsModuleClocksRecord& clocks) {
    DdsModuleClocks.crystalHz = CheckedClock(clocks.crystalHz);
    DdsModuleClocks.referenceHz = CheckedClock(clocks.referenceHz);
    DdsModuleClocks.ddsClockHz = CheckedClock(clocks.ddsClockHz);
}

bool DdsClockKnown() {
    return DdsClockUsable(DdsModuleClocks.ddsClockHz);
}

double ParseReplyValue(const char* key, const char* field) {
    if (key == nullptr || field == nullptr) {
        return 0.0;
    }
    const char* found = std::strstr(field, key);
    if (found == nullptr) {
        return 0.0;
    }
    std::string_view text(found + std::strlen(key));
    if (text.size() > VALUE_TEXT_MAX) {
        text = text.substr(0, VALUE_TEXT_MAX);
    }
    const double hz = NumTextToDouble(text) * HZ_PER_MHZ;
    // "NAN", "INF" or an overflowing exponent are no frequency the layer can use.
    return std::isfinite(hz) ? hz : 0.0;
}
