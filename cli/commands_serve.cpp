// serve: the module as a network instrument. SCPI text lines over raw TCP (the VISA resource
// TCPIP::host::5025::SOCKET), executed by the remote engine on the tool's port.
//
// Threads: the io_context thread does every network operation (accept, reads, writes, timers,
// signals); one worker thread owns the link and runs the engine, one line at a time in arrival
// order. A line's answer is posted back to the io_context. So the exchanges never interleave,
// a slow module stalls no socket, and a client that vanishes while its line runs costs nothing:
// the exchange completes, the kept values stay true, the answer is dropped.
//
// A connection reads, runs the lines it read, writes their answers, and only then reads again:
// a client that sends faster than it reads is held back by TCP, never by memory of ours. A
// client that half-closes after its last line gets every answer (its lines were read before
// the end of its stream was), and a client that stops reading is closed at the write deadline.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include <CLI/CLI.hpp>

#include "cli.h"
#include "exchange.h"
#include "remote.h"
#include "remote_net.h"
#include "remote_setup_store.h"
#include "serve_vxi11.h"

namespace {

// How long one answer may take to be written, unless --write-timeout says otherwise.
constexpr std::chrono::seconds WRITE_LIMIT{30};

struct ServeArgs {
    std::string listen = REMOTE_DEFAULT_LISTEN;
    std::vector<std::string> allow;
    int maxClients = REMOTE_MAX_CLIENTS;
    int clockMode = 2;
    bool vxi11 = true;
    int idleSeconds = static_cast<int>(std::chrono::seconds(REMOTE_IDLE_LIMIT).count());
    int writeSeconds = static_cast<int>(WRITE_LIMIT.count());
    std::string setups; // the folder of *SAV and *RCL; empty: the user's configuration folder
};

// How long a listener whose accept failed (out of descriptors: EMFILE, ENFILE) rests before it
// tries again; the connection waits in the backlog meanwhile.
constexpr std::chrono::milliseconds ACCEPT_REST{100};

// The client's address as the allowed ranges take it.
RemoteAddress AddressBytes(const asio::ip::address& a) {
    RemoteAddress bytes;
    if (a.is_v4()) {
        const auto b = a.to_v4().to_bytes();
        std::copy(b.begin(), b.end(), bytes.bytes.begin());
    } else {
        bytes.v6 = true;
        const auto b = a.to_v6().to_bytes();
        std::copy(b.begin(), b.end(), bytes.bytes.begin());
    }
    return bytes;
}

// "127.0.0.1:5025", "[::1]:5025", "[fe80::1%eth0]:5025". The port may be 0 (the system picks
// one; the line printed at the start names it).
bool ParseListen(const std::string& text, asio::ip::tcp::endpoint& endpoint, std::string& error) {
    RemoteListen listen;
    asio::error_code ec;
    asio::ip::address address;
    if (RemoteParseListen(text, &listen, &error)) {
        address = asio::ip::make_address(listen.host, ec); // resolves a zone's interface name
    }
    if (!error.empty() || ec) {
        error = "--listen: " + RemoteListenFormatError(text);
        return false;
    }
    endpoint = asio::ip::tcp::endpoint(address, listen.port);
    return true;
}

class CServer;

// One client: reads lines (at most REMOTE_LINE_MAX bytes), hands them to the worker one at a
// time and writes the answers back. Only the worker touches m_session.
class CConnection : public std::enable_shared_from_this<CConnection> {
public:
    CConnection(CServer& server, asio::ip::tcp::socket socket);
    void Start() { StartRead(); }
    void Close();

private:
    using Line = CRemoteLineReader::Line;
    // The connection is closed if nothing happens on it for limit (the idle limit while it
    // reads, the write deadline while it writes); Disarm stops that.
    void Arm(std::chrono::steady_clock::duration limit);
    void Disarm();
    void StartRead();
    void TakeBytes(const char* data, std::size_t count);
    void ProcessNext();

