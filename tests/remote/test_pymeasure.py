"""The PyMeasure class of python/morvane against morvane-cli serve on its built-in simulated
module, over a raw socket on 127.0.0.1: settings and their read-back, mode and update, clocks,
values the class refuses, and errors the server reports.

    test_pymeasure.py MORVANE_CLI

Exits 77 (CTest's skip code here) when PyMeasure, PyVISA or its pure-Python backend is missing.
"""

import os
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "python"))
try:
    import pymeasure  # noqa: F401
    import pyvisa_py  # noqa: F401  (the "@py" backend)
    from morvane import QmTrv, QmTrvError
except ImportError as e:
    print(f"skipped: {e} (Debian python3-pymeasure and python3-pyvisa-py)")
    sys.exit(77)

CLI = sys.argv[1]


class QmTrvTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.server = subprocess.Popen(
            [CLI, "--port", "sim", "serve", "--listen", "127.0.0.1:0", "--no-vxi11"],
            stdout=subprocess.PIPE, text=True,
            env=dict(os.environ, XDG_CONFIG_HOME=cls.dir.name))
        line = cls.server.stdout.readline().strip()  # "serving sim on 127.0.0.1:PORT"
        if not line.startswith("serving "):
            raise RuntimeError("serve did not start: " + line)
        port = int(line.rsplit(":", 1)[1])
        cls.dds = QmTrv(f"TCPIP::127.0.0.1::{port}::SOCKET", visa_library="@py")

    @classmethod
    def tearDownClass(cls):
        cls.dds.adapter.connection.close()
        cls.server.terminate()
        cls.server.wait(timeout=30)
        cls.server.stdout.close()
        cls.dir.cleanup()

    def test_1_server_errors_surface(self):
        # A fresh server's channels have no frequency: switching one on is refused there.
        with self.assertRaises(QmTrvError) as refused:
            self.dds.ch_5.output = True
        self.assertEqual(refused.exception.code, -221)
        # A refused query gets no answer: its error comes at once, not as a time-out.
        with self.assertRaises(QmTrvError) as refused:
            self.dds.ask("SOUR13:FREQ?")
        self.assertEqual(refused.exception.code, -113)
        # Errors of raw writes come at the next check, all of them, oldest first.
        self.dds.write("SOUR1:AMPL 150")
        self.dds.write("BOGUS")
        with self.assertRaises(QmTrvError) as refused:
            self.dds.check_errors()
        self.assertEqual([code for code, _ in refused.exception.errors], [-222, -113])
        self.assertEqual(self.dds.check_errors(), [])

    def test_2_settings_read_back(self):
        self.assertTrue(self.dds.id.startswith("Halvorn,QM-TRV,0,"))
        self.assertEqual(self.dds.clocks, (10e6, 100e6, 100e6))
        self.assertTrue(self.dds.self_test())
        ch = self.dds.ch_2
        step = 100e6 / 2**32
        for name, value, back, delta in [("frequency", 12.5e6, 12.5e6, step),
                                         ("amplitude", 40, 40, 0.05),
                                         ("phase", -90, 270, 0.05),
                                         ("output", True, True, 0),
                                         ("frequency", 1234.5, 1234.5, step),
                                         ("output", False, False, 0)]:
            with self.subTest(name=name, value=value):
                setattr(ch, name, value)
                self.assertAlmostEqual(getattr(ch, name), back, delta=delta)
        ch.apply(2e6, 25, 45)
        self.assertEqual(ch.applied, (2e6, 25, 45))
        self.assertIs(self.dds.channels[2], ch)

    def test_3_values_refused_by_the_class(self):
        ch = self.dds.ch_3
        ch.apply(3e6, 30, 30)
        kept = ch.applied
        for name, value in [("frequency", 0), ("frequency", 50e6), ("frequency", "1e6"),
                            ("amplitude", 100.5), ("amplitude", float("nan")),
                            ("phase", float("inf")), ("output", "on")]:
            with self.subTest(name=name, value=value):
                self.assertRaises(ValueError, setattr, ch, name, value)
        self.assertRaises(ValueError, setattr, self.dds, "mode", "dual")
        for call, value in [(self.dds.initialize, 9), (self.dds.save, 10),
                            (self.dds.recall, -1)]:
            self.assertRaises(ValueError, call, value)
        # Nothing of it reached the server.
        self.assertEqual(self.dds.check_errors(), [])
        self.assertEqual(ch.applied, kept)

    def test_4_multiple_mode_waits_for_update(self):
        ch = self.dds.ch_4
        ch.apply(4e6, 50, 0)
        ch.output = True
        self.dds.mode = "multiple"
        self.assertEqual(self.dds.mode, "multiple")
        ch.frequency = 5e6
        self.assertTrue(self.dds.update_pending)
        self.dds.update()
        self.assertFalse(self.dds.update_pending)
        self.dds.mode = "single"
        self.assertEqual(self.dds.mode, "single")

    def test_5_clock_mode_sets_the_frequency_range(self):
        self.dds.initialize(8)  # 1 GHz DDS clock
        self.assertEqual(self.dds.clocks.dds, 1e9)
        self.dds.ch_1.frequency = 400e6
        self.dds.reset()  # keeps clock mode 8; every channel 10 MHz, on
        self.assertEqual(self.dds.frequency_range[1], 500e6)
        self.assertEqual(self.dds.ch_1.applied, (10e6, 0, 0))
        self.dds.initialize(2)
        self.assertRaises(ValueError, setattr, self.dds.ch_1, "frequency", 400e6)

    def test_6_shutdown_switches_every_output_off(self):
        self.dds.mode = "multiple"
        self.dds.shutdown()
        self.assertEqual([ch.output for ch in self.dds.channels.values()], [False] * 12)
        self.assertFalse(self.dds.update_pending)
        self.dds.mode = "single"


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
