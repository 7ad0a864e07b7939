#!/usr/bin/env bash
# Round trips through serve over raw TCP and VXI-11 (figures only): lxi benchmark (*IDN?) each
# way, and a setting followed by *OPC? through PyVISA's SOCKET and INSTR resources.
#   bench/vxi11_bench.sh MORVANE_CLI [COUNT]
# Starts rpcbind when none answers on 127.0.0.1:111 and stops only that one.
set -euo pipefail
cli=$1
count=${2:-200}
started=
if ! (exec 3<>/dev/tcp/127.0.0.1/111) 2>/dev/null; then
    /usr/sbin/rpcbind -f & started=$!
    sleep 1
fi
out=$(mktemp)
"$cli" --port sim serve --listen 127.0.0.1:0 >"$out" &
serve=$!
trap 'kill $serve; [[ -n $started ]] && kill $started; rm -f $out' EXIT
sleep 2
port=$(head -1 "$out" | sed 's/.*://')
echo "raw:    $(lxi benchmark -r -a 127.0.0.1 -p "$port" -c "$count" | sed -n "s/.*Result: //p")"
echo "VXI-11: $(lxi benchmark -a 127.0.0.1 -c "$count" | sed -n "s/.*Result: //p")"
/usr/bin/python3 - "$port" "$count" <<'PY'
import sys, time, pyvisa
port, count = int(sys.argv[1]), int(sys.argv[2]) // 4
rm = pyvisa.ResourceManager("@py")
for name in (f"TCPIP::127.0.0.1::{port}::SOCKET", "TCPIP::127.0.0.1::INSTR"):
    inst = rm.open_resource(name, read_termination="\n", write_termination="\n")
    inst.timeout = 30000
    t = time.perf_counter()
    for i in range(count):
        inst.query(f"SOUR1:FREQ {1000000 + i};*OPC?")
    ms = (time.perf_counter() - t) * 1000 / count
    print(f"setting + *OPC? over {name}: {ms:.2f} ms")
    inst.close()
PY
