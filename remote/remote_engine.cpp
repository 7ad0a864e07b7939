// The SCPI engine: line splitting, header resolution, parameters, execution over CRemoteModule.
#include "remote.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>
#include <optional>
#include <vector>

#include "morvane_version.h"
#include "numtext.h"

namespace {

enum class Op {
    Idn,
    Rst,
    Cls,
    Opc,
    Ese,
    Esr,
    Sre,
    Stb,
    Tst,
    Wai,
    Version,
    OperCond,
    OperEvent,
    OperEnable,
    QuesCond,
    QuesEvent,
    QuesEnable,
    StatPreset,
    Sav,
    Rcl,
    Error,
    Freq,
    Ampl,
    Phas,
    Appl,
    Outp,
    Mode,
    Update,
    Clock,
    Init
};

// One node of a header pattern: the long form, the length of its short form (its leading upper
// case letters), whether it takes a numeric suffix and whether it may be left out.
struct Node {
    std::string_view name;
    std::size_t shortLength;
    bool suffix;
    bool optional;
};

struct Pattern {
    Op op;
    bool set;   // the command form exists
    bool query; // the query form exists
    std::vector<Node> nodes;
};

// Builds a pattern from "SOURce#:FREQuency" notation: ":" between nodes, "#" for a numeric
// suffix, a node in brackets is optional ("OUTPut#:[STATe]").
Pattern MakePattern(Op op, bool set, bool query, std::string_view text) {
    Pattern p{op, set, query, {}};
    while (!text.empty()) {
        const std::size_t colon = text.find(':');
        std::string_view part = text.substr(0, colon);
        text = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
        Node n{};
        if (!part.empty() && part.front() == '[') {
            n.optional = true;
            part = part.substr(1, part.size() - 2);
        }
        if (!part.empty() && part.back() == '#') {
            n.suffix = true;
            part.remove_suffix(1);
        }
        n.name = part;
        while (n.shortLength < part.size() && part[n.shortLength] >= 'A' &&
               part[n.shortLength] <= 'Z') {
            ++n.shortLength;
        }
        p.nodes.push_back(n);
    }
    return p;
}

const std::vector<Pattern>& Patterns() {
    static const std::vector<Pattern> patterns = {
        MakePattern(Op::Error, false, true, "SYSTem:ERRor:[NEXT]"),
        MakePattern(Op::Freq, true, true, "SOURce#:FREQuency"),
        MakePattern(Op::Ampl, true, true, "SOURce#:AMPLitude"),
        MakePattern(Op::Phas, true, true, "SOURce#:PHASe"),
        MakePattern(Op::Appl, true, true, "SOURce#:APPLy"),
        MakePattern(Op::Outp, true, true, "OUTPut#:[STATe]"),
        MakePattern(Op::Mode, true, true, "SYSTem:MODE"),
        MakePattern(Op::Update, true, false, "SYSTem:UPDate"),
        MakePattern(Op::Clock, false, true, "SYSTem:CLOCk"),
        MakePattern(Op::Init, true, false, "SYSTem:INITialize"),
        MakePattern(Op::Version, false, true, "SYSTem:VERSion"),
        MakePattern(Op::OperCond, false, true, "STATus:OPERation:CONDition"),
        MakePattern(Op::OperEnable, true, true, "STATus:OPERation:ENABle"),
        MakePattern(Op::OperEvent, false, true, "STATus:OPERation:[EVENt]"),
        MakePattern(Op::QuesCond, false, true, "STATus:QUEStionable:CONDition"),
        MakePattern(Op::QuesEnable, true, true, "STATus:QUEStionable:ENABle"),
        MakePattern(Op::QuesEvent, false, true, "STATus:QUEStionable:[EVENt]"),
        MakePattern(Op::StatPreset, true, false, "STATus:PRESet"),
    };
    return patterns;
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameText(std::string_view a, std::string_view b) {
    return NumTextSameNoCase(a, b);
}

// True when word is the short or the long form of a keyword written as "SINGle".
bool IsKeyword(std::string_view word, std::string_view keyword) {
    std::size_t shortLength = 0;
    while (shortLength < keyword.size() && keyword[shortLength] >= 'A' &&
           keyword[shortLength] <= 'Z') {
        ++shortLength;
    }
    return SameText(word, keyword) || SameText(word, keyword.substr(0, shortLength));
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// A text of the client's, fit to stand inside an error text: printable ASCII without quotes,
// at most 40 characters.
std::string Quote(std::string_view text) {
    std::string out = "'";
    for (std::size_t i = 0; i < text.size() && i < 40; ++i) {
        const char c = text[i];
        out += c >= 0x20 && c < 0x7F && c != '"' && c != '\'' ? c : '?';
    }
    if (text.size() > 40) {
        out += "...";
    }
    return out + "'";
}

// One input node: letters, then an optional decimal suffix.
struct InputNode {
    std::string_view name;
    std::string_view digits;
};

// Numeric suffix of a node: 1 when absent, -1 when it does not fit an int.
long SuffixValue(std::string_view digits) {
    if (digits.empty()) {
        return 1;
    }
    long value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
        if (value > 1000000) {
            return -1;
        }
    }
    return value;
}

struct Match {
    const Pattern* pattern = nullptr;
    long suffix = 1;
};

// Matches the input nodes against one pattern (optional pattern nodes may be left out).
bool MatchPattern(const Pattern& p, const std::vector<InputNode>& in, std::size_t pi,
                  std::size_t ii, long& suffix) {
    if (pi == p.nodes.size()) {
        return ii == in.size();
    }
    const Node& n = p.nodes[pi];
    if (ii < in.size()) {
        const InputNode& node = in[ii];
        const bool nameOk =
            SameText(node.name, n.name) || SameText(node.name, n.name.substr(0, n.shortLength));
        if (nameOk && (n.suffix || node.digits.empty())) {
            long s = suffix;
            if (n.suffix) {
                s = SuffixValue(node.digits);
            }
            if (MatchPattern(p, in, pi + 1, ii + 1, s)) {
                suffix = s;
                return true;
            }
        }
    }
    return n.optional && MatchPattern(p, in, pi + 1, ii, suffix);
}

std::optional<Match> Resolve(const std::vector<InputNode>& nodes) {
    for (const Pattern& p : Patterns()) {
        long suffix = 1;
        if (MatchPattern(p, nodes, 0, 0, suffix)) {
            return Match{&p, suffix};
        }
    }
    return std::nullopt;
}

// Splits a header (without a leading ":" and the "?") into nodes; false when it is malformed.
bool SplitHeader(std::string_view header, std::vector<InputNode>& nodes) {
    nodes.clear();
    for (;;) {
        const std::size_t colon = header.find(':');
        const std::string_view part = header.substr(0, colon);
        std::size_t letters = 0;
        while (letters < part.size() && Upper(part[letters]) >= 'A' &&
               Upper(part[letters]) <= 'Z') {
            ++letters;
        }
        std::size_t digits = letters;
        while (digits < part.size() && part[digits] >= '0' && part[digits] <= '9') {
            ++digits;
        }
        if (letters == 0 || digits != part.size()) {
            return false;
        }
        nodes.push_back({part.substr(0, letters), part.substr(letters)});
        if (colon == std::string_view::npos) {
            return true;
        }
        header = header.substr(colon + 1);
    }
}

// Reads a number with an optional unit of units; false when the text is anything else or the
// number is not finite.
bool ReadNumber(std::string_view text, const NumUnit* units, std::size_t count, double& value) {
    const NumUnitValue v = NumTextWithUnit(text, units, count);
    if (!v.number || !v.exact || !std::isfinite(v.value)) {
        return false;
    }
    value = v.value;
    return true;
}

// The common commands: their names, and whether the command and the query form exist.
struct CommonCommand {
    std::string_view name;
    Op op;
    bool set;
    bool query;
};
constexpr CommonCommand COMMON_COMMANDS[] = {
    {"CLS", Op::Cls, true, false}, {"ESE", Op::Ese, true, true},  {"ESR", Op::Esr, false, true},
    {"IDN", Op::Idn, false, true}, {"OPC", Op::Opc, true, true},  {"RST", Op::Rst, true, false},
    {"SRE", Op::Sre, true, true},  {"STB", Op::Stb, false, true}, {"TST", Op::Tst, false, true},
    {"WAI", Op::Wai, true, false}, {"SAV", Op::Sav, true, false}, {"RCL", Op::Rcl, true, false},
};

// Parameters of a command form: queries take none.
std::size_t ParamCount(Op op, bool query) {
    if (query) {
        return 0;
    }
    switch (op) {
    case Op::Appl:
        return 3;
    case Op::Rst:
    case Op::Cls:
    case Op::Opc:
    case Op::Wai:
    case Op::Update:
    case Op::StatPreset:
        return 0;
    default:
        return 1;
    }
}

// A non-decimal number of IEEE 488.2: "#H1F", "#Q17", "#B11111"; false for anything else and for
// a value above 2^32 - 1 (*value is then UINT64_MAX, so that the caller reports a range).
bool ReadNonDecimal(std::string_view text, std::uint64_t& value) {
    if (text.size() < 3 || text[0] != '#') {
        return false;
    }
    const char radixLetter = Upper(text[1]);
    const unsigned radix = radixLetter == 'H'   ? 16
                           : radixLetter == 'Q' ? 8
                           : radixLetter == 'B' ? 2
                                                : 0;
    if (radix == 0) {
        return false;
    }
    value = 0;
    for (char c : text.substr(2)) {
        const char u = Upper(c);
        const unsigned digit = u >= '0' && u <= '9'   ? static_cast<unsigned>(u - '0')
                               : u >= 'A' && u <= 'F' ? static_cast<unsigned>(u - 'A' + 10)
                                                      : 16;
        if (digit >= radix) {
            return false;
        }
        if (value <= 0xFFFFFFFFu) {
            value = value * radix + digit;
        }
    }
    if (value > 0xFFFFFFFFu) {
        value = UINT64_MAX;
    }
    return true;
}

constexpr NumUnit UNITS_PERCENT[] = {{"PCT", 1.0}};
constexpr NumUnit UNITS_DEGREE[] = {{"DEG", 1.0}};

} // namespace

struct CRemoteEngine::Command {
    Op op = Op::Wai;
    bool query = false;
    int channel = 0; // index 0 to 11
    std::string_view header;
    std::vector<std::string_view> params;
};

const char* RemoteErrorText(int code) {
    switch (code) {
    case 0:
        return "No error";
    case REMOTE_E_COMMAND:
        return "Command error";
    case REMOTE_E_UNDEFINED:
        return "Undefined header";
    case REMOTE_E_CONFLICT:
        return "Settings conflict";
    case REMOTE_E_RANGE:
        return "Data out of range";
    case REMOTE_E_TOO_MUCH:
        return "Too much data";
    case REMOTE_E_ILLEGAL:
        return "Illegal parameter value";
    case REMOTE_E_STALE:
        return "Data corrupt or stale";
    case REMOTE_E_HARDWARE:
        return "Hardware error";
    case REMOTE_E_SELF_TEST:
        return "Self-test failed";
    case REMOTE_E_STORAGE:
        return "Mass storage error";
    case REMOTE_E_NOT_FOUND:
        return "File name not found";
    case REMOTE_E_QUEUE_OVERFLOW:
        return "Queue overflow";
    default:
        return "Error";
    }
}

unsigned RemoteErrorEsrBit(int code) {
    if (code <= -100 && code > -200) {
        return REMOTE_ESR_CME;
    }
    if (code <= -200 && code > -300) {
        return REMOTE_ESR_EXE;
    }
    if (code <= -300 && code > -400) {
        return REMOTE_ESR_DDE;
    }
    if (code <= -400 && code > -500) {
        return REMOTE_ESR_QYE;
    }
    return 0;
}

void CRemoteSession::PushError(int code, std::string_view detail) {
    m_esr |= RemoteErrorEsrBit(code);
    if (m_errors.size() >= REMOTE_ERROR_QUEUE) {
        m_esr |= RemoteErrorEsrBit(REMOTE_E_QUEUE_OVERFLOW);
        m_errors.back() = {REMOTE_E_QUEUE_OVERFLOW, RemoteErrorText(REMOTE_E_QUEUE_OVERFLOW)};
        return;
    }
    std::string text = RemoteErrorText(code);
    if (!detail.empty()) {
        text += "; ";
        text += detail;
    }
    m_errors.push_back({code, std::move(text)});
}

void CRemoteSession::Clear() {
    m_errors.clear();
    m_esr = 0;
    m_oper.event = 0;
    m_ques.event = 0;
}

std::string CRemoteSession::PopError() {
    if (m_errors.empty()) {
        return "0,\"No error\"";
    }
    const RemoteError e = std::move(m_errors.front());
    m_errors.pop_front();
    return std::to_string(e.code) + ",\"" + e.text + "\"";
}

CRemoteEngine::CRemoteEngine(CRemoteModule& module, int clockMode)
    : m_module(module), m_clockMode(clockMode >= 1 && clockMode <= 8 ? clockMode : 2) {
    FollowTable();
}

void CRemoteEngine::FollowTable() {
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        FollowChannel(i);
    }
}

