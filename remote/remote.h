// Remote control: the SCPI command engine that network servers host.
//
// The engine reads SCPI text lines (headers in short or long form, any case, numeric channel
// suffixes 1 to 12, several commands on one line separated by ";", numbers with an optional unit)
// and executes them through a CRemoteModule. It keeps two kinds of state:
// - per server (CRemoteEngine): the frequency, amplitude, phase and output state last asked for
//   on each channel, the single/multiple mode and the clock mode of "*RST";
// - per connection (CRemoteSession): the error queue (16 entries, the last one becomes -350 on
//   overflow).
//
// Every exchange with the module goes through the CRemoteModule interface, one call at a time
// and on the thread that calls ExecuteLine, so that a host can route them through its own
// exchange path. A command that fails to parse or whose values are out of range sends nothing.
// No sockets, no Qt, no locks: the host serialises calls to one engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "comlink.h"
#include "dds.h"

// The module as the engine sees it. Channel indexes 0 to 11; results are DDS_* codes.
class CRemoteModule {
public:
    virtual ~CRemoteModule() = default;
    // One set command (DdsSetChannel): frequency in Hz (0 switches off), phase in degrees,
    // amplitude as a fraction of full scale, single 1 or 0 (multiple-channel mode).
    virtual std::uint32_t SetChannel(int channel, double freqHz, double phaseDeg, double amplitude,
                                     int single) = 0;
    // The update command (DdsUpdate).
    virtual std::uint32_t Update() = 0;
    // The initialise command with a clock mode 1 to 8 (DdsInit): resets every channel.
    virtual std::uint32_t Init(int clockMode) = 0;
    // The clock readout (DdsReadClocks), without adopting what it read.
    virtual std::uint32_t ReadClocks(DdsModuleClocksRecord* clocks) = 0;
    // Adopts clocks as the module's clocks (DdsAdoptClocks); sends nothing.
    virtual void AdoptClocks(const DdsModuleClocksRecord& clocks) = 0;
    // True when a usable DDS clock is known (DdsClockKnown).
    virtual bool ClockKnown() = 0;
    // The clocks known (DdsModuleClocks).
    virtual DdsModuleClocksRecord Clocks() = 0;
    // One row of the channel table (DdsChannelTable), index 0 to 11.
    virtual DdsChannelState Channel(int channel) = 0;
    // Whether that row says what the module's channel runs (DdsChannelKnown): false after the
    // host opened the link without resetting the module, until the channel is sent.
    virtual bool ChannelKnown(int /*channel*/) { return true; }
    // The version command (MonitorV): true with *version filled, false when the module did not
    // report one.
    virtual bool Version(ModuleVersion* version) = 0;
};

// The module through dds/ and link/ directly, on the process-wide link and channel table.
class CRemoteDirectModule : public CRemoteModule {
public:
    std::uint32_t SetChannel(int channel, double freqHz, double phaseDeg, double amplitude,
                             int single) override;
    std::uint32_t Update() override;
    std::uint32_t Init(int clockMode) override;
    std::uint32_t ReadClocks(DdsModuleClocksRecord* clocks) override;
    void AdoptClocks(const DdsModuleClocksRecord& clocks) override;
    bool ClockKnown() override;
    DdsModuleClocksRecord Clocks() override;
    DdsChannelState Channel(int channel) override;
    bool ChannelKnown(int channel) override;
    bool Version(ModuleVersion* version) override;
};

// SCPI error numbers the engine queues.
constexpr int REMOTE_E_COMMAND = -100;         // malformed command or parameter
constexpr int REMOTE_E_UNDEFINED = -113;       // no such header (or a channel outside 1 to 12)
constexpr int REMOTE_E_CONFLICT = -221;        // settings conflict
constexpr int REMOTE_E_RANGE = -222;           // data out of range
constexpr int REMOTE_E_ILLEGAL = -224;         // illegal parameter value
constexpr int REMOTE_E_STALE = -230;           // a query of a channel whose state is unknown
constexpr int REMOTE_E_HARDWARE = -240;        // the module did not answer or refused
constexpr int REMOTE_E_QUEUE_OVERFLOW = -350;  // queue overflow
constexpr std::size_t REMOTE_ERROR_QUEUE = 16; // entries of a connection's queue

// The longest line a server accepts (bytes before the LF); longer lines are discarded with an
// error in the connection's queue.
constexpr std::size_t REMOTE_LINE_MAX = 4096;

struct RemoteError {
    int code = 0;
    std::string text; // "Data out of range; amplitude 150 % is outside 0 to 100"
};

// One client's state: its error queue.
class CRemoteSession {
public:
    // Queues an error: the standard text of code, then "; " and detail when detail is not
    // empty. When the queue is full, its last entry becomes -350 "Queue overflow".
    void PushError(int code, std::string_view detail);
    // Removes and returns the oldest entry as SCPI reports it: `-222,"Data out of range; ..."`,
    // or `0,"No error"` when the queue is empty.
    std::string PopError();
    void Clear() { m_errors.clear(); }
    std::size_t ErrorCount() const { return m_errors.size(); }
    const std::deque<RemoteError>& Errors() const { return m_errors; }

private:
    std::deque<RemoteError> m_errors;
};

// What the server keeps of one channel: the values last asked for and the output state.
struct RemoteChannel {
    double freqHz = 0;    // 0: no frequency yet
    double phaseDeg = 0;  // 0 to 360
    double amplitude = 0; // fraction of full scale
    bool on = false;
};

// The standard SCPI text of an error number ("Data out of range"); "Error" for others.
const char* RemoteErrorText(int code);

class CRemoteEngine {
public:
    // clockMode: the mode "*RST" initialises with (1 to 8; others mean 2); a successful
    // "SYSTem:INITialize <mode>" makes its mode the one of later resets, so that "*RST" does not
    // switch the module's clocks back. The kept channel values start as the module's channel
    // table holds them.
    explicit CRemoteEngine(CRemoteModule& module, int clockMode = 2);

    // Executes one line (without its LF; a CR before it is ignored). Commands run in order and
    // the first failing one ends the line (its error goes to session's queue). Returns true with
    // *response set to the answers of the line's queries, joined by ";" (no LF), when the line
    // had at least one answered query; false otherwise.
    bool ExecuteLine(std::string_view line, CRemoteSession& session, std::string* response);

    // Takes the kept values of every channel again from the module's channel table: for a host
    // whose own commands (an operator's clicks) changed the table behind the engine.
    void FollowTable();
    // The same for one channel (index 0 to 11): a host that knows which channels its own
    // commands changed keeps what clients set on the others while their outputs are off.
    void FollowChannel(int channel);

    const RemoteChannel& Kept(int channel) const { return m_channels[channel]; }
    bool SingleMode() const { return m_single; }
    int ClockMode() const { return m_clockMode; }

private:
    struct Command;
    bool Execute(const Command& command, CRemoteSession& session, std::string* answer);
    bool EnsureClock(CRemoteSession& session);
    // Sends k's values (frequency 0 when !on) and keeps what the table then holds.
    bool Send(int channel, const RemoteChannel& k, bool on, CRemoteSession& session);
    bool Setting(int channel, const RemoteChannel& wanted, CRemoteSession& session);
    bool ReportResult(std::uint32_t result, const char* what, CRemoteSession& session);

    CRemoteModule& m_module;
    RemoteChannel m_channels[DDS_CHANNELS];
    bool m_single = true;
    int m_clockMode = 2;
};
