// A module for the DDS tests that answers from a queue of scripted replies, on the shared
// pseudo-terminal far end (tests/support/fake_module.h).
//
// Each command line is recorded and answered with the next queued reply, or, when none is
// queued, the way a healthy module does: the echo, CR LF, one answer line and the prompt.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fake_module.h"

class CScriptedModule {
public:
    // Opens the pseudo-terminal and starts answering. False on failure.
    bool Start();
    // Stops answering and closes both sides.
    void Stop() { m_module.reset(); }
    std::string SlavePath() const { return m_module ? m_module->SlavePath() : std::string(); }

    // Next command: the echo, CR LF, then answerLines as given, then ">". Empty answerLines
    // give the echo alone (one field); "OK\r\n" gives two fields.
    void QueueAnswer(const std::string& answerLines);
    // Next command: exactly these bytes, no echo.
    void QueueRaw(const std::string& bytes);
    // Next command: record it, then the module vanishes; the link's reader sees a hang-up
    // and gives up without waiting out its idle polls.
    void QueueHangUp();

    // The command lines received so far, without their CR.
    std::vector<std::string> Commands();
    std::string LastCommand();

    // Default answer line of a "DI" or "u0" command (4 fields with the echo).
    static constexpr const char* CLOCK_ANSWER = "FXTL=10,FREF=100,FDDS=100\r\n";

private:
    struct Reply {
        enum Kind { ANSWER, RAW, HANG_UP } kind;
        std::string bytes;
    };
    std::vector<FakeChunk> Answer(const std::string& command);

    std::mutex m_mutex;
    std::deque<Reply> m_replies;
    std::vector<std::string> m_commands;
    std::unique_ptr<CFakeModule> m_module;
};
