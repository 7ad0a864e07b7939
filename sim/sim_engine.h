// CSimEngine: the QM-TRV module's monitor as a pure protocol engine.
//
// Bytes from the line go in through Feed; what the module sends back comes out as a sequence of
// SimOutput items. Most items are bytes; the others tell the transport to pause (the slow fault),
// to hang up the line, or to start sending bytes without end (the flood fault), so that the
// transport alone deals with time and the engine stays deterministic and testable without I/O.
//
// The dialogue: a command line is ASCII ended by CR (LF is ignored). At the CR the module sends
// the line back as received, CR LF, its answer lines (items separated by commas, each line ended
// by CR LF) and the prompt ">" as the last byte. A lone CR (the probe) is answered by CR LF ">".
// Command names are case-insensitive; numbers are hexadecimal except the clock mode of "DI".
#pragma once

#include "sim_memory.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

// Ways the simulated module can misbehave, for tests of the console's error handling.
enum class SimFault {
    None,
    Silent,     // answers nothing at all, not even the probe
    NoPrompt,   // answers everything but never sends ">"
    Garbage,    // answer lines replaced by random bytes (never ">"); echo and prompt kept
    Flood,      // after the echo of the first command, bytes without end and no prompt
    Slow,       // a pause after the echo line of every command reply
    HangupAfter // answers N commands, then hangs up after the echo of the next one
};

// One output channel's registers: the words of the last "dds" command for it.
struct SimChannel {
    std::uint32_t freqWord = 0, phaseWord = 0, ampWord = 0;
    bool on = false; // the output runs when the frequency word is not 0
};

// The three clocks of a clock mode, in Hz.
struct SimClocks {
    std::uint64_t crystalHz = 0;
    std::uint64_t referenceHz = 0;
    std::uint64_t ddsClockHz = 0;
};

enum class SimOutKind {
    Bytes,  // send bytes
    Pause,  // wait pauseMs before sending what follows
    HangUp, // the line goes dead here: close it once the bytes before have been read
    Flood   // from here on send bytes without end
};

struct SimOutput {
    SimOutKind kind = SimOutKind::Bytes;
    std::string bytes;
    int pauseMs = 0;
};

class CSimEngine {
public:
    static constexpr int CHANNEL_COUNT = 12;
    static constexpr int MODE_MIN = 1;
    static constexpr int MODE_MAX = 8;
    static constexpr int DEFAULT_MODE = 2;
    static constexpr std::size_t MAX_LINE = 255;            // characters of a command line
    static constexpr std::size_t MAX_TRANSFER = 16u << 20;  // bytes of one fill, copy or dump
    static constexpr std::size_t MF1_BLOCK = 256;           // data bytes of an "MF1" block
    static constexpr std::uint32_t SECTOR_SIZE = 64u << 10; // what "FE" erases
    static constexpr int DEFAULT_SLOW_MS = 1500;
    static constexpr const char* VERSION_TEXT = "QM-TRV V1.2";
    static constexpr const char* BANNER_TEXT = "QM-TRV MONITOR V1.2";

    explicit CSimEngine(unsigned seed = 1);

    // Takes bytes received from the line and appends what the module sends in answer to out.
    // Consecutive bytes are merged into one item.
    void Feed(std::string_view bytes, std::vector<SimOutput>& out);

    // Changes the fault mode. arg: for HangupAfter the number of commands still answered
    // (counted from now); for Slow the pause in ms when above 0 (else the current one stays).
    // Ends a flood or a hang-up begun under the previous mode.
    void SetFault(SimFault fault, int arg = 0);
    SimFault Fault() const { return m_fault; }
    void SetSlowMs(int ms) { m_slowMs = ms < 0 ? 0 : ms; }
    int SlowMs() const { return m_slowMs; }

    // count bytes of flood text: random printable characters, never ">".
    std::string FloodBytes(std::size_t count);

    // Module state. Channel index 0 to 11; other indexes give an all-zero channel.
    SimChannel Channel(int index) const;
    SimChannel PendingChannel(int index) const; // all zero when nothing is pending
    bool HasPending(int index) const;
    int ClockMode() const { return m_mode; }
    std::size_t CommandCount() const { return m_commandCount; }
    bool InDataMode() const { return m_dataMode; } // inside an "MF1" hex block

    std::vector<std::uint8_t> ReadMemory(std::uint32_t address, std::size_t count) const;
    // False, with nothing written, when the memory cap is reached.
    bool WriteMemory(std::uint32_t address, const std::vector<std::uint8_t>& bytes);

    // Clocks of a clock mode 1 to 8; false for any other mode.
    static bool ClocksOfMode(int mode, SimClocks& clocks);
    // The frequency word of 10 MHz at a DDS clock, rounded half up the way the console
    // computes its words: (2^33 * (10e6 / fdds) + 1) / 2, truncated.
    static std::uint32_t TenMHzWord(double ddsClockHz);
    // "FXTL=...,FREF=...,FDDS=..." in MHz with six decimals, for a clock mode 1 to 8.
    static std::string ClockLine(int mode);

private:
    void EndLine(std::vector<SimOutput>& out);
    void FeedData(char c, std::vector<SimOutput>& out);
    // Runs one command line; returns the answer lines (each ended by CR LF). May switch to
    // the MF1 data mode, in which case the rest of the reply comes at the end of the block.
    std::string Execute(std::string_view line);
    // Sends the rest of a command reply after its echo: pause (slow fault), answer (or
    // garbage), prompt.
    void EmitAnswer(const std::string& answer, std::vector<SimOutput>& out);
    void EmitBytes(std::string_view bytes, std::vector<SimOutput>& out);
    std::string Prompt() const;
    std::string Garbage();
    void ResetModule();

    std::string DoDds(const std::vector<std::string_view>& args);
    std::string DoDi(const std::vector<std::string_view>& args);

    // Module state.
    int m_mode = DEFAULT_MODE;
    std::array<SimChannel, CHANNEL_COUNT> m_applied{};
    std::array<SimChannel, CHANNEL_COUNT> m_pending{};
    std::array<bool, CHANNEL_COUNT> m_hasPending{};
    CSimMemory m_memory;
    std::size_t m_commandCount = 0;

    // Line assembly and the MF1 data mode.
    std::string m_line;
    bool m_lineOverflow = false;
    bool m_dataMode = false;
    std::uint32_t m_dataAddress = 0;
    std::vector<std::uint8_t> m_dataBytes;
    int m_dataHighNibble = -1;

    // Faults.
    SimFault m_fault = SimFault::None;
    int m_hangupAfter = 0;
    std::size_t m_faultBaseCount = 0; // CommandCount when the fault was set
    int m_slowMs = DEFAULT_SLOW_MS;
    bool m_flooding = false; // input is ignored from the start of a flood on
    bool m_hungUp = false;   // input is ignored once the line has been hung up
    std::mt19937 m_random;
};
