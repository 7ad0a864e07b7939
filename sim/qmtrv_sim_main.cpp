// qmtrv-sim: the simulated QM-TRV module on a pseudo-terminal, for trying the console and the
// command-line tool without the hardware and for tests that need a module in another process.
//
// Prints the path of the slave side on the first line of standard output, then serves until
// SIGINT or SIGTERM and exits 0.
#include "morvane_version.h"
#include "pty_simulator.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include <pthread.h>

namespace {

// Writes the registers as text, one channel a line, through a temporary file and a rename so
// that a reader never sees half a file:
//   commands N / mode M / applied CH FREQ PHASE AMP ON / pending CH FREQ PHASE AMP
// with the channel in decimal and the words in lower-case hexadecimal; "pending" lines only for
// channels that have one.
bool WriteStateFile(const CPtySimulator& sim, const std::string& path) {
    std::ostringstream text;
    text << "commands " << sim.CommandCount() << "\nmode " << sim.ClockMode() << "\n" << std::hex;
    for (int i = 0; i < CSimEngine::CHANNEL_COUNT; ++i) {
        const SimChannel c = sim.Channel(i);
        text << "applied " << std::dec << i << std::hex << ' ' << c.freqWord << ' ' << c.phaseWord
             << ' ' << c.ampWord << ' ' << (c.on ? 1 : 0) << "\n";
    }
    for (int i = 0; i < CSimEngine::CHANNEL_COUNT; ++i) {
        const SimChannel c = sim.PendingChannel(i);
        if (c.freqWord != 0 || c.phaseWord != 0 || c.ampWord != 0) {
            text << "pending " << std::dec << i << std::hex << ' ' << c.freqWord << ' '
                 << c.phaseWord << ' ' << c.ampWord << "\n";
        }
    }
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text.str();
        if (!out) {
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Simulated QM-TRV module on a pseudo-terminal. Prints the slave path on the "
                 "first line of standard output and serves until SIGINT or SIGTERM.",
                 "qmtrv-sim"};

    app.set_version_flag("--version", "qmtrv-sim " MORVANE_VERSION);

    SimOptions options;
    const std::map<std::string, SimFault> faults = {{"none", SimFault::None},
                                                    {"silent", SimFault::Silent},
                                                    {"no-prompt", SimFault::NoPrompt},
                                                    {"garbage", SimFault::Garbage},
                                                    {"flood", SimFault::Flood},
                                                    {"slow", SimFault::Slow},
                                                    {"hangup-after", SimFault::HangupAfter}};
    std::string fault = "none";

    app.add_option("--baud", options.baud, "Pace the output at N baud, 10 bits a byte (0: unpaced)")
        ->check(CLI::Range(0, 100000000));
    app.add_option("--fault", fault,
                   "Misbehave: none, silent, no-prompt, garbage, flood, slow or hangup-after")
        ->check(CLI::IsMember(
            {"none", "silent", "no-prompt", "garbage", "flood", "slow", "hangup-after"}));
    auto* hangupOption =
        app.add_option("--hangup-after", options.hangupAfter,
                       "With --fault hangup-after: commands answered before the line goes dead")
            ->check(CLI::Range(0, 1000000000));
    app.add_option("--slow-ms", options.slowMs, "With --fault slow: the pause inside each reply")
        ->check(CLI::Range(0, 3600000));
    app.add_option("--link", options.linkPath,
                   "Also make a symbolic link to the slave at this path (removed at exit)");
    app.add_option("--seed", options.seed, "Seed of the random bytes of garbage and flood");
    std::string stateFile;
    app.add_option("--state-file", stateFile,
                   "Keep the module's registers in this text file, rewritten after each command, "
                   "for tests that cannot read them in-process");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "qmtrv-sim: " << e.what() << "\n";
        return 2;
    }
    options.fault = faults.at(fault);
    if (hangupOption->count() > 0 && options.fault != SimFault::HangupAfter) {
        if (app.count("--fault") > 0) {
            std::cerr << "qmtrv-sim: --hangup-after goes with --fault hangup-after\n";
            return 2;
        }
        options.fault = SimFault::HangupAfter; // --hangup-after alone says which fault is meant
    }

    // The signals are taken by sigwait below; blocked before the serving thread starts, so
    // that it inherits the mask and never gets them itself.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    CPtySimulator simulator(options);
    if (!simulator.Start()) {
        std::cerr << "qmtrv-sim: cannot create the pseudo-terminal"
                  << (options.linkPath.empty() ? "" : " or the link " + options.linkPath) << "\n";
        return 1;
    }
    std::cout << simulator.SlavePath() << std::endl;

    if (stateFile.empty()) {
        int received = 0;
        while (sigwait(&signals, &received) != 0) {
        }
    } else {
        // Look for handled commands every 10 ms and rewrite the file when there are new ones.
        const timespec tick{0, 10 * 1000 * 1000};
        std::size_t written = static_cast<std::size_t>(-1);
        for (;;) {
            const std::size_t commands = simulator.CommandCount();
            if (commands != written && !WriteStateFile(simulator, stateFile)) {
                std::cerr << "qmtrv-sim: cannot write " << stateFile << "\n";
                simulator.Stop();
                return 1;
            }
            written = commands;
            if (sigtimedwait(&signals, nullptr, &tick) > 0) {
                break;
            }
        }
    }
    simulator.Stop();
    return 0;
}
