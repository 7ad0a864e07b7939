#include "dds_image.h"

#include <climits>
#include <cstdio>
#include <memory>
#include <vector>

#include "dds.h"
#include "diag.h"
#include "monitor.h"

namespace {

constexpr std::uint32_t FETCH_PIECE = 4096; // bytes read with one "MD1" dump
constexpr int REVERSED_WORDS = 1;           // MonitorMF1Words: each 4-byte group last byte first

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr OpenFile(const char* path, const char* mode) {
    FilePtr file(path ? std::fopen(path, mode) : nullptr);
    if (!file) {
        DiagWrite("File Open Failed\n");
    }
    return file;
}

std::uint32_t GetLe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// Reads the header of an open image file and checks the length word against the bytes that
// follow it. On success the file stands at the first data byte.
bool ReadHeader(std::FILE* file, std::uint32_t* address, std::uint32_t* length) {
    std::uint8_t header[DDS_IMAGE_HEADER_SIZE];
    if (std::fread(header, 1, sizeof header, file) != sizeof header) {
        return false;
    }
    // The bytes after the header, measured without trusting the length word.
    if (std::fseek(file, 0, SEEK_END) != 0) {
        return false;
    }
    const long end = std::ftell(file);
    if (end < static_cast<long>(DDS_IMAGE_HEADER_SIZE) ||
        std::fseek(file, static_cast<long>(DDS_IMAGE_HEADER_SIZE), SEEK_SET) != 0) {
        return false;
    }
    const auto remaining = static_cast<unsigned long>(end) - DDS_IMAGE_HEADER_SIZE;
    *address = GetLe32(header);
    *length = GetLe32(header + 4);
    return *length <= remaining;
}

std::uint32_t LoadData(std::uint32_t address, const std::uint8_t* data, std::uint32_t length) {
    if (length > static_cast<std::uint32_t>(INT32_MAX)) {
        return DDS_E_VALUE;
    }
    const int r = MonitorMF1Words(address, data, static_cast<std::int32_t>(length), REVERSED_WORDS);
    return static_cast<std::uint32_t>(r);
}

} // namespace

std::uint32_t DdsImageReadHeader(const char* path, DdsImage* image) {
    if (!image) {
        return DDS_E_FILE;
    }
    FilePtr file = OpenFile(path, "rb");
    std::uint32_t address = 0;
    std::uint32_t length = 0;
    if (!file || !ReadHeader(file.get(), &address, &length)) {
        return DDS_E_FILE;
    }
    image->address = address;
    image->length = length;
    return DDS_OK;
}

std::uint32_t DdsImageRead(const char* path, DdsImage* image) {
    if (!image) {
        return DDS_E_FILE;
    }
    FilePtr file = OpenFile(path, "rb");
    if (!file) {
        return DDS_E_FILE;
    }
    return DdsImageReadFrom(file.get(), image);
}

std::uint32_t DdsImageReadFrom(std::FILE* file, DdsImage* image) {
    std::uint32_t address = 0;
    std::uint32_t length = 0;
    if (!image || !file || !ReadHeader(file, &address, &length)) {
        return DDS_E_FILE;
    }
    const std::uint32_t capacity = image->data ? image->capacity : 0;
    if (length > capacity) {
        return DDS_E_FILE;
    }
    if (length > 0 && std::fread(image->data, 1, length, file) != length) {
        return DDS_E_FILE;
    }
    image->address = address;
    image->length = length;
    return DDS_OK;
}

std::uint32_t DdsImageWrite(const char* path, const DdsImage* image) {
    if (!image || (!image->data && image->length > 0)) {
        return DDS_E_FILE;
    }
    FilePtr file = OpenFile(path, "wb");
    if (!file) {
        return DDS_E_FILE;
    }
    std::uint8_t header[DDS_IMAGE_HEADER_SIZE];
    PutLe32(header, image->address);
    PutLe32(header + 4, image->length);
    bool ok = std::fwrite(header, 1, sizeof header, file.get()) == sizeof header;
    if (ok && image->length > 0) {
        ok = std::fwrite(image->data, 1, image->length, file.get()) == image->length;
    }
    // Buffered bytes are written at close; a failure there (a full disk) is a failed write too.
    std::FILE* raw = file.release();
    ok = std::fclose(raw) == 0 && ok;
    return ok ? DDS_OK : DDS_E_FILE;
}

std::uint32_t DdsImageLoadFile(const char* path) {
    FilePtr file = OpenFile(path, "rb");
    std::uint32_t address = 0;
    std::uint32_t length = 0;
    if (!file || !ReadHeader(file.get(), &address, &length)) {
        return DDS_E_FILE;
    }
    if (length > static_cast<std::uint32_t>(INT32_MAX)) {
        return DDS_E_VALUE;
    }
    // The length word has been checked against the file's size, so this buffer is no larger
    // than the file.
    std::vector<std::uint8_t> data(length);
    if (length > 0 && std::fread(data.data(), 1, length, file.get()) != length) {
        return DDS_E_FILE;
    }
    file.reset();
    return LoadData(address, data.data(), length);
}

std::uint32_t DdsImageLoadRecord(const DdsImage* image) {
    if (!image || (!image->data && image->length > 0)) {
        return DDS_E_FILE;
    }
    return LoadData(image->address, image->data, image->length);
}

std::uint32_t DdsImageFetch(std::uint32_t address, std::uint32_t length, DdsImage* image) {
    if (!image) {
        return DDS_E_FILE;
    }
    if (length > 0 && (!image->data || image->capacity < length)) {
        return DDS_E_VALUE;
    }
    image->address = address;
    std::vector<std::uint32_t> words(FETCH_PIECE / 4);
    std::uint32_t done = 0;
    while (done < length) {
        const std::uint32_t piece = length - done < FETCH_PIECE ? length - done : FETCH_PIECE;
        const std::uint32_t asked = (piece + 15) & ~15u; // whole dump lines
        const int got = MonitorMD1Words(address + done, asked, words.data());
        const std::uint32_t bytes = static_cast<std::uint32_t>(got) * 4;
        const std::uint32_t take = bytes < piece ? bytes : piece;
        for (std::uint32_t i = 0; i < take; ++i) {
            // Memory holds each group reversed: the word's least significant byte is the
            // group's first image byte.
            image->data[done + i] = static_cast<std::uint8_t>(words[i / 4] >> (8 * (i % 4)));
        }
        done += take;
        if (take < piece) {
            image->length = done;
            return DDS_E_REPLY;
        }
    }
    image->length = done;
    return DDS_OK;
}
