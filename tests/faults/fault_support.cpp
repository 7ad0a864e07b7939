#include "fault_support.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Appends what is there to read on fd; false at end of file.
bool ReadInto(int fd, std::string& text) {
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<std::size_t>(n));
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && errno == EAGAIN;
    }
}

} // namespace

CWaitMeter::CWaitMeter()
    : m_start(std::chrono::steady_clock::now()), m_cpuStart(ProcessCpuSeconds()) {}

double CWaitMeter::WallSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

double CWaitMeter::CpuSeconds() const {
    return ProcessCpuSeconds() - m_cpuStart;
}

double CWaitMeter::ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

CChildProcess::CChildProcess(const std::string& program, const std::vector<std::string>& args,
                             const std::string& input)
    : m_start(std::chrono::steady_clock::now()) {
    // Standard input comes from a file, so the child never waits on a pipe of ours.
    char inPath[] = "/tmp/morvane-fault-in-XXXXXX";
    const int in = mkstemp(inPath);
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (in < 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return;
    }
    unlink(inPath);
    if (::write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
        lseek(in, 0, SEEK_SET) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> all = args;
    std::vector<char*> argv;
    for (std::string& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in);
    ::close(out[1]);
    ::close(err[1]);
    m_out = out[0];
    m_err = err[0];
    fcntl(m_out, F_SETFL, fcntl(m_out, F_GETFL) | O_NONBLOCK);
    fcntl(m_err, F_SETFL, fcntl(m_err, F_GETFL) | O_NONBLOCK);
}

CChildProcess::~CChildProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) {
        ::close(m_out);
    }
    if (m_err >= 0) {
        ::close(m_err);
    }
}

void CChildProcess::Signal(int signal) {
    if (m_pid > 0) {
        kill(m_pid, signal);
    }
}

std::string CChildProcess::FirstLine(double guardSeconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(guardSeconds);
    while (m_outText.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
        pollfd p{m_out, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0 && !ReadInto(m_out, m_outText)) {
            break;
        }
    }
    return m_outText.substr(0, m_outText.find('\n'));
}

bool CChildProcess::WaitForLines(std::size_t count, double guardSeconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(guardSeconds);
    const auto lines = [this] {
        return static_cast<std::size_t>(std::count(m_outText.begin(), m_outText.end(), '\n'));
    };
    while (lines() < count && std::chrono::steady_clock::now() < end) {
        pollfd p{m_out, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0 && !ReadInto(m_out, m_outText)) {
            break;
        }
    }
    return lines() >= count;
}

ProcessResult CChildProcess::Finish(double guardSeconds) {
    ProcessResult result;
    if (m_pid <= 0) {
        return result;
    }
    const auto end = m_start + std::chrono::duration<double>(guardSeconds);
    bool outOpen = true;
    bool errOpen = true;
    while (outOpen || errOpen) {
        if (std::chrono::steady_clock::now() >= end) {
            kill(m_pid, SIGKILL);
            result.killed = true;
            break;
        }
        pollfd p[2] = {{outOpen ? m_out : -1, POLLIN, 0}, {errOpen ? m_err : -1, POLLIN, 0}};
        if (::poll(p, 2, 50) <= 0) {
            continue;
        }
        if (p[0].revents != 0) {
            outOpen = ReadInto(m_out, m_outText);
        }
        if (p[1].revents != 0) {
            errOpen = ReadInto(m_err, result.err);
        }
    }
    int status = 0;
    rusage usage{};
    while (wait4(m_pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    result.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    result.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    result.out = m_outText;
    if (WIFEXITED(status) && !result.killed) {
        result.exited = true;
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& input, double guardSeconds) {
    CChildProcess child(program, args, input);
    return child.Finish(guardSeconds);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
