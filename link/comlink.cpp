#include "comlink.h"

#include <chrono>
#include <thread>

#include "diag.h"
#include "numtext.h"

ComLinkRecord ComLink;

namespace {

LinkSimulatorStarter g_simulatorStarter = nullptr;

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
    if (port.Open() != 0) {
        DiagPrintf("%s Open Error!\n", label.c_str());
        return LINK_OPEN_FAILED;
    }
    DiagPrintf("%s Open Success!\n", label.c_str());

    port.SetBaudRate(baud).SetByteSize(8).SetParity(ParityFromLetter(parity));
    ComLink.terminator = terminator;
    port.SetStopBits(0).SetOutxCtsFlow(false).SetRtsControl(0).SetDtrControl(0);
    port.SetOutxDsrFlow(false).SetEventChar('>');
    (void)port.ApplySettings();
    (void)port.ApplyTimeouts();

    int result = LINK_OPEN_OK;
    if (probe) {
        // The module answers a lone terminator with CR, LF and its prompt within 100 ms.
        port.WriteByte(terminator);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::uint8_t cr = port.ReadByte();
        const std::uint8_t lf = port.ReadByte();
        (void)port.ReadByte(); // the prompt; its value does not matter
        if (cr != 13 || lf != 10) {
            result = LINK_OPEN_NO_PROBE;
        }
    }

    (void)port.Purge();
    (void)port.ResetIoEvent();
    (void)port.SetEventMask(LINK_EV_RXCHAR | LINK_EV_RXFLAG | LINK_EV_TXEMPTY);
    (void)port.ResetIoEvent();
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

int CloseComPort() {
    ComLink.port.reset();
    return 0;
}

bool LinkIsOpen() {
    return ComLink.port && ComLink.port->IsOpen();
}

void LinkSetSimulatorStarter(LinkSimulatorStarter starter) {
    g_simulatorStarter = starter;
}
