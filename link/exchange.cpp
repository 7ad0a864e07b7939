#include "exchange.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "comlink.h"
#include "diag.h"
#include "numtext.h"
#include "trace.h"

namespace {

constexpr int IDLE_LIMIT = 200;          // idle polls that end a reply
constexpr int WAIT_PROMPT_IDLE = 50;     // idle cycles that end WaitPrompt
constexpr int EVENT_WAIT_MS = 100;       // one wait for a port event
constexpr int IDLE_SLEEP_MS = 2;         // sleep of an idle poll
constexpr std::size_t DUMP_MAX = 128;    // bytes DumpQueued takes at most
constexpr std::size_t READ_CHUNK = 4096; // bytes taken from the driver in one read at most

std::atomic<bool> g_cancel{false};

using Clock = std::chrono::steady_clock;

CSerialPort* Port() {
    return LinkIsOpen() ? ComLink.port.get() : nullptr;
}

void IdleSleep() {
    std::this_thread::sleep_for(std::chrono::milliseconds(IDLE_SLEEP_MS));
}

// Appends received bytes to a caller's buffer, keeping the first size-1 of them and dropping
// the rest, so that a long reply never overruns the buffer.
class CReplySink {
public:
    CReplySink(char* buffer, std::size_t size) : m_buffer(buffer), m_size(size) {}
    void Put(std::uint8_t b) {
        if (m_buffer && m_stored + 1 < m_size) {
            m_buffer[m_stored++] = static_cast<char>(b);
        }
    }
    std::string_view Stored() const { return {m_buffer ? m_buffer : "", m_stored}; }
    std::size_t Finish() {
        if (m_buffer && m_size > 0) {
            m_buffer[m_stored] = '\0';
        }
        return m_stored;
    }

private:
    char* m_buffer;
    std::size_t m_size;
    std::size_t m_stored = 0;
};

// What one wait for a port event brought.
enum class PortEvent {
    Restart,     // the wait failed with an event other than a received character: wait again
    LookAtQueue, // a received character, a time-out, or anything else: look at the queue
    SentOnly,    // only the transmitter ran empty (our own command went out): wait again
};

// One wait for a port event, up to 100 ms.
PortEvent WaitForPortEvent(CSerialPort& port) {
    std::uint32_t mask = 0;
    const bool completed = port.WaitPortEvent(&mask);
    int waited = LINK_WAIT_SIGNALLED;
    bool ok = completed;
    if (!completed) {
        waited = port.WaitIo(EVENT_WAIT_MS);
        ok = port.IoResult(nullptr);
    }
    if (!ok && mask != LINK_EV_RXCHAR && waited != LINK_WAIT_TIMEOUT) {
        return PortEvent::Restart;
    }
    // The transmit-empty event fires once after each command written. It says nothing about
    // the reply, so it is not idle time: counting it and sleeping 2 ms would delay every
    // reply by that much.
    if (ok && waited != LINK_WAIT_TIMEOUT && mask == LINK_EV_TXEMPTY) {
        return PortEvent::SentOnly;
    }
    return PortEvent::LookAtQueue;
}

// How a reader ended.
enum class ReadEnd {
    Done,      // the end test was met (the prompt, for most readers)
    Idle,      // the idle limit: nothing came for too long
    Limit,     // the time or byte limit of one reply, while bytes kept coming
    Cancelled, // LinkRequestCancel
};

// The limits every reader applies to one reply besides its idle count: a reply that never
// ends (a module that floods without a prompt) ends after READ_LIMIT_MS from its start or
// after byteLimit bytes, and a cancel request ends it at the next cycle.
class CReplyLimits {
public:
    explicit CReplyLimits(std::size_t bufferSize)
        : m_start(Clock::now()),
          m_byteLimit((bufferSize > 0 ? bufferSize - 1 : 0) + READ_LIMIT_BYTES) {}
    void Count(std::size_t bytes) { m_bytes += bytes; }
    // The reason to stop now, or Done when the reader may go on.
    ReadEnd Check() const {
        if (g_cancel.load(std::memory_order_relaxed)) {
            return ReadEnd::Cancelled;
        }
        if (m_bytes >= m_byteLimit ||
            Clock::now() - m_start >= std::chrono::milliseconds(READ_LIMIT_MS)) {
            return ReadEnd::Limit;
        }
        return ReadEnd::Done;
    }

private:
    Clock::time_point m_start;
    std::size_t m_byteLimit;
    std::size_t m_bytes = 0;
};

// Reads the queued bytes in reads of up to READ_CHUNK and hands each to onByte(byte,
// lastOfBatch); the batch is what the queue count said. True when onByte asked to end.
template <class OnByte>
bool ReadBatch(CSerialPort& port, std::uint32_t queued, CReplyLimits& limits, OnByte onByte) {
    std::uint8_t chunk[READ_CHUNK];
    bool done = false;
    std::uint32_t left = queued;
    while (left > 0) {
        const std::size_t want = std::min<std::size_t>(left, READ_CHUNK);
        const std::size_t got = port.ReadBytes(chunk, want);
        if (got == 0) {
            break; // the driver had less than it said: the rest of the batch is not there
        }
        left -= static_cast<std::uint32_t>(got);
        limits.Count(got);
        for (std::size_t i = 0; i < got; ++i) {
            const bool last = left == 0 && i + 1 == got;
            if (onByte(chunk[i], last || (got < want && i + 1 == got))) {
                done = true;
            }
        }
        if (got < want) {
            break;
        }
    }
    return done;
}

// The event-driven reader behind ReadReply and WaitPrompt: waits for a port event, reads every
// queued byte, and ends after a batch for which onByte asked to end, after idleLimit idle
// cycles, or at a limit of CReplyLimits. onByte(byte, lastOfBatch) returns true to end the
// reply after this batch.
template <class OnByte>
ReadEnd EventReader(CSerialPort& port, int idleLimit, CReplyLimits& limits, OnByte onByte) {
    int idle = 0;
    for (;;) {
        const ReadEnd stop = limits.Check();
        if (stop != ReadEnd::Done) {
            return stop;
        }
        if (WaitForPortEvent(port) != PortEvent::LookAtQueue) {
            continue;
        }
        (void)port.ResetIoEvent();
        std::uint32_t errors = 0;
        std::uint32_t queued = 0;
        (void)port.ErrorAndQueueStatusAfterWait(&errors, &queued);
        if (queued == 0) {
            ++idle;
            IdleSleep();
        } else {
            idle = 0;
            if (ReadBatch(port, queued, limits, onByte)) {
                return ReadEnd::Done;
            }
        }
        if (idle >= idleLimit) {
            return ReadEnd::Idle;
        }
    }
}

// The polling reader behind ReadReplyPoll, ReadReplyUntil and ReadAvailable: looks at the queued
// count every 2 ms without waiting for port events.
template <class OnByte>
ReadEnd PollingReader(CSerialPort& port, CReplyLimits& limits, OnByte onByte) {
    int idle = 0;
    for (;;) {
        const ReadEnd stop = limits.Check();
        if (stop != ReadEnd::Done) {
            return stop;
        }
        std::uint32_t errors = 0;
        std::uint32_t queued = 0;
        (void)port.ErrorAndQueueStatus(&errors, &queued);
        if (queued == 0) {
            if (++idle >= IDLE_LIMIT) {
                return ReadEnd::Idle;
            }
            IdleSleep();
            continue;
        }
        idle = 0;
        if (ReadBatch(port, queued, limits, onByte)) {
            return ReadEnd::Done;
        }
    }
}

void WriteTerminator(CSerialPort& port) {
    port.WriteByte(ComLink.terminator);
}

bool IsLower(char c) {
    return c >= 'a' && c <= 'z';
}

} // namespace

