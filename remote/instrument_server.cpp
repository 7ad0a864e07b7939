// The instrument server on standalone asio: raw clients and VXI-11 links as one set of queues,
// taking turns on the host's runner.
#include "instrument_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include <asio.hpp>

#ifdef MORVANE_HAS_VXI11
#include "vxi11.h"
#endif

namespace {

// How long a listener whose accept failed (out of descriptors: EMFILE, ENFILE) rests before it
// tries again; the connection waits in the backlog meanwhile.
constexpr std::chrono::milliseconds ACCEPT_REST{100};
constexpr std::size_t READ_CHUNK = 4096;

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

// The client's end of its stream (a half-close). Compared by address and value: operator== is a
// member call on the category, which UBSan's vptr check confirms through a probe that needs a
// free descriptor, and an end of stream often comes just when the descriptors have run out.
bool EndOfStream(const asio::error_code& ec) {
    return ec.value() == asio::error::eof && &ec.category() == &asio::error::get_misc_category();
}

// The error queue and status byte of one client. The runner's job touches scpi; the status
// byte is read by VXI-11's device_readstb, which must not wait for the runner.
struct Session {
    CRemoteSession scpi;
    std::atomic<std::uint8_t> statusByte{0};
    // A VXI-11 link's client place is held by the link until it is destroyed and by each of its
    // lines until it has been completed; counted on the calling threads, so that a place is free
    // again as soon as destroy_link has returned.
    std::atomic<int> holds{1};
};

using Completion = std::function<void(std::string response, bool answered)>;

struct Pending {
    CRemoteLineReader::Line line;
    Completion done; // a VXI-11 link's; empty for a raw client's line
};

// One client: a raw connection or a VXI-11 link. Only the server's thread touches it. A link's
// idle rule is the VXI-11 front end's, which knows when its calls wait.
struct Client {
    explicit Client(asio::io_context& io) : idle(io), writeDeadline(io) {}

    std::shared_ptr<Session> session = std::make_shared<Session>();
    std::deque<Pending> lines; // complete, not yet started
    bool running = false;      // a line of it is on the runner
    bool closed = false;
    asio::steady_timer idle;

    // A raw connection's.
    std::optional<asio::ip::tcp::socket> socket;
    asio::steady_timer writeDeadline;
    CRemoteLineReader reader;
    std::array<char, READ_CHUNK> buffer{};
    std::string raw; // bytes read, of which those from at are not yet split into lines
    std::size_t at = 0;
    std::string out;     // answers waiting to be written
    std::string sending; // the answers being written
    bool reading = false;
    bool writing = false;
    bool ended = false; // the client sends no more (or, for a link, it was destroyed)

    // A VXI-11 link's.
    std::uint64_t link = 0;
};

} // namespace

struct CInstrumentServer::Impl : std::enable_shared_from_this<Impl>
#ifdef MORVANE_HAS_VXI11
    ,
                                 IVxi11Host
