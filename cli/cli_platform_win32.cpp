// The Windows side of cli_platform.h: console handles, CreateFile's error, the system's list of
// COM ports, the console control handler.
#include "cli_platform.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <io.h>
#include <windows.h>

#include "cli.h"
#include "exchange.h"

namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_interruptCancels{true};

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    if (g_interrupted.exchange(true)) {
        return FALSE; // the second one: the default handler ends the process
    }
    if (g_interruptCancels.load()) {
        LinkRequestCancel();
    }
    return TRUE;
}

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; *text != 0; ++text) {
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    }
    return out;
}

std::string SystemMessage(DWORD error) {
    char buffer[512] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, error, 0, buffer, sizeof buffer, nullptr);
    std::string text(buffer, n);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == '.')) {
        text.pop_back();
    }
    return text.empty() ? "error " + std::to_string(error) : text;
}

} // namespace

bool CliIsTerminal(int stream) {
    return ::_isatty(stream) != 0;
}

std::string CliOpenFailureReason(const std::string& path) {
    if (path.empty()) {
        return "no device name";
    }
    const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        // A COM port that another program holds reports "access denied".
        if (error == ERROR_ACCESS_DENIED) {
            return "Access is denied (is another program using the port?)";
        }
        return SystemMessage(error);
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    const bool serial = ::GetCommState(h, &dcb) != 0;
    ::CloseHandle(h);
    return serial ? std::string() : std::string("is not a serial device");
}

std::vector<CliPortEntry> CliListPorts() {
    std::vector<CliPortEntry> ports;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &key) != ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        wchar_t data[256];
        DWORD nameSize = 256;
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        const LONG r = ::RegEnumValueW(key, i, name, &nameSize, nullptr, &type,
                                       reinterpret_cast<BYTE*>(data), &dataSize);
        if (r == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (r != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        data[std::min<DWORD>(dataSize / sizeof(wchar_t), 255)] = 0;
        CliPortEntry port;
        port.device = Narrow(data);
        port.description = Narrow(name); // the driver's device: \Device\Serial0, \Device\VCP0
        ports.push_back(port);
    }
    ::RegCloseKey(key);
    // COM2 before COM10.
    std::sort(ports.begin(), ports.end(), [](const CliPortEntry& a, const CliPortEntry& b) {
        return a.device.size() != b.device.size() ? a.device.size() < b.device.size()
                                                  : a.device < b.device;
    });
    return ports;
}

void CliInstallInterruptHandler() {
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void CliSetInterruptCancelsExchange(bool cancels) {
    g_interruptCancels.store(cancels);
}

bool CliInterrupted() {
    return g_interrupted.load();
}
