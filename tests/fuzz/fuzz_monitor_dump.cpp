// The hex dump replies ("MD1" bytes and words, "SA"/"DA") as any bytes: no read past the reply,
// no write past the output, and what is stored is exactly the hexadecimal text it came from.
#include <cstdint>
#include <cstring>
#include <vector>

#include "monitor.h"

namespace {

// The byte the two characters at text[pos] spell; traps if they are no hexadecimal pair.
std::uint8_t PairAt(const std::vector<char>& text, std::size_t pos) {
    if (pos + 1 >= text.size() || MonitorHexValue(text[pos]) < 0 ||
        MonitorHexValue(text[pos + 1]) < 0) {
        __builtin_trap();
    }
    return static_cast<std::uint8_t>(MonitorHexValue(text[pos]) * 16 +
                                     MonitorHexValue(text[pos + 1]));
}

std::size_t DataStart(const std::vector<char>& text, std::size_t length) {
    const void* lf = std::memchr(text.data(), '\n', length);
    return lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - text.data()) + 1 : length;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    // First byte: the dump kind (low 2 bits) and the count n in lines of 16 bytes (the rest).
    const int kind = data[0] & 3;
    const std::size_t n = 16 * static_cast<std::size_t>(data[0] >> 2);
    // The reply as the operations read it: at most 2n+64 bytes, zero-terminated, in a buffer of
    // exactly that size.
    std::size_t length = size - 1;
    if (length > 2 * n + 64) {
        length = 2 * n + 64;
    }
    std::vector<char> text(data + 1, data + 1 + length);
    text.push_back('\0');

    if (kind == 1) {
        std::vector<std::uint32_t> words(n / 4);
        const int got = MonitorParseDumpWords(text.data(), length, words.data(), words.size());
        if (got < 0 || static_cast<std::size_t>(got) > words.size()) {
            __builtin_trap();
        }
        const std::size_t start = DataStart(text, length);
        for (int w = 0; w < got; ++w) {
            if (start + 8 * static_cast<std::size_t>(w) + 4 >= length) {
                __builtin_trap(); // a word starting outside the data
            }
            std::uint32_t word = 0;
            for (std::size_t j = 0; j < 4; ++j) {
                word = (word << 8) | PairAt(text, start + 8 * static_cast<std::size_t>(w) + 2 * j);
            }
            if (word != words[static_cast<std::size_t>(w)]) {
                __builtin_trap();
            }
        }
        return 0;
    }
    std::vector<std::uint8_t> bytes(n);
    const bool sada = kind == 2;
    const int got = sada ? MonitorParseSADA(text.data(), length, bytes.data(), bytes.size())
                         : MonitorParseDumpBytes(text.data(), length, bytes.data(), bytes.size());
    if (got < 0 || static_cast<std::size_t>(got) > bytes.size()) {
        __builtin_trap();
    }
    const std::size_t start = sada ? 9 : DataStart(text, length);
    const std::size_t margin = sada ? 8 : 4;
    for (int i = 0; i < got; ++i) {
        const std::size_t pos = start + 2 * static_cast<std::size_t>(i);
        if (pos + margin >= length || PairAt(text, pos) != bytes[static_cast<std::size_t>(i)]) {
            __builtin_trap(); // stored from outside the data, or not what the text says
        }
    }
    return 0;
}
