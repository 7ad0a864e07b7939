// The VXI-11 front end over serve's engine: each link is a session with its own error queue,
// run on serve's worker thread in turn with the raw connections' lines, and counted against the
// same client limit and allowed ranges.
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>

#include "serve_vxi11.h"
#include "vxi11.h"

namespace {

class CHost final : public IVxi11Host {
public:
    explicit CHost(ServeVxi11Hooks hooks) : m_hooks(std::move(hooks)) {}

    Admission Admit(const RemoteAddress& peer, std::uint64_t* session) override {
        if (!RemoteAllowed(peer, m_hooks.allow)) {
            return Admission::NotAllowed;
        }
        if (!m_hooks.takeClient()) {
            return Admission::TooMany;
        }
        std::lock_guard lock(m_mutex);
        *session = m_next++;
        m_sessions[*session] = std::make_shared<Session>();
        return Admission::Admitted;
    }

    void Submit(std::uint64_t id, std::string line, bool overlong, Completion done) override {
        const std::shared_ptr<Session> s = Find(id);
        if (!s) {
            done({}, false);
            return;
        }
        const std::uint64_t generation = s->generation;
        ++s->holds;
        m_hooks.onWorker(
            [this, s, generation, line = std::move(line), overlong, done = std::move(done)]() {
                // A line of a closed session still runs (its answer goes nowhere); one dropped by
                // a device clear does not.
                std::string answer;
                bool answered = false;
                if (s->generation == generation && overlong) {
                    s->scpi.PushError(REMOTE_E_COMMAND, "line longer than " +
                                                            std::to_string(REMOTE_LINE_MAX) +
                                                            " bytes, discarded");
                } else if (s->generation == generation) {
                    answered = m_hooks.engine->ExecuteLine(line, s->scpi, &answer);
                }
                // The engine's status byte of the session (error queue, event and questionable
                // summaries), kept for device_readstb, which must not wait for the worker.
                s->statusByte = m_hooks.engine->StatusByte(s->scpi);
                done(std::move(answer), answered);
                Let(*s);
            });
    }

    std::uint8_t StatusByte(std::uint64_t id) override {
        const std::shared_ptr<Session> s = Find(id);
        return s ? s->statusByte.load() : 0;
    }

    void Clear(std::uint64_t id) override {
        if (const std::shared_ptr<Session> s = Find(id)) {
            ++s->generation;
        }
    }

    void Close(std::uint64_t id) override {
        std::shared_ptr<Session> s;
        {
            std::lock_guard lock(m_mutex);
            const auto it = m_sessions.find(id);
            if (it == m_sessions.end()) {
                return;
            }
            s = it->second;
            m_sessions.erase(it);
        }
        Let(*s);
    }

private:
    struct Session {
        CRemoteSession scpi; // the worker's only
        std::atomic<std::uint8_t> statusByte{0};
        std::atomic<std::uint64_t> generation{0};
        // The link (until Close) and each of its lines not yet run hold the client place.
        std::atomic<int> holds{1};
    };

    void Let(Session& s) {
        if (--s.holds == 0) {
            m_hooks.releaseClient();
        }
    }

    std::shared_ptr<Session> Find(std::uint64_t id) {
        std::lock_guard lock(m_mutex);
        const auto it = m_sessions.find(id);
        return it == m_sessions.end() ? nullptr : it->second;
    }

    ServeVxi11Hooks m_hooks;
    std::mutex m_mutex;
    std::map<std::uint64_t, std::shared_ptr<Session>> m_sessions;
    std::uint64_t m_next = 1;
};

class CServeVxi11Impl final : public CServeVxi11 {
public:
    explicit CServeVxi11Impl(ServeVxi11Hooks hooks) : m_host(std::move(hooks)), m_server(m_host) {}
    bool Start(const std::string& address, std::string* error) {
        return m_server.Start(address, error);
    }
    const CVxi11Server& Server() const { return m_server; }

private:
    CHost m_host;
    CVxi11Server m_server;
};

} // namespace

void ServeVxi11AddOptions(CLI::App* serve, bool* enabled) {
    *enabled = true;
    serve
        ->add_flag("--vxi11,!--no-vxi11", *enabled,
                   "Also serve VXI-11 (VISA TCPIP::host::INSTR), registered with rpcbind; "
                   "without rpcbind, serve goes on with raw sockets only")
        ->capture_default_str();
}

std::unique_ptr<CServeVxi11> ServeVxi11Start(ServeVxi11Hooks hooks, const std::string& address) {
    auto vxi11 = std::make_unique<CServeVxi11Impl>(std::move(hooks));
    std::string error;
    if (!vxi11->Start(address, &error)) {
        std::fprintf(stderr, "VXI-11 off (%s): serving raw sockets only\n", error.c_str());
        return nullptr;
    }
    const std::string shown =
        address.find(':') != std::string::npos ? "[" + address + "]" : address;
    std::printf("VXI-11 on %s (TCPIP::%s::INSTR), core port %u, abort port %u\n", shown.c_str(),
                shown.c_str(), static_cast<unsigned>(vxi11->Server().CorePort()),
                static_cast<unsigned>(vxi11->Server().AbortPort()));
    std::fflush(stdout);
    return vxi11;
}
