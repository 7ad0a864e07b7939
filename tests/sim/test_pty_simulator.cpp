// The simulator on a real pseudo-terminal, talked to by a raw POSIX client.
#include "pty_simulator.h"
#include "raw_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace {

const std::string VERSION_REPLY = "V\r\nQM-TRV V1.2\r\n>";

TEST(PtySimulator, AnswersProbeAndCommands) {
    CPtySimulator sim;
    ASSERT_TRUE(sim.Start());
    ASSERT_EQ(sim.SlavePath().rfind("/dev/", 0), 0u) << sim.SlavePath();
    CRawClient client(sim.SlavePath());
    ASSERT_GE(client.Fd(), 0);

    ASSERT_TRUE(client.Write("\r"));
    EXPECT_EQ(client.ReadReply(), "\r\n>");
    ASSERT_TRUE(client.Write("V\r"));
    EXPECT_EQ(client.ReadReply(), VERSION_REPLY);
    EXPECT_EQ(sim.Received(), "\rV\r");
    EXPECT_EQ(sim.CommandCount(), 1u);
    sim.ClearReceived();
    EXPECT_EQ(sim.Received(), "");
}

TEST(PtySimulator, RegistersFollowTheCommands) {
    CPtySimulator sim;
    ASSERT_TRUE(sim.Start());
    CRawClient client(sim.SlavePath());
    ASSERT_TRUE(client.Write("DI 2\rdds 3 20000000 1000 400 0\r"));
    client.ReadUntil("dds 3 20000000 1000 400 0\r\nOK\r\n>");
    EXPECT_EQ(sim.ClockMode(), 2);
    EXPECT_EQ(sim.Channel(3).freqWord, 0x1999999Au);
    EXPECT_EQ(sim.PendingChannel(3).freqWord, 0x20000000u);
    ASSERT_TRUE(client.Write("DDU\r"));
    EXPECT_EQ(client.ReadReply(), "DDU\r\nOK\r\n>");
    const SimChannel ch = sim.Channel(3);
    EXPECT_EQ(ch.freqWord, 0x20000000u);
    EXPECT_EQ(ch.phaseWord, 0x1000u);
    EXPECT_EQ(ch.ampWord, 0x400u);
    EXPECT_TRUE(ch.on);
    EXPECT_EQ(sim.PendingChannel(3).freqWord, 0u);
}

TEST(PtySimulator, KeepsServingWhenTheClientReopens) {
    CPtySimulator sim;
    ASSERT_TRUE(sim.Start());
    for (int round = 0; round < 3; ++round) {
        CRawClient client(sim.SlavePath());
        ASSERT_GE(client.Fd(), 0) << round;
        ASSERT_TRUE(client.Write("V\r"));
        EXPECT_EQ(client.ReadReply(), VERSION_REPLY) << round;
    }
    // The serving thread did not give up on a master that briefly had no client.
    CRawClient client(sim.SlavePath());
    ASSERT_TRUE(client.Write("\r"));
    EXPECT_EQ(client.ReadReply(), "\r\n>");
}

TEST(PtySimulator, LongReplyOutgrowsThePtyBuffer) {
    CPtySimulator sim;
    ASSERT_TRUE(sim.Start());
    std::vector<std::uint8_t> data(65536);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    sim.WriteMemory(0x10000, data);
    EXPECT_EQ(sim.ReadMemory(0x10000, data.size()), data);

    CRawClient client(sim.SlavePath());
    ASSERT_TRUE(client.Write("MD1 10000 10000\r"));
    const std::string reply = client.ReadReply();
    const std::string head = "MD1 10000 10000\r\n";
    ASSERT_EQ(reply.size(), head.size() + 2 * data.size() + 3);
    EXPECT_EQ(reply.substr(0, head.size()), head);
    for (std::size_t i = 0; i < data.size(); ++i) {
        const unsigned value = std::stoul(reply.substr(head.size() + 2 * i, 2), nullptr, 16);
        ASSERT_EQ(value, data[i]) << i;
    }
}

