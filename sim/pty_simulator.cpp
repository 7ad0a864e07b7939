#include "pty_simulator.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

using namespace std::chrono_literals;

namespace {

constexpr std::size_t RECEIVED_CAP = 64u << 20;
constexpr std::size_t READ_CHUNK = 4096;
constexpr int READ_ROUNDS = 16; // reads per wake-up, so that output is not starved by input
constexpr std::size_t FLOOD_CHUNK_UNPACED = 256;
constexpr std::size_t FLOOD_CHUNK_PACED = 64;
// An unpaced flood sends one chunk per tick: fast enough to keep any reader busy, bounded
// enough not to take a core.
constexpr auto FLOOD_TICK = 1ms;
// Before hanging up, the bytes already sent (the echo) are given time to be read: once a
// pseudo-terminal is hung up, the client's reads return end of file and whatever was still
// queued for it is lost.
constexpr auto HANGUP_MIN_DELAY = 10ms;
constexpr auto HANGUP_MAX_DELAY = 1000ms;
constexpr auto HANGUP_CHECK = 5ms;
constexpr auto INPUT_RETRY = 10ms;
constexpr auto POLL_RETRY = 10ms;
// While this much output waits to be written, no more input is read: a client that sends
// commands without reading the replies then finds the line full, as with a real module busy
// sending, instead of the simulator queueing answers without bound.
constexpr std::size_t INPUT_HOLD_BYTES = 64u << 10;
constexpr std::size_t BACKLOG_BYTES = 4096; // input read but not yet taken in

bool SimSetDescriptorFlags(int fd, bool nonBlocking) {
    const int fdFlags = fcntl(fd, F_GETFD);
    if (fdFlags < 0 || fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC) < 0)
        return false;
    if (!nonBlocking)
        return true;
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) >= 0;
}

void SimCloseDescriptor(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// The name of the slave side of a master descriptor.
bool SimSlaveName(int master, std::string& name) {
#ifdef __linux__
    char buf[128];
    if (ptsname_r(master, buf, sizeof buf) != 0)
        return false;
    name = buf;
#else
    const char* p = ptsname(master); // not thread-safe; Start holds the lifecycle lock
    if (p == nullptr)
        return false;
    name = p;
#endif
    return true;
}

// Points path at target, replacing an old symbolic link there but never a real file.
bool SimMakeLink(const std::string& path, const std::string& target) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode) || unlink(path.c_str()) != 0)
            return false;
    }
    return symlink(target.c_str(), path.c_str()) == 0;
}

// Removes the link at path if it still points at target (another simulator may own it now).
void SimRemoveLink(const std::string& path, const std::string& target) {
    char buf[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    if (n >= 0 && std::string_view(buf, static_cast<std::size_t>(n)) == target)
        unlink(path.c_str());
}

int SimPoll(pollfd* fds, nfds_t count, const std::chrono::nanoseconds* timeout) {
#ifdef __linux__
    // Nanosecond time-outs: at 115200 baud a byte lasts 87 us, far below poll's millisecond.
    timespec ts{};
    if (timeout != nullptr) {
        ts.tv_sec = static_cast<time_t>(timeout->count() / 1000000000);
        ts.tv_nsec = static_cast<long>(timeout->count() % 1000000000);
    }
    return ppoll(fds, count, timeout != nullptr ? &ts : nullptr, nullptr);
#else
    int ms = -1;
    if (timeout != nullptr)
        ms = static_cast<int>(
            std::min<std::int64_t>((timeout->count() + 999999) / 1000000, INT_MAX));
    return poll(fds, count, ms);
#endif
}

} // namespace

CPtySimulator::CPtySimulator(const SimOptions& options)
    : m_options(options), m_engine(options.seed), m_pacer(std::max(1, options.baud)),
      m_wakeLead(std::max(1, options.baud)) {
    m_engine.SetSlowMs(options.slowMs);
    m_engine.SetFault(options.fault,
                      options.fault == SimFault::HangupAfter ? options.hangupAfter : 0);
}

CPtySimulator::~CPtySimulator() {
    Stop();
}

