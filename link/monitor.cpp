#include "monitor.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comlink.h"
#include "diag.h"
#include "exchange.h"
#include "numtext.h"

namespace {

constexpr int FE_WAIT_MS = 1000;       // the module erases a sector before it answers
constexpr int FW_WAIT_MS = 2000;       // ... and programs the flash
constexpr std::size_t DUMP_SLACK = 65; // reply bytes beyond the 2n hex characters of a dump
constexpr std::size_t MR_VALUE_POS = 18;
constexpr std::size_t HEX_VALUE_CHARS = 10; // characters read as one value (MR, MC)
constexpr std::size_t SADA_DATA_POS = 9;
constexpr std::size_t MINOR_CHARS = 15; // characters of the minor version that are read
constexpr std::size_t VERSION_FIELD_MAX = 32;

void SleepMs(int ms) {
    if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

// Reads up to maxChars hexadecimal digits from the start of text, the way strtoul reads them
// without sign or prefix. Returns the number of digits taken; *value gets their value (64 bits
// hold the 10 digits read at most).
std::size_t ReadHex(const char* text, std::size_t maxChars, std::uint64_t* value) {
    std::uint64_t v = 0;
    std::size_t i = 0;
    for (; i < maxChars && text[i] != '\0'; ++i) {
        const int d = MonitorHexValue(text[i]);
        if (d < 0) {
            break;
        }
        v = (v << 4) | static_cast<std::uint64_t>(d);
    }
    *value = v;
    return i;
}

// Two hexadecimal characters as one byte; false when either is not a hexadecimal digit.
bool HexPair(const char* p, std::uint8_t* byte) {
    const int hi = MonitorHexValue(p[0]);
    const int lo = hi < 0 ? -1 : MonitorHexValue(p[1]);
    if (lo < 0) {
        return false;
    }
    *byte = static_cast<std::uint8_t>((hi << 4) | lo);
    return true;
}

// One byte as two upper-case hexadecimal characters, each its own write.
void SendHexByte(std::uint8_t b) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    WriteOneByte(DIGITS[b >> 4]);
    WriteOneByte(DIGITS[b & 0x0F]);
}

// Field index of a reply in full, split by the rules of SplitReply (commas and LF end a field,
// CR and ">" are skipped) but without its 31-character cut, so that a caller can see how long
// the field really was. Empty when the reply has fewer fields.
std::string RawField(const char* reply, int index) {
    std::string field;
    int current = 0;
    for (const char* p = reply; *p != '\0'; ++p) {
        const char c = *p;
        if (c == ',' || c == '\n') {
            if (current == index) {
                return field;
            }
            ++current;
        } else if (c != '\r' && c != '>' && current == index) {
            field.push_back(c);
        }
    }
    return field;
}

// Writes a command line, reads its reply into a buffer of REPLY_TEXT_SIZE and splits it.
// Returns what SplitReply returns (-1 for the echo alone); reply keeps the upper-cased text.
int Exchange(const char* command, char* reply, ReplyField fields[REPLY_FIELD_COUNT]) {
    WriteCommandLine(command);
    ReadReply(reply, REPLY_TEXT_SIZE);
    return SplitReply(command, reply, fields);
}

// Reads hex pairs from text[pos] while pos is below end, storing at most max bytes.
// Stops at the first malformed pair. Returns the number of bytes stored.
int StorePairs(const char* text, std::size_t pos, std::size_t end, std::uint8_t* out,
               std::size_t max) {
    std::size_t stored = 0;
    while (pos < end && stored < max) {
        if (!HexPair(text + pos, &out[stored])) {
            break;
        }
        ++stored;
        pos += 2;
    }
    return static_cast<int>(stored);
}

// Position just after the first LF of text[0..length), or length when there is none.
std::size_t AfterFirstLf(const char* text, std::size_t length) {
    const void* lf = std::memchr(text, '\n', length);
    return lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - text) + 1 : length;
}

