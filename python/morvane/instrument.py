"""The QM-TRV module behind ``morvane-cli serve`` as a PyMeasure instrument."""

import logging
import math
import re
from collections import namedtuple

from pymeasure.instruments import Instrument
from pymeasure.instruments.validators import strict_discrete_set, strict_range

log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())

CHANNELS = 12
SETUP_SLOTS = 10
CLOCK_MODES = range(1, 9)
# STATus:OPERation bit: settings sent in multiple mode wait for SYSTem:UPDate.
OPER_UPDATE_PENDING = 512

# An answer of SYSTem:ERRor?: `-222,"Data out of range; ..."`. No other query's answer has a
# quote in it.
_ERROR_ANSWER = re.compile(r'^([+-]?\d+),"(.*)"$')

Clocks = namedtuple("Clocks", "crystal reference dds")
Clocks.__doc__ = "The module's clocks in Hz: crystal, reference and DDS clock."


class QmTrvError(Exception):
    """Errors the server reported: ``errors`` is a list of (code, text) pairs, oldest
    first, as SYSTem:ERRor? gave them."""

    def __init__(self, errors):
        self.errors = list(errors)
        super().__init__("; ".join(f"{code}: {text}" for code, text in self.errors))

    @property
    def code(self):
        """The number of the first error (-222 for a value out of range, ...)."""
        return self.errors[0][0]


def _number(value):
    """A number as the server reads it: the shortest text that gives the same double."""
    return repr(float(value))


def _real(value):
    """value as a finite float; ValueError for anything else (text, NaN, infinity)."""
    if isinstance(value, (str, bytes, bool)):
        raise ValueError(f"Value of {value!r} is not a number")
    try:
        value = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"Value of {value!r} is not a number") from None
    if not math.isfinite(value):
        raise ValueError(f"Value of {value} is not a finite number")
    return value


def _percent(value, values):
    return strict_range(_real(value), values)


def _degrees(value, values):
    # The module takes any phase and keeps it modulo 360; the server reads it back so.
    return _real(value) % max(values)


class QmTrvChannel:
    """One of the twelve channels of a :class:`QmTrv`, numbered 1 to 12.

    While a channel's output is off its settings are kept by the server and read back, but
    not sent to the module; switching the output on sends them. Each setting is checked
    here against what the server accepts (ValueError), and the server's error queue is read
    after it: a setting the server refused raises :class:`QmTrvError`.
    """

    def __init__(self, instrument, number):
        self.instrument = instrument
        self.number = number

    def __repr__(self):
        return f"<QmTrvChannel {self.number}>"

    # Instrument.control writes and asks through these: "{ch}" in a command is the
    # channel's number.
    def _command(self, command):
        return command.replace("{ch}", str(self.number))

    def write(self, command):
        self.instrument.write(self._command(command))

    def values(self, command, **kwargs):
        return self.instrument.values(self._command(command), **kwargs)

    def check_errors(self):
        return self.instrument.check_errors()

    @property
    def frequency(self):
        """Frequency in Hz: at least one DDS step (the DDS clock / 2^32) and below half the
        DDS clock (:attr:`QmTrv.frequency_range`). Read back as asked while the output is
        off, and as the module's frequency word reproduces it once sent."""
        return self.values("SOUR{ch}:FREQ?")[0]

    @frequency.setter
    def frequency(self, hz):
        self.write("SOUR{ch}:FREQ " + _number(self.instrument.check_frequency(hz)))
        self.check_errors()

    amplitude = Instrument.control(
        "SOUR{ch}:AMPL?", "SOUR{ch}:AMPL %s",
        """Amplitude in percent of full scale, 0 to 100.""",
        validator=_percent, values=(0, 100), set_process=_number, check_set_errors=True)

    phase = Instrument.control(
        "SOUR{ch}:PHAS?", "SOUR{ch}:PHAS %s",
        """Phase in degrees; any value is taken modulo 360 and read back from 0 to 360.""",
        validator=_degrees, values=(0, 360), set_process=_number, check_set_errors=True)

    output = Instrument.control(
        "OUTP{ch}?", "OUTP{ch} %d",
        """True while the channel's output is on. Switching it on sends the kept settings
        (the server refuses it with -221 for a channel that has no frequency yet); off sends
        frequency 0.""",
        validator=strict_discrete_set, values={True: 1, False: 0}, map_values=True,
        check_set_errors=True)

    def apply(self, frequency, amplitude, phase=0.0):
        """Sets frequency (Hz), amplitude (%) and phase (degrees) in one command: one set
        command to the module instead of three."""
        hz = self.instrument.check_frequency(frequency)
        amplitude = _percent(amplitude, (0, 100))
        phase = _degrees(phase, (0, 360))
        self.write("SOUR{ch}:APPL " + ",".join(_number(v) for v in (hz, amplitude, phase)))
        self.check_errors()

    @property
    def applied(self):
        """(frequency Hz, amplitude %, phase degrees) as the server keeps them."""
        return tuple(self.values("SOUR{ch}:APPL?"))


