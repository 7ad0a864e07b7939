"""morvane-cli serve over VXI-11 (TCPIP::127.0.0.1::INSTR), with Debian's lxi-tools and PyVISA
as the clients, against the in-process simulator ("--port sim").

Uses the system's rpcbind; starts one (in the foreground, as its child) when none answers on
127.0.0.1:111 and stops only that one.

    test_serve_vxi11.py MORVANE_CLI [MORVANE]

With the console's program as well, the console's server is checked over VXI-11 too.

Exits 77 (CTest's skip code here) when lxi, PyVISA, pyvisa-py or rpcbind is missing, or when
another VXI-11 server holds the registration.
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import warnings

try:
    import pyvisa
    import pyvisa_py  # noqa: F401  (the "@py" backend)
    from pyvisa import constants
    from pyvisa_py.protocols import vxi11
except ImportError as e:
    print(f"skipped: {e} (Debian python3-pyvisa and python3-pyvisa-py)")
    sys.exit(77)

CLI = sys.argv[1]
CONSOLE = sys.argv[2] if len(sys.argv) > 2 and sys.argv[2] else None
LXI = shutil.which("lxi")
RPCBIND = shutil.which("rpcbind") or "/usr/sbin/rpcbind"
VXI11_PROGRAM = 0x0607AF
WAITLOCK, END = 0x01, 0x08
REASON_REQCNT, REASON_END = 0x01, 0x04


def answers(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2):
            return True
    except OSError:
        return False


def read_line(stream, seconds):
    """The next line of stream, or "" when none comes within seconds."""
    box = []
    reader = threading.Thread(target=lambda: box.append(stream.readline()), daemon=True)
    reader.start()
    reader.join(seconds)
    return box[0].strip() if box else ""


class Server:
    """morvane-cli --port sim serve on 127.0.0.1, raw port of the system's choice."""

    def __init__(self, *extra):
        self.proc = subprocess.Popen(
            [CLI, "--port", "sim", "serve", "--listen", "127.0.0.1:0", *extra],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().strip()  # "serving sim on 127.0.0.1:PORT"
        if not line.startswith("serving "):
            raise RuntimeError("serve did not start: " + line + self.proc.stderr.read())
        self.port = int(line.rsplit(":", 1)[1])

    def vxi11_line(self):
        return self.proc.stdout.readline().strip()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)
        self.stderr = self.proc.stderr.read()
        self.proc.stdout.close()
        self.proc.stderr.close()


def lxi(*args):
    r = subprocess.run([LXI, "scpi", "-t", "10", *args], capture_output=True, text=True,
                       timeout=60)
    return r.returncode, r.stdout.strip(), r.stderr.strip()


