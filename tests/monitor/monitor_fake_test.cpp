// The monitor commands against a scripted far end that answers what the simulator never does:
// over-long fields, error answers, garbage in dumps, replies longer than their buffers, and a
// reply cut between two prompts.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "comlink.h"
#include "diag.h"
#include "fake_module.h"
#include "monitor.h"

namespace {

// Answers every line with the echo, the answer lines given for it and the prompt; the probe
// with CR LF and the prompt; lines it does not know with the echo alone.
class MonitorFakeTest : public ::testing::Test {
protected:
    void SetUp() override {
        DiagSetSink([this](std::string_view t) { m_diag.append(t); });
    }
    void TearDown() override {
        CloseComPort();
        DiagSetSink({});
    }

    // Starts the far end with the answers for each command line and opens the link to it.
    void Start(std::map<std::string, std::vector<FakeChunk>> script) {
        m_module = std::make_unique<CFakeModule>([script](const std::string& line) {
            if (line.empty()) {
                return std::vector<FakeChunk>{{"\r\n>", 0}};
            }
            const auto it = script.find(line);
            return it != script.end() ? it->second : CFakeModule::Reply(line, {});
        });
        ASSERT_EQ(OpenComDevice(m_module->SlavePath(), 115200, 'N', 13, true), LINK_OPEN_OK);
        m_diag.clear();
    }

    static std::vector<FakeChunk> Answer(const std::string& line,
                                         const std::vector<std::string>& answers) {
        return CFakeModule::Reply(line, answers);
    }

