#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli.h"
#include "cli_platform.h"
#include "comlink.h"
#include "dds.h"
#include "diag.h"
#include "morvane_version.h"
#include "numtext.h"
#include "profile_reader.h"
#include "trace.h"

const char* const CLI_EXIT_STATUS_HELP =
    "Exit status:\n"
    "  0    done\n"
    "  1    the port cannot be opened, or a file cannot be opened, read or written\n"
    "  2    usage: an unknown command or option, a value out of range, no port given;\n"
    "       nothing was sent for the failed command\n"
    "  3    the module refused, did not answer (the probe included), or answered otherwise\n"
    "       than expected (mc found another sum, image-load --verify a difference)\n"
    "  4    a memory-writing command was not confirmed\n"
    "  130  interrupted by Ctrl-C\n"
    "A script stops at its first failed line with that line's status (--keep-going: runs on and\n"
    "exits with the first failure's status).\n";

namespace {

const char* const PORT_HELP =
    "The device: --port, else the environment variable MORVANE_PORT, else section [COM_PORT] of\n"
    "setup.ini in the working directory (DEVICE, else COM_PORT=n; BAUDRATE gives the baud rate\n"
    "unless --baud is given). A device is a path (/dev/ttyUSB0), COMn (Linux: /dev/ttyS<n-1>),\n"
    "or sim, the built-in simulator. 'morvane-cli ports' lists the serial devices.\n";

const char* const TRACE_HELP =
    "Transcript (--trace FILE, - for standard error): a first line starting with '#' names the\n"
    "columns; then one line an event, tab-separated:\n"
    "  ms-since-start  hh:mm:ss.mmm  outcome  round-trip-us  fields  command  reply\n"
    "ms-since-start and the time are those of the event's end; round-trip-us runs from the\n"
    "first byte written to the end of the reply.\n"
    "outcome: ok, fields (another field count than expected), no-answer, no-prompt, cancelled,\n"
    "stale (a late reply dropped), probe-ok, probe-failed, opened, open-failed, closed, gone.\n"
    "fields is '-' where none were counted. command and reply show CR, LF, TAB and backslash as\n"
    "\\r \\n \\t \\\\ and other bytes outside 0x20-0x7E as \\xHH. Lines starting with '#' are\n"
    "comments.\n";

constexpr int BAUD_MAX = 4000000;
constexpr double CLOCK_MAX_MHZ = DDS_CLOCK_MAX_HZ / 1e6;

// Options of the program as given, before the port is resolved.
struct GlobalArgs {
    std::string port;
    bool baudGiven = false;
    std::string trace;
    bool keepGoing = false;
};

// The commands every application (the command line and each script line) carries. One line a
// group.
void AddCommands(CLI::App& app, CliContext& ctx) {
    CliAddLinkCommands(app, ctx);
    CliAddDdsCommands(app, ctx);
    CliAddMonitorCommands(app, ctx);
    CliAddSetupCommands(app, ctx);
    app.require_subcommand(1);
}

bool IsCommandName(CLI::App& app, const std::string& word) {
    for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        if (command->check_name(word)) {
            return true;
        }
    }
    return false;
}

// The first word of a command line that is neither an option of the program nor its value.
std::string CommandWord(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            return i + 1 < args.size() ? args[i + 1] : std::string();
        }
        if (a.size() > 1 && a[0] == '-') {
            if (a.find('=') == std::string::npos &&
                (a == "--port" || a == "--baud" || a == "--trace" || a == "--clock-mhz")) {
                ++i; // its value
            }
            continue;
        }
        return a;
    }
    return "";
}

// A parse error in words: a missing or unknown command is named as such; the rest (a missing
// or malformed value, an unknown option) is CLI11's own text, which names the option.
std::string UsageMessage(CLI::App& app, const CLI::ParseError& e, const std::string& word) {
    const bool aboutCommand = dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr ||
                              (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr &&
                               std::string(e.what()).find("subcommand") != std::string::npos);
    if (aboutCommand && word.empty()) {
        return "no command given (see morvane-cli --help)";
    }
    if (aboutCommand && !IsCommandName(app, word)) {
        return "unknown command '" + word + "' (see morvane-cli --help)";
    }
    return e.what();
}

