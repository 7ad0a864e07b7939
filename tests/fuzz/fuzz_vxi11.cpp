// VXI-11 call arguments as a client sends them (XDR), decoded and freed again, and device_write
// data through a link's stream: the first byte picks the message, the rest is its bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vxi11.h"
#include "vxi11_xdr.h"

namespace {
template <class T> void Decode(bool_t (*f)(XDR*, T*), const std::uint8_t* data, std::size_t size) {
    std::vector<char> copy(data, data + size);
    XDR x;
    xdrmem_create(&x, copy.data(), static_cast<u_int>(copy.size()), XDR_DECODE);
    T value{};
    (void)f(&x, &value);
    xdr_free(Vxi11Proc(f), reinterpret_cast<char*>(&value));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t pick = data[0] % 5;
    ++data;
    --size;
    switch (pick) {
    case 0:
        Decode(&Vxi11XdrCreateLinkParms, data, size);
        break;
    case 1:
        Decode(&Vxi11XdrWriteParms, data, size);
        break;
    case 2:
        Decode(&Vxi11XdrReadParms, data, size);
        break;
    case 3:
        Decode(&Vxi11XdrLockParms, data, size);
        break;
    default: {
        CVxi11Stream stream;
        std::vector<CVxi11Stream::Line> lines;
        const std::string_view bytes(reinterpret_cast<const char*>(data), size);
        const std::size_t half = bytes.size() / 2;
        stream.Write(bytes.substr(0, half), false, &lines);
        stream.Write(bytes.substr(half), true, &lines);
        for (const CVxi11Stream::Line& line : lines) {
            stream.Answer(line.text);
        }
        std::int32_t reason = 0;
        while (stream.HasResponse()) {
            (void)stream.Read(1 + size % 7, size % 3 == 0 ? '\n' : -1, &reason);
        }
        break;
    }
    }
    return 0;
}