int WriteCommandLine(const char* command) {
    CSerialPort* port = Port();
    if (!port || !command) {
        return 0;
    }
    LinkEndProbeTime();
    ComLink.lastCommand = command;
    ComLink.commandStart = Clock::now();
    port->WriteBytes(command, std::strlen(command));
    WriteTerminator(*port);
    return 0;
}

namespace {

// True when a reply segment starts with the echo of command: its first field (up to the first
// comma or LF, CR and blanks at its ends left out) equals the command without regard to case.
bool EchoMatches(std::string_view segment, std::string_view command) {
    // Line ends left over in front of the echo (after an earlier prompt) are not part of it.
    while (!segment.empty() && (segment.front() == '\r' || segment.front() == '\n' ||
                                segment.front() == ' ' || segment.front() == '\t')) {
        segment.remove_prefix(1);
    }
    const std::size_t stop = segment.find_first_of(",\n>");
    std::string_view field = segment.substr(0, stop);
    auto blank = [](char c) { return c == '\r' || c == ' ' || c == '\t'; };
    while (!field.empty() && blank(field.back())) {
        field.remove_suffix(1);
    }
    while (!command.empty() && blank(command.back())) {
        command.remove_suffix(1);
    }
    return NumTextSameNoCase(field, command);
}

LinkTraceOutcome OutcomeOf(ReadEnd end, std::string_view reply) {
    switch (end) {
    case ReadEnd::Done:
        return LinkTraceOutcome::Ok;
    case ReadEnd::Cancelled:
        return LinkTraceOutcome::Cancelled;
    case ReadEnd::Idle:
    case ReadEnd::Limit:
        break;
    }
    return reply.empty() ? LinkTraceOutcome::NoAnswer : LinkTraceOutcome::NoPrompt;
}

// Hands one exchange to the transcript: the command last written and the reply read for it.
void EmitExchange(LinkTraceOutcome outcome, std::string_view reply, int fields) {
    if (!LinkTraceActive()) {
        return;
    }
    LinkTraceEvent e;
    e.outcome = outcome;
    e.command = ComLink.lastCommand;
    e.reply.assign(reply.data(), reply.size());
    e.fields = fields;
    e.start = ComLink.commandStart;
    e.end = Clock::now();
    e.wallEnd = std::chrono::system_clock::now();
    LinkTraceEmit(e);
}

// A reply as one reader gathered it.
struct ReplyText {
    std::string text; // the reply (at most the caller's size-1 bytes kept)
    ReadEnd end = ReadEnd::Done;
};

// The event-driven reply reader with the late-reply rule (see LinkExpectingLateReply).
ReplyText ReadReplyText(CSerialPort& port, std::size_t size) {
    // Room for a late answer in front of the right reply in the same batch.
    const std::size_t keep = (size > 0 ? size - 1 : 0) + READ_CHUNK;
    ReplyText r;
    for (;;) {
        CReplyLimits limits(size);
        std::string text;
        r.end = EventReader(port, IDLE_LIMIT, limits, [&](std::uint8_t b, bool last) {
            if (text.size() < keep) {
                text.push_back(static_cast<char>(b));
            }
            return last && b == '>';
        });
        if (r.end != ReadEnd::Done) {
            DiagWrite("T");
            ComLink.lateReplyExpected = true;
            r.text = std::move(text);
            break;
        }
        if (!ComLink.lateReplyExpected || ComLink.lastCommand.empty()) {
            r.text = std::move(text);
            break;
        }
        // Drop the leading prompt-ended segments that are not the answer to this command.
        std::size_t pos = 0;
        while (pos < text.size()) {
            const std::size_t gt = text.find('>', pos);
            const std::size_t next = gt == std::string::npos ? text.size() : gt + 1;
            const std::string_view segment(text.data() + pos, next - pos);
            if (EchoMatches(segment, ComLink.lastCommand)) {
                break;
            }
            EmitExchange(LinkTraceOutcome::Stale, segment, -1);
            pos = next;
        }
        if (pos < text.size()) {
            ComLink.lateReplyExpected = false;
            r.text = text.substr(pos);
            break;
        }
        // Everything was the late answer: wait on for the right one, with fresh limits.
    }
    if (r.text.size() > (size > 0 ? size - 1 : 0)) {
        r.text.resize(size > 0 ? size - 1 : 0);
    }
    return r;
}

std::size_t StoreReply(const std::string& text, char* buffer, std::size_t size) {
    CReplySink sink(buffer, size);
    for (const char c : text) {
        sink.Put(static_cast<std::uint8_t>(c));
    }
    return sink.Finish();
}

} // namespace

