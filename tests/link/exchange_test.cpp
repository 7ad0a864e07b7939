// The link over a real pseudo-terminal against a scripted far end: opening with the probe, the
// exchange of commands, how replies end, and what a vanished line does.
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "comlink.h"
#include "diag.h"
#include "exchange.h"
#include "fake_module.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Answers like the module: the probe, and every line with its echo and "OK".
std::vector<FakeChunk> ModuleLike(const std::string& line) {
    if (line.empty()) {
        return {{"\r\n>", 0}};
    }
    if (line == "u0") {
        return CFakeModule::Reply(line, {"FXTL=1,FREF=2,FDDS=3"});
    }
    if (line.rfind("MW", 0) == 0) {
        return CFakeModule::Reply(line, {});
    }
    return CFakeModule::Reply(line, {"OK"});
}

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        DiagSetSink([this](std::string_view t) { m_diag.append(t); });
    }
    void TearDown() override {
        CloseComPort();
        DiagSetSink(nullptr);
    }
    int Open(CFakeModule& module, bool probe = true) {
        return OpenComDevice(module.SlavePath(), 115200, 'N', 13, probe);
    }
    std::string m_diag;
};

TEST_F(LinkTest, ProbeAnsweredOpensWithZero) {
    CFakeModule module(ModuleLike);
    EXPECT_EQ(Open(module), LINK_OPEN_OK);
    EXPECT_TRUE(LinkIsOpen());
    EXPECT_EQ(module.Received(), "\r");
    EXPECT_EQ(m_diag, module.SlavePath() + " Open Success!\n");
    EXPECT_EQ(ComLink.terminator, 13);
}

TEST_F(LinkTest, SilentModuleGivesTwoAndStaysOpen) {
    CFakeModule module([](const std::string&) { return std::vector<FakeChunk>{}; });
    EXPECT_EQ(Open(module), LINK_OPEN_NO_PROBE);
    EXPECT_TRUE(LinkIsOpen());
    EXPECT_EQ(CloseComPort(), 0);
    EXPECT_FALSE(LinkIsOpen());
}

TEST_F(LinkTest, MissingDeviceGivesOneAndLeavesAPortObject) {
    EXPECT_EQ(OpenComDevice("/dev/does-not-exist-morvane", 115200, 'N', 13), LINK_OPEN_FAILED);
    EXPECT_NE(ComLink.port, nullptr);
    EXPECT_FALSE(LinkIsOpen());
    EXPECT_NE(m_diag.find("init : Open /dev/does-not-exist-morvane Error\n"), std::string::npos);
    EXPECT_NE(m_diag.find("/dev/does-not-exist-morvane Open Error!\n"), std::string::npos);
    CloseComPort();
    EXPECT_EQ(ComLink.port, nullptr);
}

TEST_F(LinkTest, NumberedPortsUseTheirTtySNames) {
    EXPECT_EQ(LinkDeviceNameForPort(1), "/dev/ttyS0");
    EXPECT_EQ(LinkDeviceNameForPort(100), "/dev/ttyS99");
    EXPECT_EQ(LinkDeviceNameForPort(INT_MIN), "/dev/ttyS-2147483649"); // no overflow
    // COM255 does not exist on any test machine: the open fails with the numbered messages.
    EXPECT_EQ(OpenComPort(255, 115200, 'N', 13), LINK_OPEN_FAILED);
    EXPECT_NE(m_diag.find("COM255 Open Error!\n"), std::string::npos);
}

TEST_F(LinkTest, ParityLettersInEitherCase) {
    CFakeModule module(ModuleLike);
    const struct {
        char letter;
        int parity;
    } cases[] = {{'E', 2}, {'e', 2}, {'O', 1}, {'o', 1}, {'M', 3},
                 {'m', 3}, {'S', 4}, {'s', 4}, {'N', 0}, {'x', 0}};
    for (const auto& c : cases) {
        ASSERT_EQ(OpenComDevice(module.SlavePath(), 9600, c.letter, 13, false), LINK_OPEN_OK);
        EXPECT_EQ(ComLink.port->Settings().parity, c.parity) << c.letter;
        EXPECT_EQ(ComLink.port->Settings().byteSize, 8);
        EXPECT_EQ(ComLink.port->Settings().eventChar, '>');
    }
}

TEST_F(LinkTest, SendCommandCountsFields) {
    CFakeModule module(ModuleLike);
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    ReplyField f[REPLY_FIELD_COUNT];
    ASSERT_EQ(SendCommand("u0", f), 4);
    EXPECT_STREQ(f[0], "U0");
    EXPECT_STREQ(f[3], "FDDS=3");
    EXPECT_EQ(SendCommand("MW 10 5", f), 1);
    EXPECT_EQ(SendCommand("dds a 1999999a 1000 400 1", f), 2);
    EXPECT_STREQ(f[1], "OK");
    EXPECT_EQ(module.Received(), "\ru0\rMW 10 5\rdds a 1999999a 1000 400 1\r");
    EXPECT_EQ(m_diag.find('T'), std::string::npos);
}

