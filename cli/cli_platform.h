// What morvane-cli asks of the operating system beyond the link: terminals, the reason a device
// does not open, the list of serial devices and Ctrl-C. One file per system defines these
// (cli_platform_posix.cpp, cli_platform_win32.cpp); callers contain no #ifdef.
#pragma once

#include <string>
#include <vector>

// True when the stream (0 standard input, 1 standard output, 2 standard error) is a terminal.
bool CliIsTerminal(int stream);

// Why the device at path cannot serve as a serial line, in the system's words where it gives
// any: "No such file or directory", "Permission denied (add yourself to the group dialout)",
// "Device or resource busy", "is not a serial device". Looks at the device without keeping it
// open. Empty when nothing wrong can be seen.
std::string CliOpenFailureReason(const std::string& path);

// One serial device of the machine.
struct CliPortEntry {
    std::string device;      // what --port takes: /dev/ttyUSB0, COM3
    std::string stableName;  // a name that survives replugging (/dev/serial/by-id/...), or ""
    std::string description; // "USB 0403:6001 FTDI FT232R USB UART", the driver's name, or ""
};

// The serial devices of the machine, sorted by device name. Placeholders that the kernel
// creates without hardware behind them (the unused ttyS ports of the 8250 driver) are left out.
std::vector<CliPortEntry> CliListPorts();

// Installs the Ctrl-C handler: the first Ctrl-C sets the flag that CliInterrupted reads and, while
// CliSetInterruptCancelsExchange is on (the default), cancels the link's exchange in progress; a
// second Ctrl-C ends the process at once.
void CliInstallInterruptHandler();
// Off: a Ctrl-C lets the exchange in progress finish (a sweep stops after its current point).
void CliSetInterruptCancelsExchange(bool cancels);
