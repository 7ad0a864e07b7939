#!/usr/bin/env bash
# Round trips through serve over raw TCP and VXI-11, beside the direct exchange, all on the
# unpaced module simulator (qmtrv-sim in a process of its own). Figures only:
#   1. direct: one set command and its reply on the simulator's pseudo-terminal
#      (bench_exchange_port), before serve opens it;
#   2. lxi benchmark (*IDN?, answered by serve without the module) over raw and VXI-11;
#   3. a setting with *OPC? on one line ("SOUR1:FREQ f;*OPC?", one set command each) through
#      PyVISA's SOCKET and INSTR resources.
#
#   bench/vxi11_bench.sh [BUILD] [COUNT]      (BUILD: a configured build folder, build/default)
#
# Starts rpcbind when none answers on 127.0.0.1:111 and stops only what it started.
set -euo pipefail
build=${1:-build/default}
count=${2:-1000}
for program in cli/morvane-cli sim/qmtrv-sim bench/bench_exchange_port; do
    [[ -x $build/$program ]] || { echo "$build/$program is not built" >&2; exit 1; }
done
pids=()
out=$(mktemp)
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -f "$out" "$out.sim"
}
trap cleanup EXIT
if ! (exec 3<>/dev/tcp/127.0.0.1/111) 2>/dev/null; then
    /usr/sbin/rpcbind -f & pids+=($!)
    sleep 1
fi
"$build/sim/qmtrv-sim" >"$out.sim" & pids+=($!)
for _ in $(seq 50); do [[ -s $out.sim ]] && break; sleep 0.1; done
device=$(head -1 "$out.sim")

echo "direct exchange (set command and reply, $count):"
"$build/bench/bench_exchange_port" "$device" "$count" | sed 's/^/  /'

"$build/cli/morvane-cli" --port "$device" serve --listen 127.0.0.1:0 >"$out" & pids+=($!)
for _ in $(seq 50); do [[ $(wc -l <"$out") -ge 2 ]] && break; sleep 0.1; done
port=$(head -1 "$out" | sed 's/.*://')
if ! sed -n 2p "$out" | grep -q '^VXI-11 on'; then
    echo "serve has no VXI-11: $(cat "$out")" >&2
    exit 1
fi

echo "lxi benchmark, *IDN? ($count requests):"
echo "  raw:    $(lxi benchmark -r -a 127.0.0.1 -p "$port" -c "$count" | sed -n "s/.*Result: //p")"
echo "  VXI-11: $(lxi benchmark -a 127.0.0.1 -c "$count" | sed -n "s/.*Result: //p")"

echo "setting + *OPC? through PyVISA ($count each, ms: median, 95th percentile, mean):"
/usr/bin/python3 - "$port" "$count" <<'PY'
import statistics, sys, time, pyvisa
port, count = int(sys.argv[1]), int(sys.argv[2])
rm = pyvisa.ResourceManager("@py")
for kind, name in (("raw", f"TCPIP::127.0.0.1::{port}::SOCKET"),
                   ("VXI-11", "TCPIP::127.0.0.1::INSTR")):
    inst = rm.open_resource(name, read_termination="\n", write_termination="\n")
    inst.timeout = 30000
    # Every output on (a setting of a channel that is off is kept, not sent).
    inst.write("*RST")
    assert inst.query("*OPC?;OUTP1?") == "1;1"
    ms = []
    for i in range(20 + count):  # the first 20 warm up
        t = time.perf_counter()
        assert inst.query(f"SOUR1:FREQ {1000000 + i};*OPC?") == "1"
        ms.append((time.perf_counter() - t) * 1000)
    ms = sorted(ms[20:])
    print(f"  {kind + ':':8}{statistics.median(ms):.3f}  {ms[len(ms) * 95 // 100]:.3f}  "
          f"{statistics.fmean(ms):.3f}")
    inst.close()
PY
