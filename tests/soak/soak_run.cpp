#include "soak_run.h"

#include <chrono>
#include <cstdio>
#include <random>

#include <unistd.h>

#include "comlink.h"
#include "dds.h"
#include "diag.h"
#include "pty_simulator.h"

namespace {

// Clock modes the run goes through: 122.88 MHz (words never exact), 100 MHz, 1 GHz.
constexpr int MODES[] = {7, 2, 8};
constexpr int MODE_CHANGES = 3; // the run is cut into this many + 1 parts, one mode each

// The words the module must hold for a channel, as the test computes them from the values it
// passed (the layer's own conversions, the same that produced the command).
struct Words {
    std::uint32_t freq = 0, phase = 0, amp = 0;
};

class CSoak {
public:
    CSoak(const SoakOptions& options, SoakReport& report)
        : m_options(options), m_report(report), m_random(options.seed) {}

    void Run() {
        DdsResetState();
        DiagSetSink([this](std::string_view text) { m_report.diagnostics.append(text); });
        if (!m_sim.Start() ||
            OpenComDevice(m_sim.SlavePath(), 115200, 'N', 13, true) != LINK_OPEN_OK) {
            Finish();
            return;
        }
        m_report.diagnostics.clear(); // the open's success line; anything later is a fault
        Init(MODES[0]);
        m_report.started = m_report.failures == 0;
        const long total = m_options.settings;
        const long part = total / (MODE_CHANGES + 1) + 1;
        const long sampleEvery = total / (m_options.samples > 0 ? m_options.samples : 1) + 1;
        const auto start = std::chrono::steady_clock::now();
        int untilUpdate = NextUpdateGap();
        for (long i = 0; i < total && m_report.started; ++i) {
            if (i > 0 && i % part == 0) {
                Update(); // what is pending goes out before the module is initialised again
                Init(MODES[(i / part) % (sizeof MODES / sizeof MODES[0])]);
            }
            if (OneSetting()) {
                if (--untilUpdate == 0) {
                    Update();
                    untilUpdate = NextUpdateGap();
                }
            }
            if (i % sampleEvery == sampleEvery / 2) {
                // The simulator records every byte it receives, for tests that look at them;
                // that record is not the module's memory and would grow with the run.
                m_sim.ClearReceived();
                m_report.rssKiB.push_back(SoakResidentKiB());
            }
        }
        Update();
        Check();
        m_report.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        m_sim.ClearReceived();
        m_report.rssKiB.push_back(SoakResidentKiB());
        Finish();
    }

private:
    void Finish() {
        CloseComPort();
        m_sim.Stop();
        DiagSetSink({});
        DdsResetState();
    }

    int NextUpdateGap() { return std::uniform_int_distribution<int>(1, 24)(m_random); }

    void Init(int mode) {
        ++m_report.inits;
        if (DdsInit(mode) != DDS_OK) {
            ++m_report.failures;
            return;
        }
        const std::uint32_t ten = static_cast<std::uint32_t>(FreqToWord(10e6));
        for (int ch = 0; ch < DDS_CHANNELS; ++ch) {
            m_applied[ch] = {ten, 0, 0};
            m_hasPending[ch] = false;
        }
        Check();
    }

    // One setting of a random channel in a random mode; true when it was a multiple-channel
    // setting (which waits for "DDU").
    bool OneSetting() {
        const double clock = DdsModuleClocks.ddsClockHz;
        const int ch = std::uniform_int_distribution<int>(0, DDS_CHANNELS - 1)(m_random);
        const bool multi = (m_random() & 1) != 0;
        const bool off = m_random() % 16 == 0;
        const double freq =
            off ? 0.0 : std::uniform_real_distribution<double>(1.0, clock * 0.49)(m_random);
        const double phase = std::uniform_real_distribution<double>(-720.0, 720.0)(m_random);
        const double amplitude = std::uniform_real_distribution<double>(0.0, 1.0)(m_random);

        const std::uint32_t r = DdsSetChannel(ch, freq, phase, amplitude, multi ? 0 : 1);
        ++m_report.settings;
        if (r != DDS_OK) {
            ++m_report.failures;
        }
        // The module's words for this setting, from the values the table now holds (phases
        // outside 0 to 360 are brought into range by the layer; the row holds the result).
        const DdsChannelState& row = DdsChannelTable[ch];
        Words w;
        w.freq = off ? 0u : static_cast<std::uint32_t>(FreqToWord(freq));
        w.phase = static_cast<std::uint32_t>(PhaseToWord(row.phaseDeg));
        w.amp = static_cast<std::uint32_t>(AmpToWord(amplitude));
        if (multi) {
            ++m_report.multiples;
            m_pending[ch] = w;
            m_hasPending[ch] = true;
        } else {
            ++m_report.singles;
            m_applied[ch] = w;
            m_hasPending[ch] = false; // a single setting supersedes what was pending
        }
        return multi;
    }

    void Update() {
        ++m_report.updates;
        DdsUpdate();
        for (int ch = 0; ch < DDS_CHANNELS; ++ch) {
            if (m_hasPending[ch]) {
                m_applied[ch] = m_pending[ch];
                m_hasPending[ch] = false;
            }
        }
        Check();
    }

    // After an update nothing is pending: every register must be what was sent last, and what
    // the table says.
    void Check() {
        for (int ch = 0; ch < DDS_CHANNELS; ++ch) {
            ++m_report.checks;
            const SimChannel reg = m_sim.Channel(ch);
            const Words& want = m_applied[ch];
            const DdsChannelState& row = DdsChannelTable[ch];
            const bool sentMatches =
                reg.freqWord == want.freq && reg.phaseWord == want.phase && reg.ampWord == want.amp;
            const bool rowMatches =
                reg.on == (row.on == 1) &&
                (row.on == 0 || row.freqHz == 10e6 ||
                 WordToFreq(static_cast<std::int32_t>(reg.freqWord)) == row.freqHz) &&
                WordToPhase(static_cast<std::int32_t>(reg.phaseWord)) == row.phaseDeg &&
                WordToAmp(static_cast<std::int32_t>(reg.ampWord)) == row.amplitude;
            if (!sentMatches || !rowMatches) {
                ++m_report.mismatches;
                if (m_report.firstMismatch.empty()) {
                    char text[200];
                    std::snprintf(text, sizeof text,
                                  "channel %d after %ld settings: register %x %x %x, sent %x %x %x",
                                  ch, m_report.settings, reg.freqWord, reg.phaseWord, reg.ampWord,
                                  want.freq, want.phase, want.amp);
                    m_report.firstMismatch = text;
                }
            }
        }
    }

    const SoakOptions& m_options;
    SoakReport& m_report;
    std::mt19937 m_random;
    CPtySimulator m_sim;
    Words m_applied[DDS_CHANNELS];
    Words m_pending[DDS_CHANNELS];
    bool m_hasPending[DDS_CHANNELS] = {};
};

} // namespace

long SoakResidentKiB() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) {
        return 0;
    }
    long size = 0;
    long resident = 0;
    const int got = std::fscanf(f, "%ld %ld", &size, &resident);
    std::fclose(f);
    return got == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

SoakReport SoakRun(const SoakOptions& options) {
    SoakReport report;
    CSoak soak(options, report);
    soak.Run();
    return report;
}