void CRemoteEngine::FollowChannel(int channel) {
    if (channel < 0 || channel >= DDS_CHANNELS) {
        return;
    }
    const DdsChannelState row = m_module.Channel(channel);
    m_channels[channel] = {row.freqHz, row.phaseDeg, row.amplitude, row.on != 0};
}

bool CRemoteEngine::ExecuteLine(std::string_view line, CRemoteSession& session,
                                std::string* response) {
    std::vector<std::string> answers;
    std::vector<InputNode> path; // the header path of the compound rule
    std::vector<InputNode> nodes, joined;
    const std::uint64_t lineStart = m_exchanges;
    bool more = true;
    while (more) {
        const std::size_t semi = line.find(';');
        const std::string_view unit = Trim(line.substr(0, semi));
        more = semi != std::string_view::npos;
        line = more ? line.substr(semi + 1) : std::string_view();
        if (unit.empty()) {
            continue;
        }
        if (m_lineExchangesMax > 0 && m_exchanges - lineStart >= m_lineExchangesMax) {
            session.PushError(REMOTE_E_TOO_MUCH, "the line has sent the module " +
                                                     std::to_string(m_lineExchangesMax) +
                                                     " commands, the most one line may; the "
                                                     "rest of it is not run");
            break;
        }
        std::size_t headerEnd = 0;
        while (headerEnd < unit.size() && !IsBlank(unit[headerEnd])) {
            ++headerEnd;
        }
        Command c;
        c.header = unit.substr(0, headerEnd);
        std::string_view header = c.header;
        const std::string_view rest = Trim(unit.substr(headerEnd));
        if (!header.empty() && header.back() == '?') {
            c.query = true;
            header.remove_suffix(1);
        }
        bool emptyParameter = false;
        if (!rest.empty()) {
            std::string_view params = rest;
            for (;;) {
                const std::size_t comma = params.find(',');
                const std::string_view p = Trim(params.substr(0, comma));
                if (p.empty()) {
                    emptyParameter = true;
                    break;
                }
                c.params.push_back(p);
                if (comma == std::string_view::npos) {
                    break;
                }
                params = params.substr(comma + 1);
            }
        }
        if (emptyParameter) {
            // Ends the line as any failing command does: the answers before it stay.
            session.PushError(REMOTE_E_COMMAND, "empty parameter in " + Quote(unit));
            break;
        }
        if (!header.empty() && header.front() == '*') {
            const std::string_view name = header.substr(1);
            bool found = false;
            for (const CommonCommand& common : COMMON_COMMANDS) {
                if (SameText(name, common.name) && (c.query ? common.query : common.set)) {
                    c.op = common.op;
                    found = true;
                    break;
                }
            }
            if (!found) {
                session.PushError(REMOTE_E_UNDEFINED, Quote(c.header));
                break;
            }
        } else {
            const bool absolute = !header.empty() && header.front() == ':';
            if (absolute) {
                header.remove_prefix(1);
            }
            if (!SplitHeader(header, nodes)) {
                session.PushError(REMOTE_E_COMMAND, "malformed header " + Quote(c.header));
                break;
            }
            std::optional<Match> m;
            if (!absolute && !path.empty()) {
                joined = path;
                joined.insert(joined.end(), nodes.begin(), nodes.end());
                m = Resolve(joined);
                if (m) {
                    nodes = joined;
                }
            }
            if (!m) {
                m = Resolve(nodes);
            }
            if (!m || (c.query ? !m->pattern->query : !m->pattern->set)) {
                session.PushError(REMOTE_E_UNDEFINED, Quote(c.header));
                break;
            }
            if (m->suffix < 1 || m->suffix > DDS_CHANNELS) {
                session.PushError(REMOTE_E_UNDEFINED,
                                  "channel in " + Quote(c.header) + " is outside 1 to 12");
                break;
            }
            c.op = m->pattern->op;
            c.channel = static_cast<int>(m->suffix) - 1;
            path.assign(nodes.begin(), nodes.end() - 1);
        }
        // Status queries answer with what the commands before them left.
        Observe();
        Latch(session);
        std::string answer;
        if (!Execute(c, session, &answer)) {
            break;
        }
        if (c.query) {
            answers.push_back(std::move(answer));
        }
    }
    Observe();
    Latch(session);
    if (answers.empty()) {
        return false;
    }
    if (response) {
        response->clear();
        for (std::size_t i = 0; i < answers.size(); ++i) {
            if (i > 0) {
                *response += ';';
            }
            *response += answers[i];
        }
    }
    return true;
}