std::size_t ReadReply(char* buffer, std::size_t size) {
    CSerialPort* port = Port();
    if (!port) {
        return StoreReply({}, buffer, size);
    }
    const ReplyText r = ReadReplyText(*port, size);
    EmitExchange(OutcomeOf(r.end, r.text), r.text, -1);
    return StoreReply(r.text, buffer, size);
}

void LinkRequestCancel() {
    g_cancel.store(true);
}

void LinkClearCancel() {
    g_cancel.store(false);
}

bool LinkCancelRequested() {
    return g_cancel.load();
}

bool LinkExpectingLateReply() {
    return ComLink.lateReplyExpected;
}

int SplitReply(const char* command, char* reply, ReplyField fields[REPLY_FIELD_COUNT]) {
    // Fields are gathered in a zero-filled table of our own, so every stored field is
    // terminated; fields after the 16th and characters after the 31st are counted but dropped.
    ReplyField local[REPLY_FIELD_COUNT] = {};
    int count = 0;          // fields ended so far
    std::size_t len = 0;    // characters of the current field, dropped ones included
    std::string firstField; // field 0 in full, for the comparison with the command
    for (char* p = reply; p && *p; ++p) {
        if (IsLower(*p)) {
            *p = static_cast<char>(*p - 'a' + 'A');
        }
        const char c = *p;
        if (c == ',' || c == '\n') {
            ++count;
            len = 0;
        } else if (c != '\r' && c != '>') {
            if (count < REPLY_FIELD_COUNT && len < REPLY_FIELD_SIZE - 1) {
                local[count][len] = c;
            }
            if (count == 0) {
                firstField.push_back(c);
            }
            ++len;
        }
    }
    if (len > 0) {
        ++count; // the last field counts only if it has a character
    }
    if (count == 1 && command && firstField == command) {
        return -1;
    }
    if (count > REPLY_FIELD_COUNT) {
        count = REPLY_FIELD_COUNT;
    }
    for (int i = 0; i < count; ++i) {
        std::memcpy(fields[i], local[i], REPLY_FIELD_SIZE);
    }
    return count;
}