#endif
{
    Impl(CRemoteEngine& e, IInstrumentRunner& r, std::vector<RemoteRange> a, InstrumentLimits l)
        : engine(e), runner(r), allow(std::move(a)), limits(l), acceptor(io), acceptRest(io),
          guard(asio::make_work_guard(io)) {}

    // ---- admission (any thread) ---------------------------------------------------------------
    bool TakePlace() {
        int n = places.load();
        while (n < limits.maxClients && !places.compare_exchange_weak(n, n + 1)) {
        }
        return n < limits.maxClients;
    }
    void ReleasePlace() {
        --places;
    }

    // ---- the server's thread ------------------------------------------------------------------
    void Accept() {
        acceptor.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket s) {
            if (ec == asio::error::operation_aborted || stopping) {
                return;
            }
            if (ec) {
                // Out of descriptors, most likely: the connection stays in the backlog, so
                // trying again at once would only spin.
                acceptRest.expires_after(ACCEPT_REST);
                acceptRest.async_wait([this](const asio::error_code& waited) {
                    if (!waited && !stopping) {
                        Accept();
                    }
                });
                return;
            }
            Admit(std::move(s));
            Accept();
        });
    }

    void Admit(asio::ip::tcp::socket s) {
        asio::error_code ec;
        const asio::ip::address peer = s.remote_endpoint(ec).address();
        // Outside the ranges, or one client too many: closed at once, without a byte.
        if (ec || !RemoteAllowed(AddressBytes(peer), allow) || !TakePlace()) {
            s.close(ec);
            return;
        }
        s.set_option(asio::ip::tcp::no_delay(true), ec);
        auto c = std::make_shared<Client>(io);
        c->socket.emplace(std::move(s));
        clients.push_back(c);
        Counted();
        Activity(c);
        TakeInput(c);
    }

    // The lines one client may have waiting now.
    std::size_t Share() const {
        const std::size_t n = std::max<std::size_t>(1, clients.size());
        return std::clamp<std::size_t>(limits.queueLines / n, 1, limits.clientLines);
    }

    // Splits what the client sent into queued lines as far as its share and the bound of all
    // queues allow, and reads more once its bytes are used up (at most one buffer is held
    // unsplit: what else the client sends waits in the network). A client whose answers pile
    // up unread is not read from.
    void TakeInput(const std::shared_ptr<Client>& c) {
        if (c->closed || !c->socket) {
            return;
        }
        const bool backlogFull = c->out.size() + c->sending.size() > limits.backlog;
        bool queued = false;
        while (c->at < c->raw.size() && c->lines.size() < Share() &&
               queuedLines < limits.queueLines && !backlogFull) {
            std::string_view data = std::string_view(c->raw).substr(c->at);
            Pending p;
            const bool complete = c->reader.Next(&data, &p.line);
            c->at = c->raw.size() - data.size();
            if (complete) {
                c->lines.push_back(std::move(p));
                ++queuedLines;
                queued = true;
            }
        }
        if (c->at >= c->raw.size() && !c->reading && !c->ended && !backlogFull) {
            Read(c);
        }
        if (queued) {
            Counted();
            Dispatch();
        }
        Finish(c);
    }

    void Read(const std::shared_ptr<Client>& c) {
        c->reading = true;
        c->socket->async_read_some(
            asio::buffer(c->buffer), [this, c](const asio::error_code& ec, std::size_t n) {
                c->reading = false;
                if (c->closed) {
                    return;
                }
                if (EndOfStream(ec)) {
                    c->ended = true; // a half-close: what it sent still runs
                    Finish(c);
                    return;
                }
                if (ec) {
                    Close(c); // reset: it is gone, and so are its lines not yet started
                    return;
                }
                c->raw.assign(c->buffer.data(), n);
                c->at = 0;
                Activity(c);
                TakeInput(c);
            });
    }

    void Write(const std::shared_ptr<Client>& c) {
        if (c->closed || c->writing || c->out.empty()) {
            return;
        }
        c->sending = std::move(c->out);
        c->out.clear();
        c->writing = true;
        // A client that stops reading is closed at the deadline; its place is free again.
        c->writeDeadline.expires_after(limits.write);
        c->writeDeadline.async_wait([this, c](const asio::error_code& ec) {
            if (!ec && !c->closed && c->writeDeadline.expiry() <= Clock::now()) {
                Close(c);
            }
        });
        asio::async_write(*c->socket, asio::buffer(c->sending),
                          [this, c](const asio::error_code& ec, std::size_t) {
                              c->writing = false;
                              c->sending.clear();
                              c->writeDeadline.expires_at(Clock::time_point::max());
                              if (c->closed) {
                                  return;
                              }
                              if (ec) {
                                  Close(c);
                                  return;
                              }
                              Activity(c);
                              Write(c);
                              TakeInput(c); // its backlog shrank
                          });
    }

    // The client did something: its idle time starts again. At the limit, a client that still
    // waits for the server (its lines queued or running, an answer being written) is not idle.
    void Activity(const std::shared_ptr<Client>& c) {
        c->idle.expires_after(limits.idle);
        c->idle.async_wait([this, c](const asio::error_code& ec) {
            if (ec || c->closed || c->idle.expiry() > Clock::now()) {
                return;
            }
            // Bytes it sent wait for room in the queues: it waits for the server.
            const bool heldBack = c->at < c->raw.size();
            if (!c->lines.empty() || c->running || c->writing || heldBack) {
                Activity(c);
                return;
            }
            Close(c);
        });
    }

    // A client that sends no more is closed once everything it sent has run and its answers
    // are out; a destroyed link once its lines have run.
    void Finish(const std::shared_ptr<Client>& c) {
        if (!c->closed && c->ended && c->lines.empty() && !c->running && !c->writing &&
            c->out.empty()) {
            Close(c);
        }
    }

    void Close(const std::shared_ptr<Client>& c) {
        if (c->closed) {
            return;
        }
        c->closed = true;
        asio::error_code ec;
        if (c->socket) {
            c->socket->close(ec);
        }
        c->idle.cancel();
        c->writeDeadline.cancel();
        // Its lines not yet started go with it; a link's are answered as not run.
        Uncount(*c, c->lines.size());
        for (Pending& p : c->lines) {
            if (p.done) {
                p.done({}, false);
            }
        }
        c->lines.clear();
        const auto it = std::find(clients.begin(), clients.end(), c);
        if (it != clients.end()) {
            const auto index = static_cast<std::size_t>(it - clients.begin());
            clients.erase(it);
            if (turn > index) {
                --turn;
            }
        }
        if (c->link != 0) {
            links.erase(c->link);
        }
        if (c->link == 0) {
            ReleasePlace(); // a link's place goes with its last hold (LetGo)
        }
        Counted();
    }

    // Hands the next client's next line to the runner, unless one is there already.
    void Dispatch() {
        if (lineOut || stopping) {
            return;
        }
        std::shared_ptr<Client> c;
        for (std::size_t i = 0; i < clients.size() && !c; ++i) {
            const std::size_t k = (turn + i) % clients.size();
            if (!clients[k]->lines.empty()) {
                c = clients[k];
                turn = k + 1;
            }
        }
        if (!c) {
            return;
        }
        Pending p = std::move(c->lines.front());
        c->lines.pop_front();
        Uncount(*c, 1);
        Counted();
        c->running = true;
        lineOut = true;
        std::weak_ptr<Impl> weak = weak_from_this();
        std::weak_ptr<Client> who = c;
        runner.Post([self = shared_from_this(), weak, who, session = c->session,
                     p = std::move(p)]() mutable {
            std::string answer;
            bool answered = false;
            if (!self->stopping) {
                if (p.line.overlong) {
                    session->scpi.PushError(REMOTE_E_COMMAND, "line longer than " +
                                                                  std::to_string(REMOTE_LINE_MAX) +
                                                                  " bytes, discarded");
                } else {
                    answered = self->engine.ExecuteLine(p.line.text, session->scpi, &answer);
                }
                session->statusByte = self->engine.StatusByte(session->scpi);
            }
            asio::post(self->io, [weak, who, answered, answer = std::move(answer),
                                  done = std::move(p.done)]() mutable {
                if (const std::shared_ptr<Impl> server = weak.lock()) {
                    server->Ran(who.lock(), std::move(answer), answered, std::move(done));
                }
            });
        });
    }

    void Ran(const std::shared_ptr<Client>& c, std::string answer, bool answered, Completion done) {
        lineOut = false;
        if (done) {
            done(std::move(answer), answered);
        }
        if (c) {
            c->running = false;
            if (!c->closed && c->socket) {
                Activity(c); // its idle time counts from the end of its line
            }
            if (!c->closed && c->socket && answered) {
                c->out += answer;
                c->out += '\n';
                Write(c);
            }
            Finish(c);
        }
        // A place in the queues is free: every client may take lines again (one held back by
        // the bound of all queues too), the next in turn first.
        const std::vector<std::shared_ptr<Client>> all = clients;
        for (std::size_t i = 0; i < all.size(); ++i) {
            TakeInput(all[(turn + i) % all.size()]);
        }
        Dispatch();
    }

    void Uncount(const Client& c, std::size_t n) {
        (c.link != 0 ? linkLines : queuedLines) -= n;
    }

    void Counted() {
        clientCount = static_cast<int>(clients.size());
        queuedCount = static_cast<int>(queuedLines + linkLines);
    }

