// Memory images: a block of data for the module's memory together with its load address, as a
// record in memory and as a file, and the transfers between them and the module.
//
// Image file: the load address and the length in bytes as two little-endian 32-bit words, then
// the data bytes. Bytes after the data are ignored.
//
// Images go to the module with the word-reversed "MF1" transfer (MonitorMF1Words with reversal
// 1): each group of 4 image bytes b0 b1 b2 b3 is sent b3 b2 b1 b0, so the module's memory holds
// it reversed. DdsImageFetch undoes that when it reads memory back, so an image loaded and
// fetched again comes back byte for byte.
#pragma once

#include <cstdint>
#include <cstdio>

// An image record. data points at the caller's buffer of capacity bytes; length bytes of it are
// the image.
struct DdsImage {
    std::uint32_t address = 0;    // load address in module memory
    std::uint32_t length = 0;     // bytes of image data
    std::uint8_t* data = nullptr; // the data (the caller's buffer)
    std::uint32_t capacity = 0;   // bytes the buffer holds (for reading into it)
};

// Size of the header of an image file: address and length words.
constexpr std::uint32_t DDS_IMAGE_HEADER_SIZE = 8;

// Reads only the header of an image file: fills image->address and image->length (so a caller
// can size a buffer) and leaves data and capacity alone. Returns DDS_OK; DDS_E_FILE for a null
// image, a file that does not open ("File Open Failed\n" printed), a file shorter than its
// header, or a length word larger than the bytes that follow the header.
std::uint32_t DdsImageReadHeader(const char* path, DdsImage* image);

// Reads an image file into a record: address, length and the data into image->data. Returns
// DDS_OK; DDS_E_FILE for a null image, a file that does not open ("File Open Failed\n"
// printed), a file shorter than its header, a length word larger than the bytes that follow the
// header (a cut file) or larger than image->capacity (data null counts as capacity 0), or a
// read error. On DDS_E_FILE the record is left unchanged, except that its buffer may hold part
// of the data when the read itself failed.
std::uint32_t DdsImageRead(const char* path, DdsImage* image);

// The same from a file opened for binary reading and standing at its start (its size is taken by
// seeking to its end): DdsImageRead without opening and closing. DDS_E_FILE for a null file, else
// as DdsImageRead. The file stays open.
std::uint32_t DdsImageReadFrom(std::FILE* file, DdsImage* image);

// Writes a record to an image file (created or truncated): header and the length bytes of
// data. Returns DDS_OK; DDS_E_FILE for a null image, null data with a length above 0, a file
// that does not open ("File Open Failed\n" printed) or a failed write.
std::uint32_t DdsImageWrite(const char* path, const DdsImage* image);

// Reads an image file and writes its data to module memory at its load address with the
// word-reversed "MF1" transfer. Returns what MonitorMF1Words returns (the byte count of the
// last block's reply; 0 for an empty image or no reply); DDS_E_FILE when the file cannot be
// read as DdsImageRead describes ("File Open Failed\n" when it does not open); DDS_E_VALUE for
// an image above 2^31 - 1 bytes, which one transfer cannot carry.
std::uint32_t DdsImageLoadFile(const char* path);

// Writes a record's data to module memory at its load address with the word-reversed "MF1"
// transfer. Returns what MonitorMF1Words returns; DDS_E_FILE for a null record or null data
// with a length above 0; DDS_E_VALUE for a length above 2^31 - 1.
std::uint32_t DdsImageLoadRecord(const DdsImage* image);

// Reads length bytes of module memory from address on into a record (address and length are
// set, data goes to image->data), with the "MD1" word dump in pieces of up to 4096 bytes,
// undoing the word reversal of the load: the words read back are stored least significant byte
// first. Dumps come in whole lines of 16 bytes, so each piece is read rounded up and cut.
// Returns DDS_OK; DDS_E_FILE for a null record; DDS_E_VALUE when the buffer cannot hold length
// bytes; DDS_E_REPLY when the module returned fewer bytes than asked for (the record's length
// is then the number of bytes that did arrive).
std::uint32_t DdsImageFetch(std::uint32_t address, std::uint32_t length, DdsImage* image);
