// POSIX backend of CSerialPort: termios for the line settings, poll() for the port-event wait,
// ioctl(FIONREAD) for the queued-input count and one-byte non-blocking reads.
//
// Observed behaviour this file is written around:
// - On a pseudo-terminal the modem-line ioctls (TIOCMBIS/TIOCMBIC) fail with ENOTTY or EINVAL;
//   a pseudo-terminal has no DTR or RTS, so that is not a failure of the settings.
// - When the far end goes away (USB adapter pulled, simulator closed its master side), poll()
//   reports POLLHUP or POLLERR at once, read() returns 0 or fails with EIO, and write() and
//   ioctl(FIONREAD) fail with EIO. WaitIo reports that as a time-out, so that readers count it
//   as idle time (each idle cycle sleeps) instead of spinning or blocking.
// - Baud rate 0 means "hang up" to termios (B0 drops DTR); a rate that termios does not know is
//   not applied and the settings call reports failure, leaving the previous speed.
#include "serial_backend.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

struct SerialBackendState {
    int fd = -1;
    std::uint32_t eventMask = 0;
    // Event wait in progress: the caller's mask variable, written when it completes.
    bool waitPending = false;
    std::uint32_t* pendingMask = nullptr;
    bool lastCompleted = false; // the last event wait has completed (IoResult)
    // Bytes accepted by Write that the device did not take yet, in order.
    std::vector<std::uint8_t> outQueue;
    // Bytes were written since the last transmit-empty event.
    bool txActive = false;
    // Input bytes the last event wait counted, given by QueueStatusAfterWait instead of asking
    // the driver again (one system call less on every reply's path). Bytes leave the queue
    // only through this state's reads and purges, which forget the count, and any other queue
    // status asks the driver and forgets it too, so it is never more than what is queued.
    std::uint32_t seenQueued = 0;
};

void SerialBackendDeleter::operator()(SerialBackendState* state) const {
    if (state) {
        if (state->fd >= 0) {
            ::close(state->fd);
        }
        delete state;
    }
}