#ifdef MORVANE_HAS_VXI11
    // ---- VXI-11 links (calls from the RPC thread) ---------------------------------------------
    Admission Admit(const RemoteAddress& peer, std::uint64_t* id) override {
        if (!RemoteAllowed(peer, allow)) {
            return Admission::NotAllowed;
        }
        if (stopping || !TakePlace()) {
            return Admission::TooMany;
        }
        auto session = std::make_shared<Session>();
        {
            std::lock_guard lock(linkMutex);
            *id = nextLink++;
            linkSessions[*id] = session;
        }
        asio::post(io, [this, id = *id, session] {
            auto c = std::make_shared<Client>(io);
            c->session = session;
            c->link = id;
            links[id] = c;
            clients.push_back(c);
            Counted();
        });
        return Admission::Admitted;
    }

    // One hold of a link's place less; the last gives the place back.
    void LetGo(Session& session) {
        if (--session.holds == 0) {
            ReleasePlace();
        }
    }

    std::shared_ptr<Session> FindLink(std::uint64_t id) {
        std::lock_guard lock(linkMutex);
        const auto it = linkSessions.find(id);
        return it == linkSessions.end() ? nullptr : it->second;
    }

    void Submit(std::uint64_t id, std::string text, bool overlong, Completion done) override {
        const std::shared_ptr<Session> session = FindLink(id);
        if (!session) {
            done({}, false);
            return;
        }
        ++session->holds;
        done = [this, session, done = std::move(done)](std::string response, bool answered) {
            done(std::move(response), answered);
            LetGo(*session);
        };
        asio::post(io, [this, id, text = std::move(text), overlong, done = std::move(done)]() {
            const auto it = links.find(id);
            if (it == links.end() || it->second->closed) {
                done({}, false);
                return;
            }
            const std::shared_ptr<Client>& c = it->second;
            // The front end bounds a link's lines in flight, so a link's lines are always taken.
            c->lines.push_back({{text, overlong}, done});
            ++linkLines;
            Counted();
            Dispatch();
        });
    }

    std::uint8_t StatusByte(std::uint64_t id) override {
        const std::shared_ptr<Session> session = FindLink(id);
        return session ? session->statusByte.load() : 0;
    }

    void Clear(std::uint64_t id) override {
        asio::post(io, [this, id] {
            const auto it = links.find(id);
            if (it == links.end()) {
                return;
            }
            Client& c = *it->second;
            Uncount(c, c.lines.size());
            for (Pending& p : c.lines) {
                p.done({}, false);
            }
            c.lines.clear();
            Counted();
        });
    }

    void Close(std::uint64_t id) override {
        std::shared_ptr<Session> session;
        {
            std::lock_guard lock(linkMutex);
            const auto it = linkSessions.find(id);
            if (it == linkSessions.end()) {
                return;
            }
            session = it->second;
            linkSessions.erase(it);
        }
        LetGo(*session); // its lines still run, then its place is free
        asio::post(io, [this, id] {
            const auto it = links.find(id);
            if (it != links.end()) {
                const std::shared_ptr<Client> c = it->second;
                c->ended = true;
                Finish(c);
            }
        });
    }

    std::unique_ptr<CVxi11Server> vxi11;
    std::mutex linkMutex;
    std::map<std::uint64_t, std::shared_ptr<Session>> linkSessions; // the links not destroyed
    std::uint64_t nextLink = 1;
