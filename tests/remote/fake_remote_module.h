// A module for the SCPI engine without a port: keeps a channel table and clocks the way DDS
// control keeps them and records every call as one line of text ("set 0 1000000 90 0.5 1",
// "update", "init 2", "clocks", "version", "probe"), so that tests see exactly what would have been
// sent.
#pragma once

#include <charconv>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "remote.h"

class CFakeRemoteModule : public CRemoteModule {
public:
    std::vector<std::string> calls;
    DdsChannelState table[DDS_CHANNELS] = {};
    DdsModuleClocksRecord clocks;                      // the clocks known (ddsClockHz 0: none)
    DdsModuleClocksRecord readout{10e6, 100e6, 100e6}; // what the clock readout reports
    bool failSet = false;                              // the set command gets no proper reply
    bool failClocks = false;                           // the clock readout gets no proper reply
    bool failVersion = false;                          // the version command gets no proper reply
    bool failInit = false;
    bool refuseSet = false; // the set command is refused as DDS control refuses it: not sent
    bool failProbe = false; // the module does not answer the link's probe
    bool lineGone = false;  // the port's device has gone
    // Rows the host opened without resetting the module: unknown until a confirmed set.
    bool known[DDS_CHANNELS] = {true, true, true, true, true, true,
                                true, true, true, true, true, true};

    static std::string Num(double v) {
        char buf[400];
        const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
        return std::string(buf, r.ptr);
    }

    std::uint32_t SetChannel(int channel, double freqHz, double phaseDeg, double amplitude,
                             int single) override {
        calls.push_back("set " + std::to_string(channel) + " " + Num(freqHz) + " " + Num(phaseDeg) +
                        " " + Num(amplitude) + " " + std::to_string(single));
        if (refuseSet || channel < 0 || channel >= DDS_CHANNELS || !std::isfinite(freqHz) ||
            !std::isfinite(phaseDeg) || !(amplitude >= 0.0 && amplitude <= 1.0) || freqHz < 0 ||
            (freqHz != 0.0 && !(freqHz < clocks.ddsClockHz / 2.0))) {
            return DDS_E_VALUE;
        }
        DdsChannelState& row = table[channel];
        row.on = freqHz != 0.0 ? 1 : 0;
        if (freqHz != 0.0) {
            row.freqHz = freqHz;
        }
        row.phaseDeg = phaseDeg;
        row.amplitude = amplitude;
        if (!failSet) {
            known[channel] = true;
        }
        return failSet ? DDS_E_REPLY : DDS_OK;
    }
    std::uint32_t Update() override {
        calls.push_back("update");
        return DDS_OK;
    }
    std::uint32_t Init(int clockMode) override {
        calls.push_back("init " + std::to_string(clockMode));
        if (failInit) {
            return DDS_E_REPLY;
        }
        clocks = readout;
        for (DdsChannelState& row : table) {
            row = {1, 10e6, 0.0, 0.0};
        }
        return DDS_OK;
    }
    std::uint32_t ReadClocks(DdsModuleClocksRecord* out) override {
        calls.push_back("clocks");
        if (failClocks) {
            return DDS_E_REPLY;
        }
        *out = readout;
        return DDS_OK;
    }
    void AdoptClocks(const DdsModuleClocksRecord& c) override {
        clocks = c;
        if (!DdsClockUsable(c.ddsClockHz)) {
            clocks.ddsClockHz = 0;
        }
    }
    bool ClockKnown() override { return DdsClockUsable(clocks.ddsClockHz); }
    DdsModuleClocksRecord Clocks() override { return clocks; }
    DdsChannelState Channel(int channel) override { return table[channel]; }
    bool ChannelKnown(int channel) override { return known[channel]; }
    bool Version(ModuleVersion* version) override {
        calls.push_back("version");
        if (failVersion) {
            return false;
        }
        *version = ModuleVersion{"QM-TRV", 1, 2};
        return true;
    }
    bool Probe() override {
        calls.push_back("probe");
        return !failProbe;
    }
    bool LineGone() override { return lineGone; }
};

// The setups of *SAV and *RCL in memory; fail: every call fails.
class CFakeSetupStore : public CRemoteSetupStore {
public:
    std::map<int, RemoteSetup> setups;
    bool fail = false;

    bool Save(int slot, const RemoteSetup& setup, std::string* error) override {
        *error = "disk full";
        if (!fail) {
            setups[slot] = setup;
        }
        return !fail;
    }
    Recalled Recall(int slot, RemoteSetup* setup, std::string* error) override {
        *error = "unreadable";
        const auto it = setups.find(slot);
        if (fail) {
            return Recalled::Failed;
        }
        if (it == setups.end()) {
            return Recalled::Empty;
        }
        *setup = it->second;
        return Recalled::Found;
    }
};