// Position below which a dump's data is read: the reply length minus margin, never negative.
std::size_t DataEnd(std::size_t length, std::size_t margin) {
    return length > margin ? length - margin : 0;
}

// The "MF1" transfer of blocks: for each block, the command line, 512 hexadecimal characters
// (byteAt(i) gives data byte i of the transfer, or -1 for a position past the data, sent as
// "00"), ".", and the reply. Returns the byte count of the last reply.
template <class ByteAt> int SendBlocks(std::uint32_t address, std::int64_t length, ByteAt byteAt) {
    const std::int64_t blocks = (length + MONITOR_BLOCK_SIZE - 1) / MONITOR_BLOCK_SIZE;
    int last = 0;
    for (std::int64_t k = 0; k < blocks; ++k) {
        char command[32];
        const auto blockAddress =
            static_cast<std::uint32_t>(address + static_cast<std::uint32_t>(k) * 256u);
        NumFormat(command, sizeof command, "MF1 %X", static_cast<unsigned>(blockAddress));
        WriteCommandLine(command);
        for (std::int64_t i = 0; i < MONITOR_BLOCK_SIZE; ++i) {
            SendHexByte(byteAt(k * MONITOR_BLOCK_SIZE + i));
        }
        DiagWrite(".");
        char reply[REPLY_TEXT_SIZE];
        last = static_cast<int>(ReadReply(reply, sizeof reply));
    }
    return last;
}

// The fixed-block transfer of MonitorMF1Block and MonitorMF1BlockSwap.
void SendOneBlock(std::uint32_t address, const std::uint8_t* data, bool reversed) {
    char command[32];
    NumFormat(command, sizeof command, "MF1 %X", static_cast<unsigned>(address));
    WriteCommandLine(command);
    for (int word = 0; word < MONITOR_BLOCK_SIZE / 4; ++word) {
        const std::uint8_t* w = data + 4 * word;
        for (int j = 0; j < 4; ++j) {
            SendHexByte(w[reversed ? 3 - j : j]);
        }
    }
    DiagWrite(".");
    char reply[REPLY_TEXT_SIZE];
    ReadReply(reply, sizeof reply);
}

// The "MD1" command of a dump of n bytes from address.
std::string Md1Command(std::uint32_t address, std::uint32_t n) {
    return NumFormatString("MD1 %X %X", static_cast<unsigned>(address), static_cast<unsigned>(n));
}

} // namespace

int MonitorV() {
    if (!LinkIsOpen()) {
        return -1;
    }
    char reply[REPLY_TEXT_SIZE];
    WriteCommandLine("V");
    ReadReply(reply, sizeof reply);
    return MonitorParseVersion(reply, &ComLink.version);
}

int MonitorParseVersion(char* reply, ModuleVersion* version) {
    ReplyField fields[REPLY_FIELD_COUNT] = {};
    if (!version || SplitReply("V", reply, fields) != 2) {
        return -1;
    }
    // The table holds 31 characters of a field; the length test needs the field as it came.
    const std::string field = RawField(reply, 1);
    if (field.size() > VERSION_FIELD_MAX || field.empty()) {
        return -1;
    }
    const std::size_t dot = field.find('.');
    const std::size_t d = dot == std::string::npos ? field.size() : dot;
    if (d == 0) {
        return -1; // no character in front of the "." to be the major version
    }
    ModuleVersion v;
    const std::size_t nameLength = d > 3 ? d - 3 : 0;
    field.copy(v.name, nameLength); // at most 29 characters: the name buffer holds 63
    const char majorChar = field[d - 1];
    v.major = majorChar >= '0' && majorChar <= '9' ? majorChar - '0' : 0;
    if (d < field.size()) {
        v.minor = NumTextToInt(std::string_view(field).substr(d + 1, MINOR_CHARS));
    }
    *version = v;
    return 0;
}

