#include "cmdline.h"

#include "morvane_version.h"
#include "remote_net.h"

#include <algorithm>
#include <array>

namespace {

void SetSimulate(CCommandLineInfo& info, const QString& /*value*/) {
    info.m_bSimulate = true;
}

void SetKeepOutputs(CCommandLineInfo& info, const QString& /*value*/) {
    info.m_bKeepOutputs = true;
}

void SetTraceFile(CCommandLineInfo& info, const QString& value) {
    info.m_strTraceFile = value;
}

void SetServe(CCommandLineInfo& info, const QString& value) {
    info.m_bServe = true;
    info.m_strServe = value;
    RemoteListen listen;
    std::string error;
    if (!value.isEmpty() && !RemoteParseListen(value.toStdString(), &listen, &error)) {
        info.m_strError = QStringLiteral("--serve: ") + QString::fromStdString(error);
    }
}

void AddAllow(CCommandLineInfo& info, const QString& value) {
    info.m_allow << value;
    RemoteRange range;
    std::string error;
    if (!RemoteParseRange(value.toStdString(), &range, &error)) {
        info.m_strError = QStringLiteral("--allow: ") + QString::fromStdString(error);
    }
}

void SetNoVxi11(CCommandLineInfo& info, const QString& /*value*/) {
    info.m_bNoVxi11 = true;
}

void SetLanguage(CCommandLineInfo& info, const QString& value) {
    info.m_strLanguage = value;
}

const ConsoleOption OPTIONS[] = {
    {"h,help", nullptr, "Displays help on commandline options.", ConsoleOption::Kind::Help,
     nullptr},
    // QCommandLineParser, which read the command line before, also knew --help-all.
    {"help-all", nullptr, nullptr, ConsoleOption::Kind::Help, nullptr},
    {"v,version", nullptr, "Displays version information.", ConsoleOption::Kind::Version, nullptr},
    {"simulate", nullptr, "Run on the built-in module simulator.", ConsoleOption::Kind::Setting,
     SetSimulate},
    {"keep-outputs", nullptr,
     "Open the port without resetting the module: read its clocks, keep its outputs.",
     ConsoleOption::Kind::Setting, SetKeepOutputs},
    {"trace", "FILE", "Write the transcript of every exchange to FILE from start-up on.",
     ConsoleOption::Kind::Setting, SetTraceFile},
    {"serve", "[ADDR:PORT]",
     "Serve the module to SCPI clients over TCP as well (default 127.0.0.1:5025).",
     ConsoleOption::Kind::Setting, SetServe},
    {"allow", "CIDR", "Address range whose clients --serve admits besides loopback; repeatable.",
     ConsoleOption::Kind::Setting, AddAllow},
    {"no-vxi11", nullptr, "Serve raw TCP sockets only, without VXI-11 (TCPIP::host::INSTR).",
     ConsoleOption::Kind::Setting, SetNoVxi11},
    {"lang", "CODE", "Show the user interface in language CODE (en: English).",
     ConsoleOption::Kind::Setting, SetLanguage},
};

// Options that QGuiApplication and QApplication take out of the command line themselves, with
// one or two dashes; those in QT_VALUE_OPTIONS take the next argument or "=VALUE".
constexpr std::array<const char*, 16> QT_VALUE_OPTIONS = {"platform",
                                                          "platformpluginpath",
                                                          "platformtheme",
                                                          "plugin",
                                                          "qwindowgeometry",
                                                          "geometry",
                                                          "qwindowtitle",
                                                          "title",
                                                          "qwindowicon",
                                                          "icon",
                                                          "session",
                                                          "display",
                                                          "name",
                                                          "style",
                                                          "stylesheet",
                                                          "qmljsdebugger"};
constexpr std::array<const char*, 6> QT_SWITCHES = {"reverse", "testability", "widgetcount",
                                                    "nograb",  "dograb",      "sync"};

template <std::size_t N>
bool Contains(const std::array<const char*, N>& names, const QString& name) {
    return std::any_of(names.begin(), names.end(),
                       [&name](const char* n) { return name == QLatin1String(n); });
}

// A value name in brackets: the value may be left out.
bool ValueIsOptional(const ConsoleOption& option) {
    return option.valueName != nullptr && option.valueName[0] == '[';
}

bool HasName(const ConsoleOption& option, const QString& name) {
    return QString::fromLatin1(option.names).split(QLatin1Char(',')).contains(name);
}

// "-h, --help" for names "h,help".
QString DashedNames(const ConsoleOption& option) {
    QStringList dashed;
    for (const QString& name : QString::fromLatin1(option.names).split(QLatin1Char(','))) {
        dashed << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    }
    QString text = dashed.join(QStringLiteral(", "));
    if (option.valueName != nullptr) {
        text += QLatin1Char(' ') + QLatin1String(option.valueName);
    }
    return text;
}

ConsoleArguments Failed(const QString& message, std::span<const ConsoleOption> options) {
    ConsoleArguments result;
    result.exitCode = 1;
    result.err = message + QLatin1Char('\n') + ConsoleHelpText(options);
    return result;
}

} // namespace

