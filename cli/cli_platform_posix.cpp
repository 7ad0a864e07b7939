// The POSIX side of cli_platform.h: termios, sysfs and udev's /dev/serial/by-id, sigaction.
#include "cli_platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "exchange.h"

namespace fs = std::filesystem;

namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_interruptCancels{true};

void OnInterrupt(int) {
    g_interrupted.store(true);
    if (g_interruptCancels.load()) {
        LinkRequestCancel(); // one atomic store: safe in a signal handler
    }
}

// The first line of a small sysfs attribute file, or "".
std::string ReadAttribute(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// "USB vvvv:pppp manufacturer product" for a tty whose device sits on a USB interface: the
// USB device is the first folder above it with an idVendor file.
std::string UsbDescription(const fs::path& device) {
    fs::path dir = device;
    for (int up = 0; up < 4 && !dir.empty(); ++up, dir = dir.parent_path()) {
        const std::string vendor = ReadAttribute(dir / "idVendor");
        if (vendor.empty()) {
            continue;
        }
        std::string text = "USB " + vendor + ":" + ReadAttribute(dir / "idProduct");
        for (const char* name : {"manufacturer", "product"}) {
            const std::string value = ReadAttribute(dir / name);
            if (!value.empty()) {
                text += " " + value;
            }
        }
        return text;
    }
    return "";
}

// The bus a sysfs device sits on ("usb", "pnp", "platform", ...), or "".
std::string Subsystem(const fs::path& device) {
    std::error_code ec;
    const fs::path bus = fs::canonical(device / "subsystem", ec);
    return ec ? std::string() : bus.filename().string();
}

} // namespace

bool CliIsTerminal(int stream) {
    return ::isatty(stream) != 0;
}

std::string CliOpenFailureReason(const std::string& path) {
    if (path.empty()) {
        return "no device name";
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISCHR(st.st_mode)) {
        return "is not a serial device";
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        std::string reason = std::strerror(error);
        // Serial devices are usually readable and writable by one group (dialout on Debian):
        // name it, since joining it is the usual remedy.
        if ((error == EACCES || error == EPERM) && (st.st_mode & S_IRGRP) &&
            (st.st_mode & S_IWGRP)) {
            if (const group* g = ::getgrgid(st.st_gid); g != nullptr && g->gr_gid != 0) {
                reason += std::string(" (add yourself to the group ") + g->gr_name + ")";
            }
        }
        return reason;
    }
    const bool terminal = ::isatty(fd) != 0;
    ::close(fd);
    return terminal ? std::string() : std::string("is not a serial device");
}

std::vector<CliPortEntry> CliListPorts() {
    std::error_code ec;
    // Stable names: udev's links, by the device they point at.
    std::map<std::string, std::string> stable;
    for (const auto& link : fs::directory_iterator("/dev/serial/by-id", ec)) {
        const fs::path target = fs::canonical(link.path(), ec);
        if (!ec) {
            stable.emplace(target.string(), link.path().string());
        }
    }
    std::vector<CliPortEntry> ports;
    for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
        const fs::path device = entry.path() / "device";
        if (!fs::exists(device, ec)) {
            continue; // virtual terminals, pseudo-terminals: no hardware behind them
        }
        // Newer kernels put a "serial-base" port and controller between the tty and the
        // device that carries the UART: look past them.
        fs::path real = fs::canonical(device, ec);
        std::string subsystem = Subsystem(real);
        while (subsystem == "serial-base" && real.has_parent_path() && real != real.root_path()) {
            real = real.parent_path();
            subsystem = Subsystem(real);
        }
        // The 8250 driver makes its ttyS ports whether or not a UART is there; those without
        // one hang off the platform bus (real ones are on pnp, pci, usb, ...).
        if (subsystem == "platform" && entry.path().filename().string().rfind("ttyS", 0) == 0) {
            continue;
        }
        CliPortEntry port;
        port.device = "/dev/" + entry.path().filename().string();
        if (auto it = stable.find(port.device); it != stable.end()) {
            port.stableName = it->second;
        }
        port.description = UsbDescription(real);
        if (port.description.empty()) {
            port.description = fs::canonical(real / "driver", ec).filename().string();
        }
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(),
              [](const CliPortEntry& a, const CliPortEntry& b) { return a.device < b.device; });
    return ports;
}

void CliInstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a confirmation read on the terminal ends at the first Ctrl-C. SA_RESETHAND:
    // the second Ctrl-C ends the process as usual.
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &action, nullptr);
}

void CliSetInterruptCancelsExchange(bool cancels) {
    g_interruptCancels.store(cancels);
}

bool CliInterrupted() {
    return g_interrupted.load();
}
