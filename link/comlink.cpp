#include "comlink.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "diag.h"
#include "numtext.h"
#include "trace.h"

ComLinkRecord ComLink;

namespace {

LinkSimulatorStarter g_simulatorStarter = nullptr;

constexpr int PROBE_WAIT_MS = 100; // the module answers the probe within this time

// Hands a port event (opened, closed, gone, a probe) to the transcript.
void EmitPortEvent(LinkTraceOutcome outcome, const std::string& command, std::string reply = {},
                   std::chrono::steady_clock::time_point start = {}) {
    if (!LinkTraceActive()) {
        return;
    }
    LinkTraceEvent e;
    e.outcome = outcome;
    e.command = command;
    e.reply = std::move(reply);
    e.end = std::chrono::steady_clock::now();
    e.start = start == std::chrono::steady_clock::time_point{} ? e.end : start;
    e.wallEnd = std::chrono::system_clock::now();
    LinkTraceEmit(e);
}

// Waits until three bytes are queued (the module's CR, LF and prompt) or PROBE_WAIT_MS have
// passed since start, whichever comes first. The probe reads the same three bytes either way,
// so its result does not depend on how early it looks. Between looks it sleeps about one byte
// time of the line.
void WaitForProbeAnswer(CSerialPort& port, int baud, std::chrono::steady_clock::time_point start) {
    using namespace std::chrono;
    const auto deadline = start + milliseconds(PROBE_WAIT_MS);
    long long byteUs = baud > 0 ? 10000000LL / baud : 1000;
    if (byteUs < 100) {
        byteUs = 100;
    } else if (byteUs > 1000) {
        byteUs = 1000;
    }
    for (;;) {
        std::uint32_t errors = 0;
        std::uint32_t queued = 0;
        (void)port.ErrorAndQueueStatus(&errors, &queued);
        const auto now = steady_clock::now();
        if (queued >= 3 || now >= deadline) {
            return;
        }
        const auto left = duration_cast<microseconds>(deadline - now);
        std::this_thread::sleep_for(std::min(left, microseconds(byteUs)));
    }
}

// The probe: the module answers a lone terminator with CR, LF and its prompt within 100 ms.
// True when the first two bytes were CR and LF; the transcript gets a probe line.
bool ProbePort(CSerialPort& port, int baud, std::uint8_t terminator) {
    const auto start = std::chrono::steady_clock::now();
    port.WriteByte(terminator);
    WaitForProbeAnswer(port, baud, start);
    const std::uint8_t cr = port.ReadByte();
    const std::uint8_t lf = port.ReadByte();
    const std::uint8_t prompt = port.ReadByte(); // its value does not matter
    const bool answered = cr == 13 && lf == 10;
    if (LinkTraceActive()) {
        const char bytes[3] = {static_cast<char>(cr), static_cast<char>(lf),
                               static_cast<char>(prompt)};
        EmitPortEvent(answered ? LinkTraceOutcome::ProbeOk : LinkTraceOutcome::ProbeFailed,
                      std::string(1, static_cast<char>(terminator)), std::string(bytes, 3), start);
    }
    // The answer may have come early; what follows it within the probe's time is purged
    // before the next write (LinkEndProbeTime) instead of keeping the caller waiting.
    ComLink.probePurgePending = true;
    ComLink.probeEnd = start + std::chrono::milliseconds(PROBE_WAIT_MS);
    return answered;
}

// Input and output dropped and the port's event wait made afresh, as after opening.
void ResetPortEvents(CSerialPort& port) {
    (void)port.Purge();
    (void)port.ResetIoEvent();
    (void)port.SetEventMask(LINK_EV_RXCHAR | LINK_EV_RXFLAG | LINK_EV_TXEMPTY);
    (void)port.ResetIoEvent();
}

int ParityFromLetter(char letter) {
    switch (letter) {
    case 'E':
    case 'e':
        return 2;
    case 'O':
    case 'o':
        return 1;
    case 'M':
    case 'm':
        return 3;
    case 'S':
    case 's':
        return 4;
    default:
        return 0;
    }
}

// Opens `device`, naming it `label` in the diagnostic lines ("COM3", or the device as given).
int OpenDevice(const std::string& device, const std::string& label, int baud, char parity,
               std::uint8_t terminator, bool probe) {
    ComLink.port.reset();
    ComLink.port = std::make_unique<CSerialPort>();
    CSerialPort& port = *ComLink.port;
    port.SetName(device);
    ComLink.lastCommand.clear();
    ComLink.lateReplyExpected = false;
    ComLink.goneReported = false;
    ComLink.probePurgePending = false;
    if (port.Open() != 0) {
        DiagPrintf("%s Open Error!\n", label.c_str());
        EmitPortEvent(LinkTraceOutcome::OpenFailed, label);
        return LINK_OPEN_FAILED;
    }
    DiagPrintf("%s Open Success!\n", label.c_str());
    EmitPortEvent(LinkTraceOutcome::Opened, label);

    port.SetBaudRate(baud).SetByteSize(8).SetParity(ParityFromLetter(parity));
    ComLink.terminator = terminator;
    port.SetStopBits(0).SetOutxCtsFlow(false).SetRtsControl(0).SetDtrControl(0);
    port.SetOutxDsrFlow(false).SetEventChar('>');
    (void)port.ApplySettings();
    (void)port.ApplyTimeouts();

    const int result =
        probe && !ProbePort(port, baud, terminator) ? LINK_OPEN_NO_PROBE : LINK_OPEN_OK;
    ResetPortEvents(port);
    return result;
}

bool ParseComName(const std::string& device, int* port) {
    if (device.size() < 4 || (device[0] != 'C' && device[0] != 'c') ||
        (device[1] != 'O' && device[1] != 'o') || (device[2] != 'M' && device[2] != 'm')) {
        return false;
    }
    for (std::size_t i = 3; i < device.size(); ++i) {
        if (device[i] < '0' || device[i] > '9') {
            return false;
        }
    }
    if (device.size() > 12) {
        return false; // no port number is that long
    }
    *port = NumTextToInt(device.substr(3));
    return true;
}

} // namespace

