// An image file as any bytes: the reader accepts exactly the files whose length word fits both
// the bytes after the header and the caller's buffer, copies exactly those bytes, and leaves
// the record alone otherwise.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "dds.h"
#include "dds_image.h"

namespace {

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

void Check(const std::uint8_t* data, std::size_t size, std::uint32_t capacity) {
    // fmemopen refuses a buffer of 0 bytes; an empty file is a file without a header.
    std::vector<std::uint8_t> file(data, data + size);
    std::FILE* f = size > 0 ? fmemopen(file.data(), file.size(), "rb") : nullptr;
    if (size > 0 && !f) {
        return;
    }
    std::vector<std::uint8_t> buffer(capacity, 0xEE); // exactly capacity: overruns are caught
    DdsImage image;
    image.address = 0x5A5A5A5A;
    image.length = 0xA5A5A5A5;
    image.data = capacity > 0 ? buffer.data() : nullptr;
    image.capacity = capacity;
    const std::uint32_t r = f ? DdsImageReadFrom(f, &image) : DdsImageReadFrom(nullptr, &image);
    if (f) {
        std::fclose(f);
    }

    const bool header = size >= DDS_IMAGE_HEADER_SIZE;
    const std::uint32_t length = header ? Le32(data + 4) : 0;
    const bool fits = header && length <= size - DDS_IMAGE_HEADER_SIZE && length <= capacity;
    if (r == DDS_OK) {
        if (!fits || image.address != Le32(data) || image.length != length ||
            (length > 0 && std::memcmp(buffer.data(), data + DDS_IMAGE_HEADER_SIZE, length) != 0)) {
            __builtin_trap();
        }
        for (std::size_t i = length; i < buffer.size(); ++i) {
            if (buffer[i] != 0xEE) {
                __builtin_trap(); // written beyond the image
            }
        }
    } else if (r == DDS_E_FILE) {
        if (fits || image.address != 0x5A5A5A5A || image.length != 0xA5A5A5A5) {
            __builtin_trap();
        }
    } else {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The same file into a buffer of its own length word, one byte short of it, and a fixed one.
    const std::uint32_t length = size >= DDS_IMAGE_HEADER_SIZE ? Le32(data + 4) : 0;
    if (length <= (1u << 16)) {
        Check(data, size, length);
        if (length > 0) {
            Check(data, size, length - 1);
        }
    }
    Check(data, size, 4096);
    return 0;
}
