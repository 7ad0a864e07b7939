// morvane-cli used as a lab tool, as a process: one command sets one channel of a module that
// nobody initialised, the device comes from --port, MORVANE_PORT or setup.ini in that order, the
// same situation gives the same exit status in every command, a sweep holds its dwell and stops
// on Ctrl-C, and the transcript has its documented columns.
#include "fault_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dds.h"
#include "numtext.h"
#include "pty_simulator.h"

namespace {

constexpr double GUARD_SECONDS = 60;

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "cli_lab_" + std::to_string(::getpid()) + "_" + name;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> columns;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        columns.push_back(line.substr(start, tab - start));
    }
    columns.push_back(line.substr(start));
    return columns;
}

class CliLabTest : public ::testing::Test {
protected:
    void StartModule(const SimOptions& options = {}) {
        m_sim = std::make_unique<CPtySimulator>(options);
        ASSERT_TRUE(m_sim->Start());
    }
    ProcessResult Run(std::vector<std::string> args, const std::string& input = "") const {
        args.insert(args.begin(), {"morvane-cli", "--port", m_sim->SlavePath()});
        return RunProgram(MORVANE_CLI_PATH, args, input, GUARD_SECONDS);
    }
    static std::string LastErrorLine(const ProcessResult& run) {
        const std::vector<std::string> lines = SplitLines(run.err);
        return lines.empty() ? std::string() : lines.back();
    }

    std::unique_ptr<CPtySimulator> m_sim;
};

// A module that was never initialised: each command reads the clock ("u0"), sets its channel and
// nothing else; no "DI" goes out, so the channel set before keeps its words. --clock-mhz skips
// the readout.
TEST_F(CliLabTest, OneShotSetsTouchOnlyTheirChannel) {
    StartModule();
    const ProcessResult first = Run({"set", "5", "20", "50", "90"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(m_sim->CommandCount(), 2u); // u0 and the setting
    const ProcessResult second = Run({"set", "1", "10MHz", "100", "0"});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out, "dds 0 1999999a 0 400 1\n"
                          "CH1 on freq=10000000.009313 Hz phase=0.000000 deg amplitude=1.000000\n");
    const ProcessResult given = Run({"--clock-mhz", "100", "set", "12", "250 kHz", "25", "0"});
    ASSERT_EQ(given.status, 0) << given.err;
    EXPECT_EQ(m_sim->CommandCount(), 5u); // no readout for the last one

    DdsModuleClocksRecord clocks;
    clocks.ddsClockHz = 100e6;
    DdsAdoptClocks(clocks);
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        SCOPED_TRACE(i);
        const SimChannel reg = m_sim->Channel(i);
        if (i == 0) {
            EXPECT_EQ(reg.freqWord, static_cast<std::uint32_t>(FreqToWord(10e6)));
            EXPECT_EQ(reg.ampWord, static_cast<std::uint32_t>(AmpToWord(1.0)));
        } else if (i == 4) {
            EXPECT_EQ(reg.freqWord, static_cast<std::uint32_t>(FreqToWord(20e6)));
            EXPECT_EQ(reg.phaseWord, static_cast<std::uint32_t>(PhaseToWord(90)));
            EXPECT_EQ(reg.ampWord, static_cast<std::uint32_t>(AmpToWord(0.5)));
        } else if (i == 11) {
            EXPECT_EQ(reg.freqWord, static_cast<std::uint32_t>(FreqToWord(250e3)));
        } else {
            EXPECT_FALSE(reg.on);
            EXPECT_EQ(reg.freqWord | reg.phaseWord | reg.ampWord, 0u);
        }
    }
    DdsResetState();
}

