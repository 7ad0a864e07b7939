#include "sim_memory.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t PAGE_SHIFT = 12;
static_assert((1u << PAGE_SHIFT) == CSimMemory::PAGE_SIZE);

// Calls fn(pageKey, offsetInPage, length, done) for each piece of [address, address + count)
// that lies in one page, in address order, wrapping at 2^32.
template <typename Fn> void SimForEachSpan(std::uint32_t address, std::size_t count, Fn fn) {
    std::size_t done = 0;
    while (done < count) {
        const std::uint32_t at = address + static_cast<std::uint32_t>(done);
        const std::uint32_t offset = at & (CSimMemory::PAGE_SIZE - 1);
        const std::size_t length =
            std::min<std::size_t>(count - done, CSimMemory::PAGE_SIZE - offset);
        fn(at >> PAGE_SHIFT, offset, length, done);
        done += length;
    }
}

} // namespace

void CSimMemory::Read(std::uint32_t address, std::uint8_t* out, std::size_t count) const {
    SimForEachSpan(
        address, count,
        [&](std::uint32_t key, std::uint32_t offset, std::size_t length, std::size_t done) {
            auto it = m_pages.find(key);
            if (it == m_pages.end())
                std::memset(out + done, 0, length);
            else
                std::memcpy(out + done, it->second->data() + offset, length);
        });
}

bool CSimMemory::Reserve(std::uint32_t address, std::size_t count) {
    // A range of more than 4 GiB would touch pages twice; nothing asks for that.
    std::size_t missing = 0;
    SimForEachSpan(address, count, [&](std::uint32_t key, std::uint32_t, std::size_t, std::size_t) {
        if (m_pages.find(key) == m_pages.end())
            ++missing;
    });
    if (m_pages.size() + missing > MAX_PAGES)
        return false;
    SimForEachSpan(address, count, [&](std::uint32_t key, std::uint32_t, std::size_t, std::size_t) {
        auto& page = m_pages[key];
        if (!page)
            page = std::make_unique<Page>(Page{});
    });
    return true;
}

bool CSimMemory::Write(std::uint32_t address, const std::uint8_t* data, std::size_t count) {
    if (!Reserve(address, count))
        return false;
    SimForEachSpan(
        address, count,
        [&](std::uint32_t key, std::uint32_t offset, std::size_t length, std::size_t done) {
            std::memcpy(m_pages[key]->data() + offset, data + done, length);
        });
    return true;
}

bool CSimMemory::Fill(std::uint32_t address, std::size_t count,
                      const std::array<std::uint8_t, 4>& pattern) {
    if (!Reserve(address, count))
        return false;
    SimForEachSpan(
        address, count,
        [&](std::uint32_t key, std::uint32_t offset, std::size_t length, std::size_t done) {
            std::uint8_t* p = m_pages[key]->data() + offset;
            for (std::size_t i = 0; i < length; ++i)
                p[i] = pattern[(done + i) % 4];
        });
    return true;
}

bool CSimMemory::Copy(std::uint32_t target, std::uint32_t source, std::size_t count) {
    std::vector<std::uint8_t> buffer(count);
    Read(source, buffer.data(), count);
    return Write(target, buffer.data(), count);
}