TEST(PtySimulator, CommandsSentAheadOfTheRepliesAreAllAnswered) {
    CPtySimulator sim;
    ASSERT_TRUE(sim.Start());
    sim.WriteMemory(0, std::vector<std::uint8_t>(0x2000, 0xA5));
    CRawClient client(sim.SlavePath());
    // 40 dumps of 8 KiB sent before any reply is read: far more output than the simulator
    // queues at a time, so it stops taking in commands until the client reads.
    const std::string command = "MD1 0 2000\r";
    std::string commands;
    for (int i = 0; i < 40; ++i)
        commands += command;
    ASSERT_TRUE(client.Write(commands));
    std::string one = "MD1 0 2000\r\n";
    for (int i = 0; i < 0x2000; ++i)
        one += "A5";
    one += "\r\n>";
    std::string expected;
    for (int i = 0; i < 40; ++i)
        expected += one;
    const std::string all = client.ReadCount(expected.size());
    EXPECT_EQ(all.size(), expected.size());
    EXPECT_TRUE(all == expected);
    EXPECT_EQ(sim.CommandCount(), 40u) << sim.Received().size();
}

TEST(PtySimulator, HexBlockOverTheLine) {
    CPtySimulator sim;
    ASSERT_TRUE(sim.Start());
    CRawClient client(sim.SlavePath());
    ASSERT_TRUE(client.Write("MF1 200\r"));
    EXPECT_EQ(client.ReadUntil("\r\n"), "MF1 200\r\n");
    // Sent as the console sends it: one byte per write.
    std::string hex;
    for (int i = 0; i < 256; ++i) {
        static const char* digits = "0123456789abcdef";
        hex += digits[(255 - i) >> 4];
        hex += digits[(255 - i) & 0xF];
    }
    for (char c : hex)
        ASSERT_TRUE(client.Write(std::string_view(&c, 1)));
    EXPECT_EQ(client.ReadReply(), "OK\r\n>");
    const std::vector<std::uint8_t> stored = sim.ReadMemory(0x200, 256);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(stored[static_cast<std::size_t>(i)], 255 - i) << i;
}

TEST(PtySimulator, PacedOutputIsNotFasterThanTheWire) {
    SimOptions options;
    options.baud = 115200;
    CPtySimulator sim(options);
    ASSERT_TRUE(sim.Start());
    CRawClient client(sim.SlavePath());
    const std::string command = "MD1 0 200\r";
    const auto start = SteadyClock::now();
    ASSERT_TRUE(client.Write(command));
    const std::string reply = client.ReadReply();
    const auto elapsed = SteadyClock::now() - start;
    ASSERT_EQ(reply, "MD1 0 200\r\n" + std::string(1024, '0') + "\r\n>");
    // Only the lower bound is a property of the simulator; how close it comes is a benchmark.
    const auto wire = std::chrono::microseconds(reply.size() * 10 * 1000000 / options.baud);
    EXPECT_GE(elapsed, wire);
}

TEST(PtySimulator, SilentModuleSendsNothing) {
    SimOptions options;
    options.fault = SimFault::Silent;
    CPtySimulator sim(options);
    ASSERT_TRUE(sim.Start());
    CRawClient client(sim.SlavePath());
    ASSERT_TRUE(client.Write("\rV\r"));
    EXPECT_EQ(client.ReadFor(300ms), "");
    EXPECT_EQ(sim.Received(), "\rV\r");

    sim.SetFault(SimFault::None);
    ASSERT_TRUE(client.Write("V\r"));
    EXPECT_EQ(client.ReadReply(), VERSION_REPLY);
}

TEST(PtySimulator, NoPromptModule) {
    SimOptions options;
    options.fault = SimFault::NoPrompt;
    CPtySimulator sim(options);
    ASSERT_TRUE(sim.Start());
    CRawClient client(sim.SlavePath());
    ASSERT_TRUE(client.Write("V\r"));
    EXPECT_EQ(client.ReadUntil("V1.2\r\n"), "V\r\nQM-TRV V1.2\r\n");
    EXPECT_EQ(client.ReadFor(200ms), "");
}

