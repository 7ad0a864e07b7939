// The "MR" reply as any bytes: the value comes from field 1 without overrun, and *ok is set
// only for a value that was actually read.
#include <cstdint>
#include <string>
#include <vector>

#include "exchange.h"
#include "monitor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first line is the command as sent, the rest the reply as ReadReply stores it.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\n');
    const std::string command =
        cut == std::string::npos ? std::string("MR 0010") : input.substr(0, cut);
    std::string text = cut == std::string::npos ? input : input.substr(cut + 1);
    if (text.size() >= REPLY_TEXT_SIZE) {
        text.resize(REPLY_TEXT_SIZE - 1);
    }
    std::vector<char> reply(text.begin(), text.end());
    reply.push_back('\0');

    bool ok = true;
    const std::uint32_t value = MonitorParseMR(command.c_str(), reply.data(), &ok);
    if (!ok && value != 0 && value != 0xFFFFFFFFu) {
        __builtin_trap(); // a failed read gives 0, or all bits for a value too wide
    }
    // Without *ok the same value comes back.
    std::vector<char> again(text.begin(), text.end());
    again.push_back('\0');
    if (MonitorParseMR(command.c_str(), again.data(), nullptr) != value) {
        __builtin_trap();
    }
    return 0;
}