std::string LinkDeviceNameForPort(int port) {
#ifdef _WIN32
    return NumFormatString("\\\\.\\COM%d", port);
#else
    // COM1 is the first serial port, /dev/ttyS0. Computed in a wider type: a port number read
    // from a setup file may be INT_MIN.
    return NumFormatString("/dev/ttyS%lld", static_cast<long long>(port) - 1);
#endif
}

int OpenComPort(int port, int baud, char parity, std::uint8_t terminator) {
    return OpenDevice(LinkDeviceNameForPort(port), NumFormatString("COM%d", port), baud, parity,
                      terminator, true);
}

int OpenComPortNoProbe(int port, int baud, char parity, std::uint8_t terminator) {
    return OpenDevice(LinkDeviceNameForPort(port), NumFormatString("COM%d", port), baud, parity,
                      terminator, false);
}

int OpenComDevice(const std::string& device, int baud, char parity, std::uint8_t terminator,
                  bool probe) {
    int port = 0;
    if (ParseComName(device, &port)) {
        return OpenDevice(LinkDeviceNameForPort(port), NumFormatString("COM%d", port), baud, parity,
                          terminator, probe);
    }
    if (device == "sim") {
        const std::string path = g_simulatorStarter ? g_simulatorStarter() : std::string();
        return OpenDevice(path, device, baud, parity, terminator, probe);
    }
    return OpenDevice(device, device, baud, parity, terminator, probe);
}

void LinkEndProbeTime() {
    if (!ComLink.probePurgePending || !LinkIsOpen()) {
        return;
    }
    ComLink.probePurgePending = false;
    const auto now = std::chrono::steady_clock::now();
    if (now < ComLink.probeEnd) {
        std::this_thread::sleep_for(ComLink.probeEnd - now);
    }
    ResetPortEvents(*ComLink.port);
}

int CloseComPort() {
    if (ComLink.port && ComLink.port->IsOpen()) {
        EmitPortEvent(LinkTraceOutcome::Closed, ComLink.port->Name());
    }
    ComLink.port.reset();
    ComLink.lateReplyExpected = false;
    ComLink.probePurgePending = false;
    return 0;
}

bool LinkIsOpen() {
    return ComLink.port && ComLink.port->IsOpen();
}

bool LinkIsGone() {
    if (!LinkIsOpen() || !ComLink.port->CheckGone()) {
        return false;
    }
    if (!ComLink.goneReported) {
        ComLink.goneReported = true;
        EmitPortEvent(LinkTraceOutcome::Gone, ComLink.port->Name());
    }
    return true;
}

bool LinkProbe() {
    if (!LinkIsOpen()) {
        return false;
    }
    // The time of an earlier probe is waited out first: its module's late bytes would be read
    // as this answer. Bytes already queued (a late reply) are dropped for the same reason.
    LinkEndProbeTime();
    CSerialPort& port = *ComLink.port;
    (void)port.Purge();
    const bool answered = ProbePort(port, port.Settings().baudRate, ComLink.terminator);
    ResetPortEvents(port);
    return answered;
}

void LinkSetSimulatorStarter(LinkSimulatorStarter starter) {
    g_simulatorStarter = starter;
}
