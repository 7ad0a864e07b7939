// The console's command line. It is read before the GUI starts, so that --help, --version and
// a mistyped option work on a machine without a display (Qt's GUI application needs one as
// soon as it is constructed).
//
// CONSOLE_OPTIONS is the whole command line: a new option is one row there and, when it sets
// something, one member of CCommandLineInfo.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>
#include <span>

// What the command line asked for.
struct CCommandLineInfo {
    bool m_bSimulate = false;    // --simulate: run the console on the built-in module simulator
    bool m_bKeepOutputs = false; // --keep-outputs: open without resetting the module
    bool m_bServe = false;       // --serve: serve the module to SCPI clients over TCP
    QString m_strServe;          // --serve's ADDR:PORT; empty: setup.ini's LISTEN or the default
    bool m_bNoVxi11 = false;     // --no-vxi11: serve raw sockets only
    QStringList m_allow;         // --allow: address ranges (CIDR) served besides loopback
    QString m_strError;          // set by an option whose value is wrong: what is wrong with it
    QString m_strTraceFile;      // --trace FILE: write the transcript to FILE from start-up on
    QString m_strLanguage; // --lang CODE: the user interface's language ("en"); empty: setup.ini
};

// One option of the console.
struct ConsoleOption {
    enum class Kind {
        Help,    // print the help text, end with 0
        Version, // print the version, end with 0
        Setting, // apply() records it in CCommandLineInfo, start-up goes on
    };
    const char* names;     // comma-separated, without dashes: "h,help"; one letter is a short name
    const char* valueName; // nullptr: a switch; otherwise it takes a value (--name V or --name=V);
                           // a name in brackets ("[ADDR:PORT]") makes the value optional: it
                           // is then --name=V, or the next argument unless that starts with "-"
    const char* help;      // one line for the help text; nullptr hides the option there
    Kind kind;
    void (*apply)(CCommandLineInfo& info, const QString& value); // Kind::Setting only
};

extern const std::span<const ConsoleOption> CONSOLE_OPTIONS;

// The result of reading the command line.
struct ConsoleArguments {
    static constexpr int CONTINUE_STARTUP = -1;
    int exitCode = CONTINUE_STARTUP; // CONTINUE_STARTUP, or the program's exit code: 0 after
                                     // help or version, 1 after a bad argument
    QString out;                     // for standard output (help, version)
    QString err;                     // for standard error (what was wrong, then the help)
    CCommandLineInfo info;
};

// Reads arguments (the program's name first) against options. Qt's own GUI options
// (-platform NAME, -style NAME, -reverse, ...) are passed over: QApplication takes them later.
// Anything else that is not an option of the table, and every positional argument, is an error.
ConsoleArguments ConsoleReadArguments(const QStringList& arguments,
                                      std::span<const ConsoleOption> options = CONSOLE_OPTIONS);

// The help text of the options.
QString ConsoleHelpText(std::span<const ConsoleOption> options = CONSOLE_OPTIONS);

// main()'s arguments as a list, before any QCoreApplication exists.
QStringList ConsoleArgumentList(int argc, const char* const* argv);

// Writes text to the stream and flushes it; a failed write is nothing to report.
void ConsolePrint(std::FILE* stream, const QString& text);
