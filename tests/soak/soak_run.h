// The soak: many channel settings through the link and DDS control against the module
// simulator on a pseudo-terminal, with the module's registers compared against the channel
// table and the resident memory sampled along the way. The short run is a test; the long one
// is the morvane_soak program (bench/soak.sh).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SoakOptions {
    long settings = 5000; // channel settings to make
    unsigned seed = 1;    // of the settings' channels, values and modes
    int samples = 20;     // resident-memory samples over the run
};

struct SoakReport {
    bool started = false; // the simulator ran and the link opened and initialised
    long settings = 0;    // settings made
    long singles = 0;     // of them in single-channel mode (applied at once)
    long multiples = 0;   // in multiple-channel mode (applied by the next "DDU")
    long updates = 0;     // "DDU" commands sent
    long inits = 0;       // "DI" commands sent (the clock mode changes along the way)
    long failures = 0;    // commands whose result was not DDS_OK
    long checks = 0;      // register comparisons (12 channels at each check)
    long mismatches = 0;  // channels whose register differed from the table at a check
    std::string firstMismatch;
    std::string diagnostics; // what the link printed (nothing, in a good run)
    double seconds = 0;
    std::vector<long> rssKiB; // resident memory at each sample, the first after warm-up
};

SoakReport SoakRun(const SoakOptions& options);

// Resident memory of this process in KiB (from /proc/self/statm), 0 where it cannot be read.
long SoakResidentKiB();
