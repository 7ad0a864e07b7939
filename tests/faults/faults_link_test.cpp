// The link, DDS control and the monitor commands against a module that misbehaves: garbage
// answers, slow answers, a flood, a hang-up after the echo, and the device vanishing while the
// port is open. Nothing may crash, hang beyond the idle time-outs or spin while it waits, and
// the channel table must keep saying what the module was sent.
#include "fault_fixture.h"
#include "fault_support.h"

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "dds_image.h"
#include "exchange.h"
#include "monitor.h"

using namespace std::chrono_literals;

namespace {

// Waiting must be sleeping: while the reader waits for a module that sends nothing, this
// process may use a quarter of the wall time at most (the in-process simulator included).
void ExpectNoBusyWait(const CWaitMeter& meter) {
    const double wall = meter.WallSeconds();
    const double cpu = meter.CpuSeconds();
    EXPECT_LT(cpu, wall / 4) << "cpu " << cpu << " s in " << wall << " s";
}

struct ProbeCase {
    const char* name;
    SimFault fault;
    int result;
};

class FaultProbeTest : public FaultTest, public ::testing::WithParamInterface<ProbeCase> {};

// The probe of the open: a module that stays silent fails it; the other faults leave the probe
// alone and misbehave on the commands that follow. The port stays open in every case.
TEST_P(FaultProbeTest, OpenResultAndThePortStaysOpen) {
    SimOptions options;
    options.fault = GetParam().fault;
    EXPECT_EQ(StartAndOpen(options), GetParam().result) << m_diag;
    EXPECT_TRUE(LinkIsOpen());
    EXPECT_EQ(CloseComPort(), 0);
    EXPECT_FALSE(LinkIsOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultProbeTest,
    ::testing::Values(ProbeCase{"None", SimFault::None, LINK_OPEN_OK},
                      ProbeCase{"Silent", SimFault::Silent, LINK_OPEN_NO_PROBE},
                      ProbeCase{"NoPrompt", SimFault::NoPrompt, LINK_OPEN_OK},
                      ProbeCase{"Garbage", SimFault::Garbage, LINK_OPEN_OK},
                      ProbeCase{"Flood", SimFault::Flood, LINK_OPEN_OK},
                      ProbeCase{"Slow", SimFault::Slow, LINK_OPEN_OK},
                      ProbeCase{"HangupAfter", SimFault::HangupAfter, LINK_OPEN_OK}),
    [](const auto& info) { return std::string(info.param.name); });

// One setting of the mixed run below: channel, Hz, degrees, fraction, single flag.
struct Setting {
    int channel;
    double freqHz;
    double phaseDeg;
    double amplitude;
    int single;
};

std::vector<Setting> MixedSettings(int count) {
    std::vector<Setting> settings;
    for (int i = 0; i < count; ++i) {
        const double freq = i % 7 == 3 ? 0.0 : 1e6 + 123456.789 * i; // some switch off
        settings.push_back(
            {i % DDS_CHANNELS, freq, 17.0 * (i % 21), (i % 11) / 10.0, i % 3 == 0 ? 0 : 1});
    }
    return settings;
}

TEST_F(FaultTest, GarbageAnswersLeaveTableAndModuleInStep) {
    StartInitialised();
    m_sim->SetFault(SimFault::Garbage);
    for (const Setting& s : MixedSettings(48)) {
        const std::uint32_t r =
            DdsSetChannel(s.channel, s.freqHz, s.phaseDeg, s.amplitude, s.single);
        EXPECT_TRUE(r == DDS_OK || r == DDS_E_REPLY) << DdsResultName(r);
        // Whatever the answer, the row holds the values the words sent reproduce.
        const DdsChannelState& row = DdsChannelTable[s.channel];
        EXPECT_EQ(row.on, s.freqHz != 0.0 ? 1 : 0);
        EXPECT_EQ(row.amplitude, WordToAmp(AmpToWord(s.amplitude)));
        EXPECT_EQ(row.phaseDeg, WordToPhase(PhaseToWord(s.phaseDeg)));
    }
    EXPECT_EQ(DdsUpdate(), DDS_OK);

    // The maintenance commands take any answer without harm.
    std::vector<std::uint8_t> bytes(64, 0xEE);
    std::vector<std::uint32_t> words(16, 0xEEEEEEEEu);
    for (int round = 0; round < 8; ++round) {
        const int v = MonitorV();
        EXPECT_TRUE(v == 0 || v == -1);
        bool ok = false;
        const std::uint32_t value = MonitorMR(0x10, &ok);
        EXPECT_TRUE(ok || value == 0 || value == 0xFFFFFFFFu);
        const int mc = MonitorMC(0, 16, 0, 0);
        EXPECT_TRUE(mc >= -1 && mc <= 2);
        EXPECT_LE(MonitorMD1Bytes(0, 64, bytes.data()), 64);
        EXPECT_LE(MonitorMD1Words(0, 64, words.data()), 16);
        DdsModuleClocksRecord clocks;
        if (DdsReadClocks(&clocks) == DDS_OK) {
            EXPECT_TRUE(clocks.ddsClockHz == 0.0 || DdsClockUsable(clocks.ddsClockHz));
        }
    }
    // Every garbage answer still ends with the prompt, so no reply waited for the idle time-out.
    EXPECT_EQ(m_diag.find('T'), std::string::npos) << m_diag;

    // The module carried out every setting: with the answers right again, its registers are
    // what the table says, channel by channel.
    m_sim->SetFault(SimFault::None);
    EXPECT_EQ(DdsSetChannel(5, 2.5e6, 45.0, 0.25, 1), DDS_OK);
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        ExpectRegisterAgrees(i);
    }
}

TEST_F(FaultTest, SlowAnswersArriveWhole) {
    StartInitialised();
    m_sim->SetFault(SimFault::Slow, 400); // several event waits of silence inside each reply
    const CWaitMeter meter;
    EXPECT_EQ(DdsSetChannel(0, 10e6, 90.0, 0.5, 1), DDS_OK);
    EXPECT_EQ(DdsSetChannel(1, 20e6, 0.0, 1.0, 0), DDS_OK);
    EXPECT_EQ(DdsUpdate(), DDS_OK);
    DdsModuleClocksRecord clocks;
    EXPECT_EQ(DdsReadClocks(&clocks), DDS_OK);
    EXPECT_EQ(clocks.ddsClockHz, 100e6);
    bool ok = false;
    MonitorMR(0x10, &ok);
    EXPECT_TRUE(ok);
    EXPECT_GE(meter.WallSeconds(), 5 * 0.4);
    ExpectNoBusyWait(meter);
    EXPECT_EQ(m_diag, "");
    ExpectRegisterAgrees(0);
    ExpectRegisterAgrees(1);
}

// The module answers two commands, then sends the echo of the third and hangs up: the set whose
// answer was cut reports DDS_E_REPLY with its row already changed, every later command comes
// back without fields at once, and a new module on a reopened port works.
TEST_F(FaultTest, HangUpAfterTheEchoThenReopen) {
    StartInitialised();
    m_sim->SetFault(SimFault::HangupAfter, 2);
    EXPECT_EQ(DdsSetChannel(0, 1e6, 10.0, 0.1, 1), DDS_OK);
    EXPECT_EQ(DdsSetChannel(1, 2e6, 20.0, 0.2, 1), DDS_OK);

    const CWaitMeter meter;
    EXPECT_EQ(DdsSetChannel(2, 3e6, 30.0, 0.3, 1), DDS_E_REPLY);
    EXPECT_EQ(DdsChannelTable[2].freqHz, WordToFreq(FreqToWord(3e6)));
    EXPECT_EQ(DdsChannelTable[2].amplitude, WordToAmp(AmpToWord(0.3)));
    EXPECT_EQ(m_diag, "T");

    ReplyField fields[REPLY_FIELD_COUNT];
    EXPECT_EQ(SendCommand("u0", fields), 0);
    EXPECT_EQ(DdsSetChannel(3, 4e6, 40.0, 0.4, 0), DDS_E_REPLY);
    EXPECT_EQ(DdsChannelTable[3].on, 1);
    EXPECT_EQ(DdsUpdate(), DDS_OK);
    const DdsModuleClocksRecord clocksBefore = DdsModuleClocks;
    const DdsChannelState rowBefore = DdsChannelTable[3];
    EXPECT_EQ(DdsInit(2), DDS_E_REPLY);
    EXPECT_EQ(DdsModuleClocks.ddsClockHz, clocksBefore.ddsClockHz);
    EXPECT_EQ(std::memcmp(&DdsChannelTable[3], &rowBefore, sizeof rowBefore), 0);
    EXPECT_EQ(MonitorV(), -1);
    bool ok = true;
    EXPECT_EQ(MonitorMR(0x10, &ok), 0u);
    EXPECT_FALSE(ok);
    std::vector<std::uint8_t> bytes(32);
    EXPECT_EQ(MonitorMD1Bytes(0, 32, bytes.data()), 0);
    // Memory images: nothing comes back from the dead line, and that is reported.
    DdsImage image;
    image.data = bytes.data();
    image.capacity = static_cast<std::uint32_t>(bytes.size());
    EXPECT_EQ(DdsImageFetch(0x100, 32, &image), DDS_E_REPLY);
    EXPECT_EQ(image.length, 0u);
    image.length = 32;
    EXPECT_EQ(DdsImageLoadRecord(&image), 0u); // no reply to the last block
    ExpectNoBusyWait(meter);
    EXPECT_TRUE(LinkIsOpen()); // the port object stays until it is closed

    // What the module took before the line went dead is in its registers; the cut set never
    // reached its command interpreter.
    ExpectRegisterAgrees(0);
    ExpectRegisterAgrees(1);
    EXPECT_EQ(m_sim->Channel(2).freqWord, static_cast<std::uint32_t>(FreqToWord(10e6)));

    EXPECT_EQ(CloseComPort(), 0);
    ASSERT_EQ(StartAndOpen(), LINK_OPEN_OK) << m_diag;
    ASSERT_EQ(DdsInit(2), DDS_OK);
    EXPECT_EQ(DdsSetChannel(2, 3e6, 30.0, 0.3, 1), DDS_OK);
    ExpectRegisterAgrees(2);
}

// The device vanishes while nothing is going on: every later command gives up quickly, without
// spinning, and a new device opens.
TEST_F(FaultTest, DeviceVanishesWhileIdle) {
    StartInitialised();
    m_sim->HangUp();
    ASSERT_TRUE(m_sim->IsHungUp());
    const CWaitMeter meter;
    ReplyField fields[REPLY_FIELD_COUNT];
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(SendCommand("V", fields), 0);
    }
    EXPECT_EQ(DdsSetChannel(7, 5e6, 0.0, 1.0, 1), DDS_E_REPLY);
    EXPECT_EQ(DdsChannelTable[7].freqHz, WordToFreq(FreqToWord(5e6)));
    EXPECT_EQ(DdsUpdate(), DDS_OK);
    char reply[64];
    EXPECT_EQ(ReadReplyPoll(reply, sizeof reply), 0u);
    EXPECT_EQ(ReadAvailable(reply, sizeof reply), 0u);
    EXPECT_EQ(FlushInput(), 0);
    EXPECT_EQ(QueuedCount(), 0u);
    EXPECT_EQ(WaitPrompt(10), 2);
    ExpectNoBusyWait(meter);
    EXPECT_EQ(m_diag.find_first_not_of('T'), std::string::npos) << m_diag;

