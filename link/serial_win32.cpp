// Win32 backend of CSerialPort: the comm API with overlapped I/O.
//
// Observed behaviour this file is written around:
// - Under Wine on a pseudo-terminal, WaitCommEvent with nothing queued goes pending and then
//   completes after 5 to 10 ms with ERROR_OPERATION_ABORTED (995) and an empty mask, because
//   Wine cannot read the modem lines there. That is reported as a time-out, so the reader looks
//   at the queue again and counts an idle cycle, instead of treating it as fatal or looping.
// - When the far end goes away, ClearCommError, WriteFile and GetCommState fail with
//   ERROR_BAD_COMMAND (21) and ReadFile returns no bytes; the readers then see an empty queue.
// - Every started write keeps its own copy of the bytes and its own OVERLAPPED record until
//   the system reports it complete, so the caller's buffer may go away at once, and a write
//   never shares an OVERLAPPED with a pending event wait.
#include "serial_backend.h"

#include <list>
#include <vector>

#include <windows.h>

namespace {

struct PendingWrite {
    OVERLAPPED ov{};
    std::vector<std::uint8_t> bytes;
};

} // namespace

struct SerialBackendState {
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED io{}; // the port's I/O context: event waits and reads
    DWORD* pendingMask = nullptr;
    DWORD waitMask = 0; // written by the system when the event wait completes
    std::uint32_t* callerMask = nullptr;
    bool waitPending = false;
    std::list<PendingWrite> writes;
};