class Vxi11Test(unittest.TestCase):
    server = None

    @classmethod
    def setUpClass(cls):
        cls.server = Server("--max-clients", "3")
        line = cls.server.vxi11_line()
        if not line.startswith("VXI-11 on 127.0.0.1"):
            err = cls.server.proc.stderr.readline().strip()
            cls.server.stop()
            raise unittest.SkipTest("VXI-11 not served: " + line + err)
        cls.rm = pyvisa.ResourceManager("@py")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        # SIGTERM ends serve with status 0 (and, under the sanitizers, nothing to report).
        assert cls.server.proc.returncode == 0, cls.server.stderr
        # Unregistered on the way out.
        out = subprocess.run(["rpcinfo", "-p", "127.0.0.1"], capture_output=True, text=True)
        assert str(VXI11_PROGRAM) not in out.stdout, out.stdout

    def open(self):
        inst = self.rm.open_resource("TCPIP::127.0.0.1::INSTR", read_termination="\n",
                                     write_termination="\n")
        inst.timeout = 20000
        self.addCleanup(inst.close)
        return inst

    def test_lxi_vxi11_and_raw(self):
        for args in (["-a", "127.0.0.1"], ["-r", "-a", "127.0.0.1", "-p", str(self.server.port)]):
            with self.subTest(args=args):
                rc, out, err = lxi(*args, "*IDN?")
                self.assertEqual(rc, 0, err)
                self.assertIn("QM-TRV", out)
        # A setting through one link, its query through the next.
        self.assertEqual(lxi("-a", "127.0.0.1", "SOUR2:FREQ 2500000")[0], 0)
        self.assertEqual(lxi("-a", "127.0.0.1", "SOUR2:FREQ?")[1], "2500000")

    def test_pyvisa_instr(self):
        inst = self.open()
        self.assertIn("QM-TRV", inst.query("*IDN?"))
        inst.write("SOUR3:FREQ 1234567")
        self.assertEqual(inst.query("SOUR3:FREQ?"), "1234567")
        # Two queries on one line: one answer, both parts.
        self.assertEqual(inst.query("SOUR3:FREQ?;SOUR3:FREQ?"), "1234567;1234567")
        inst.write("FOO:BAR")
        self.assertTrue(inst.read_stb() & 0x04, "error queue bit")
        self.assertTrue(inst.query("SYST:ERR?").startswith("-113,"))
        self.assertEqual(inst.query("SYST:ERR?"), '0,"No error"')
        self.assertEqual(inst.read_stb() & 0x04, 0)
        # The serial poll carries the event summary of an enabled event, and *ESR? the event.
        inst.write("*CLS;*ESE 32")
        inst.write("FOO:BAR")
        self.assertTrue(inst.read_stb() & 0x20, "event summary bit")
        self.assertEqual(inst.query("*ESR?"), "32")
        self.assertEqual(inst.read_stb() & 0x20, 0)
        inst.write("*CLS")
        # The error queue is the link's own.
        other = self.open()
        other.write("FOO:BAR")
        self.assertEqual(inst.query("SYST:ERR?"), '0,"No error"')
        self.assertTrue(other.query("SYST:ERR?").startswith("-113,"))
        # A device clear drops an unread answer.
        inst.write("*IDN?")
        inst.clear()
        self.assertEqual(inst.query("SOUR3:FREQ?"), "1234567")

    def test_lock(self):
        a, b = self.open(), self.open()
        a.lock_excl(timeout=0)
        with self.assertRaises(pyvisa.VisaIOError) as refused:
            b.lock_excl(timeout=0)
        self.assertEqual(refused.exception.error_code, constants.StatusCode.error_resource_locked)
        with self.assertRaises(pyvisa.VisaIOError):
            b.query("*IDN?")  # pyvisa-py reports the lock error of a write as an I/O error
        rc, _, _ = lxi("-a", "127.0.0.1", "*IDN?")
        self.assertNotEqual(rc, 0, "lxi served while another link held the lock")
        self.assertIn("QM-TRV", a.query("*IDN?"))
        # A link that waits for the lock (waitlock, which pyvisa-py's lock() does not ask for:
        # its VXI-11 client is used as it is) stalls no other link, and gets the lock once
        # released.
        waiter = vxi11.CoreClient("127.0.0.1")
        self.addCleanup(waiter.close)
        error, lid, _, _ = waiter.create_link(7, 0, 0, "inst0")
        self.assertEqual(error, 0)
        result = []
        thread = threading.Thread(
            target=lambda: result.append(waiter.device_lock(lid, WAITLOCK, 60000)))
        thread.start()
        time.sleep(0.5)  # lets the waiting call arrive first; no result depends on it
        self.assertIn("QM-TRV", a.query("*IDN?"))
        a.unlock()
        thread.join(timeout=120)
        self.assertEqual(result, [0])
        with self.assertRaises(pyvisa.VisaIOError):
            a.query("*IDN?")
        self.assertEqual(waiter.device_unlock(lid), 0)
        self.assertIn("QM-TRV", b.query("*IDN?"))
        self.assertEqual(waiter.destroy_link(lid), 0)

    def test_read_without_answer_times_out(self):
        client = vxi11.CoreClient("127.0.0.1")
        self.addCleanup(client.close)
        error, lid, _, _ = client.create_link(8, 0, 0, "inst0")
        self.assertEqual(error, 0)
        self.assertEqual(client.device_write(lid, 1000, 0, END, b"SOUR1:FREQ 1000")[0], 0)
        error, _, data = client.device_read(lid, 100, 200, 0, 0, 0)
        self.assertEqual((error, data), (vxi11.ErrorCodes.io_timeout, b""))
        # One message over two writes (END on the second), read in parts.
        client.device_write(lid, 1000, 0, 0, b"*ID")
        client.device_write(lid, 1000, 0, END, b"N?")
        error, reason, first = client.device_read(lid, 4, 5000, 0, 0, 0)
        self.assertEqual((error, reason, first), (0, REASON_REQCNT, b"Halv"))
        error, reason, rest = client.device_read(lid, 1000, 5000, 0, 0, 0)
        self.assertEqual((error, reason), (0, REASON_END))
        self.assertTrue(rest.endswith(b"\n"))
        self.assertEqual(client.destroy_link(lid), 0)
        self.assertEqual(client.destroy_link(lid), vxi11.ErrorCodes.invalid_link_identifier)

    def test_writes_run_their_lines(self):
        client = vxi11.CoreClient("127.0.0.1")
        self.addCleanup(client.close)
        error, lid, _, _ = client.create_link(9, 0, 0, "inst0")
        self.assertEqual(error, 0)

        def lines(channel):
            return b"".join(b"SOUR%d:FREQ %d\n" % (channel, 1000001 + i) for i in range(40))

        # More lines than a link has in flight, in one write: answered once all have run.
        data = lines(6)
        self.assertEqual(client.device_write(lid, 20000, 0, END, data), (0, len(data)))
        # Another connection may not use the link.
        other = vxi11.CoreClient("127.0.0.1")
        self.addCleanup(other.close)
        invalid = vxi11.ErrorCodes.invalid_link_identifier
        self.assertEqual(other.device_write(lid, 1000, 0, END, b"*RST")[0], invalid)
        self.assertEqual(other.destroy_link(lid), invalid)
        # A write out of time at once takes what it handed over; those lines still run after
        # the link is destroyed.
        data = lines(7)
        error, size = client.device_write(lid, 0, 0, END, data)
        self.assertIn(error, (0, vxi11.ErrorCodes.io_timeout))
        self.assertGreater(size, 0)
        self.assertEqual(client.destroy_link(lid), 0)
        last = data[:size].split(b"\n")[-2].split()[1].decode()
        inst = self.open()
        self.assertEqual(inst.query("SOUR6:FREQ?"), "1000040")
        self.assertEqual(inst.query("*OPC?"), "1")  # after the destroyed link's lines
        self.assertEqual(inst.query("SOUR7:FREQ?"), last)

    def test_client_limit(self):
        # --max-clients 3: three links, and the fourth refused; a closed link frees its place.
        links = [self.open() for _ in range(3)]
        with self.assertRaisesRegex(Exception, "error creating link: 9"):
            self.open()  # out of resources
        links[0].close()
        self.assertIn("QM-TRV", self.open().query("*IDN?"))