    CServer& m_server;
    asio::ip::tcp::socket m_socket;
    asio::steady_timer m_deadline;
    CRemoteSession m_session;
    std::array<char, 4096> m_buffer{};
    CRemoteLineReader m_reader;
    std::deque<Line> m_lines;
    std::string m_answer;
    bool m_closed = false;
};

class CServer {
public:
    struct Limits {
        int maxClients = REMOTE_MAX_CLIENTS;
        std::chrono::seconds idle{REMOTE_IDLE_LIMIT};
        std::chrono::seconds write = WRITE_LIMIT;
    };
    CServer(asio::io_context& io, CRemoteEngine& engine, std::vector<RemoteRange> allow,
            Limits limits)
        : m_io(io), m_engine(engine), m_allow(std::move(allow)), m_limits(limits), m_acceptor(io),
          m_acceptRest(io), m_signals(io, SIGINT, SIGTERM),
          m_workerGuard(asio::make_work_guard(m_worker)) {}

    // Binds and listens; false with a message on failure.
    bool Listen(const asio::ip::tcp::endpoint& endpoint, std::string& error) {
        asio::error_code ec;
        m_acceptor.open(endpoint.protocol(), ec);
        if (!ec && endpoint.address().is_v6()) {
            // [::] serves IPv4 clients too, whatever the system's default.
            m_acceptor.set_option(asio::ip::v6_only(false), ec);
        }
        if (!ec) {
#ifdef _WIN32
            // Windows' SO_REUSEADDR would let a second server take the port from this one.
            using ExclusiveAddressUse =
                asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
            m_acceptor.set_option(ExclusiveAddressUse(true), ec);
#else
            // A restarted server takes its port back while old connections time out.
            m_acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
#endif
        }
        if (!ec) {
            m_acceptor.bind(endpoint, ec);
        }
        if (!ec) {
            m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
        }
        if (ec) {
            error = ec.message();
            return false;
        }
        return true;
    }
    asio::ip::tcp::endpoint LocalEndpoint() const {
        return m_acceptor.local_endpoint();
    }

    // Serves until SIGINT or SIGTERM.
    void Run() {
        m_signals.async_wait([this](const asio::error_code& ec, int) {
            if (!ec) {
                Stop();
            }
        });
        Accept();
        std::thread worker([this] { m_worker.run(); });
        m_io.run();
        worker.join();
        LinkClearCancel();
    }

    // Runs f on the worker (the link's owner), in the order of the calls.
    template <class F> void OnWorker(F&& f) {
        asio::post(m_worker, std::forward<F>(f));
    }
    template <class F> void OnIo(F&& f) {
        asio::post(m_io, std::forward<F>(f));
    }
    CRemoteEngine& Engine() {
        return m_engine;
    }
    const Limits& GetLimits() const {
        return m_limits;
    }
    void Closed(CConnection* c) {
        m_connections.erase(c);
        ReleaseClient();
    }
    // Client places, shared by raw connections and VXI-11 links (any thread).
    bool TakeClient() {
        int n = m_clients.load();
        while (n < m_limits.maxClients && !m_clients.compare_exchange_weak(n, n + 1)) {
        }
        return n < m_limits.maxClients;
    }
    void ReleaseClient() {
        --m_clients;
    }

private:
    void Accept() {
        m_acceptor.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
            if (ec == asio::error::operation_aborted || m_stopping) {
                return;
            }
            if (ec) {
                // Out of descriptors, most likely: the connection stays in the backlog, so
                // trying again at once would only spin.
                m_acceptRest.expires_after(ACCEPT_REST);
                m_acceptRest.async_wait([this](const asio::error_code& waited) {
                    if (!waited && !m_stopping) {
                        Accept();
                    }
                });
                return;
            }
            Admit(std::move(socket));
            Accept();
        });
    }

    void Admit(asio::ip::tcp::socket socket) {
        asio::error_code ec;
        const asio::ip::address peer = socket.remote_endpoint(ec).address();
        const bool allowed = !ec && RemoteAllowed(AddressBytes(peer), m_allow);
        // Outside the ranges, or one client too many: closed at once, without a byte.
        if (!allowed || !TakeClient()) {
            socket.close(ec);
            return;
        }
        auto c = std::make_shared<CConnection>(*this, std::move(socket));
        m_connections.insert(c.get());
        c->Start();
    }

    void Stop() {
        m_stopping = true;
        asio::error_code ec;
        m_acceptor.close(ec);
        m_acceptRest.cancel();
        // An exchange in progress ends at its reader's next cycle; nothing queued starts.
        LinkRequestCancel();
        m_workerGuard.reset();
        m_worker.stop();
        const std::set<CConnection*> open = m_connections;
        for (CConnection* c : open) {
            c->Close();
        }
        m_io.stop();
    }

    asio::io_context& m_io;
    asio::io_context m_worker{1};
    CRemoteEngine& m_engine;
    std::vector<RemoteRange> m_allow;
    Limits m_limits;
    asio::ip::tcp::acceptor m_acceptor;
    asio::steady_timer m_acceptRest;
    asio::signal_set m_signals;
    asio::executor_work_guard<asio::io_context::executor_type> m_workerGuard;
    std::set<CConnection*> m_connections;
    bool m_stopping = false;
    std::atomic<int> m_clients{0};
};

