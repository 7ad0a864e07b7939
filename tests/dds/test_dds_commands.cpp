// The set, update and initialise commands and the clock readout against a scripted module on a
// pseudo-terminal: the command texts on the wire, the reply counts, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "comlink.h"
#include "dds.h"
#include "diag.h"
#include "scripted_module.h"

namespace {

constexpr double NAN_D = std::numeric_limits<double>::quiet_NaN();
constexpr double INF_D = std::numeric_limits<double>::infinity();

// Compared exactly: every stored value is an exact reproduction of a word.
bool SameRow(const DdsChannelState& a, const DdsChannelState& b) {
    return a.on == b.on && a.freqHz == b.freqHz && a.phaseDeg == b.phaseDeg &&
           a.amplitude == b.amplitude;
}

class DdsCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        DdsResetState();
        DiagSetSink([this](std::string_view text) { m_diag.append(text); });
        ASSERT_TRUE(m_module.Start());
        ASSERT_EQ(OpenComDevice(m_module.SlavePath(), 115200, 'N', 13, false), LINK_OPEN_OK);
        m_diag.clear();
    }
    void TearDown() override {
        CloseComPort();
        m_module.Stop();
        DiagSetSink({});
        DdsResetState();
    }
    // A 100 MHz DDS clock, as a DdsInit would have stored it.
    static void ClockKnown() { DdsModuleClocks.ddsClockHz = 100e6; }

    CScriptedModule m_module;
    std::string m_diag;
};

TEST_F(DdsCommandTest, SetCommandTextsOnTheWire) {
    ClockKnown();
    const struct {
        int channel;
        double freqHz, phaseDeg, amplitude;
        int single;
        const char* command;
    } cases[] = {
        {10, 10e6, 90.0, 1.0, 1, "dds a 1999999a 1000 400 1"},
        {11, 12.5e6, 360.0, 0.5, 0, "dds b 20000000 4000 200 0"}, // 360 is not 0
        {0, 1e6, 359.0, 0.3, 1, "dds 0 28f5c29 3fd2 133 1"},
        {1, 1e6, 1.0, 0.01, 1, "dds 1 28f5c29 2e a 1"},
        {2, 1e6, -90.0, 0.0, 1, "dds 2 28f5c29 3000 0 1"}, // -90 is 270
        {3, 1e6, 450.0, 0.0, 1, "dds 3 28f5c29 1000 0 1"}, // 450 is 90
        {4, 1e6, 720.0, 0.0, 1, "dds 4 28f5c29 0 0 1"},    // whole turns are 0
        {5, 1e6, -360.0, 0.0, 1, "dds 5 28f5c29 0 0 1"},
        {6, 1e6, 0.0, 0.0, -1, "dds 6 28f5c29 0 0 ffffffff"}, // two's complement
        {7, 0.0, 90.0, 0.5, 0, "dds 7 0 1000 200 0"},         // off
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_EQ(DdsSetChannel(c.channel, c.freqHz, c.phaseDeg, c.amplitude, c.single), DDS_OK);
        EXPECT_EQ(m_module.LastCommand(), c.command);
    }
    EXPECT_EQ(m_module.Commands().size(), std::size(cases));
}

TEST_F(DdsCommandTest, SetStoresTheValuesTheWordsReproduce) {
    ClockKnown();
    ASSERT_EQ(DdsSetChannel(2, 10e6, 359.0, 0.3, 1), DDS_OK);
    const DdsChannelState& row = DdsChannelTable[2];
    EXPECT_EQ(row.on, 1);
    EXPECT_EQ(row.freqHz, 10000000.009313226);
    EXPECT_EQ(row.phaseDeg, 358.9892578125);
    EXPECT_EQ(row.amplitude, 0.2998046875);
    // Neighbouring rows are untouched.
    EXPECT_TRUE(SameRow(DdsChannelTable[1], DdsChannelState{}));
    EXPECT_TRUE(SameRow(DdsChannelTable[3], DdsChannelState{}));

    // Switching off sends word 0, keeps the frequency, and still converts phase and amplitude.
    ASSERT_EQ(DdsSetChannel(2, 0.0, 1.0, 1.0, 1), DDS_OK);
    EXPECT_EQ(m_module.LastCommand(), "dds 2 0 2e 400 1");
    EXPECT_EQ(row.on, 0);
    EXPECT_EQ(row.freqHz, 10000000.009313226);
    EXPECT_EQ(row.phaseDeg, 1.0107421875);
    EXPECT_EQ(row.amplitude, 1.0);
}