class Vxi11LimitsTest(unittest.TestCase):
    """The server's rules for raw clients hold for links: idle close, and turns."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server("--idle-timeout", "2")
        cls.core_line = cls.server.vxi11_line()
        if not cls.core_line.startswith("VXI-11 on"):
            cls.server.stop()
            raise unittest.SkipTest("VXI-11 not served")
        cls.rm = pyvisa.ResourceManager("@py")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_an_idle_link_is_closed_and_a_new_one_served(self):
        inst = self.rm.open_resource("TCPIP::127.0.0.1::INSTR", read_termination="\n",
                                     write_termination="\n")
        inst.timeout = 5000
        self.assertIn("QM-TRV", inst.query("*IDN?"))
        time.sleep(5)
        with self.assertRaises(Exception):
            inst.query("*IDN?")
        inst.close()
        rc, out, err = lxi("-a", "127.0.0.1", "*IDN?")
        self.assertEqual(rc, 0, err)

    def test_a_connection_without_a_link_is_closed_when_idle(self):
        core = int(self.core_line.split("core port ")[1].split(",")[0])
        with socket.create_connection(("127.0.0.1", core), timeout=10) as quiet:
            self.assertEqual(quiet.recv(16), b"")  # closed after the idle limit, not held

    def test_a_link_is_served_in_turn_beside_a_raw_flood(self):
        flood = socket.create_connection(("127.0.0.1", self.server.port))
        self.addCleanup(flood.close)
        flood.sendall(b"NOPE\nSYST:ERR?\n" * 3000)  # its answers are not read yet
        started = time.monotonic()
        rc, out, err = lxi("-a", "127.0.0.1", "*OPC?")
        self.assertEqual((rc, out), (0, "1"), err)
        # Far less than the flood's turn: the link's line waits for one line of the flood.
        self.assertLess(time.monotonic() - started, 30)


@unittest.skipIf(CONSOLE is None, "no console program given")
class ConsoleVxi11Test(unittest.TestCase):
    """morvane --simulate --serve: the console's server speaks VXI-11 as serve does."""

    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.TemporaryDirectory()
        runtime = os.path.join(cls.home.name, "run")
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime,
                   XDG_CONFIG_HOME=os.path.join(cls.home.name, "config"), HOME=cls.home.name)
        shutil.copy(os.path.join(os.path.dirname(__file__), "..", "..", "config", "setup.ini"),
                    cls.home.name)
        cls.proc = subprocess.Popen([CONSOLE, "--simulate", "--serve", "127.0.0.1:0"],
                                    cwd=cls.home.name, env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
        # The console's own lines ("morvane: ...") among what the start prints.
        cls.lines = []
        while len(cls.lines) < 2:
            line = read_line(cls.proc.stdout, 60)
            if not line:
                break
            if line.startswith("morvane: "):
                cls.lines.append(line)

    @classmethod
    def tearDownClass(cls):
        cls.proc.terminate()
        cls.proc.wait(timeout=30)
        cls.proc.stdout.close()
        cls.proc.stderr.close()
        cls.home.cleanup()

    def test_settings_and_queries_over_vxi11(self):
        self.assertEqual(len(self.lines), 2, self.lines)
        self.assertTrue(self.lines[0].startswith("morvane: serving on 127.0.0.1:"), self.lines)
        self.assertTrue(self.lines[1].startswith("morvane: VXI-11 on core port "), self.lines)
        self.assertEqual(lxi("-a", "127.0.0.1", "SOUR1:FREQ 2500000")[0], 0)
        # In Hz as the module's word reproduces it (setup.ini's clock does not give 2.5 MHz
        # exactly), the same through VXI-11 and raw.
        answer = lxi("-a", "127.0.0.1", "SOUR1:FREQ?")[1]
        self.assertAlmostEqual(float(answer), 2.5e6, delta=1)
        raw = int(self.lines[0].rsplit(":", 1)[1])
        rc, out, err = lxi("-r", "-a", "127.0.0.1", "-p", str(raw), "SOUR1:FREQ?")
        self.assertEqual((rc, out), (0, answer), err)


def main():
    # pyvisa-py's port mapper client leaves its sockets to the collector.
    warnings.simplefilter("ignore", ResourceWarning)
    if LXI is None:
        print("skipped: lxi (Debian lxi-tools) is missing")
        return 77
    started = None
    if not answers(111):
        # First: without rpcbind, serve still serves raw sockets and says why not VXI-11.
        s = Server()
        ok = answers(s.port)
        s.stop()
        if not ok or "VXI-11 off (rpcbind is not running)" not in s.stderr:
            print("serve without rpcbind: " + s.stderr)
            return 1
        try:
            started = subprocess.Popen([RPCBIND, "-f"], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        except OSError as e:
            print(f"skipped: cannot start rpcbind: {e}")
            return 77
        for _ in range(100):
            if answers(111) or started.poll() is not None:
                break
            time.sleep(0.1)
        if not answers(111):
            print("skipped: rpcbind did not start (it needs root)")
            return 77
    try:
        result = unittest.main(argv=[sys.argv[0]], exit=False).result
        if result.skipped and not result.wasSuccessful():
            return 1
        if result.skipped and result.testsRun == len(result.skipped):
            return 77
        return 0 if result.wasSuccessful() else 1
    finally:
        if started is not None:
            started.terminate()
            started.wait(timeout=30)


if __name__ == "__main__":
    sys.exit(main())
