// The faults whose replies end only by the reader's idle time-out: 200 idle cycles of a 100 ms
// event wait, about 20 s each. Kept to a few cases, in a program of their own so that CTest can
// give them a longer time-out. While the reader waits, the process must sleep, not spin.
#include "fault_fixture.h"
#include "fault_support.h"

#include <cstring>

#include "exchange.h"

namespace {

void ExpectNoBusyWait(double cpu, double wall) {
    EXPECT_LT(cpu, wall / 4) << "cpu " << cpu << " s in " << wall << " s";
}

// A module that stops answering after the open: the initialisation gives up with "T" and
// changes neither the clocks nor the table.
TEST_F(FaultTest, SilentModuleInitGivesUpAndChangesNothing) {
    StartInitialised();
    ASSERT_EQ(DdsSetChannel(3, 5e6, 90.0, 0.5, 1), DDS_OK);
    const DdsModuleClocksRecord clocks = DdsModuleClocks;
    const DdsChannelState row = DdsChannelTable[3];
    m_sim->SetFault(SimFault::Silent);
    const CWaitMeter meter;
    EXPECT_EQ(DdsInit(2), DDS_E_REPLY);
    const double wall = meter.WallSeconds();
    EXPECT_GT(wall, 10.0); // 200 idle cycles of a 100 ms wait
    ExpectNoBusyWait(meter.CpuSeconds(), wall);
    EXPECT_EQ(m_diag, "T");
    EXPECT_EQ(std::memcmp(&clocks, &DdsModuleClocks, sizeof clocks), 0);
    EXPECT_EQ(std::memcmp(&row, &DdsChannelTable[3], sizeof row), 0);
    // The line itself is fine: with the module answering again, so is the link.
    m_sim->SetFault(SimFault::None);
    EXPECT_EQ(DdsSetChannel(3, 6e6, 90.0, 0.5, 1), DDS_OK);
    ExpectRegisterAgrees(3);
}

// A module that never sends its prompt: the reply is complete but for the ">", so the set
// succeeds once the reader has given up waiting for it.
TEST_F(FaultTest, MissingPromptEndsByIdleCyclesWithTheAnswerRead) {
    StartInitialised();
    m_sim->SetFault(SimFault::NoPrompt);
    const CWaitMeter meter;
    EXPECT_EQ(DdsSetChannel(9, 12.5e6, 45.0, 0.3, 1), DDS_OK);
    const double wall = meter.WallSeconds();
    EXPECT_GT(wall, 10.0);
    ExpectNoBusyWait(meter.CpuSeconds(), wall);
    EXPECT_EQ(m_diag, "T");
    ExpectRegisterAgrees(9);
}

// morvane-cli as a process against a module that never sends its prompt: "init" waits out the
// idle cycles, then reports the clocks it read. The child's CPU time is measured over its life.
TEST_F(FaultTest, CliWaitsOutAMissingPromptWithoutSpinning) {
    SimOptions options;
    options.fault = SimFault::NoPrompt;
    m_sim = std::make_unique<CPtySimulator>(options);
    ASSERT_TRUE(m_sim->Start());
    const ProcessResult run = RunProgram(
        MORVANE_CLI_PATH, {"morvane-cli", "--port", m_sim->SlavePath(), "init"}, "", 120);
    ASSERT_TRUE(run.exited) << "signal " << run.signal << (run.killed ? " (killed)" : "");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "crystal 10000000 Hz\nreference 100000000 Hz\ndds 100000000 Hz\n");
    EXPECT_GT(run.wallSeconds, 10.0);
    ExpectNoBusyWait(run.cpuSeconds, run.wallSeconds);
}

} // namespace