TEST(PtySimulator, SlowReplyTakesAtLeastThePause) {
    SimOptions options;
    options.fault = SimFault::Slow;
    options.slowMs = 300;
    CPtySimulator sim(options);
    ASSERT_TRUE(sim.Start());
    CRawClient client(sim.SlavePath());
    const auto start = SteadyClock::now();
    ASSERT_TRUE(client.Write("V\r"));
    EXPECT_EQ(client.ReadReply(), VERSION_REPLY);
    EXPECT_GE(SteadyClock::now() - start, 300ms);
}

TEST(PtySimulator, GarbageRepliesEndWithThePrompt) {
    SimOptions options;
    options.fault = SimFault::Garbage;
    CPtySimulator sim(options);
    ASSERT_TRUE(sim.Start());
    CRawClient client(sim.SlavePath());
    ASSERT_TRUE(client.Write("V\r"));
    const std::string reply = client.ReadReply();
    ASSERT_GE(reply.size(), 4u);
    EXPECT_EQ(reply.substr(0, 3), "V\r\n");
    EXPECT_EQ(reply.find('>'), reply.size() - 1);
    EXPECT_NE(reply, VERSION_REPLY);
}

TEST(PtySimulator, FloodNeverEndsAndStopEndsIt) {
    SimOptions options;
    options.fault = SimFault::Flood;
    CPtySimulator sim(options);
    ASSERT_TRUE(sim.Start());
    CRawClient client(sim.SlavePath());
    ASSERT_TRUE(client.Write("V\r"));
    const std::string text = client.ReadCount(20000);
    ASSERT_GE(text.size(), 20000u);
    EXPECT_EQ(text.substr(0, 3), "V\r\n");
    EXPECT_EQ(text.find('>'), std::string::npos);
    sim.Stop(); // with the client no longer reading and the pty buffer filling up
}

TEST(PtySimulator, PacedFloodKeepsComing) {
    SimOptions options;
    options.fault = SimFault::Flood;
    options.baud = 115200;
    CPtySimulator sim(options);
    ASSERT_TRUE(sim.Start());
    CRawClient client(sim.SlavePath());
    ASSERT_TRUE(client.Write("V\r"));
    const std::string text = client.ReadCount(2000);
    EXPECT_GE(text.size(), 2000u);
    EXPECT_EQ(text.find('>'), std::string::npos);
}

// The client of a vanished module: poll reports the hang-up and reads give end of file or EIO.
void ExpectHungUp(CRawClient& client) {
    const short events = client.PollEvents(5000);
    EXPECT_NE(events & (POLLHUP | POLLERR), 0) << events;
    char byte;
    const ssize_t n = ::read(client.Fd(), &byte, 1);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " " << errno;
}

TEST(PtySimulator, HangUpIsSeenByTheClient) {
    CPtySimulator sim;
    ASSERT_TRUE(sim.Start());
    CRawClient client(sim.SlavePath());
    ASSERT_TRUE(client.Write("V\r"));
    EXPECT_EQ(client.ReadReply(), VERSION_REPLY);
    sim.HangUp();
    EXPECT_TRUE(sim.IsHungUp());
    ExpectHungUp(client);
    EXPECT_EQ(sim.Channel(0).freqWord, 0u); // state stays readable
    sim.HangUp();                           // twice is harmless
    sim.Stop();
}

TEST(PtySimulator, HangupAfterCutsTheReplyAfterTheEcho) {
    SimOptions options;
    options.fault = SimFault::HangupAfter;
    options.hangupAfter = 1;
    CPtySimulator sim(options);
    ASSERT_TRUE(sim.Start());
    CRawClient client(sim.SlavePath());
    ASSERT_TRUE(client.Write("\rV\r"));
    EXPECT_EQ(client.ReadUntil(VERSION_REPLY), "\r\n>" + VERSION_REPLY);
    ASSERT_TRUE(client.Write("u0\r"));
    EXPECT_EQ(client.ReadUntil("u0\r\n"), "u0\r\n");
    ExpectHungUp(client);
    EXPECT_TRUE(sim.IsHungUp());
}

