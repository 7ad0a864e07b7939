// The replies of "DI" and "u0" as any bytes, end to end: written into a pseudo-terminal and read
// back by DdsInit and DdsReadClocks through the ordinary link (reader, reply buffer, split and
// clock fields). Every clock kept is 0 or usable, a refused reply changes nothing, and the
// words computed from an accepted clock stay within their ranges.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "comlink.h"
#include "dds.h"
#include "diag.h"
#include "exchange.h"

namespace {

int g_master = -1;

// Opens a pseudo-terminal once and the link on its slave side, without the probe.
bool Setup() {
    if (g_master >= 0) {
        return true;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        return false;
    }
    const char* slave = ptsname(master);
    const int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    DiagSetSink([](std::string_view) {}); // "T" and the open line are not of interest here
    if (!slave || OpenComDevice(slave, 115200, 'N', 13, false) != LINK_OPEN_OK) {
        return false;
    }
    g_master = master;
    return true;
}

// Discards what the link wrote (the command lines).
void Drain() {
    char buf[512];
    while (::read(g_master, buf, sizeof buf) > 0) {
    }
}

bool SameClocks(const DdsModuleClocksRecord& a, const DdsModuleClocksRecord& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool ClockKept(double hz) {
    return hz == 0.0 || DdsClockUsable(hz);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!Setup()) {
        std::abort();
    }
    // First byte: which command and the clock mode; the rest is the reply, which always ends
    // with the prompt so that the reader ends at once. At most one pseudo-terminal buffer.
    if (size < 1 || size > 2000) {
        return 0;
    }
    const bool init = (data[0] & 0x80) != 0;
    const int mode = static_cast<int>(data[0] & 0x0F) - 2; // -2 to 13: out of range too
    std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
    reply += '>';
    // Nothing of an earlier input may be left on either side of the line.
    Drain();
    FlushInput();
    if (::write(g_master, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) {
        std::abort();
    }

    const DdsModuleClocksRecord clocksBefore = DdsModuleClocks;
    DdsChannelState rowBefore = DdsChannelTable[5];
    if (init) {
        const std::uint32_t r = DdsInit(mode);
        if (r == DDS_E_REPLY) {
            if (!SameClocks(DdsModuleClocks, clocksBefore) ||
                std::memcmp(&rowBefore, &DdsChannelTable[5], sizeof rowBefore) != 0) {
                __builtin_trap(); // a refused reply changed the clocks or the table
            }
        } else if (r == DDS_OK) {
            const DdsChannelState& row = DdsChannelTable[11];
            if (row.on != 1 || row.freqHz != 10e6 || row.phaseDeg != 0.0 || row.amplitude != 0.0) {
                __builtin_trap();
            }
        } else {
            __builtin_trap();
        }
    } else {
        DdsModuleClocksRecord read;
        read.crystalHz = -1.0;
        const std::uint32_t r = DdsReadClocks(&read);
        if (!SameClocks(DdsModuleClocks, clocksBefore)) {
            __builtin_trap(); // the readout never changes the layer's clocks
        }
        if (r == DDS_OK) {
            if (!ClockKept(read.crystalHz) || !ClockKept(read.referenceHz) ||
                !ClockKept(read.ddsClockHz)) {
                __builtin_trap();
            }
        } else if (r != DDS_E_REPLY || read.crystalHz != -1.0) {
            __builtin_trap();
        }
    }
    const DdsModuleClocksRecord& c = DdsModuleClocks;
    if (!ClockKept(c.crystalHz) || !ClockKept(c.referenceHz) || !ClockKept(c.ddsClockHz)) {
        __builtin_trap();
    }
    // Words from the clock in force: the highest frequency accepted stays below 2^31.
    if (DdsClockUsable(c.ddsClockHz)) {
        const double top = std::nextafter(c.ddsClockHz / 2.0, 0.0);
        const std::int32_t word = FreqToWord(top);
        if (word != DDS_WORD_INVALID && word < 0) {
            __builtin_trap();
        }
        if (!std::isfinite(WordToFreq(word))) {
            __builtin_trap();
        }
    }
    return 0;
}
