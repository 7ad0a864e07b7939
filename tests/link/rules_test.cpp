// The link's rules for replies that misbehave, over a real pseudo-terminal: a flood without a
// prompt ends at the byte limit, a cancel ends a silent wait, a late reply is not taken for the
// next command's answer, and the transcript records each of these. Also the frequency units of
// the number reader and the transcript's escaping.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "comlink.h"
#include "diag.h"
#include "exchange.h"
#include "fake_module.h"
#include "numtext.h"
#include "serial_port.h"
#include "trace.h"

namespace {

class LinkRulesTest : public ::testing::Test {
protected:
    void SetUp() override {
        DiagSetSink([this](std::string_view t) { m_diag.append(t); });
        LinkClearCancel();
        m_trace = LinkTraceAdd([this](const LinkTraceEvent& e) { m_events.push_back(e); });
    }
    void TearDown() override {
        CloseComPort();
        LinkTraceRemove(m_trace);
        LinkClearCancel();
        DiagSetSink(nullptr);
    }
    int Open(CFakeModule& module) { return OpenComDevice(module.SlavePath(), 115200, 'N', 13); }
    std::vector<LinkTraceOutcome> Outcomes() const {
        std::vector<LinkTraceOutcome> out;
        for (const auto& e : m_events) {
            out.push_back(e.outcome);
        }
        return out;
    }
    std::string m_diag;
    std::vector<LinkTraceEvent> m_events;
    int m_trace = 0;
};

std::vector<FakeChunk> Probe() {
    return {{"\r\n>", 0}};
}

TEST_F(LinkRulesTest, FloodWithoutPromptEndsAtTheByteLimit) {
    // Sends more than the limit, in many batches, and never a prompt.
    CFakeModule module([](const std::string& line) {
        if (line.empty()) {
            return Probe();
        }
        std::vector<FakeChunk> chunks;
        for (int i = 0; i < 68; ++i) { // 68 KiB: past the limit, and the rest fits the pty
            chunks.push_back({std::string(1024, 'x'), 0});
        }
        return chunks;
    });
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    char reply[REPLY_TEXT_SIZE];
    WriteCommandLine("flood");
    const std::size_t n = ReadReply(reply, sizeof reply);
    EXPECT_EQ(n, REPLY_TEXT_SIZE - 1);
    EXPECT_NE(m_diag.find('T'), std::string::npos);
    ASSERT_FALSE(m_events.empty());
    EXPECT_EQ(m_events.back().outcome, LinkTraceOutcome::NoPrompt);
    EXPECT_TRUE(LinkExpectingLateReply());
}

TEST_F(LinkRulesTest, CancelEndsASilentWaitAndEveryLaterOne) {
    CFakeModule module(
        [](const std::string& line) { return line.empty() ? Probe() : std::vector<FakeChunk>{}; });
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    std::atomic<bool> started{false};
    std::thread canceller([&] {
        while (!started.load()) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        LinkRequestCancel();
    });
    ReplyField fields[REPLY_FIELD_COUNT];
    started = true;
    EXPECT_EQ(SendCommand("dds 0 0 0 0 1", fields), 0);
    canceller.join();
    // The request stays until the host clears it: the next reader ends at once too.
    EXPECT_EQ(SendCommand("DDU", fields), 0);
    EXPECT_EQ(Outcomes(), (std::vector<LinkTraceOutcome>{
                              LinkTraceOutcome::Opened, LinkTraceOutcome::ProbeOk,
                              LinkTraceOutcome::Cancelled, LinkTraceOutcome::Cancelled}));
    EXPECT_EQ(m_diag.substr(m_diag.size() - 2), "TT");
}

// A module that answers the first command only after the reader gave up on it: its reply comes
// in front of the next command's, alone or in the same batch.
struct LateCase {
    const char* name;
    bool sameBatch; // the late reply and the right one arrive in one batch
};

class LateReplyTest : public LinkRulesTest, public ::testing::WithParamInterface<LateCase> {};

TEST_P(LateReplyTest, IsDroppedAndTheRightReplyTaken) {
    const bool sameBatch = GetParam().sameBatch;
    CFakeModule module([sameBatch](const std::string& line) {
        if (line.empty()) {
            return Probe();
        }
        if (line == "first") {
            return std::vector<FakeChunk>{}; // answered late, below
        }
        std::vector<FakeChunk> out;
        const std::string late = "first\r\nOLD,ANSWER\r\n>";
        const std::string right = line + "\r\nNEW\r\n>";
        if (sameBatch) {
            out.push_back({late + right, 0});
        } else {
            out.push_back({late, 0});
            out.push_back({right, 30});
        }
        return out;
    });
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    ReplyField fields[REPLY_FIELD_COUNT];
    // Cancel stands in for the idle limit: both end a reply without its prompt.
    LinkRequestCancel();
    EXPECT_EQ(SendCommand("first", fields), 0);
    LinkClearCancel();
    ASSERT_TRUE(LinkExpectingLateReply());

    ASSERT_EQ(SendCommand("second", fields), 2);
    EXPECT_STREQ(fields[0], "SECOND");
    EXPECT_STREQ(fields[1], "NEW");
    EXPECT_FALSE(LinkExpectingLateReply());
    ASSERT_GE(m_events.size(), 2u);
    const LinkTraceEvent& stale = m_events[m_events.size() - 2];
    EXPECT_EQ(stale.outcome, LinkTraceOutcome::Stale);
    EXPECT_EQ(stale.reply, "first\r\nOLD,ANSWER\r\n>");
    EXPECT_EQ(m_events.back().outcome, LinkTraceOutcome::Ok);
    EXPECT_EQ(m_events.back().fields, 2);
}

INSTANTIATE_TEST_SUITE_P(Table, LateReplyTest,
                         ::testing::Values(LateCase{"Alone", false}, LateCase{"SameBatch", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkRulesTest, AfterANormalPromptTheEchoIsNotChecked) {
    // Without an earlier give-up, a reply is taken as it comes, whatever its first field.
    CFakeModule module([](const std::string& line) {
        return line.empty() ? Probe() : CFakeModule::Reply("other", {"OK"});
    });
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    ReplyField fields[REPLY_FIELD_COUNT];
    EXPECT_EQ(SendCommand("mine", fields), 2);
    EXPECT_STREQ(fields[0], "OTHER");
}

TEST_F(LinkRulesTest, VanishedDeviceIsSeenWithoutAnExchange) {
    CFakeModule module(
        [](const std::string& line) { return line.empty() ? Probe() : std::vector<FakeChunk>{}; });
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    EXPECT_FALSE(LinkIsGone());
    module.HangUp();
    // The far end's file is released once its own poll lets go of it: look for a while, as
    // the console's status timer does.
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
        gone = LinkIsGone();
        if (!gone) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_TRUE(gone);
    EXPECT_TRUE(LinkIsGone()); // reported to the transcript once
    const std::vector<LinkTraceOutcome> outcomes = Outcomes();
    EXPECT_EQ(outcomes.back(), LinkTraceOutcome::Gone);
    EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), LinkTraceOutcome::Gone), 1);
    CloseComPort();
    EXPECT_FALSE(LinkIsGone());
}

