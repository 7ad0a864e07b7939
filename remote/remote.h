// Remote control: the SCPI command engine that network servers host.
//
// The engine reads SCPI text lines (headers in short or long form, any case, numeric channel
// suffixes 1 to 12, several commands on one line separated by ";", numbers with an optional unit)
// and executes them through a CRemoteModule. It keeps two kinds of state:
// - per server (CRemoteEngine): the frequency, amplitude, phase and output state last asked for
//   on each channel, the single/multiple mode, the clock mode of "*RST", the conditions of the
//   status registers, and the host's store of the setups of "*SAV n" and "*RCL n";
// - per connection (CRemoteSession): the error queue (16 entries, the last one becomes -350 on
//   overflow), the standard event status register and its enable mask, the service request
//   enable mask, and the events and enable masks of the OPERation and QUEStionable registers.
//
// Status reporting (IEEE 488.2 and SCPI):
// - The standard event status register (*ESR? reads and clears it, *ESE sets its mask): bit 0
//   operation complete (*OPC), 2 query error, 3 device-dependent error, 4 execution error,
//   5 command error (each queued error sets the bit of its class: -400..-499, -300..-399,
//   -200..-299, -100..-199), 7 power on (set when a session starts).
// - The status byte (*STB?, and the hosts' serial poll): bit 2 the error queue is not empty,
//   3 the QUEStionable summary, 5 ESB (ESR & ESE not 0), 6 MSS (the other bits & SRE not 0),
//   7 the OPERation summary. Bit 4 (MAV, an answer waits to be read) is the host's to add.
// - The condition of OPERation and QUEStionable is the server's, the same for every connection
//   (REMOTE_OPER_* and REMOTE_QUES_* below); each connection's event register latches every
//   change of a condition bit from 0 to 1 since the connection last read it, even one that
//   happened while it sent nothing (a bit already set at its first command counts as one).
//   A summary bit is the event register & its enable mask.
//
// Completion: the engine executes one command at a time, and each module call returns only
// once the module has answered or the link gave up, so when "*OPC?", "*OPC" or "*WAI" runs,
// every command before it (on its line and, since hosts run a connection's lines in order, on
// its earlier lines) has been answered by the module. "*OPC?" answers 1 and "*WAI" returns
// at once for that reason.
//
// Every exchange with the module goes through the CRemoteModule interface, one call at a time
// and on the thread that calls ExecuteLine, so that a host can route them through its own
// exchange path. A command that fails to parse or whose values are out of range sends nothing.
// No sockets, no Qt, no locks: the host serialises calls to one engine.
#pragma once

#include <array>
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
    // The link's probe (a lone terminator, answered by CR LF and the prompt): true when the
    // module answered it. A module without one asks for the version instead.
    virtual bool Probe() {
        ModuleVersion v;
        return Version(&v);
    }
    // True when there is no line to the module: the port is closed or its device has gone.
    // Sends nothing; the engine asks before each command.
    virtual bool LineGone() { return false; }
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
    bool Probe() override;
    bool LineGone() override;
};

// SCPI error numbers the engine queues.
constexpr int REMOTE_E_COMMAND = -100;         // malformed command or parameter
constexpr int REMOTE_E_UNDEFINED = -113;       // no such header (or a channel outside 1 to 12)
constexpr int REMOTE_E_CONFLICT = -221;        // settings conflict
constexpr int REMOTE_E_RANGE = -222;           // data out of range
constexpr int REMOTE_E_TOO_MUCH = -223;        // a line that would send the module too much
constexpr int REMOTE_E_ILLEGAL = -224;         // illegal parameter value
constexpr int REMOTE_E_STALE = -230;           // a query of a channel whose state is unknown
constexpr int REMOTE_E_HARDWARE = -240;        // the module did not answer or refused
constexpr int REMOTE_E_STORAGE = -250;         // *SAV, *RCL: the setups could not be kept
constexpr int REMOTE_E_NOT_FOUND = -256;       // *RCL: no setup saved under that number
constexpr int REMOTE_E_SELF_TEST = -330;       // *TST?: the module did not answer the probe
constexpr int REMOTE_E_QUEUE_OVERFLOW = -350;  // queue overflow
constexpr std::size_t REMOTE_ERROR_QUEUE = 16; // entries of a connection's queue

// The longest line a server accepts (bytes before the LF); longer lines are discarded with an
// error in the connection's queue.
constexpr std::size_t REMOTE_LINE_MAX = 4096;

// The standard event status register.
constexpr unsigned REMOTE_ESR_OPC = 0x01; // operation complete (*OPC)
constexpr unsigned REMOTE_ESR_QYE = 0x04; // query error
constexpr unsigned REMOTE_ESR_DDE = 0x08; // device-dependent error
constexpr unsigned REMOTE_ESR_EXE = 0x10; // execution error
constexpr unsigned REMOTE_ESR_CME = 0x20; // command error
constexpr unsigned REMOTE_ESR_PON = 0x80; // power on
// The status byte.
constexpr unsigned REMOTE_STB_EAV = 0x04;  // the error queue is not empty
constexpr unsigned REMOTE_STB_QUES = 0x08; // QUEStionable summary
constexpr unsigned REMOTE_STB_MAV = 0x10;  // message available (set by hosts)
constexpr unsigned REMOTE_STB_ESB = 0x20;  // event status summary
constexpr unsigned REMOTE_STB_MSS = 0x40;  // master summary status
constexpr unsigned REMOTE_STB_OPER = 0x80; // OPERation summary
// QUEStionable condition bits (9 and 10, of those SCPI leaves to the instrument).
constexpr unsigned REMOTE_QUES_NO_ANSWER = 1u << 9;  // the module's last exchange had no answer
constexpr unsigned REMOTE_QUES_LINE_GONE = 1u << 10; // no line to the module (LineGone)
// OPERation condition bits (8 and 9, of those SCPI leaves to the instrument).
constexpr unsigned REMOTE_OPER_OUTPUT_ON = 1u << 8; // a channel's output is on
// Settings this server sent in multiple-channel mode wait for SYSTem:UPDate.
constexpr unsigned REMOTE_OPER_UPDATE_PENDING = 1u << 9;

