// morvane-cli: the device link and DDS control from the command line, for scripts and for
// checking a module by hand.
//
// Commands come in groups, each group adding its subcommands to a CLI11 application. The same
// subcommands serve the command line and each line of `script`, which runs them on one open
// port and one channel table.
#pragma once

#include <string>
#include <string_view>

namespace CLI {
class App;
}

struct CliContext {
    std::string device = "sim"; // a path, COMn, or sim
    int baud = 115200;
    bool yes = false; // confirmations answered yes
    bool portReady = false;
    int status = 0; // exit status: 0 until a command fails

    // Opens the port with the probe on first use. False (with a message) when it cannot.
    bool EnsurePort();
    // Records a failed command: prints "morvane-cli: <message>" on standard error.
    void Fail(const std::string& message, int status = 1);
    // Asks on the terminal before a command that writes module memory; true without asking
    // when --yes was given or standard input is not a terminal.
    bool Confirm(const std::string& question);
};

void CliAddLinkCommands(CLI::App& app, CliContext& ctx);
void CliAddDdsCommands(CLI::App& app, CliContext& ctx);
void CliAddMonitorCommands(CLI::App& app, CliContext& ctx);
void CliAddSetupCommands(CLI::App& app, CliContext& ctx);

// Writes diagnostic text to standard error (the program's diagnostic sink), remembering whether
// it ended a line, so that a failure message written after it starts a line of its own.
void CliWriteStderr(std::string_view text);

// Registers the built-in module simulator for the device name "sim", where there is one.
void CliRegisterSimulator();