std::uint8_t CRemoteEngine::StatusByte(CRemoteSession& session) {
    Latch(session);
    unsigned stb = 0;
    if (!session.m_errors.empty()) {
        stb |= REMOTE_STB_EAV;
    }
    if ((session.m_ques.event & session.m_ques.enable) != 0) {
        stb |= REMOTE_STB_QUES;
    }
    if ((session.m_esr & session.m_ese) != 0) {
        stb |= REMOTE_STB_ESB;
    }
    if ((session.m_oper.event & session.m_oper.enable) != 0) {
        stb |= REMOTE_STB_OPER;
    }
    if ((stb & session.m_sre) != 0) {
        stb |= REMOTE_STB_MSS;
    }
    return static_cast<std::uint8_t>(stb);
}

void CRemoteEngine::SetCondition(int reg, unsigned bit, bool on) {
    if (on && (m_condition[reg] & bit) == 0) {
        ++m_rises[reg][static_cast<std::size_t>(std::countr_zero(bit))];
    }
    m_condition[reg] = on ? m_condition[reg] | bit : m_condition[reg] & ~bit;
}

void CRemoteEngine::Observe() {
    SetCondition(QUES, REMOTE_QUES_LINE_GONE, m_module.LineGone());
    bool anyOn = false;
    for (const RemoteChannel& k : m_channels) {
        anyOn = anyOn || k.on;
    }
    SetCondition(OPER, REMOTE_OPER_OUTPUT_ON, anyOn);
}

