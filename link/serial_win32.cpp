// Win32 backend of CSerialPort: the comm API with overlapped I/O.
//
// Observed behaviour this file is written around:
// - Under Wine on a pseudo-terminal, WaitCommEvent with nothing queued goes pending and then
//   completes after 2 to 10 ms with ERROR_OPERATION_ABORTED (995) and an empty mask, because
//   Wine cannot read the modem lines there; with bytes queued it completes at once with
//   EV_RXCHAR. An event wait that completes with an error is reported as a time-out, so the
//   reader looks at the queue again and counts an idle cycle (which sleeps), instead of treating
//   it as fatal or starting the next wait at once.
// - When the far end goes away, ClearCommError, WriteFile and GetCommState fail with
//   ERROR_BAD_COMMAND (21), ReadFile fails with ERROR_BROKEN_PIPE (109) and WaitCommEvent still
//   goes pending and is aborted a few ms later. Once the queue status has failed, no event wait
//   is started and WaitIo reports a time-out at once until the status can be read again, so
//   that a reader gives up after its idle cycles of 2 ms each, as on POSIX.
// - A wait that timed out stays pending in the driver and may complete at any later moment,
//   also between WaitForSingleObject and the reset of the event. Its state is therefore taken
//   from the OVERLAPPED record itself (HasOverlappedIoCompleted), never from the event alone.
// - A one-byte read is only started when the driver reports bytes queued; with nothing queued
//   a started read would stay pending and later write into a cell that may no longer exist.
// - Under Wine every ReadFile costs a round trip to wineserver, about 50 us: a reply of 32
//   bytes read one ReadFile a byte took 1.7 ms. ReadOne therefore takes all the bytes the
//   driver reported queued in one ReadFile and hands them out one a call; QueueStatus counts
//   the ones not handed out yet as queued, so callers see the same queue as before.
// - Every started write keeps its own copy of the bytes and its own OVERLAPPED record until
//   the system reports it complete, so the caller's buffer may go away at once, and a write
//   never shares an OVERLAPPED with a pending event wait.
// - Wine 8 runs a pending WaitCommEvent in a thread of its own, which writes the result into
//   the OVERLAPPED record and then sets the event. When that thread is done before the
//   starting call has returned (about 1 ms, easily missed on a loaded machine), the starting
//   call writes STATUS_PENDING over the result: the record then shows a wait that nothing will
//   ever complete, although its event was set once. CancelIoEx finds nothing to cancel there.
//   Ending a wait therefore never waits without bound: GetOverlappedResult with bWait would
//   wait on the event, which resets itself and which WaitIo may already have taken (a wait
//   that Windows documents to block for good); the record is looked at instead, for a bounded
//   time. A wait that is still not over then stays outstanding, and its record is never
//   reused or freed.
#include "serial_backend.h"

#include <list>
#include <vector>

#include <windows.h>

namespace {

// How long closing the port waits for writes the driver has not finished.
constexpr DWORD CLOSE_WRITE_WAIT_MS = 1000;
// How long ending an event wait waits for the system to report it over, and how often it
// looks at the record meanwhile.
constexpr DWORD WAIT_END_MS = 1000;
constexpr DWORD WAIT_END_SLICE_MS = 5;
// The most bytes one read takes from the driver.
constexpr DWORD READ_AHEAD_MAX = 4096;

struct PendingWrite {
    OVERLAPPED ov{};
    std::vector<std::uint8_t> bytes;
};

} // namespace

struct SerialBackendState {
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED io{};    // the port's I/O context: the port-event wait
    DWORD waitMask = 0; // written by the system when the event wait completes
    std::uint32_t* callerMask = nullptr;
    std::uint32_t eventMask = 0;         // the events selected with SetEventMask
    bool waitPending = false;            // an event wait is outstanding on io (possibly complete)
    bool waitFailed = false;             // the last event wait could not be started
    bool lineGone = false;               // the last queue status failed: the far end is gone
    DWORD knownQueued = 0;               // bytes the driver reported queued and not read since
    HANDLE readEvent = nullptr;          // event of the reads
    std::vector<std::uint8_t> readAhead; // bytes taken from the driver, not handed out yet
    std::size_t readPos = 0;             // the next of them
    std::list<PendingWrite> writes;
};

