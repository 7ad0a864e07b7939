#include "startuptrace.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

void StartupMark(const char* phase) {
    static const bool enabled = std::getenv("MORVANE_STARTUP_TRACE") != nullptr;
    if (!enabled) {
        return;
    }
    static std::mutex mutex;
    static std::set<std::string> seen;
    const std::lock_guard<std::mutex> lock(mutex);
    if (!seen.insert(phase).second) {
        return; // only the first time counts (the port may open again later)
    }
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    std::fprintf(stderr, "morvane-startup: %s %lld\n", phase, static_cast<long long>(now.count()));
    std::fflush(stderr);
}
