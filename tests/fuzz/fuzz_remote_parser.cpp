// SCPI lines of any bytes through the remote engine against a module fake: nothing crashes,
// no answer carries a line end, the error queue never holds more than 16 entries, every set
// command that reaches the module carries values its words can hold, the kept values stay
// within their ranges, and the status byte says whether errors are queued.
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "fake_remote_module.h"
#include "remote.h"

namespace {

class CCheckedModule : public CFakeRemoteModule {
public:
    std::uint32_t SetChannel(int channel, double freqHz, double phaseDeg, double amplitude,
                             int single) override {
        // 0 (off), or at least one step of the frequency word and below half the clock.
        const bool freqOk = freqHz == 0.0 || (freqHz >= clocks.ddsClockHz / 4294967296.0 &&
                                              freqHz < clocks.ddsClockHz / 2.0);
        if (channel < 0 || channel >= DDS_CHANNELS || !freqOk || !(phaseDeg >= 0.0) ||
            !(phaseDeg <= 360.0) || !(amplitude >= 0.0) || !(amplitude <= 1.0) ||
            (single != 0 && single != 1)) {
            __builtin_trap(); // a value the engine should have refused reached the module
        }
        calls.clear(); // only the checks matter here; keep memory flat
        return CFakeRemoteModule::SetChannel(channel, freqHz, phaseDeg, amplitude, single);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    // Byte 0: which module calls fail, whether the line is gone, whether the setup store
    // fails; the rest: lines separated by
    // LF.
    CCheckedModule module;
    module.failSet = (data[0] & 1) != 0;
    module.failClocks = (data[0] & 2) != 0;
    module.failVersion = (data[0] & 4) != 0;
    module.failInit = (data[0] & 8) != 0;
    if (data[0] & 16) {
        module.readout.ddsClockHz = 0; // a module that reports no usable clock
    }
    module.failProbe = (data[0] & 32) != 0;
    module.lineGone = (data[0] & 64) != 0;
    CRemoteEngine engine(module);
    CFakeSetupStore store;
    store.fail = (data[0] & 128) != 0;
    engine.SetSetupStore(&store);
    CRemoteSession session;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    while (!rest.empty()) {
        const std::size_t cut = rest.find('\n');
        const std::string_view line = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        std::string response;
        if (engine.ExecuteLine(line, session, &response) &&
            response.find_first_of("\r\n") != std::string::npos) {
            __builtin_trap(); // an answer would end early on the client's side
        }
        if (session.ErrorCount() > REMOTE_ERROR_QUEUE || session.Esr() > 0xFF ||
            ((engine.StatusByte(session) & REMOTE_STB_EAV) != 0) != (session.ErrorCount() > 0)) {
            __builtin_trap();
        }
        module.calls.clear();
    }
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        const RemoteChannel& k = engine.Kept(i);
        if (!(k.freqHz >= 0.0) || !std::isfinite(k.freqHz) || !(k.phaseDeg >= 0.0) ||
            !(k.phaseDeg <= 360.0) || !(k.amplitude >= 0.0) || !(k.amplitude <= 1.0)) {
            __builtin_trap(); // a kept value out of its range
        }
    }
    while (session.ErrorCount() > 0) {
        if (session.PopError().find_first_of("\r\n") != std::string::npos) {
            __builtin_trap();
        }
    }
    return 0;
}