// The row shows the new setting whatever the module answers.
TEST_F(DdsCommandTest, SetResultFollowsTheReplyFieldCount) {
    ClockKnown();
    enum Script { ANSWER, RAW, HANG_UP };
    const struct {
        const char* what;
        Script script;
        const char* bytes;
        std::uint32_t result;
    } cases[] = {
        {"2 fields", ANSWER, "OK\r\n", DDS_OK},           {"echo alone", ANSWER, "", DDS_E_REPLY},
        {"3 fields", ANSWER, "OK,MORE\r\n", DDS_E_REPLY}, {"prompt alone", RAW, ">", DDS_E_REPLY},
        {"module gone", HANG_UP, "", DDS_E_REPLY}, // last: the line is dead afterwards
    };
    double freqHz = 1e6;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.script == ANSWER) {
            m_module.QueueAnswer(c.bytes);
        } else if (c.script == RAW) {
            m_module.QueueRaw(c.bytes);
        } else {
            m_module.QueueHangUp();
        }
        freqHz += 1e6;
        EXPECT_EQ(DdsSetChannel(5, freqHz, 90.0, 0.5, 1), c.result);
        EXPECT_EQ(DdsChannelTable[5].on, 1);
        EXPECT_EQ(DdsChannelTable[5].freqHz, WordToFreq(FreqToWord(freqHz)));
    }
    EXPECT_NE(m_diag.find('T'), std::string::npos) << "the reader gives up with \"T\"";
}

