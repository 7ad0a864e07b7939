// The console as a network instrument: SCPI lines over raw TCP (the VISA resource
// TCPIP::host::5025::SOCKET), executed by the remote engine through the form, so that a remote
// setting takes the path of the operator's click on the row's switch and the panel shows it.
//
// Everything runs on the user-interface thread. Complete lines of each client wait in its own
// queue, and the clients with lines take turns, one line each (so a client that floods the
// server delays another by one line at a time); a line is executed only while no exchange runs
// and no message box of a handler is open, one line per turn of the event loop, so operator and
// remote commands take turns and never interleave. While a line's exchange runs, the form's
// runner waits in its local event loop: the sockets go on receiving there, but lines are only
// queued. Before each line the engine takes the channels that the operator's own exchanges
// changed from the channel table, so that its kept values match the panel.
//
// Safety: a client outside the allowed ranges (loopback is always allowed), or one beyond
// REMOTE_MAX_CLIENTS, is closed at once without a byte; a line over REMOTE_LINE_MAX bytes is
// answered with an error in the client's queue and dropped; a client that neither sends nor
// takes answers for REMOTE_IDLE_LIMIT is closed. The queues of all clients together hold at
// most QUEUE_LINES_MAX lines, and one line sends the module at most LINE_EXCHANGES_MAX
// commands (the rest of it is refused with -223), so no client can line up more work than that.
//
// The end of a client: one that only stops sending (a half-close, "nc -N") has its lines run
// and their answers written while it reads, and is closed once they are out; bytes after its
// last LF are dropped. One that is gone (it reset the connection, or a write found it gone)
// has its lines not yet started dropped: a line of it that runs completes and the table stays
// true. A client that closes both directions looks like a half-close until an answer is
// written to it; lines without answers run until then.
#pragma once

#include "netnotify.h"
#include "remote.h"
#include "remote_net.h"
#include "remote_setup_store.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class CMorvaneDlg;
struct CCommandLineInfo;

// The module as the form drives it. A setting of a channel that has a row (indexes 0 to 3 and
// 8 to 11, the rows CH1 to CH8) writes the row's boxes, sets its switch and runs the row's send,
// as a click on the switch does; the other channels are sent through the form's exchange path
// without touching the panel. Every exchange runs through the form's runner; while the port is
// closed, nothing is sent and the result is DDS_E_REPLY.
//
// The clock and channel records are read and adopted as the direct module does (on the
// user-interface thread between exchanges, when the records are its own); only the calls that
// exchange with the module differ.
class CConsoleRemoteModule : public CRemoteDirectModule {
public:
    explicit CConsoleRemoteModule(CMorvaneDlg& form);

    std::uint32_t SetChannel(int channel, double freqHz, double phaseDeg, double amplitude,
                             int single) override;
    std::uint32_t Update() override;
    std::uint32_t Init(int clockMode) override;
    std::uint32_t ReadClocks(DdsModuleClocksRecord* clocks) override;
    bool Version(ModuleVersion* version) override;
    bool Probe() override;

private:
    // True when the port is open and the form takes commands (not closing, device not gone).
    bool Ready();
    // Runs work as the form's exchange; false when none could run.
    bool Run(std::function<void()> work);
    // The row of channel index c shows what the channel table holds.
    void ShowTableRow(int c);

    QPointer<CMorvaneDlg> m_form;
};

class CRemoteServer : public QObject {
    Q_OBJECT

public:
    // Lines of one client that may wait in its queue, and of all clients together; a client
    // takes no more than its share of the whole (QUEUE_LINES_MAX divided among the clients).
    // Further bytes wait in its socket (and then in the network), so a client that sends
    // without pause holds back only itself.
    static constexpr std::size_t CLIENT_LINES_MAX = 64;
    static constexpr std::size_t QUEUE_LINES_MAX = 128;
    // Commands to the module one line may send.
    static constexpr unsigned LINE_EXCHANGES_MAX = 16;
    // Answers not yet taken by a client beyond which its input is not read.
    static constexpr std::size_t CLIENT_BACKLOG_MAX = 1 << 20;

    // clockMode: the mode "*RST" initialises with (setup.ini's [DDS_CLK_MODE] MODE). The form
    // must have had its initial update; the server stops when the form's frame closes.
    CRemoteServer(CMorvaneDlg& form, int clockMode, QObject* parent = nullptr);
    ~CRemoteServer() override;
    CRemoteServer(const CRemoteServer&) = delete;
    CRemoteServer& operator=(const CRemoteServer&) = delete;

    // Listens on listen for clients, admitting loopback ones and those in allow. False with
    // *error saying why (a non-loopback address without ranges, or the system's refusal).
    bool Listen(const RemoteListen& listen, std::vector<RemoteRange> allow, QString* error);
    // Stops listening, closes every client and forgets their lines; a running exchange is
    // cancelled.
    void Stop();

    bool IsListening() const { return m_server.IsListening(); }
    // "127.0.0.1:5025", with the port the system picked for port 0.
    QString EndpointText() const;
    quint16 Port() const { return m_server.Port(); }
    int ClientCount() const { return static_cast<int>(m_clients.size()); }
    // Lines waiting in the queues, not yet started.
    int QueuedLines() const;
    CRemoteEngine& Engine() { return m_engine; }
    // Tests shorten the idle limit.
    void SetIdleLimit(std::chrono::milliseconds limit) { m_idleLimit = limit; }

signals:
    // A line has been executed (its answer, if any, is on its way).
    void lineDone();

private:
    struct Client;

    void OnNewConnection();
    // Splits what the client sent into queued lines, as far as its share allows; closes a client
    // that sends no more once its lines have run and their answers are out.
    void TakeInput(const std::shared_ptr<Client>& client);
    // Closes the client and drops its lines not yet started.
    void Remove(const std::shared_ptr<Client>& client);
    // The lines one client may have waiting now.
    std::size_t Share() const;
    // The next client with a line waiting, in turn; nullptr when none has one.
    std::shared_ptr<Client> NextClient();
    // Runs the next queued line once the event loop has returned to its caller.
    void Schedule();
    void RunNext();
    // The engine follows the channels that changed behind it (operator's exchanges).
    void FollowOperator();

    QPointer<CMorvaneDlg> m_form;
    CConsoleRemoteModule m_module;
    CRemoteEngine m_engine;
    CRemoteFileSetupStore m_setups; // "*SAV" and "*RCL", in the user's configuration folder
    CNetListener m_server;
    std::vector<RemoteRange> m_allow;
    QString m_strEndpoint;
    std::vector<std::shared_ptr<Client>> m_clients;
    std::size_t m_turn = 0;               // of m_clients, the first looked at for the next line
    DdsChannelState m_seen[DDS_CHANNELS]; // the table as the engine last followed it
    QTimer m_retry;                       // a message box held the queue up
    std::chrono::milliseconds m_idleLimit = REMOTE_IDLE_LIMIT;
    bool m_bScheduled = false;
    bool m_bExecuting = false;
    bool m_bStopped = false;
};

// The server the command line (--serve, --allow) and setup.ini ([REMOTE] LISTEN=, ALLOW= as
// comma-separated ranges) ask for, listening. The command line's address comes before LISTEN,
// and LISTEN before 127.0.0.1:5025; the ranges of both are allowed. nullptr with *error empty
// when serving was not asked for; nullptr with *error set when it was and cannot be done.
std::unique_ptr<CRemoteServer> ConsoleStartRemote(CMorvaneDlg& form, const CCommandLineInfo& info,
                                                  QString* error);