    ASSERT_EQ(StartAndOpen(), LINK_OPEN_OK) << m_diag;
    ASSERT_EQ(DdsInit(2), DDS_OK);
    EXPECT_EQ(DdsSetChannel(7, 5e6, 0.0, 1.0, 1), DDS_OK);
    ExpectRegisterAgrees(7);
}

// The device vanishes while a reply is awaited (the module is pausing inside it for an hour):
// the command ends as soon as the reader has counted its idle cycles on the dead line.
TEST_F(FaultTest, DeviceVanishesInTheMiddleOfAReply) {
    StartInitialised();
    m_sim->SetFault(SimFault::Slow, 3600000);
    std::thread pull([this] {
        std::this_thread::sleep_for(300ms);
        m_sim->HangUp();
    });
    const CWaitMeter meter;
    EXPECT_EQ(DdsSetChannel(4, 7e6, 180.0, 0.75, 1), DDS_E_REPLY);
    pull.join();
    ExpectNoBusyWait(meter);
    EXPECT_EQ(DdsChannelTable[4].phaseDeg, 180.0);
    // The module took the setting before it paused inside its answer.
    ExpectRegisterAgrees(4);
    EXPECT_EQ(m_diag, "T");
}

// A module that floods the line keeps the reader going for as long as bytes come (that is how
// a reply without a prompt is read); when the line then dies, the reader stops, with the reply
// cut to its buffer and at most 16 fields.
TEST_F(FaultTest, FloodIsReadUntilTheLineDies) {
    StartInitialised();
    m_sim->SetFault(SimFault::Flood);
    std::thread pull([this] {
        std::this_thread::sleep_for(1s);
        m_sim->HangUp();
    });
    const CWaitMeter meter;
    ReplyField fields[REPLY_FIELD_COUNT];
    std::memset(fields, 0x7F, sizeof fields);
    const int n = SendCommand("V", fields);
    pull.join();
    EXPECT_GE(meter.WallSeconds(), 0.9);
    EXPECT_GE(n, 1);
    EXPECT_LE(n, REPLY_FIELD_COUNT);
    for (int i = 0; i < n; ++i) {
        EXPECT_NE(std::memchr(fields[i], '\0', REPLY_FIELD_SIZE), nullptr) << i;
    }
    EXPECT_STREQ(fields[0], "V");
    EXPECT_EQ(m_diag, "T");
    // The dead line after the flood answers nothing, quickly.
    const CWaitMeter after;
    EXPECT_EQ(DdsSetChannel(0, 1e6, 0.0, 0.5, 1), DDS_E_REPLY);
    ExpectNoBusyWait(after);
}

// A flood during a dump: the dump's buffer and output are never overrun.
TEST_F(FaultTest, FloodDuringADumpStaysInsideTheBuffers) {
    StartInitialised();
    m_sim->SetFault(SimFault::Flood);
    std::thread pull([this] {
        std::this_thread::sleep_for(500ms);
        m_sim->HangUp();
    });
    std::vector<std::uint8_t> bytes(32, 0xEE);
    const int got = MonitorMD1Bytes(0, 32, bytes.data());
    pull.join();
    EXPECT_GE(got, 0);
    EXPECT_LE(got, 32);
}

} // namespace
