// morvane_soak: the soak as a program, for long runs (bench/soak.sh).
//   morvane_soak [SETTINGS [SEED]]
// Prints the figures of the run and exits 0 when every command succeeded and the module's
// registers equalled the channel table at every check, 1 otherwise.
#include "soak_run.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    SoakOptions options;
    options.settings = 100000;
    if (argc > 3 || (argc > 1 && std::string(argv[1]) == "--help")) {
        std::fprintf(stderr, "usage: morvane_soak [SETTINGS [SEED]]\n");
        return 2;
    }
    char* end = nullptr;
    if (argc > 1) {
        options.settings = std::strtol(argv[1], &end, 10);
        if (*end != '\0' || options.settings < 1 || options.settings > 100000000) {
            std::fprintf(stderr, "morvane_soak: SETTINGS: '%s' is not a count 1 to 100000000\n",
                         argv[1]);
            return 2;
        }
    }
    if (argc > 2) {
        const unsigned long seed = std::strtoul(argv[2], &end, 10);
        if (*end != '\0' || seed > 0xFFFFFFFFul) {
            std::fprintf(stderr, "morvane_soak: SEED: '%s' is not a 32-bit number\n", argv[2]);
            return 2;
        }
        options.seed = static_cast<unsigned>(seed);
    }
    options.samples = 50;

    const SoakReport r = SoakRun(options);
    if (!r.started) {
        std::fprintf(stderr, "morvane_soak: the simulator or the link did not start: %s\n",
                     r.diagnostics.c_str());
        return 1;
    }
    std::printf("settings     %ld (single %ld, multiple %ld)\n", r.settings, r.singles,
                r.multiples);
    std::printf("updates      %ld, inits %ld\n", r.updates, r.inits);
    std::printf("duration     %.1f s, %.0f settings/s\n", r.seconds,
                r.seconds > 0 ? static_cast<double>(r.settings) / r.seconds : 0.0);
    std::printf("failures     %ld\n", r.failures);
    std::printf("checks       %ld, mismatches %ld%s%s\n", r.checks, r.mismatches,
                r.firstMismatch.empty() ? "" : ": ", r.firstMismatch.c_str());
    std::printf("diagnostics  %zu bytes\n", r.diagnostics.size());
    if (!r.rssKiB.empty()) {
        long low = r.rssKiB.front();
        long high = r.rssKiB.front();
        for (long kib : r.rssKiB) {
            low = kib < low ? kib : low;
            high = kib > high ? kib : high;
        }
        std::printf(
            "resident     first sample %ld KiB, end %ld KiB, min %ld, max %ld (%zu samples)\n",
            r.rssKiB.front(), r.rssKiB.back(), low, high, r.rssKiB.size());
        std::printf("samples KiB ");
        for (long kib : r.rssKiB) {
            std::printf(" %ld", kib);
        }
        std::printf("\n");
    }
    return r.failures == 0 && r.mismatches == 0 ? 0 : 1;
}
