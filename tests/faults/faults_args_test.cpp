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
        ArgsCase{{}, 2, "subcommand"}, ArgsCase{{"bogus"}, 2, "subcommand"},
        // Ports that are not there or not serial lines.
        ArgsCase{{"--port", "/nonexistent/ttyX", "init"}, 1, "cannot open port /nonexistent/ttyX"},
        ArgsCase{{"--port", "/etc/hostname", "init"}, 1, "cannot open port /etc/hostname"},
        ArgsCase{{"--port", "/tmp", "init"}, 1, "cannot open port /tmp"},
        ArgsCase{{"--port", "", "init"}, 1, "cannot open port"},
        ArgsCase{{"--port", "COM0", "init"}, 1, "cannot open port COM0"},
        ArgsCase{{"--port", "COM99999999999999", "init"}, 1, "cannot open port"},
        // Channels and values of "set", "off" and "init".
        ArgsCase{{"set", "0", "10", "50", "0"}, 3, "DDS_E_CHANNEL (0x80000002)"},
        ArgsCase{{"set", "13", "10", "50", "0"}, 3, "DDS_E_CHANNEL (0x80000002)"},
        ArgsCase{{"set", "-2147483648", "10", "50", "0"}, 3, "DDS_E_CHANNEL"},
        ArgsCase{{"set", "99999999999", "10", "50", "0"}, 2, "CH"},
        ArgsCase{{"set", "one", "10", "50", "0"}, 2, "CH"},
        ArgsCase{{"set", "1", "abc", "50", "0"}, 2, "FREQ_MHZ: 'abc' is not a decimal number"},
        ArgsCase{{"set", "1", "0x10", "50", "0"}, 2, "FREQ_MHZ: '0x10'"},
        ArgsCase{{"set", "1", "12,5", "50", "0"}, 2, "FREQ_MHZ: '12,5'"},
        ArgsCase{{"set", "1", "", "50", "0"}, 2, "FREQ_MHZ: ''"},
        ArgsCase{{"set", "1", "10", "50%", "0"}, 2, "AMP_PERCENT: '50%'"},
        ArgsCase{{"set", "1", "10", "50", "inf"}, 2, "PHASE_DEG: 'inf'"},
        ArgsCase{{"set", "1", "10", "50", "1e"}, 2, "PHASE_DEG: '1e'"},
        ArgsCase{{"set", "1", "10", "50", "."}, 2, "PHASE_DEG: '.'"},
        ArgsCase{{"set", "1", "10", "50"}, 2, "PHASE_DEG"},
        ArgsCase{{"set", "1", "10", "50", "0", "7"}, 2, "7"},
        ArgsCase{{"off", "13"}, 3, "DDS_E_CHANNEL"}, ArgsCase{{"off", "x"}, 2, "CH"},
        ArgsCase{{"init", "abc"}, 2, "MODE"}, ArgsCase{{"init", "99999999999"}, 2, "MODE"},
        ArgsCase{{"init", "2", "3"}, 2, "3"}),
    [](const auto& info) { return CaseName(info.param.args, info.index); });

// Help is no error: it goes to standard output with status 0.
TEST(CliArgsHelp, HelpExitsZero) {
    const ProcessResult run = RunProgram(MORVANE_CLI_PATH, {"morvane-cli", "--help"}, "", 30);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("--port"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
}

// Values that are numbers but beyond what the module's words carry: refused by DDS control with
// its result code, after the clock is known.
TEST(CliArgsValues, OutOfRangeSettingsAreRefused) {
    const char* lines[] = {"set 1 -5 50 0", "set 1 1e999 50 0", "set 1 50 50 0",
                           "set 1 10 -1 0", "set 1 10 100.1 0", "set 1 10 50 1e999"};
    for (const char* line : lines) {
        SCOPED_TRACE(line);
        const ProcessResult run =
            RunProgram(MORVANE_CLI_PATH, {"morvane-cli", "--port", "sim", "script"},
                       std::string("init 2\n") + line + "\n", GUARD_SECONDS);
        ASSERT_TRUE(run.exited) << "signal " << run.signal;
        EXPECT_EQ(run.status, 3) << run.err;
        const std::vector<std::string> errLines = SplitLines(run.err);
        ASSERT_FALSE(errLines.empty());
        EXPECT_EQ(errLines.back(), "morvane-cli: DDS_E_VALUE (0x80000003)") << run.err;
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