#endif

    using Clock = std::chrono::steady_clock;

    CRemoteEngine& engine;
    IInstrumentRunner& runner;
    std::vector<RemoteRange> allow;
    InstrumentLimits limits;
    asio::io_context io{1};
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer acceptRest;
    asio::executor_work_guard<asio::io_context::executor_type> guard;
    std::thread thread;
    std::string host; // the listening address, numeric
    bool v6 = false;
    std::uint16_t port = 0;

    // The server's thread's only.
    std::vector<std::shared_ptr<Client>> clients;
    std::map<std::uint64_t, std::shared_ptr<Client>> links;
    std::size_t turn = 0;
    // Lines waiting, of raw clients (bounded by queueLines) and of links (bounded by the front
    // end, VXI11_LINES_IN_FLIGHT each, so that links never crowd raw clients out).
    std::size_t queuedLines = 0;
    std::size_t linkLines = 0;
    bool lineOut = false;

    std::atomic<bool> stopping{false};
    std::atomic<int> places{0};
    std::atomic<int> clientCount{0};
    std::atomic<int> queuedCount{0};
};

CInstrumentServer::CInstrumentServer(CRemoteEngine& engine, IInstrumentRunner& runner,
                                     std::vector<RemoteRange> allow, InstrumentLimits limits)
    : m_impl(std::make_shared<Impl>(engine, runner, std::move(allow), limits)) {
    engine.SetLineExchangeLimit(limits.lineExchanges);
}