bool CPtySimulator::Start() {
    std::lock_guard life(m_lifeMutex);
    std::lock_guard lock(m_mutex);
    if (m_running)
        return true;
    Cleanup(); // what an earlier run may have left

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        return false;
    std::string name;
    int slave = -1;
    int wake[2] = {-1, -1};
    bool ok = grantpt(master) == 0 && unlockpt(master) == 0 && SimSlaveName(master, name) &&
              SimSetDescriptorFlags(master, true);
    if (ok) {
        slave = ::open(name.c_str(), O_RDWR | O_NOCTTY);
        ok = slave >= 0 && SimSetDescriptorFlags(slave, false);
    }
    if (ok) {
        // Raw line: no echo by the line discipline, no line editing, no CR/LF translation.
        // The client sets its own settings when it opens the port; these hold until then.
        termios tio{};
        ok = tcgetattr(slave, &tio) == 0;
        if (ok) {
            cfmakeraw(&tio);
            ok = tcsetattr(slave, TCSANOW, &tio) == 0;
        }
    }
    if (ok) {
        ok = pipe(wake) == 0 && SimSetDescriptorFlags(wake[0], true) &&
             SimSetDescriptorFlags(wake[1], true);
    }
    if (ok && !m_options.linkPath.empty())
        ok = SimMakeLink(m_options.linkPath, name);
    if (!ok) {
        SimCloseDescriptor(master);
        SimCloseDescriptor(slave);
        SimCloseDescriptor(wake[0]);
        SimCloseDescriptor(wake[1]);
        return false;
    }

    m_master = master;
    m_slave = slave;
    m_wakeRead = wake[0];
    m_wakeWrite = wake[1];
    m_slavePath = name;
    m_linkMade = !m_options.linkPath.empty();
    m_queue.clear();
    m_backlog.clear();
    m_frontOffset = 0;
    m_wantWrite = m_flooding = m_pauseActive = m_hangupDraining = false;
    m_stopRequested = m_hangupRequested = m_hungUp = false;
    m_inputPausedUntil = Clock::time_point{};
    m_running = true;
    m_thread = std::thread(&CPtySimulator::Run, this);
    return true;
}

void CPtySimulator::Stop() {
    std::lock_guard life(m_lifeMutex);
    std::thread thread;
    {
        std::lock_guard lock(m_mutex);
        if (!m_running) {
            Cleanup();
            return;
        }
        m_stopRequested = true;
        Wake();
        thread = std::move(m_thread);
    }
    thread.join();
    std::lock_guard lock(m_mutex);
    m_running = false;
    Cleanup();
    m_changed.notify_all();
}

void CPtySimulator::Cleanup() {
    SimCloseDescriptor(m_master);
    SimCloseDescriptor(m_slave);
    SimCloseDescriptor(m_wakeRead);
    SimCloseDescriptor(m_wakeWrite);
    if (m_linkMade)
        SimRemoveLink(m_options.linkPath, m_slavePath);
    m_linkMade = false;
    m_queue.clear();
    m_backlog.clear();
    m_frontOffset = 0;
    m_flooding = false;
}

void CPtySimulator::Wake() {
    if (m_wakeWrite >= 0) {
        const char byte = 1;
        // A full pipe already holds a wake-up; nothing is lost when this write is refused.
        [[maybe_unused]] const ssize_t n = ::write(m_wakeWrite, &byte, 1);
    }
}

std::string CPtySimulator::SlavePath() const {
    std::lock_guard lock(m_mutex);
    return m_slavePath;
}

SimChannel CPtySimulator::Channel(int index) const {
    std::lock_guard lock(m_mutex);
    return m_engine.Channel(index);
}

SimChannel CPtySimulator::PendingChannel(int index) const {
    std::lock_guard lock(m_mutex);
    return m_engine.PendingChannel(index);
}

int CPtySimulator::ClockMode() const {
    std::lock_guard lock(m_mutex);
    return m_engine.ClockMode();
}

std::vector<std::uint8_t> CPtySimulator::ReadMemory(std::uint32_t address,
                                                    std::size_t count) const {
    std::lock_guard lock(m_mutex);
    return m_engine.ReadMemory(address, count);
}

void CPtySimulator::WriteMemory(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(m_mutex);
    m_engine.WriteMemory(address, bytes);
}

std::string CPtySimulator::Received() const {
    std::lock_guard lock(m_mutex);
    return m_received;
}

