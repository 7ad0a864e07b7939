#!/usr/bin/python3
"""The pyserial counterpart of `morvane-cli --port PORT --baud BAUD script`, for bench/compare.sh.

Reads one command a line from standard input ('#' starts a comment), sends each with a carriage
return, gathers the reply up to the prompt ">" and prints the field count and the fields as the
tool's `send` does (upper case; commas and LF end a field; CR and ">" are skipped). Before the
first command it probes the module: a lone CR must be answered with CR, LF and the prompt
within 100 ms.

Written as a careful pyserial user would: the reply is read in batches of what is queued
(`in_waiting`), not a byte per call, and standard output is buffered by Python when it is not a
terminal.

    /usr/bin/python3 bench/pyserial_client.py PORT [BAUD] < script.txt
"""
import sys

import serial

IDLE_TIMEOUT_S = 0.4  # 200 idle polls of 2 ms, as the tool gives up


def split_reply(reply: bytes) -> list:
    fields, current = [], bytearray()
    for c in reply.upper():
        if c in b",\n":
            fields.append(bytes(current))
            current = bytearray()
        elif c not in b"\r>":
            current.append(c)
    if current:
        fields.append(bytes(current))
    return fields[:16]


def read_reply(port: serial.Serial) -> bytes:
    reply = bytearray()
    while True:
        chunk = port.read(max(1, port.in_waiting))
        if not chunk:
            sys.stderr.write("T")
            return bytes(reply)
        reply += chunk
        if reply.endswith(b">"):
            return bytes(reply)


def main() -> int:
    if len(sys.argv) < 2:
        sys.stderr.write("usage: pyserial_client.py PORT [BAUD] < script\n")
        return 2
    baud = int(sys.argv[2]) if len(sys.argv) > 2 else 115200
    port = serial.Serial(sys.argv[1], baud, bytesize=8, parity="N", stopbits=1, timeout=0.1)
    port.write(b"\r")
    if port.read(3)[:2] != b"\r\n":
        sys.stderr.write(f"pyserial_client: no module answered the probe on {sys.argv[1]}\n")
        return 1
    port.reset_input_buffer()
    port.timeout = IDLE_TIMEOUT_S
    out = sys.stdout
    for line in sys.stdin:
        command = line.split("#", 1)[0].strip()
        if not command:
            continue
        words = command.split(None, 1)
        if words[0] != "send" or len(words) < 2:
            sys.stderr.write(f"pyserial_client: only send lines: {command}\n")
            return 2
        text = words[1].strip().strip('"').encode("latin-1")
        port.write(text + b"\r")
        fields = split_reply(read_reply(port))
        out.write(f"{len(fields)}\n")
        for field in fields:
            out.write(field[:31].decode("latin-1") + "\n")
    port.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
