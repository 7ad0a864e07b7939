"""The PyMeasure class of python/morvane against morvane-cli serve on its built-in simulated
module, over a raw socket on 127.0.0.1. Exits 77 (CTest's skip code here) when PyMeasure,
PyVISA or its pure-Python backend is missing.

    test_pymeasure.py MORVANE_CLI
"""

import os
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../python"))
try:
    import pyvisa_py  # noqa: F401  (the "@py" backend)
    from morvane import QmTrv, QmTrvError
except ImportError as e:
    print(f"skipped: {e} (Debian python3-pymeasure and python3-pyvisa-py)")
    sys.exit(77)

CLI = sys.argv[1]


class QmTrvTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = subprocess.Popen(
            [CLI, "--port", "sim", "serve", "--listen", "127.0.0.1:0", "--no-vxi11"],
            stdout=subprocess.PIPE, text=True)
        line = cls.server.stdout.readline().strip()  # "serving sim on 127.0.0.1:PORT"
        assert line.startswith("serving "), "serve did not start: " + line
        port = int(line.rsplit(":", 1)[1])
        cls.dds = QmTrv(f"TCPIP::127.0.0.1::{port}::SOCKET", visa_library="@py")

    @classmethod
    def tearDownClass(cls):
        cls.dds.adapter.connection.close()
        cls.server.terminate()
        cls.server.communicate(timeout=30)

    def refused(self, call, *args):
        """The codes of the errors the server reported to call(*args)."""
        with self.assertRaises(QmTrvError) as e:
            call(*args)
        return [code for code, _ in e.exception.errors]

    def test_1_server_errors_surface(self):
        # A fresh server's channels have no frequency: switching one on is refused there.
        self.assertEqual(self.refused(setattr, self.dds.ch_5, "output", True), [-221])
        # A refused query gets no answer: its error comes at once, not as a time-out.
        self.assertEqual(self.refused(self.dds.ask, "SOUR13:FREQ?"), [-113])
        # Errors of raw writes come at the next check, all of them, oldest first.
        self.dds.write("SOUR1:AMPL 150")
        self.dds.write("BOGUS")
        self.assertEqual(self.refused(self.dds.check_errors), [-222, -113])
        self.assertEqual(self.dds.check_errors(), [])

    def test_2_settings_read_back(self):
        self.assertTrue(self.dds.id.startswith("Halvorn,QM-TRV,0,"))
        self.assertEqual(self.dds.clocks, (10e6, 100e6, 100e6))
        ch = self.dds.ch_2
        # Kept as asked while the output is off, as the module's words reproduce them once on.
        for name, value, back in [("frequency", 12.5e6, 12.5e6), ("amplitude", 40, 40),
                                  ("phase", -90, 270), ("output", True, True),
                                  ("frequency", 1234.5, 1234.5), ("output", False, False)]:
            with self.subTest(name=name, value=value):
                setattr(ch, name, value)
                self.assertAlmostEqual(getattr(ch, name), back,
                                       delta=100e6 / 2**32 if name == "frequency" else 0.05)
        ch.apply(2e6, 25, 45)
        self.assertEqual(ch.applied, (2e6, 25, 45))

    def test_3_values_refused_by_the_class(self):
        ch = self.dds.ch_3
        ch.apply(3e6, 30, 30)
        kept = ch.applied
        for target, name, value in [(ch, "frequency", 0), (ch, "frequency", 50e6),
                                    (ch, "frequency", "1e6"), (ch, "amplitude", 100.5),
                                    (ch, "phase", float("nan")), (ch, "output", "on"),
                                    (self.dds, "mode", "dual")]:
            with self.subTest(name=name, value=value):
                self.assertRaises(ValueError, setattr, target, name, value)
        self.assertRaises(ValueError, self.dds.initialize, 9)
        self.assertRaises(ValueError, self.dds.save, 10)
        # None of them was sent.
        self.assertEqual(self.dds.check_errors(), [])
        self.assertEqual(ch.applied, kept)

    def test_4_multiple_mode_update_and_shutdown(self):
        ch = self.dds.ch_4
        ch.apply(4e6, 50, 0)
        ch.output = True
        self.dds.mode = "multiple"
        self.assertEqual(self.dds.mode, "multiple")
        ch.frequency = 5e6
        self.assertTrue(self.dds.update_pending)
        self.dds.update()
        self.assertFalse(self.dds.update_pending)
        # Every output off, applied in multiple mode too.
        self.dds.shutdown()
        self.assertEqual([c.output for c in self.dds.channels.values()], [False] * 12)
        self.assertFalse(self.dds.update_pending)
        self.dds.mode = "single"

    def test_5_clock_mode_sets_the_frequency_range(self):
        self.dds.initialize(8)  # 1 GHz DDS clock
        self.assertEqual(self.dds.clocks.dds, 1e9)
        self.dds.ch_1.frequency = 400e6
        self.dds.reset()  # keeps clock mode 8; every channel 10 MHz, on
        self.assertEqual(self.dds.frequency_range[1], 500e6)
        self.assertEqual(self.dds.ch_1.applied, (10e6, 0, 0))
        self.dds.initialize(2)
        self.assertRaises(ValueError, setattr, self.dds.ch_1, "frequency", 400e6)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
