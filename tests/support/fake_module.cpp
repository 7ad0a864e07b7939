#include "fake_module.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

CFakeModule::CFakeModule(Handler handler) : m_handler(std::move(handler)) {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        return;
    }
    m_slavePath = ::ptsname(m_master);
    // Keep a slave descriptor open in raw mode: no echo by the line discipline, and no hang-up
    // seen on the master while the link closes and reopens its side.
    m_slave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(m_slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(m_slave, TCSANOW, &t);
    if (::pipe(m_stopPipe) != 0) {
        return;
    }
    m_thread = std::thread([this] { Serve(); });
}

CFakeModule::~CFakeModule() {
    if (m_stopPipe[1] >= 0) {
        (void)!::write(m_stopPipe[1], "x", 1);
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    HangUp();
    for (int fd : m_stopPipe) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

std::string CFakeModule::Received() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

void CFakeModule::HangUp() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hungUp = true;
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
    if (m_slave >= 0) {
        ::close(m_slave);
        m_slave = -1;
    }
}

void CFakeModule::Send(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_master >= 0) {
        (void)!::write(m_master, bytes.data(), bytes.size());
    }
}

std::vector<FakeChunk> CFakeModule::Reply(const std::string& line,
                                          const std::vector<std::string>& answers) {
    std::string text = line + "\r\n";
    for (const std::string& a : answers) {
        text += a + "\r\n";
    }
    text += ">";
    return {{text, 0}};
}

void CFakeModule::Serve() {
    std::string line;
    for (;;) {
        int master = -1;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            master = m_master;
        }
        pollfd fds[2] = {{m_stopPipe[0], POLLIN, 0}, {master, POLLIN, 0}};
        const int n = ::poll(fds, master >= 0 ? 2 : 1, 50);
        if (n < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents) {
            return;
        }
        if (master < 0 || !(fds[1].revents & POLLIN)) {
            continue;
        }
        char buf[256];
        const ssize_t got = ::read(master, buf, sizeof buf);
        if (got <= 0) {
            continue;
        }
        for (ssize_t i = 0; i < got; ++i) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_received.push_back(buf[i]);
            }
            if (buf[i] != '\r') {
                line.push_back(buf[i]);
                continue;
            }
            for (const FakeChunk& chunk : m_handler(line)) {
                if (chunk.delayMsBefore > 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(chunk.delayMsBefore));
                }
                if (m_hungUp) {
                    break;
                }
                Send(chunk.bytes);
                if (chunk.hangUpAfter) {
                    HangUp();
                    return;
                }
            }
            line.clear();
        }
    }
}
