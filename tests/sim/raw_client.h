// A minimal serial client for the simulator tests: plain POSIX calls on the slave side of the
// pseudo-terminal, independent of the console's own link code, so that the simulator is checked
// against the operating system alone.
#pragma once

#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

class CRawClient {
public:
    // Limit of every wait, so that a broken simulator fails a test instead of hanging it.
    static constexpr std::chrono::milliseconds GUARD{10000};

    CRawClient() = default;
    explicit CRawClient(const std::string& path) { Open(path); }
    ~CRawClient() { Close(); }
    CRawClient(const CRawClient&) = delete;
    CRawClient& operator=(const CRawClient&) = delete;

    bool Open(const std::string& path) {
        Close();
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd < 0)
            return false;
        termios tio{};
        if (tcgetattr(m_fd, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(m_fd, TCSANOW, &tio);
        }
        return true;
    }

    void Close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    int Fd() const { return m_fd; }

    bool Write(std::string_view bytes) {
        std::size_t done = 0;
        const auto end = std::chrono::steady_clock::now() + GUARD;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (std::chrono::steady_clock::now() > end)
                return false;
            pollfd pfd{m_fd, POLLOUT, 0};
            ::poll(&pfd, 1, 10);
        }
        return true;
    }

    // Reads until the text read ends with the given suffix, the line goes dead or the guard
    // time passes; returns what was read.
    std::string ReadUntil(std::string_view suffix) {
        std::string text;
        const auto end = std::chrono::steady_clock::now() + GUARD;
        while (!EndsWith(text, suffix)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(text, static_cast<int>(left.count())))
                break;
        }
        return text;
    }

    // Reads the reply to a command: up to a ">" that is the last byte of a batch, as the
    // console's reader does.
    std::string ReadReply() { return ReadUntil(">"); }

    // Reads until at least count bytes have arrived (or the guard time passes).
    std::string ReadCount(std::size_t count) {
        std::string text;
        const auto end = std::chrono::steady_clock::now() + GUARD;
        while (text.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(text, static_cast<int>(left.count())))
                break;
        }
        return text;
    }

    // Everything that arrives within the given time.
    std::string ReadFor(std::chrono::milliseconds window) {
        std::string text;
        const auto end = std::chrono::steady_clock::now() + window;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(text, static_cast<int>(left.count())))
                break;
        }
        return text;
    }

    // poll's revents for POLLIN after waiting up to ms.
    short PollEvents(int ms) {
        pollfd pfd{m_fd, POLLIN, 0};
        return ::poll(&pfd, 1, ms) > 0 ? pfd.revents : 0;
    }

private:
    static bool EndsWith(const std::string& text, std::string_view suffix) {
        return text.size() >= suffix.size() &&
               text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
    }

    // Waits up to ms for bytes and appends them; false on time-out, hang-up or error.
    bool ReadSome(std::string& text, int ms) {
        pollfd pfd{m_fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, ms);
        if (ready <= 0)
            return ready < 0 && errno == EINTR;
        char buf[4096];
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<std::size_t>(n));
            return true;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }

    int m_fd = -1;
};
