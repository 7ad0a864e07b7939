"""morvane-cli serve's raw sockets against clients that misbehave, with plain sockets on
127.0.0.1 and ::1, against the in-process simulator ("--port sim"), without VXI-11.

    test_serve_sockets.py MORVANE_CLI
"""

import os
import resource
import socket
import subprocess
import sys
import time
import unittest

CLI = sys.argv[1]
WAIT_S = 30  # how long the test waits for what must happen (not a speed bound)


def help_text():
    return subprocess.run([CLI, "serve", "--help"], capture_output=True, text=True).stdout


NO_VXI11 = ["--no-vxi11"] if "--no-vxi11" in help_text() else []


class Server:
    def __init__(self, *extra, listen="127.0.0.1:0", files=None):
        def limit():
            if files is not None:
                resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))

        self.proc = subprocess.Popen(
            [CLI, "--port", "sim", "serve", "--listen", listen, *NO_VXI11, *extra],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=limit)
        line = self.proc.stdout.readline().strip()  # "serving sim on 127.0.0.1:PORT"
        if not line.startswith("serving "):
            raise RuntimeError("serve did not start: " + line + self.proc.stderr.read())
        self.port = int(line.rsplit(":", 1)[1])

    def cpu_seconds(self):
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=WAIT_S)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.proc.returncode


def served(port, host="127.0.0.1", timeout=WAIT_S):
    """True when a new connection gets "*OPC?" answered within timeout."""
    try:
        with socket.create_connection((host, port), timeout=timeout) as c:
            c.sendall(b"*OPC?\n")
            return c.recv(16) == b"1\n"
    except OSError:
        return False


def served_soon(port):
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        if served(port, timeout=2):
            return True
        time.sleep(0.1)
    return False


def read_all(c):
    data = b""
    while chunk := c.recv(65536):
        data += chunk
    return data


class SocketTest(unittest.TestCase):
    def serve(self, *args, **kw):
        s = Server(*args, **kw)
        self.addCleanup(lambda: self.assertEqual(s.stop(), 0))
        return s

    def test_client_that_stops_reading_is_closed(self):
        s = self.serve("--max-clients", "1", "--write-timeout", "1")
        stalled = socket.socket()
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stalled.connect(("127.0.0.1", s.port))
        self.addCleanup(stalled.close)
        # Lines whose answers are longer than they are, sent until the server stops taking
        # them, and never read.
        line = b";".join([b"SYST:ERR?"] * 400) + b"\n"
        stalled.settimeout(2)
        try:
            while True:
                stalled.sendall(line)
        except OSError:  # the send timed out (the server holds back), or it closed us
            pass
        self.assertTrue(served_soon(s.port), "the only client place stayed taken")

    def test_idle_client_is_closed(self):
        s = self.serve("--idle-timeout", "1")
        with socket.create_connection(("127.0.0.1", s.port), timeout=WAIT_S) as c:
            c.sendall(b"*OPC?\n")
            self.assertEqual(read_all(c), b"1\n")  # answered, then closed when idle

    def test_half_closed_client_gets_every_answer(self):
        s = self.serve()
        table = [
            ([b"*OPC?"], [b"1"]),
            # More than one read of the server's, and more answers than one write.
            ([b"SOUR2:FREQ 2000000", b"*OPC?"] + [b"SOUR2:FREQ?"] * 3000,
             [b"1"] + [b"2000000"] * 3000),
        ]
        for lines, expected in table:
            with self.subTest(lines=len(lines)):
                with socket.create_connection(("127.0.0.1", s.port), timeout=WAIT_S) as c:
                    c.sendall(b"\n".join(lines) + b"\n")
                    c.shutdown(socket.SHUT_WR)
                    self.assertEqual(read_all(c).split(b"\n"), expected + [b""])

    def test_accept_out_of_descriptors_rests(self):
        # Descriptors for what serve opens itself and three clients.
        probe = self.serve()
        base = len(os.listdir(f"/proc/{probe.proc.pid}/fd"))
        s = self.serve("--max-clients", "100", files=base + 3)
        held = []
        self.addCleanup(lambda: [c.close() for c in held])
        waiting = None
        for _ in range(10):
            c = socket.create_connection(("127.0.0.1", s.port), timeout=WAIT_S)
            c.sendall(b"*OPC?\n")
            c.settimeout(2)
            try:
                self.assertEqual(c.recv(16), b"1\n")
                held.append(c)
            except socket.timeout:
                waiting = c  # in the backlog: accept fails
                break
        self.assertIsNotNone(waiting, "accept never ran out of descriptors")
        self.addCleanup(waiting.close)
        before = s.cpu_seconds()
        time.sleep(2)
        self.assertLess(s.cpu_seconds() - before, 0.5, "the failing accept spins")
        held.pop().close()
        waiting.settimeout(WAIT_S)
        self.assertEqual(waiting.recv(16), b"1\n")  # taken once a descriptor is free

    def test_any_address_serves_ipv4_and_ipv6(self):
        s = self.serve("--allow", "127.0.0.1/32", listen="[::]:0")
        for host in ("127.0.0.1", "::1"):
            with self.subTest(host=host):
                self.assertTrue(served(s.port, host))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
