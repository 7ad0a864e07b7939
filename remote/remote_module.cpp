// CRemoteDirectModule: the engine's module calls made directly on dds/ and link/.
#include "remote.h"

#include "monitor.h"

std::uint32_t CRemoteDirectModule::SetChannel(int channel, double freqHz, double phaseDeg,
                                              double amplitude, int single) {
    return DdsSetChannel(channel, freqHz, phaseDeg, amplitude, single);
}

std::uint32_t CRemoteDirectModule::Update() {
    return DdsUpdate();
}

std::uint32_t CRemoteDirectModule::Init(int clockMode) {
    return DdsInit(clockMode);
}

std::uint32_t CRemoteDirectModule::ReadClocks(DdsModuleClocksRecord* clocks) {
    return DdsReadClocks(clocks);
}

void CRemoteDirectModule::AdoptClocks(const DdsModuleClocksRecord& clocks) {
    DdsAdoptClocks(clocks);
}

bool CRemoteDirectModule::ClockKnown() {
    return DdsClockKnown();
}

DdsModuleClocksRecord CRemoteDirectModule::Clocks() {
    return DdsModuleClocks;
}

DdsChannelState CRemoteDirectModule::Channel(int channel) {
    return channel >= 0 && channel < DDS_CHANNELS ? DdsChannelTable[channel] : DdsChannelState{};
}

bool CRemoteDirectModule::ChannelKnown(int channel) {
    return DdsChannelKnown(channel);
}

bool CRemoteDirectModule::Version(ModuleVersion* version) {
    if (MonitorV() != 0) {
        return false;
    }
    *version = ComLink.version;
    return true;
}

bool CRemoteDirectModule::Probe() {
    return LinkProbe();
}

bool CRemoteDirectModule::LineGone() {
    return !LinkIsOpen() || LinkIsGone();
}