class QmTrv(Instrument):
    """The QM-TRV 12-channel DDS module served by ``morvane-cli serve`` (or the console's
    ``morvane --serve``): a PyMeasure instrument over the server's SCPI commands.

    :param adapter: a PyMeasure adapter, or a VISA resource name such as
        ``"TCPIP::127.0.0.1::5025::SOCKET"`` (raw socket) or ``"TCPIP::host::INSTR"``
        (VXI-11). A resource name is opened with LF terminations and a 30 s timeout (longer
        than the server waits for a silent module) unless other keyword arguments say
        otherwise; ``visa_library="@py"`` picks PyVISA's pure-Python backend.

    The channels are ``channels[1]`` to ``channels[12]``, also ``ch_1`` to ``ch_12``
    (:class:`QmTrvChannel`: frequency, amplitude, phase, output, apply). In single mode a
    setting takes effect at once; in multiple mode settings wait for :meth:`update`, which
    applies them together.

    Every setting and command of the class reads the server's error queue after it, and
    every query notices when the server did not answer it: an error the server reports
    raises :class:`QmTrvError` (errors queued by earlier raw writes too). Values outside
    what the server accepts raise ValueError before anything is sent.

    >>> dds = QmTrv("TCPIP::127.0.0.1::5025::SOCKET")
    >>> dds.reset()
    >>> dds.ch_1.apply(12.5e6, 50, 90)
    >>> dds.ch_1.output = True
    """

    def __init__(self, adapter, name="QM-TRV DDS module", **kwargs):
        if isinstance(adapter, str):
            kwargs.setdefault("read_termination", "\n")
            kwargs.setdefault("write_termination", "\n")
            kwargs.setdefault("timeout", 30000)
        super().__init__(adapter, name, includeSCPI=True, **kwargs)
        self.channels = {n: QmTrvChannel(self, n) for n in range(1, CHANNELS + 1)}
        for n, channel in self.channels.items():
            setattr(self, f"ch_{n}", channel)
        self._clocks = None

    # Queries: the line is followed by SYSTem:ERRor?, whose answer is always sent, so a
    # query the server refused (it then answers nothing) shows at once as the error instead
    # of as a time-out.
    def ask(self, command):
        """Sends a query and returns its answer (without the LF); QmTrvError when the server
        refused it or had errors queued. For the error queue itself, :meth:`read_errors`."""
        self.adapter.write(command)
        self.adapter.write("SYST:ERR?")
        first = self.adapter.read().strip()
        refused = _ERROR_ANSWER.match(first)
        if refused:
            self._raise_errors([(int(refused.group(1)), refused.group(2))])
        error = _ERROR_ANSWER.match(self.adapter.read().strip())
        if error is None:
            raise RuntimeError(f"answers out of step after {command!r}: a query written "
                               "without reading its answer?")
        if int(error.group(1)) != 0:
            self._raise_errors([(int(error.group(1)), error.group(2))])
        return first

    def values(self, command, separator=",", cast=float, **kwargs):
        """The answer of a query split at separator, each part cast (kept as text where the
        cast fails)."""
        result = []
        for part in self.ask(command).split(separator):
            try:
                result.append(cast(part))
            except ValueError:
                result.append(part)
        return result

    def read_errors(self):
        """Empties the server's error queue of this connection: a list of (code, text)."""
        errors = []
        while True:
            answer = self.adapter.ask("SYST:ERR?").strip()
            match = _ERROR_ANSWER.match(answer)
            if match is None:
                raise RuntimeError(f"answer {answer!r} to SYST:ERR?: a query written "
                                   "without reading its answer?")
            if int(match.group(1)) == 0:
                return errors
            errors.append((int(match.group(1)), match.group(2)))

    def check_errors(self):
        """Reads the error queue; raises QmTrvError when it held any. Returns [] otherwise."""
        self._raise_errors([])
        return []

    def _raise_errors(self, first):
        errors = first + self.read_errors()
        if errors:
            for code, text in errors:
                log.error("%s: %d, %s", self.name, code, text)
            raise QmTrvError(errors)

    def _run(self, command):
        self.write(command)
        self.check_errors()

    @property
    def id(self):
        """The identification: "Halvorn,QM-TRV,0,<module version>/<server version>"."""
        return self.ask("*IDN?")

    def reset(self):
        """Initialises the module (*RST) with the server's clock mode: every channel 10 MHz,
        amplitude 0, output on."""
        self._clocks = None
        self._run("*RST")

    def initialize(self, clock_mode):
        """Initialises the module with clock mode 1 to 8, which later resets keep. The DDS
        clock, and so :attr:`frequency_range`, depend on the mode."""
        mode = strict_discrete_set(clock_mode, CLOCK_MODES)
        self._clocks = None
        self._run("SYST:INIT %d" % mode)

    clocks = Instrument.measurement(
        "SYST:CLOC?", """The module's clocks in Hz, as :class:`Clocks` (crystal, reference,
        dds).""", get_process=lambda v: Clocks(*v))

    @property
    def frequency_range(self):
        """(lowest, limit) of a channel frequency in Hz: one DDS step and half the DDS clock,
        the limit itself excluded. From the clocks read once after the last reset or
        initialisation of this object."""
        if self._clocks is None:
            self._clocks = self.clocks
        dds = self._clocks.dds
        return dds / 4294967296.0, dds / 2.0

    def check_frequency(self, hz):
        """hz as a float when a channel takes it; ValueError otherwise."""
        hz = _real(hz)
        low, limit = self.frequency_range
        if not low <= hz < limit:
            raise ValueError(f"Value of {hz:g} is not in range [{low:g},{limit:g})")
        return hz

    mode = Instrument.control(
        "SYST:MODE?", "SYST:MODE %s",
        """ "single": each setting takes effect at once; "multiple": settings wait for
        :meth:`update`.""",
        validator=strict_discrete_set, values={"single": "SING", "multiple": "MULT"},
        map_values=True, check_set_errors=True)

    def update(self):
        """Applies the settings sent in multiple mode, all channels at once."""
        self._run("SYST:UPD")

    @property
    def update_pending(self):
        """True while settings sent in multiple mode wait for :meth:`update`."""
        return bool(int(self.values("STAT:OPER:COND?")[0]) & OPER_UPDATE_PENDING)

    def save(self, slot):
        """Saves every channel's settings and the mode as setup 0 to 9 (*SAV)."""
        self._run("*SAV %d" % strict_discrete_set(slot, range(SETUP_SLOTS)))

    def recall(self, slot):
        """Sets every channel and the mode as setup 0 to 9 holds them (*RCL)."""
        self._run("*RCL %d" % strict_discrete_set(slot, range(SETUP_SLOTS)))

    def self_test(self):
        """True when the module answered the link's probe (*TST?); QmTrvError (-330) when
        not."""
        return self.ask("*TST?") == "0"

    def shutdown(self):
        """Switches every channel's output off (and applies it in multiple mode)."""
        self._run(";".join(f":OUTP{n} OFF" for n in self.channels))
        if self.mode == "multiple":
            self.update()
        super().shutdown()
