// serve's VXI-11 front end: the remote engine of serve offered as TCPIP::host::INSTR too, where
// the platform has ONC RPC.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "remote.h"
#include "remote_net.h"

// What serve lends the front end.
struct ServeVxi11Hooks {
    CRemoteEngine* engine = nullptr;
    std::vector<RemoteRange> allow;
    // Runs a job on the thread that owns the link and the engine, after the jobs before it.
    std::function<void(std::function<void()>)> onWorker;
    // One of serve's client places (shared with raw connections); false when all are taken.
    std::function<bool()> takeClient;
    std::function<void()> releaseClient;
};

class CServeVxi11 {
public:
    virtual ~CServeVxi11() = default; // stops serving and unregisters
};

// Adds --vxi11/--no-vxi11 to serve where VXI-11 exists; *enabled is its value.
void ServeVxi11AddOptions(CLI::App* serve, bool* enabled);

// Starts VXI-11 on address (numeric, as --listen names it) and prints the line that says so;
// nullptr after one line on stderr saying why not (serve goes on with raw sockets).
std::unique_ptr<CServeVxi11> ServeVxi11Start(ServeVxi11Hooks hooks, const std::string& address);
