// CPtySimulator: the simulated QM-TRV module on a pseudo-terminal.
//
// The console (or any serial client) opens the slave side as it would open a real serial
// device; a thread of the simulator serves the master side with the protocol engine of
// sim_engine.h. Output can be paced at a baud rate, so that timings resemble a real line, and
// the module can be told to misbehave (SimFault).
//
// The simulator keeps a descriptor of the slave side open for as long as it runs. Without it the
// master side reports POLLHUP and read fails with EIO from the moment the client closes the port
// until it opens it again, which would make the serving thread spin or give up.
#pragma once

#include "sim_engine.h"
#include "sim_pacer.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SimOptions {
    int baud = 0; // output pacing in bits per second, 10 bits a byte; 0 = unpaced
    SimFault fault = SimFault::None;
    int hangupAfter = 0;  // commands answered before the hang-up of SimFault::HangupAfter
    int slowMs = 1500;    // the pause of SimFault::Slow
    unsigned seed = 1;    // of the random bytes of SimFault::Garbage and SimFault::Flood
    std::string linkPath; // optional symbolic link to the slave side, removed by Stop and hang-up
};

class CPtySimulator {
public:
    explicit CPtySimulator(const SimOptions& options = {});
    ~CPtySimulator(); // Stop()
    CPtySimulator(const CPtySimulator&) = delete;
    CPtySimulator& operator=(const CPtySimulator&) = delete;

    // Creates the pseudo-terminal (and the link, if asked for) and starts serving it. True when
    // serving (also when already serving); false, with nothing left behind, on failure.
    bool Start();
    // Ends the serving thread promptly, closes the pseudo-terminal and removes the link.
    // The module state stays readable. Safe to call more than once.
    void Stop();

    std::string SlavePath() const; // e.g. /dev/pts/7; empty before Start

    SimChannel Channel(int index) const;        // as applied (what the outputs do)
    SimChannel PendingChannel(int index) const; // set with single flag 0, not yet applied by DDU
    int ClockMode() const;
    std::vector<std::uint8_t> ReadMemory(std::uint32_t address, std::size_t count) const;
    void WriteMemory(std::uint32_t address, const std::vector<std::uint8_t>& bytes);

    std::string Received() const; // every byte received so far (the first 64 MiB)
    void ClearReceived();
    std::size_t CommandCount() const; // command lines handled (the probe not counted)

    // Changes the fault mode at run time; arg as for CSimEngine::SetFault.
    void SetFault(SimFault fault, int arg = 0);

    // The device vanishes: closes the master side and the kept slave descriptor, so that the
    // client sees POLLHUP and EIO, and removes the link, if any. Returns once the line is closed;
    // Stop still works after it.
    void HangUp();
    bool IsHungUp() const;

private:
    using Clock = std::chrono::steady_clock;

    void Run();
    void Wake();
    void ReadInput(Clock::time_point now);
    void FeedBacklog(Clock::time_point now);
    void PumpOutput(Clock::time_point now);
    void CloseLine();
    void Cleanup();
    // The earliest time the thread has to act without being woken by a descriptor; false when
    // there is none.
    bool NextDeadline(Clock::time_point now, Clock::time_point& deadline) const;
    std::size_t QueuedBytes() const; // output bytes not yet written

    const SimOptions m_options;
    std::mutex m_lifeMutex;     // serialises Start and Stop
    mutable std::mutex m_mutex; // everything below
    std::condition_variable m_changed;
    CSimEngine m_engine;

    std::string m_received;
    std::string m_backlog;         // bytes received, not yet given to the engine
    std::deque<SimOutput> m_queue; // output not yet written
    std::size_t m_frontOffset = 0; // bytes of the front item already written
    bool m_wantWrite = false;      // the master refused bytes: wait for POLLOUT
    bool m_flooding = false;
    bool m_pauseActive = false;
    Clock::time_point m_pauseUntil;
    bool m_hangupDraining = false;
    Clock::time_point m_hangupNotBefore, m_hangupDeadline;
    Clock::time_point m_nextFloodTick;
    Clock::time_point m_inputPausedUntil;
    // Pacing (baud > 0): each byte leaves when it is due, one wake-up a byte.
    CSimPacer m_pacer;
    CWakeLead m_wakeLead; // used by the simulator's thread only

    int m_master = -1;
    int m_slave = -1;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::string m_slavePath;
    bool m_linkMade = false;
    std::thread m_thread;
    bool m_running = false;
    bool m_stopRequested = false;
    bool m_hangupRequested = false;
    bool m_hungUp = false;
};

// The process-wide simulator that `morvane-cli --port sim` and `morvane --simulate` talk to.
// Starts it once with default options and returns its slave path ("" when it cannot start).
std::string SimStartInProcess();
// The process-wide simulator, or null until SimStartInProcess has started it.
CPtySimulator* SimInProcessInstance();