TEST_F(LinkTest, PromptInsideABatchDoesNotEndTheReply) {
    CFakeModule module([](const std::string& line) -> std::vector<FakeChunk> {
        if (line.empty()) {
            return {{"\r\n>", 0}};
        }
        return {{line + "\r\nA>B\r\n", 0}, {"C\r\n>", 150}};
    });
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    ReplyField f[REPLY_FIELD_COUNT];
    ASSERT_EQ(SendCommand("x", f), 3);
    EXPECT_STREQ(f[1], "AB");
    EXPECT_STREQ(f[2], "C");
}

// Waits (bounded) until at least n bytes are queued.
bool WaitQueued(std::uint32_t n) {
    for (int i = 0; i < 500 && QueuedCount() < n; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return QueuedCount() >= n;
}

TEST_F(LinkTest, BytesAfterThePromptStartTheNextReply) {
    CFakeModule module([](const std::string& line) -> std::vector<FakeChunk> {
        if (line.empty()) {
            return {{"\r\n>", 0}};
        }
        if (line == "a") {
            return {{"a\r\n1\r\n>", 0}, {"late\r\n>", 50}};
        }
        // Answered after a pause, so that the late bytes are a batch of their own.
        std::vector<FakeChunk> reply = CFakeModule::Reply(line, {"2"});
        reply.front().delayMsBefore = 300;
        return reply;
    });
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    ReplyField f[REPLY_FIELD_COUNT];
    ASSERT_EQ(SendCommand("a", f), 2);
    ASSERT_TRUE(WaitQueued(7));
    // The late line of the first command is read at the start of the second reply, and its
    // prompt ends that reply; the answer to "b" waits in the queue for the next reader.
    ASSERT_EQ(SendCommand("b", f), 1);
    EXPECT_STREQ(f[0], "LATE");
    ASSERT_TRUE(WaitQueued(7));
    char reply[64];
    ReadReply(reply, sizeof reply);
    EXPECT_STREQ(reply, "b\r\n2\r\n>");
}

// The probe (the open's, and LinkProbe's) ends at the module's answer; bytes the module sends
// after its prompt within the probe's time (a second prompt, a stray text) are dropped, not
// taken as the next reply.
TEST_F(LinkTest, BytesAfterTheProbesPromptDoNotStartTheNextReply) {
    CFakeModule module([](const std::string& line) -> std::vector<FakeChunk> {
        if (line.empty()) {
            return {{"\r\n>", 0}, {"\r\n>", 20}, {"stray", 20}};
        }
        return ModuleLike(line);
    });
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    ReplyField f[REPLY_FIELD_COUNT];
    ASSERT_EQ(SendCommand("u0", f), 4);
    EXPECT_STREQ(f[0], "U0");
    EXPECT_STREQ(f[3], "FDDS=3");
    ASSERT_TRUE(LinkProbe());
    ASSERT_EQ(SendCommand("u0", f), 4);
    EXPECT_STREQ(f[0], "U0");
    EXPECT_EQ(module.Received(), "\ru0\r\ru0\r");
}

TEST_F(LinkTest, LongReplyIsCutWithoutOverrun) {
    const std::string big(3000, 'z');
    CFakeModule module([&](const std::string& line) -> std::vector<FakeChunk> {
        if (line.empty()) {
            return {{"\r\n>", 0}};
        }
        return {{line + "\r\n" + big + "\r\n>", 0}};
    });
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    WriteCommandLine("big");
    char reply[REPLY_TEXT_SIZE];
    EXPECT_EQ(ReadReply(reply, sizeof reply), REPLY_TEXT_SIZE - 1);
    EXPECT_EQ(reply[REPLY_TEXT_SIZE - 1], '\0');
    EXPECT_EQ(std::string(reply, 5), "big\r\n");
    // The whole reply was consumed: nothing of it is left for the next reader.
    EXPECT_EQ(QueuedCount(), 0u);
}

TEST_F(LinkTest, SilentLineIsGivenUpWithT) {
    CFakeModule module([](const std::string& line) -> std::vector<FakeChunk> {
        if (line.empty()) {
            return {{"\r\n>", 0}};
        }
        return {};
    });
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    m_diag.clear();
    ReplyField f[REPLY_FIELD_COUNT];
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    EXPECT_EQ(SendCommand("quiet", f), 0);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_EQ(m_diag, "T");
    // 200 idle cycles of a 100 ms event wait each: the reader sleeps, it does not spin.
    EXPECT_LT(CpuSeconds() - cpu0, wall / 4);
}

TEST_F(LinkTest, FloodWithoutPromptKeepsTheReaderGoingUntilItStops) {
    CFakeModule module([](const std::string& line) -> std::vector<FakeChunk> {
        if (line.empty()) {
            return {{"\r\n>", 0}};
        }
        std::vector<FakeChunk> chunks{{line + "\r\n", 0}};
        for (int i = 0; i < 20; ++i) {
            chunks.push_back({"0123456789", 50}); // a batch every 50 ms for one second
        }
        chunks.push_back({"\r\nEND\r\n>", 50});
        return chunks;
    });
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    ReplyField f[REPLY_FIELD_COUNT];
    ASSERT_EQ(SendCommand("f", f), 3);
    EXPECT_STREQ(f[1], "0123456789012345678901234567890");
    EXPECT_STREQ(f[2], "END");
}

TEST_F(LinkTest, HangUpInTheMiddleOfAReplyReturnsWithoutSpinning) {
    CFakeModule module([](const std::string& line) -> std::vector<FakeChunk> {
        if (line.empty()) {
            return {{"\r\n>", 0}};
        }
        FakeChunk echo{line + "\r\nFXTL=1", 0};
        echo.hangUpAfter = true;
        return {echo};
    });
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    m_diag.clear();
    ReplyField f[REPLY_FIELD_COUNT];
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    const int n = SendCommand("u0", f);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_LE(n, 2);
    EXPECT_EQ(m_diag, "T");
    // The dead line counts as idle time: each cycle sleeps instead of spinning on the hang-up.
    EXPECT_LT(CpuSeconds() - cpu0, wall / 2 + 0.05);
    // Later commands on the dead line come back as "nothing received" too.
    EXPECT_EQ(SendCommand("u0", f), 0);
}

TEST_F(LinkTest, CloseAndReopen) {
    CFakeModule module(ModuleLike);
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    ReplyField f[REPLY_FIELD_COUNT];
    ASSERT_EQ(SendCommand("a", f), 2);
    EXPECT_EQ(CloseComPort(), 0);
    EXPECT_EQ(CloseComPort(), 0);
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    EXPECT_EQ(SendCommand("b", f), 2);
    // Opening an open link replaces the port.
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    EXPECT_EQ(SendCommand("c", f), 2);
}

TEST_F(LinkTest, ClosedLinkReceivesNothing) {
    CloseComPort();
    ReplyField f[REPLY_FIELD_COUNT];
    char buf[16] = "unchanged";
    EXPECT_EQ(SendCommand("u0", f), 0);
    EXPECT_EQ(WriteCommandLine("u0"), 0);
    EXPECT_EQ(ReadReply(buf, sizeof buf), 0u);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(ReadReplyPoll(buf, sizeof buf), 0u);
    EXPECT_EQ(ReadReplyUntil(buf, sizeof buf, READ_UNTIL_55AA), 0u);
    EXPECT_EQ(ReadAvailable(buf, sizeof buf), 0u);
    EXPECT_EQ(ReadOneByte(), 0xFF);
    EXPECT_EQ(FlushInput(), 0);
    EXPECT_EQ(QueuedCount(), 0u);
    EXPECT_EQ(DumpQueued(), 0);
    EXPECT_EQ(WriteRaw(0, "x", 1), 0);
    EXPECT_EQ(WriteOneByte(65), 0);
    EXPECT_EQ(WaitTxEmpty(), 1);
    EXPECT_EQ(m_diag, "l0");
}

TEST_F(LinkTest, PollingReadersAndQueueHelpers) {
    CFakeModule module([](const std::string& line) -> std::vector<FakeChunk> {
        if (line.empty()) {
            return {{"\r\n>", 0}};
        }
        if (line == "bin") {
            return {{std::string("ab\x55\xAA", 4), 0}};
        }
        if (line == "term") {
            return {{"xy\rz", 0}};
        }
        return CFakeModule::Reply(line, {"P"});
    });
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    char buf[64];
    WriteCommandLine("bin");
    EXPECT_EQ(ReadReplyUntil(buf, sizeof buf, READ_UNTIL_55AA), 4u);
    WriteCommandLine("term");
    EXPECT_EQ(ReadReplyUntil(buf, sizeof buf, READ_UNTIL_TERMINATOR), 4u);
    EXPECT_STREQ(buf, "xy\rz");
    WriteCommandLine("p");
    EXPECT_EQ(ReadReplyPoll(buf, sizeof buf), std::strlen("p\r\nP\r\n>"));
    WriteCommandLine("q");
    ASSERT_TRUE(WaitQueued(7));
    EXPECT_EQ(QueuedCount(), std::strlen("q\r\nP\r\n>"));
    m_diag.clear();
    EXPECT_EQ(DumpQueued(), 1);
    EXPECT_EQ(m_diag, "l7na");
    WriteCommandLine("r");
    ASSERT_TRUE(WaitQueued(7));
    EXPECT_EQ(FlushInput(), 0);
    EXPECT_EQ(QueuedCount(), 0u);
    WriteCommandLine("s");
    EXPECT_EQ(WaitPrompt(10), 0);
    m_diag.clear();
    WriteRaw(1, "abc", 3);
    EXPECT_EQ(WaitTxEmpty(), 0);
    EXPECT_EQ(m_diag, "e");
}

} // namespace
