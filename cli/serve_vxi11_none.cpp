// Builds without ONC RPC (Windows): serve has raw sockets only.
#include "serve_vxi11.h"

void ServeVxi11AddOptions(CLI::App*, bool* enabled) {
    *enabled = false;
}

std::unique_ptr<CServeVxi11> ServeVxi11Start(ServeVxi11Hooks, const std::string&) {
    return nullptr;
}
