#include "sim_engine.h"

#include <algorithm>
#include <charconv>

namespace {

constexpr const char* CRLF = "\r\n";
constexpr const char* ANSWER_OK = "OK\r\n";
constexpr const char* ERR_UNKNOWN = "ERR,UNKNOWN COMMAND\r\n";
constexpr const char* ERR_SYNTAX = "ERR,SYNTAX\r\n";
constexpr const char* ERR_CHANNEL = "ERR,BAD CHANNEL\r\n";
constexpr const char* ERR_MODE = "ERR,BAD MODE\r\n";
constexpr const char* ERR_RANGE = "ERR,RANGE\r\n";
constexpr const char* ERR_HEX = "ERR,HEX\r\n";
constexpr const char* ERR_LINE = "ERR,LINE TOO LONG\r\n";
constexpr const char* ERR_FULL = "ERR,MEMORY FULL\r\n";

// Clock modes 1 to 8. Mode 2, the default, runs the DDS at 100 MHz; mode 7 has clocks that are
// not whole MHz, so that readers of the clock line meet decimals.
constexpr SimClocks CLOCK_TABLE[CSimEngine::MODE_MAX] = {
    {10'000'000, 10'000'000, 50'000'000},     // 1
    {10'000'000, 100'000'000, 100'000'000},   // 2
    {10'000'000, 100'000'000, 200'000'000},   // 3
    {10'000'000, 100'000'000, 300'000'000},   // 4
    {10'000'000, 100'000'000, 500'000'000},   // 5
    {25'000'000, 100'000'000, 800'000'000},   // 6
    {19'200'000, 122'880'000, 122'880'000},   // 7
    {10'000'000, 100'000'000, 1'000'000'000}, // 8
};

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

int SimHexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// A hexadecimal number without prefix, any case, any number of leading zeros, at most 32 bits.
bool SimParseHex32(std::string_view text, std::uint32_t& value) {
    if (text.empty())
        return false;
    std::uint64_t v = 0;
    for (char c : text) {
        const int digit = SimHexValue(c);
        if (digit < 0)
            return false;
        v = (v << 4) | static_cast<std::uint64_t>(digit);
        if (v > 0xFFFFFFFFull)
            return false;
    }
    value = static_cast<std::uint32_t>(v);
    return true;
}

// Parses exactly count hexadecimal arguments.
bool SimParseArgs(const std::vector<std::string_view>& args, std::size_t count,
                  std::uint32_t* values) {
    if (args.size() != count)
        return false;
    for (std::size_t i = 0; i < count; ++i)
        if (!SimParseHex32(args[i], values[i]))
            return false;
    return true;
}

void SimAppendHex8(std::string& out, std::uint32_t value) {
    for (int shift = 28; shift >= 0; shift -= 4)
        out.push_back(HEX_DIGITS[(value >> shift) & 0xF]);
}

void SimAppendHexBytes(std::string& out, const std::vector<std::uint8_t>& bytes) {
    out.reserve(out.size() + 2 * bytes.size());
    for (std::uint8_t b : bytes) {
        out.push_back(HEX_DIGITS[b >> 4]);
        out.push_back(HEX_DIGITS[b & 0xF]);
    }
}

std::uint32_t SimWordBE(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

// Hz as MHz with six decimals and a "." whatever the locale: 122880000 gives "122.880000".
std::string SimFormatMHz(std::uint64_t hz) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, hz / 1000000);
    std::string text(buf, r.ptr);
    r = std::to_chars(buf, buf + sizeof buf, hz % 1000000);
    const std::string fraction(buf, r.ptr);
    text += '.';
    text.append(6 - fraction.size(), '0');
    text += fraction;
    return text;
}

bool SimIsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::vector<std::string_view> SimSplitBlanks(std::string_view line) {
    std::vector<std::string_view> tokens;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && SimIsBlank(line[i]))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && !SimIsBlank(line[i]))
            ++i;
        if (i > start)
            tokens.push_back(line.substr(start, i - start));
    }
    return tokens;
}

std::string SimUpper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

} // namespace

CSimEngine::CSimEngine(unsigned seed) : m_random(seed) {}

bool CSimEngine::ClocksOfMode(int mode, SimClocks& clocks) {
    if (mode < MODE_MIN || mode > MODE_MAX)
        return false;
    clocks = CLOCK_TABLE[mode - 1];
    return true;
}

