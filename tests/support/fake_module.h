// A scripted far end on a pseudo-terminal, for tests that need exact control over how a reply
// is cut into batches (the module simulator answers like the real module; this answers however
// a test says). The test opens SlavePath() through the ordinary serial code path.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct FakeChunk {
    std::string bytes;
    int delayMsBefore = 0;
    bool hangUpAfter = false; // the device vanishes once these bytes are sent
};

class CFakeModule {
public:
    // Called for every line received (without its CR); returns what to send back.
    using Handler = std::function<std::vector<FakeChunk>(const std::string& line)>;

    explicit CFakeModule(Handler handler);
    ~CFakeModule();

    const std::string& SlavePath() const { return m_slavePath; }
    // Everything received so far.
    std::string Received();
    // Closes the master side and the kept slave side: the device vanishes.
    void HangUp();
    // Sends bytes without a command (for floods and stray bytes).
    void Send(const std::string& bytes);

    // Answers like the module: echo, CR LF, the answer lines, the prompt.
    static std::vector<FakeChunk> Reply(const std::string& line,
                                        const std::vector<std::string>& answers);

private:
    void Serve();

    Handler m_handler;
    int m_master = -1;
    int m_slave = -1;
    int m_stopPipe[2] = {-1, -1};
    std::string m_slavePath;
    std::mutex m_mutex;
    std::string m_received;
    std::atomic<bool> m_hungUp{false};
    std::thread m_thread;
};
