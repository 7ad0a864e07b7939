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
    for (const SimOutput& o : out) {
        if (o.kind == SimOutKind::Bytes && o.bytes.size() > (64u << 20)) {
            __builtin_trap(); // no answer grows without bound
        }
    }
    return 0;
}