void CRemoteEngine::Latch(CRemoteSession& session) {
    RemoteStatusRegister* regs[2] = {&session.m_oper, &session.m_ques};
    for (int reg : {OPER, QUES}) {
        RemoteStatusRegister& r = *regs[reg];
        if (!session.m_statusStarted) {
            // A new connection: what is set now rose for it.
            r.event |= m_condition[reg];
        } else {
            for (std::size_t bit = 0; bit < r.seen.size(); ++bit) {
                if (r.seen[bit] != m_rises[reg][bit]) {
                    r.event |= 1u << bit;
                }
            }
        }
        r.seen = m_rises[reg];
    }
    session.m_statusStarted = true;
}

bool CRemoteEngine::ReportResult(std::uint32_t result, const char* what, CRemoteSession& session) {
    if (result == DDS_OK || result == DDS_E_REPLY) {
        Answered(result == DDS_OK);
    }
    switch (result) {
    case DDS_OK:
        return true;
    case DDS_E_VALUE:
        session.PushError(REMOTE_E_RANGE,
                          std::string("the module's words cannot carry the values of ") + what);
        return false;
    case DDS_E_CLOCK:
        session.PushError(REMOTE_E_HARDWARE, std::string("no DDS clock known for ") + what);
        return false;
    default:
        session.PushError(REMOTE_E_HARDWARE,
                          std::string("the module did not answer ") + what + " as expected");
        return false;
    }
}

