// The monitor utilities, every monitor operation on a closed link, and image files on disk:
// nothing here needs a module.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "comlink.h"
#include "dds.h"
#include "dds_image.h"
#include "diag.h"
#include "monitor.h"
#include <unistd.h>

namespace {

class MonitorUtilTest : public ::testing::Test {
protected:
    void SetUp() override {
        CloseComPort();
        DiagSetSink([this](std::string_view t) { m_diag.append(t); });
    }
    void TearDown() override { DiagSetSink({}); }
    std::string m_diag;
};

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "monitor_util_" + std::to_string(::getpid()) + "_" + name;
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    std::fclose(f);
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        return bytes;
    }
    int c = 0;
    while ((c = std::fgetc(f)) != EOF) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    std::fclose(f);
    return bytes;
}

TEST_F(MonitorUtilTest, IsHexDigitTakesDigitsAndBothCasesOfAToF) {
    std::string accepted;
    for (int c = 0; c < 256; ++c) {
        if (IsHexDigit(c) == 1) {
            accepted.push_back(static_cast<char>(c));
        } else {
            EXPECT_EQ(IsHexDigit(c), 0) << c;
        }
    }
    EXPECT_EQ(accepted, "0123456789ABCDEFabcdef");
    EXPECT_EQ(IsHexDigit(-1), 0);
}

TEST_F(MonitorUtilTest, SumWordsBEAddsWholeBigEndianGroupsOnly) {
    const std::uint8_t example[] = {0, 0, 0, 1, 0, 0, 0, 2, 5};
    EXPECT_EQ(SumWordsBE(0, example, sizeof example), 3u);
    const std::uint8_t big[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(SumWordsBE(2, big, sizeof big), 0x12345679u); // modulo 2^32
    EXPECT_EQ(SumWordsBE(7, big, 3), 7u);
    EXPECT_EQ(SumWordsBE(7, nullptr, 8), 7u);
}

TEST_F(MonitorUtilTest, MirrorBitsReversesEachByte) {
    const std::uint8_t in[] = {0x01, 0x80, 0x0F, 0xA5, 0x12, 0x00, 0xFF};
    const std::uint8_t want[] = {0x80, 0x01, 0xF0, 0xA5, 0x48, 0x00, 0xFF};
    std::uint8_t out[sizeof in] = {};
    EXPECT_EQ(MirrorBits(in, out, sizeof in), sizeof in);
    for (std::size_t i = 0; i < sizeof in; ++i) {
        EXPECT_EQ(out[i], want[i]) << i;
    }
    std::uint8_t same[] = {0x01, 0x02};
    EXPECT_EQ(MirrorBits(same, same, 2), 2u);
    EXPECT_EQ(same[0], 0x80);
    EXPECT_EQ(same[1], 0x40);
    EXPECT_EQ(MirrorBits(nullptr, out, 3), 0u);
}

TEST_F(MonitorUtilTest, LegacyStubPrintsAndReturnsZero) {
    EXPECT_EQ(LegacyStub(), 0);
    EXPECT_EQ(m_diag, "Legacy Function\n");
}

// A closed link: every operation returns at once with its "nothing received" result, sends
// nothing and leaves the output buffers and the module version alone.
TEST_F(MonitorUtilTest, ClosedLinkGivesNothingReceivedResults) {
    ComLink.version = ModuleVersion{};
    ComLink.version.major = 7;
    std::uint8_t bytes[64];
    std::uint32_t words[16];
    std::fill(std::begin(bytes), std::end(bytes), 0xEE);
    std::fill(std::begin(words), std::end(words), 0xEEEEEEEEu);
    bool ok = true;

    EXPECT_EQ(MonitorV(), -1);
    EXPECT_EQ(ComLink.version.major, 7);
    EXPECT_EQ(MonitorMR(0x10, &ok), 0u);
    EXPECT_FALSE(ok);
    EXPECT_EQ(MonitorMW(0x10, 1), 0);
    EXPECT_EQ(MonitorMC(0, 16, 0, 0), -1);
    EXPECT_EQ(MonitorMF2(0, 16, 0xFFFFFFFFu), 0);
    EXPECT_EQ(MonitorMD1Bytes(0, 64, bytes), 0);
    EXPECT_EQ(MonitorMD1Words(0, 64, words), 0);
    EXPECT_EQ(MonitorSADA(0, 64, bytes), 0);
    EXPECT_EQ(MonitorMF1Bytes(0, bytes, 64), 0);
    EXPECT_EQ(MonitorMF1Words(0, bytes, 64, 1), 0);
    EXPECT_EQ(MonitorMF1Block(0, bytes), 0); // a buffer of 64: sending would read past it
    EXPECT_EQ(MonitorMF1BlockSwap(0, bytes, 1), 0);
    EXPECT_EQ(MonitorFE(0), 0);
    EXPECT_EQ(MonitorFL(0, 0x100, 0x100), 1);
    EXPECT_EQ(MonitorFW(0, 0x100, 0x100), 1);
    EXPECT_EQ(MonitorR(), 0);
    for (std::uint8_t b : bytes) {
        EXPECT_EQ(b, 0xEE);
    }
    for (std::uint32_t w : words) {
        EXPECT_EQ(w, 0xEEEEEEEEu);
    }
    EXPECT_EQ(m_diag, ""); // no progress characters, no "T": nothing was waited for

    DdsImage image;
    image.data = bytes;
    image.capacity = sizeof bytes;
    image.length = 16;
    EXPECT_EQ(DdsImageLoadRecord(&image), 0u);
    EXPECT_EQ(DdsImageFetch(0x40, 16, &image), DDS_E_REPLY);
    EXPECT_EQ(image.length, 0u);
}

TEST_F(MonitorUtilTest, ImageFileWriteAndReadAgree) {
    const std::string path = TempPath("agree.img");
    std::vector<std::uint8_t> data = {1, 2, 3, 4, 5};
    DdsImage out;
    out.address = 0x12345678;
    out.length = 5;
    out.data = data.data();
    ASSERT_EQ(DdsImageWrite(path.c_str(), &out), DDS_OK);
    EXPECT_EQ(ReadBytes(path),
              (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12, 5, 0, 0, 0, 1, 2, 3, 4, 5}));

    DdsImage header;
    ASSERT_EQ(DdsImageReadHeader(path.c_str(), &header), DDS_OK);
    EXPECT_EQ(header.address, 0x12345678u);
    EXPECT_EQ(header.length, 5u);

    std::vector<std::uint8_t> buffer(5, 0);
    DdsImage in;
    in.data = buffer.data();
    in.capacity = 5; // exactly the length
    ASSERT_EQ(DdsImageRead(path.c_str(), &in), DDS_OK);
    EXPECT_EQ(in.address, 0x12345678u);
    EXPECT_EQ(in.length, 5u);
    EXPECT_EQ(buffer, data);
    EXPECT_EQ(m_diag, "");
    std::remove(path.c_str());
}

