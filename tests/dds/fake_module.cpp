#include "fake_module.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

CFakeModule::~CFakeModule() {
    Stop();
}

bool CFakeModule::Start() {
    m_nMaster = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_nMaster < 0 || grantpt(m_nMaster) != 0 || unlockpt(m_nMaster) != 0) {
        return false;
    }
    const char* name = ptsname(m_nMaster);
    if (name == nullptr) {
        return false;
    }
    m_strSlavePath = name;
    m_nSlave = open(name, O_RDWR | O_NOCTTY);
    if (m_nSlave < 0) {
        return false;
    }
    termios tio{};
    if (tcgetattr(m_nSlave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(m_nSlave, TCSANOW, &tio);
    }
    m_bStop = false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CFakeModule::Stop() {
    m_bStop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_nMaster >= 0) {
        close(m_nMaster);
        m_nMaster = -1;
    }
    if (m_nSlave >= 0) {
        close(m_nSlave);
        m_nSlave = -1;
    }
}

void CFakeModule::QueueAnswer(const std::string& answerLines) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back({Reply::ANSWER, answerLines});
}

void CFakeModule::QueueRaw(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back({Reply::RAW, bytes});
}

void CFakeModule::QueueHangUp() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back({Reply::HANG_UP, {}});
}

std::vector<std::string> CFakeModule::Commands() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}

std::string CFakeModule::LastCommand() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands.empty() ? std::string() : m_commands.back();
}

void CFakeModule::Run() {
    std::string line;
    while (!m_bStop && m_nMaster >= 0) {
        pollfd pfd{m_nMaster, POLLIN, 0};
        const int ready = poll(&pfd, 1, 10);
        if (ready <= 0 || (pfd.revents & POLLIN) == 0) {
            continue; // idle, or the slave side is between opens
        }
        char buf[256];
        const ssize_t n = read(m_nMaster, buf, sizeof buf);
        if (n <= 0) {
            continue;
        }
        for (ssize_t i = 0; i < n && m_nMaster >= 0; ++i) {
            if (buf[i] == '\r') {
                Answer(line);
                line.clear();
            } else {
                line += buf[i];
            }
        }
    }
}

void CFakeModule::Answer(const std::string& command) {
    Reply reply{Reply::ANSWER, {}};
    bool scripted = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_commands.push_back(command);
        if (!m_replies.empty()) {
            reply = m_replies.front();
            m_replies.pop_front();
            scripted = true;
        }
    }
    if (!scripted) {
        if (command.rfind("DI", 0) == 0 || command == "u0") {
            reply.bytes = CLOCK_ANSWER;
        } else if (command.rfind("dds", 0) == 0) {
            reply.bytes = "OK\r\n";
        }
    }
    switch (reply.kind) {
    case Reply::ANSWER:
        WriteAll(command + "\r\n" + reply.bytes + ">");
        break;
    case Reply::RAW:
        WriteAll(reply.bytes);
        break;
    case Reply::HANG_UP:
        close(m_nMaster);
        m_nMaster = -1;
        break;
    }
}

void CFakeModule::WriteAll(const std::string& bytes) {
    // One write, so that the reader sees the prompt as the last byte of a batch.
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(m_nMaster, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}