CConnection::CConnection(CServer& server, asio::ip::tcp::socket socket)
    : m_server(server), m_socket(std::move(socket)), m_deadline(m_socket.get_executor()) {
    asio::error_code ec;
    m_socket.set_option(asio::ip::tcp::no_delay(true), ec);
}

void CConnection::Close() {
    if (m_closed) {
        return;
    }
    m_closed = true;
    asio::error_code ec;
    m_socket.close(ec);
    Disarm();
    m_server.Closed(this);
}

void CConnection::Arm(std::chrono::steady_clock::duration limit) {
    m_deadline.expires_after(limit);
    m_deadline.async_wait([self = shared_from_this()](const asio::error_code& ec) {
        // A wait that fired just before its deadline was moved on or disarmed closes nothing.
        if (!ec && self->m_deadline.expiry() <= std::chrono::steady_clock::now()) {
            self->Close();
        }
    });
}

void CConnection::Disarm() {
    m_deadline.expires_at(std::chrono::steady_clock::time_point::max());
}

void CConnection::StartRead() {
    if (m_closed) {
        return;
    }
    // Idle from the last read or the last write, whichever came later: a read starts only
    // after the answers of the lines before it are written.
    Arm(m_server.GetLimits().idle);
    m_socket.async_read_some(
        asio::buffer(m_buffer),
        [self = shared_from_this()](const asio::error_code& ec, std::size_t n) {
            self->Disarm();
            if (ec) {
                // The end of the client's stream (a half-close) or its failure: the lines
                // read before it have all run and been answered.
                self->Close();
                return;
            }
            self->TakeBytes(self->m_buffer.data(), n);
            self->ProcessNext();
        });
}

void CConnection::TakeBytes(const char* data, std::size_t count) {
    std::string_view bytes(data, count);
    Line line;
    while (m_reader.Next(&bytes, &line)) {
        m_lines.push_back(std::move(line));
    }
}

void CConnection::ProcessNext() {
    if (m_closed) {
        return;
    }
    if (m_lines.empty()) {
        StartRead();
        return;
    }
    Line line = std::move(m_lines.front());
    m_lines.pop_front();
    m_server.OnWorker([self = shared_from_this(), line = std::move(line)]() mutable {
        std::string answer;
        bool answered = false;
        if (line.overlong) {
            self->m_session.PushError(REMOTE_E_COMMAND, "line longer than " +
                                                            std::to_string(REMOTE_LINE_MAX) +
                                                            " bytes, discarded");
        } else {
            answered = self->m_server.Engine().ExecuteLine(line.text, self->m_session, &answer);
        }
        CServer& server = self->m_server;
        server.OnIo([self = std::move(self), answered, answer = std::move(answer)]() mutable {
            if (self->m_closed) {
                return;
            }
            if (!answered) {
                self->ProcessNext();
                return;
            }
            self->m_answer = std::move(answer);
            self->m_answer += '\n';
            // A client that stops reading is closed at the deadline; its place is free again.
            self->Arm(self->m_server.GetLimits().write);
            asio::async_write(self->m_socket, asio::buffer(self->m_answer),
                              [self](const asio::error_code& ec, std::size_t) {
                                  self->Disarm();
                                  if (ec) {
                                      self->Close();
                                      return;
                                  }
                                  self->ProcessNext();
                              });
        });
    });
}