std::uint32_t CSimEngine::TenMHzWord(double ddsClockHz) {
    double t = 10e6 / ddsClockHz;
    t = 8589934592.0 * t;
    t = t + 1.0;
    t = t / 2.0;
    return static_cast<std::uint32_t>(t);
}

std::string CSimEngine::ClockLine(int mode) {
    SimClocks c;
    if (!ClocksOfMode(mode, c))
        return {};
    return "FXTL=" + SimFormatMHz(c.crystalHz) + ",FREF=" + SimFormatMHz(c.referenceHz) +
           ",FDDS=" + SimFormatMHz(c.ddsClockHz);
}

void CSimEngine::SetFault(SimFault fault, int arg) {
    m_fault = fault;
    m_faultBaseCount = m_commandCount;
    m_flooding = false;
    m_hungUp = false;
    if (fault == SimFault::HangupAfter)
        m_hangupAfter = arg < 0 ? 0 : arg;
    if (fault == SimFault::Slow && arg > 0)
        m_slowMs = arg;
}

std::string CSimEngine::FloodBytes(std::size_t count) {
    // Printable text in lines, so that a person watching the line sees what goes on.
    static constexpr char CHARS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789,=.";
    std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof CHARS) - 2);
    std::string bytes(count, ' ');
    for (std::size_t i = 0; i < count; ++i) {
        const int column = static_cast<int>(m_random() % 64);
        bytes[i] = column == 0 ? '\n' : column == 1 ? '\r' : CHARS[pick(m_random)];
    }
    return bytes;
}

std::string CSimEngine::Garbage() {
    std::uniform_int_distribution<int> length(4, 48);
    std::uniform_int_distribution<int> byte(0, 254);
    std::string bytes(static_cast<std::size_t>(length(m_random)), ' ');
    for (char& c : bytes) {
        int b = byte(m_random);
        if (b >= '>')
            ++b; // 0..255 without '>'
        c = static_cast<char>(b);
    }
    return bytes;
}

SimChannel CSimEngine::Channel(int index) const {
    if (index < 0 || index >= CHANNEL_COUNT)
        return {};
    return m_applied[static_cast<std::size_t>(index)];
}

SimChannel CSimEngine::PendingChannel(int index) const {
    if (!HasPending(index))
        return {};
    return m_pending[static_cast<std::size_t>(index)];
}

bool CSimEngine::HasPending(int index) const {
    return index >= 0 && index < CHANNEL_COUNT && m_hasPending[static_cast<std::size_t>(index)];
}

std::vector<std::uint8_t> CSimEngine::ReadMemory(std::uint32_t address, std::size_t count) const {
    std::vector<std::uint8_t> bytes(count);
    m_memory.Read(address, bytes.data(), count);
    return bytes;
}

bool CSimEngine::WriteMemory(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    return m_memory.Write(address, bytes.data(), bytes.size());
}

std::string CSimEngine::Prompt() const {
    return m_fault == SimFault::NoPrompt ? "" : ">";
}

void CSimEngine::EmitBytes(std::string_view bytes, std::vector<SimOutput>& out) {
    if (bytes.empty())
        return;
    if (!out.empty() && out.back().kind == SimOutKind::Bytes)
        out.back().bytes.append(bytes);
    else
        out.push_back({SimOutKind::Bytes, std::string(bytes), 0});
}

void CSimEngine::EmitAnswer(const std::string& answer, std::vector<SimOutput>& out) {
    if (m_fault == SimFault::Slow && m_slowMs > 0)
        out.push_back({SimOutKind::Pause, {}, m_slowMs});
    EmitBytes((m_fault == SimFault::Garbage ? Garbage() : answer) + Prompt(), out);
}

void CSimEngine::Feed(std::string_view bytes, std::vector<SimOutput>& out) {
    for (char c : bytes) {
        // A silent module, a flooding one and a line that has gone dead take in nothing.
        if (m_fault == SimFault::Silent || m_flooding || m_hungUp)
            return;
        if (m_dataMode) {
            FeedData(c, out);
        } else if (c == '\r') {
            EndLine(out);
        } else if (c == '\n') {
            // Line feeds are ignored, so that CR LF line ends work too.
        } else if (m_line.size() < MAX_LINE) {
            m_line.push_back(c);
        } else {
            m_lineOverflow = true; // the rest of the line is dropped, the line gets an error
        }
    }
}

