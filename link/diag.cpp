#include "diag.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>

#include "numtext.h"

#ifndef _WIN32
#include <csignal>
#endif

namespace {

std::function<void(std::string_view)>& Sink() {
    static std::function<void(std::string_view)> sink;
    return sink;
}

} // namespace

void DiagSetSink(std::function<void(std::string_view)> sink) {
    Sink() = std::move(sink);
}

void DiagWrite(std::string_view text) {
    if (Sink()) {
        Sink()(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void DiagPrintf(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = NumVFormatString(fmt, args);
    va_end(args);
    DiagWrite(text);
}

void DiagIgnoreBrokenPipe() {
#ifndef _WIN32
    // Windows has no SIGPIPE: a write to a closed pipe fails there with an error already.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}