void CPtySimulator::ClearReceived() {
    std::lock_guard lock(m_mutex);
    m_received.clear();
}

std::size_t CPtySimulator::CommandCount() const {
    std::lock_guard lock(m_mutex);
    return m_engine.CommandCount();
}

void CPtySimulator::SetFault(SimFault fault, int arg) {
    std::lock_guard lock(m_mutex);
    m_engine.SetFault(fault, arg);
    // A flood or a hang-up that the old mode started and that has not yet taken effect ends
    // with it; a line already closed stays closed.
    if (fault != SimFault::Flood) {
        m_flooding = false;
        std::erase_if(m_queue,
                      [](const SimOutput& item) { return item.kind == SimOutKind::Flood; });
    }
    if (fault != SimFault::HangupAfter) {
        std::erase_if(m_queue,
                      [](const SimOutput& item) { return item.kind == SimOutKind::HangUp; });
        m_hangupDraining = false;
    }
    Wake();
}

void CPtySimulator::HangUp() {
    std::unique_lock lock(m_mutex);
    if (m_hungUp)
        return;
    if (m_running && !m_stopRequested) {
        // Only the serving thread closes the descriptors it polls.
        m_hangupRequested = true;
        Wake();
        m_changed.wait(lock, [&] { return m_hungUp || m_stopRequested || !m_running; });
    } else {
        CloseLine();
    }
}

bool CPtySimulator::IsHungUp() const {
    std::lock_guard lock(m_mutex);
    return m_hungUp;
}

void CPtySimulator::CloseLine() {
    SimCloseDescriptor(m_slave);
    SimCloseDescriptor(m_master);
    // A vanished device takes its name with it, as udev removes /dev/ttyUSB0 and its by-id
    // link when an adapter is pulled. The pseudo-terminal's own number is free again at once and
    // the next pseudo-terminal of any process may take it; the link never points at that one.
    if (m_linkMade)
        SimRemoveLink(m_options.linkPath, m_slavePath);
    m_linkMade = false;
    m_queue.clear();
    m_backlog.clear();
    m_frontOffset = 0;
    m_wantWrite = m_flooding = m_pauseActive = m_hangupDraining = false;
    m_hungUp = true;
    m_changed.notify_all();
}

void CPtySimulator::ReadInput(Clock::time_point now) {
    char buf[READ_CHUNK];
    for (int round = 0; round < READ_ROUNDS && m_backlog.size() < BACKLOG_BYTES; ++round) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            const std::string_view bytes(buf, static_cast<std::size_t>(n));
            if (m_received.size() < RECEIVED_CAP)
                m_received.append(bytes.substr(0, RECEIVED_CAP - m_received.size()));
            m_backlog.append(bytes);
            if (static_cast<std::size_t>(n) < sizeof buf)
                break; // all that was queued: what comes later wakes the poll again
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // End of file or EIO: with the slave kept open this should not happen; if it does,
        // look again a little later instead of spinning on a descriptor that stays readable.
        m_inputPausedUntil = now + INPUT_RETRY;
        break;
    }
    FeedBacklog(now);
}

void CPtySimulator::FeedBacklog(Clock::time_point now) {
    // One line at a time, so that a run of commands with long answers stops being taken in
    // as soon as their replies fill the output queue.
    std::size_t pos = 0;
    std::vector<SimOutput> out;
    while (pos < m_backlog.size() && m_master >= 0 && QueuedBytes() < INPUT_HOLD_BYTES) {
        const std::size_t cr = m_backlog.find('\r', pos);
        const std::size_t end = cr == std::string::npos ? m_backlog.size() : cr + 1;
        out.clear();
        m_engine.Feed(std::string_view(m_backlog).substr(pos, end - pos), out);
        pos = end;
        if (out.empty())
            continue;
        if (m_queue.empty() && !m_flooding) {
            // The line has been idle: the reply's first byte leaves one byte time after the
            // terminator of the line it answers arrived.
            m_pacer.Restart(now);
        }
        for (SimOutput& item : out)
            m_queue.push_back(std::move(item));
    }
    m_backlog.erase(0, pos);
}