void CSimEngine::EndLine(std::vector<SimOutput>& out) {
    const std::string line = std::move(m_line);
    m_line.clear();
    const bool overflow = m_lineOverflow;
    m_lineOverflow = false;
    const std::string echo = line + CRLF;

    // A lone CR (the console's probe) or a line of blanks: a new prompt, nothing else. Faults
    // other than silence and the missing prompt leave the probe alone, so that a faulty module
    // still passes the open and misbehaves on the commands that follow.
    if (!overflow && line.find_first_not_of(" \t") == std::string::npos) {
        EmitBytes(echo + Prompt(), out);
        return;
    }

    ++m_commandCount;
    EmitBytes(echo, out);
    if (m_fault == SimFault::Flood) {
        out.push_back({SimOutKind::Flood, {}, 0});
        m_flooding = true;
        return;
    }
    if (m_fault == SimFault::HangupAfter &&
        m_commandCount - m_faultBaseCount > static_cast<std::size_t>(m_hangupAfter)) {
        out.push_back({SimOutKind::HangUp, {}, 0});
        m_hungUp = true;
        return;
    }
    const std::string answer = overflow ? std::string(ERR_LINE) : Execute(line);
    if (m_dataMode)
        return; // "MF1": the rest of the reply follows the data block
    EmitAnswer(answer, out);
}

void CSimEngine::FeedData(char c, std::vector<SimOutput>& out) {
    const int value = SimHexValue(c);
    if (value < 0) {
        // The block is abandoned with nothing stored; the character that broke it is dropped.
        m_dataMode = false;
        m_dataBytes.clear();
        m_dataHighNibble = -1;
        EmitAnswer(ERR_HEX, out);
        return;
    }
    if (m_dataHighNibble < 0) {
        m_dataHighNibble = value;
        return;
    }
    m_dataBytes.push_back(static_cast<std::uint8_t>((m_dataHighNibble << 4) | value));
    m_dataHighNibble = -1;
    if (m_dataBytes.size() < MF1_BLOCK)
        return;
    m_dataMode = false;
    const bool stored = m_memory.Write(m_dataAddress, m_dataBytes.data(), m_dataBytes.size());
    m_dataBytes.clear();
    EmitAnswer(stored ? ANSWER_OK : ERR_FULL, out);
}

void CSimEngine::ResetModule() {
    m_applied.fill(SimChannel{});
    m_pending.fill(SimChannel{});
    m_hasPending.fill(false);
    m_mode = DEFAULT_MODE;
}

std::string CSimEngine::DoDds(const std::vector<std::string_view>& args) {
    std::uint32_t v[5];
    if (!SimParseArgs(args, 5, v))
        return ERR_SYNTAX;
    if (v[0] >= static_cast<std::uint32_t>(CHANNEL_COUNT))
        return ERR_CHANNEL;
    const SimChannel channel{v[1], v[2], v[3], v[1] != 0};
    const std::size_t index = v[0];
    if (v[4] != 0) {
        // Single-channel mode: the outputs change at once, and a setting of this channel
        // still waiting for "DDU" is superseded.
        m_applied[index] = channel;
        m_pending[index] = SimChannel{};
        m_hasPending[index] = false;
    } else {
        m_pending[index] = channel;
        m_hasPending[index] = true;
    }
    return ANSWER_OK;
}

std::string CSimEngine::DoDi(const std::vector<std::string_view>& args) {
    if (args.size() != 1)
        return ERR_SYNTAX;
    // The mode is decimal. Any run of digits is a mode number, a long one simply out of range.
    const std::string_view text = args[0];
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return ERR_SYNTAX;
    int mode = 0;
    if (std::from_chars(text.data(), text.data() + text.size(), mode).ec != std::errc{})
        return ERR_MODE;
    SimClocks clocks;
    if (!ClocksOfMode(mode, clocks))
        return ERR_MODE;
    m_mode = mode;
    const std::uint32_t word = TenMHzWord(static_cast<double>(clocks.ddsClockHz));
    m_applied.fill(SimChannel{word, 0, 0, true});
    m_pending.fill(SimChannel{});
    m_hasPending.fill(false);
    return ClockLine(m_mode) + CRLF;
}

