// VXI-11 front end: the instrument as the VISA resource TCPIP::host::INSTR, on the platform's
// ONC RPC (libtirpc) and registered with the system's rpcbind.
//
// The front end knows nothing of the module or of the command engine: it talks to a host, the
// server that also serves raw sockets, through IVxi11Host. Each VXI-11 link is one session of
// the host, as one raw connection is: it has its own error queue and status byte, and the
// host's admission rules (allowed ranges, client limit) decide whether it may be created.
//
// Only POSIX builds have it (Windows has no ONC RPC).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "remote_net.h"

// What a server gives a front end. Every call comes from the front end's own thread; the
// completion of Submit may come from any thread, exactly once per Submit (also after Clear,
// then with answered false).
class IVxi11Host {
public:
    virtual ~IVxi11Host() = default;

    enum class Admission { Admitted, NotAllowed, TooMany };
    // A new client at peer (a mapped IPv6 address counts as its IPv4 address): Admitted with
    // *session set, or why not. An admitted session holds one of the host's client places until
    // Close.
    virtual Admission Admit(const RemoteAddress& peer, std::uint64_t* session) = 0;

    // answered: the line had queries, response holds their answers (without LF).
    using Completion = std::function<void(std::string response, bool answered)>;
    // Queues one program-message line (without its LF) of session; lines of one session run
    // in the order they were submitted. overlong: the client sent a line longer than the host
    // takes, whose text is dropped (the host reports it as a command error).
    virtual void Submit(std::uint64_t session, std::string line, bool overlong,
                        Completion done) = 0;

    // The session's status byte as IEEE 488.2 defines it, without MAV (bit 4), which the
    // front end adds while it holds unread response bytes. Cheap and thread-safe.
    virtual std::uint8_t StatusByte(std::uint64_t session) = 0;
    // Device clear: the session's lines that have not started are dropped.
    virtual void Clear(std::uint64_t session) = 0;
    // The session is over. Its lines already submitted still run (as a raw client's lines do
    // when it half-closes; their completions come as for any line), and its client place is
    // given back once they have, so that a client that creates and destroys links in a loop
    // cannot queue more than the client limit's worth of lines.
    virtual void Close(std::uint64_t session) = 0;
};

// VXI-11 error codes (Device_ErrorCode) and flags.
enum Vxi11Error : std::int32_t {
    VXI11_OK = 0,
    VXI11_SYNTAX = 1,
    VXI11_NOT_ACCESSIBLE = 3,
    VXI11_INVALID_LINK = 4,
    VXI11_PARAMETER = 5,
    VXI11_NOT_SUPPORTED = 8,
    VXI11_OUT_OF_RESOURCES = 9,
    VXI11_LOCKED = 11,
    VXI11_NO_LOCK = 12,
    VXI11_IO_TIMEOUT = 15,
    VXI11_IO_ERROR = 17,
    VXI11_INVALID_ADDRESS = 21,
    VXI11_ABORT = 23,
};
constexpr std::int32_t VXI11_FLAG_WAITLOCK = 0x01;
constexpr std::int32_t VXI11_FLAG_END = 0x08;
constexpr std::int32_t VXI11_FLAG_TERMCHRSET = 0x80;
constexpr std::int32_t VXI11_REASON_REQCNT = 0x01;
constexpr std::int32_t VXI11_REASON_CHR = 0x02;
constexpr std::int32_t VXI11_REASON_END = 0x04;

constexpr std::uint32_t VXI11_CORE_PROGRAM = 0x0607AF;
constexpr std::uint32_t VXI11_ABORT_PROGRAM = 0x0607B0;
constexpr std::uint32_t VXI11_VERSION = 1;
// The largest device_write a client is told to send at once.
constexpr std::uint32_t VXI11_MAX_RECV = 65536;
// Lines of one link queued or running at once: a device_write's lines are handed to the host
// as the earlier ones finish, and its reply waits until the last of them has run.
constexpr std::size_t VXI11_LINES_IN_FLIGHT = 16;
// Response bytes one link may hold unread; a device_write beyond waits until they are read.
constexpr std::size_t VXI11_RESPONSE_MAX = 1 << 20;

// One link's byte streams, without RPC: the device_write bytes assembled into lines, the
// answers queued for device_read.
class CVxi11Stream {
public:
    struct Line {
        std::string text;
        bool overlong = false;
    };
    // Takes bytes of one device_write's data from the front of *data until a line is
    // complete: true with *line set. A line ends at LF, and at the end of a write with the
    // END flag (end: *data is the write's last part). False once *data is used up without a
    // complete line; its bytes wait for the next write.
    bool Next(std::string_view* data, bool end, Line* line);
    // All of a write's data at once; appends the completed lines to *lines.
    void Write(std::string_view data, bool end, std::vector<Line>* lines);

    // Queues an answer (an LF is added: the message terminator).
    void Answer(std::string_view response);
    bool HasResponse() const { return !m_out.empty(); }
    std::size_t ResponseBytes() const { return m_out.size(); }
    // Up to requestSize bytes of the queued answers, ending early after termChar when
    // termChar >= 0; *reason as device_read reports it (END when an answer's last byte went).
    std::string Read(std::size_t requestSize, int termChar, std::int32_t* reason);
    // Device clear: the partial line and the unread answers go.
    void Clear();

private:
    CRemoteLineReader m_reader;
    std::string m_out;
    std::vector<std::size_t> m_ends; // offsets in m_out just past each answer's LF
};

// The RPC server: one thread that runs libtirpc's dispatch for the core and abort channels.
// libtirpc keeps its service state in process globals, so a process has at most one.
class CVxi11Server {
public:
    explicit CVxi11Server(IVxi11Host& host);
    ~CVxi11Server(); // stops, if running
    CVxi11Server(const CVxi11Server&) = delete;
    CVxi11Server& operator=(const CVxi11Server&) = delete;

    // Listens on address (numeric; the ports are the system's choice) and registers the core
    // channel with rpcbind; false with *error ("rpcbind is not running", ...). Then serves
    // on its own thread until Stop.
    bool Start(const std::string& address, std::string* error);
    // Before Start: a connection whose links wait for nothing and that makes no call for this
    // long is closed, and its links with it (REMOTE_IDLE_LIMIT unless set).
    void SetIdleLimit(std::chrono::milliseconds limit);
    void Stop(); // unregisters and joins the thread
    std::uint16_t CorePort() const;
    std::uint16_t AbortPort() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};
