// The simulator's command parser: any bytes on the line. The module answers every complete
// line with its echo and ends with the prompt, and the memory commands never reach outside
// their caps.
#include <cstdint>
#include <string_view>
#include <vector>

#include "sim_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CSimEngine engine;
    std::vector<SimOutput> out;
    // Fed in two parts, split at the first byte's value, so that lines cut across reads are
    // exercised as well.
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    engine.Feed(bytes.substr(0, cut), out);
    engine.Feed(bytes.substr(cut), out);
    // Each command line is answered with at most its echo, a dump of the largest transfer as
    // hexadecimal text and a few short lines; the answers of consecutive lines are merged into
    // one item, so the bound is on the whole output.
    std::size_t lines = 1;
    for (char c : bytes) {
        lines += c == '\r' ? 1 : 0;
    }
    const std::size_t bound = lines * (2 * CSimEngine::MAX_TRANSFER + 1024);
    std::size_t total = 0;
    for (const SimOutput& o : out) {
        total += o.kind == SimOutKind::Bytes ? o.bytes.size() : 0;
    }
    if (total > bound) {
        __builtin_trap(); // no answer grows without bound
    }
    return 0;
}