std::string CSimEngine::Execute(std::string_view line) {
    const std::vector<std::string_view> tokens = SimSplitBlanks(line);
    const std::string name = SimUpper(tokens.front());
    const std::vector<std::string_view> args(tokens.begin() + 1, tokens.end());
    std::uint32_t v[3] = {0, 0, 0};

    if (name == "DDS")
        return DoDds(args);
    if (name == "DI")
        return DoDi(args);
    if (name == "DDU" || name == "U0" || name == "V" || name == "R" || name == "SA" ||
        name == "DA") {
        if (!args.empty())
            return ERR_SYNTAX;
        if (name == "DDU") {
            for (std::size_t i = 0; i < CHANNEL_COUNT; ++i)
                if (m_hasPending[i])
                    m_applied[i] = m_pending[i];
            m_pending.fill(SimChannel{});
            m_hasPending.fill(false);
            return ANSWER_OK;
        }
        if (name == "U0")
            return ClockLine(m_mode) + CRLF;
        if (name == "V")
            return std::string(VERSION_TEXT) + CRLF;
        if (name == "R") {
            ResetModule();
            return std::string(BANNER_TEXT) + CRLF;
        }
        if (name == "SA")
            return {};
        std::string answer; // DA
        SimAppendHexBytes(answer, ReadMemory(0, 16));
        return answer + CRLF;
    }
    if (name == "MR") {
        if (!SimParseArgs(args, 1, v))
            return ERR_SYNTAX;
        const std::vector<std::uint8_t> bytes = ReadMemory(v[0], 4);
        // The value stands at positions 18 to 25, where readers of this answer take it from.
        std::string answer;
        SimAppendHex8(answer, v[0]);
        answer += " : DATA = ";
        SimAppendHex8(answer, SimWordBE(bytes.data()));
        return answer + CRLF;
    }
    if (name == "MW") {
        if (!SimParseArgs(args, 2, v))
            return ERR_SYNTAX;
        const std::uint8_t bytes[4] = {
            static_cast<std::uint8_t>(v[1] >> 24), static_cast<std::uint8_t>(v[1] >> 16),
            static_cast<std::uint8_t>(v[1] >> 8), static_cast<std::uint8_t>(v[1])};
        return m_memory.Write(v[0], bytes, 4) ? "" : ERR_FULL;
    }
    if (name == "MC") {
        if (!SimParseArgs(args, 2, v))
            return ERR_SYNTAX;
        if (v[1] == 0 || v[1] > MAX_TRANSFER)
            return ERR_RANGE;
        const std::vector<std::uint8_t> bytes = ReadMemory(v[0], v[1]);
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4)
            sum += SimWordBE(bytes.data() + i);
        std::string answer;
        SimAppendHex8(answer, sum);
        return answer + CRLF;
    }
    if (name == "MF2") {
        if (!SimParseArgs(args, 3, v))
            return ERR_SYNTAX;
        if (v[1] > MAX_TRANSFER)
            return ERR_RANGE;
        const std::array<std::uint8_t, 4> pattern = {
            static_cast<std::uint8_t>(v[2] >> 24), static_cast<std::uint8_t>(v[2] >> 16),
            static_cast<std::uint8_t>(v[2] >> 8), static_cast<std::uint8_t>(v[2])};
        return m_memory.Fill(v[0], v[1], pattern) ? ANSWER_OK : ERR_FULL;
    }
    if (name == "MD1") {
        if (!SimParseArgs(args, 2, v))
            return ERR_SYNTAX;
        if (v[1] > MAX_TRANSFER)
            return ERR_RANGE;
        std::string answer;
        SimAppendHexBytes(answer, ReadMemory(v[0], v[1]));
        return answer + CRLF;
    }
    if (name == "MF1") {
        if (!SimParseArgs(args, 1, v))
            return ERR_SYNTAX;
        m_dataMode = true;
        m_dataAddress = v[0];
        m_dataBytes.clear();
        m_dataBytes.reserve(MF1_BLOCK);
        m_dataHighNibble = -1;
        return {};
    }
    if (name == "FE") {
        if (!SimParseArgs(args, 1, v))
            return ERR_SYNTAX;
        return m_memory.Fill(v[0] & ~(SECTOR_SIZE - 1), SECTOR_SIZE, {0xFF, 0xFF, 0xFF, 0xFF})
                   ? ANSWER_OK
                   : ERR_FULL;
    }
    if (name == "FW" || name == "FL") {
        if (!SimParseArgs(args, 3, v))
            return ERR_SYNTAX;
        if (v[2] > MAX_TRANSFER)
            return ERR_RANGE;
        // FW a b c copies c bytes from b to a; FL a b c copies them from a to b.
        const bool copied =
            name == "FW" ? m_memory.Copy(v[0], v[1], v[2]) : m_memory.Copy(v[1], v[0], v[2]);
        return copied ? ANSWER_OK : ERR_FULL;
    }
    return ERR_UNKNOWN;
}
