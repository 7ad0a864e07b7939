// Any reply text: the split never overruns the field table and every field is terminated.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "exchange.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first line is the command as sent, the rest the reply (as ReadReply would store it,
    // cut to its buffer and zero-terminated).
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\n');
    const std::string command = cut == std::string::npos ? std::string() : input.substr(0, cut);
    std::string reply = cut == std::string::npos ? input : input.substr(cut + 1);
    if (reply.size() >= REPLY_TEXT_SIZE) {
        reply.resize(REPLY_TEXT_SIZE - 1);
    }
    std::vector<char> text(reply.begin(), reply.end());
    text.push_back('\0');
    ReplyField fields[REPLY_FIELD_COUNT];
    std::memset(fields, 0x7F, sizeof fields);
    const int n = SplitReply(command.c_str(), text.data(), fields);
    if (n < -1 || n > REPLY_FIELD_COUNT) {
        __builtin_trap();
    }
    for (int i = 0; i < n; ++i) {
        if (std::memchr(fields[i], '\0', REPLY_FIELD_SIZE) == nullptr) {
            __builtin_trap();
        }
        for (const char* p = fields[i]; *p; ++p) {
            if ((*p >= 'a' && *p <= 'z') || *p == ',' || *p == '\n' || *p == '\r' || *p == '>') {
                __builtin_trap(); // fields are upper case and carry no separators
            }
        }
    }
    return 0;
}
