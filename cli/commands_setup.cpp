// apply, capture: channel setup files (the console's 通道設定檔) from the command line. Rows CH1
// to CH4 are channels 1 to 4 and rows CH5 to CH8 channels 9 to 12, as on the console's panel.
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "channel_setup.h"
#include "cli.h"
#include "dds.h"
#include "numtext.h"

namespace {

std::string SetupErrorText(const ChannelSetupResult& r) {
    switch (r.error) {
    case ChannelSetupError::None:
        break;
    case ChannelSetupError::Unreadable:
        return "cannot read " + r.detail;
    case ChannelSetupError::NotSetupFile:
        return r.detail + " is not a channel setup file (no [CH1] to [CH8] or [MODE] section)";
    case ChannelSetupError::BadFlag:
        return r.detail + ": must be 0 or 1";
    case ChannelSetupError::WriteFailed:
        return "cannot write " + r.detail;
    }
    return {};
}

// Sends one row; a row switched off keeps the phase and amplitude of the table when the file's
// cannot be sent, as the console does. False (reported) when DDS control refused the row.
bool ApplyRow(CliContext& ctx, int row, const ChannelSetupRow& r, int single) {
    const int index = ChannelSetupRowIndex(row);
    const ChannelSetupValues v = ChannelSetupRowValues(r);
    std::uint32_t result = 0;
    if (*r.on) {
        result = DdsSetChannel(index, v.freqHz, v.phaseDeg, v.amplitude, single);
    } else {
        result = DdsSetChannel(index, 0.0, v.phaseDeg, v.amplitude, single);
        if (result == DDS_E_VALUE) {
            result = DdsSetChannel(index, 0.0, DdsChannelTable[index].phaseDeg,
                                   DdsChannelTable[index].amplitude, single);
        }
    }
    if (result == DDS_OK || result == DDS_E_REPLY) {
        std::printf("%s\n", DdsLastCommand());
    }
    if (result != DDS_OK) {
        ctx.Fail(NumFormatString("[%s] (channel %d): %s (0x%08X)", ChannelSetupSection(row).c_str(),
                                 index + 1, DdsResultName(result), static_cast<unsigned>(result)),
                 CLI_EXIT_MODULE);
        return false;
    }
    return true;
}

} // namespace

void CliAddSetupCommands(CLI::App& app, CliContext& ctx) {
    auto applyFile = std::make_shared<std::string>();
    CLI::App* apply = app.add_subcommand(
        "apply", "Apply a channel setup file: rows with ON=1 on, rows with ON=0 off, then one "
                 "update when MULTI=1");
    apply->add_option("FILE", *applyFile, "Channel setup file")->required();
    apply->callback([&ctx, applyFile] {
        ChannelSetup setup;
        const ChannelSetupResult r = ChannelSetupLoad(*applyFile, setup);
        if (!r.ok()) {
            ctx.Fail(SetupErrorText(r), CLI_EXIT_USAGE);
            return;
        }
        if (!ctx.EnsurePort()) {
            return;
        }
        // Frequencies need the module's DDS clock (--clock-mhz or its readout; no reset). Rows
        // that switch channels off do not, so they are still sent without one.
        const bool haveClock = ctx.EnsureClock();
        const bool multi = setup.multi.value_or(false);
        bool sent = false;
        // Every row the file switches is sent, top to bottom (a fresh process does not know
        // what the module runs, so ON=0 rows are sent off); rows without ON are left alone.
        for (int row = 0; row < CHANNEL_SETUP_ROWS; ++row) {
            const ChannelSetupRow& rowSetup = setup.rows[static_cast<std::size_t>(row)];
            if (rowSetup.on && (haveClock || !*rowSetup.on)) {
                (void)ApplyRow(ctx, row, rowSetup, multi ? 0 : 1);
                sent = true;
            }
        }
        if (multi && sent) {
            const std::uint32_t u = DdsUpdate();
            if (u != DDS_OK) {
                ctx.Fail(NumFormatString("update: %s (0x%08X)", DdsResultName(u),
                                         static_cast<unsigned>(u)),
                         CLI_EXIT_MODULE);
            }
        }
    });

    auto captureFile = std::make_shared<std::string>();
    CLI::App* capture = app.add_subcommand(
        "capture", "Write the channel table of this process (as set by earlier commands of the "
                   "same script) as a channel setup file; MULTI is written as 0");
    capture->add_option("FILE", *captureFile, "Channel setup file to write")->required();
    capture->callback([&ctx, captureFile] {
        ChannelSetup setup;
        setup.multi = false;
        for (int row = 0; row < CHANNEL_SETUP_ROWS; ++row) {
            const DdsChannelState& s = DdsChannelTable[ChannelSetupRowIndex(row)];
            ChannelSetupRow& r = setup.rows[static_cast<std::size_t>(row)];
            r.freq = NumFormatString("%.6g", s.freqHz / 1000000.0);
            r.amp = NumFormatString("%.6g", s.amplitude * 100.0);
            r.phase = NumFormatString("%.6g", s.phaseDeg);
            r.on = s.on;
        }
        const ChannelSetupResult r = ChannelSetupSave(*captureFile, setup);
        if (!r.ok()) {
            ctx.Fail(SetupErrorText(r), CLI_EXIT_OPEN);
        }
    });
}