namespace {

std::size_t ReadAheadLeft(const SerialBackendState& s) {
    return s.readAhead.size() - s.readPos;
}

void DropReadAhead(SerialBackendState& s) {
    s.readAhead.clear();
    s.readPos = 0;
}

void ReapWrites(SerialBackendState& s) {
    for (auto it = s.writes.begin(); it != s.writes.end();) {
        if (HasOverlappedIoCompleted(&it->ov)) {
            DWORD n = 0;
            (void)GetOverlappedResult(s.handle, &it->ov, &n, FALSE);
            CloseHandle(it->ov.hEvent);
            it = s.writes.erase(it);
        } else {
            ++it;
        }
    }
}

// Ends an outstanding event wait: cancels it if it is still running and collects its result,
// so that the I/O context can be used again. Returns whether it completed with success. A wait
// the system has not reported over within WAIT_END_MS stays outstanding (waitPending).
bool FinishWait(SerialBackendState& s) {
    if (!s.waitPending) {
        return false;
    }
    if (!HasOverlappedIoCompleted(&s.io)) {
        (void)CancelIoEx(s.handle, &s.io);
        // The event may already have been taken by WaitIo: it only paces the looks at the
        // record, which alone tells whether the wait is over.
        const DWORD start = GetTickCount();
        while (!HasOverlappedIoCompleted(&s.io) && GetTickCount() - start < WAIT_END_MS) {
            (void)WaitForSingleObject(s.io.hEvent, WAIT_END_SLICE_MS);
        }
        if (!HasOverlappedIoCompleted(&s.io)) {
            return false;
        }
    }
    DWORD n = 0;
    const BOOL ok = GetOverlappedResult(s.handle, &s.io, &n, FALSE);
    s.waitPending = false;
    return ok != 0;
}

} // namespace

void SerialBackendDeleter::operator()(SerialBackendState* state) const {
    if (!state) {
        return;
    }
    if (state->handle != INVALID_HANDLE_VALUE) {
        (void)FinishWait(*state);
        // Give the writes still running (the last command line) their time-outs to go out,
        // then cancel whatever is left; the records must outlive the operations.
        const DWORD start = GetTickCount();
        for (PendingWrite& w : state->writes) {
            const DWORD spent = GetTickCount() - start;
            const DWORD left = spent < CLOSE_WRITE_WAIT_MS ? CLOSE_WRITE_WAIT_MS - spent : 0;
            (void)WaitForSingleObject(w.ov.hEvent, left);
        }
        (void)CancelIoEx(state->handle, nullptr);
        for (PendingWrite& w : state->writes) {
            DWORD n = 0;
            (void)GetOverlappedResult(state->handle, &w.ov, &n, TRUE);
            CloseHandle(w.ov.hEvent);
        }
        state->writes.clear();
        CloseHandle(state->handle);
    }
    if (state->readEvent) {
        CloseHandle(state->readEvent);
    }
    if (state->waitPending) {
        // The system may still write the event wait's result into the record and set its event
        // (closing the handle cancels the wait on Windows): both are kept, a few bytes and one
        // handle given up.
        return;
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
    // The I/O context's event resets itself when a wait is satisfied and starts non-signalled.
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event || !readEvent) {
        // Without them no wait could ever time out: refuse the port.
        if (event) {
            CloseHandle(event);
        }
        if (readEvent) {
            CloseHandle(readEvent);
        }
        CloseHandle(h);
        return nullptr;
    }
    StatePtr state(new SerialBackendState);
    state->handle = h;
    state->io.hEvent = event;
    state->readEvent = readEvent;
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
    (void)GetCommState(s.handle, &dcb); // every field not set below keeps the driver's value
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
    (void)GetCommTimeouts(s.handle, &t);
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
    s.knownQueued = 0;
    DropReadAhead(s);
    ReapWrites(s);
    return ok;
}

