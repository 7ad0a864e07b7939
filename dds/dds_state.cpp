// The process-wide channel table and module clocks, and the names of the result codes.
#include "dds.h"

#include <cmath>

DdsChannelState DdsChannelTable[DDS_CHANNELS];
DdsModuleClocksRecord DdsModuleClocks;

namespace {

// Beside the table rather than in its rows, so that the rows stay the four values that the
// words reproduce.
bool g_channelKnown[DDS_CHANNELS] = {true, true, true, true, true, true,
                                     true, true, true, true, true, true};

void SetAllKnown(bool known) {
    for (bool& flag : g_channelKnown) {
        flag = known;
    }
}

} // namespace

void DdsResetState() {
    for (DdsChannelState& row : DdsChannelTable) {
        row = DdsChannelState{};
    }
    DdsModuleClocks = DdsModuleClocksRecord{};
    SetAllKnown(true);
}

bool DdsChannelKnown(int channel) {
    return channel >= 0 && channel < DDS_CHANNELS && g_channelKnown[channel];
}

void DdsMarkChannelsUnknown() {
    SetAllKnown(false);
}

void DdsMarkChannelKnown(int channel) {
    if (channel >= 0 && channel < DDS_CHANNELS) {
        g_channelKnown[channel] = true;
    }
}

void DdsMarkAllChannelsKnown() {
    SetAllKnown(true);
}

bool DdsClockUsable(double clockHz) {
    // Written so that NaN fails every comparison and is refused.
    return std::isfinite(clockHz) && clockHz > 0.0 && clockHz <= DDS_CLOCK_MAX_HZ;
}

const char* DdsResultName(std::uint32_t result) {
    switch (result) {
    case DDS_OK:
        return "DDS_OK";
    case DDS_E_REPLY:
        return "DDS_E_REPLY";
    case DDS_E_FILE:
        return "DDS_E_FILE";
    case DDS_E_CHANNEL:
        return "DDS_E_CHANNEL";
    case DDS_E_VALUE:
        return "DDS_E_VALUE";
    case DDS_E_CLOCK:
        return "DDS_E_CLOCK";
    default:
        return "unknown";
    }
}