std::uint32_t MonitorMR(std::uint32_t address, bool* ok) {
    if (ok) {
        *ok = false;
    }
    if (!LinkIsOpen()) {
        return 0;
    }
    char command[32];
    NumFormat(command, sizeof command, "MR %.4X", static_cast<unsigned>(address));
    char reply[REPLY_TEXT_SIZE];
    WriteCommandLine(command);
    ReadReply(reply, sizeof reply);
    return MonitorParseMR(command, reply, ok);
}

std::uint32_t MonitorParseMR(const char* command, char* reply, bool* ok) {
    if (ok) {
        *ok = false;
    }
    ReplyField fields[REPLY_FIELD_COUNT] = {};
    // SendCommand's count: the echo alone (-1) is one field.
    if (SplitReply(command, reply, fields) < 2) {
        return 0;
    }
    const char* field = fields[1];
    if (std::strlen(field) <= MR_VALUE_POS) {
        return 0;
    }
    std::uint64_t value = 0;
    if (ReadHex(field + MR_VALUE_POS, HEX_VALUE_CHARS, &value) == 0) {
        return 0;
    }
    if (value > 0xFFFFFFFFu) {
        return 0xFFFFFFFFu;
    }
    if (ok) {
        *ok = true;
    }
    return static_cast<std::uint32_t>(value);
}

int MonitorMW(std::uint32_t address, std::uint32_t value) {
    if (!LinkIsOpen()) {
        return 0;
    }
    char command[32];
    NumFormat(command, sizeof command, "MW %X %X", static_cast<unsigned>(address),
              static_cast<unsigned>(value));
    char reply[REPLY_TEXT_SIZE];
    ReplyField fields[REPLY_FIELD_COUNT];
    return Exchange(command, reply, fields) == -1 ? 1 : 0;
}

int MonitorMC(std::uint32_t a, std::uint32_t b, std::uint32_t expected, int pauseMs) {
    if (!LinkIsOpen()) {
        return -1;
    }
    char command[32];
    NumFormat(command, sizeof command, "MC %X %X", static_cast<unsigned>(a),
              static_cast<unsigned>(b));
    WriteCommandLine(command);
    SleepMs(pauseMs);
    char reply[REPLY_TEXT_SIZE];
    ReadReply(reply, sizeof reply);
    const int result = MonitorParseMC(command, reply, expected);
    if (result == 1) {
        DiagWrite("X");
    }
    return result;
}

int MonitorParseMC(const char* command, char* reply, std::uint32_t expected) {
    ReplyField fields[REPLY_FIELD_COUNT] = {};
    const int count = SplitReply(command, reply, fields);
    if (count == -1) {
        return 1;
    }
    // Fields are upper case after splitting, so "Err", "ERR" and "err" all read "ERR".
    if (count < 2 || std::strncmp(fields[1], "ERR", 3) == 0) {
        return -1;
    }
    std::uint64_t value = 0;
    if (ReadHex(fields[1], HEX_VALUE_CHARS, &value) == 0) {
        return -1; // no number: not an answer that can match anything
    }
    return value == expected ? 0 : 2;
}

int MonitorMF2(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    if (!LinkIsOpen()) {
        return 0;
    }
    char command[48];
    NumFormat(command, sizeof command, "MF2 %X %X %X", static_cast<unsigned>(a),
              static_cast<unsigned>(b), static_cast<unsigned>(c));
    char reply[REPLY_TEXT_SIZE];
    ReplyField fields[REPLY_FIELD_COUNT];
    if (Exchange(command, reply, fields) == -1) {
        DiagWrite("X");
        return 1;
    }
    DiagWrite(c == 0 ? "0" : c == 0xFFFFFFFFu ? "1" : "P");
    return 0;
}

int MonitorMD1Bytes(std::uint32_t address, std::uint32_t count, std::uint8_t* out) {
    const std::uint32_t n = count & ~0x0Fu;
    if (!LinkIsOpen() || !out || n == 0 || n > MONITOR_DUMP_MAX) {
        return 0;
    }
    std::vector<char> buffer(2 * std::size_t{n} + DUMP_SLACK);
    const std::string command = Md1Command(address, n);
    WriteCommandLine(command.c_str());
    const std::size_t length = ReadReply(buffer.data(), buffer.size());
    return MonitorParseDumpBytes(buffer.data(), length, out, n);
}

