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