namespace {

// The most bytes kept for a device that stops taking them (a hung line); writes beyond fail.
constexpr std::size_t MAX_OUT_QUEUE = 1u << 20;

struct BaudEntry {
    int rate;
    speed_t code;
};

constexpr BaudEntry BAUD_TABLE[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool BaudToCode(int rate, speed_t* code) {
    for (const BaudEntry& e : BAUD_TABLE) {
        if (e.rate == rate) {
            *code = e.code;
            return true;
        }
    }
    return false;
}

int CodeToBaud(speed_t code) {
    for (const BaudEntry& e : BAUD_TABLE) {
        if (e.code == code) {
            return e.rate;
        }
    }
    return 0;
}

// Hands queued output to the device as far as it takes it without blocking.
// False when the device failed (not when it is merely full).
bool FlushOut(SerialBackendState& s) {
    std::size_t done = 0;
    bool ok = true;
    while (done < s.outQueue.size()) {
        const ssize_t n = ::write(s.fd, s.outQueue.data() + done, s.outQueue.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        ok = false;
        break;
    }
    s.outQueue.erase(s.outQueue.begin(), s.outQueue.begin() + static_cast<std::ptrdiff_t>(done));
    if (!ok) {
        s.outQueue.clear(); // the line is gone; nothing of it will ever be sent
    }
    return ok;
}

std::uint32_t QueuedInput(const SerialBackendState& s) {
    int n = 0;
    if (::ioctl(s.fd, FIONREAD, &n) != 0 || n < 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(n);
}

bool OutputDrained(const SerialBackendState& s) {
    if (!s.outQueue.empty()) {
        return false;
    }
    int n = 0;
    if (::ioctl(s.fd, TIOCOUTQ, &n) != 0) {
        return true; // the driver cannot tell: take what we handed over as sent
    }
    return n <= 0;
}

// The events that are there now, limited to the event mask.
std::uint32_t CurrentEvents(SerialBackendState& s) {
    std::uint32_t events = 0;
    s.seenQueued = QueuedInput(s);
    if (s.seenQueued > 0) {
        events |= LINK_EV_RXCHAR;
    }
    if (s.txActive && OutputDrained(s)) {
        events |= LINK_EV_TXEMPTY;
    }
    events &= s.eventMask;
    if (events & LINK_EV_TXEMPTY) {
        s.txActive = false;
    }
    return events;
}

} // namespace

namespace serial_backend {

StatePtr Open(const std::string& name) {
    if (name.empty()) {
        return nullptr;
    }
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    if (!::isatty(fd)) {
        ::close(fd); // a plain file or a directory is no serial line
        return nullptr;
    }
    // No sharing: other openers get EBUSY while we hold the line. Not every driver supports it.
    (void)::ioctl(fd, TIOCEXCL);
    StatePtr state(new SerialBackendState);
    state->fd = fd;
    return state;
}

bool GetSettings(SerialBackendState& s, SerialSettings& out) {
    termios t{};
    if (::tcgetattr(s.fd, &t) != 0) {
        return false;
    }
    out.baudRate = CodeToBaud(::cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5:
        out.byteSize = 5;
        break;
    case CS6:
        out.byteSize = 6;
        break;
    case CS7:
        out.byteSize = 7;
        break;
    default:
        out.byteSize = 8;
        break;
    }
    out.parity = 0;
    if (t.c_cflag & PARENB) {
#ifdef CMSPAR
        if (t.c_cflag & CMSPAR) {
            out.parity = (t.c_cflag & PARODD) ? 3 : 4;
        } else
#endif
        {
            out.parity = (t.c_cflag & PARODD) ? 1 : 2;
        }
    }
    out.stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
#ifdef CRTSCTS
    out.outxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
#endif
    return true;
}

bool SetSettings(SerialBackendState& s, const SerialSettings& settings) {
    termios t{};
    if (::tcgetattr(s.fd, &t) != 0) {
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    switch (settings.byteSize) {
    case 5:
        t.c_cflag |= CS5;
        break;
    case 6:
        t.c_cflag |= CS6;
        break;
    case 7:
        t.c_cflag |= CS7;
        break;
    default:
        t.c_cflag |= CS8;
        break;
    }
    t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
#ifdef CMSPAR
    t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    switch (settings.parity) {
    case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        t.c_cflag |= PARENB;
        break;
#ifdef CMSPAR
    case 3:
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
#endif
    default:
        break;
    }
    if (settings.stopBits != 0) {
        t.c_cflag |= CSTOPB;
    } else {
        t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    }
#ifdef CRTSCTS
    if (settings.outxCtsFlow) {
        t.c_cflag |= CRTSCTS;
    } else {
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    }
#endif
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // Reads never block in the driver: the link waits with poll() and reads what is queued.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    bool ok = true;
    speed_t code = 0;
    if (settings.baudRate > 0 && BaudToCode(settings.baudRate, &code)) {
        ::cfsetispeed(&t, code);
        ::cfsetospeed(&t, code);
    } else {
        ok = false;
    }
    if (::tcsetattr(s.fd, TCSANOW, &t) != 0) {
        ok = false;
    }
    // Modem lines: the module wants DTR and RTS off (control 0) unless asked otherwise.
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    (void)::ioctl(s.fd, settings.dtrControl ? TIOCMBIS : TIOCMBIC, &dtr);
    (void)::ioctl(s.fd, settings.rtsControl ? TIOCMBIS : TIOCMBIC, &rts);
    return ok;
}

bool SetTimeouts(SerialBackendState& /*s*/) {
    // The driver is read without blocking (VMIN 0, VTIME 0) and every wait of the link carries
    // its own time-out, so there is nothing to store in the driver.
    return true;
}

bool Purge(SerialBackendState& s) {
    s.seenQueued = 0;
    s.outQueue.clear();
    s.txActive = false;
    return ::tcflush(s.fd, TCIOFLUSH) == 0;
}

bool SetEventMask(SerialBackendState& s, std::uint32_t mask) {
    s.eventMask = mask;
    s.waitPending = false;
    s.pendingMask = nullptr;
    return true;
}

bool ResetEvent(SerialBackendState& s) {
    s.lastCompleted = false;
    return true;
}

WaitStart StartEventWait(SerialBackendState& s, std::uint32_t* mask) {
    if (s.fd < 0 || mask == nullptr) {
        return WaitStart::Refused;
    }
    (void)FlushOut(s);
    const std::uint32_t events = CurrentEvents(s);
    if (events != 0) {
        *mask = events;
        s.waitPending = false;
        s.lastCompleted = true;
        return WaitStart::Completed;
    }
    s.waitPending = true;
    s.pendingMask = mask;
    s.lastCompleted = false;
    return WaitStart::Pending;
}

int WaitIo(SerialBackendState& s, int timeoutMs) {
    if (!s.waitPending) {
        if (s.lastCompleted) {
            return LINK_WAIT_SIGNALLED;
        }
        // Nothing in progress: the event stays unsignalled for the whole time-out.
        if (timeoutMs > 0) {
            ::poll(nullptr, 0, timeoutMs);
        }
        return LINK_WAIT_TIMEOUT;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
        if (left < 0) {
            left = 0;
        }
        pollfd p{};
        p.fd = s.fd;
        p.events = POLLIN;
        if (!s.outQueue.empty()) {
            p.events |= POLLOUT;
        }
        // Waiting for the transmitter to drain cannot be polled for; look again every ms.
        const bool txWatch = s.txActive && (s.eventMask & LINK_EV_TXEMPTY) && s.outQueue.empty();
        const int slice = txWatch && left > 1 ? 1 : left;
        const int r = ::poll(&p, 1, slice);
        if (r < 0 && errno != EINTR) {
            return LINK_WAIT_FAILED;
        }
        if (r > 0 && (p.revents & POLLOUT)) {
            (void)FlushOut(s);
        }
        const std::uint32_t events = CurrentEvents(s);
        if (events != 0) {
            if (s.pendingMask) {
                *s.pendingMask = events;
            }
            s.waitPending = false;
            s.pendingMask = nullptr;
            s.lastCompleted = true;
            return LINK_WAIT_SIGNALLED;
        }
        if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL | POLLIN))) {
            // Readable with nothing queued is end of file: the far end has gone, like a
            // hang-up. Report a time-out so that the reader counts an idle cycle.
            return LINK_WAIT_TIMEOUT;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return LINK_WAIT_TIMEOUT;
        }
    }
}

bool IoResult(SerialBackendState& s, std::uint32_t* bytes) {
    if (bytes) {
        *bytes = 0;
    }
    return s.lastCompleted;
}

bool QueueStatusAfterWait(SerialBackendState& s, std::uint32_t* errors, std::uint32_t* queued) {
    if (s.seenQueued > 0) {
        *errors = 0;
        *queued = s.seenQueued;
        s.seenQueued = 0;
        return true;
    }
    return QueueStatus(s, errors, queued);
}

bool QueueStatus(SerialBackendState& s, std::uint32_t* errors, std::uint32_t* queued) {
    *errors = 0;
    s.seenQueued = 0;
    int n = 0;
    if (::ioctl(s.fd, FIONREAD, &n) != 0 || n < 0) {
        *queued = 0;
        return false;
    }
    *queued = static_cast<std::uint32_t>(n);
    return true;
}

ReadResult ReadOne(SerialBackendState& s, std::uint8_t* cell) {
    s.seenQueued = 0;
    for (;;) {
        std::uint8_t b = 0;
        const ssize_t n = ::read(s.fd, &b, 1);
        if (n == 1) {
            *cell = b;
            return ReadResult::Done;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return ReadResult::Pending;
        }
        return ReadResult::Failed; // end of file or EIO: the line is gone
    }
}

std::size_t ReadMany(SerialBackendState& s, std::uint8_t* buffer, std::size_t count,
                     ReadResult* result) {
    s.seenQueued = 0;
    std::size_t got = 0;
    *result = ReadResult::Done;
    while (got < count) {
        const ssize_t n = ::read(s.fd, buffer + got, count - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        *result = (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) ? ReadResult::Pending
                                                                       : ReadResult::Failed;
        break;
    }
    return got;
}

bool Gone(SerialBackendState& s) {
    if (s.fd < 0) {
        return true;
    }
    // A hang-up or an error shows in poll() at once, without taking a byte from the queue.
    pollfd p{};
    p.fd = s.fd;
    p.events = POLLIN;
    int r = 0;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        return true;
    }
    // Readable with nothing queued is end of file; a failing queue count is an I/O error.
    int queued = 0;
    if (::ioctl(s.fd, FIONREAD, &queued) != 0) {
        return true;
    }
    return r > 0 && (p.revents & POLLIN) && queued == 0;
}

bool Write(SerialBackendState& s, const void* data, std::size_t count) {
    if (s.fd < 0) {
        return false;
    }
    if (s.outQueue.size() + count > MAX_OUT_QUEUE) {
        return false;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    s.outQueue.insert(s.outQueue.end(), bytes, bytes + count);
    s.txActive = true;
    return FlushOut(s);
}

} // namespace serial_backend