int MonitorParseDumpBytes(const char* text, std::size_t length, std::uint8_t* out,
                          std::size_t capacity) {
    if (!text || !out) {
        return 0;
    }
    return StorePairs(text, AfterFirstLf(text, length), DataEnd(length, 4), out, capacity);
}

int MonitorMD1Words(std::uint32_t address, std::uint32_t count, std::uint32_t* out) {
    const std::uint32_t n = count & ~0x0Fu;
    if (!LinkIsOpen() || !out || n == 0 || n > MONITOR_DUMP_MAX) {
        return 0;
    }
    std::vector<char> buffer(2 * std::size_t{n} + DUMP_SLACK);
    const std::string command = Md1Command(address, n);
    const std::uint64_t expected = 2 * std::uint64_t{count} + 19;
    WriteCommandLine(command.c_str());
    std::size_t length = ReadReply(buffer.data(), buffer.size());
    if (length != expected) {
        WriteCommandLine(command.c_str());
        length = ReadReply(buffer.data(), buffer.size());
        if (length != expected) {
            DiagWrite(".");
        }
    }
    return MonitorParseDumpWords(buffer.data(), length, out, n / 4);
}

int MonitorParseDumpWords(const char* text, std::size_t length, std::uint32_t* out,
                          std::size_t capacity) {
    if (!text || !out) {
        return 0;
    }
    std::size_t pos = AfterFirstLf(text, length);
    const std::size_t end = DataEnd(length, 4);
    std::size_t stored = 0;
    while (pos < end && stored < capacity) {
        std::uint32_t word = 0;
        bool good = true;
        for (std::size_t j = 0; j < 4 && good; ++j) {
            // pos + 8 stays within the zero-terminated text: a zero byte is no digit and stops
            // the pair before anything beyond it is read.
            std::uint8_t b = 0;
            good = HexPair(text + pos + 2 * j, &b);
            word = (word << 8) | b;
        }
        if (!good) {
            break;
        }
        out[stored++] = word;
        pos += 8;
    }
    return static_cast<int>(stored);
}

int MonitorSADA(std::uint32_t /*ignored*/, std::uint32_t count, std::uint8_t* out) {
    const std::uint32_t n = count & ~0x0Fu;
    if (!LinkIsOpen() || !out || n == 0 || n > MONITOR_DUMP_MAX) {
        return 0;
    }
    std::vector<char> buffer(2 * std::size_t{n} + DUMP_SLACK);
    WriteCommandLine("SA");
    WriteCommandLine("DA");
    // A reader ends at a batch that ends with ">": when the module answers "SA" before "DA" has
    // arrived, the first read holds only that reply. Read on until the second prompt is in, so
    // the dump is not left queued to spoil the next command.
    std::size_t length = 0;
    int prompts = 0;
    while (prompts < 2 && length + 1 < buffer.size()) {
        const std::size_t got = ReadReply(buffer.data() + length, buffer.size() - length);
        for (std::size_t i = length; i < length + got; ++i) {
            prompts += buffer[i] == '>' ? 1 : 0;
        }
        length += got;
        if (got == 0) {
            break;
        }
    }
    return MonitorParseSADA(buffer.data(), length, out, n);
}

int MonitorParseSADA(const char* text, std::size_t length, std::uint8_t* out,
                     std::size_t capacity) {
    if (!text || !out || length <= SADA_DATA_POS) {
        return 0;
    }
    return StorePairs(text, SADA_DATA_POS, DataEnd(length, 8), out, capacity);
}

int MonitorMF1Bytes(std::uint32_t address, const std::uint8_t* data, std::int32_t length) {
    if (!LinkIsOpen() || !data || length <= 0) {
        return 0;
    }
    return SendBlocks(address, length,
                      [&](std::int64_t i) -> std::uint8_t { return i < length ? data[i] : 0; });
}

