// The pacing schedule of the simulator's output, on moments of our own making: bytes leave one
// at a time, one byte time apart, the first one byte time after the start.
#include "sim_pacer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

namespace {

using std::chrono::nanoseconds;
const CSimPacer::Clock::time_point T0{std::chrono::seconds(1000)};

TEST(SimPacer, ByteOffsetsAreTenBitTimesRoundedUp) {
    struct Case {
        int baud;
        std::uint64_t index;
        std::int64_t ns;
    };
    const Case cases[] = {
        {115200, 0, 86806},          // 86805.6
        {115200, 1, 173612},         // 173611.1
        {115200, 31, 2777778},       // 2777777.8: the 32 bytes of a "dds" reply
        {115200, 11519, 1000000000}, // exact: no rounding
        {9600, 0, 1041667},
        {100000000, 0, 100},
        {1, 0, 10000000000},
        // 10^12 bytes: beyond what a double holds to the nanosecond, and no overflow.
        {115200, 999999999999, 86805555555555556},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CSimPacer(c.baud).OffsetOfByte(c.index), c.ns) << c.baud << " " << c.index;
    }
}

TEST(SimPacer, EachDeadlineReleasesExactlyOneByte) {
    for (int baud : {300, 9600, 115200, 921600}) {
        CSimPacer pacer(baud);
        pacer.Restart(T0);
        EXPECT_EQ(pacer.NextDeadline(), T0 + nanoseconds(pacer.OffsetOfByte(0))) << baud;
        EXPECT_EQ(pacer.Due(T0), 0u) << baud;
        for (int k = 0; k < 64; ++k) {
            const auto deadline = pacer.NextDeadline();
            ASSERT_EQ(pacer.Due(deadline - nanoseconds(1)), 0u) << baud << " byte " << k;
            ASSERT_EQ(pacer.Due(deadline), 1u) << baud << " byte " << k;
            pacer.Sent(1);
        }
        EXPECT_EQ(pacer.NextDeadline(), T0 + nanoseconds(pacer.OffsetOfByte(64))) << baud;
    }
}

TEST(SimPacer, LateBytesLeaveTogetherAndTheScheduleDoesNotSlip) {
    CSimPacer pacer(115200);
    pacer.Restart(T0);
    // Woken ten byte times late: the ten bytes due go at once, the eleventh stays on time.
    const auto late = T0 + nanoseconds(pacer.OffsetOfByte(9));
    EXPECT_EQ(pacer.Due(late), 10u);
    pacer.Sent(10);
    EXPECT_EQ(pacer.Due(late), 0u);
    EXPECT_EQ(pacer.NextDeadline(), T0 + nanoseconds(pacer.OffsetOfByte(10)));

    // A new schedule (the line was idle) starts counting from its own start.
    const auto t1 = late + std::chrono::milliseconds(5);
    pacer.Restart(t1);
    EXPECT_EQ(pacer.Due(t1), 0u);
    EXPECT_EQ(pacer.NextDeadline(), t1 + nanoseconds(86806));
}

// The lead settles at how late the waits end, whatever lead was already asked for; early ends
// (an event woke the wait) teach it nothing; a stall is capped at half a byte time (at most
// 200 us); and the timeout never goes below zero.
TEST(WakeLead, LearnsHowLateWaitsEndAndAsksForThatMuchEarlier) {
    using std::chrono::microseconds;
    CWakeLead lead(115200);
    const auto deadline = T0 + microseconds(87);
    EXPECT_EQ(lead.Timeout(T0, deadline), microseconds(87)); // nothing learnt yet
    for (int i = 0; i < 100; ++i) {
        const auto wanted = T0 + lead.Timeout(T0, deadline);
        lead.Woke(wanted, wanted + microseconds(21)); // this machine's waits end 21 us late
    }
    EXPECT_NEAR(static_cast<double>(lead.Lead().count()), 21000.0, 100.0);
    EXPECT_NEAR(static_cast<double>(lead.Timeout(T0, deadline).count()), 66000.0, 100.0);

    const auto before = lead.Lead();
    lead.Woke(T0 + microseconds(50), T0 + microseconds(10)); // ended early, for input
    EXPECT_EQ(lead.Lead(), before);

    for (int i = 0; i < 100; ++i) {
        lead.Woke(T0, T0 + std::chrono::seconds(1)); // a machine stalled for a second at a time
    }
    // Half of 86.8 us (the average's integer steps stop a few ns short of it).
    EXPECT_LE(lead.Lead(), nanoseconds(43402));
    EXPECT_GE(lead.Lead(), nanoseconds(43300));
    EXPECT_EQ(lead.Timeout(T0, T0 + microseconds(40)), nanoseconds(0));

    CWakeLead slow(9600); // half a byte time is 521 us: the fixed bound holds
    for (int i = 0; i < 200; ++i) {
        slow.Woke(T0, T0 + std::chrono::seconds(1));
    }
    EXPECT_LE(slow.Lead(), CWakeLead::MAX_LEAD);
    EXPECT_GT(slow.Lead(), CWakeLead::MAX_LEAD - microseconds(1));
}

// Waits that end later than half a byte time: the bytes of a reply lead by half a byte time,
// its last byte (the prompt, which ends the reader's exchange) by all that was learnt, up to
// 200 us; a clock watch for it starts that much before its deadline.
TEST(WakeLead, TheLastByteQueuedMayLeadByAllThatWasLearnt) {
    using std::chrono::microseconds;
    struct Case {
        microseconds late;
        nanoseconds byteLead; // about
        nanoseconds lastLead; // about
    };
    const Case cases[] = {
        {microseconds(21), nanoseconds(21000), nanoseconds(21000)},    // both cover it
        {microseconds(80), nanoseconds(43402), nanoseconds(80000)},    // only the last byte
        {microseconds(5000), nanoseconds(43402), CWakeLead::MAX_LEAD}, // both capped
    };
    for (const Case& c : cases) {
        CWakeLead lead(115200);
        for (int i = 0; i < 200; ++i) {
            lead.Woke(T0, T0 + c.late);
        }
        EXPECT_NEAR(static_cast<double>(lead.Lead().count()),
                    static_cast<double>(c.byteLead.count()), 100.0)
            << c.late.count();
        EXPECT_NEAR(static_cast<double>(lead.Lead(true).count()),
                    static_cast<double>(c.lastLead.count()), 100.0)
            << c.late.count();
        const auto deadline = T0 + std::chrono::milliseconds(1);
        EXPECT_EQ(lead.Timeout(T0, deadline, true), deadline - T0 - lead.Lead(true));
        EXPECT_EQ(lead.Timeout(T0, deadline), deadline - T0 - lead.Lead());
    }
}

} // namespace