TEST_F(LinkRulesTest, TranscriptLineHasItsColumns) {
    CFakeModule module([](const std::string& line) {
        return line.empty() ? Probe() : CFakeModule::Reply(line, {"OK"});
    });
    ASSERT_EQ(Open(module), LINK_OPEN_OK);
    ReplyField fields[REPLY_FIELD_COUNT];
    ASSERT_EQ(SendCommandExpecting("u0", fields, 4), 2);
    const std::string line = LinkTraceFormat(m_events.back());
    std::vector<std::string> columns;
    std::size_t pos = 0;
    for (std::size_t tab; (tab = line.find('\t', pos)) != std::string::npos; pos = tab + 1) {
        columns.push_back(line.substr(pos, tab - pos));
    }
    columns.push_back(line.substr(pos));
    ASSERT_EQ(columns.size(), 7u) << line;
    EXPECT_EQ(columns[1].size(), 12u); // hh:mm:ss.mmm
    EXPECT_EQ(columns[2], "fields");   // two fields where four were expected
    EXPECT_EQ(columns[4], "2");
    EXPECT_EQ(columns[5], "u0");
    EXPECT_EQ(columns[6], "u0\\r\\nOK\\r\\n>");
    const std::string probe = LinkTraceFormat(m_events[1]);
    EXPECT_NE(probe.find("\tprobe-ok\t"), std::string::npos) << probe;
    const std::string tail = "\t\\r\t\\r\\n>"; // command: the lone CR; reply: CR LF >
    EXPECT_EQ(probe.substr(probe.size() - tail.size()), tail) << probe;
}