int SendCommand(const char* command, ReplyField fields[REPLY_FIELD_COUNT]) {
    return SendCommandExpecting(command, fields, -1);
}

int SendCommandExpecting(const char* command, ReplyField fields[REPLY_FIELD_COUNT],
                         int expectedFields) {
    CSerialPort* port = Port();
    if (!port) {
        return 0;
    }
    WriteCommandLine(command);
    const ReplyText r = ReadReplyText(*port, REPLY_TEXT_SIZE);
    char reply[REPLY_TEXT_SIZE];
    StoreReply(r.text, reply, sizeof reply);
    const int split = SplitReply(command, reply, fields);
    const int n = split == -1 ? 1 : split;
    if (LinkTraceActive()) {
        LinkTraceOutcome outcome = OutcomeOf(r.end, r.text);
        if (outcome == LinkTraceOutcome::Ok && expectedFields >= 0 && n != expectedFields) {
            outcome = LinkTraceOutcome::WrongFields;
        }
        EmitExchange(outcome, r.text, n);
    }
    return n;
}

namespace {

// A polling read into a caller's buffer, ending after the batch in which endTest(byte,
// lastOfBatch) said so, or after the idle polls with "T".
template <class EndTest> std::size_t PollReply(char* buffer, std::size_t size, EndTest endTest) {
    CReplySink sink(buffer, size);
    CSerialPort* port = Port();
    if (!port) {
        return sink.Finish();
    }
    CReplyLimits limits(size);
    const ReadEnd end = PollingReader(*port, limits, [&](std::uint8_t b, bool last) {
        sink.Put(b);
        return endTest(b, last);
    });
    if (end != ReadEnd::Done) {
        DiagWrite("T");
    }
    EmitExchange(OutcomeOf(end, sink.Stored()), sink.Stored(), -1);
    return sink.Finish();
}

} // namespace

std::size_t ReadReplyPoll(char* buffer, std::size_t size) {
    return PollReply(buffer, size, [](std::uint8_t b, bool last) { return last && b == '>'; });
}

std::size_t ReadReplyUntil(char* buffer, std::size_t size, int mode) {
    std::uint8_t previous = 0;
    bool seenEnd = false;
    return PollReply(buffer, size, [&](std::uint8_t b, bool last) {
        switch (mode) {
        case READ_UNTIL_PROMPT:
            seenEnd = seenEnd || b == '>';
            break;
        case READ_UNTIL_55AA:
            seenEnd = seenEnd || (previous == 0x55 && b == 0xAA);
            break;
        case READ_UNTIL_TERMINATOR:
            seenEnd = seenEnd || b == ComLink.terminator;
            break;
        default:
            break;
        }
        previous = b;
        return last && seenEnd;
    });
}

