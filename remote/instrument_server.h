// The module as a network instrument: one server for the tool's "serve" and the console's
// "--serve". It accepts SCPI clients over raw TCP (the VISA resource TCPIP::host::5025::SOCKET)
// and, where the platform has ONC RPC, VXI-11 links (TCPIP::host::INSTR), and hands their lines
// to the command engine of its host.
//
// Threads: the server's own thread does every network operation (accepting, reading, writing,
// timers) on standalone asio; VXI-11 has its RPC thread. The engine's lines run on the host's
// thread, the one that owns the module link, through IInstrumentRunner: the server hands over
// one line at a time and the next only when it has finished, so exchanges never interleave,
// a slow module stalls no socket, and a client that vanishes while its line runs costs nothing
// (the exchange completes and the engine's kept values stay true; the answer is dropped).
//
// Clients: one outside the allowed ranges (loopback is always allowed), or one beyond the
// client limit (raw connections and VXI-11 links together), is closed at once without a byte.
// Every client has its own error queue and status byte. Complete lines wait in the client's own
// queue; clients with lines take turns, one line each. The queues of all clients together hold
// at most queueLines lines, a client no more than its share of them, and one line sends the
// module at most lineExchanges commands (the rest of it is refused with -223); a client's
// further bytes wait in its socket, and then in the network, so one that floods holds back only
// itself. A client that neither sends nor is waiting for the server for the idle limit is
// closed; so is one that does not take an answer within the write limit.
//
// The end of a raw client: one that only stops sending (a half-close, "nc -N") has its lines
// run and answered, and is closed once they are out; bytes after its last LF are dropped. One
// that is gone (it reset the connection, or a write found it gone) has its lines not yet
// started dropped.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "remote.h"
#include "remote_net.h"

// Where the server's lines run.
class IInstrumentRunner {
public:
    virtual ~IInstrumentRunner() = default;
    // Runs job on the thread that owns the engine and the module link (any thread may call
    // this). The server posts the next job only once the last one has run. A job may run late
    // or be destroyed unrun when the host goes; a job that runs after Stop does nothing.
    virtual void Post(std::function<void()> job) = 0;
    // Called by Stop, on the thread that calls Stop: a job that may be running should end its
    // exchange with the module early.
    virtual void CancelRunning() = 0;
};

struct InstrumentLimits {
    int maxClients = REMOTE_MAX_CLIENTS;
    // Without a line read or an answer taken for this long, a client that waits for nothing is
    // closed.
    std::chrono::milliseconds idle = REMOTE_IDLE_LIMIT;
    // How long one answer may take to be written.
    std::chrono::milliseconds write = std::chrono::seconds(30);
    // Lines waiting in one client's queue, and in all queues together.
    std::size_t clientLines = 64;
    std::size_t queueLines = 128;
    // Answers not yet taken by a client (beyond what the system's socket buffer holds) beyond
    // which its input is not read: with the other bounds, a client costs the server well under
    // a megabyte however many clients are allowed.
    std::size_t backlog = 64 * 1024;
    // Commands to the module one line may send.
    unsigned lineExchanges = 16;
};

class CInstrumentServer {
public:
    // The engine must outlive the server; it is used only through runner's jobs.
    CInstrumentServer(CRemoteEngine& engine, IInstrumentRunner& runner,
                      std::vector<RemoteRange> allow, InstrumentLimits limits = {});
    ~CInstrumentServer(); // Stop
    CInstrumentServer(const CInstrumentServer&) = delete;
    CInstrumentServer& operator=(const CInstrumentServer&) = delete;

    // Binds listen (port 0: the system picks one) and serves raw clients on the server's
    // thread. False with *error holding the system's reason.
    bool Listen(const RemoteListen& listen, std::string* error);
    // Whether this build has VXI-11 (it needs ONC RPC, which Windows lacks).
    static bool HasVxi11();
    // After Listen: VXI-11 links too, on the listening address, registered with rpcbind. False
    // with *error ("rpcbind is not running", ...); the raw server goes on.
    bool StartVxi11(std::string* error);
    // Stops accepting, closes every client and forgets their lines; a line that runs is asked
    // to end early. A job of the runner that runs meanwhile is not waited for: the host may
    // destroy its engine once this has returned and its runner has let go of that job (a
    // runner on the host's own thread has, a worker thread once it is joined).
    void Stop();

    bool IsListening() const;
    std::uint16_t Port() const;
    // "127.0.0.1:5025", "[::]:5025", with the port the system picked.
    std::string EndpointText() const;
    // The listening address, numeric and normalised ("::", "127.0.0.1").
    std::string Address() const;
    std::uint16_t Vxi11CorePort() const;
    std::uint16_t Vxi11AbortPort() const;
    // Raw clients and VXI-11 links being served.
    int ClientCount() const;
    // Lines waiting in the queues, not yet started.
    int QueuedLines() const;

    struct Impl;

private:
    std::shared_ptr<Impl> m_impl;
};