TEST(PtySimulator, StopReturnsDuringALongReply) {
    SimOptions options;
    options.baud = 300; // the dump below would take minutes
    CPtySimulator sim(options);
    ASSERT_TRUE(sim.Start());
    CRawClient client(sim.SlavePath());
    ASSERT_TRUE(client.Write("MD1 0 1000\r"));
    EXPECT_FALSE(client.ReadCount(1).empty());
    sim.Stop();
    sim.Stop();
}

TEST(PtySimulator, StopReturnsDuringASlowPause) {
    SimOptions options;
    options.fault = SimFault::Slow;
    options.slowMs = 600000;
    CPtySimulator sim(options);
    ASSERT_TRUE(sim.Start());
    CRawClient client(sim.SlavePath());
    ASSERT_TRUE(client.Write("V\r"));
    EXPECT_EQ(client.ReadUntil("V\r\n"), "V\r\n");
    sim.Stop();
}

TEST(PtySimulator, FaultCanChangeWhileRunning) {
    CPtySimulator sim;
    ASSERT_TRUE(sim.Start());
    CRawClient client(sim.SlavePath());
    sim.SetFault(SimFault::Flood);
    ASSERT_TRUE(client.Write("V\r"));
    EXPECT_GE(client.ReadCount(5000).size(), 5000u);
    sim.SetFault(SimFault::None);
    client.ReadFor(100ms); // what was already on its way
    ASSERT_TRUE(client.Write("V\r"));
    const std::string reply = client.ReadUntil(VERSION_REPLY);
    EXPECT_EQ(reply.substr(reply.size() - VERSION_REPLY.size()), VERSION_REPLY);
}

class PtySimulatorLink : public ::testing::Test {
protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/qmtrv-sim-test-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        m_dir = dirTemplate;
        m_link = m_dir / "module";
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::filesystem::path m_dir, m_link;
};

TEST_F(PtySimulatorLink, LinkPointsAtTheSlaveAndGoesAtStop) {
    SimOptions options;
    options.linkPath = m_link.string();
    CPtySimulator sim(options);
    ASSERT_TRUE(sim.Start());
    EXPECT_EQ(std::filesystem::read_symlink(m_link).string(), sim.SlavePath());
    {
        CRawClient client(m_link.string());
        ASSERT_TRUE(client.Write("V\r"));
        EXPECT_EQ(client.ReadReply(), VERSION_REPLY);
    }
    sim.Stop();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(m_link)));
}

// A vanished device takes its name with it; a new simulator under the name is a re-plug.
TEST_F(PtySimulatorLink, LinkGoesAtTheHangUpAndComesBackWithTheNextModule) {
    SimOptions options;
    options.linkPath = m_link.string();
    CPtySimulator sim(options);
    ASSERT_TRUE(sim.Start());
    sim.HangUp();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(m_link)));
    CPtySimulator next(options);
    ASSERT_TRUE(next.Start());
    sim.Stop(); // the old one's stop leaves the new one's link alone
    EXPECT_EQ(std::filesystem::read_symlink(m_link).string(), next.SlavePath());
}

TEST_F(PtySimulatorLink, StaleLinkIsReplaced) {
    std::filesystem::create_symlink("/nonexistent/pts", m_link);
    SimOptions options;
    options.linkPath = m_link.string();
    CPtySimulator sim(options);
    ASSERT_TRUE(sim.Start());
    EXPECT_EQ(std::filesystem::read_symlink(m_link).string(), sim.SlavePath());
}

TEST_F(PtySimulatorLink, RegularFileIsNeverReplaced) {
    std::ofstream(m_link) << "keep me";
    SimOptions options;
    options.linkPath = m_link.string();
    CPtySimulator sim(options);
    EXPECT_FALSE(sim.Start());
    std::ifstream in(m_link);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "keep me");
}

TEST(PtySimulatorInProcess, StartsOnceAndAnswers) {
    const std::string path = SimStartInProcess();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(SimStartInProcess(), path);
    ASSERT_NE(SimInProcessInstance(), nullptr);
    EXPECT_EQ(SimInProcessInstance()->SlavePath(), path);
    CRawClient client(path);
    ASSERT_TRUE(client.Write("\r"));
    EXPECT_EQ(client.ReadReply(), "\r\n>");
}

} // namespace