#ifndef _WIN32
// The queued count an event wait saw is reused by the status look that follows the wait, to
// save a system call per reply. It must never claim bytes that a read has since taken (a reader
// would then wait for bytes that are not coming), nor bytes a purge threw away; and any other
// status look asks the driver, so that a count the wait left unused never hides what came since.
TEST(LinkQueueCount, NeverCountsBytesGoneNorHidesBytesCome) {
    CFakeModule module([](const std::string&) { return std::vector<FakeChunk>{}; });
    CSerialPort port;
    ASSERT_EQ(port.SetName(module.SlavePath()).Open(), 0);
    ASSERT_TRUE(port.ApplySettings());
    ASSERT_TRUE(port.SetEventMask(LINK_EV_RXCHAR));
    auto waitForInput = [&port] {
        std::uint32_t mask = 0;
        if (!port.WaitPortEvent(&mask)) {
            ASSERT_EQ(port.WaitIo(2000), LINK_WAIT_SIGNALLED);
        }
    };
    auto queuedAfterWait = [&port] {
        std::uint32_t errors = 0;
        std::uint32_t queued = 0;
        EXPECT_TRUE(port.ErrorAndQueueStatusAfterWait(&errors, &queued));
        return queued;
    };
    auto queued = [&port] {
        std::uint32_t errors = 0;
        std::uint32_t n = 0;
        EXPECT_TRUE(port.ErrorAndQueueStatus(&errors, &n));
        return n;
    };

    // Counted by the wait, partly read: the rest is what is left.
    module.Send("hello");
    waitForInput();
    std::uint8_t two[2] = {};
    ASSERT_EQ(port.ReadBytes(two, 2), 2u);
    EXPECT_EQ(queuedAfterWait(), 3u);
    EXPECT_EQ(port.ReadByte(), 'l');
    EXPECT_EQ(queuedAfterWait(), 2u);
    ASSERT_EQ(port.ReadBytes(two, 2), 2u);

    // Counted by the wait, then purged.
    module.Send("abc");
    waitForInput();
    ASSERT_TRUE(port.Purge());
    EXPECT_EQ(queuedAfterWait(), 0u);

    // Counted by the wait and taken as it stood: the next look asks the driver again.
    module.Send("xyz");
    waitForInput();
    EXPECT_EQ(queuedAfterWait(), 3u);
    std::uint8_t three[3] = {};
    ASSERT_EQ(port.ReadBytes(three, 3), 3u);
    EXPECT_EQ(queuedAfterWait(), 0u);

    // Counted by a wait nobody read after; more came. A plain look (a flush, a dump) sees all
    // of it, and the look after the next wait too.
    module.Send("12");
    waitForInput();
    module.Send("345");
    for (int i = 0; i < 200 && queued() < 5u; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(queued(), 5u);
    EXPECT_EQ(queuedAfterWait(), 5u);
}
#endif

TEST(LinkTraceEscape, MakesEveryByteVisible) {
    EXPECT_EQ(LinkTraceEscape(std::string("a\r\n\t\\b\x01\xff", 8)), "a\\r\\n\\t\\\\b\\x01\\xFF");
}

struct UnitCase {
    const char* text;
    double mhz;
    bool unit;
    bool exact;
};

TEST(NumTextWithUnit, ReadsFrequencyUnits) {
    const UnitCase cases[] = {
        {"30kHz", 0.03, true, true},     {"30 khz", 0.03, true, true},
        {"1.5 GHz", 1500.0, true, true}, {"250000 Hz", 0.25, true, true},
        {" 12.5MHz ", 12.5, true, true}, {"12.5", 12.5, false, true},
        {"12x", 12.0, false, false},     {"12 kHzz", 12.0, false, false},
        {"abc", 0.0, false, false},      {"", 0.0, false, false},
        {"-3 mhz", -3.0, true, true},    {"1e3hz", 0.001, true, true},
    };
    for (const UnitCase& c : cases) {
        const NumUnitValue v = NumTextWithUnit(c.text, NUM_UNITS_FREQ_MHZ, 4);
        EXPECT_DOUBLE_EQ(v.value, c.mhz) << c.text;
        EXPECT_EQ(v.unit, c.unit) << c.text;
        EXPECT_EQ(v.exact, c.exact) << c.text;
    }
}

} // namespace