void CPtySimulator::PumpOutput(Clock::time_point now) {
    const bool paced = m_options.baud > 0;
    while (m_master >= 0 && !m_wantWrite && (!m_queue.empty() || m_flooding)) {
        if (m_queue.empty()) {
            if (paced) {
                m_queue.push_back({SimOutKind::Bytes, m_engine.FloodBytes(FLOOD_CHUNK_PACED), 0});
            } else {
                if (now < m_nextFloodTick)
                    return;
                m_queue.push_back({SimOutKind::Bytes, m_engine.FloodBytes(FLOOD_CHUNK_UNPACED), 0});
                m_nextFloodTick = now + FLOOD_TICK;
            }
            continue;
        }
        SimOutput& item = m_queue.front();
        switch (item.kind) {
        case SimOutKind::Pause:
            if (!m_pauseActive) {
                m_pauseActive = true;
                m_pauseUntil = now + std::chrono::milliseconds(item.pauseMs);
            }
            if (now < m_pauseUntil)
                return;
            m_pauseActive = false;
            m_queue.pop_front();
            m_pacer.Restart(now); // the line was idle during the pause
            continue;
        case SimOutKind::Flood:
            m_flooding = true;
            m_nextFloodTick = now;
            m_queue.pop_front();
            continue;
        case SimOutKind::HangUp: {
            if (!m_hangupDraining) {
                m_hangupDraining = true;
                m_hangupNotBefore = now + HANGUP_MIN_DELAY;
                m_hangupDeadline = now + HANGUP_MAX_DELAY;
            }
            if (now < m_hangupNotBefore)
                return;
            int queued = 0;
            if (now < m_hangupDeadline && m_slave >= 0 && ioctl(m_slave, FIONREAD, &queued) == 0 &&
                queued > 0)
                return; // the client has not read everything yet
            CloseLine();
            return;
        }
        case SimOutKind::Bytes:
            break;
        }

        const std::size_t remaining = item.bytes.size() - m_frontOffset;
        std::size_t allowed = remaining;
        if (paced) {
            allowed = std::min(remaining, m_pacer.Due(now));
            if (allowed == 0)
                return;
        }
        const ssize_t n = ::write(m_master, item.bytes.data() + m_frontOffset, allowed);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                m_wantWrite = true;
                return;
            }
            // The line cannot take bytes at all: what was to be sent is lost, as on a real
            // line without a listener.
            m_queue.clear();
            m_frontOffset = 0;
            return;
        }
        const auto written = static_cast<std::size_t>(n);
        m_frontOffset += written;
        if (paced)
            m_pacer.Sent(written);
        if (m_frontOffset == item.bytes.size()) {
            m_queue.pop_front();
            m_frontOffset = 0;
        } else if (written < allowed) {
            m_wantWrite = true; // the pseudo-terminal's buffer is full
            return;
        }
    }
}

std::size_t CPtySimulator::QueuedBytes() const {
    std::size_t total = 0;
    for (const SimOutput& item : m_queue)
        total += item.bytes.size();
    return total - m_frontOffset;
}

bool CPtySimulator::NextDeadline(Clock::time_point now, Clock::time_point& deadline) const {
    bool any = false;
    auto consider = [&](Clock::time_point t) {
        if (!any || t < deadline)
            deadline = t;
        any = true;
    };
    if (now < m_inputPausedUntil)
        consider(m_inputPausedUntil);
    if (m_master < 0 || m_wantWrite)
        return any;
    if (m_queue.empty()) {
        if (m_flooding)
            consider(m_nextFloodTick);
        return any;
    }
    switch (m_queue.front().kind) {
    case SimOutKind::Pause:
        consider(m_pauseActive ? m_pauseUntil : now);
        break;
    case SimOutKind::HangUp:
        consider(m_hangupDraining && now < m_hangupNotBefore ? m_hangupNotBefore
                                                             : now + HANGUP_CHECK);
        break;
    case SimOutKind::Bytes:
        if (m_options.baud > 0) {
            // A wake-up for every byte (87 us apart at 115200 baud), so that the reader sees
            // the bytes arrive as from a wire, not in clumps. Bytes are late, never early.
            consider(m_pacer.NextDeadline());
        } else {
            // Unpaced bytes wait only for POLLOUT; this is a guard against a lost wake-up.
            consider(now + POLL_RETRY);
        }
        break;
    case SimOutKind::Flood:
        consider(now);
        break;
    }
    return any;
}