int MonitorMF1Words(std::uint32_t address, const std::uint8_t* data, std::int32_t length,
                    int reversal) {
    if (!LinkIsOpen() || !data || length <= 0) {
        return 0;
    }
    const bool reversed = reversal == 1;
    return SendBlocks(address, length, [&](std::int64_t i) -> std::uint8_t {
        // Position i of the wire is byte 3 - (i % 4) of its group when reversed.
        const std::int64_t source = reversed ? (i & ~std::int64_t{3}) + 3 - (i & 3) : i;
        return source < length ? data[source] : 0;
    });
}

int MonitorMF1Block(std::uint32_t address, const std::uint8_t* data) {
    if (LinkIsOpen() && data) {
        SendOneBlock(address, data, false);
    }
    return 0;
}

int MonitorMF1BlockSwap(std::uint32_t address, const std::uint8_t* data, int reversal) {
    if (LinkIsOpen() && data) {
        SendOneBlock(address, data, reversal != 0);
    }
    return 0;
}

int MonitorFE(std::uint32_t a) {
    if (!LinkIsOpen()) {
        return 0;
    }
    char command[32];
    NumFormat(command, sizeof command, "FE %X", static_cast<unsigned>(a));
    WriteCommandLine(command);
    SleepMs(FE_WAIT_MS);
    char reply[REPLY_TEXT_SIZE];
    ReadReply(reply, sizeof reply);
    return 0;
}

int MonitorFL(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    if (!LinkIsOpen()) {
        return 1;
    }
    char command[48];
    NumFormat(command, sizeof command, "FL %X %X %X", static_cast<unsigned>(a),
              static_cast<unsigned>(b), static_cast<unsigned>(c));
    WriteCommandLine(command);
    char reply[REPLY_TEXT_SIZE];
    return ReadReplyPoll(reply, sizeof reply) == 0 ? 1 : 0;
}

int MonitorFW(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    const std::uint32_t whole = c & ~0xFFu;
    if (whole < 256 || !LinkIsOpen()) {
        return 1;
    }
    char command[48];
    NumFormat(command, sizeof command, "FW %X %X %X", static_cast<unsigned>(a),
              static_cast<unsigned>(b), static_cast<unsigned>(whole));
    WriteCommandLine(command);
    SleepMs(FW_WAIT_MS);
    DiagWrite(".");
    char reply[REPLY_TEXT_SIZE];
    return ReadReply(reply, sizeof reply) == 0 ? 1 : 0;
}

int MonitorR() {
    if (!LinkIsOpen()) {
        return 0;
    }
    WriteCommandLine("R");
    WriteOneByte(ComLink.terminator);
    WriteOneByte(ComLink.terminator);
    return 0;
}

int IsHexDigit(int c) {
    return MonitorHexValue(c) >= 0 ? 1 : 0;
}

int MonitorHexValue(int c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::uint32_t SumWordsBE(std::uint32_t sum, const std::uint8_t* bytes, std::size_t count) {
    if (!bytes) {
        return sum;
    }
    for (std::size_t i = 0; i + 4 <= count; i += 4) {
        sum += (std::uint32_t{bytes[i]} << 24) | (std::uint32_t{bytes[i + 1]} << 16) |
               (std::uint32_t{bytes[i + 2]} << 8) | std::uint32_t{bytes[i + 3]};
    }
    return sum;
}

std::size_t MirrorBits(const std::uint8_t* in, std::uint8_t* out, std::size_t count) {
    if (!in || !out) {
        return 0;
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t b = in[i];
        std::uint8_t r = 0;
        for (int bit = 0; bit < 8; ++bit) {
            r = static_cast<std::uint8_t>((r << 1) | (b & 1));
            b = static_cast<std::uint8_t>(b >> 1);
        }
        out[i] = r;
    }
    return count;
}

int LegacyStub() {
    DiagWrite("Legacy Function\n");
    return 0;
}