namespace {

void ReapWrites(SerialBackendState& s, bool wait) {
    for (auto it = s.writes.begin(); it != s.writes.end();) {
        DWORD n = 0;
        if (GetOverlappedResult(s.handle, &it->ov, &n, wait ? TRUE : FALSE) ||
            GetLastError() != ERROR_IO_INCOMPLETE) {
            CloseHandle(it->ov.hEvent);
            it = s.writes.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace

void SerialBackendDeleter::operator()(SerialBackendState* state) const {
    if (!state) {
        return;
    }
    if (state->handle != INVALID_HANDLE_VALUE) {
        CancelIo(state->handle);
        if (state->waitPending) {
            DWORD n = 0;
            GetOverlappedResult(state->handle, &state->io, &n, TRUE);
        }
        ReapWrites(*state, true);
        CloseHandle(state->handle);
    }
    if (state->io.hEvent) {
        CloseHandle(state->io.hEvent);
    }
    delete state;
}

namespace serial_backend {

StatePtr Open(const std::string& name) {
    wchar_t wide[257] = {};
    const int n = MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, wide, 256);
    if (n <= 0) {
        return nullptr;
    }
    HANDLE h = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_SYSTEM, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    StatePtr state(new SerialBackendState);
    state->handle = h;
    state->io.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return state;
}

bool GetSettings(SerialBackendState& s, SerialSettings& out) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(s.handle, &dcb)) {
        return false;
    }
    out.baudRate = static_cast<int>(dcb.BaudRate);
    out.byteSize = dcb.ByteSize;
    out.parity = dcb.Parity;
    out.stopBits = dcb.StopBits;
    out.outxCtsFlow = dcb.fOutxCtsFlow != 0;
    out.outxDsrFlow = dcb.fOutxDsrFlow != 0;
    out.dtrControl = static_cast<int>(dcb.fDtrControl);
    out.rtsControl = static_cast<int>(dcb.fRtsControl);
    out.eventChar = dcb.EvtChar;
    return true;
}

bool SetSettings(SerialBackendState& s, const SerialSettings& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(s.handle, &dcb); // every field not set below keeps the driver's value
    dcb.BaudRate = static_cast<DWORD>(settings.baudRate);
    dcb.ByteSize = static_cast<BYTE>(settings.byteSize);
    dcb.Parity = static_cast<BYTE>(settings.parity);
    dcb.StopBits = static_cast<BYTE>(settings.stopBits);
    dcb.fOutxCtsFlow = settings.outxCtsFlow ? 1 : 0;
    dcb.fOutxDsrFlow = settings.outxDsrFlow ? 1 : 0;
    dcb.fDtrControl = static_cast<DWORD>(settings.dtrControl) & 3;
    dcb.fRtsControl = static_cast<DWORD>(settings.rtsControl) & 3;
    dcb.EvtChar = settings.eventChar;
    return SetCommState(s.handle, &dcb) != 0;
}

bool SetTimeouts(SerialBackendState& s) {
    COMMTIMEOUTS t{};
    GetCommTimeouts(s.handle, &t);
    t.ReadIntervalTimeout = 300;
    t.ReadTotalTimeoutMultiplier = 100;
    t.ReadTotalTimeoutConstant = 200;
    t.WriteTotalTimeoutMultiplier = 100;
    t.WriteTotalTimeoutConstant = 200;
    return SetCommTimeouts(s.handle, &t) != 0;
}

bool Purge(SerialBackendState& s) {
    const bool ok =
        PurgeComm(s.handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != 0;
    ReapWrites(s, false);
    return ok;
}

bool SetEventMask(SerialBackendState& s, std::uint32_t mask) {
    // Setting the mask completes a pending wait; collect it so the record can be reused.
    const bool ok = SetCommMask(s.handle, mask) != 0;
    if (s.waitPending) {
        DWORD n = 0;
        GetOverlappedResult(s.handle, &s.io, &n, TRUE);
        s.waitPending = false;
    }
    return ok;
}

bool ResetEvent(SerialBackendState& s) {
    return ::ResetEvent(s.io.hEvent) != 0;
}

WaitStart StartEventWait(SerialBackendState& s, std::uint32_t* mask) {
    ReapWrites(s, false);
    if (s.waitPending) {
        // The previous wait is still outstanding: keep waiting on it.
        s.callerMask = mask;
        return WaitStart::Pending;
    }
    s.waitMask = 0;
    s.callerMask = mask;
    if (WaitCommEvent(s.handle, &s.waitMask, &s.io)) {
        *mask = s.waitMask;
        return WaitStart::Completed;
    }
    const DWORD err = GetLastError();
    if (err == ERROR_IO_PENDING) {
        s.waitPending = true;
        return WaitStart::Pending;
    }
    if (err == ERROR_INVALID_PARAMETER) {
        return WaitStart::Refused;
    }
    return WaitStart::Pending; // failed outright: the caller waits and then looks at the queue
}

int WaitIo(SerialBackendState& s, int timeoutMs) {
    const DWORD r = WaitForSingleObject(s.io.hEvent, static_cast<DWORD>(timeoutMs));
    if (r == WAIT_TIMEOUT) {
        return LINK_WAIT_TIMEOUT;
    }
    if (r != WAIT_OBJECT_0) {
        return LINK_WAIT_FAILED;
    }
    if (s.waitPending) {
        DWORD n = 0;
        const BOOL ok = GetOverlappedResult(s.handle, &s.io, &n, FALSE);
        if (!ok && GetLastError() == ERROR_IO_INCOMPLETE) {
            return LINK_WAIT_TIMEOUT;
        }
        s.waitPending = false;
        if (!ok) {
            // Aborted (Wine on a pseudo-terminal) or the line is gone: no event came.
            return LINK_WAIT_TIMEOUT;
        }
        if (s.callerMask) {
            *s.callerMask = s.waitMask;
        }
    }
    return LINK_WAIT_SIGNALLED;
}

bool IoResult(SerialBackendState& s, std::uint32_t* bytes) {
    DWORD n = 0;
    const BOOL ok = GetOverlappedResult(s.handle, &s.io, &n, FALSE);
    if (bytes) {
        *bytes = n;
    }
    return ok != 0;
}

bool QueueStatus(SerialBackendState& s, std::uint32_t* errors, std::uint32_t* queued) {
    DWORD e = 0;
    COMSTAT st{};
    if (!ClearCommError(s.handle, &e, &st)) {
        *errors = 0;
        *queued = 0;
        return false;
    }
    *errors = e;
    *queued = st.cbInQue;
    return true;
}

ReadResult ReadOne(SerialBackendState& s, std::uint8_t* cell) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    BYTE b = 0;
    ReadResult result = ReadResult::Failed;
    if (ReadFile(s.handle, &b, 1, &n, &ov)) {
        result = n == 1 ? ReadResult::Done : ReadResult::Failed;
    } else if (GetLastError() == ERROR_IO_PENDING) {
        // The readers only read bytes that are queued, so this completes at once; do not leave
        // an operation behind on a local record.
        if (GetOverlappedResult(s.handle, &ov, &n, TRUE) && n == 1) {
            result = ReadResult::Done;
        } else {
            result = ReadResult::Pending;
        }
    }
    if (ov.hEvent) {
        CloseHandle(ov.hEvent);
    }
    if (result == ReadResult::Done) {
        *cell = b;
    }
    return result;
}

bool Write(SerialBackendState& s, const void* data, std::size_t count) {
    ReapWrites(s, false);
    s.writes.emplace_back();
    PendingWrite& w = s.writes.back();
    const auto* p = static_cast<const std::uint8_t*>(data);
    w.bytes.assign(p, p + count);
    w.ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    if (WriteFile(s.handle, w.bytes.data(), static_cast<DWORD>(w.bytes.size()), &n, &w.ov)) {
        return true;
    }
    const bool pending = GetLastError() == ERROR_IO_PENDING;
    if (!pending) {
        CloseHandle(w.ov.hEvent);
        s.writes.pop_back();
    }
    return pending;
}

} // namespace serial_backend
