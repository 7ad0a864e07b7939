// The link and DDS control as a Windows program against modules on COM ports: the Win32 comm
// backend for real, through the same calls the console makes.
//
// The ports are named by environment variables ("COM5" or "5"):
//   MORVANE_TEST_PORT         a module that answers normally
//   MORVANE_TEST_SILENT_PORT  a module that answers nothing, not even the probe
//   MORVANE_TEST_HANGUP_PORT  a module that answers MORVANE_TEST_HANGUP_AFTER commands (default
//                             1), then hangs up the line after the echo of the next one; each
//                             run of this program needs a fresh one
// A test whose port is not given is skipped. Durations of the give-up cases are printed for the
// log; they are not asserted.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "comlink.h"
#include "dds.h"
#include "diag.h"
#include "exchange.h"
#include "numtext.h"

namespace {

using Clock = std::chrono::steady_clock;

// The port number of an environment variable, or 0 when it is not set or not a port.
int PortFromEnv(const char* variable) {
    const char* value = std::getenv(variable);
    if (!value || !*value) {
        return 0;
    }
    std::string text = value;
    if (text.size() > 3 && (text[0] == 'C' || text[0] == 'c')) {
        text = text.substr(3);
    }
    const int port = NumTextToInt(text);
    return port > 0 ? port : 0;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

// Prints a measured duration into the test log.
void Report(const char* what, Clock::time_point since) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - since).count();
    std::printf("[ timing   ] %s: %.0f ms\n", what, ms);
    ::testing::Test::RecordProperty(what, static_cast<int>(ms));
}

class ComPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        DdsResetState();
        DiagSetSink([this](std::string_view text) { m_diag.append(text); });
    }
    void TearDown() override {
        CloseComPort();
        DiagSetSink({});
        DdsResetState();
    }

    std::string m_diag;
};

#define REQUIRE_PORT(var, variable)                                                                \
    const int var = PortFromEnv(variable);                                                         \
    if (var == 0) {                                                                                \
        GTEST_SKIP() << variable << " names no COM port";                                          \
    }

TEST_F(ComPortTest, ProbeAnsweredOpensWithZero) {
    REQUIRE_PORT(port, "MORVANE_TEST_PORT");
    EXPECT_EQ(OpenComPort(port, 115200, 'N', 13), LINK_OPEN_OK);
    EXPECT_TRUE(LinkIsOpen());
    EXPECT_EQ(m_diag, NumFormatString("COM%d Open Success!\n", port));
    EXPECT_EQ(ComLink.port->Name(), NumFormatString("\\\\.\\COM%d", port));
    EXPECT_EQ(ComLink.port->Settings().baudRate, 115200);
    EXPECT_EQ(ComLink.port->Settings().eventChar, '>');
    // Opening the open link replaces the port object; the module still answers.
    EXPECT_EQ(OpenComPort(port, 9600, 'e', 13), LINK_OPEN_OK);
    EXPECT_EQ(ComLink.port->Settings().parity, 2);
    ReplyField f[REPLY_FIELD_COUNT];
    EXPECT_EQ(SendCommand("V", f), 2);
    EXPECT_EQ(CloseComPort(), 0);
    EXPECT_EQ(ComLink.port, nullptr);
    EXPECT_EQ(CloseComPort(), 0);
}

TEST_F(ComPortTest, MissingPortGivesOneAndLeavesAPortObject) {
    // No test machine maps COM250 to a device.
    EXPECT_EQ(OpenComPort(250, 115200, 'N', 13), LINK_OPEN_FAILED);
    EXPECT_NE(ComLink.port, nullptr);
    EXPECT_FALSE(LinkIsOpen());
    EXPECT_NE(m_diag.find("init : Open \\\\.\\COM250 Error\n"), std::string::npos) << m_diag;
    EXPECT_NE(m_diag.find("COM250 Open Error!\n"), std::string::npos) << m_diag;
    ReplyField f[REPLY_FIELD_COUNT];
    EXPECT_EQ(SendCommand("V", f), 0);
    CloseComPort();
    EXPECT_EQ(ComLink.port, nullptr);
}

