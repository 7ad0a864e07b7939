// morvane-cli and qmtrv-sim as processes when the module misbehaves: the tool ends (never by a
// signal), with a non-zero status and a message when a command failed, and does not spin while
// it waits. The module is a simulator in this process, so that the test can change its
// behaviour or pull the line while the tool runs, or the qmtrv-sim program.
#include "fault_fixture.h"
#include "fault_support.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr double GUARD_SECONDS = 60;

class CliFaultTest : public FaultTest {
protected:
    void StartModule(const SimOptions& options = {}) {
        m_sim = std::make_unique<CPtySimulator>(options);
        ASSERT_TRUE(m_sim->Start());
    }
    std::vector<std::string> Args(std::vector<std::string> more) const {
        std::vector<std::string> args = {"morvane-cli", "--port", m_sim->SlavePath()};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    static void ExpectEndedWith(const ProcessResult& run, int status) {
        ASSERT_TRUE(run.exited) << "signal " << run.signal << (run.killed ? " (killed)" : "")
                                << "\n"
                                << run.err;
        EXPECT_EQ(run.status, status) << run.err;
    }
    // A reader that spins uses a whole core for as long as it waits; one that sleeps uses a
    // fraction of it, plus what starting the process costs (the sanitizers' run-time alone takes
    // about 0.15 s of CPU), which dominates the short runs of a tool that stops at the first
    // failure.
    static void ExpectNoBusyWait(const ProcessResult& run) {
        constexpr double START_CPU_SECONDS = 0.25;
        EXPECT_LT(run.cpuSeconds, START_CPU_SECONDS + run.wallSeconds / 4)
            << "cpu " << run.cpuSeconds << " s in " << run.wallSeconds << " s";
    }
    // The tool's own message: the last line on standard error.
    static std::string LastErrorLine(const ProcessResult& run) {
        const std::vector<std::string> lines = SplitLines(run.err);
        return lines.empty() ? std::string() : lines.back();
    }
};

TEST_F(CliFaultTest, SilentModuleFailsTheProbe) {
    SimOptions options;
    options.fault = SimFault::Silent;
    StartModule(options);
    const ProcessResult run = RunProgram(MORVANE_CLI_PATH, Args({"init"}), "", GUARD_SECONDS);
    ExpectEndedWith(run, 3);
    EXPECT_EQ(LastErrorLine(run).rfind("morvane-cli: the module on " + m_sim->SlavePath() +
                                           " did not answer the probe (check the cable",
                                       0),
              0u)
        << run.err;
    EXPECT_EQ(run.out, "");
}

// The module answers init and one set, then hangs up after the echo of the next set: the
// script stops being answered, the tool reports the failed set with its line and exits 3.
TEST_F(CliFaultTest, HangUpAfterTheEchoIsAFailedCommand) {
    SimOptions options;
    options.fault = SimFault::HangupAfter;
    options.hangupAfter = 2;
    StartModule(options);
    const ProcessResult run =
        RunProgram(MORVANE_CLI_PATH, Args({"script"}),
                   "init\nset 1 10 50 90\nset 2 20 100 0\nset 3 1 1 1\n", GUARD_SECONDS);
    ExpectEndedWith(run, 3);
    EXPECT_EQ(LastErrorLine(run),
              "morvane-cli: line 3: channel 2: the module did not confirm the setting "
              "(DDS_E_REPLY)");
    // The table of the tool holds the setting whose answer was cut, as it was sent.
    EXPECT_NE(run.out.find("dds 1 33333333 0 400 1\nCH2 on freq="), std::string::npos) << run.out;
    ExpectNoBusyWait(run);
    const SimChannel ch1 = m_sim->Channel(0);
    EXPECT_EQ(ch1.freqWord, 0x1999999Au);
    EXPECT_EQ(ch1.phaseWord, 0x1000u);
    EXPECT_EQ(ch1.ampWord, 0x200u);
}

// The line dies while the tool waits for an answer (the module pauses inside it for an hour):
// the tool reports the failure and exits soon after.
TEST_F(CliFaultTest, DeviceVanishesWhileTheToolWaits) {
    SimOptions options;
    options.fault = SimFault::Slow;
    options.slowMs = 3600000;
    StartModule(options);
    CChildProcess cli(MORVANE_CLI_PATH, Args({"init"}));
    ASSERT_TRUE(cli.Started());
    // Pull the line once "DI" has arrived (a slow start of the tool must not make it an open
    // failure instead).
    for (int i = 0; i < 6000 && m_sim->CommandCount() == 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(100ms);
    m_sim->HangUp();
    const ProcessResult run = cli.Finish(GUARD_SECONDS);
    ExpectEndedWith(run, 3);
    EXPECT_EQ(LastErrorLine(run), "morvane-cli: the module did not answer the initialisation "
                                  "(DI 2) as expected (DDS_E_REPLY)");
    ExpectNoBusyWait(run);
}

// A flood keeps the tool reading; when the line dies it prints what it has and ends.
TEST_F(CliFaultTest, FloodThenHangUp) {
    SimOptions options;
    options.fault = SimFault::Flood;
    StartModule(options);
    CChildProcess cli(MORVANE_CLI_PATH, Args({"send", "V"}));
    ASSERT_TRUE(cli.Started());
    std::this_thread::sleep_for(1s);
    m_sim->HangUp();
    const ProcessResult run = cli.Finish(GUARD_SECONDS);
    ExpectEndedWith(run, 0);
    const std::vector<std::string> lines = SplitLines(run.out);
    ASSERT_FALSE(lines.empty());
    const int count = std::stoi(lines[0]);
    EXPECT_GE(count, 1);
    EXPECT_LE(count, 16);
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(count) + 1);
    EXPECT_EQ(lines.size() > 1 ? lines[1] : "", "V");
}

// Garbage for answers: whatever the commands report, the tool ends normally and every failure
// is reported with a message (--keep-going runs every line).
TEST_F(CliFaultTest, GarbageAnswers) {
    StartModule();
    m_sim->SetFault(SimFault::Garbage);
    const ProcessResult run = RunProgram(
        MORVANE_CLI_PATH, Args({"script", "--keep-going"}),
        "init\nclocks\nset 1 10 50 90\nset 2 0 0 0 --multi\nupdate\nversion\nmr 10\nmc 0 10 0\n"
        "md 0 40\nsend u0\ntable\n",
        GUARD_SECONDS);
    ASSERT_TRUE(run.exited) << "signal " << run.signal;
    EXPECT_TRUE(run.status == 0 || run.status == 1 || run.status == 3) << run.status;
    if (run.status != 0) {
        EXPECT_NE(run.err.find("morvane-cli: "), std::string::npos) << run.err;
    }
    // The table is printed whatever came before it.
    EXPECT_NE(run.out.find("CH12 "), std::string::npos) << run.out;
}

// Both programs as processes: qmtrv-sim told to hang up after one answer, morvane-cli on its
// pseudo-terminal. The tool fails the set that was cut; the simulator still stops cleanly.
TEST(CliSimProcessFault, HangUpFromQmtrvSim) {
    CChildProcess sim(QMTRV_SIM_PATH,
                      {"qmtrv-sim", "--fault", "hangup-after", "--hangup-after", "1"});
    ASSERT_TRUE(sim.Started());
    const std::string path = sim.FirstLine(GUARD_SECONDS);
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;
    const ProcessResult run =
        RunProgram(MORVANE_CLI_PATH, {"morvane-cli", "--port", path, "script"},
                   "init\nset 1 10 50 90\n", GUARD_SECONDS);
    ASSERT_TRUE(run.exited) << "signal " << run.signal;
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_NE(run.out.find("dds 100000000 Hz\ndds 0 1999999a 1000 200 1\n"), std::string::npos)
        << run.out;
    sim.Signal(SIGTERM);
    const ProcessResult simEnd = sim.Finish(GUARD_SECONDS);
    ASSERT_TRUE(simEnd.exited) << "signal " << simEnd.signal;
    EXPECT_EQ(simEnd.status, 0) << simEnd.err;
}

// Channel setup files: capture what a script set, apply it to a fresh module (rows CH5 to CH8
// are channels 9 to 12, ON=0 rows are sent off), and refuse a file that is not one.
TEST_F(CliFaultTest, CaptureAndApplyChannelSetups) {
    const std::string file = (std::filesystem::temp_directory_path() /
                              ("morvane_cli_setup_" + std::to_string(::getpid()) + ".ini"))
                                 .string();
    StartModule();
    ExpectEndedWith(
        RunProgram(MORVANE_CLI_PATH, Args({"script"}),
                   "init 2\nset 1 10 50 0\nset 9 20 25 90\noff 2\ncapture " + file + "\n",
                   GUARD_SECONDS),
        0);

    StartModule(); // a module that has just been switched on
    const ProcessResult apply =
        RunProgram(MORVANE_CLI_PATH, Args({"apply", file}), "", GUARD_SECONDS);
    ExpectEndedWith(apply, 0);
    const std::vector<std::string> sent = SplitLines(apply.out);
    ASSERT_EQ(sent.size(), 8u) << apply.out;
    EXPECT_EQ(sent[0].rfind("dds 0 1999999a ", 0), 0u) << sent[0];
    EXPECT_EQ(sent[4].rfind("dds 8 ", 0), 0u) << sent[4];
    EXPECT_TRUE(m_sim->Channel(0).on);
    EXPECT_TRUE(m_sim->Channel(8).on);
    EXPECT_FALSE(m_sim->Channel(1).on);

    { std::ofstream(file, std::ios::trunc) << "[COM_PORT]\nCOM_PORT=3\n"; }
    const ProcessResult bad =
        RunProgram(MORVANE_CLI_PATH, Args({"apply", file}), "", GUARD_SECONDS);
    ExpectEndedWith(bad, 2);
    EXPECT_EQ(LastErrorLine(bad), "morvane-cli: " + file +
                                      " is not a channel setup file (no [CH1] to [CH8] or [MODE] "
                                      "section)");
    std::filesystem::remove(file);
}

} // namespace