// --port, then MORVANE_PORT, then setup.ini's [COM_PORT] (DEVICE before COM_PORT); an empty value
// counts as none. Devices that do not exist show in the message which source was taken.
TEST(CliPortResolution, OptionThenEnvironmentThenSetupFile) {
    struct Case {
        const char* option; // --port, or nullptr
        const char* env;    // MORVANE_PORT, or nullptr for unset
        const char* setup;  // the [COM_PORT] lines of setup.ini, or nullptr for no file
        int status;
        const char* message; // in the last line on standard error; "" for none
    };
    const Case cases[] = {
        {"/nonexistent/opt", "/nonexistent/env", "DEVICE=/nonexistent/ini", 1,
         "cannot open /nonexistent/opt: No such file or directory"},
        {nullptr, "/nonexistent/env", "DEVICE=/nonexistent/ini", 1,
         "cannot open /nonexistent/env (from MORVANE_PORT): No such"},
        {"", "/nonexistent/env", nullptr, 1,
         "cannot open /nonexistent/env (from MORVANE_PORT): No such"},
        {nullptr, "", "DEVICE=/nonexistent/ini\nCOM_PORT=99", 1,
         "cannot open /nonexistent/ini (from setup.ini): "},
        {nullptr, nullptr, "COM_PORT=99", 1, "cannot open COM99 (/dev/ttyS98, from setup.ini): "},
        {nullptr, nullptr, " device = \"sim\" \nBAUDRATE=9600", 0, ""},
        {nullptr, nullptr, "DEVICE=sim\nBAUDRATE=0", 2, "setup.ini: BAUDRATE 0 is outside"},
        {nullptr, nullptr, "", 2, "no port given: use --port DEVICE (or --port sim"},
        {nullptr, nullptr, nullptr, 2, "no port given"},
    };
    const std::string dir = TempPath("dir");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.option ? c.option : "-") + " " + (c.env ? c.env : "-") + " " +
                     (c.setup ? c.setup : "-"));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        if (c.setup != nullptr) {
            std::ofstream(dir + "/setup.ini") << "[OTHER]\nDEVICE=/nonexistent/other\n[COM_PORT]\n"
                                              << c.setup << "\n";
        }
        std::vector<std::string> args = {"env", "-C", dir, "-u", "MORVANE_PORT"};
        if (c.env != nullptr) {
            args.push_back(std::string("MORVANE_PORT=") + c.env);
        }
        args.push_back(MORVANE_CLI_PATH);
        if (c.option != nullptr) {
            args.insert(args.end(), {"--port", c.option});
        }
        args.push_back("probe");
        const ProcessResult run = RunProgram("/usr/bin/env", args, "", GUARD_SECONDS);
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.status, c.status) << run.err;
        const std::vector<std::string> lines = SplitLines(run.err);
        if (*c.message == 0) {
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(run.out, "0\n");
        } else {
            ASSERT_EQ(lines.size(), 1u) << run.err; // one line, however the open failed
            EXPECT_EQ(lines[0].rfind(std::string("morvane-cli: ") + c.message, 0), 0u) << run.err;
        }
    }
    std::filesystem::remove_all(dir);
}

// The same situation gives the same status whichever command meets it.
TEST_F(CliLabTest, ExitStatusesAgreeAcrossCommands) {
    SimOptions silent;
    silent.fault = SimFault::Silent;
    StartModule(silent);
    for (const char* command : {"probe", "version", "init", "clocks", "send", "mr", "set"}) {
        SCOPED_TRACE(command);
        std::vector<std::string> args = {command};
        if (std::string(command) == "send" || std::string(command) == "mr") {
            args.push_back("0");
        } else if (std::string(command) == "set") {
            args.insert(args.end(), {"1", "10", "50", "0"});
        }
        const ProcessResult run = Run(args);
        EXPECT_EQ(run.status, 3) << run.err; // the module did not answer
        EXPECT_NE(LastErrorLine(run).find("did not answer the probe"), std::string::npos);
    }

    // A file that cannot be created fails before the module is read; the port stays closed.
    StartModule();
    const ProcessResult save = Run({"image-save", "0", "100", "/nonexistent/dir/a.img"});
    EXPECT_EQ(save.status, 1);
    EXPECT_EQ(LastErrorLine(save),
              "morvane-cli: cannot create image file /nonexistent/dir/a.img: No such file or "
              "directory");
    EXPECT_EQ(m_sim->CommandCount(), 0u);

    // A script stops at its first failure and names the line; --keep-going runs on and keeps
    // the first failure's status.
    const std::string script = "set 1 1 1 1\nset 1 10 500 0\nmr 10G\nset 2 1 1 1\n";
    const ProcessResult stop = Run({"script"}, script);
    EXPECT_EQ(stop.status, 2);
    EXPECT_EQ(stop.err, "morvane-cli: line 2: amplitude 500 % is outside 0 to 100\n");
    EXPECT_FALSE(m_sim->Channel(1).on);
    const ProcessResult on = Run({"script", "--keep-going"}, script);
    EXPECT_EQ(on.status, 2);
    EXPECT_EQ(SplitLines(on.err).size(), 2u) << on.err;
    EXPECT_TRUE(m_sim->Channel(1).on);
}