TEST_F(ComPortTest, ExchangeExamples) {
    REQUIRE_PORT(port, "MORVANE_TEST_PORT");
    ASSERT_EQ(OpenComPort(port, 115200, 'N', 13), LINK_OPEN_OK);
    // In order: the memory commands depend on each other, the clock readout on "DI 2". An echo
    // alone that equals the command as sent counts 1 and leaves the table as it was.
    const struct {
        const char* command;
        int count;
        std::vector<std::string> fields;
    } cases[] = {
        {"DI 2", 4, {"DI 2", "FXTL=10.000000", "FREF=100.000000", "FDDS=100.000000"}},
        {"u0", 4, {"U0", "FXTL=10.000000", "FREF=100.000000", "FDDS=100.000000"}},
        {"v", 2, {"V", "QM-TRV V1.2"}},
        {"MW 10 5", 1, {}},
        {"MR 10", 2, {"MR 10", "00000010 : DATA = 00000005"}},
        {"mw 14 a5a5f00f", 1, {"MW 14 A5A5F00F"}},
        {"MR 14", 2, {"MR 14", "00000014 : DATA = A5A5F00F"}},
        {"dds 3 1999999a 1000 200 1", 2, {"DDS 3 1999999A 1000 200 1", "OK"}},
        {"dds c 0 0 0 1", 3, {"DDS C 0 0 0 1", "ERR", "BAD CHANNEL"}},
        {"nosuch", 3, {"NOSUCH", "ERR", "UNKNOWN COMMAND"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        ReplyField f[REPLY_FIELD_COUNT] = {};
        ASSERT_EQ(SendCommand(c.command, f), c.count);
        for (std::size_t i = 0; i < c.fields.size(); ++i) {
            EXPECT_EQ(std::string(f[i]), c.fields[i]) << "field " << i;
        }
        for (std::size_t i = c.fields.size(); i < REPLY_FIELD_COUNT; ++i) {
            EXPECT_EQ(f[i][0], '\0') << "field " << i << " written";
        }
    }
    // Each reply was read to its prompt and nothing was left over.
    EXPECT_EQ(QueuedCount(), 0u);
    EXPECT_EQ(m_diag.find('T'), std::string::npos) << m_diag;
}

TEST_F(ComPortTest, PollingReaderGathersAReplyToItsPrompt) {
    REQUIRE_PORT(port, "MORVANE_TEST_PORT");
    ASSERT_EQ(OpenComPort(port, 115200, 'N', 13), LINK_OPEN_OK);
    EXPECT_EQ(WriteCommandLine("V"), 0);
    char reply[REPLY_TEXT_SIZE];
    const std::size_t n = ReadReplyPoll(reply, sizeof reply);
    EXPECT_EQ(std::string(reply, n), "V\r\nQM-TRV V1.2\r\n>");
    EXPECT_EQ(FlushInput(), 0);
    EXPECT_EQ(QueuedCount(), 0u);
}

TEST_F(ComPortTest, LongRepliesAndPartialReadsKeepTheQueueCount) {
    REQUIRE_PORT(port, "MORVANE_TEST_PORT");
    ASSERT_EQ(OpenComPort(port, 115200, 'N', 13), LINK_OPEN_OK);
    // 4096 bytes of memory as 8192 hex digits on one line: far more than the reply text holds.
    ReplyField f[REPLY_FIELD_COUNT] = {};
    ASSERT_EQ(SendCommand("MD1 0 1000", f), 2);
    EXPECT_STREQ(f[0], "MD1 0 1000");
    EXPECT_EQ(std::strlen(f[1]), 31u);
    EXPECT_EQ(QueuedCount(), 0u);

    // 256 bytes as 512 digits: echo, CR LF, the line, CR LF, prompt.
    const std::uint32_t replyBytes = 9 + 2 + 512 + 2 + 1;
    EXPECT_EQ(WriteCommandLine("MD1 0 100"), 0);
    for (int i = 0; i < 500 && QueuedCount() < replyBytes; ++i) {
        Sleep(10);
    }
    ASSERT_EQ(QueuedCount(), replyBytes);
    // The dump takes 128 bytes and no prompt; what it left is still counted as queued.
    m_diag.clear();
    EXPECT_EQ(DumpQueued(), 0);
    EXPECT_EQ(m_diag, "l128");
    EXPECT_EQ(QueuedCount(), replyBytes - 128);
    EXPECT_EQ(ReadOneByte(), static_cast<std::uint8_t>('0'));
    char reply[REPLY_TEXT_SIZE];
    const std::size_t n = ReadReply(reply, sizeof reply);
    ASSERT_EQ(n, replyBytes - 129);
    EXPECT_EQ(std::string(reply + n - 3), "\r\n>");
    EXPECT_EQ(QueuedCount(), 0u);
}

// The words of a "dds" command as the module echoed it: channel, frequency, phase, amplitude,
// single-channel flag.
struct EchoedSet {
    std::uint32_t words[5] = {};
};

bool ParseEchoedSet(const std::string& echo, EchoedSet& out) {
    if (echo.rfind("DDS ", 0) != 0) {
        return false;
    }
    std::size_t pos = 4;
    for (std::uint32_t& word : out.words) {
        const std::size_t end = echo.find(' ', pos);
        const std::string hex = echo.substr(pos, end == std::string::npos ? end : end - pos);
        if (hex.empty() || hex.size() > 8) {
            return false;
        }
        word = 0;
        for (char c : hex) {
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return false;
            }
            word = word * 16 + static_cast<std::uint32_t>(digit);
        }
        pos = end == std::string::npos ? echo.size() : end + 1;
    }
    return pos == echo.size();
}

// Sends the last set command again and checks what the module received (its echo) against the
// channel table: the words must reproduce the row the table holds.
void ExpectModuleAgrees(int channel) {
    SCOPED_TRACE(channel);
    const std::string command = DdsLastCommand();
    ReplyField f[REPLY_FIELD_COUNT] = {};
    ASSERT_EQ(SendCommand(command.c_str(), f), 2) << command;
    EXPECT_STREQ(f[1], "OK");
    ASSERT_EQ(std::string(f[0]), Upper(command));
    EchoedSet set;
    ASSERT_TRUE(ParseEchoedSet(f[0], set)) << f[0];
    EXPECT_EQ(set.words[0], static_cast<std::uint32_t>(channel));
    const DdsChannelState& row = DdsChannelTable[channel];
    EXPECT_EQ(set.words[1] != 0, row.on == 1);
    if (row.on == 1) {
        EXPECT_EQ(WordToFreq(static_cast<std::int32_t>(set.words[1])), row.freqHz);
    }
    EXPECT_EQ(WordToPhase(static_cast<std::int32_t>(set.words[2])), row.phaseDeg);
    EXPECT_EQ(WordToAmp(static_cast<std::int32_t>(set.words[3])), row.amplitude);
}

TEST_F(ComPortTest, SetsAgreeWithWhatTheModuleReceived) {
    REQUIRE_PORT(port, "MORVANE_TEST_PORT");
    ASSERT_EQ(OpenComPort(port, 115200, 'N', 13), LINK_OPEN_OK);
    // Mode 2 has a 100 MHz DDS clock, mode 7 one of 122.88 MHz, whose words are never exact.
    for (int mode : {2, 7}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(DdsInit(mode), DDS_OK);
        DdsModuleClocksRecord clocks;
        ASSERT_EQ(DdsReadClocks(&clocks), DDS_OK);
        EXPECT_EQ(clocks.ddsClockHz, DdsModuleClocks.ddsClockHz);
        EXPECT_EQ(clocks.crystalHz, DdsModuleClocks.crystalHz);
        ASSERT_GT(DdsModuleClocks.ddsClockHz, 0.0);

        const struct {
            int channel;
            double freqHz, phaseDeg, amplitude;
            int single;
        } sets[] = {
            {0, 10e6, 90.0, 0.5, 1},          {1, 12.5e6, 359.0, 0.3, 1},
            {2, 0.0, 45.0, 1.0, 1},           {3, 1234567.891, -90.0, 0.01, 1},
            {11, 33.333333e6, 360.0, 1.0, 1}, {4, 7.5e6, 180.0, 0.75, 0},
            {5, 2e6, 20.0, 0.4, 0},           {8, 0.05, 0.5, 0.001, 0},
        };
        for (const auto& s : sets) {
            ASSERT_EQ(DdsSetChannel(s.channel, s.freqHz, s.phaseDeg, s.amplitude, s.single),
                      DDS_OK);
            ExpectModuleAgrees(s.channel);
        }
        EXPECT_EQ(DdsUpdate(), DDS_OK);
        EXPECT_STREQ(DdsLastCommand(), "DDU");
    }
    EXPECT_EQ(m_diag.find('T'), std::string::npos) << m_diag;
}

// The module's registers as qmtrv-sim --state-file keeps them: "commands N", "mode M",
// "applied CH FREQ PHASE AMP ON" and "pending CH FREQ PHASE AMP" lines, words in hexadecimal.
struct ModuleRegisters {
    std::size_t commands = 0;
    std::uint32_t applied[DDS_CHANNELS][4] = {};
    std::uint32_t pending[DDS_CHANNELS][4] = {};
    bool hasPending[DDS_CHANNELS] = {};
};

bool ReadRegisters(const char* path, ModuleRegisters& out) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    out = ModuleRegisters{};
    std::string word;
    while (in >> word) {
        if (word == "commands") {
            in >> std::dec >> out.commands;
        } else if (word == "mode") {
            int mode = 0;
            in >> std::dec >> mode;
        } else if (word == "applied" || word == "pending") {
            int ch = -1;
            in >> std::dec >> ch;
            if (ch < 0 || ch >= DDS_CHANNELS) {
                return false;
            }
            std::uint32_t* w = word == "applied" ? out.applied[ch] : out.pending[ch];
            in >> std::hex >> w[0] >> w[1] >> w[2];
            if (word == "applied") {
                in >> std::dec >> w[3];
            } else {
                out.hasPending[ch] = true;
            }
        } else {
            return false;
        }
    }
    return true;
}