    std::unique_ptr<CFakeModule> m_module;
    std::string m_diag;
};

TEST_F(MonitorFakeTest, VersionFieldsAreReadWithoutOverrun) {
    struct Case {
        std::string field; // answer line of "V"
        int result;
        const char* name;
        int major;
        int minor;
    };
    const std::string long33 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ V1.234"; // 33 characters
    const std::string exact32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ V1.23";
    const Case cases[] = {
        {"qm-trv v1.2", 0, "QM-TRV", 1, 2},
        {exact32, 0, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 1, 23},
        {long33, -1, "KEEP", 9, 9},
        // A minor version of more than 15 characters: the first 15 are read.
        {"X V1.0000000000000071234", 0, "X", 1, 7},
        {"X V1.99999999999999999", 0, "X", 1, INT_MAX},
        {"NAME V7", 0, "NAME", 7, 0}, // no ".": the whole field is in front of it
        {"V2.5", 0, "", 2, 5},        // name of d - 3 < 0 characters: empty
        {".5", -1, "KEEP", 9, 9},     // nothing in front of the "."
        {"", -1, "KEEP", 9, 9},       // an empty field 1
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        Start({{"V", Answer("V", {c.field})}});
        ModuleVersion keep;
        std::snprintf(keep.name, sizeof keep.name, "KEEP");
        keep.major = 9;
        keep.minor = 9;
        ComLink.version = keep;
        EXPECT_EQ(MonitorV(), c.result);
        EXPECT_STREQ(ComLink.version.name, c.name);
        EXPECT_EQ(ComLink.version.major, c.major);
        EXPECT_EQ(ComLink.version.minor, c.minor);
        CloseComPort();
    }
    // Two answer fields: not a version reply.
    Start({{"V", Answer("V", {"QM V1.2,EXTRA"})}});
    ComLink.version = ModuleVersion{};
    EXPECT_EQ(MonitorV(), -1);
    EXPECT_EQ(ComLink.version.major, 0);
}

TEST_F(MonitorFakeTest, ReadValueComesFromPosition18OfField1) {
    struct Case {
        std::string field;
        std::uint32_t value;
        bool ok;
    };
    const Case cases[] = {
        {"00000010 : DATA = 1234ABCD", 0x1234ABCDu, true},
        {"00000010 : DATA = 1234abcd", 0x1234ABCDu, true}, // upper-cased by the split
        {"00000010 : DATA = 12G4", 0x12u, true},           // reading stops at the G
        {"00000010 : DATA = 00000000FF", 0xFFu, true},     // 10 characters are read
        {"00000010 : DATA = 123456789A", 0xFFFFFFFFu, false},
        {"00000010 : DATA = ", 0u, false},   // 18 characters: nothing at position 18
        {"00000010 : DATA =", 0u, false},    // shorter than the position
        {"00000010 : DATA = ZZ", 0u, false}, // no digit
        {"", 0u, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        Start({{"MR 0010", Answer("MR 0010", {c.field})}});
        bool ok = !c.ok;
        EXPECT_EQ(MonitorMR(0x10, &ok), c.value);
        EXPECT_EQ(ok, c.ok);
        CloseComPort();
    }
    // The echo alone: no field 1 at all.
    Start({{"MR 0010", Answer("MR 0010", {})}});
    bool ok = true;
    EXPECT_EQ(MonitorMR(0x10, &ok), 0u);
    EXPECT_FALSE(ok);
    EXPECT_EQ(MonitorMR(0x10), 0u); // ok may be left out
}

TEST_F(MonitorFakeTest, CompareTellsMatchMismatchEchoAndErrors) {
    struct Case {
        std::vector<std::string> answers; // answer lines of "MC 10 8"
        int result;
        const char* printed;
    };
    const Case cases[] = {
        {{"0000002A"}, 0, ""},
        {{"2a"}, 0, ""},
        {{"0000002B"}, 2, ""},
        {{"100000002A"}, 2, ""}, // wider than 32 bits: never the 32-bit 2A
        {{"ERR,RANGE"}, -1, ""},
        {{"Err"}, -1, ""}, // any case: fields are upper case
        {{"XYZ"}, -1, ""}, // no number
        {{}, 1, "X"},      // the echo alone
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answers.empty() ? std::string("echo") : c.answers[0]);
        Start({{"MC 10 8", Answer("MC 10 8", c.answers)}});
        EXPECT_EQ(MonitorMC(0x10, 8, 0x2A, 0), c.result);
        EXPECT_EQ(m_diag, c.printed);
        CloseComPort();
    }
    // A reply that is neither the echo nor carries a field 1.
    Start({{"MC 10 8", std::vector<FakeChunk>{{"NOISE\r\n>", 0}}}});
    EXPECT_EQ(MonitorMC(0x10, 8, 0, 0), -1);
}

TEST_F(MonitorFakeTest, FillAndWriteTellTheEchoAlone) {
    Start({{"MW 10 5", Answer("MW 10 5", {"ERR,SYNTAX"})}});
    EXPECT_EQ(MonitorMW(0x10, 5), 0);
    EXPECT_EQ(MonitorMW(0x10, 6), 1); // the echo alone
    EXPECT_EQ(MonitorMF2(0, 8, 0xFFFFFFFFu), 1);
    EXPECT_EQ(m_diag, "X");
}

TEST_F(MonitorFakeTest, DumpsNeverWriteBeyondTheirCounts) {
    // Far more hexadecimal text than 16 bytes: the reply buffer keeps its first 2n+64
    // characters and the output gets at most n bytes (n words of 4 for the word dump).
    const std::string flood(600, 'A');
    Start({{"MD1 0 10", Answer("MD1 0 10", {flood})},
           {"SA", Answer("SA", {})},
           {"DA", Answer("DA", {flood})}});
    std::vector<std::uint8_t> bytes(64, 0xEE);
    EXPECT_EQ(MonitorMD1Bytes(0, 0x10, bytes.data()), 16);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 16),
              std::vector<std::uint8_t>(16, 0xAA));
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 16, bytes.end()),
              std::vector<std::uint8_t>(48, 0xEE));

    std::vector<std::uint32_t> words(16, 0xEEEEEEEEu);
    EXPECT_EQ(MonitorMD1Words(0, 0x10, words.data()), 4);
    EXPECT_EQ(words[3], 0xAAAAAAAAu);
    EXPECT_EQ(words[4], 0xEEEEEEEEu);

    std::fill(bytes.begin(), bytes.end(), 0xEE);
    EXPECT_EQ(MonitorSADA(0, 0x10, bytes.data()), 16);
    EXPECT_EQ(bytes[15], 0xAA);
    EXPECT_EQ(bytes[16], 0xEE);

    // Counts beyond the largest dump are refused without sending anything.
    const std::string before = m_module->Received();
    EXPECT_EQ(MonitorMD1Bytes(0, MONITOR_DUMP_MAX + 16, bytes.data()), 0);
    EXPECT_EQ(MonitorMD1Words(0, 0xFFFFFFF0u, words.data()), 0);
    EXPECT_EQ(MonitorSADA(0, 0xFFFFFFFFu, bytes.data()), 0);
    EXPECT_EQ(MonitorMD1Bytes(0, 0x10, nullptr), 0);
    EXPECT_EQ(m_module->Received(), before);
}