// One parser serves every script line: what one line gave does not carry over to the next.
TEST_F(CliLabTest, ScriptLinesStartFromTheDefaults) {
    StartModule();
    const ProcessResult run =
        Run({"script"}, "init 7\ninit\nset 1 10 50 0 --multi\nset 2 10 50 0\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(m_sim->ClockMode(), 2);
    const std::vector<std::string> lines = SplitLines(run.out);
    ASSERT_EQ(lines.size(), 10u) << run.out;
    EXPECT_EQ(lines[6], "dds 0 1999999a 0 200 0");
    EXPECT_EQ(lines[8], "dds 1 1999999a 0 200 1");
}

// Lines typed at a terminal with the results going into a pipe (through tee, say): each line's
// results come out before the tool waits for the next line, not when a buffer fills or the tool
// ends. (The wait for them is only a guard against a hang.)
TEST_F(CliLabTest, TypedScriptLinesAnswerAtOnceIntoAPipe) {
    StartModule();
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string terminal = ::ptsname(master);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const std::string port = m_sim->SlavePath();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int in = ::open(terminal.c_str(), O_RDWR | O_NOCTTY);
        const int null = ::open("/dev/null", O_WRONLY);
        if (in < 0 || null < 0 || ::dup2(in, 0) < 0 || ::dup2(out[1], 1) < 0 ||
            ::dup2(null, 2) < 0) {
            ::_exit(127);
        }
        ::execl(MORVANE_CLI_PATH, "morvane-cli", "--port", port.c_str(), "script", nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    auto typeLine = [master](const std::string& line) {
        ASSERT_EQ(::write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    };
    auto resultArrives = [&out] {
        pollfd p{out[0], POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(GUARD_SECONDS * 1000)) == 1;
    };
    std::string got;
    char buffer[256];
    typeLine("send u0\n");
    ASSERT_TRUE(resultArrives()) << "no result while the tool waits for the next line";
    got.append(buffer, static_cast<std::size_t>(
                           std::max<ssize_t>(0, ::read(out[0], buffer, sizeof buffer))));
    EXPECT_NE(got.find("U0"), std::string::npos) << got;
    typeLine("send \"dds 0 0 0 0 0\"\n");
    ASSERT_TRUE(resultArrives());
    typeLine("\x04"); // end of input at the start of a line
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ::close(out[0]);
    ::close(master);
}

// A sweep downwards with a dwell, stopped by Ctrl-C: each point is one line with the frequency
// as set; the next point starts no sooner than the dwell after the previous reply (read from the
// transcript); the tool stops after the current point, says how far it got and exits 130; the
// register holds the last point printed.
TEST_F(CliLabTest, SweepHoldsItsDwellAndStopsOnCtrlC) {
    StartModule();
    const std::string trace = TempPath("sweep.trace");
    CChildProcess cli(MORVANE_CLI_PATH, {"morvane-cli", "--port", m_sim->SlavePath(), "--trace",
                                         trace, "sweep", "3", "30", "1", "-1", "--dwell", "150"});
    ASSERT_TRUE(cli.Started());
    ASSERT_TRUE(cli.WaitForLines(3, GUARD_SECONDS));
    cli.Signal(SIGINT);
    const ProcessResult run = cli.Finish(GUARD_SECONDS);
    ASSERT_TRUE(run.exited) << "signal " << run.signal;
    EXPECT_EQ(run.status, 130) << run.err;

    const std::vector<std::string> points = SplitLines(run.out);
    ASSERT_GE(points.size(), 3u);
    ASSERT_LT(points.size(), 30u);
    DdsModuleClocksRecord clocks;
    clocks.ddsClockHz = 100e6;
    DdsAdoptClocks(clocks);
    for (std::size_t i = 0; i < points.size(); ++i) {
        const double mhz = 30.0 - static_cast<double>(i);
        EXPECT_EQ(points[i],
                  NumFormatString("%zu %.6f Hz ok", i + 1, WordToFreq(FreqToWord(mhz * 1e6))));
    }
    EXPECT_EQ(LastErrorLine(run),
              NumFormatString("morvane-cli: interrupted after point %zu of 30 (%d MHz)",
                              points.size(), 30 - static_cast<int>(points.size()) + 1));
    EXPECT_EQ(m_sim->Channel(2).freqWord,
              static_cast<std::uint32_t>(FreqToWord((31.0 - points.size()) * 1e6)));
    DdsResetState();

    // The settings in the transcript: end (ms since start) and round trip (us) of each.
    std::vector<double> starts, ends;
    for (const std::string& line : SplitLines(ReadFile(trace))) {
        const std::vector<std::string> c = SplitTabs(line);
        if (c.size() == 7 && c[5].rfind("dds 2 ", 0) == 0) {
            ends.push_back(std::stod(c[0]));
            starts.push_back(ends.back() - std::stod(c[3]) / 1000.0);
        }
    }
    ASSERT_EQ(ends.size(), points.size());
    for (std::size_t i = 1; i < ends.size(); ++i) {
        EXPECT_GE(starts[i] - ends[i - 1], 150.0 - 0.01) << "point " << i + 1;
    }
    std::remove(trace.c_str());
}

// The transcript: a '#' header naming the columns, then one line an event with seven
// tab-separated columns; CR and LF shown as \r and \n; one line for the open, the probe, each
// exchange and the close.
TEST_F(CliLabTest, TranscriptHasOneLineAnEvent) {
    StartModule();
    const std::string trace = TempPath("set.trace");
    const ProcessResult run = Run({"--trace", trace, "set", "1", "10", "50", "0"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = SplitLines(ReadFile(trace));
    std::remove(trace.c_str());
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "# ms\ttime\toutcome\trtt_us\tfields\tcommand\treply");
    struct Expected {
        const char* outcome;
        const char* fields;
        const char* command; // nullptr: not compared (the device)
        const char* reply;
    };
    const Expected expected[] = {
        {"opened", "-", nullptr, ""},
        {"probe-ok", "-", "\\r", "\\r\\n>"},
        {"ok", "4", "u0", "u0\\r\\nFXTL=10.000000,FREF=100.000000,FDDS=100.000000\\r\\n>"},
        {"ok", "2", "dds 0 1999999a 0 200 1", "dds 0 1999999a 0 200 1\\r\\nOK\\r\\n>"},
        {"closed", "-", nullptr, ""},
    };
    double previous = 0;
    for (std::size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(lines[i + 1]);
        const std::vector<std::string> c = SplitTabs(lines[i + 1]);
        ASSERT_EQ(c.size(), 7u);
        const double ms = std::stod(c[0]);
        EXPECT_GE(ms, previous);
        previous = ms;
        EXPECT_EQ(c[1].size(), 12u); // hh:mm:ss.mmm
        EXPECT_EQ(c[2], expected[i].outcome);
        EXPECT_EQ(c[3].find_first_not_of("0123456789"), std::string::npos);
        EXPECT_EQ(c[4], expected[i].fields);
        if (expected[i].command != nullptr) {
            EXPECT_EQ(c[5], expected[i].command);
        }
        EXPECT_EQ(c[6], expected[i].reply);
    }
}

} // namespace