void CPtySimulator::Run() {
#ifdef __linux__
    // The default timer slack of 50 us would make paced output late by up to that much per
    // wake-up; the pacing schedules to the microsecond.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    std::unique_lock lock(m_mutex);
    while (!m_stopRequested) {
        if (m_hangupRequested) {
            m_hangupRequested = false;
            CloseLine();
        }
        Clock::time_point now = Clock::now();
        PumpOutput(now);
        // Input held back while the output queue was full is taken in as the queue drains.
        // Each round takes at least one line, and the loop ends with the backlog empty or the
        // queue full again, in which case POLLOUT or a pacing deadline wakes the thread.
        while (!m_backlog.empty() && m_master >= 0 && QueuedBytes() < INPUT_HOLD_BYTES) {
            FeedBacklog(now);
            PumpOutput(now);
        }

        pollfd fds[2] = {{m_wakeRead, POLLIN, 0}, {-1, 0, 0}};
        nfds_t count = 1;
        if (m_master >= 0) {
            short events = 0;
            if (now >= m_inputPausedUntil && m_backlog.size() < BACKLOG_BYTES)
                events |= POLLIN;
            if (m_wantWrite)
                events |= POLLOUT;
            fds[1] = {m_master, events, 0};
            count = 2;
        }
        Clock::time_point deadline;
        std::chrono::nanoseconds timeout{};
        const bool timed = NextDeadline(now, deadline);
        // Paced, the wait ends early by what the system's waits are late, and the rest is
        // waited out below, so that bytes leave on time.
        const bool paced = m_options.baud > 0;
        // The byte due is the last one queued (the prompt of a reply): the moment the reader's
        // exchange ends.
        const bool lastByte = paced && !m_queue.empty() &&
                              m_queue.front().kind == SimOutKind::Bytes && QueuedBytes() == 1;
        if (timed)
            timeout = paced ? m_wakeLead.Timeout(now, deadline, lastByte)
                            : std::max(std::chrono::nanoseconds(0),
                                       std::chrono::duration_cast<std::chrono::nanoseconds>(
                                           deadline - now));

        lock.unlock();
        const int ready = SimPoll(fds, count, timed ? &timeout : nullptr);
        const int pollError = errno;
        // The moment input is seen is the moment its terminator arrived, for the pacing of the
        // reply; taken before the lock, which a caller may be holding for a moment.
        Clock::time_point woke = Clock::now();
        if (paced && timed && ready == 0 && timeout.count() > 0) {
            // Counted from the loop's look at the clock, so that the lead also covers the
            // loop's own work around the wait (the write of a byte among it), which the next
            // byte costs again before it is on the line.
            m_wakeLead.Woke(now + timeout, woke);
            woke = m_wakeLead.WaitOut(deadline, lastByte);
        }
        lock.lock();

        if (ready < 0) {
            if (pollError != EINTR) {
                // Out of kernel memory or the like: try again a little later, without spinning.
                lock.unlock();
                std::this_thread::sleep_for(POLL_RETRY);
                lock.lock();
            }
            continue;
        }
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(m_wakeRead, drain, sizeof drain) > 0) {
            }
        }
        // The master descriptor is closed only by this thread, so it is still the one polled.
        if (count == 2 && m_master >= 0) {
            if (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))
                m_wantWrite = false;
            if (fds[1].revents & (POLLIN | POLLERR | POLLHUP))
                ReadInput(woke);
        }
    }
    m_changed.notify_all();
}

namespace {
std::mutex g_inProcessMutex;
std::unique_ptr<CPtySimulator> g_inProcess;
} // namespace

std::string SimStartInProcess() {
    std::lock_guard lock(g_inProcessMutex);
    if (!g_inProcess) {
        auto simulator = std::make_unique<CPtySimulator>();
        if (!simulator->Start())
            return {};
        g_inProcess = std::move(simulator);
    }
    return g_inProcess->SlavePath();
}

CPtySimulator* SimInProcessInstance() {
    std::lock_guard lock(g_inProcessMutex);
    return g_inProcess.get();
}
