// A scripted stand-in for the module on a pseudo-terminal, for the DDS tests.
//
// The test opens the link on SlavePath(); a thread on the master side collects each command
// line (up to CR), records it, and answers with the next scripted reply, or, when none is
// queued, the way a healthy module does: the echo, CR LF, one answer line and the prompt.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CFakeModule {
public:
    CFakeModule() = default;
    ~CFakeModule();
    CFakeModule(const CFakeModule&) = delete;
    CFakeModule& operator=(const CFakeModule&) = delete;

    // Opens the pseudo-terminal (slave raw, and kept open by this object so that the master
    // never sees a hang-up between opens) and starts the answering thread. False on failure.
    bool Start();
    // Stops the thread and closes both sides.
    void Stop();
    const std::string& SlavePath() const { return m_strSlavePath; }

    // Next command: the echo, CR LF, then answerLines as given, then ">". Empty answerLines
    // give the echo alone (one field); "OK\r\n" gives two fields.
    void QueueAnswer(const std::string& answerLines);
    // Next command: exactly these bytes, no echo.
    void QueueRaw(const std::string& bytes);
    // Next command: record it, then close the master side (the module vanishes); the link's
    // reader then sees a hang-up and gives up without waiting out its idle polls.
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
    void Run();
    void Answer(const std::string& command);
    void WriteAll(const std::string& bytes);

    int m_nMaster = -1;
    int m_nSlave = -1;
    std::string m_strSlavePath;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::mutex m_mutex;
    std::deque<Reply> m_replies;
    std::vector<std::string> m_commands;
};
