// The "MC" reply as any bytes: one of the four results, without overrun.
#include <cstdint>
#include <string>
#include <vector>

#include "exchange.h"
#include "monitor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Four bytes of expected sum (little-endian), then the command line, then the reply.
    if (size < 4) {
        return 0;
    }
    const std::uint32_t expected = std::uint32_t{data[0]} | (std::uint32_t{data[1]} << 8) |
                                   (std::uint32_t{data[2]} << 16) | (std::uint32_t{data[3]} << 24);
    const std::string input(reinterpret_cast<const char*>(data + 4), size - 4);
    const std::size_t cut = input.find('\n');
    const std::string command =
        cut == std::string::npos ? std::string("MC 10 8") : input.substr(0, cut);
    std::string text = cut == std::string::npos ? input : input.substr(cut + 1);
    if (text.size() >= REPLY_TEXT_SIZE) {
        text.resize(REPLY_TEXT_SIZE - 1);
    }
    std::vector<char> reply(text.begin(), text.end());
    reply.push_back('\0');

    const int r = MonitorParseMC(command.c_str(), reply.data(), expected);
    if (r != -1 && r != 0 && r != 1 && r != 2) {
        __builtin_trap();
    }
    // A match with one expected value is a mismatch with any other.
    if (r == 0) {
        std::vector<char> again(text.begin(), text.end());
        again.push_back('\0');
        if (MonitorParseMC(command.c_str(), again.data(), expected + 1) != 2) {
            __builtin_trap();
        }
    }
    return 0;
}