bool SetEventMask(SerialBackendState& s, std::uint32_t mask) {
    // A new mask ends a pending wait (Windows completes it with an empty mask); collect it so
    // that the record can be reused.
    const bool ok = SetCommMask(s.handle, mask) != 0;
    s.eventMask = ok ? mask : s.eventMask;
    (void)FinishWait(s);
    return ok;
}

bool ResetEvent(SerialBackendState& s) {
    return ::ResetEvent(s.io.hEvent) != 0;
}

WaitStart StartEventWait(SerialBackendState& s, std::uint32_t* mask) {
    ReapWrites(s);
    s.waitFailed = false;
    if (ReadAheadLeft(s) > 0 && (s.eventMask & LINK_EV_RXCHAR) != 0) {
        // Bytes taken from the driver and not read yet are received characters that the driver
        // no longer reports. A wait still outstanding stays so and is collected later.
        *mask = LINK_EV_RXCHAR;
        return WaitStart::Completed;
    }
    if (s.waitPending) {
        if (!HasOverlappedIoCompleted(&s.io)) {
            // The previous wait is still outstanding: keep waiting on it.
            s.callerMask = mask;
            return WaitStart::Pending;
        }
        // It completed after its caller stopped waiting. An event it brought is reported now;
        // an aborted one is replaced by a new wait.
        if (FinishWait(s) && s.waitMask != 0) {
            *mask = s.waitMask;
            return WaitStart::Completed;
        }
    }
    if (s.lineGone) {
        s.waitFailed = true;
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
    // Failed outright: WaitIo reports a time-out at once and the caller looks at the queue.
    s.waitFailed = true;
    return WaitStart::Pending;
}

int WaitIo(SerialBackendState& s, int timeoutMs) {
    if (s.waitFailed) {
        return LINK_WAIT_TIMEOUT;
    }
    const DWORD r =
        WaitForSingleObject(s.io.hEvent, timeoutMs < 0 ? 0 : static_cast<DWORD>(timeoutMs));
    if (!s.waitPending) {
        // Nothing outstanding: the event tells what there is to tell.
        if (r == WAIT_OBJECT_0) {
            return LINK_WAIT_SIGNALLED;
        }
        return r == WAIT_TIMEOUT ? LINK_WAIT_TIMEOUT : LINK_WAIT_FAILED;
    }
    if (!HasOverlappedIoCompleted(&s.io)) {
        return r == WAIT_FAILED ? LINK_WAIT_FAILED : LINK_WAIT_TIMEOUT;
    }
    if (!FinishWait(s)) {
        // Aborted (Wine on a pseudo-terminal) or the line is gone: no event came.
        return LINK_WAIT_TIMEOUT;
    }
    if (s.callerMask) {
        *s.callerMask = s.waitMask;
    }
    return LINK_WAIT_SIGNALLED;
}

bool IoResult(SerialBackendState& s, std::uint32_t* bytes) {
    if (bytes) {
        *bytes = 0;
    }
    if (s.waitFailed) {
        return false;
    }
    DWORD n = 0;
    const BOOL ok = GetOverlappedResult(s.handle, &s.io, &n, FALSE);
    if (bytes) {
        *bytes = n;
    }
    return ok != 0;
}

bool QueueStatusAfterWait(SerialBackendState& s, std::uint32_t* errors, std::uint32_t* queued) {
    return QueueStatus(s, errors, queued); // the wait counts nothing here
}

bool QueueStatus(SerialBackendState& s, std::uint32_t* errors, std::uint32_t* queued) {
    DWORD e = 0;
    COMSTAT st{};
    const std::size_t ahead = ReadAheadLeft(s);
    if (!ClearCommError(s.handle, &e, &st)) {
        s.lineGone = true;
        s.knownQueued = 0;
        *errors = 0;
        // Bytes already taken from the driver can still be read; the failure shows next time.
        *queued = static_cast<std::uint32_t>(ahead);
        return ahead > 0;
    }
    s.lineGone = false;
    s.knownQueued = st.cbInQue;
    *errors = e;
    *queued = static_cast<std::uint32_t>(st.cbInQue + ahead);
    return true;
}

std::size_t ReadMany(SerialBackendState& s, std::uint8_t* buffer, std::size_t count,
                     ReadResult* result) {
    // ReadOne already takes everything queued in one ReadFile and hands it out from memory.
    std::size_t got = 0;
    *result = ReadResult::Done;
    while (got < count) {
        const ReadResult r = ReadOne(s, buffer + got);
        if (r != ReadResult::Done) {
            *result = r;
            break;
        }
        ++got;
    }
    return got;
}

bool Gone(SerialBackendState& s) {
    if (s.handle == INVALID_HANDLE_VALUE) {
        return true;
    }
    // A removed device fails the status call (ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ...).
    DWORD e = 0;
    COMSTAT st{};
    return ClearCommError(s.handle, &e, &st) == 0;
}

ReadResult ReadOne(SerialBackendState& s, std::uint8_t* cell) {
    if (ReadAheadLeft(s) == 0) {
        DropReadAhead(s);
        if (s.knownQueued == 0) {
            DWORD e = 0;
            COMSTAT st{};
            if (ClearCommError(s.handle, &e, &st)) {
                s.knownQueued = st.cbInQue;
                if (st.cbInQue == 0) {
                    return ReadResult::Pending; // nothing there: the read would have to wait
                }
            }
            // The status failed: the read itself tells what is wrong.
        }
        // Take what is queued (one byte if the status failed) in one read.
        DWORD want = s.knownQueued == 0 ? 1 : s.knownQueued;
        if (want > READ_AHEAD_MAX) {
            want = READ_AHEAD_MAX;
        }
        s.readAhead.resize(want);
        OVERLAPPED ov{};
        ov.hEvent = s.readEvent;
        DWORD n = 0;
        bool ok = ReadFile(s.handle, s.readAhead.data(), want, &n, &ov) != 0;
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            // Queued bytes complete the read at once; the driver's read time-outs bound the wait
            // otherwise. The record lives on this stack, so the read ends here.
            ok = GetOverlappedResult(s.handle, &ov, &n, TRUE) != 0;
        }
        if (!ok) {
            n = 0;
        }
        s.readAhead.resize(n);
        s.knownQueued = n < s.knownQueued ? s.knownQueued - n : 0;
        if (n == 0) {
            // Nothing within the read time-outs is a read that would have to wait; an error
            // (the line is gone) is a failed read.
            DropReadAhead(s);
            return ok ? ReadResult::Pending : ReadResult::Failed;
        }
    }
    *cell = s.readAhead[s.readPos++];
    return ReadResult::Done;
}

bool Write(SerialBackendState& s, const void* data, std::size_t count) {
    ReapWrites(s);
    if (count > MAXDWORD) {
        return false;
    }
    PendingWrite w;
    const auto* p = static_cast<const std::uint8_t*>(data);
    w.bytes.assign(p, p + count);
    w.ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!w.ov.hEvent) {
        return false;
    }
    // The record is placed in the list before the write starts: the system keeps its address.
    s.writes.push_back(std::move(w));
    PendingWrite& started = s.writes.back();
    DWORD n = 0;
    if (WriteFile(s.handle, started.bytes.data(), static_cast<DWORD>(started.bytes.size()), &n,
                  &started.ov)) {
        return true;
    }
    const bool pending = GetLastError() == ERROR_IO_PENDING;
    if (!pending) {
        CloseHandle(started.ov.hEvent);
        s.writes.pop_back();
    }
    return pending;
}

} // namespace serial_backend
