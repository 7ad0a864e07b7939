// init, clocks, set, off, sweep, update, table: DDS control, channels numbered 1 to 12 as the
// operator sees them. Settings need the DDS clock, not an initialised module: the first one of a
// process reads the clock (CliContext::EnsureClock) and leaves every other channel as it is.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "cli.h"
#include "cli_platform.h"
#include "dds.h"
#include "numtext.h"

namespace {

constexpr double HZ_PER_MHZ = 1e6;
constexpr long long SWEEP_POINTS_MAX = 10000000; // points of one sweep at most
constexpr int DWELL_MAX_MS = 86400000;           // a day
constexpr int SWEEP_BAR_WIDTH = 30;              // characters of the sweep's progress bar

// A number for messages: up to ten significant digits, no trailing zeros ("60", "0.03").
std::string Number(double value) {
    return NumFormatString("%.10g", value);
}

void PrintClocks(const DdsModuleClocksRecord& c) {
    std::printf("%s", NumFormatString("crystal %.0f Hz\nreference %.0f Hz\ndds %.0f Hz\n",
                                      c.crystalHz, c.referenceHz, c.ddsClockHz)
                          .c_str());
}

void PrintRow(int index) {
    const DdsChannelState& r = DdsChannelTable[index];
    std::printf("%s",
                NumFormatString("CH%d %s freq=%.6f Hz phase=%.6f deg amplitude=%.6f\n", index + 1,
                                r.on ? "on" : "off", r.freqHz, r.phaseDeg, r.amplitude)
                    .c_str());
}

// True when text is one decimal number and nothing else (blanks around it allowed): an optional
// sign, digits with an optional ".", an optional exponent. NumTextToDouble alone would read
// "abc" or "0x10" as 0 and switch the channel off, and "12,5" as 12.
bool IsDecimalText(const std::string& text) {
    static constexpr const char* BLANKS = " \t\r\n\v\f";
    std::size_t i = text.find_first_not_of(BLANKS);
    const std::size_t end = text.find_last_not_of(BLANKS) + 1;
    if (i == std::string::npos) {
        return false;
    }
    auto digits = [&] {
        const std::size_t from = i;
        while (i < end && text[i] >= '0' && text[i] <= '9') {
            ++i;
        }
        return i - from;
    };
    if (text[i] == '+' || text[i] == '-') {
        ++i;
    }
    std::size_t mantissa = digits();
    if (i < end && text[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0) {
        return false;
    }
    if (i < end && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < end && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        if (digits() == 0) {
            return false;
        }
    }
    return i == end;
}

// Reads a decimal argument; false with a message naming it when the text is not one finite
// number.
bool ParseDecimal(CliContext& ctx, const char* what, const std::string& text, double& value) {
    if (!IsDecimalText(text)) {
        ctx.Fail(std::string(what) + ": '" + text + "' is not a decimal number", CLI_EXIT_USAGE);
        return false;
    }
    value = NumTextToDouble(text);
    if (!std::isfinite(value)) {
        ctx.Fail(std::string(what) + ": '" + text + "' is too large", CLI_EXIT_USAGE);
        return false;
    }
    return true;
}

// Reads a frequency: a number in MHz, or one with the unit Hz, kHz, MHz or GHz.
bool ParseFrequency(CliContext& ctx, const char* what, const std::string& text, double& mhz) {
    const NumUnitValue v = NumTextWithUnit(text, NUM_UNITS_FREQ_MHZ, 4);
    if (!v.number || !v.exact) {
        ctx.Fail(std::string(what) + ": '" + text +
                     "' is not a frequency (a number in MHz, or with the unit Hz, kHz, MHz or "
                     "GHz)",
                 CLI_EXIT_USAGE);
        return false;
    }
    if (!std::isfinite(v.value)) {
        ctx.Fail(std::string(what) + ": '" + text + "' is not a finite number", CLI_EXIT_USAGE);
        return false;
    }
    mhz = v.value;
    return true;
}

// The checks that need no module: channel, frequency below 0, amplitude. False with a message.
bool CheckChannel(CliContext& ctx, int channelNumber) {
    if (channelNumber < 1 || channelNumber > DDS_CHANNELS) {
        ctx.Fail("channel " + std::to_string(channelNumber) + " is outside 1 to " +
                     std::to_string(DDS_CHANNELS),
                 CLI_EXIT_USAGE);
        return false;
    }
    return true;
}

bool CheckSetting(CliContext& ctx, int channelNumber, double freqMHz, double ampPercent) {
    if (!CheckChannel(ctx, channelNumber)) {
        return false;
    }
    if (freqMHz < 0) {
        ctx.Fail("frequency " + Number(freqMHz) + " MHz is below 0", CLI_EXIT_USAGE);
        return false;
    }
    if (!(ampPercent >= 0 && ampPercent <= 100)) {
        ctx.Fail("amplitude " + Number(ampPercent) + " % is outside 0 to 100", CLI_EXIT_USAGE);
        return false;
    }
    return true;
}

void FailAboveHalfClock(CliContext& ctx, double freqMHz) {
    ctx.Fail("frequency " + Number(freqMHz) + " MHz is not below half the DDS clock (" +
                 Number(DdsModuleClocks.ddsClockHz / 2 / HZ_PER_MHZ) + " MHz)",
             CLI_EXIT_USAGE);
}

// Opens the port and, for a frequency other than 0, makes the clock known and checks the
// frequency against it. False with a message.
bool ReadyFor(CliContext& ctx, double highestMHz) {
    if (highestMHz == 0) {
        return ctx.EnsurePort();
    }
    if (!ctx.EnsureClock() || !ctx.EnsurePort()) {
        return false;
    }
    if (highestMHz * HZ_PER_MHZ >= DdsModuleClocks.ddsClockHz / 2) {
        FailAboveHalfClock(ctx, highestMHz);
        return false;
    }
    return true;
}

// Sends one setting whose values were checked. Reports a refusal or a missing confirmation.
// Returns DdsSetChannel's result (DDS_E_REPLY: sent, but not confirmed).
std::uint32_t SendSetting(CliContext& ctx, int channelNumber, double freqMHz, double phaseDeg,
                          double ampPercent, bool multi) {
    const std::uint32_t r = DdsSetChannel(channelNumber - 1, freqMHz * HZ_PER_MHZ, phaseDeg,
                                          ampPercent / 100.0, multi ? 0 : 1);
    if (r == DDS_OK) {
        return r;
    }
    if (r == DDS_E_REPLY) {
        ctx.Fail("channel " + std::to_string(channelNumber) +
                     ": the module did not confirm the setting (DDS_E_REPLY)",
                 CLI_EXIT_MODULE);
    } else if (r == DDS_E_VALUE) {
        // Just below half the clock the rounded word can still reach 2^31.
        FailAboveHalfClock(ctx, freqMHz);
    } else {
        ctx.Fail(NumFormatString("channel %d: refused (%s)", channelNumber, DdsResultName(r)),
                 CLI_EXIT_USAGE);
    }
    return r;
}

// Sends one setting and prints the command text and the row the table now holds.
void RunSet(CliContext& ctx, int channelNumber, double freqMHz, double phaseDeg, double ampPercent,
            bool multi) {
    if (!CheckSetting(ctx, channelNumber, freqMHz, ampPercent) || !ReadyFor(ctx, freqMHz)) {
        return;
    }
    const std::uint32_t r = SendSetting(ctx, channelNumber, freqMHz, phaseDeg, ampPercent, multi);
    if (r == DDS_OK || r == DDS_E_REPLY) {
        std::printf("%s\n", DdsLastCommand());
        PrintRow(channelNumber - 1);
    }
}

struct SetArgs {
    int channel = 0;
    std::string freq;
    std::string ampPercent;
    std::string phaseDeg;
    bool multi = false;
};

struct SweepArgs {
    int channel = 0;
    std::string start, stop, step;
    int dwellMs = 0;
    std::string amp = "100";
    std::string phase = "0";
    bool multi = false;
};

// The sweep's progress on standard error, redrawn in place after each point.
void DrawSweepBar(long long done, long long total, double freqMHz) {
    const int filled = static_cast<int>(done * SWEEP_BAR_WIDTH / total);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(SWEEP_BAR_WIDTH, '.');
    CliWriteStderr(NumFormatString("\r[%s] %lld/%lld %s MHz ", bar.c_str(), done, total,
                                   Number(freqMHz).c_str()));
}

// Waits until the instant, in short steps so that Ctrl-C ends the wait at once. False when
// interrupted.
bool WaitUntil(std::chrono::steady_clock::time_point until) {
    using namespace std::chrono;
    while (!CliInterrupted()) {
        const auto now = steady_clock::now();
        if (now >= until) {
            return true;
        }
        std::this_thread::sleep_for(std::min<steady_clock::duration>(until - now, 20ms));
    }
    return false;
}

void RunSweep(CliContext& ctx, const SweepArgs& a) {
    double start = 0, stop = 0, step = 0, amp = 0, phase = 0;
    if (!ParseFrequency(ctx, "START", a.start, start) ||
        !ParseFrequency(ctx, "STOP", a.stop, stop) || !ParseFrequency(ctx, "STEP", a.step, step) ||
        !ParseDecimal(ctx, "--amp", a.amp, amp) || !ParseDecimal(ctx, "--phase", a.phase, phase) ||
        !CheckSetting(ctx, a.channel, std::min(start, stop), amp)) {
        return;
    }
    if (step == 0) {
        ctx.Fail("STEP: 0 MHz never reaches STOP", CLI_EXIT_USAGE);
        return;
    }
    if (stop != start && (stop > start) != (step > 0)) {
        ctx.Fail("STEP " + Number(step) + " MHz leads away from STOP (" + Number(start) + " to " +
                     Number(stop) + " MHz)",
                 CLI_EXIT_USAGE);
        return;
    }
    // Points are start + i * step, computed afresh for each i so that no error accumulates; the
    // last one is STOP itself when STOP lies on the grid (within rounding).
    const double steps = (stop - start) / step;
    if (steps > static_cast<double>(SWEEP_POINTS_MAX)) {
        ctx.Fail("more than " + std::to_string(SWEEP_POINTS_MAX) + " points", CLI_EXIT_USAGE);
        return;
    }
    const double tolerance = 1e-9 * std::max(1.0, steps);
    const long long last = static_cast<long long>(std::floor(steps + tolerance));
    const bool stopOnGrid = std::fabs(steps - static_cast<double>(last)) <= tolerance;
    const auto point = [&](long long i) {
        return i == last && stopOnGrid ? stop : start + static_cast<double>(i) * step;
    };
    const long long total = last + 1;
    if (!ReadyFor(ctx, std::max(point(0), point(last)))) {
        return;
    }

    // Ctrl-C ends the sweep after the point in progress, not inside its exchange.
    CliSetInterruptCancelsExchange(false);
    const bool bar = CliIsTerminal(2);
    long long done = 0;
    double lastMHz = 0;
    for (long long i = 0; i < total && !CliInterrupted(); ++i) {
        const double mhz = point(i);
        const bool ok = SendSetting(ctx, a.channel, mhz, phase, amp, a.multi) == DDS_OK;
        if (ok && a.multi) {
            DdsUpdate();
        }
        // The dwell counts from the reply, not from the start of the exchange.
        const auto replied = std::chrono::steady_clock::now();
        const DdsChannelState& row = DdsChannelTable[a.channel - 1];
        std::printf("%s", NumFormatString("%lld %.6f Hz %s\n", i + 1, row.on ? row.freqHz : 0.0,
                                          ok ? "ok" : "failed")
                              .c_str());
        std::fflush(stdout); // a sweep is watched as it runs
        if (!ok) {
            break;
        }
        done = i + 1;
        lastMHz = mhz;
        if (bar) {
            DrawSweepBar(done, total, mhz);
        }
        if (!WaitUntil(replied + std::chrono::milliseconds(a.dwellMs))) {
            break;
        }
    }
    CliSetInterruptCancelsExchange(true);
    if (bar) {
        CliWriteStderr("\n");
    }
    if (CliInterrupted()) {
        ctx.Fail(NumFormatString("interrupted after point %lld of %lld (%s MHz)", done, total,
                                 Number(lastMHz).c_str()),
                 CLI_EXIT_INTERRUPTED);
    }
}

} // namespace

void CliAddDdsCommands(CLI::App& app, CliContext& ctx) {
    auto mode = std::make_shared<int>(2);
    CLI::App* init = app.add_subcommand(
        "init", "Initialise the module with a clock mode (DI): resets EVERY channel to 10 MHz at "
                "amplitude 0; prints the three clocks in Hz. Not needed before set");
    init->add_option("MODE", *mode, "Clock mode 1 to 8 (others mean 2)")->capture_default_str();
    init->preparse_callback([mode](std::size_t) { *mode = 2; });
    init->callback([&ctx, mode] {
        if (!ctx.EnsurePort()) {
            return;
        }
        if (DdsInit(*mode) != DDS_OK) {
            ctx.Fail("the module did not answer the initialisation (" +
                         std::string(DdsLastCommand()) + ") as expected (DDS_E_REPLY)",
                     CLI_EXIT_MODULE);
            return;
        }
        PrintClocks(DdsModuleClocks);
    });

    app.add_subcommand("clocks", "Read the module's three clocks (u0); print them in Hz")
        ->callback([&ctx] {
            DdsModuleClocksRecord clocks;
            if (!ctx.EnsurePort()) {
                return;
            }
            if (DdsReadClocks(&clocks) != DDS_OK) {
                ctx.Fail("the module did not report its clocks (u0)", CLI_EXIT_MODULE);
                return;
            }
            PrintClocks(clocks);
        });

    auto set = std::make_shared<SetArgs>();
    CLI::App* setCmd = app.add_subcommand(
        "set", "Set one channel: frequency (MHz, or with Hz/kHz/MHz/GHz), amplitude in percent, "
               "phase in degrees. The other channels stay as they are");
    setCmd->add_option("CH", set->channel, "Channel 1 to 12")->required();
    setCmd->add_option("FREQ", set->freq, "Frequency: 10, 10.5MHz, 250 kHz (0 switches off)")
        ->required();
    setCmd->add_option("AMP_PERCENT", set->ampPercent, "Amplitude in percent of full scale")
        ->required();
    setCmd->add_option("PHASE_DEG", set->phaseDeg, "Phase in degrees")->required();
    setCmd->add_flag("--multi", set->multi,
                     "Multiple-channel mode: held by the module until 'update'");
    setCmd->preparse_callback([set](std::size_t) { *set = SetArgs{}; });
    setCmd->callback([&ctx, set] {
        double mhz = 0;
        double percent = 0;
        double degrees = 0;
        if (!ParseFrequency(ctx, "FREQ", set->freq, mhz) ||
            !ParseDecimal(ctx, "AMP_PERCENT", set->ampPercent, percent) ||
            !ParseDecimal(ctx, "PHASE_DEG", set->phaseDeg, degrees)) {
            return;
        }
        RunSet(ctx, set->channel, mhz, degrees, percent, set->multi);
    });

    auto off = std::make_shared<SetArgs>();
    CLI::App* offCmd = app.add_subcommand(
        "off", "Switch a channel off, keeping the phase and amplitude the table holds");
    offCmd->add_option("CH", off->channel, "Channel 1 to 12")->required();
    offCmd->add_flag("--multi", off->multi, "Multiple-channel mode");
    offCmd->preparse_callback([off](std::size_t) { *off = SetArgs{}; });
    offCmd->callback([&ctx, off] {
        if (!CheckChannel(ctx, off->channel)) {
            return;
        }
        const DdsChannelState& row = DdsChannelTable[off->channel - 1];
        RunSet(ctx, off->channel, 0.0, row.phaseDeg, row.amplitude * 100.0, off->multi);
    });

    auto sweep = std::make_shared<SweepArgs>();
    CLI::App* sweepCmd = app.add_subcommand(
        "sweep", "Step a channel's frequency from START to STOP by STEP (negative to go down), "
                 "holding each point for the dwell; print 'point frequency result' a point. "
                 "Ctrl-C stops after the current point (status 130)");
    sweepCmd->add_option("CH", sweep->channel, "Channel 1 to 12")->required();
    sweepCmd->add_option("START", sweep->start, "First frequency (MHz, or with a unit)")
        ->required();
    sweepCmd->add_option("STOP", sweep->stop, "Last frequency; the last point when on the grid")
        ->required();
    sweepCmd->add_option("STEP", sweep->step, "Step (MHz, or with a unit)")->required();
    sweepCmd
        ->add_option("--dwell", sweep->dwellMs,
                     "Hold each point this many ms, counted from the module's reply")
        ->check(CLI::Range(0, DWELL_MAX_MS));
    sweepCmd->add_option("--amp", sweep->amp, "Amplitude in percent (default 100)");
    sweepCmd->add_option("--phase", sweep->phase, "Phase in degrees (default 0)");
    sweepCmd->add_flag("--multi", sweep->multi,
                       "Set each point in multiple-channel mode and apply it with 'update'");
    sweepCmd->preparse_callback([sweep](std::size_t) { *sweep = SweepArgs{}; });
    sweepCmd->callback([&ctx, sweep] { RunSweep(ctx, *sweep); });

    app.add_subcommand("update", "Apply the settings held in multiple-channel mode (DDU)")
        ->callback([&ctx] {
            if (ctx.EnsurePort()) {
                DdsUpdate();
            }
        });

    app.add_subcommand("table", "Print the channel table as this tool last set it")->callback([] {
        for (int i = 0; i < DDS_CHANNELS; ++i) {
            PrintRow(i);
        }
    });
}