TEST_F(MonitorFakeTest, DumpsStopAtTheFirstMalformedPair) {
    Start({{"MD1 0 10", Answer("MD1 0 10", {"0102G30405060708090A0B0C0D0E0F10"})},
           {"MD1 10 10", Answer("MD1 10 10", {"ERR,RANGE"})},
           {"MD1 20 10", Answer("MD1 20 10", {"1122334455667788 99AABBCCDDEEFF00"})}});
    std::vector<std::uint8_t> bytes(16, 0xEE);
    EXPECT_EQ(MonitorMD1Bytes(0, 0x10, bytes.data()), 2);
    EXPECT_EQ(bytes[0], 0x01);
    EXPECT_EQ(bytes[1], 0x02);
    EXPECT_EQ(bytes[2], 0xEE);
    EXPECT_EQ(MonitorMD1Bytes(0x10, 0x10, bytes.data()), 0); // an error answer is no data
    std::vector<std::uint32_t> words(4, 0);
    EXPECT_EQ(MonitorMD1Words(0x20, 0x10, words.data()), 2);
    EXPECT_EQ(words[1], 0x55667788u);
}

TEST_F(MonitorFakeTest, WordDumpResendsOnceWhenTheLengthDiffers) {
    // "MD1 0 10" + CR LF + 32 characters + CR LF + ">" is 45 bytes; the expected length for a
    // count of 0x13 is 2 * 0x13 + 19 = 57, and for 0x10 it is 51: both differ.
    const std::string data(32, '1');
    Start({{"MD1 0 10", Answer("MD1 0 10", {data})},
           {"MD1 1000000 10", Answer("MD1 1000000 10", {data})}});
    std::vector<std::uint32_t> words(4, 0);
    EXPECT_EQ(MonitorMD1Words(0, 0x13, words.data()), 4);
    EXPECT_EQ(m_module->Received(), "\rMD1 0 10\rMD1 0 10\r");
    EXPECT_EQ(m_diag, ".");
    EXPECT_EQ(words[3], 0x11111111u);

    // "MD1 1000000 10": 14 characters of echo make the reply 51 bytes, the expected length of
    // a count of 0x10: sent once, nothing printed.
    m_diag.clear();
    EXPECT_EQ(MonitorMD1Words(0x1000000, 0x10, words.data()), 4);
    EXPECT_EQ(m_module->Received(), "\rMD1 0 10\rMD1 0 10\rMD1 1000000 10\r");
    EXPECT_EQ(m_diag, "");
}

TEST_F(MonitorFakeTest, SaDaReadsOnWhenTheFirstReplyEndsAtTheFirstPrompt) {
    // The "DA" reply comes well after the "SA" reply, so the first read ends at SA's prompt.
    const std::string data = "000102030405060708090A0B0C0D0E0F";
    std::vector<FakeChunk> da = Answer("DA", {data + "1234"});
    da[0].delayMsBefore = 300;
    Start({{"SA", Answer("SA", {})}, {"DA", da}});
    std::vector<std::uint8_t> bytes(16, 0xEE);
    // "SA" CR LF ">" "DA" CR LF: data from character 9 on; pairs are read while they start
    // below the reply length minus 8, so "1234" CR LF ">" after the data are not.
    EXPECT_EQ(MonitorSADA(0, 0x10, bytes.data()), 16);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(bytes[i], i);
    }
    EXPECT_EQ(m_module->Received(), "\rSA\rDA\r");
    // Nothing of the dump is left for the next command.
    EXPECT_EQ(MonitorMW(0x10, 5), 1);
}

TEST_F(MonitorFakeTest, FlashLoadWithoutAnswerReportsNothingReceived) {
    // The polling reader gives up after 200 idle polls of 2 ms.
    Start({{"FL 1 2 3", std::vector<FakeChunk>{}}});
    EXPECT_EQ(MonitorFL(1, 2, 3), 1);
    EXPECT_EQ(m_diag, "T");
}

} // namespace