// The device and baud rate: --port, else MORVANE_PORT, else setup.ini's [COM_PORT] section read
// as the console reads it. An empty value counts as not given.
void ResolvePort(CliContext& ctx, const GlobalArgs& args) {
    if (!args.port.empty()) {
        ctx.device = args.port;
        ctx.portSource = "--port";
        return;
    }
    if (const char* env = std::getenv("MORVANE_PORT"); env != nullptr && *env != 0) {
        ctx.device = env;
        ctx.portSource = "MORVANE_PORT";
        return;
    }
    const CProfileFile profile(ProfileSetupFilePath());
    std::string device;
#ifndef _WIN32
    // DEVICE names any device on POSIX systems, as for the console; Windows has COM ports only.
    device = profile.GetString("COM_PORT", "DEVICE");
#endif
    if (device.empty()) {
        const std::string number = profile.GetString("COM_PORT", "COM_PORT");
        if (!number.empty()) {
            device = "COM" + std::to_string(ProfileValueToInt(number));
        }
    }
    if (device.empty()) {
        return;
    }
    ctx.device = device;
    ctx.portSource = "setup.ini";
    const std::string baud = profile.GetString("COM_PORT", "BAUDRATE");
    if (!args.baudGiven && !baud.empty()) {
        const int value = ProfileValueToInt(baud);
        if (value < 1 || value > BAUD_MAX) {
            ctx.portProblem =
                "setup.ini: BAUDRATE " + baud + " is outside 1 to " + std::to_string(BAUD_MAX);
        }
        ctx.baud = value;
    }
}

// --trace: every exchange of the link, one line each, flushed as it happens.
bool StartTrace(CliContext& ctx, const std::string& path) {
    FILE* out = stderr;
    if (path != "-") {
        out = std::fopen(path.c_str(), "w");
        if (out == nullptr) {
            ctx.Fail("cannot open the trace file " + path + ": " + std::strerror(errno),
                     CLI_EXIT_OPEN);
            return false;
        }
    }
    (void)LinkTraceEpoch(); // times count from the start of the tool
    std::fprintf(out, "%s\n", LinkTraceHeader().c_str());
    std::fflush(out);
    LinkTraceAdd([out](const LinkTraceEvent& event) {
        const std::string line = LinkTraceFormat(event) + "\n";
        std::fwrite(line.data(), 1, line.size(), out);
        std::fflush(out);
    });
    return true;
}

// The first word of a script line.
std::string FirstWord(const std::string& line) {
    const std::size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos) {
        return "";
    }
    return line.substr(start, line.find_first_of(" \t\r", start) - start);
}

// Runs the commands of standard input, one a line, on one port; '#' starts a comment. One parser
// serves every line. Stops after the first failed line unless keepGoing.
void RunScript(CliContext& ctx, bool keepGoing) {
    CLI::App lineApp{"script line"};
    lineApp.set_help_flag(); // "--help" inside a script is a command error, not an exit
    AddCommands(lineApp, ctx);
    // Each line's results go out before the next line is read when someone watches (standard
    // output a terminal) or types the lines (standard input a terminal, output a pipe such as
    // tee's); a script read from a file into a file goes out in blocks.
    const bool flushLines = CliIsTerminal(1) || CliIsTerminal(0);
    std::string line;
    int number = 0;
    while (!CliInterrupted() && std::getline(std::cin, line)) {
        ++number;
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) {
            line.erase(hash);
        }
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        const int failuresBefore = ctx.failures;
        ctx.failPrefix = "line " + std::to_string(number) + ": ";
        try {
            lineApp.clear();
            lineApp.parse(line, false);
        } catch (const CLI::ParseError& e) {
            ctx.Fail(UsageMessage(lineApp, e, FirstWord(line)), CLI_EXIT_USAGE);
        }
        ctx.failPrefix.clear();
        if (flushLines) {
            std::fflush(stdout);
        }
        if (ctx.failures != failuresBefore && !keepGoing) {
            break;
        }
    }
}

} // namespace

