// CSimMemory: the module's byte-addressed 32-bit memory, as the simulator keeps it.
//
// The address space is 4 GiB but tests touch a few kilobytes of it, so memory is kept in 4 KiB
// pages allocated on the first write; a byte never written reads 0x00. Addresses wrap at 2^32,
// as the module's 32-bit address arithmetic does. The total of allocated pages is capped so that
// a stream of large fills cannot exhaust the host: a write that would need more pages than the
// cap changes nothing and reports failure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

class CSimMemory {
public:
    static constexpr std::uint32_t PAGE_SIZE = 4096;
    static constexpr std::size_t MAX_PAGES = 16384; // 64 MiB of written memory at most

    // Copies count bytes from address on (wrapping at 2^32) into out.
    void Read(std::uint32_t address, std::uint8_t* out, std::size_t count) const;

    // Stores count bytes at address on. False, with nothing changed, when the pages needed
    // would exceed MAX_PAGES.
    bool Write(std::uint32_t address, const std::uint8_t* data, std::size_t count);

    // Stores count bytes at address on, byte i taking pattern[i % 4]. False as for Write.
    bool Fill(std::uint32_t address, std::size_t count, const std::array<std::uint8_t, 4>& pattern);

    // Copies count bytes from source to target as if through a temporary buffer, so
    // overlapping ranges copy what the source held before. False as for Write.
    bool Copy(std::uint32_t target, std::uint32_t source, std::size_t count);

    // Forgets every byte written.
    void Clear() { m_pages.clear(); }

    std::size_t PageCount() const { return m_pages.size(); }

private:
    using Page = std::array<std::uint8_t, PAGE_SIZE>;

    // Allocates every page that [address, address + count) touches; false, allocating
    // nothing, when that would exceed MAX_PAGES.
    bool Reserve(std::uint32_t address, std::size_t count);

    std::unordered_map<std::uint32_t, std::unique_ptr<Page>> m_pages; // key: address / PAGE_SIZE
};