CInstrumentServer::~CInstrumentServer() {
    Stop();
}

bool CInstrumentServer::Listen(const RemoteListen& listen, std::string* error) {
    Impl& d = *m_impl;
    asio::error_code ec;
    const asio::ip::address address = asio::ip::make_address(listen.host, ec);
    const asio::ip::tcp::endpoint endpoint(address, listen.port);
    if (!ec) {
        d.acceptor.open(endpoint.protocol(), ec);
    }
    if (!ec && address.is_v6()) {
        // [::] serves IPv4 clients too, whatever the system's default.
        d.acceptor.set_option(asio::ip::v6_only(false), ec);
    }
    if (!ec) {
#ifdef _WIN32
        // Windows' SO_REUSEADDR would let a second server take the port from this one.
        using ExclusiveAddressUse =
            asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
        d.acceptor.set_option(ExclusiveAddressUse(true), ec);
#else
        // A restarted server takes its port back while old connections time out.
        d.acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
#endif
    }
    if (!ec) {
        d.acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        d.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        *error = ec.message();
        asio::error_code ignored;
        d.acceptor.close(ignored);
        return false;
    }
    d.host = address.to_string();
    d.v6 = address.is_v6();
    d.port = d.acceptor.local_endpoint(ec).port();
    d.Accept();
    d.thread = std::thread([&d] { d.io.run(); });
    return true;
}

bool CInstrumentServer::HasVxi11() {
#ifdef MORVANE_HAS_VXI11
    return true;
#else
    return false;
#endif
}

bool CInstrumentServer::StartVxi11(std::string* error) {
#ifdef MORVANE_HAS_VXI11
    Impl& d = *m_impl;
    if (!d.thread.joinable()) {
        *error = "the server does not listen";
        return false;
    }
    auto vxi11 = std::make_unique<CVxi11Server>(d);
    vxi11->SetIdleLimit(d.limits.idle);
    if (!vxi11->Start(d.host, error)) {
        return false;
    }
    d.vxi11 = std::move(vxi11);
    return true;
#else
    *error = "this build has no VXI-11";
    return false;
#endif
}

void CInstrumentServer::Stop() {
    Impl& d = *m_impl;
    if (!d.thread.joinable()) {
        return;
    }
    d.stopping = true;
#ifdef MORVANE_HAS_VXI11
    if (d.vxi11) {
        d.vxi11->Stop(); // its links' Close calls are posted before the end below
        d.vxi11.reset();
    }
#endif
    asio::post(d.io, [&d] {
        asio::error_code ec;
        d.acceptor.close(ec);
        d.acceptRest.cancel();
        const std::vector<std::shared_ptr<Client>> all = d.clients;
        for (const std::shared_ptr<Client>& c : all) {
            d.Close(c);
        }
        d.guard.reset(); // the thread ends once the cancelled operations have finished
    });
    // A job that runs now (one that had started before the flag was set) ends its exchange early.
    d.runner.CancelRunning();
    d.thread.join();
}

bool CInstrumentServer::IsListening() const {
    return m_impl->thread.joinable() && !m_impl->stopping;
}

std::uint16_t CInstrumentServer::Port() const {
    return m_impl->port;
}

std::string CInstrumentServer::EndpointText() const {
    return RemoteEndpointText(m_impl->host, m_impl->v6, m_impl->port);
}

std::uint16_t CInstrumentServer::Vxi11CorePort() const {
#ifdef MORVANE_HAS_VXI11
    return m_impl->vxi11 ? m_impl->vxi11->CorePort() : 0;
#else
    return 0;
#endif
}

std::uint16_t CInstrumentServer::Vxi11AbortPort() const {
#ifdef MORVANE_HAS_VXI11
    return m_impl->vxi11 ? m_impl->vxi11->AbortPort() : 0;
#else
    return 0;
#endif
}

int CInstrumentServer::ClientCount() const {
    return m_impl->clientCount;
}

int CInstrumentServer::QueuedLines() const {
    return m_impl->queuedCount;
}

std::string CInstrumentServer::Address() const {
    return m_impl->host;
}