// The ESR bit of an error number's class (REMOTE_ESR_CME for -100 to -199, ...); 0 for others.
unsigned RemoteErrorEsrBit(int code);

struct RemoteError {
    int code = 0;
    std::string text; // "Data out of range; amplitude 150 % is outside 0 to 100"
};

// The events and the enable mask of an OPERation or QUEStionable register as one connection has
// them, and the engine's count of rises of each condition bit that it has taken into events.
struct RemoteStatusRegister {
    unsigned event = 0;
    unsigned enable = 0;
    std::array<std::uint32_t, 16> seen{};
};

// One client's state: its error queue and status registers. A session starts with the power-on
// bit of its ESR set.
class CRemoteSession {
public:
    // Queues an error: the standard text of code, then "; " and detail when detail is not
    // empty, and sets the ESR bit of its class. When the queue is full, its last entry becomes
    // -350 "Queue overflow" (and the device-dependent bit is set too).
    void PushError(int code, std::string_view detail);
    // Removes and returns the oldest entry as SCPI reports it: `-222,"Data out of range; ..."`,
    // or `0,"No error"` when the queue is empty.
    std::string PopError();
    // "*CLS": empties the error queue and clears the ESR and the events of OPERation and
    // QUEStionable; the enable masks stay.
    void Clear();
    std::size_t ErrorCount() const { return m_errors.size(); }
    const std::deque<RemoteError>& Errors() const { return m_errors; }
    unsigned Esr() const { return m_esr; }

private:
    friend class CRemoteEngine;

    std::deque<RemoteError> m_errors;
    unsigned m_esr = REMOTE_ESR_PON;
    unsigned m_ese = 0;
    unsigned m_sre = 0;
    RemoteStatusRegister m_oper, m_ques;
    bool m_statusStarted = false; // the registers have taken the engine's counts once
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

// A setup of "*SAV n" and "*RCL n": the values the server keeps of every channel and the mode.
struct RemoteSetup {
    RemoteChannel channels[DDS_CHANNELS];
    bool single = true;
};
constexpr int REMOTE_SETUP_SLOTS = 10; // n 0 to 9

// Where a host keeps the setups of "*SAV" and "*RCL" (numbers 0 to 9). Called on the thread
// that calls ExecuteLine.
class CRemoteSetupStore {
public:
    enum class Recalled { Found, Empty, Failed };
    virtual ~CRemoteSetupStore() = default;
    // False with *error saying why the setup could not be kept.
    virtual bool Save(int slot, const RemoteSetup& setup, std::string* error) = 0;
    // Found with *setup filled; Empty when none was saved as slot; Failed with *error. *setup
    // comes with the values the server keeps now: a slot that holds only some of the channels
    // (or no mode) leaves the others as they are.
    virtual Recalled Recall(int slot, RemoteSetup* setup, std::string* error) = 0;
};

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

    // The most commands to the module one line may send (0, the default: no limit). Once a
    // line's commands have sent that many, its remaining commands are refused with -223 (a
    // command that has begun completes, so "*RCL" may go past the limit by its own sends).
    void SetLineExchangeLimit(unsigned limit) { m_lineExchangesMax = limit; }

    // The store of "*SAV" and "*RCL" (not owned; null: the commands fail with -250).
    void SetSetupStore(CRemoteSetupStore* store) { m_store = store; }

    // The session's status byte (without MAV) as of the last command the engine executed for
    // any session; asks the module nothing. For hosts that answer a serial poll.
    std::uint8_t StatusByte(CRemoteSession& session);

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
    // "*RCL": checks every value of setup, then sends what it changes (an update after them in
    // multiple mode).
    bool RecallSetup(const RemoteSetup& setup, CRemoteSession& session);
    bool SendUpdate(CRemoteSession& session);
    bool ReportResult(std::uint32_t result, const char* what, CRemoteSession& session);
    // Refuses (-222) a frequency that is not at least one DDS step and below half the DDS clock;
    // the clock is known.
    bool FrequencyFits(double hz, int channel, CRemoteSession& session);
    // Sets or clears bit of the condition of register reg (OPER, QUES), counting a rise.
    void SetCondition(int reg, unsigned bit, bool on);
    // The module answered an exchange (or not): the QUEStionable no-answer bit.
    void Answered(bool answered) { SetCondition(QUES, REMOTE_QUES_NO_ANSWER, !answered); }
    // Takes the conditions that are looked at rather than met (the line, the outputs) afresh.
    void Observe();
    // Brings the rises the session has not taken yet into its event registers.
    void Latch(CRemoteSession& session);

    enum { OPER, QUES };
    CRemoteModule& m_module;
    RemoteChannel m_channels[DDS_CHANNELS];
    bool m_single = true;
    int m_clockMode = 2;
    CRemoteSetupStore* m_store = nullptr;
    unsigned m_lineExchangesMax = 0;
    std::uint64_t m_exchanges = 0;                 // commands sent to the module so far
    unsigned m_condition[2] = {};                  // OPER, QUES
    std::array<std::uint32_t, 16> m_rises[2] = {}; // per register, the rises of each bit
};