// Waits until the state file reports at least `commands` commands (the simulator rewrites it
// within about 10 ms of each), then reads it.
bool WaitForRegisters(const char* path, std::size_t commands, ModuleRegisters& out) {
    for (int i = 0; i < 500; ++i) {
        if (ReadRegisters(path, out) && out.commands >= commands) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

// A channel's registers agree with its table row when the row holds what the words reproduce.
void ExpectRegistersAgree(const std::uint32_t words[4], bool on, const DdsChannelState& row) {
    EXPECT_EQ(on, row.on == 1);
    if (row.on == 1) {
        EXPECT_EQ(static_cast<std::int32_t>(words[0]), FreqToWord(row.freqHz));
    } else {
        EXPECT_EQ(words[0], 0u);
    }
    EXPECT_EQ(WordToPhase(static_cast<std::int32_t>(words[1])), row.phaseDeg);
    EXPECT_EQ(WordToAmp(static_cast<std::int32_t>(words[2])), row.amplitude);
}

TEST_F(ComPortTest, SetsReachTheModuleRegisters) {
    REQUIRE_PORT(port, "MORVANE_TEST_PORT");
    const char* state = std::getenv("MORVANE_TEST_STATE_FILE");
    if (state == nullptr || *state == '\0') {
        GTEST_SKIP() << "MORVANE_TEST_STATE_FILE names no state file of the module";
    }
    // The module has served other tests: take the number of commands it has handled once the
    // file has stopped changing (it is rewritten within about 10 ms of each command).
    ModuleRegisters regs;
    std::size_t sent = 0;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(ReadRegisters(state, regs));
        if (i > 0 && regs.commands == sent) {
            break;
        }
        sent = regs.commands;
        Sleep(50);
    }
    ASSERT_EQ(OpenComPort(port, 115200, 'N', 13), LINK_OPEN_OK);
    ASSERT_EQ(DdsInit(2), DDS_OK);
    sent += 1;

    // Single-channel sets are applied at once.
    ASSERT_EQ(DdsSetChannel(0, 10e6, 90.0, 0.5, 1), DDS_OK);
    ASSERT_EQ(DdsSetChannel(11, 12.5e6, 360.0, 1.0, 1), DDS_OK);
    ASSERT_EQ(DdsSetChannel(3, 0.0, 45.0, 0.3, 1), DDS_OK);
    // Multiple-channel sets are held until the update.
    ASSERT_EQ(DdsSetChannel(4, 7.5e6, 180.0, 0.75, 0), DDS_OK);
    ASSERT_EQ(DdsSetChannel(8, 33.333333e6, 1.0, 0.01, 0), DDS_OK);
    sent += 5;
    ASSERT_TRUE(WaitForRegisters(state, sent, regs));
    for (int ch : {0, 11, 3}) {
        SCOPED_TRACE(ch);
        ExpectRegistersAgree(regs.applied[ch], regs.applied[ch][3] != 0, DdsChannelTable[ch]);
    }
    for (int ch : {4, 8}) {
        SCOPED_TRACE(ch);
        ASSERT_TRUE(regs.hasPending[ch]);
        ExpectRegistersAgree(regs.pending[ch], regs.pending[ch][0] != 0, DdsChannelTable[ch]);
        EXPECT_EQ(regs.applied[ch][0], static_cast<std::uint32_t>(FreqToWord(10e6)));
    }

    EXPECT_EQ(DdsUpdate(), DDS_OK);
    ASSERT_TRUE(WaitForRegisters(state, sent + 1, regs));
    for (int ch = 0; ch < DDS_CHANNELS; ++ch) {
        SCOPED_TRACE(ch);
        EXPECT_FALSE(regs.hasPending[ch]);
        ExpectRegistersAgree(regs.applied[ch], regs.applied[ch][3] != 0, DdsChannelTable[ch]);
    }
    EXPECT_EQ(m_diag.find('T'), std::string::npos) << m_diag;
}

TEST_F(ComPortTest, SilentModuleFailsTheProbeAndIsGivenUpWithT) {
    REQUIRE_PORT(port, "MORVANE_TEST_SILENT_PORT");
    auto t0 = Clock::now();
    EXPECT_EQ(OpenComPort(port, 115200, 'N', 13), LINK_OPEN_NO_PROBE);
    Report("probe of a silent module", t0);
    EXPECT_TRUE(LinkIsOpen());
    m_diag.clear();
    ReplyField f[REPLY_FIELD_COUNT];
    t0 = Clock::now();
    EXPECT_EQ(SendCommand("u0", f), 0);
    Report("idle give-up of one reply", t0);
    EXPECT_EQ(m_diag, "T");
    // The polling reader gives up the same way.
    m_diag.clear();
    char reply[64];
    t0 = Clock::now();
    EXPECT_EQ(ReadReplyPoll(reply, sizeof reply), 0u);
    Report("idle give-up of the polling reader", t0);
    EXPECT_EQ(m_diag, "T");
}

TEST_F(ComPortTest, HangUpEndsTheReplyAndLaterOnesAtOnce) {
    REQUIRE_PORT(port, "MORVANE_TEST_HANGUP_PORT");
    const char* afterText = std::getenv("MORVANE_TEST_HANGUP_AFTER");
    const int answered = afterText && *afterText ? NumTextToInt(afterText) : 1;
    ASSERT_EQ(OpenComPort(port, 115200, 'N', 13), LINK_OPEN_OK);
    ReplyField f[REPLY_FIELD_COUNT];
    for (int i = 0; i < answered; ++i) {
        ASSERT_EQ(SendCommand("V", f), 2) << "command " << i;
    }
    m_diag.clear();
    // The module echoes this one and hangs up: the echo is all that arrives.
    auto t0 = Clock::now();
    EXPECT_EQ(SendCommand("u0", f), 1);
    Report("reply cut by a hang-up", t0);
    EXPECT_STREQ(f[0], "U0");
    EXPECT_EQ(m_diag, "T");
    // The line is gone: the driver reports it, and commands come back with nothing.
    std::uint32_t errors = 0;
    std::uint32_t queued = 1;
    EXPECT_FALSE(ComLink.port->ErrorAndQueueStatus(&errors, &queued));
    EXPECT_EQ(queued, 0u);
    EXPECT_FALSE(ComLink.port->WriteByte('\r'));
    m_diag.clear();
    t0 = Clock::now();
    EXPECT_EQ(SendCommand("u0", f), 0);
    Report("command on the dead line", t0);
    EXPECT_EQ(m_diag, "T");
    EXPECT_EQ(CloseComPort(), 0);
}

} // namespace
