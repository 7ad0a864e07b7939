// The "V" reply as any bytes: the version is read without overrun, and a reply that is refused
// leaves the caller's record as it was.
#include <cstdint>
#include <cstring>
#include <vector>

#include "comlink.h"
#include "exchange.h"
#include "monitor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The reply as ReadReply stores it: cut to its buffer, zero-terminated, in a buffer of
    // exactly that size so that a read past its end is caught.
    const std::size_t length = size < REPLY_TEXT_SIZE ? size : REPLY_TEXT_SIZE - 1;
    std::vector<char> reply(data, data + length);
    reply.push_back('\0');

    ModuleVersion version;
    std::memset(version.name, 'K', sizeof version.name - 1);
    version.major = -7;
    version.minor = -7;
    const int r = MonitorParseVersion(reply.data(), &version);
    if (r == -1) {
        if (version.major != -7 || version.minor != -7 || version.name[0] != 'K' ||
            version.name[sizeof version.name - 1] != '\0') {
            __builtin_trap(); // a refused reply changed the record
        }
        return 0;
    }
    if (r != 0) {
        __builtin_trap();
    }
    const std::size_t nameLength = strnlen(version.name, sizeof version.name);
    if (nameLength > 29 || version.major < 0 || version.major > 9) {
        __builtin_trap(); // the name comes from a field of at most 32 characters
    }
    for (std::size_t i = 0; i < nameLength; ++i) {
        if (version.name[i] >= 'a' && version.name[i] <= 'z') {
            __builtin_trap(); // the name is upper case
        }
    }
    return 0;
}