bool CRemoteEngine::EnsureClock(CRemoteSession& session) {
    if (m_module.ClockKnown()) {
        return true;
    }
    // One-shot: without a known clock, the clock readout gives it, without resetting anything.
    DdsModuleClocksRecord clocks;
    ++m_exchanges;
    const bool answered = m_module.ReadClocks(&clocks) == DDS_OK;
    Answered(answered);
    if (!answered) {
        session.PushError(REMOTE_E_HARDWARE, "the module did not report its clocks");
        return false;
    }
    m_module.AdoptClocks(clocks);
    if (!m_module.ClockKnown()) {
        session.PushError(REMOTE_E_HARDWARE, "the module reported no usable DDS clock");
        return false;
    }
    return true;
}

bool CRemoteEngine::FrequencyFits(double hz, int channel, CRemoteSession& session) {
    const double clock = m_module.Clocks().ddsClockHz;
    const double limit = clock / 2.0;
    // The frequency word counts steps of clock / 2^32: below one step the word would be 0 (a
    // constant output, reported as on) or a step that is not what was asked.
    const double step = clock / 4294967296.0;
    if (hz == 0.0) {
        session.PushError(REMOTE_E_RANGE, "frequency 0 Hz is not above 0 (OUTPut" +
                                              std::to_string(channel + 1) +
                                              " OFF switches the output off)");
        return false;
    }
    if (hz < step) {
        session.PushError(REMOTE_E_RANGE, "frequency " + NumTextShortest(hz) +
                                              " Hz is below one DDS step (" +
                                              NumTextShortest(step) + " Hz)");
        return false;
    }
    if (!(hz < limit)) {
        session.PushError(REMOTE_E_RANGE, "frequency " + NumTextShortest(hz) +
                                              " Hz is not below half the DDS clock (" +
                                              NumTextShortest(limit) + " Hz)");
        return false;
    }
    return true;
}

bool CRemoteEngine::RecallSetup(const RemoteSetup& setup, CRemoteSession& session) {
    // A setup comes from a file that anyone may have edited: each value is checked as a
    // setting would be, and nothing is sent unless every one is right.
    bool anyOn = false;
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        const RemoteChannel& k = setup.channels[i];
        if (!std::isfinite(k.freqHz) || k.freqHz < 0.0 || !std::isfinite(k.phaseDeg) ||
            !(k.amplitude >= 0.0 && k.amplitude <= 1.0)) {
            session.PushError(REMOTE_E_RANGE, "the setup's channel " + std::to_string(i + 1) +
                                                  " has a value out of range");
            return false;
        }
        anyOn = anyOn || k.on;
    }
    if (anyOn && !EnsureClock(session)) {
        return false;
    }
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        if (setup.channels[i].on && !FrequencyFits(setup.channels[i].freqHz, i, session)) {
            return false;
        }
    }
    m_single = setup.single;
    bool sent = false;
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        RemoteChannel wanted = setup.channels[i];
        wanted.phaseDeg = DdsNormalisePhase(wanted.phaseDeg);
        if (wanted.on || m_channels[i].on) {
            if (!Send(i, wanted, wanted.on, session)) {
                return false;
            }
            sent = true;
        }
        if (!wanted.on) {
            // Off: kept as the setup has them (sending the off leaves the old frequency).
            m_channels[i] = wanted;
        }
    }
    return !sent || m_single || SendUpdate(session);
}

bool CRemoteEngine::SendUpdate(CRemoteSession& session) {
    ++m_exchanges;
    const std::uint32_t r = m_module.Update();
    if (r == DDS_OK) {
        SetCondition(OPER, REMOTE_OPER_UPDATE_PENDING, false);
    }
    return ReportResult(r, "the update command", session);
}

bool CRemoteEngine::Setting(int channel, const RemoteChannel& wanted, CRemoteSession& session) {
    if (!m_channels[channel].on) {
        // Kept, not sent: a setting never switches the output on.
        m_channels[channel] = wanted;
        m_channels[channel].on = false;
        return true;
    }
    return Send(channel, wanted, true, session);
}

