#include <cstdio>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "cli.h"
#include "comlink.h"
#include "diag.h"

namespace {

bool StdinIsTerminal() {
#ifdef _WIN32
    return ::_isatty(::_fileno(stdin)) != 0;
#else
    return ::isatty(STDIN_FILENO) != 0;
#endif
}

// The commands every application (the command line and each script line) carries.
void AddCommands(CLI::App& app, CliContext& ctx) {
    CliAddLinkCommands(app, ctx);
    CliAddDdsCommands(app, ctx);
    CliAddMonitorCommands(app, ctx);
    CliAddSetupCommands(app, ctx);
    app.require_subcommand(1);
}

// Runs the commands of standard input, one a line, on one port; '#' starts a comment.
void RunScript(CliContext& ctx) {
    std::string line;
    int number = 0;
    while (std::getline(std::cin, line)) {
        ++number;
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) {
            line.erase(hash);
        }
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        CLI::App app{"script line"};
        app.set_help_flag(); // "--help" inside a script is a command error, not an exit
        AddCommands(app, ctx);
        try {
            app.parse(line, false);
        } catch (const CLI::ParseError& e) {
            ctx.Fail("line " + std::to_string(number) + ": " + e.what(), 2);
        }
        std::fflush(stdout);
    }
}

} // namespace

bool CliContext::EnsurePort() {
    if (portReady) {
        return true;
    }
    const int r = OpenComDevice(device, baud, 'N', 13, true);
    if (r == LINK_OPEN_FAILED) {
        Fail("cannot open port " + device);
        return false;
    }
    if (r == LINK_OPEN_NO_PROBE) {
        Fail("the module on " + device + " did not answer the probe");
        CloseComPort();
        return false;
    }
    portReady = true;
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
    CliWriteStderr(std::string(g_stderrAtLineStart ? "" : "\n") + "morvane-cli: " + message + "\n");
    if (status == 0) {
        status = code;
    }
}

bool CliContext::Confirm(const std::string& question) {
    if (yes || !StdinIsTerminal()) {
        return true;
    }
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        return false;
    }
    return answer == "y" || answer == "Y" || answer == "yes";
}

int main(int argc, char** argv) {
    // Diagnostic lines of the link go to standard error; standard output carries results.
    DiagSetSink(CliWriteStderr);
    CliRegisterSimulator();

    CliContext ctx;
    CLI::App app{"Morvane command-line tool: the QM-TRV module's link and DDS control"};
    app.name("morvane-cli");
    app.add_option("--port", ctx.device, "Device: a path, COMn, or sim (built-in simulator)")
        ->capture_default_str();
    app.add_option("--baud", ctx.baud, "Baud rate in bits per second")
        ->capture_default_str()
        ->check(CLI::Range(1, 4000000));
    app.add_flag("-y,--yes", ctx.yes, "Answer yes to confirmations of memory-writing commands");
    AddCommands(app, ctx);
    app.add_subcommand("script", "Run commands read from standard input, one a line, on one port")
        ->callback([&ctx] { RunScript(ctx); });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help (status 0) goes to standard output as CLI11 prints it; a usage error is one line
        // on standard error and status 2, like a malformed number inside a command.
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            return app.exit(e);
        }
        std::fflush(stdout);
        std::fprintf(stderr, "morvane-cli: %s\n", e.what());
        return 2;
    }
    CloseComPort();
    return ctx.status;
}
