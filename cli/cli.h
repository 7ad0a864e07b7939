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

// Exit statuses: the same situation gives the same status in every command.
constexpr int CLI_EXIT_OK = 0;
constexpr int CLI_EXIT_OPEN = 1;     // the port (or a file) cannot be opened, read or written
constexpr int CLI_EXIT_USAGE = 2;    // the command line or a value is wrong; nothing was sent
constexpr int CLI_EXIT_MODULE = 3;   // the module refused, did not answer, or answered otherwise
constexpr int CLI_EXIT_DECLINED = 4; // a memory-writing command was not confirmed
constexpr int CLI_EXIT_INTERRUPTED = 130; // Ctrl-C

// The text of the exit status table, for --help and the README.
extern const char* const CLI_EXIT_STATUS_HELP;

struct CliContext {
    std::string device;      // a path, COMn or sim; empty: none given anywhere
    std::string portSource;  // where the device came from: "--port", "MORVANE_PORT", "setup.ini"
    std::string portProblem; // why the device cannot be used (a bad BAUDRATE in setup.ini)
    int baud = 115200;
    double clockMHz = 0; // --clock-mhz: the DDS clock to use without the readout (0: read it)
    bool yes = false;    // confirmations answered yes
    bool portReady = false;
    int openResult = -1;    // the link's result of the last open (LINK_OPEN_...); -1 before one
    int status = 0;         // exit status: 0 until a command fails
    int failures = 0;       // failed commands so far
    std::string failPrefix; // put before failure messages ("line 3: " inside a script)

    // Opens the port with the probe on first use. False (with a message and its status) when
    // there is no port, it cannot be opened, or the module does not answer the probe. The one
    // place where the tool opens the port.
    bool EnsurePort();
    // Makes the DDS clock known for the words of a setting, once a process: --clock-mhz when
    // given, else the module's clock readout ("u0"). Sends no "DI" and touches no channel.
    // Opens the port first. False with a message when neither gives a usable clock.
    bool EnsureClock();
    // Records a failed command: prints "morvane-cli: <message>" on standard error. The first
    // failure's status is the one the tool exits with.
    void Fail(const std::string& message, int status);
    // Asks on the terminal before a command that writes module memory; true without asking
    // when --yes was given or standard input is not a terminal.
    bool Confirm(const std::string& question);
};

void CliAddLinkCommands(CLI::App& app, CliContext& ctx);
void CliAddDdsCommands(CLI::App& app, CliContext& ctx);
void CliAddMonitorCommands(CLI::App& app, CliContext& ctx);
void CliAddServeCommands(CLI::App& app, CliContext& ctx);
void CliAddSetupCommands(CLI::App& app, CliContext& ctx);

// Writes diagnostic text to standard error (the program's diagnostic sink), remembering whether
// it ended a line, so that a failure message written after it starts a line of its own.
void CliWriteStderr(std::string_view text);

// Registers the built-in module simulator for the device name "sim", where there is one.
void CliRegisterSimulator();

// Ctrl-C: true once SIGINT (Windows: Ctrl-C or Ctrl-Break) arrived. The first one asks the
// tool to stop after what it is doing; a second one ends it at once.
bool CliInterrupted();