bool CRemoteEngine::Send(int channel, const RemoteChannel& k, bool on, CRemoteSession& session) {
    // The kept values change only with what the module was sent: a refused setting leaves them.
    double freq = 0.0;
    if (on) {
        if (!EnsureClock(session) || !FrequencyFits(k.freqHz, channel, session)) {
            return false;
        }
        freq = k.freqHz;
    }
    ++m_exchanges;
    const std::uint32_t r =
        m_module.SetChannel(channel, freq, k.phaseDeg, k.amplitude, m_single ? 1 : 0);
    if (r == DDS_OK || r == DDS_E_REPLY) {
        // The table holds what the words reproduce; the module holds those words.
        FollowChannel(channel);
        if (!m_single) {
            SetCondition(OPER, REMOTE_OPER_UPDATE_PENDING, true);
        }
    }
    return ReportResult(r, "the set command", session);
}

bool CRemoteEngine::Execute(const Command& c, CRemoteSession& session, std::string* answer) {
    const std::size_t wantParams = ParamCount(c.op, c.query);
    if (c.params.size() != wantParams) {
        session.PushError(REMOTE_E_COMMAND, Quote(c.header) + " takes " +
                                                std::to_string(wantParams) +
                                                (wantParams == 1 ? " parameter" : " parameters"));
        return false;
    }
    const RemoteChannel& kept = m_channels[c.channel];
    const std::string channelText = std::to_string(c.channel + 1);
    // A channel the host has not sent since it opened the link without a reset may run
    // anything: its queries are refused rather than answered with the table's guess. Asked of
    // the module each time, since the host may reopen the link behind the engine.
    if (c.query &&
        (c.op == Op::Freq || c.op == Op::Ampl || c.op == Op::Phas || c.op == Op::Appl ||
         c.op == Op::Outp) &&
        !m_module.ChannelKnown(c.channel)) {
        session.PushError(REMOTE_E_STALE, "channel " + channelText +
                                              " is unknown: the module was not reset and the "
                                              "channel has not been sent since (OUTPut" +
                                              channelText + " ON or OFF sends it)");
        return false;
    }

    // The frequency of a setting: a number with an optional unit (Hz without one), above 0 and
    // below half the DDS clock, which needs the clock.
    auto readFreq = [&](std::string_view text, double& hz) {
        if (!ReadNumber(text, NUM_UNITS_FREQ_HZ, 4, hz)) {
            session.PushError(REMOTE_E_COMMAND, "frequency " + Quote(text) +
                                                    " is not a number with an optional unit "
                                                    "HZ, KHZ, MHZ or GHZ");
            return false;
        }
        if (hz < 0.0) {
            session.PushError(REMOTE_E_RANGE,
                              "frequency " + NumTextShortest(hz) + " Hz is below 0");
            return false;
        }
        return EnsureClock(session) && FrequencyFits(hz, c.channel, session);
    };
    auto readAmp = [&](std::string_view text, double& fraction) {
        double percent = 0.0;
        if (!ReadNumber(text, UNITS_PERCENT, 1, percent)) {
            session.PushError(REMOTE_E_COMMAND, "amplitude " + Quote(text) +
                                                    " is not a number with an optional unit PCT");
            return false;
        }
        if (percent < 0.0 || percent > 100.0) {
            session.PushError(REMOTE_E_RANGE,
                              "amplitude " + NumTextShortest(percent) + " % is outside 0 to 100");
            return false;
        }
        fraction = percent / 100.0;
        return true;
    };
    // A register mask: a decimal number, rounded to a whole number, or #H, #Q, #B.
    auto readMask = [&](std::string_view text, unsigned max, const char* what, unsigned& mask) {
        std::uint64_t whole = 0;
        if (!ReadNonDecimal(text, whole)) {
            double value = 0.0;
            if (!ReadNumber(text, nullptr, 0, value)) {
                session.PushError(REMOTE_E_COMMAND,
                                  std::string(what) + " " + Quote(text) + " is not a number");
                return false;
            }
            value = std::round(value);
            whole = value >= 0.0 && value <= max ? static_cast<std::uint64_t>(value) : UINT64_MAX;
        }
        if (whole > max) {
            session.PushError(REMOTE_E_RANGE, std::string(what) + " " + Quote(text) +
                                                  " is outside 0 to " + std::to_string(max));
            return false;
        }
        mask = static_cast<unsigned>(whole);
        return true;
    };
    // The OPERation or QUEStionable register of the session, and its condition.
    auto statusRegister = [&](int reg) -> RemoteStatusRegister& {
        return reg == OPER ? session.m_oper : session.m_ques;
    };
    auto readPhase = [&](std::string_view text, double& degrees) {
        if (!ReadNumber(text, UNITS_DEGREE, 1, degrees)) {
            session.PushError(REMOTE_E_COMMAND, "phase " + Quote(text) +
                                                    " is not a number with an optional unit DEG");
            return false;
        }
        degrees = DdsNormalisePhase(degrees);
        return true;
    };

    switch (c.op) {
    case Op::Idn: {
        ModuleVersion v;
        ++m_exchanges;
        const bool answered = m_module.Version(&v);
        Answered(answered);
        if (!answered) {
            session.PushError(REMOTE_E_HARDWARE, "the module did not report its version");
            return false;
        }
        *answer = "Halvorn,QM-TRV,0," + std::to_string(v.major) + "." + std::to_string(v.minor) +
                  "/" + MORVANE_VERSION;
        return true;
    }
    case Op::Rst:
    case Op::Init: {
        int mode = m_clockMode;
        if (c.op == Op::Init) {
            double value = 0.0;
            if (!ReadNumber(c.params[0], nullptr, 0, value)) {
                session.PushError(REMOTE_E_COMMAND,
                                  "clock mode " + Quote(c.params[0]) + " is not a number");
                return false;
            }
            if (value < 1.0 || value > 8.0) {
                session.PushError(REMOTE_E_RANGE,
                                  "clock mode " + NumTextShortest(value) + " is outside 1 to 8");
                return false;
            }
            if (value != std::floor(value)) {
                session.PushError(REMOTE_E_ILLEGAL, "clock mode " + NumTextShortest(value) +
                                                        " is not a whole number");
                return false;
            }
            mode = static_cast<int>(value);
        }
        ++m_exchanges;
        const std::uint32_t r = m_module.Init(mode);
        Answered(r == DDS_OK);
        if (r != DDS_OK) {
            session.PushError(REMOTE_E_HARDWARE,
                              "the module did not answer the initialise command as expected");
            return false;
        }
        m_clockMode = mode;
        SetCondition(OPER, REMOTE_OPER_UPDATE_PENDING, false); // the reset dropped them
        FollowTable();
        return true;
    }
    case Op::Cls:
        session.Clear();
        return true;
    case Op::Opc:
        // Every command before this one has been answered (see remote.h).
        if (c.query) {
            *answer = "1";
        } else {
            session.m_esr |= REMOTE_ESR_OPC;
        }
        return true;
    case Op::Wai:
        return true;
    case Op::Ese:
    case Op::Sre: {
        unsigned& mask = c.op == Op::Ese ? session.m_ese : session.m_sre;
        if (c.query) {
            *answer = std::to_string(mask);
            return true;
        }
        unsigned value = 0;
        if (!readMask(c.params[0], 255,
                      c.op == Op::Ese ? "event status enable" : "service request enable", value)) {
            return false;
        }
        // Bit 6 of the service request enable (the summary itself) is always 0.
        mask = c.op == Op::Sre ? value & ~REMOTE_STB_MSS : value;
        return true;
    }
    case Op::Esr:
        *answer = std::to_string(session.m_esr);
        session.m_esr = 0;
        return true;
    case Op::Stb:
        *answer = std::to_string(StatusByte(session));
        return true;
    case Op::Tst: {
        ++m_exchanges;
        const bool answered = m_module.Probe();
        Answered(answered);
        if (!answered) {
            session.PushError(REMOTE_E_SELF_TEST, "the module did not answer the probe");
        }
        *answer = answered ? "0" : "1";
        return true;
    }
    case Op::Version:
        *answer = "1999.0";
        return true;
    case Op::OperCond:
    case Op::QuesCond:
        *answer = std::to_string(m_condition[c.op == Op::OperCond ? OPER : QUES]);
        return true;
    case Op::OperEvent:
    case Op::QuesEvent: {
        RemoteStatusRegister& r = statusRegister(c.op == Op::OperEvent ? OPER : QUES);
        *answer = std::to_string(r.event);
        r.event = 0;
        return true;
    }
    case Op::OperEnable:
    case Op::QuesEnable: {
        RemoteStatusRegister& r = statusRegister(c.op == Op::OperEnable ? OPER : QUES);
        if (c.query) {
            *answer = std::to_string(r.enable);
            return true;
        }
        unsigned value = 0;
        if (!readMask(c.params[0], 65535, "enable mask", value)) {
            return false;
        }
        r.enable = value & 0x7FFFu; // bit 15 of a status register is always 0
        return true;
    }
    case Op::StatPreset:
        session.m_oper.enable = 0;
        session.m_ques.enable = 0;
        return true;
    case Op::Sav:
    case Op::Rcl: {
        double value = 0.0;
        if (!ReadNumber(c.params[0], nullptr, 0, value)) {
            session.PushError(REMOTE_E_COMMAND,
                              "setup number " + Quote(c.params[0]) + " is not a number");
            return false;
        }
        if (value < 0.0 || value > REMOTE_SETUP_SLOTS - 1) {
            session.PushError(REMOTE_E_RANGE, "setup number " + NumTextShortest(value) +
                                                  " is outside 0 to " +
                                                  std::to_string(REMOTE_SETUP_SLOTS - 1));
            return false;
        }
        if (value != std::floor(value)) {
            session.PushError(REMOTE_E_ILLEGAL,
                              "setup number " + NumTextShortest(value) + " is not a whole number");
            return false;
        }
        const int slot = static_cast<int>(value);
        if (m_store == nullptr) {
            session.PushError(REMOTE_E_STORAGE, "this server keeps no setups");
            return false;
        }
        std::string why;
        if (c.op == Op::Sav) {
            RemoteSetup setup;
            std::copy(std::begin(m_channels), std::end(m_channels), std::begin(setup.channels));
            setup.single = m_single;
            if (!m_store->Save(slot, setup, &why)) {
                session.PushError(REMOTE_E_STORAGE,
                                  "setup " + std::to_string(slot) + " was not saved: " + why);
                return false;
            }
            return true;
        }
        // What the slot does not hold stays as it is.
        RemoteSetup setup;
        std::copy(std::begin(m_channels), std::end(m_channels), std::begin(setup.channels));
        setup.single = m_single;
        switch (m_store->Recall(slot, &setup, &why)) {
        case CRemoteSetupStore::Recalled::Found:
            return RecallSetup(setup, session);
        case CRemoteSetupStore::Recalled::Empty:
            session.PushError(REMOTE_E_NOT_FOUND,
                              "no setup saved as " + std::to_string(slot) + " (*SAV saves one)");
            return false;
        case CRemoteSetupStore::Recalled::Failed:
            break;
        }
        session.PushError(REMOTE_E_STORAGE,
                          "setup " + std::to_string(slot) + " could not be read: " + why);
        return false;
    }
    case Op::Error:
        *answer = session.PopError();
        return true;
    case Op::Freq: {
        if (c.query) {
            *answer = NumTextShortest(kept.freqHz);
            return true;
        }
        RemoteChannel wanted = kept;
        return readFreq(c.params[0], wanted.freqHz) && Setting(c.channel, wanted, session);
    }
    case Op::Ampl: {
        if (c.query) {
            *answer = NumTextShortest(kept.amplitude * 100.0);
            return true;
        }
        RemoteChannel wanted = kept;
        return readAmp(c.params[0], wanted.amplitude) && Setting(c.channel, wanted, session);
    }
    case Op::Phas: {
        if (c.query) {
            *answer = NumTextShortest(kept.phaseDeg);
            return true;
        }
        RemoteChannel wanted = kept;
        return readPhase(c.params[0], wanted.phaseDeg) && Setting(c.channel, wanted, session);
    }
    case Op::Appl: {
        if (c.query) {
            *answer = NumTextShortest(kept.freqHz) + "," + NumTextShortest(kept.amplitude * 100.0) +
                      "," + NumTextShortest(kept.phaseDeg);
            return true;
        }
        RemoteChannel wanted = kept;
        // Every value is checked before the clock is asked for or anything is sent.
        double hz = 0.0;
        if (!readAmp(c.params[1], wanted.amplitude) || !readPhase(c.params[2], wanted.phaseDeg) ||
            !readFreq(c.params[0], hz)) {
            return false;
        }
        wanted.freqHz = hz;
        return Setting(c.channel, wanted, session);
    }
    case Op::Outp: {
        if (c.query) {
            *answer = kept.on ? "1" : "0";
            return true;
        }
        const std::string_view p = c.params[0];
        bool on = false;
        if (IsKeyword(p, "ON") || p == "1") {
            on = true;
        } else if (!(IsKeyword(p, "OFF") || p == "0")) {
            session.PushError(REMOTE_E_ILLEGAL,
                              "output state " + Quote(p) + " is not ON, OFF, 1 or 0");
            return false;
        }
        if (on && kept.freqHz <= 0.0) {
            session.PushError(REMOTE_E_CONFLICT, "channel " + channelText +
                                                     " has no frequency yet: set SOURce" +
                                                     channelText + ":FREQuency first");
            return false;
        }
        return Send(c.channel, kept, on, session);
    }
    case Op::Mode: {
        if (c.query) {
            *answer = m_single ? "SING" : "MULT";
            return true;
        }
        if (IsKeyword(c.params[0], "SINGle")) {
            m_single = true;
        } else if (IsKeyword(c.params[0], "MULTiple")) {
            m_single = false;
        } else {
            session.PushError(REMOTE_E_ILLEGAL,
                              "mode " + Quote(c.params[0]) + " is not SINGle or MULTiple");
            return false;
        }
        return true;
    }
    case Op::Update:
        return SendUpdate(session);
    case Op::Clock: {
        if (!EnsureClock(session)) {
            return false;
        }
        const DdsModuleClocksRecord k = m_module.Clocks();
        *answer = NumTextShortest(k.crystalHz) + "," + NumTextShortest(k.referenceHz) + "," +
                  NumTextShortest(k.ddsClockHz);
        return true;
    }
    }
    return false;
}
