// Listening addresses, address ranges and client byte streams of any bytes: nothing crashes, a
// parsed range's prefix fits its family and no bit after it is set, and no line the reader gives is
// longer than the limit or holds its LF.
#include <cstdint>
#include <string>
#include <string_view>

#include "remote.h"
#include "remote_net.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    RemoteListen listen;
    (void)RemoteParseListen(text, &listen, &error);
    RemoteRange range;
    if (RemoteParseRange(text, &range, &error)) {
        if (range.prefix < 0 || range.prefix > (range.net.v6 ? 128 : 32)) {
            __builtin_trap();
        }
        // No bit after the prefix is set.
        for (int bit = range.prefix; bit < (range.net.v6 ? 128 : 32); ++bit) {
            if ((range.net.bytes[bit / 8] >> (7 - bit % 8)) & 1) {
                __builtin_trap();
            }
        }
        (void)RemoteAllowed(range.net, {range});
    }
    // The same bytes as a client's stream, cut in two where the first byte says.
    CRemoteLineReader reader;
    const std::size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    for (std::string_view part : {text.substr(0, cut), text.substr(cut)}) {
        CRemoteLineReader::Line line;
        while (reader.Next(&part, &line)) {
            if (line.text.size() > REMOTE_LINE_MAX || line.text.find('\n') != std::string::npos) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
