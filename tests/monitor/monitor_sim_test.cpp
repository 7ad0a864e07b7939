// The monitor commands and memory images against the module simulator on a pseudo-terminal,
// checked on the bytes that reach the module and on what its memory then holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "comlink.h"
#include "dds.h"
#include "dds_image.h"
#include "diag.h"
#include "exchange.h"
#include "monitor.h"
#include "pty_simulator.h"
#include <unistd.h>

namespace {

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += DIGITS[bytes[i] >> 4];
        text += DIGITS[bytes[i] & 0x0F];
    }
    return text;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    return Hex(bytes.data(), bytes.size());
}

std::string Zeros(std::size_t pairs) {
    return std::string(2 * pairs, '0');
}

std::vector<std::uint8_t> Pattern(std::size_t count, unsigned seed) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + seed + (i >> 8));
    }
    return bytes;
}

class MonitorSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        DiagSetSink([this](std::string_view t) { m_diag.append(t); });
        ASSERT_TRUE(m_sim.Start());
        ASSERT_EQ(OpenComDevice(m_sim.SlavePath(), 115200, 'N', 13, true), LINK_OPEN_OK) << m_diag;
        m_sim.ClearReceived();
        m_diag.clear();
    }
    void TearDown() override {
        CloseComPort();
        m_sim.Stop();
        DiagSetSink({});
    }

    CPtySimulator m_sim;
    std::string m_diag;
};

TEST_F(MonitorSimTest, FlashWriteBelowOneBlockSendsNothingAndCutsToWholeBlocks) {
    EXPECT_EQ(MonitorFW(0x4000, 0x2000, 0xFF), 1);
    EXPECT_EQ(MonitorFW(0x4000, 0x2000, 0), 1);
    // Something sent after them is the first thing the module sees.
    EXPECT_EQ(MonitorMW(0x10, 1), 1);
    EXPECT_EQ(m_sim.Received(), "MW 10 1\r");

    const std::vector<std::uint8_t> source = Pattern(0x200, 3);
    m_sim.WriteMemory(0x2000, source);
    m_sim.ClearReceived();
    EXPECT_EQ(MonitorFW(0x4000, 0x2000, 0x1FF), 0);
    EXPECT_EQ(m_sim.Received(), "FW 4000 2000 100\r");
    EXPECT_EQ(m_diag, ".");
    EXPECT_EQ(m_sim.ReadMemory(0x4000, 0x100),
              std::vector<std::uint8_t>(source.begin(), source.begin() + 0x100));
    EXPECT_EQ(m_sim.ReadMemory(0x4100, 0x10), std::vector<std::uint8_t>(0x10, 0));
}

TEST_F(MonitorSimTest, ByteDumpCutsTheCountToWholeLines) {
    const std::vector<std::uint8_t> memory = Pattern(0x30, 5);
    m_sim.WriteMemory(0x300, memory);
    std::vector<std::uint8_t> out(0x25, 0xEE);
    EXPECT_EQ(MonitorMD1Bytes(0x300, 0x25, out.data()), 0x20);
    EXPECT_EQ(m_sim.Received(), "MD1 300 20\r");
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 0x20),
              std::vector<std::uint8_t>(memory.begin(), memory.begin() + 0x20));
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 0x20, out.end()),
              std::vector<std::uint8_t>(5, 0xEE));

    // Below one line nothing is asked for.
    m_sim.ClearReceived();
    EXPECT_EQ(MonitorMD1Bytes(0x300, 0x0F, out.data()), 0);
    EXPECT_EQ(m_sim.Received(), "");
}

TEST_F(MonitorSimTest, LoadOf300BytesSendsTwoBlocksPaddedWithZeros) {
    const std::vector<std::uint8_t> data = Pattern(300, 1);
    EXPECT_GT(MonitorMF1Bytes(0x100, data.data(), 300), 0);
    EXPECT_EQ(m_sim.Received(), "MF1 100\r" + Hex(data.data(), 256) + "MF1 200\r" +
                                    Hex(data.data() + 256, 44) + Zeros(212));
    EXPECT_EQ(m_diag, "..");
    EXPECT_EQ(m_sim.ReadMemory(0x100, 300), data);
    EXPECT_EQ(m_sim.ReadMemory(0x100 + 300, 212), std::vector<std::uint8_t>(212, 0));
}

TEST_F(MonitorSimTest, WordLoadReversesGroupsOnlyForFlagOne) {
    struct Case {
        int flag;
        std::vector<std::uint8_t> data;
        std::string wire; // the data part of the block, before the "00" filling
    };
    const Case cases[] = {
        {1, {0x11, 0x22, 0x33, 0x44}, "44332211"},
        {1, {0x11, 0x22, 0x33, 0x44, 0x55}, "4433221100000055"}, // filling reversed too
        {0, {0x11, 0x22, 0x33, 0x44}, "11223344"},
        {2, {0x11, 0x22, 0x33, 0x44, 0x55}, "1122334455000000"},
        {-1, {0x11, 0x22, 0x33, 0x44}, "11223344"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flag);
        m_sim.ClearReceived();
        m_diag.clear();
        const auto length = static_cast<std::int32_t>(c.data.size());
        EXPECT_GT(MonitorMF1Words(0x40, c.data.data(), length, c.flag), 0);
        const std::string block = c.wire + Zeros(256 - c.wire.size() / 2);
        EXPECT_EQ(m_sim.Received(), "MF1 40\r" + block);
        EXPECT_EQ(m_diag, ".");
        EXPECT_EQ(Hex(m_sim.ReadMemory(0x40, 256)), block);
    }
}

