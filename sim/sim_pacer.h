// CSimPacer: the schedule of a serial line's output at a baud rate, 10 bits a byte.
//
// A schedule starts at a moment (the arrival of the line that is answered, or the end of a
// pause); byte k after it leaves at start + (k + 1) * 10 / baud seconds, so the first byte
// leaves one byte time after the start and every byte after it one byte time after the one
// before, exactly as on a wire. The deadlines are absolute: a byte sent late does not push the
// bytes after it back, and those that are due by then leave with it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

class CSimPacer {
public:
    using Clock = std::chrono::steady_clock;

    // baud > 0: bits per second.
    explicit CSimPacer(int baud) : m_baud(static_cast<std::uint64_t>(baud)) {}

    // Starts a new schedule at start, with no byte sent yet.
    void Restart(Clock::time_point start);
    // The moment the next byte to be sent is due.
    Clock::time_point NextDeadline() const;
    // The number of bytes due at now and not yet sent (0 before the next deadline).
    std::size_t Due(Clock::time_point now) const;
    // Counts count bytes as sent.
    void Sent(std::size_t count) { m_sent += count; }

    // Nanoseconds from the start of a schedule to the moment its byte `index` (0 = the first)
    // is due, rounded up.
    std::int64_t OffsetOfByte(std::uint64_t index) const;

private:
    std::uint64_t m_baud;
    Clock::time_point m_start;
    std::uint64_t m_sent = 0;
};

// CWakeLead: timed waits on a busy or virtual machine end some tens of microseconds after the
// moment asked for, which would make every paced byte late by that much (a quarter of a byte
// time at 115200 baud). The lead learns how late the waits end (a running average) and asks
// for that much earlier; a wait that then ends a little early is finished by watching the
// clock, which costs a few microseconds of processor time a byte.
//
// The last byte of what is queued (the prompt that ends a reply) may have the whole learnt
// lead, up to MAX_LEAD: its moment is when the reader's exchange ends. The bytes before it lead
// by half a byte time at most, so that a machine that late does not keep the simulator watching
// the clock for most of every byte.
class CWakeLead {
public:
    using Clock = std::chrono::steady_clock;
    // Leads are never more than this: a machine that late is not worth spinning for, and input
    // that comes during the clock watch waits no longer.
    static constexpr std::chrono::nanoseconds MAX_LEAD{200'000};

    // baud > 0: the line's rate, which bounds the lead of all but the last byte to half a byte
    // time.
    explicit CWakeLead(int baud);

    // How long to wait from now for deadline, the lead taken off (never negative); last: the
    // byte due then is the last one queued.
    std::chrono::nanoseconds Timeout(Clock::time_point now, Clock::time_point deadline,
                                     bool last = false) const;
    // A timed wait that was to end at wanted ended at woke (not counted when it ended early,
    // for an event or a signal). Waits that did not wait at all (a deadline already due) are
    // not to be passed: they end at once and say nothing about the system's lateness.
    void Woke(Clock::time_point wanted, Clock::time_point woke);
    // Watches the clock until deadline when it is at most the lead (and a little) away; returns
    // at once otherwise. Returns the time it returned at.
    Clock::time_point WaitOut(Clock::time_point deadline, bool last = false) const;
    // The lead for a byte (last: the last one queued).
    std::chrono::nanoseconds Lead(bool last = false) const;

private:
    std::int64_t m_byteLeadMaxNs; // half a byte time, at most MAX_LEAD
    std::int64_t m_lateNs = 0;    // how late waits end, on average, at most MAX_LEAD
};
