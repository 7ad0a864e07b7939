// The console as a network instrument: the instrument server (raw TCP, and VXI-11 where the
// platform has it) with the form as the engine's module, so that a remote setting takes the path
// of the operator's click on the row's switch and the panel shows it.
//
// The server does the network on its own thread and hands its lines, one at a time, to the
// user-interface thread, which runs each line only while no exchange runs and no message box
// of a handler is open, one line per turn of the event loop: operator and remote commands take
// turns and never interleave. Before each line the engine takes the channels that the
// operator's own exchanges changed from the channel table, so that its kept values match the
// panel. Admission, queues and their bounds, idle and write deadlines are the server's.
#pragma once

#include "instrument_server.h"
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

class CRemoteServer : public QObject, private IInstrumentRunner {
    Q_OBJECT

public:
    // Commands to the module one line may send.
    static constexpr unsigned LINE_EXCHANGES_MAX = InstrumentLimits{}.lineExchanges;
    // Lines of all clients that may wait at once.
    static constexpr std::size_t QUEUE_LINES_MAX = InstrumentLimits{}.queueLines;

    // clockMode: the mode "*RST" initialises with (setup.ini's [DDS_CLK_MODE] MODE). The form
    // must have had its initial update; the server stops when the form's frame closes.
    CRemoteServer(CMorvaneDlg& form, int clockMode, QObject* parent = nullptr);
    ~CRemoteServer() override;
    CRemoteServer(const CRemoteServer&) = delete;
    CRemoteServer& operator=(const CRemoteServer&) = delete;

    // Listens on listen for clients, admitting loopback ones and those in allow. False with
    // *error saying why (a non-loopback address without ranges, or the system's refusal).
    bool Listen(const RemoteListen& listen, std::vector<RemoteRange> allow, QString* error);
    // VXI-11 beside the raw server (after Listen). False with *error saying why not; the raw
    // server goes on.
    bool StartVxi11(QString* error);
    // Stops listening, closes every client and forgets their lines; a running exchange is
    // cancelled.
    void Stop();

    bool IsListening() const { return m_server && m_server->IsListening(); }
    // "127.0.0.1:5025", with the port the system picked for port 0.
    QString EndpointText() const;
    quint16 Port() const { return m_server ? m_server->Port() : 0; }
    quint16 Vxi11CorePort() const { return m_server ? m_server->Vxi11CorePort() : 0; }
    int ClientCount() const { return m_server ? m_server->ClientCount() : 0; }
    // Lines waiting in the queues, not yet started.
    int QueuedLines() const {
        return (m_server ? m_server->QueuedLines() : 0) + static_cast<int>(m_jobs.size());
    }
    CRemoteEngine& Engine() { return m_engine; }
    // Tests shorten the idle limit; it counts for the next Listen.
    void SetIdleLimit(std::chrono::milliseconds limit) { m_limits.idle = limit; }
    // Whether the command line and setup.ini ask for VXI-11 as well.
    bool WantsVxi11() const { return m_bWantsVxi11; }
    void SetWantsVxi11(bool wants) { m_bWantsVxi11 = wants; }

signals:
    // A line has been executed (its answer, if any, is on its way).
    void lineDone();

private:
    // IInstrumentRunner: the server's lines, queued for the user-interface thread.
    void Post(std::function<void()> job) override;
    void CancelRunning() override;

    // Runs the next line once the event loop has returned to its caller.
    void Schedule();
    void RunNext();
    // The engine follows the channels that changed behind it (operator's exchanges).
    void FollowOperator();

    QPointer<CMorvaneDlg> m_form;
    CConsoleRemoteModule m_module;
    CRemoteEngine m_engine;
    CRemoteFileSetupStore m_setups; // "*SAV" and "*RCL", in the user's configuration folder
    InstrumentLimits m_limits;
    std::unique_ptr<CInstrumentServer> m_server;
    QString m_strEndpoint;
    std::deque<std::function<void()>> m_jobs; // the server's lines, not yet run
    DdsChannelState m_seen[DDS_CHANNELS];     // the table as the engine last followed it
    QTimer m_retry;                           // a message box held the queue up
    bool m_bScheduled = false;
    bool m_bExecuting = false;
    bool m_bWantsVxi11 = false;
};

// The server the command line (--serve, --allow, --no-vxi11) and setup.ini ([REMOTE] LISTEN=,
// ALLOW= as comma-separated ranges, VXI11=0 for raw sockets only) ask for, listening; VXI-11 is
// left to the caller (WantsVxi11, StartVxi11). The command line's address comes before LISTEN,
// and LISTEN before 127.0.0.1:5025; the ranges of both are allowed. nullptr with *error empty
// when serving was not asked for; nullptr with *error set when it was and cannot be done.
std::unique_ptr<CRemoteServer> ConsoleStartRemote(CMorvaneDlg& form, const CCommandLineInfo& info,
                                                  QString* error);