bool CliContext::EnsurePort() {
    if (portReady) {
        openResult = LINK_OPEN_OK;
        return true;
    }
    if (!portProblem.empty()) {
        Fail(portProblem, CLI_EXIT_USAGE);
        return false;
    }
    if (device.empty()) {
        Fail("no port given: use --port DEVICE (or --port sim for the built-in simulator)",
             CLI_EXIT_USAGE);
        return false;
    }
    // The link's own lines about the open ("... Open Success!") would repeat what the result
    // says; the transcript records the open for those who want it.
    std::string linkLines;
    DiagSetSink([&linkLines](std::string_view text) { linkLines.append(text); });
    const int r = OpenComDevice(device, baud, 'N', 13, true);
    DiagSetSink(CliWriteStderr);
    openResult = r;
    if (r == LINK_OPEN_FAILED) {
        CloseComPort();
        // The message names the device as given, with the path behind COMn and where the
        // device came from when it was not --port.
        std::string path = device;
        std::string details;
        if (device.size() > 3 && (device.compare(0, 3, "COM") == 0)) {
            const int n = NumTextToInt(device.substr(3));
            if (n >= 1 && device.find_first_not_of("0123456789", 3) == std::string::npos) {
                path = LinkDeviceNameForPort(n);
                details = path;
            }
        }
        if (!portSource.empty() && portSource != "--port") {
            details += (details.empty() ? "from " : ", from ") + portSource;
        }
        const std::string shown = details.empty() ? device : device + " (" + details + ")";
        std::string reason = device == "sim" ? "the built-in simulator is not available here"
                                             : CliOpenFailureReason(path);
        if (reason.empty()) {
            reason = "the system refused it as a serial line";
        }
        Fail("cannot open " + shown + ": " + reason, CLI_EXIT_OPEN);
        return false;
    }
    if (r == LINK_OPEN_NO_PROBE) {
        CloseComPort();
        Fail("the module on " + device + " did not answer the probe (check the cable, the baud " +
                 "rate " + std::to_string(baud) + " and that the module is on)",
             CLI_EXIT_MODULE);
        return false;
    }
    portReady = true;
    return true;
}

bool CliContext::EnsureClock() {
    if (DdsClockKnown()) {
        return true;
    }
    if (clockMHz > 0) {
        DdsModuleClocksRecord given;
        given.ddsClockHz = clockMHz * 1e6;
        DdsAdoptClocks(given);
        return true;
    }
    if (!EnsurePort()) {
        return false;
    }
    DdsModuleClocksRecord read;
    if (DdsReadClocks(&read) != DDS_OK) {
        Fail("the module did not report its clocks (u0); --clock-mhz F gives the DDS clock",
             CLI_EXIT_MODULE);
        return false;
    }
    DdsAdoptClocks(read);
    if (!DdsClockKnown()) {
        Fail("the module reported no usable DDS clock (u0); --clock-mhz F gives it",
             CLI_EXIT_MODULE);
        return false;
    }
    return true;
}

namespace {
// False while the last diagnostic text left standard error in the middle of a line (the link's
// "T" has no line end).
bool g_stderrAtLineStart = true;
} // namespace

void CliWriteStderr(std::string_view text) {
    if (text.empty()) {
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    g_stderrAtLineStart = text.back() == '\n';
}

void CliContext::Fail(const std::string& message, int code) {
    std::fflush(stdout);
    // The message gets a line of its own, so that scripts find it at the start of a line.
    CliWriteStderr(std::string(g_stderrAtLineStart ? "" : "\n") + "morvane-cli: " + failPrefix +
                   message + "\n");
    ++failures;
    if (status == 0) {
        status = code;
    }
}

bool CliContext::Confirm(const std::string& question) {
    if (yes || !CliIsTerminal(0)) {
        return true;
    }
    std::fflush(stdout); // the results so far come before the question
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        return false;
    }
    return answer == "y" || answer == "Y" || answer == "yes";
}

