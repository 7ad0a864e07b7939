#!/usr/bin/env bash
# The long soak: SETTINGS channel settings (100 000 unless given) over all twelve channels and
# both modes, through the link and DDS control against the module simulator. Prints the
# duration, settings per second, failures, register mismatches and resident memory; exits
# non-zero on any failure or mismatch. The short run (5 000) is the test test_soak.
#   bench/soak.sh [SETTINGS [SEED]]
# ASAN=1 builds and runs it under AddressSanitizer, whose LeakSanitizer checks for leaks at the
# end (resident memory then grows with the sanitizer's quarantine, not with the program).
# BUILD_DIR=dir uses an already configured build folder instead of the preset's.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=default
if [[ ${ASAN:-0} == 1 ]]; then
    preset=asan
fi
build=${BUILD_DIR:-build/$preset}
if [[ -z ${BUILD_DIR:-} ]]; then
    cmake --preset "$preset" -DMORVANE_WERROR=ON >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target morvane_soak >/dev/null

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
exec "$build/tests/soak/morvane_soak" "${1:-100000}" "${2:-1}"
