"""morvane-cli serve driven with PyVISA, as a lab script drives it, against qmtrv-sim.

The simulator keeps its registers in a state file; after each setting the test asks "*OPC?"
(answered once the line before it has been executed) and then checks the registers the
setting should have changed, and that it took exactly one command on the line.

    test_serve_pyvisa.py MORVANE_CLI QMTRV_SIM

Exits 77 (CTest's skip code here) when PyVISA or its pure-Python backend is missing.
"""

import configparser
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

try:
    import pyvisa
    import pyvisa_py  # noqa: F401  (the "@py" backend)
except ImportError as e:
    print(f"skipped: {e} (Debian python3-pyvisa and python3-pyvisa-py)")
    sys.exit(77)

CLI, SIM = sys.argv[1], sys.argv[2]
WAIT_S = 30  # how long a state file may lag before the test gives up (not a speed bound)


def freq_word(f, fdds):
    return int((8589934592.0 * (f / fdds) + 1.0) / 2.0)


def phase_word(p):
    return int((16384.0 * p / 180.0 + 1.0) / 2.0)


def amp_word(a):
    return int((2048.0 * a + 1.0) / 2.0)


class Rig:
    """qmtrv-sim with a state file, and morvane-cli serving it on a port the system picks."""

    def __init__(self, listen="127.0.0.1:0", *extra):
        self.dir = tempfile.TemporaryDirectory()
        self.state_path = os.path.join(self.dir.name, "state")
        self.sim = subprocess.Popen([SIM, "--state-file", self.state_path],
                                    stdout=subprocess.PIPE, text=True)
        device = self.sim.stdout.readline().strip()
        # The configuration folder (where *SAV keeps its setups) is the test's, not the user's.
        self.config = os.path.join(self.dir.name, "config")
        self.server = subprocess.Popen(
            [CLI, "--port", device, "serve", "--listen", listen, *extra],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            env=dict(os.environ, XDG_CONFIG_HOME=self.config))
        line = self.server.stdout.readline().strip()  # "serving DEVICE on 127.0.0.1:PORT"
        if not line.startswith("serving "):
            raise RuntimeError("serve did not start: " + line + self.server.stderr.read())
        self.port = int(line.rsplit(":", 1)[1])
        self.rm = pyvisa.ResourceManager("@py")

    def open(self):
        inst = self.rm.open_resource(f"TCPIP::127.0.0.1::{self.port}::SOCKET",
                                     read_termination="\n", write_termination="\n")
        inst.timeout = 30000
        return inst

    def state(self):
        """The simulator's registers: {"commands": n, "applied": {ch: (f, p, a, on)},
        "pending": {ch: (f, p, a)}}."""
        s = {"commands": -1, "applied": {}, "pending": {}}
        try:
            with open(self.state_path) as f:
                for line in f:
                    w = line.split()
                    if w[0] == "commands":
                        s["commands"] = int(w[1])
                    elif w[0] == "applied":
                        s["applied"][int(w[1])] = tuple(int(x, 16) for x in w[2:6])
                    elif w[0] == "pending":
                        s["pending"][int(w[1])] = tuple(int(x, 16) for x in w[2:5])
        except FileNotFoundError:
            pass
        return s

    def state_after(self, commands):
        """The state once the simulator has handled `commands` commands."""
        deadline = time.monotonic() + WAIT_S
        while True:
            s = self.state()
            if s["commands"] >= commands or time.monotonic() > deadline:
                return s
            time.sleep(0.01)

    def close(self):
        """Stops both; the server must end with status 0 on SIGTERM (and, under the
        sanitizers, with nothing to report)."""
        self.rm.close()
        errors = ""
        for p in (self.server, self.sim):
            p.terminate()
            try:
                p.wait(timeout=WAIT_S)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
            if p is self.server:
                errors = p.stderr.read()
            for stream in (p.stdout, p.stderr):
                if stream:
                    stream.close()
        self.dir.cleanup()
        if self.server.returncode != 0:
            raise AssertionError(f"serve ended with {self.server.returncode}: {errors}")


class ServeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig()
        cls.inst = cls.rig.open()
        cls.inst.write("*RST")
        assert cls.inst.query("*OPC?") == "1"
        cls.idn = cls.inst.query("*IDN?")
        cls.fdds = float(cls.inst.query("SYST:CLOC?").split(",")[2])
        cls.count = cls.rig.state_after(2)["commands"]  # "DI" and "V"; the clocks are known

    @classmethod
    def tearDownClass(cls):
        cls.inst.close()
        cls.rig.close()

    def setting(self, line, sent):
        """Sends a line; checks that `sent` commands reached the module (no more) and returns
        the registers afterwards."""
        self.inst.write(line)
        self.assertEqual(self.inst.query("*OPC?"), "1")
        ServeTest.count += sent
        s = self.rig.state_after(self.count)
        self.assertEqual(s["commands"], self.count, line)
        self.assertEqual(self.inst.query("SYST:ERR?"), '0,"No error"', line)
        return s

    def test_1_identity_and_reset(self):
        idn = self.idn.split(",")
        self.assertEqual(idn[:3], ["Halvorn", "QM-TRV", "0"])
        self.assertTrue(idn[3].startswith("1.2/"), idn)
        self.assertEqual(self.fdds, 100e6)
        s = self.rig.state()
        ten = freq_word(10e6, self.fdds)
        for ch in range(12):
            self.assertEqual(s["applied"][ch], (ten, 0, 0, 1))
        self.assertEqual(self.inst.query("SOUR1:FREQ?;AMPL?;PHAS?;:OUTP1?"), "10000000;0;0;1")

    def test_2_settings_land_in_the_registers(self):
        f = self.fdds
        table = [
            # line, commands sent, channel, expected (freq, phase, amp, on)
            ("SOUR1:FREQ 12.5 MHz", 1, 0, (freq_word(12.5e6, f), 0, 0, 1)),
            ("SOUR1:AMPL 50PCT", 1, 0, (freq_word(12.5e6, f), 0, amp_word(0.5), 1)),
            ("source1:phase 90", 1, 0, (freq_word(12.5e6, f), phase_word(90), amp_word(0.5), 1)),
            ("SOUR2:APPL 1kHz,25,45", 1, 1, (freq_word(1e3, f), phase_word(45), amp_word(0.25), 1)),
            ("OUTP1 OFF", 1, 0, (0, phase_word(90), amp_word(0.5), 0)),
            # Off: kept and read back, not sent; ON sends what was kept.
            ("SOUR1:FREQ 3000000;AMPL 75", 0, 0, (0, phase_word(90), amp_word(0.5), 0)),
            ("OUTP1:STAT ON", 1, 0, (freq_word(3e6, f), phase_word(90), amp_word(0.75), 1)),
        ]
        for line, sent, ch, regs in table:
            with self.subTest(line=line):
                s = self.setting(line, sent)
                self.assertEqual(s["applied"][ch], regs)
        # Read back as the module's words reproduce them.
        f, a, p = (float(x) for x in self.inst.query("SOUR1:APPL?").split(","))
        self.assertAlmostEqual(f, 3e6, delta=self.fdds / 2**32)
        self.assertEqual((a, p), (75.0, 90.0))

    def test_3_refused_settings_send_nothing(self):
        for line, code in [("SOUR1:AMPL 150", "-222"), ("SOUR1:FREQ 60MHZ", "-222"),
                           ("SOUR13:FREQ 1MHZ", "-113"), ("OUTP1 MAYBE", "-224"),
                           ("SOUR1:FREQ ten", "-100")]:
            with self.subTest(line=line):
                self.inst.write(line)
                self.assertTrue(self.inst.query("SYST:ERR?").startswith(code + ","))
        # The next good setting is the only command the module has seen since.
        self.setting("SOUR4:FREQ 4MHZ", 1)

    def test_4_multiple_mode_waits_for_update(self):
        before = self.rig.state()["applied"][2]
        s = self.setting("SYST:MODE MULT;:SOUR3:FREQ 5MHZ", 1)
        self.assertEqual(s["applied"][2], before)
        self.assertEqual(s["pending"][2], (freq_word(5e6, self.fdds), 0, 0))
        s = self.setting("SYST:UPD;MODE SING", 1)
        self.assertEqual(s["applied"][2], (freq_word(5e6, self.fdds), 0, 0, 1))

    def test_5_long_line_keeps_the_connection(self):
        self.inst.write("SOUR1:FREQ " + "1" * 5000)
        self.assertTrue(self.inst.query("SYST:ERR?").startswith("-100,"))
        self.assertEqual(self.inst.query("*OPC?"), "1")

    def test_6_several_clients_each_setting_once_in_order(self):
        clients, settings = 4, 100
        sessions = [self.rig.open() for _ in range(clients)]
        start = threading.Barrier(clients)
        answers = [None] * clients

        def run(k):
            inst = sessions[k]
            start.wait()
            # Client k owns channel 5 + k and sends its settings without waiting for each.
            for i in range(settings):
                inst.write(f"SOUR{5 + k}:FREQ {(k + 1) * 1000000 + i * 1000}")
            answers[k] = (inst.query("*OPC?"), inst.query(f"SOUR{5 + k}:FREQ?"),
                          inst.query("SYST:ERR?"))

        threads = [threading.Thread(target=run, args=(k,)) for k in range(clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for inst in sessions:
            inst.close()
        ServeTest.count += clients * settings
        s = self.rig.state_after(self.count)
        self.assertEqual(s["commands"], self.count)  # each setting exactly once
        for k in range(clients):
            last = (k + 1) * 1000000 + (settings - 1) * 1000
            self.assertEqual(answers[k][0], "1")
            self.assertAlmostEqual(float(answers[k][1]), last, delta=self.fdds / 2**32)
            self.assertEqual(answers[k][2], '0,"No error"')
            # The last setting of each client landed last.
            self.assertEqual(s["applied"][4 + k][0], freq_word(last, self.fdds))

    def test_7_vanished_client_costs_nothing(self):
        c = socket.create_connection(("127.0.0.1", self.rig.port))
        c.sendall(b"SOUR9:FREQ 9MHZ;FREQ?\n")
        c.close()  # gone before its answer
        ServeTest.count += 1
        s = self.rig.state_after(self.count)
        self.assertEqual(s["commands"], self.count)
        self.assertEqual(s["applied"][8][0], freq_word(9e6, self.fdds))
        self.assertAlmostEqual(float(self.inst.query("SOUR9:FREQ?")), 9e6,
                               delta=self.fdds / 2**32)

    def test_8_status_and_self_test(self):
        inst = self.rig.open()  # a new connection: its own registers, power on set
        try:
            self.assertEqual(inst.query("*ESR?"), "128")
            inst.write("SOUR1:FREQ 0.01")  # below one DDS step
            self.assertEqual(inst.query("*STB?"), "4")
            self.assertEqual(inst.query("*ESR?"), "16")
            self.assertTrue(inst.query("SYST:ERR?").startswith("-222,"))
            # The probe goes to the module (the simulator answers it).
            self.assertEqual(inst.query("*TST?;STAT:QUES:COND?;:SYST:VERS?"), "0;0;1999.0")
        finally:
            inst.close()

    def test_9_saved_setup_comes_back(self):
        self.setting("SOUR2:APPL 2MHZ,20,30;:SOUR6:APPL 6MHZ,60,120", 2)
        kept = self.inst.query("SOUR2:APPL?;:SOUR6:APPL?")  # as the module's words give them
        saved = self.setting("*SAV 3", 0)["applied"]
        # A channel-setup file in the user's configuration folder, the channels without a
        # panel row in sections of their own.
        setup = configparser.ConfigParser()
        setup.read(os.path.join(self.rig.config, "Halvorn", "Morvane", "setup-3.ini"))
        for section, answer in zip(("CH2", "IDX5"), kept.split(";")):
            with self.subTest(section=section):
                f, a, p = (float(x) for x in answer.split(","))
                self.assertAlmostEqual(float(setup[section]["FREQ"]) * 1e6, f, delta=1e-6)
                self.assertEqual((float(setup[section]["AMP"]), float(setup[section]["PHASE"]),
                                  setup[section]["ON"]), (a, p, "1"))
        self.setting("SOUR2:FREQ 7MHZ;:SOUR6:AMPL 10", 2)
        # Every channel that is on is sent as it was saved.
        on = sum(1 for regs in saved.values() if regs[3])
        self.assertEqual(self.setting("*RCL 3", on)["applied"], saved)
        self.assertEqual(self.inst.query("SOUR2:APPL?;:SOUR6:APPL?"), kept)

def served(host, port):
    """True when the server answers "*OPC?" on a new connection; False when it closes it
    without a byte."""
    with socket.create_connection((host, port), timeout=WAIT_S) as c:
        try:
            c.sendall(b"*OPC?\n")
            reply = c.recv(16)
        except (ConnectionResetError, BrokenPipeError):
            return False  # closed before (or while) the line arrived
    if reply not in (b"", b"1\n"):
        raise AssertionError(f"unexpected reply {reply!r}")
    return reply == b"1\n"


class SafetyTest(unittest.TestCase):
    def test_client_limit(self):
        rig = Rig("127.0.0.1:0", "--max-clients", "2")
        try:
            held = [socket.create_connection(("127.0.0.1", rig.port)) for _ in range(2)]
            for c in held:
                c.sendall(b"*OPC?\n")
                self.assertEqual(c.recv(16), b"1\n")
            self.assertFalse(served("127.0.0.1", rig.port))  # the third is refused
            held.pop().close()
            # A place is free again once the server has seen the close.
            deadline = time.monotonic() + WAIT_S
            admitted = served("127.0.0.1", rig.port)
            while not admitted and time.monotonic() < deadline:
                time.sleep(0.05)
                admitted = served("127.0.0.1", rig.port)
            self.assertTrue(admitted)
            for c in held:
                c.close()
        finally:
            rig.close()

    def test_non_loopback_needs_allow(self):
        r = subprocess.run([CLI, "--port", "sim", "serve", "--listen", "0.0.0.0:0"],
                           capture_output=True, text=True, timeout=WAIT_S)
        self.assertEqual(r.returncode, 2)
        self.assertIn("--allow", r.stderr)
        for bad in (["--listen", "localhost:5025"], ["--listen", "127.0.0.1:70000"],
                    ["--allow", "10.0.0.0/33"], ["--allow", "ten"],
                    ["--allow", "192.168.1.77/24"], ["--allow", "1.2.3.4::/16"]):
            r = subprocess.run([CLI, "--port", "sim", "serve", *bad],
                               capture_output=True, text=True, timeout=WAIT_S)
            self.assertEqual(r.returncode, 2, bad)

    def test_loopback_is_served_whatever_the_ranges(self):
        # Tests reach the server over loopback only; which other clients a range admits is
        # the admission rule's own test (test_remote_net).
        rig = Rig("127.0.0.1:0", "--allow", "192.0.2.0/24")
        try:
            self.assertTrue(served("127.0.0.1", rig.port))
        finally:
            rig.close()


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