int main(int argc, char** argv) {
    DiagIgnoreBrokenPipe();
    // Results go out in blocks into files and pipes, a line at a time on a terminal.
    if (!CliIsTerminal(1)) {
        std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    }
    // Reading a script line would otherwise flush standard output first (std::cin is tied to
    // std::cout, which shares stdout's buffer): one write per line even into a file. The
    // script flushes after each line when a person is at either end, and a question flushes
    // before it is asked.
    std::cin.tie(nullptr);
    // Diagnostic lines of the link go to standard error; standard output carries results.
    DiagSetSink(CliWriteStderr);
    CliRegisterSimulator();
    CliInstallInterruptHandler();

    CliContext ctx;
    GlobalArgs args;
    CLI::App app{"Morvane command-line tool: the QM-TRV module's link and DDS control.\n"
                 "To set one channel: morvane-cli --port /dev/ttyUSB0 set 1 10 100 0\n"
                 "(channel 1, 10 MHz, 100 %, 0 degrees; the other channels stay as they are).",
                 "morvane-cli"};
    app.set_version_flag("--version", std::string("morvane-cli ") + MORVANE_VERSION,
                         "Print the version and exit");
    app.add_option("--port", args.port, "Device: a path, COMn, or sim (built-in simulator)")
        ->type_name("DEVICE");
    app.add_option("--baud", ctx.baud, "Baud rate in bits per second")
        ->capture_default_str()
        ->check(CLI::Range(1, BAUD_MAX))
        ->each([&args](const std::string&) { args.baudGiven = true; });
    app.add_option("--clock-mhz", ctx.clockMHz,
                   "DDS clock in MHz for set, off and sweep, instead of reading it from the "
                   "module (u0)")
        ->check(CLI::Range(1e-6, CLOCK_MAX_MHZ))
        ->type_name("F");
    app.add_option("--trace", args.trace,
                   "Write a transcript of every exchange to FILE (- for standard error); format "
                   "below")
        ->type_name("FILE");
    app.add_flag("-y,--yes", ctx.yes, "Answer yes to confirmations of memory-writing commands");
    app.footer(std::string("\n") + PORT_HELP + "\n" + CLI_EXIT_STATUS_HELP + "\n" + TRACE_HELP);
    AddCommands(app, ctx);
    // The server runs until it is stopped, so it is a command of its own, not a script line.
    CliAddServeCommands(app, ctx);
    CLI::App* script = app.add_subcommand(
        "script", "Run commands read from standard input, one a line, on one port; stop at the "
                  "first failed line");
    script->add_flag("--keep-going", args.keepGoing,
                     "Run every line; exit with the status of the first failure");
    script->callback([&] { RunScript(ctx, args.keepGoing); });
    // The port, the baud rate and the transcript are settled once the options are read, before
    // the command's callback runs.
    app.parse_complete_callback([&] {
        ResolvePort(ctx, args);
        // No command runs without the transcript that was asked for.
        if (!args.trace.empty() && !StartTrace(ctx, args.trace)) {
            throw CLI::RuntimeError(CLI_EXIT_OPEN);
        }
    });

    try {
        app.parse(argc, argv);
    } catch (const CLI::RuntimeError& e) {
        return e.get_exit_code(); // reported where it was thrown
    } catch (const CLI::ParseError& e) {
        // Help and the version (status 0) go to standard output as CLI11 prints them; a usage
        // error is one line on standard error and status 2.
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            return app.exit(e);
        }
        std::vector<std::string> words(argv + 1, argv + argc);
        std::fflush(stdout);
        CliWriteStderr("morvane-cli: " + UsageMessage(app, e, CommandWord(words)) + "\n");
        CloseComPort();
        return CLI_EXIT_USAGE;
    }
    CloseComPort();
    std::fflush(stdout);
    return CliInterrupted() ? CLI_EXIT_INTERRUPTED : ctx.status;
}