void RunServe(CliContext& ctx, const ServeArgs& args) {
    asio::ip::tcp::endpoint endpoint;
    std::string error;
    if (!ParseListen(args.listen, endpoint, error)) {
        ctx.Fail(error, 2);
        return;
    }
    std::vector<RemoteRange> allow;
    for (const std::string& text : args.allow) {
        RemoteRange r;
        if (!RemoteParseRange(text, &r, &error)) {
            ctx.Fail("--allow: " + error, 2);
            return;
        }
        allow.push_back(r);
    }
    if (!endpoint.address().is_loopback() && allow.empty()) {
        ctx.Fail("listening on " + endpoint.address().to_string() +
                     " (not a loopback address) needs at least one --allow range",
                 2);
        return;
    }
    if (!ctx.EnsurePort()) {
        return;
    }
    asio::io_context io(1);
    CRemoteDirectModule module;
    CRemoteEngine engine(module, args.clockMode);
    std::error_code ignored;
    CRemoteFileSetupStore store(args.setups.empty()
                                    ? RemoteConfigFolder()
                                    : std::filesystem::absolute(args.setups, ignored));
    if (!store.Folder().empty()) {
        engine.SetSetupStore(&store);
    }
    CServer server(io, engine, allow,
                   {args.maxClients, std::chrono::seconds(args.idleSeconds),
                    std::chrono::seconds(args.writeSeconds)});
    if (!server.Listen(endpoint, error)) {
        ctx.Fail("cannot listen on " + args.listen + ": " + error, CLI_EXIT_OPEN);
        return;
    }
    const asio::ip::tcp::endpoint local = server.LocalEndpoint();
    const std::string address = local.address().is_v6() ? "[" + local.address().to_string() + "]"
                                                        : local.address().to_string();
    std::printf("serving %s on %s:%u\n", ctx.device.c_str(), address.c_str(),
                static_cast<unsigned>(local.port()));
    std::fflush(stdout);
    std::unique_ptr<CServeVxi11> vxi11;
    if (args.vxi11) {
        vxi11 = ServeVxi11Start(
            {&engine, allow,
             [&server](std::function<void()> job) { server.OnWorker(std::move(job)); },
             [&server] { return server.TakeClient(); }, [&server] { server.ReleaseClient(); }},
            local.address().to_string());
    }
    server.Run();
}

} // namespace

void CliAddServeCommands(CLI::App& app, CliContext& ctx) {
    auto args = std::make_shared<ServeArgs>();
    CLI::App* serve = app.add_subcommand(
        "serve", "Serve the module to SCPI clients over TCP (VISA TCPIP::host::" +
                     std::to_string(REMOTE_DEFAULT_PORT) + "::SOCKET) until SIGINT or SIGTERM");
    serve
        ->add_option("--listen", args->listen,
                     "ADDR:PORT to listen on; an address other than loopback needs --allow")
        ->capture_default_str();
    serve
        ->add_option("--allow", args->allow,
                     "Address range (CIDR) whose clients are served besides loopback; repeatable")
        ->allow_extra_args(false);
    serve->add_option("--max-clients", args->maxClients, "Clients served at once")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000));
    serve
        ->add_option("--idle-timeout", args->idleSeconds,
                     "Seconds without a line read or an answer written after which a client is "
                     "closed")
        ->capture_default_str()
        ->check(CLI::Range(1, 7 * 24 * 3600));
    serve
        ->add_option("--write-timeout", args->writeSeconds,
                     "Seconds an answer may take to be written; a client that stops reading is "
                     "closed then")
        ->capture_default_str()
        ->check(CLI::Range(1, 3600));
    serve
        ->add_option("--clock-mode", args->clockMode,
                     "Clock mode 1 to 8 that *RST initialises with")
        ->capture_default_str()
        ->check(CLI::Range(1, 8));
    serve->add_option("--setups", args->setups,
                      "Folder of the *SAV and *RCL setups (default: the user's configuration "
                      "folder for Morvane)");
    ServeVxi11AddOptions(serve, &args->vxi11);
    serve->callback([&ctx, args] { RunServe(ctx, *args); });
}
