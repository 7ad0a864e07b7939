// Malformed and out-of-range command lines of morvane-cli and qmtrv-sim: the program ends by
// itself with a non-zero status and says what is wrong in one line on standard error; it never
// crashes and never talks to a module about it. (The hexadecimal arguments of the monitor
// commands and the first qmtrv-sim options are covered by the tests of those layers.)
#include "fault_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace {

constexpr double GUARD_SECONDS = 30;

struct ArgsCase {
    std::vector<std::string> args; // after the program name
    int status;                    // expected exit status
    const char* message;           // expected in the message line
};

std::string CaseName(const std::vector<std::string>& args, std::size_t index) {
    std::string name;
    for (const std::string& arg : args) {
        for (char c : arg) {
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        name += '_';
    }
    return name + std::to_string(index);
}

// The last line on standard error is the program's own message; the link's diagnostic lines
// about the port ("init : Open ... Error") may come before it.
void ExpectOneMessage(const ProcessResult& run, const char* program, const ArgsCase& c) {
    ASSERT_TRUE(run.exited) << "signal " << run.signal << (run.killed ? " (killed)" : "");
    EXPECT_EQ(run.status, c.status) << run.err;
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.back(), '\n');
    const std::vector<std::string> lines = SplitLines(run.err);
    const std::string& last = lines.back();
    EXPECT_EQ(last.rfind(std::string(program) + ": ", 0), 0u) << run.err;
    EXPECT_NE(last.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
}

class CliArgsTest : public ::testing::TestWithParam<ArgsCase> {};

TEST_P(CliArgsTest, RefusedWithOneMessage) {
    std::vector<std::string> args = {"morvane-cli"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    const ProcessResult run = RunProgram(MORVANE_CLI_PATH, args, "", GUARD_SECONDS);
    ExpectOneMessage(run, "morvane-cli", GetParam());
    // A usage error is found before any port is opened: nothing but the message.
    if (GetParam().status == 2) {
        EXPECT_EQ(SplitLines(run.err).size(), 1u) << run.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliArgsTest,
    ::testing::Values(
        // Options of the program.
        ArgsCase{{"--baud", "0", "probe"}, 2, "--baud"},
        ArgsCase{{"--baud", "-9600", "probe"}, 2, "--baud"},
        ArgsCase{{"--baud", "abc", "probe"}, 2, "--baud"},
        ArgsCase{{"--baud", "4000001", "probe"}, 2, "--baud"},
        ArgsCase{{"--baud", "99999999999999999999", "probe"}, 2, "--baud"},
        ArgsCase{{"--baud"}, 2, "--baud"}, ArgsCase{{"--bogus", "probe"}, 2, "--bogus"},
        ArgsCase{{}, 2, "no command given"}, ArgsCase{{"bogus"}, 2, "unknown command 'bogus'"},
        ArgsCase{{"--port", "sim", "bogus", "1"}, 2, "unknown command 'bogus'"},
        // Ports that are not there or not serial lines: one line with the system's reason.
        ArgsCase{{"--port", "/nonexistent/ttyX", "init"},
                 1,
                 "cannot open /nonexistent/ttyX: No such file or directory"},
        ArgsCase{{"--port", "/etc/hostname", "init"},
                 1,
                 "cannot open /etc/hostname: is not a serial device"},
        ArgsCase{{"--port", "/tmp", "init"}, 1, "cannot open /tmp: is not a serial device"},
        ArgsCase{{"--port", "", "init"}, 2, "no port given: use --port DEVICE"},
        ArgsCase{{"--port", "COM0", "init"}, 1, "cannot open COM0: "},
        ArgsCase{{"--port", "COM99999999999999", "init"}, 1, "cannot open COM99999999999999"},
        ArgsCase{{"--trace", "/nonexistent/t", "--port", "sim", "probe"},
                 1,
                 "cannot open the trace file /nonexistent/t: No such file or directory"},
        // Channels and values of "set", "off" and "init": refused before any port is opened.
        ArgsCase{{"set", "0", "10", "50", "0"}, 2, "channel 0 is outside 1 to 12"},
        ArgsCase{{"set", "13", "10", "50", "0"}, 2, "channel 13 is outside 1 to 12"},
        ArgsCase{{"set", "-2147483648", "10", "50", "0"}, 2, "channel -2147483648 is outside"},
        ArgsCase{{"set", "1", "-10", "50", "0"}, 2, "frequency -10 MHz is below 0"},
        ArgsCase{{"set", "1", "10", "150", "0"}, 2, "amplitude 150 % is outside 0 to 100"},
        ArgsCase{{"set", "1", "10 Hz", "150", "0"}, 2, "amplitude 150 %"},
        ArgsCase{{"set", "1", "10 MHz", "50", "0"}, 2, "no port given"},
        ArgsCase{{"set", "99999999999", "10", "50", "0"}, 2, "CH"},
        ArgsCase{{"set", "one", "10", "50", "0"}, 2, "CH"},
        ArgsCase{{"set", "1", "abc", "50", "0"}, 2, "FREQ: 'abc' is not a frequency"},
        ArgsCase{{"set", "1", "0x10", "50", "0"}, 2, "FREQ: '0x10'"},
        ArgsCase{{"set", "1", "12,5", "50", "0"}, 2, "FREQ: '12,5'"},
        ArgsCase{{"set", "1", "", "50", "0"}, 2, "FREQ: ''"},
        ArgsCase{{"set", "1", "10 Mhz x", "50", "0"}, 2, "FREQ: '10 Mhz x'"},
        ArgsCase{{"set", "1", "inf", "50", "0"}, 2, "FREQ: 'inf' is not a finite number"},
        ArgsCase{{"set", "1", "10", "50%", "0"}, 2, "AMP_PERCENT: '50%'"},
        ArgsCase{{"set", "1", "10", "50", "inf"}, 2, "PHASE_DEG: 'inf'"},
        ArgsCase{{"set", "1", "10", "50", "1e"}, 2, "PHASE_DEG: '1e'"},
        ArgsCase{{"set", "1", "10", "50", "."}, 2, "PHASE_DEG: '.'"},
        ArgsCase{{"set", "1", "10", "50"}, 2, "PHASE_DEG"},
        ArgsCase{{"set", "1", "10", "50", "0", "7"}, 2, "7"},
        ArgsCase{{"off", "13"}, 2, "channel 13 is outside 1 to 12"},
        ArgsCase{{"off", "x"}, 2, "CH"},
        // Sweeps: steps that never reach STOP.
        ArgsCase{{"sweep", "1", "10", "20", "0"}, 2, "STEP: 0 MHz never reaches STOP"},
        ArgsCase{{"sweep", "1", "10", "20", "-1"}, 2, "STEP -1 MHz leads away from STOP"},
        ArgsCase{{"sweep", "1", "10", "20", "1", "--dwell", "-1"}, 2, "--dwell"},
        ArgsCase{{"sweep", "1", "10", "20", "1", "--amp", "101"}, 2, "amplitude 101 %"},
        ArgsCase{{"init", "abc"}, 2, "MODE"}, ArgsCase{{"init", "99999999999"}, 2, "MODE"},
        ArgsCase{{"init", "2", "3"}, 2, "3"}),
    [](const auto& info) { return CaseName(info.param.args, info.index); });

// Help and the version are no error: they go to standard output with status 0. The help
// documents every exit status.
TEST(CliArgsHelp, HelpExitsZero) {
    const ProcessResult run = RunProgram(MORVANE_CLI_PATH, {"morvane-cli", "--help"}, "", 30);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("--port"), std::string::npos) << run.out;
    for (const char* status : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  130 "}) {
        EXPECT_NE(run.out.find(status), std::string::npos) << status;
    }
    EXPECT_EQ(run.err, "");
    const ProcessResult version =
        RunProgram(MORVANE_CLI_PATH, {"morvane-cli", "--version"}, "", 30);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("morvane-cli ", 0), 0u) << version.out;
}

// Values that are numbers but beyond what the module's words carry: refused in words that name
// the value and the limit, with status 2, and nothing sent.
TEST(CliArgsValues, OutOfRangeSettingsAreRefused) {
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {"set 1 -5 50 0", "frequency -5 MHz is below 0"},
        {"set 1 1e999 50 0", "FREQ: '1e999' is not a finite number"},
        {"set 1 50 50 0", "frequency 50 MHz is not below half the DDS clock (50 MHz)"},
        {"set 1 50000kHz 50 0", "frequency 50 MHz is not below half the DDS clock (50 MHz)"},
        {"set 1 10 -1 0", "amplitude -1 % is outside 0 to 100"},
        {"set 1 10 100.1 0", "amplitude 100.1 % is outside 0 to 100"},
        {"set 1 10 50 1e999", "PHASE_DEG: '1e999' is too large"},
        {"sweep 1 40 60 5", "frequency 60 MHz is not below half the DDS clock (50 MHz)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const ProcessResult run =
            RunProgram(MORVANE_CLI_PATH, {"morvane-cli", "--port", "sim", "script"},
                       std::string("init 2\n") + c.line + "\n", GUARD_SECONDS);
        ASSERT_TRUE(run.exited) << "signal " << run.signal;
        EXPECT_EQ(run.status, 2) << run.err;
        const std::vector<std::string> errLines = SplitLines(run.err);
        ASSERT_FALSE(errLines.empty());
        EXPECT_EQ(errLines.back(), std::string("morvane-cli: line 2: ") + c.message) << run.err;
        EXPECT_EQ(run.out.find("dds 0"), std::string::npos) << run.out; // nothing sent
    }
}

class SimArgsTest : public ::testing::TestWithParam<ArgsCase> {};

TEST_P(SimArgsTest, RefusedWithOneMessage) {
    std::vector<std::string> args = {"qmtrv-sim"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    const ProcessResult run = RunProgram(QMTRV_SIM_PATH, args, "", GUARD_SECONDS);
    ExpectOneMessage(run, "qmtrv-sim", GetParam());
    EXPECT_EQ(SplitLines(run.err).size(), 1u) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimArgsTest,
    ::testing::Values(ArgsCase{{"--baud", "100000001"}, 2, "--baud"},
                      ArgsCase{{"--baud", "99999999999999999999"}, 2, "--baud"},
                      ArgsCase{{"--hangup-after", "1000000001"}, 2, "--hangup-after"},
                      ArgsCase{{"--slow-ms", "-1"}, 2, "--slow-ms"},
                      ArgsCase{{"--slow-ms", "3600001"}, 2, "--slow-ms"},
                      ArgsCase{{"--seed", "4294967296"}, 2, "--seed"},
                      ArgsCase{{"--fault"}, 2, "--fault"},
                      ArgsCase{{"--fault", "SILENT"}, 2, "SILENT"},
                      ArgsCase{{"--fault", ""}, 2, "--fault"}, ArgsCase{{"--link"}, 2, "--link"},
                      ArgsCase{{"--link", "/etc/hostname"}, 1, "/etc/hostname"}),
    [](const auto& info) { return CaseName(info.param.args, info.index); });

} // namespace
