// The process-wide link state and opening and closing the one serial port.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "serial_port.h"

// The module's name and version, as the version command reports them.
struct ModuleVersion {
    char name[64] = {};     // upper case, zero-terminated
    std::int32_t major = 0; // one decimal digit
    std::int32_t minor = 0;
};

// The single link-state record of the process.
struct ComLinkRecord {
    std::unique_ptr<CSerialPort> port; // the current port; null while the link is closed
    std::uint8_t terminator = 13;      // written after every command text
    ModuleVersion version;             // filled by MonitorV
    // The exchange in progress: the command last written with WriteCommandLine (empty after raw
    // writes, which have no echo) and when it started, for late replies and the transcript.
    std::string lastCommand;
    std::chrono::steady_clock::time_point commandStart;
    // A reply ended without its prompt; its late answer may still arrive (see exchange.h).
    bool lateReplyExpected = false;
    // LinkIsGone has reported the current port gone to the transcript.
    bool goneReported = false;
    // The probe may end as soon as the module has answered, before its time is over; whatever
    // the module sends after its answer is dropped at the first write (LinkEndProbeTime), once
    // probeEnd has passed.
    bool probePurgePending = false;
    std::chrono::steady_clock::time_point probeEnd;
};

extern ComLinkRecord ComLink;

// Open results.
constexpr int LINK_OPEN_OK = 0;
constexpr int LINK_OPEN_FAILED = 1;   // the device could not be opened
constexpr int LINK_OPEN_NO_PROBE = 2; // the device is open but the module did not answer CR LF

// Opens serial port number n (1 and up: "\\.\COMn" on Windows, /dev/ttyS<n-1> on POSIX) with
// the baud rate in bits per second, the parity letter ('E'/'e' even, 'O'/'o' odd, 'M'/'m' mark,
// 'S'/'s' space, anything else none), 8 data bits, 1 stop bit, no flow control, DTR and RTS off,
// and the module's prompt ">" as event character; stores the terminator byte in ComLink, then
// probes: writes the terminator alone, waits 100 ms and expects CR LF and the prompt.
// Any open port is closed first. Prints "COM%d Open Success!\n" or "COM%d Open Error!\n".
// Returns LINK_OPEN_OK, LINK_OPEN_FAILED or LINK_OPEN_NO_PROBE. A port object stays current
// whatever the result, until CloseComPort.
int OpenComPort(int port, int baud, char parity, std::uint8_t terminator);
// The same without the probe: LINK_OPEN_OK or LINK_OPEN_FAILED.
int OpenComPortNoProbe(int port, int baud, char parity, std::uint8_t terminator);

// The same for a device named by text: "COMn" (as OpenComPort with n), "sim" (the built-in
// module simulator, when the program has registered one with LinkSetSimulatorStarter; without
// one the open fails) or a device path such as /dev/ttyUSB0. Diagnostic lines name the device
// as given ("%s Open Success!\n").
int OpenComDevice(const std::string& device, int baud, char parity, std::uint8_t terminator,
                  bool probe = true);

// Called by every writer of the link before its first byte: after a probe (the open's or
// LinkProbe's), waits until the probe's 100 ms are over and purges the port, so that bytes the
// module sent after its answer to the probe (within the probe's time or later, unasked) never
// become the head of the next reply. Does nothing at later writes or without a probe.
void LinkEndProbeTime();

// Destroys the current port object, if any (closing its handle). Always returns 0.
int CloseComPort();

// True while a port object is current and its device is open.
bool LinkIsOpen();

// True when the open device has gone away (hang-up, end of file or an I/O error: a USB adapter
// pulled, the simulator ended). Looks at the device without reading or writing anything, so the
// owner of the link may call it between exchanges; a reader that met the condition has noted it
// too. False with the link closed.
bool LinkIsGone();

// The probe of the open port, as the open makes it: writes the terminator alone and expects CR
// LF and the prompt within 100 ms. Input already queued is dropped first (a late reply would be
// taken for the answer), and what follows the answer is dropped before the next write
// (LinkEndProbeTime). False with the link closed or when
// the module did not answer so.
bool LinkProbe();

// The device path for port number n on this platform ("\\.\COM3", "/dev/ttyS2").
std::string LinkDeviceNameForPort(int port);

// A function that starts the built-in module simulator and returns the path of the device to
// open (the slave side of its pseudo-terminal), or an empty text on failure. Programs that
// offer "sim" register one; the link itself knows nothing of the simulator.
using LinkSimulatorStarter = std::string (*)();
void LinkSetSimulatorStarter(LinkSimulatorStarter starter);
