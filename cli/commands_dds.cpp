// init, clocks, set, off, update, table: DDS control, channels numbered 1 to 12 as the operator
// sees them.
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "cli.h"
#include "dds.h"
#include "numtext.h"

namespace {

// Reports a result other than DDS_OK: its name and value, and a non-zero exit status.
bool Check(CliContext& ctx, std::uint32_t result) {
    if (result == DDS_OK) {
        return true;
    }
    ctx.Fail(NumFormatString("%s (0x%08X)", DdsResultName(result), static_cast<unsigned>(result)),
             3);
    return false;
}

void PrintClocks(const DdsModuleClocksRecord& c) {
    std::printf("%s", NumFormatString("crystal %.0f Hz\nreference %.0f Hz\ndds %.0f Hz\n",
                                      c.crystalHz, c.referenceHz, c.ddsClockHz)
                          .c_str());
}

void PrintRow(int channel) {
    if (channel < 0 || channel >= DDS_CHANNELS) {
        return;
    }
    const DdsChannelState& r = DdsChannelTable[channel];
    std::printf("%s",
                NumFormatString("CH%d %s freq=%.6f Hz phase=%.6f deg amplitude=%.6f\n", channel + 1,
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

// Reads a decimal argument; false with a message naming it when the text is not one number.
bool ParseDecimal(CliContext& ctx, const char* what, const std::string& text, double& value) {
    if (!IsDecimalText(text)) {
        ctx.Fail(std::string(what) + ": '" + text + "' is not a decimal number", 2);
        return false;
    }
    value = NumTextToDouble(text);
    return true;
}

struct SetArgs {
    int channel = 0;
    std::string freqMHz;
    std::string ampPercent;
    std::string phaseDeg;
    bool multi = false;
};

// The channel index of an operator's channel number 1 to 12; -1 (refused by DDS control) for any
// other number, without the overflow of subtracting 1 from the most negative int.
int ChannelIndex(int channelNumber) {
    return channelNumber >= 1 && channelNumber <= DDS_CHANNELS ? channelNumber - 1 : -1;
}

// Sends one setting and prints the command text and the row the table now holds.
void RunSet(CliContext& ctx, int channelNumber, double freqHz, double phase, double amplitude,
            bool multi) {
    if (!ctx.EnsurePort()) {
        return;
    }
    const int index = ChannelIndex(channelNumber);
    const std::uint32_t r = DdsSetChannel(index, freqHz, phase, amplitude, multi ? 0 : 1);
    if (r == DDS_OK || r == DDS_E_REPLY) {
        std::printf("%s\n", DdsLastCommand());
        PrintRow(index);
    }
    Check(ctx, r);
}

} // namespace

void CliAddDdsCommands(CLI::App& app, CliContext& ctx) {
    auto mode = std::make_shared<int>(2);
    CLI::App* init = app.add_subcommand(
        "init", "Initialise the module with a clock mode (DI); print the three clocks in Hz");
    init->add_option("MODE", *mode, "Clock mode 1 to 8 (others mean 2)")->capture_default_str();
    init->callback([&ctx, mode] {
        if (ctx.EnsurePort() && Check(ctx, DdsInit(*mode))) {
            PrintClocks(DdsModuleClocks);
        }
    });

    app.add_subcommand("clocks", "Read the module's three clocks (u0); print them in Hz")
        ->callback([&ctx] {
            DdsModuleClocksRecord clocks;
            if (ctx.EnsurePort() && Check(ctx, DdsReadClocks(&clocks))) {
                PrintClocks(clocks);
            }
        });

    auto set = std::make_shared<SetArgs>();
    CLI::App* setCmd = app.add_subcommand(
        "set", "Set a channel: frequency in MHz, amplitude in percent, phase in degrees");
    setCmd->add_option("CH", set->channel, "Channel 1 to 12")->required();
    setCmd->add_option("FREQ_MHZ", set->freqMHz, "Frequency in MHz (0 switches off)")->required();
    setCmd->add_option("AMP_PERCENT", set->ampPercent, "Amplitude in percent of full scale")
        ->required();
    setCmd->add_option("PHASE_DEG", set->phaseDeg, "Phase in degrees")->required();
    setCmd->add_flag("--multi", set->multi,
                     "Multiple-channel mode: held by the module until 'update'");
    setCmd->callback([&ctx, set] {
        // The same conversion as the console's entry fields, for texts that are numbers.
        double mhz = 0;
        double percent = 0;
        double degrees = 0;
        if (!ParseDecimal(ctx, "FREQ_MHZ", set->freqMHz, mhz) ||
            !ParseDecimal(ctx, "AMP_PERCENT", set->ampPercent, percent) ||
            !ParseDecimal(ctx, "PHASE_DEG", set->phaseDeg, degrees)) {
            return;
        }
        RunSet(ctx, set->channel, mhz * 1000000.0, degrees, percent / 100.0, set->multi);
    });

    auto off = std::make_shared<SetArgs>();
    CLI::App* offCmd = app.add_subcommand(
        "off", "Switch a channel off, keeping the phase and amplitude the table holds");
    offCmd->add_option("CH", off->channel, "Channel 1 to 12")->required();
    offCmd->add_flag("--multi", off->multi, "Multiple-channel mode");
    offCmd->callback([&ctx, off] {
        const int index = ChannelIndex(off->channel);
        const bool known = index >= 0 && index < DDS_CHANNELS;
        const double phase = known ? DdsChannelTable[index].phaseDeg : 0.0;
        const double amplitude = known ? DdsChannelTable[index].amplitude : 0.0;
        RunSet(ctx, off->channel, 0.0, phase, amplitude, off->multi);
    });

    app.add_subcommand("update", "Apply the settings held in multiple-channel mode (DDU)")
        ->callback([&ctx] {
            if (ctx.EnsurePort()) {
                Check(ctx, DdsUpdate());
            }
        });

    app.add_subcommand("table", "Print the channel table as the console last set it")->callback([] {
        for (int i = 0; i < DDS_CHANNELS; ++i) {
            PrintRow(i);
        }
    });
}
