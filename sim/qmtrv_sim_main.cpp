// qmtrv-sim: the simulated QM-TRV module on a pseudo-terminal, for trying the console and the
// command-line tool without the hardware and for tests that need a module in another process.
//
// Prints the path of the slave side on the first line of standard output, then serves until
// SIGINT or SIGTERM and exits 0.
#include "pty_simulator.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>

#include <pthread.h>

int main(int argc, char** argv) {
    CLI::App app{"Simulated QM-TRV module on a pseudo-terminal. Prints the slave path on the "
                 "first line of standard output and serves until SIGINT or SIGTERM.",
                 "qmtrv-sim"};

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

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
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

    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    simulator.Stop();
    return 0;
}
