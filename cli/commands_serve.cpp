// serve: the module as a network instrument. SCPI text lines over raw TCP (the VISA resource
// TCPIP::host::5025::SOCKET) and, where the platform has ONC RPC, VXI-11 (TCPIP::host::INSTR),
// executed by the remote engine on the tool's port.
//
// The instrument server does the network on its own thread; one worker thread owns the link and
// runs the engine's lines as the server hands them over. The main thread waits for SIGINT or
// SIGTERM.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include <CLI/CLI.hpp>

#include "cli.h"
#include "exchange.h"
#include "instrument_server.h"
#include "remote.h"
#include "remote_net.h"
#include "remote_setup_store.h"

namespace {

struct ServeArgs {
    std::string listen = REMOTE_DEFAULT_LISTEN;
    std::vector<std::string> allow;
    int maxClients = REMOTE_MAX_CLIENTS;
    int clockMode = 2;
    bool vxi11 = true;
    int idleSeconds = static_cast<int>(std::chrono::seconds(REMOTE_IDLE_LIMIT).count());
    int writeSeconds = static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(InstrumentLimits{}.write).count());
    std::string setups; // the folder of *SAV and *RCL; empty: the user's configuration folder
};

// The worker thread that owns the link: the server's lines run there, one after another.
class CWorkerRunner final : public IInstrumentRunner {
public:
    CWorkerRunner() : m_thread([this] { m_io.run(); }) {}
    ~CWorkerRunner() override {
        m_guard.reset();
        m_io.stop();
        m_thread.join();
        LinkClearCancel();
    }
    void Post(std::function<void()> job) override { asio::post(m_io, std::move(job)); }
    // An exchange in progress ends at its reader's next cycle.
    void CancelRunning() override { LinkRequestCancel(); }

private:
    asio::io_context m_io{1};
    asio::executor_work_guard<asio::io_context::executor_type> m_guard =
        asio::make_work_guard(m_io);
    std::thread m_thread;
};

void RunServe(CliContext& ctx, const ServeArgs& args) {
    RemoteListen listen;
    std::string error;
    if (!RemoteParseListen(args.listen, &listen, &error)) {
        ctx.Fail("--listen: " + error, 2);
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
    if (!RemoteIsLoopback(listen.address) && allow.empty()) {
        ctx.Fail("listening on " + listen.host +
                     " (not a loopback address) needs at least one --allow range",
                 2);
        return;
    }
    if (!ctx.EnsurePort()) {
        return;
    }
    // SIGINT and SIGTERM end the serving (taken from the start, before the line that says the
    // server is up).
    asio::io_context signalContext(1);
    asio::signal_set stopSignals(signalContext, SIGINT, SIGTERM);

    CRemoteDirectModule module;
    CRemoteEngine engine(module, args.clockMode);
    std::error_code ignored;
    CRemoteFileSetupStore store(args.setups.empty()
                                    ? RemoteConfigFolder()
                                    : std::filesystem::absolute(args.setups, ignored));
    if (!store.Folder().empty()) {
        engine.SetSetupStore(&store);
    }
    CWorkerRunner runner;
    InstrumentLimits limits;
    limits.maxClients = args.maxClients;
    limits.idle = std::chrono::seconds(args.idleSeconds);
    limits.write = std::chrono::seconds(args.writeSeconds);
    CInstrumentServer server(engine, runner, allow, limits);
    if (!server.Listen(listen, &error)) {
        ctx.Fail("cannot listen on " + args.listen + ": " + error, CLI_EXIT_OPEN);
        return;
    }
    std::printf("serving %s on %s\n", ctx.device.c_str(), server.EndpointText().c_str());
    std::fflush(stdout);
    if (args.vxi11) {
        const std::string shown =
            listen.address.v6 ? "[" + server.Address() + "]" : server.Address();
        if (server.StartVxi11(&error)) {
            std::printf("VXI-11 on %s (TCPIP::%s::INSTR), core port %u, abort port %u\n",
                        shown.c_str(), shown.c_str(), static_cast<unsigned>(server.Vxi11CorePort()),
                        static_cast<unsigned>(server.Vxi11AbortPort()));
        } else {
            std::fprintf(stderr, "VXI-11 off (%s): serving raw sockets only\n", error.c_str());
        }
        std::fflush(stdout);
    }
    stopSignals.async_wait([](const asio::error_code&, int) {});
    signalContext.run();
    server.Stop();
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
                     "Seconds without a line read, an answer written or a VXI-11 call after "
                     "which a client is closed")
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
    if (CInstrumentServer::HasVxi11()) {
        serve
            ->add_flag("--vxi11,!--no-vxi11", args->vxi11,
                       "Also serve VXI-11 (VISA TCPIP::host::INSTR), registered with rpcbind; "
                       "without rpcbind, serve goes on with raw sockets only")
            ->capture_default_str();
    } else {
        args->vxi11 = false;
    }
    serve->callback([&ctx, args] { RunServe(ctx, *args); });
}
