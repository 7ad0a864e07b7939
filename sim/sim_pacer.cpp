#include "sim_pacer.h"

#include <algorithm>

namespace {

// Ten bits a byte: byte count times this, divided by the baud rate, is nanoseconds.
constexpr std::uint64_t NS_PER_BYTE_AT_1_BAUD = 10'000'000'000;

} // namespace

void CSimPacer::Restart(Clock::time_point start) {
    m_start = start;
    m_sent = 0;
}

std::int64_t CSimPacer::OffsetOfByte(std::uint64_t index) const {
    // ceil((index + 1) * 1e10 / baud) in integers, split so that no product overflows for any
    // schedule shorter than centuries: the remainder is below the baud rate (at most 1e8).
    const std::uint64_t bytes = index + 1;
    const std::uint64_t whole = bytes / m_baud;
    const std::uint64_t rest = bytes % m_baud;
    return static_cast<std::int64_t>(whole * NS_PER_BYTE_AT_1_BAUD +
                                     (rest * NS_PER_BYTE_AT_1_BAUD + m_baud - 1) / m_baud);
}

CSimPacer::Clock::time_point CSimPacer::NextDeadline() const {
    return m_start + std::chrono::nanoseconds(OffsetOfByte(m_sent));
}

std::size_t CSimPacer::Due(Clock::time_point now) const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - m_start);
    if (elapsed.count() <= 0) {
        return 0;
    }
    // floor(elapsed * baud / 1e10), split like OffsetOfByte: byte k is due once elapsed reaches
    // (k + 1) * 1e10 / baud, which for whole nanoseconds is the same as reaching its rounded-up
    // offset.
    const auto ns = static_cast<std::uint64_t>(elapsed.count());
    const std::uint64_t whole = ns / NS_PER_BYTE_AT_1_BAUD;
    const std::uint64_t rest = ns % NS_PER_BYTE_AT_1_BAUD;
    const std::uint64_t due = whole * m_baud + rest * m_baud / NS_PER_BYTE_AT_1_BAUD;
    return due > m_sent ? static_cast<std::size_t>(due - m_sent) : 0;
}

CWakeLead::CWakeLead(int baud)
    : m_byteLeadMaxNs(std::min<std::int64_t>(
          MAX_LEAD.count(),
          static_cast<std::int64_t>(NS_PER_BYTE_AT_1_BAUD / 2 /
                                    static_cast<std::uint64_t>(std::max(1, baud))))) {}

std::chrono::nanoseconds CWakeLead::Lead(bool last) const {
    return std::chrono::nanoseconds(std::min(m_lateNs, last ? MAX_LEAD.count() : m_byteLeadMaxNs));
}

std::chrono::nanoseconds CWakeLead::Timeout(Clock::time_point now, Clock::time_point deadline,
                                            bool last) const {
    const auto left =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now) - Lead(last);
    return std::max(left, std::chrono::nanoseconds(0));
}

void CWakeLead::Woke(Clock::time_point wanted, Clock::time_point woke) {
    if (woke < wanted) {
        return;
    }
    const std::int64_t late = std::min<std::int64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(woke - wanted).count(),
        MAX_LEAD.count());
    // An average over the last eight or so waits: it follows the machine's load within a
    // reply, and one wait held up by the scheduler moves it by an eighth. The lateness is that
    // of the moment asked for, which already has the lead taken off, so it does not depend on
    // the lead.
    m_lateNs += (late - m_lateNs) / 8;
}

CWakeLead::Clock::time_point CWakeLead::WaitOut(Clock::time_point deadline, bool last) const {
    Clock::time_point now = Clock::now();
    const auto slack = Lead(last) + std::chrono::microseconds(20);
    if (deadline - now > slack) {
        return now;
    }
    while (now < deadline) {
        now = Clock::now();
    }
    return now;
}