std::size_t ReadAvailable(char* buffer, std::size_t size) {
    return PollReply(buffer, size, [](std::uint8_t, bool last) { return last; });
}

std::uint8_t ReadOneByte() {
    CSerialPort* port = Port();
    return port ? port->ReadByte() : 0xFF;
}

int FlushInput() {
    CSerialPort* port = Port();
    if (!port) {
        return 0;
    }
    std::uint32_t errors = 0;
    std::uint32_t queued = 0;
    (void)port->ErrorAndQueueStatus(&errors, &queued);
    for (std::uint32_t i = 0; i < queued; ++i) {
        (void)port->ReadByte();
    }
    return 0;
}

std::uint32_t QueuedCount() {
    CSerialPort* port = Port();
    if (!port) {
        return 0;
    }
    std::uint32_t errors = 0;
    std::uint32_t queued = 0;
    (void)port->ErrorAndQueueStatus(&errors, &queued);
    return queued;
}

int DumpQueued() {
    CSerialPort* port = Port();
    std::uint32_t queued = 0;
    if (port) {
        std::uint32_t errors = 0;
        (void)port->ErrorAndQueueStatus(&errors, &queued);
    }
    if (queued == 0) {
        DiagWrite("l0");
        return 0;
    }
    // Take at most 128 bytes; the rest stays queued for the next reader.
    const std::uint32_t take = queued < DUMP_MAX ? queued : static_cast<std::uint32_t>(DUMP_MAX);
    std::uint8_t buffer[DUMP_MAX];
    DiagPrintf("l%u", static_cast<unsigned>(take));
    int prompt = 0;
    for (std::uint32_t i = 0; i < take; ++i) {
        buffer[i] = port->ReadByte();
        if (buffer[i] == '>') {
            DiagWrite("na");
            prompt = 1;
        }
    }
    return prompt;
}

int WriteRaw(int noTerminator, const void* data, std::size_t count) {
    CSerialPort* port = Port();
    if (!port) {
        return 0;
    }
    LinkEndProbeTime();
    // Raw bytes have no echo to recognise a reply by.
    ComLink.lastCommand.clear();
    ComLink.commandStart = Clock::now();
    if (data && count > 0) {
        port->WriteBytes(data, count);
    }
    if (noTerminator == 0) {
        WriteTerminator(*port);
    }
    return 0;
}

int WriteOneByte(int value) {
    CSerialPort* port = Port();
    if (port) {
        LinkEndProbeTime();
        port->WriteByte(static_cast<std::uint8_t>(value & 0xFF));
    }
    return 0;
}

int WaitPrompt(int maxIdle) {
    CSerialPort* port = Port();
    if (!port) {
        return WAIT_PROMPT_IDLE > maxIdle ? 2 : 0;
    }
    bool seen = false;
    CReplyLimits limits(0);
    const ReadEnd end = EventReader(*port, WAIT_PROMPT_IDLE, limits, [&](std::uint8_t b, bool) {
        seen = seen || b == '>';
        return seen;
    });
    // The reader ends with no idle cycles counted when it saw the prompt; any other end counts
    // as the idle limit.
    const int idle = end == ReadEnd::Done ? 0 : WAIT_PROMPT_IDLE;
    return idle > maxIdle ? 2 : 0;
}

int WaitTxEmpty() {
    CSerialPort* port = Port();
    if (!port) {
        return 1;
    }
    for (int i = 0; i < 200; ++i) {
        std::uint32_t mask = 0;
        if (!port->WaitPortEvent(&mask)) {
            if (port->LastWaitRefused()) {
                return 1;
            }
            (void)port->WaitIo(EVENT_WAIT_MS);
            (void)port->IoResult(nullptr);
        }
        if (i == 31) {
            DiagWrite("z");
        }
        if (mask & LINK_EV_TXEMPTY) {
            DiagWrite("e");
            return 0;
        }
    }
    DiagWrite("t");
    return 0;
}