// A refused call sends nothing and leaves the table as it was.
TEST_F(DdsCommandTest, RefusedSetsSendNothing) {
    ClockKnown();
    ASSERT_EQ(DdsSetChannel(0, 10e6, 90.0, 0.5, 1), DDS_OK);
    const struct {
        const char* what;
        int channel;
        double freqHz, phaseDeg, amplitude;
        double clockHz;
        std::uint32_t result;
    } cases[] = {
        {"channel -1", -1, 1e6, 0.0, 0.5, 100e6, DDS_E_CHANNEL},
        {"channel 12", 12, 1e6, 0.0, 0.5, 100e6, DDS_E_CHANNEL},
        {"NaN frequency", 0, NAN_D, 0.0, 0.5, 100e6, DDS_E_VALUE},
        {"infinite frequency", 0, INF_D, 0.0, 0.5, 100e6, DDS_E_VALUE},
        {"NaN phase", 0, 1e6, NAN_D, 0.5, 100e6, DDS_E_VALUE},
        {"infinite phase", 0, 1e6, -INF_D, 0.5, 100e6, DDS_E_VALUE},
        {"NaN amplitude", 0, 1e6, 0.0, NAN_D, 100e6, DDS_E_VALUE},
        {"infinite amplitude", 0, 1e6, 0.0, INF_D, 100e6, DDS_E_VALUE},
        {"NaN while switching off", 0, 0.0, NAN_D, 0.5, 100e6, DDS_E_VALUE},
        {"negative frequency", 0, -1.0, 0.0, 0.5, 100e6, DDS_E_VALUE},
        {"half the clock", 0, 50e6, 0.0, 0.5, 100e6, DDS_E_VALUE},
        {"above half the clock", 0, 70e6, 0.0, 0.5, 100e6, DDS_E_VALUE},
        {"rounds to 2^31", 0, 49999999.999, 0.0, 0.5, 100e6, DDS_E_VALUE},
        {"amplitude above 1", 0, 1e6, 0.0, 1.001, 100e6, DDS_E_VALUE},
        {"negative amplitude", 0, 1e6, 0.0, -0.01, 100e6, DDS_E_VALUE},
        {"no clock", 0, 1e6, 0.0, 0.5, 0.0, DDS_E_CLOCK},
        {"NaN clock", 0, 1e6, 0.0, 0.5, NAN_D, DDS_E_CLOCK},
        {"negative clock", 0, 1e6, 0.0, 0.5, -100e6, DDS_E_CLOCK},
        {"negative frequency, no clock", 0, -1.0, 0.0, 0.5, 0.0, DDS_E_VALUE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DdsChannelState before[DDS_CHANNELS];
        std::copy(std::begin(DdsChannelTable), std::end(DdsChannelTable), before);
        DdsModuleClocks.ddsClockHz = c.clockHz;
        EXPECT_EQ(DdsSetChannel(c.channel, c.freqHz, c.phaseDeg, c.amplitude, 1), c.result);
        for (int i = 0; i < DDS_CHANNELS; ++i) {
            EXPECT_TRUE(SameRow(DdsChannelTable[i], before[i])) << "row " << i;
        }
    }
    // Anything written would have reached the module before the reply to this one.
    DdsUpdate();
    const std::vector<std::string> expected = {"dds 0 1999999a 1000 200 1", "DDU"};
    EXPECT_EQ(m_module.Commands(), expected);
}

// Switching a channel off needs no clock, so it goes out before any DdsInit.
TEST_F(DdsCommandTest, SwitchingOffWorksWithoutAClock) {
    EXPECT_EQ(DdsSetChannel(4, 0.0, 90.0, 0.5, 0), DDS_OK);
    EXPECT_EQ(m_module.LastCommand(), "dds 4 0 1000 200 0");
    EXPECT_EQ(DdsChannelTable[4].on, 0);
    EXPECT_EQ(DdsChannelTable[4].freqHz, 0.0);
    EXPECT_EQ(DdsChannelTable[4].phaseDeg, 90.0);
}

TEST_F(DdsCommandTest, UpdateIsAlwaysOk) {
    EXPECT_EQ(DdsUpdate(), DDS_OK);
    m_module.QueueRaw(">");
    EXPECT_EQ(DdsUpdate(), DDS_OK);
    m_module.QueueHangUp();
    EXPECT_EQ(DdsUpdate(), DDS_OK);
    const std::vector<std::string> expected = {"DDU", "DDU", "DDU"};
    EXPECT_EQ(m_module.Commands(), expected);
}

TEST_F(DdsCommandTest, InitClampsTheClockMode) {
    const struct {
        int mode;
        const char* command;
    } cases[] = {{0, "DI 2"}, {1, "DI 1"}, {8, "DI 8"}, {9, "DI 2"}, {-5, "DI 2"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        EXPECT_EQ(DdsInit(c.mode), DDS_OK);
        EXPECT_EQ(m_module.LastCommand(), c.command);
    }
}

TEST_F(DdsCommandTest, InitStoresClocksAndResetsTheTable) {
    ClockKnown();
    ASSERT_EQ(DdsSetChannel(3, 12.5e6, 90.0, 0.5, 1), DDS_OK);
    ASSERT_EQ(DdsSetChannel(7, 0.0, 90.0, 0.5, 1), DDS_OK);
    m_module.QueueAnswer("FXTL=10,FREF=100,FDDS=1000\r\n");
    EXPECT_EQ(DdsInit(2), DDS_OK);
    EXPECT_EQ(DdsModuleClocks.crystalHz, 10e6);
    EXPECT_EQ(DdsModuleClocks.referenceHz, 100e6);
    EXPECT_EQ(DdsModuleClocks.ddsClockHz, 1000e6);
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        EXPECT_TRUE(SameRow(DdsChannelTable[i], DdsChannelState{1, 10e6, 0.0, 0.0})) << i;
    }
}

TEST_F(DdsCommandTest, InitWithoutFourFieldsChangesNothing) {
    ClockKnown();
    DdsModuleClocks.crystalHz = 1.0;
    ASSERT_EQ(DdsSetChannel(3, 12.5e6, 90.0, 0.5, 1), DDS_OK);
    const DdsChannelState row = DdsChannelTable[3];
    const char* answers[] = {"FXTL=10,FREF=100\r\n", "FXTL=10,FREF=100,FDDS=1000,X\r\n", ""};
    for (const char* answer : answers) {
        SCOPED_TRACE(answer);
        m_module.QueueAnswer(answer);
        EXPECT_EQ(DdsInit(2), DDS_E_REPLY);
        EXPECT_EQ(DdsModuleClocks.crystalHz, 1.0);
        EXPECT_EQ(DdsModuleClocks.ddsClockHz, 100e6);
        EXPECT_TRUE(SameRow(DdsChannelTable[3], row));
        EXPECT_TRUE(SameRow(DdsChannelTable[0], DdsChannelState{}));
    }
}

// A DDS clock the words cannot be computed from is stored as 0, so that sets are refused
// instead of sending words made from it.
TEST_F(DdsCommandTest, InitStoresUnusableClocksAsZero) {
    const struct {
        const char* answer;
        double ddsClockHz;
    } cases[] = {
        {"FXTL=10,FREF=100,FDDS=1000\r\n", 1e9},
        {"FXTL=10,FREF=100,XDDS=1000\r\n", 0.0}, // key missing
        {"FXTL=10,FREF=100,FDDS=\r\n", 0.0},     // no number
        {"FXTL=10,FREF=100,fdds=nan\r\n", 0.0},  // upper-cased to NAN
        {"FXTL=10,FREF=100,FDDS=INF\r\n", 0.0},
        {"FXTL=10,FREF=100,FDDS=1E999\r\n", 0.0},
        {"FXTL=10,FREF=100,FDDS=-5\r\n", 0.0},
        {"FXTL=10,FREF=100,FDDS=2000000\r\n", 0.0}, // 2 THz
        {"FXTL=10,FREF=100,X FDDS=400\r\n", 400e6}, // key not at the start
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        m_module.QueueAnswer(c.answer);
        EXPECT_EQ(DdsInit(2), DDS_OK);
        EXPECT_EQ(DdsModuleClocks.ddsClockHz, c.ddsClockHz);
        EXPECT_EQ(DdsModuleClocks.crystalHz, 10e6);
        EXPECT_EQ(DdsSetChannel(0, 1e6, 0.0, 0.5, 1), c.ddsClockHz == 0.0 ? DDS_E_CLOCK : DDS_OK);
    }
    m_module.QueueAnswer("FXTL=-1,FREF=NAN,FDDS=100\r\n");
    EXPECT_EQ(DdsInit(2), DDS_OK);
    EXPECT_EQ(DdsModuleClocks.crystalHz, 0.0);
    EXPECT_EQ(DdsModuleClocks.referenceHz, 0.0);
    EXPECT_EQ(DdsModuleClocks.ddsClockHz, 100e6);
}

TEST_F(DdsCommandTest, ReadClocksFillsOnlyTheCallersRecord) {
    ClockKnown();
    ASSERT_EQ(DdsSetChannel(1, 12.5e6, 90.0, 0.5, 1), DDS_OK);
    const DdsChannelState row = DdsChannelTable[1];

    DdsModuleClocksRecord clocks{1.0, 2.0, 3.0};
    m_module.QueueAnswer("FXTL=20,FREF=200,FDDS=1000.5\r\n");
    EXPECT_EQ(DdsReadClocks(&clocks), DDS_OK);
    EXPECT_EQ(m_module.LastCommand(), "u0");
    EXPECT_EQ(clocks.crystalHz, 20e6);
    EXPECT_EQ(clocks.referenceHz, 200e6);
    EXPECT_EQ(clocks.ddsClockHz, 1000500000.0);
    EXPECT_EQ(DdsModuleClocks.ddsClockHz, 100e6);
    EXPECT_EQ(DdsModuleClocks.crystalHz, 0.0);
    EXPECT_TRUE(SameRow(DdsChannelTable[1], row));

    clocks = {1.0, 2.0, 3.0};
    m_module.QueueAnswer("FXTL=20,FREF=200\r\n");
    EXPECT_EQ(DdsReadClocks(&clocks), DDS_E_REPLY);
    EXPECT_EQ(clocks.crystalHz, 1.0);
    EXPECT_EQ(clocks.ddsClockHz, 3.0);

    const std::size_t sent = m_module.Commands().size();
    EXPECT_EQ(DdsReadClocks(nullptr), DDS_E_VALUE);
    DdsUpdate();
    EXPECT_EQ(m_module.Commands().size(), sent + 1) << "only the DDU went out";
}

} // namespace