TEST_F(MonitorSimTest, FixedBlocksSendAll256BytesWithTheirWordOrder) {
    const std::vector<std::uint8_t> data = Pattern(256, 9);
    std::string swapped;
    for (std::size_t i = 0; i < 256; i += 4) {
        const std::uint8_t w[4] = {data[i + 3], data[i + 2], data[i + 1], data[i]};
        swapped += Hex(w, 4);
    }
    EXPECT_EQ(MonitorMF1Block(0x800, data.data()), 0);
    EXPECT_EQ(MonitorMF1BlockSwap(0x900, data.data(), 0), 0);
    EXPECT_EQ(MonitorMF1BlockSwap(0xA00, data.data(), 2), 0); // any non-zero flag swaps
    EXPECT_EQ(m_sim.Received(),
              "MF1 800\r" + Hex(data) + "MF1 900\r" + Hex(data) + "MF1 A00\r" + swapped);
    EXPECT_EQ(m_diag, "...");
    EXPECT_EQ(m_sim.ReadMemory(0x900, 256), data);
}

TEST_F(MonitorSimTest, FillPrintsOneOnlyForAllBitsSet) {
    struct Case {
        std::uint32_t c;
        const char* printed;
        const char* line;
    };
    const Case cases[] = {
        {0u, "0", "MF2 500 8 0\r"},
        {0xFFFFFFFFu, "1", "MF2 500 8 FFFFFFFF\r"},
        {0xFFFFFFFEu, "P", "MF2 500 8 FFFFFFFE\r"},
        {0x7FFFFFFFu, "P", "MF2 500 8 7FFFFFFF\r"},
        {1u, "P", "MF2 500 8 1\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        m_sim.ClearReceived();
        m_diag.clear();
        EXPECT_EQ(MonitorMF2(0x500, 8, c.c), 0);
        EXPECT_EQ(m_diag, c.printed);
        EXPECT_EQ(m_sim.Received(), c.line);
        const std::uint8_t w[4] = {
            static_cast<std::uint8_t>(c.c >> 24), static_cast<std::uint8_t>(c.c >> 16),
            static_cast<std::uint8_t>(c.c >> 8), static_cast<std::uint8_t>(c.c)};
        EXPECT_EQ(m_sim.ReadMemory(0x500, 8),
                  (std::vector<std::uint8_t>{w[0], w[1], w[2], w[3], w[0], w[1], w[2], w[3]}));
    }
}

TEST_F(MonitorSimTest, WordWriteReadAndCompare) {
    EXPECT_EQ(MonitorMW(0x10, 0xDEADBEEF), 1);
    EXPECT_EQ(m_sim.ReadMemory(0x10, 4), (std::vector<std::uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
    bool ok = false;
    EXPECT_EQ(MonitorMR(0x10, &ok), 0xDEADBEEFu);
    EXPECT_TRUE(ok);
    EXPECT_EQ(MonitorMR(0x12345678, &ok), 0u); // never written: reads 0, but a value was read
    EXPECT_TRUE(ok);
    EXPECT_EQ(MonitorMW(0x14, 0x00000001), 1);
    // DEADBEEF + 1
    EXPECT_EQ(MonitorMC(0x10, 8, 0xDEADBEF0u, 0), 0);
    EXPECT_EQ(MonitorMC(0x10, 8, 0xDEADBEEFu, 5), 2);
    EXPECT_EQ(MonitorMC(0x10, 0, 0, 0), -1); // the module refuses a count of 0
    EXPECT_EQ(m_sim.Received(), "MW 10 DEADBEEF\rMR 0010\rMR 12345678\rMW 14 1\rMC 10 8\r"
                                "MC 10 8\rMC 10 0\r");
    EXPECT_EQ(m_diag, "");
}

TEST_F(MonitorSimTest, VersionFillsTheModuleVersion) {
    ComLink.version = ModuleVersion{};
    EXPECT_EQ(MonitorV(), 0);
    EXPECT_STREQ(ComLink.version.name, "QM-TRV");
    EXPECT_EQ(ComLink.version.major, 1);
    EXPECT_EQ(ComLink.version.minor, 2);
    EXPECT_EQ(m_sim.Received(), "V\r");
}

TEST_F(MonitorSimTest, FlashLoadAndEraseReachTheModule) {
    m_sim.WriteMemory(0x800, {1, 2, 3, 4});
    EXPECT_EQ(MonitorFL(0x800, 0x900, 4), 0);
    EXPECT_EQ(m_sim.ReadMemory(0x900, 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(MonitorFE(0x12345), 0);
    EXPECT_EQ(m_sim.Received(), "FL 800 900 4\rFE 12345\r");
    EXPECT_EQ(m_sim.ReadMemory(0x10000, 4), std::vector<std::uint8_t>(4, 0xFF));
    EXPECT_EQ(m_sim.ReadMemory(0x1FFFC, 4), std::vector<std::uint8_t>(4, 0xFF));
}

TEST_F(MonitorSimTest, ResetLeavesTheBannerQueued) {
    EXPECT_EQ(MonitorR(), 0);
    std::string text;
    for (int i = 0; i < 3 && text.find("\r\n>\r\n>") == std::string::npos; ++i) {
        char reply[REPLY_TEXT_SIZE];
        const std::size_t got = ReadReply(reply, sizeof reply);
        if (got == 0) {
            break;
        }
        text.append(reply, got);
    }
    EXPECT_EQ(m_sim.Received(), "R\r\r\r");
    EXPECT_NE(text.find("QM-TRV MONITOR V1.2"), std::string::npos) << text;
}

// An image written to a file, read back, loaded into the module and fetched again comes back
// equal, and the module's memory holds each 4-byte group reversed.
class ImageRoundTripTest : public MonitorSimTest, public ::testing::WithParamInterface<int> {};

TEST_P(ImageRoundTripTest, ComesBackByteForByte) {
    const auto length = static_cast<std::uint32_t>(GetParam());
    const std::uint32_t address = 0x10000 + 0x40;
    std::vector<std::uint8_t> data = Pattern(length, 17);
    const std::string path = ::testing::TempDir() + "monitor_round_" + std::to_string(::getpid()) +
                             "_" + std::to_string(length) + ".img";
    const std::string again = path + ".again";

    DdsImage out;
    out.address = address;
    out.length = length;
    out.data = data.data();
    ASSERT_EQ(DdsImageWrite(path.c_str(), &out), DDS_OK);

    std::vector<std::uint8_t> read(length + 1, 0xEE);
    DdsImage in;
    in.data = read.data();
    in.capacity = length;
    ASSERT_EQ(DdsImageRead(path.c_str(), &in), DDS_OK);
    EXPECT_EQ(in.address, address);
    ASSERT_EQ(in.length, length);
    EXPECT_EQ(std::vector<std::uint8_t>(read.begin(), read.begin() + length), data);
    EXPECT_EQ(read[length], 0xEE);

    const std::uint32_t loaded = DdsImageLoadFile(path.c_str());
    const std::uint32_t blocks = (length + 255) / 256;
    if (length == 0) {
        EXPECT_EQ(loaded, 0u);
        EXPECT_EQ(m_sim.Received(), "");
    } else {
        EXPECT_GT(loaded, 0u);
        EXPECT_LT(loaded, 0x80000000u);
    }
    EXPECT_EQ(m_diag, std::string(blocks, '.'));

    // Memory holds the groups reversed, the last group's filling included.
    const std::uint32_t padded = (length + 3) & ~3u;
    std::vector<std::uint8_t> reversed(padded, 0);
    for (std::uint32_t i = 0; i < padded; ++i) {
        const std::uint32_t source = (i & ~3u) + 3 - (i & 3);
        reversed[i] = source < length ? data[source] : 0;
    }
    EXPECT_EQ(m_sim.ReadMemory(address, padded), reversed);

    std::vector<std::uint8_t> back(length + 1, 0xEE);
    DdsImage fetched;
    fetched.data = back.data();
    fetched.capacity = length;
    ASSERT_EQ(DdsImageFetch(address, length, &fetched), DDS_OK);
    EXPECT_EQ(fetched.address, address);
    ASSERT_EQ(fetched.length, length);
    EXPECT_EQ(std::vector<std::uint8_t>(back.begin(), back.begin() + length), data);
    EXPECT_EQ(back[length], 0xEE);

    // Saved again, the file is the same file; a record loads as its file does.
    ASSERT_EQ(DdsImageWrite(again.c_str(), &fetched), DDS_OK);
    std::vector<std::uint8_t> reread(length + 1);
    DdsImage second;
    second.data = reread.data();
    second.capacity = length;
    ASSERT_EQ(DdsImageRead(again.c_str(), &second), DDS_OK);
    EXPECT_EQ(std::vector<std::uint8_t>(reread.begin(), reread.begin() + length), data);
    m_sim.ClearReceived();
    if (length > 0) {
        in.address = address + 0x2000;
        EXPECT_GT(DdsImageLoadRecord(&in), 0u);
        EXPECT_EQ(m_sim.ReadMemory(address + 0x2000, padded), reversed);
    }
    std::remove(path.c_str());
    std::remove(again.c_str());
}

INSTANTIATE_TEST_SUITE_P(Lengths, ImageRoundTripTest, ::testing::Values(0, 1, 255, 256, 257, 4096));

} // namespace
