#include "exchange.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "comlink.h"
#include "diag.h"

namespace {

constexpr int IDLE_LIMIT = 200;       // idle polls that end a reply
constexpr int WAIT_PROMPT_IDLE = 50;  // idle cycles that end WaitPrompt
constexpr int EVENT_WAIT_MS = 100;    // one wait for a port event
constexpr int IDLE_SLEEP_MS = 2;      // sleep of an idle poll
constexpr std::size_t DUMP_MAX = 128; // bytes DumpQueued takes at most

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

// The event-driven reader behind ReadReply and WaitPrompt: waits for a port event, reads every
// queued byte, and ends after a batch for which onByte asked to end, or after idleLimit idle
// cycles. onByte(byte, lastOfBatch) returns true to end the reply after this batch.
// Returns the idle count at the end.
template <class OnByte> int EventReader(CSerialPort& port, int idleLimit, OnByte onByte) {
    int idle = 0;
    bool done = false;
    while (!done) {
        if (WaitForPortEvent(port) != PortEvent::LookAtQueue) {
            continue;
        }
        (void)port.ResetIoEvent();
        std::uint32_t errors = 0;
        std::uint32_t queued = 0;
        (void)port.ErrorAndQueueStatus(&errors, &queued);
        if (queued == 0) {
            ++idle;
            IdleSleep();
        } else {
            idle = 0;
            for (std::uint32_t i = 0; i < queued; ++i) {
                if (onByte(port.ReadByte(), i + 1 == queued)) {
                    done = true;
                }
            }
        }
        if (idle >= idleLimit) {
            done = true;
        }
    }
    return idle;
}

// The polling reader behind ReadReplyPoll, ReadReplyUntil and ReadAvailable: looks at the queued
// count every 2 ms without waiting for port events. Returns true when it gave up on idle.
template <class OnByte> bool PollingReader(CSerialPort& port, OnByte onByte) {
    int idle = 0;
    for (;;) {
        std::uint32_t errors = 0;
        std::uint32_t queued = 0;
        (void)port.ErrorAndQueueStatus(&errors, &queued);
        if (queued == 0) {
            if (++idle >= IDLE_LIMIT) {
                return true;
            }
            IdleSleep();
            continue;
        }
        idle = 0;
        bool done = false;
        for (std::uint32_t i = 0; i < queued; ++i) {
            if (onByte(port.ReadByte(), i + 1 == queued)) {
                done = true;
            }
        }
        if (done) {
            return false;
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
    port->WriteBytes(command, std::strlen(command));
    WriteTerminator(*port);
    return 0;
}

std::size_t ReadReply(char* buffer, std::size_t size) {
    CReplySink sink(buffer, size);
    CSerialPort* port = Port();
    if (!port) {
        return sink.Finish();
    }
    const int idle = EventReader(*port, IDLE_LIMIT, [&](std::uint8_t b, bool last) {
        sink.Put(b);
        return last && b == '>';
    });
    if (idle >= IDLE_LIMIT) {
        DiagWrite("T");
    }
    return sink.Finish();
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
    if (!Port()) {
        return 0;
    }
    char reply[REPLY_TEXT_SIZE];
    WriteCommandLine(command);
    ReadReply(reply, sizeof reply);
    const int n = SplitReply(command, reply, fields);
    return n == -1 ? 1 : n;
}

namespace {

// A polling read into a caller's buffer, ending after the batch in which endTest(byte,
// lastOfBatch) said so, or after the idle polls with "T".
template <class EndTest> std::size_t PollReply(char* buffer, std::size_t size, EndTest endTest) {
    CReplySink sink(buffer, size);
    CSerialPort* port = Port();
    const bool gaveUp = port && PollingReader(*port, [&](std::uint8_t b, bool last) {
                            sink.Put(b);
                            return endTest(b, last);
                        });
    if (gaveUp) {
        DiagWrite("T");
    }
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
    const int idle = EventReader(*port, WAIT_PROMPT_IDLE, [&](std::uint8_t b, bool) {
        seen = seen || b == '>';
        return seen;
    });
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
