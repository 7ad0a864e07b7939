// The DDS layer against the module simulator on a pseudo-terminal: what the channel table says
// must be what the module's registers hold.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "comlink.h"
#include "dds.h"
#include "diag.h"
#include "pty_simulator.h"

namespace {

class DdsSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        DdsResetState();
        DiagSetSink([this](std::string_view text) { m_diag.append(text); });
        ASSERT_TRUE(m_sim.Start());
        ASSERT_EQ(OpenComDevice(m_sim.SlavePath(), 115200, 'N', 13, true), LINK_OPEN_OK) << m_diag;
    }
    void TearDown() override {
        CloseComPort();
        m_sim.Stop();
        DiagSetSink({});
        DdsResetState();
    }

    // A register set and a table row agree when the row holds exactly what the register's
    // words reproduce. Rows as DdsInit leaves them hold 10 MHz itself, which converts to the
    // register's word. A channel that is off has the frequency word 0 and keeps its last
    // frequency in the row.
    static void ExpectAgree(const SimChannel& reg, const DdsChannelState& row) {
        EXPECT_EQ(reg.on, row.on == 1);
        if (row.on == 1 && row.freqHz == 10e6) {
            EXPECT_EQ(reg.freqWord, static_cast<std::uint32_t>(FreqToWord(row.freqHz)));
        } else if (row.on == 1) {
            EXPECT_EQ(WordToFreq(static_cast<std::int32_t>(reg.freqWord)), row.freqHz);
        } else {
            EXPECT_EQ(reg.freqWord, 0u);
        }
        EXPECT_EQ(WordToPhase(static_cast<std::int32_t>(reg.phaseWord)), row.phaseDeg);
        EXPECT_EQ(WordToAmp(static_cast<std::int32_t>(reg.ampWord)), row.amplitude);
    }

    CPtySimulator m_sim;
    std::string m_diag;
};

TEST_F(DdsSimTest, RegistersAgreeWithTheTableAfterSetsInBothModes) {
    // Mode 2 has a 100 MHz DDS clock, mode 7 one of 122.88 MHz, whose words are never exact.
    for (int mode : {2, 7}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(DdsInit(mode), DDS_OK);
        ASSERT_GT(DdsModuleClocks.ddsClockHz, 0.0);
        for (int i = 0; i < DDS_CHANNELS; ++i) {
            SCOPED_TRACE(i);
            ExpectAgree(m_sim.Channel(i), DdsChannelTable[i]);
        }

        // Single-channel mode: applied at once.
        EXPECT_EQ(DdsSetChannel(0, 10e6, 90.0, 0.5, 1), DDS_OK);
        EXPECT_EQ(DdsSetChannel(1, 12.5e6, 359.0, 0.3, 1), DDS_OK);
        EXPECT_EQ(DdsSetChannel(2, 0.0, 45.0, 1.0, 1), DDS_OK); // off
        EXPECT_EQ(DdsSetChannel(3, 1234567.891, -90.0, 0.01, 1), DDS_OK);
        EXPECT_EQ(DdsSetChannel(11, 33.333333e6, 360.0, 1.0, 1), DDS_OK);
        for (int i : {0, 1, 2, 3, 11}) {
            SCOPED_TRACE(i);
            ExpectAgree(m_sim.Channel(i), DdsChannelTable[i]);
        }

        // Multiple-channel mode: the module holds the settings until "DDU".
        EXPECT_EQ(DdsSetChannel(4, 7.5e6, 180.0, 0.75, 0), DDS_OK);
        EXPECT_EQ(DdsSetChannel(5, 1e6, 10.0, 0.2, 0), DDS_OK);
        EXPECT_EQ(DdsSetChannel(5, 2e6, 20.0, 0.4, 0), DDS_OK); // supersedes the one before
        EXPECT_EQ(DdsSetChannel(6, 0.0, 30.0, 0.6, 0), DDS_OK); // off
        EXPECT_EQ(DdsSetChannel(0, 40e6, 450.0, 0.9, 0), DDS_OK);
        // The smallest frequencies still give a word of a few steps.
        EXPECT_EQ(DdsSetChannel(8, 0.05, 0.5, 0.001, 0), DDS_OK);
        for (int i : {4, 5, 6, 0, 8}) {
            SCOPED_TRACE(i);
            ExpectAgree(m_sim.PendingChannel(i), DdsChannelTable[i]);
        }
        EXPECT_EQ(m_sim.Channel(4).ampWord, 0u) << "applied before DDU";

        EXPECT_EQ(DdsUpdate(), DDS_OK);
        for (int i = 0; i < DDS_CHANNELS; ++i) {
            SCOPED_TRACE(i);
            ExpectAgree(m_sim.Channel(i), DdsChannelTable[i]);
        }
    }
    EXPECT_EQ(m_diag.find('T'), std::string::npos) << "no reply timed out: " << m_diag;
}

} // namespace