// Image files that cannot be read as they say: each is refused with DDS_E_FILE and the record
// keeps what it had. Only a file that does not open prints "File Open Failed".
TEST_F(MonitorUtilTest, BadImageFilesAreRefused) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes; // the file; empty name part means "no file"
        std::uint32_t capacity;
        bool exists;
    };
    const Case cases[] = {
        {"missing", {}, 16, false},
        {"empty", {}, 16, true},
        {"short header", {0, 1, 0, 0, 4, 0}, 16, true},
        {"length beyond file", {0, 1, 0, 0, 6, 0, 0, 0, 1, 2, 3, 4, 5}, 16, true},
        {"length word huge", {0, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2}, 16, true},
        {"length beyond buffer", {0, 1, 0, 0, 5, 0, 0, 0, 1, 2, 3, 4, 5}, 4, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_diag.clear();
        const std::string path = TempPath("bad.img");
        std::remove(path.c_str());
        if (c.exists) {
            WriteBytes(path, c.bytes);
        }
        std::vector<std::uint8_t> buffer(16, 0xEE);
        DdsImage image;
        image.address = 0xAAAA;
        image.length = 3;
        image.data = buffer.data();
        image.capacity = c.capacity;
        EXPECT_EQ(DdsImageRead(path.c_str(), &image), DDS_E_FILE);
        EXPECT_EQ(image.address, 0xAAAAu);
        EXPECT_EQ(image.length, 3u);
        EXPECT_EQ(buffer, std::vector<std::uint8_t>(16, 0xEE));
        const bool headerBad = std::string(c.name) != "length beyond buffer";
        if (headerBad) {
            DdsImage header;
            EXPECT_EQ(DdsImageReadHeader(path.c_str(), &header), DDS_E_FILE);
            // Refused before anything is sent, so no module is needed to tell.
            EXPECT_EQ(DdsImageLoadFile(path.c_str()), DDS_E_FILE);
        }
        EXPECT_EQ(m_diag.find("File Open Failed\n") != std::string::npos, !c.exists) << m_diag;
        std::remove(path.c_str());
    }
}

TEST_F(MonitorUtilTest, MissingRecordsAndUnwritableFilesAreRefused) {
    const std::string path = TempPath("record.img");
    EXPECT_EQ(DdsImageRead(path.c_str(), nullptr), DDS_E_FILE);
    EXPECT_EQ(DdsImageReadHeader(path.c_str(), nullptr), DDS_E_FILE);
    EXPECT_EQ(DdsImageWrite(path.c_str(), nullptr), DDS_E_FILE);
    EXPECT_EQ(DdsImageLoadRecord(nullptr), DDS_E_FILE);
    EXPECT_EQ(DdsImageFetch(0, 4, nullptr), DDS_E_FILE);
    DdsImage noData;
    noData.length = 4;
    EXPECT_EQ(DdsImageWrite(path.c_str(), &noData), DDS_E_FILE);
    EXPECT_EQ(DdsImageLoadRecord(&noData), DDS_E_FILE);
    EXPECT_EQ(m_diag, "");

    std::uint8_t small[4] = {};
    DdsImage tooSmall;
    tooSmall.data = small;
    tooSmall.capacity = 4;
    EXPECT_EQ(DdsImageFetch(0, 5, &tooSmall), DDS_E_VALUE);

    const std::string unwritable = TempPath("no/such/dir/x.img");
    DdsImage empty;
    EXPECT_EQ(DdsImageWrite(unwritable.c_str(), &empty), DDS_E_FILE);
    EXPECT_EQ(m_diag, "File Open Failed\n");
}

} // namespace
