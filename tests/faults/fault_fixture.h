// The fixture of the in-process fault tests: a module simulator on a pseudo-terminal, the link
// opened on it, and the diagnostic lines captured.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "comlink.h"
#include "dds.h"
#include "diag.h"
#include "pty_simulator.h"

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        DdsResetState();
        DiagSetSink([this](std::string_view text) { m_diag.append(text); });
    }
    void TearDown() override {
        CloseComPort();
        m_sim.reset();
        DiagSetSink({});
        DdsResetState();
    }

    // Starts a new simulator with these options (the old one is stopped) and opens the link on
    // it with the probe. Returns the open result.
    int StartAndOpen(const SimOptions& options = {}) {
        CloseComPort();
        m_sim = std::make_unique<CPtySimulator>(options);
        if (!m_sim->Start()) {
            ADD_FAILURE() << "the simulator did not start";
            return -1;
        }
        return OpenComDevice(m_sim->SlavePath(), 115200, 'N', 13, true);
    }

    // Starts a well-behaved module, opens the link and initialises clock mode 2 (100 MHz).
    void StartInitialised() {
        ASSERT_EQ(StartAndOpen(), LINK_OPEN_OK) << m_diag;
        ASSERT_EQ(DdsInit(2), DDS_OK);
        m_diag.clear();
    }

    // The row of a channel agrees with the module's register: the words the row reproduces are
    // the words the module holds. Rows as DdsInit leaves them hold 10 MHz itself.
    void ExpectRegisterAgrees(int channel) const {
        SCOPED_TRACE(channel);
        const SimChannel reg = m_sim->Channel(channel);
        const DdsChannelState& row = DdsChannelTable[channel];
        EXPECT_EQ(reg.on, row.on == 1);
        if (row.on == 1 && row.freqHz == 10e6) {
            EXPECT_EQ(reg.freqWord, static_cast<std::uint32_t>(FreqToWord(row.freqHz)));
        } else if (row.on == 1) {
            EXPECT_EQ(WordToFreq(static_cast<std::int32_t>(reg.freqWord)), row.freqHz);
        } else {
            EXPECT_EQ(reg.freqWord, 0u);
        }
        EXPECT_EQ(reg.phaseWord, static_cast<std::uint32_t>(PhaseToWord(row.phaseDeg)));
        EXPECT_EQ(reg.ampWord, static_cast<std::uint32_t>(AmpToWord(row.amplitude)));
    }

    std::unique_ptr<CPtySimulator> m_sim;
    std::string m_diag;
};
