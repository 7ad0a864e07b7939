#include "scripted_module.h"

bool CScriptedModule::Start() {
    m_module = std::make_unique<CFakeModule>(
        [this](const std::string& command) { return Answer(command); });
    return !m_module->SlavePath().empty();
}

void CScriptedModule::QueueAnswer(const std::string& answerLines) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back({Reply::ANSWER, answerLines});
}

void CScriptedModule::QueueRaw(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back({Reply::RAW, bytes});
}

void CScriptedModule::QueueHangUp() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back({Reply::HANG_UP, {}});
}

std::vector<std::string> CScriptedModule::Commands() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}

std::string CScriptedModule::LastCommand() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands.empty() ? std::string() : m_commands.back();
}

std::vector<FakeChunk> CScriptedModule::Answer(const std::string& command) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (command.empty()) {
        return {{"\r\n>", 0}}; // the probe
    }
    m_commands.push_back(command);
    std::string answer;
    if (!m_replies.empty()) {
        const Reply reply = m_replies.front();
        m_replies.pop_front();
        if (reply.kind == Reply::RAW) {
            return {{reply.bytes, 0}};
        }
        if (reply.kind == Reply::HANG_UP) {
            FakeChunk gone;
            gone.hangUpAfter = true;
            return {gone};
        }
        answer = reply.bytes;
    } else if (command.rfind("DI", 0) == 0 || command == "u0") {
        answer = CLOCK_ANSWER;
    } else if (command.rfind("dds", 0) == 0) {
        answer = "OK\r\n";
    }
    // One write, so that the reader sees the prompt as the last byte of a batch.
    return {{command + "\r\n" + answer + ">", 0}};
}
