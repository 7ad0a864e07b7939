#!/usr/bin/env bash
# Usage: bench/compare.sh [BUILD_DIR] [STARTUP_RUNS]
#
# Every figure of the performance table in one run, side by side with a pyserial client doing the
# same work (bench/pyserial_client.py, Debian python3-serial, run with /usr/bin/python3):
#   - one exchange against the simulator paced at 115200 baud, divided by the wire time of the
#     reply: in-process (bench_exchange) and against qmtrv-sim (bench_exchange_port);
#   - a script of 1000 send lines through `morvane-cli script` and through the pyserial client:
#     against qmtrv-sim paced at 115200 baud, the whole run divided by the wire time of the 1000
#     replies; against the unpaced qmtrv-sim, the time per line (the run of 1000 lines less the
#     run of one line, divided by 999, so that process start and probe are left out);
#   - one unpaced exchange in-process (bench_exchange), and the same in blocks alternating with
#     a bare pseudo-terminal round trip of its bytes, the floor at that moment;
#   - console start-up to the opened status text and resident memory after start-up
#     (bench/startup.sh), offscreen and under Xvfb, beside a bare Qt window with one CJK label
#     (bench_bare_window) as this machine's reference.
# Each timed script run is made three times; the median is shown.
#
# Needs the targets bench_exchange, bench_exchange_port, qmtrv-sim, morvane-cli and morvane
# built in BUILD_DIR (default build/default).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/default}")
startup_runs=${2:-10}
baud=115200
lines=1000
python=/usr/bin/python3
command_text="dds a 1999999a 1000 400 1"
# Echo, CR LF, "OK" CR LF and the prompt: the bytes of one reply on the wire.
reply_bytes=$((${#command_text} + 2 + 4 + 1))

for exe in bench/bench_exchange bench/bench_exchange_port sim/qmtrv-sim cli/morvane-cli \
    console/morvane; do
    if [[ ! -x $build/$exe ]]; then
        echo "compare: $build/$exe is missing (build it first)" >&2
        exit 2
    fi
done
if ! "$python" -c 'import serial' 2>/dev/null; then
    echo "compare: $python has no pyserial (scripts/deps installs python3-serial)" >&2
    exit 2
fi

scratch=$(mktemp -d)
sims=()
cleanup() {
    for p in "${sims[@]}"; do
        kill "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

# Starts qmtrv-sim with the given options; sets sim_path to its pseudo-terminal.
start_sim() {
    local out=$scratch/sim$#_${RANDOM}
    mkfifo "$out"
    "$build/sim/qmtrv-sim" "$@" >"$out" &
    sims+=("$!")
    read -r sim_path <"$out"
    rm -f "$out"
}

now_us() {
    local t=${EPOCHREALTIME/[.,]/}
    echo "$((10#$t))"
}

for n in 1 "$lines"; do
    for ((i = 0; i < n; i++)); do
        echo "send \"$command_text\""
    done >"$scratch/script$n"
done

# Runs a client over a script; prints the elapsed microseconds. Output goes to $scratch/out.
run_client() {
    local which=$1 port=$2 n=$3 t0 t1
    t0=$(now_us)
    if [[ $which == morvane ]]; then
        "$build/cli/morvane-cli" --port "$port" --baud "$baud" script <"$scratch/script$n" \
            >"$scratch/out.$which" 2>"$scratch/err.$which"
    else
        "$python" "$root/bench/pyserial_client.py" "$port" "$baud" <"$scratch/script$n" \
            >"$scratch/out.$which" 2>"$scratch/err.$which"
    fi
    t1=$(now_us)
    echo "$((t1 - t0))"
}

median3() {
    printf '%s\n' "$@" | sort -n | sed -n 2p
}

# Median of three runs of a client over a script of n lines.
timed_client() {
    local which=$1 port=$2 n=$3 a b c
    a=$(run_client "$which" "$port" "$n")
    b=$(run_client "$which" "$port" "$n")
    c=$(run_client "$which" "$port" "$n")
    median3 "$a" "$b" "$c"
}

echo "compare: exchanges in-process (bench_exchange)" >&2
exchange=$("$build/bench/bench_exchange" 2000 "$baud")
echo "$exchange" >&2
unpaced_exchange=$(sed -n 's/^unpaced: median \([0-9.]*\) us.*/\1/p' <<<"$exchange")
# The same exchange in blocks alternating with a bare pseudo-terminal round trip of its bytes.
floor_link=$(sed -n 's/.*: the link median \([0-9.]*\) us;.*/\1/p' <<<"$exchange")
floor_bare=$(sed -n 's/.*round trip of the same bytes median \([0-9.]*\) us;.*/\1/p' <<<"$exchange")
paced_exchange=$(sed -n 's/.*ratio median \([0-9.]*\),.*/\1/p' <<<"$exchange")

pacing_first=- pacing_gap=-
if [[ -x $build/bench/bench_sim_pacing ]]; then
    echo "compare: the simulator's paced bytes at a raw reader (bench_sim_pacing)" >&2
    pacing=$("$build/bench/bench_sim_pacing" 200 "$baud")
    echo "$pacing" >&2
    pacing_first=$(sed -n 's/.*first byte after \([0-9.]*\) us.*/\1/p' <<<"$pacing")
    pacing_gap=$(sed -n 's/.*then one every \([0-9.]*\) us.*/\1/p' <<<"$pacing")
fi
byte_us=$(awk -v b="$baud" 'BEGIN { printf "%.1f", 10e6 / b }')

echo "compare: exchanges against qmtrv-sim --baud $baud (bench_exchange_port)" >&2
start_sim --baud "$baud"
paced_port=$sim_path
port_line=$("$build/bench/bench_exchange_port" "$paced_port" 200 "$baud")
echo "$port_line" >&2
paced_exchange_port=$(sed -n 's/.*ratio median \([0-9.]*\),.*/\1/p' <<<"$port_line")

echo "compare: scripts of $lines send lines, paced" >&2
wire_us=$((lines * reply_bytes * 10 * 1000000 / baud))
declare -A paced_ratio unpaced_line
for which in morvane pyserial; do
    us=$(timed_client "$which" "$paced_port" "$lines")
    paced_ratio[$which]=$(awk -v u="$us" -v w="$wire_us" 'BEGIN { printf "%.3f", u / w }')
    cp "$scratch/out.$which" "$scratch/paced.$which"
done
if ! cmp -s "$scratch/paced.morvane" "$scratch/paced.pyserial"; then
    echo "compare: warning: morvane-cli and the pyserial client printed different replies" >&2
fi

echo "compare: scripts of $lines send lines, unpaced" >&2
start_sim --baud 0
for which in morvane pyserial; do
    one=$(timed_client "$which" "$sim_path" 1)
    many=$(timed_client "$which" "$sim_path" "$lines")
    unpaced_line[$which]=$(awk -v a="$many" -v b="$one" -v n="$lines" \
        'BEGIN { printf "%.1f", (a - b) / (n - 1) }')
done
speedup=$(awk -v m="${unpaced_line[morvane]}" -v p="${unpaced_line[pyserial]}" \
    'BEGIN { printf "%.1f", p / m }')

# "start-up to opened text: median X ms ..." and "resident memory ...: median Y MB ..."
startup_figures() {
    local out=$1
    awk '/^start-up to opened text:/ { t = $6 } /^resident memory after start-up:/ { m = $6 }
         END { printf "%s %s", t, m }' "$out"
}
echo "compare: console start-up, offscreen" >&2
QT_QPA_PLATFORM=offscreen "$root/bench/startup.sh" "$build" "$startup_runs" >"$scratch/offscreen"
read -r start_off rss_off <<<"$(startup_figures "$scratch/offscreen")"
echo "compare: console start-up, Xvfb" >&2
xvfb-run -a env QT_QPA_PLATFORM=xcb "$root/bench/startup.sh" "$build" "$startup_runs" \
    >"$scratch/xvfb"
read -r start_x rss_x <<<"$(startup_figures "$scratch/xvfb")"
# The same for a bare Qt window with one CJK label: what this machine allows at best.
bare_start_off=- bare_start_x=- bare_rss_off=- bare_rss_x=-
if [[ -x $build/bench/bench_bare_window ]]; then
    echo "compare: a bare Qt window, offscreen and Xvfb" >&2
    export BENCH_STARTUP_EXE=$build/bench/bench_bare_window
    QT_QPA_PLATFORM=offscreen "$root/bench/startup.sh" "$build" "$startup_runs" \
        >"$scratch/bare_off"
    read -r bare_start_off bare_rss_off <<<"$(startup_figures "$scratch/bare_off")"
    xvfb-run -a env QT_QPA_PLATFORM=xcb "$root/bench/startup.sh" "$build" "$startup_runs" \
        >"$scratch/bare_x"
    read -r bare_start_x bare_rss_x <<<"$(startup_figures "$scratch/bare_x")"
    unset BENCH_STARTUP_EXE
fi

row() {
    printf '%-58s %-16s %-12s %s\n' "$@"
}
echo
row "what" "morvane" "pyserial" "target"
row "simulator at $baud: first byte, then a byte every (µs)" "$pacing_first, $pacing_gap" "" \
    "$byte_us, $byte_us (a wire)"
row "exchange paced $baud ÷ wire, in-process" "$paced_exchange" "" "≤ 1.01"
row "exchange paced $baud ÷ wire, qmtrv-sim" "$paced_exchange_port" "" "≤ 1.01"
row "script, $lines send lines, paced ÷ wire (whole run)" "${paced_ratio[morvane]}" \
    "${paced_ratio[pyserial]}" "≤ 1.02"
row "script, unpaced, per line (µs)" "${unpaced_line[morvane]}" "${unpaced_line[pyserial]}" \
    "≤ 50, ≥ 8× faster (${speedup}×)"
row "exchange unpaced in-process, median (µs)" "$unpaced_exchange" "" "≤ 30"
row "  the same beside a bare pty round trip of its bytes (µs)" "$floor_link / $floor_bare" "" \
    "(reference: this machine's floor now)"
row "console start to opened text, offscreen / Xvfb (ms)" "$start_off / $start_x" "" \
    "≤ 90 / ≤ 120"
row "console resident memory, offscreen / Xvfb (MB)" "$rss_off / $rss_x" "" "≤ 32 / ≤ 36"
row "  bare Qt window, event loop, offscreen / Xvfb (ms)" "$bare_start_off / $bare_start_x" "" \
    "(reference)"
row "  bare Qt window, resident memory, offscreen / Xvfb (MB)" "$bare_rss_off / $bare_rss_x" "" \
    "(reference)"
