// The short soak: 5 000 channel settings over all twelve channels, in both modes, against the
// module simulator. The module's registers must equal the channel table at every check, no
// command may fail, and resident memory must stay flat. (Under AddressSanitizer freed memory is
// held in quarantine, and ThreadSanitizer keeps a history, so resident memory grows by design
// there; LeakSanitizer checks for leaks at the end of the program instead.)
#include "soak_run.h"

#include <gtest/gtest.h>

// Sanitizers that keep memory of their own as the run goes (quarantine, shadow, history).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MORVANE_SANITIZER_MEMORY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
#define MORVANE_SANITIZER_MEMORY 1
#endif
#endif

namespace {

TEST(Soak, FiveThousandSettingsKeepModuleAndTableInStep) {
    SoakOptions options;
    options.settings = 5000;
    const SoakReport report = SoakRun(options);
    ASSERT_TRUE(report.started) << report.diagnostics;
    EXPECT_EQ(report.settings, 5000);
    EXPECT_GT(report.singles, 2000);
    EXPECT_GT(report.multiples, 2000);
    EXPECT_GT(report.updates, 100);
    EXPECT_EQ(report.failures, 0);
    EXPECT_EQ(report.mismatches, 0) << report.firstMismatch;
    EXPECT_GT(report.checks, report.updates * 12 - 1);
    EXPECT_EQ(report.diagnostics, "");

#ifndef MORVANE_SANITIZER_MEMORY
    // Flat: from the first sample (after the first 2.5 % of the run) to the end, resident
    // memory grows by less than 1 MiB.
    ASSERT_GE(report.rssKiB.size(), 2u);
    EXPECT_LT(report.rssKiB.back() - report.rssKiB.front(), 1024)
        << "from " << report.rssKiB.front() << " KiB to " << report.rssKiB.back() << " KiB";
#endif
}

} // namespace