const std::span<const ConsoleOption> CONSOLE_OPTIONS(OPTIONS);

ConsoleArguments ConsoleReadArguments(const QStringList& arguments,
                                      std::span<const ConsoleOption> options) {
    ConsoleArguments result;
    bool optionsEnded = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) || argument.size() == 1) {
            return Failed(QStringLiteral("Unexpected argument: %1").arg(argument), options);
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        const bool doubleDash = argument.startsWith(QLatin1String("--"));
        const QString body = argument.mid(doubleDash ? 2 : 1);
        const qsizetype equals = body.indexOf(QLatin1Char('='));
        const QString name = equals < 0 ? body : body.left(equals);

        if (Contains(QT_VALUE_OPTIONS, name)) {
            if (equals < 0) {
                ++i; // the value, for QApplication
            }
            continue;
        }
        if (Contains(QT_SWITCHES, name)) {
            continue;
        }

        // Long names need two dashes, short ones one.
        const auto match = std::find_if(options.begin(), options.end(), [&](const auto& option) {
            return (doubleDash ? name.size() > 1 : name.size() == 1) && HasName(option, name);
        });
        if (match == options.end()) {
            return Failed(QStringLiteral("Unknown option '%1'.").arg(body), options);
        }
        QString value;
        if (match->valueName == nullptr) {
            if (equals >= 0) {
                return Failed(QStringLiteral("Unexpected value after '%1'.")
                                  .arg(argument.left(argument.indexOf(QLatin1Char('=')))),
                              options);
            }
        } else if (equals >= 0) {
            value = body.mid(equals + 1);
        } else if (ValueIsOptional(*match)) {
            if (i + 1 < arguments.size() && !arguments.at(i + 1).startsWith(QLatin1Char('-'))) {
                value = arguments.at(++i);
            }
        } else if (i + 1 < arguments.size()) {
            value = arguments.at(++i);
        } else {
            return Failed(QStringLiteral("Missing value after '%1'.").arg(argument), options);
        }

        switch (match->kind) {
        case ConsoleOption::Kind::Help:
            result.exitCode = 0;
            result.out = ConsoleHelpText(options);
            return result;
        case ConsoleOption::Kind::Version:
            result.exitCode = 0;
            result.out = QStringLiteral("morvane " MORVANE_VERSION "\n");
            return result;
        case ConsoleOption::Kind::Setting:
            match->apply(result.info, value);
            if (!result.info.m_strError.isEmpty()) {
                return Failed(result.info.m_strError, options);
            }
            break;
        }
    }
    return result;
}

QString ConsoleHelpText(std::span<const ConsoleOption> options) {
    QString text = QStringLiteral(
        "Usage: morvane [options]\n"
        "Operator console for the QM-TRV 12-channel DDS signal source.\n\nOptions:\n");
    qsizetype width = 0;
    for (const ConsoleOption& option : options) {
        if (option.help != nullptr) {
            width = std::max(width, DashedNames(option).size());
        }
    }
    for (const ConsoleOption& option : options) {
        if (option.help != nullptr) {
            text += QStringLiteral("  %1  %2\n")
                        .arg(DashedNames(option), -static_cast<int>(width))
                        .arg(QLatin1String(option.help));
        }
    }
    text += QStringLiteral("\nQt's own options (-platform NAME, -style NAME, ...) are passed on to "
                           "Qt.\n");
    return text;
}

QStringList ConsoleArgumentList(int argc, const char* const* argv) {
    QStringList list;
    for (int i = 0; i < argc; ++i) {
        // The local 8-bit encoding is UTF-8 on the systems with a simulator; on Windows this is
        // the ANSI code page, which every option name fits.
        list << QString::fromLocal8Bit(argv[i]);
    }
    return list;
}

void ConsolePrint(std::FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}
