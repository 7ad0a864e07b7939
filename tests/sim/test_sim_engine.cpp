// The simulator's protocol engine, on the exact bytes it sends back.
#include "sim_engine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// What the engine sends for some input, with the transport's instructions written inline.
std::string Talk(CSimEngine& engine, std::string_view input) {
    std::vector<SimOutput> out;
    engine.Feed(input, out);
    std::string text;
    for (const SimOutput& item : out) {
        switch (item.kind) {
        case SimOutKind::Bytes:
            text += item.bytes;
            break;
        case SimOutKind::Pause:
            text += "{pause " + std::to_string(item.pauseMs) + "}";
            break;
        case SimOutKind::HangUp:
            text += "{hangup}";
            break;
        case SimOutKind::Flood:
            text += "{flood}";
            break;
        }
    }
    return text;
}

std::string HexBlock(const std::vector<std::uint8_t>& bytes, bool lower) {
    static const char* upperDigits = "0123456789ABCDEF";
    static const char* lowerDigits = "0123456789abcdef";
    const char* digits = lower ? lowerDigits : upperDigits;
    std::string text;
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

std::vector<std::uint8_t> Counting(std::size_t count, unsigned start = 0) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(start + i);
    return bytes;
}

struct ExchangeCase {
    const char* name;
    std::string setup; // sent first; its output is not checked
    std::string input;
    std::string expected;
};

std::string Reply(const std::string& echo, const std::string& answer) {
    return echo + "\r\n" + answer + ">";
}

const std::string CLOCKS_MODE2 = "FXTL=10.000000,FREF=100.000000,FDDS=100.000000\r\n";

const ExchangeCase EXCHANGES[] = {
    // Framing.
    {"Probe", "", "\r", "\r\n>"},
    {"ProbeLineFeedIgnored", "", "\r\n", "\r\n>"},
    {"BlankLineIsAProbe", "", "  \r", "  \r\n>"},
    {"ThreeProbes", "", "\r\r\r", "\r\n>\r\n>\r\n>"},
    {"CrLfLineEnds", "", "V\r\nu0\r\n", Reply("V", "QM-TRV V1.2\r\n") + Reply("u0", CLOCKS_MODE2)},
    {"UnknownCommand", "", "xyz 1\r", Reply("xyz 1", "ERR,UNKNOWN COMMAND\r\n")},
    {"EchoKeepsBlanks", "", "  dds  a 1 2 3 1 \r", Reply("  dds  a 1 2 3 1 ", "OK\r\n")},
    {"LineOf255IsAccepted", "", std::string(255, 'Q') + "\r",
     Reply(std::string(255, 'Q'), "ERR,UNKNOWN COMMAND\r\n")},
    {"LineOf256IsTooLong", "", std::string(256, 'Q') + "\r",
     Reply(std::string(255, 'Q'), "ERR,LINE TOO LONG\r\n")},
    {"OverlongLineThenNextLine", "", std::string(1000, 'V') + "\rV\r",
     Reply(std::string(255, 'V'), "ERR,LINE TOO LONG\r\n") + Reply("V", "QM-TRV V1.2\r\n")},

    // Version, clocks, reset.
    {"Version", "", "V\r", Reply("V", "QM-TRV V1.2\r\n")},
    {"VersionLowerCase", "", "v\r", Reply("v", "QM-TRV V1.2\r\n")},
    {"VersionWithArgument", "", "V 1\r", Reply("V 1", "ERR,SYNTAX\r\n")},
    {"ClocksDefaultMode", "", "u0\r", Reply("u0", CLOCKS_MODE2)},
    {"ClocksUpperCase", "", "U0\r", Reply("U0", CLOCKS_MODE2)},
    {"InitMode8", "", "DI 8\r",
     Reply("DI 8", "FXTL=10.000000,FREF=100.000000,FDDS=1000.000000\r\n")},
    {"ClocksAfterInit7", "DI 7\r", "u0\r",
     Reply("u0", "FXTL=19.200000,FREF=122.880000,FDDS=122.880000\r\n")},
    {"InitLowerCase", "", "di 2\r", Reply("di 2", CLOCKS_MODE2)},
    {"InitLeadingZero", "", "DI 02\r", Reply("DI 02", CLOCKS_MODE2)},
    {"InitMode0", "", "DI 0\r", Reply("DI 0", "ERR,BAD MODE\r\n")},
    {"InitMode9", "", "DI 9\r", Reply("DI 9", "ERR,BAD MODE\r\n")},
    {"InitHugeMode", "", "DI 99999999999\r", Reply("DI 99999999999", "ERR,BAD MODE\r\n")},
    {"InitNegative", "", "DI -1\r", Reply("DI -1", "ERR,SYNTAX\r\n")},
    {"InitNotANumber", "", "DI x\r", Reply("DI x", "ERR,SYNTAX\r\n")},
    {"InitNoMode", "", "DI\r", Reply("DI", "ERR,SYNTAX\r\n")},
    {"InitTwoModes", "", "DI 1 2\r", Reply("DI 1 2", "ERR,SYNTAX\r\n")},
    {"FailedInitKeepsMode", "DI 8\rDI 9\r", "u0\r",
     Reply("u0", "FXTL=10.000000,FREF=100.000000,FDDS=1000.000000\r\n")},
    {"Reset", "DI 5\r", "R\r", Reply("R", "QM-TRV MONITOR V1.2\r\n")},
    {"ResetRestoresMode2", "DI 5\rR\r", "u0\r", Reply("u0", CLOCKS_MODE2)},
    {"ResetThenTwoProbes", "", "R\r\r\r", Reply("R", "QM-TRV MONITOR V1.2\r\n") + "\r\n>\r\n>"},

    // Channel settings.
    {"SetSingle", "", "dds a 1999999a 1000 400 1\r", Reply("dds a 1999999a 1000 400 1", "OK\r\n")},
    {"SetUpperCase", "", "DDS B 1999999A 3FD2 133 0\r",
     Reply("DDS B 1999999A 3FD2 133 0", "OK\r\n")},
    {"SetNegativeWord", "", "dds 0 ffffffff 0 0 1\r", Reply("dds 0 ffffffff 0 0 1", "OK\r\n")},
    {"SetChannel12", "", "dds c 0 0 0 1\r", Reply("dds c 0 0 0 1", "ERR,BAD CHANNEL\r\n")},
    {"SetChannelHuge", "", "dds ffffffff 0 0 0 1\r",
     Reply("dds ffffffff 0 0 0 1", "ERR,BAD CHANNEL\r\n")},
    {"SetFourFields", "", "dds a 1 2 3\r", Reply("dds a 1 2 3", "ERR,SYNTAX\r\n")},
    {"SetSixFields", "", "dds a 1 2 3 1 1\r", Reply("dds a 1 2 3 1 1", "ERR,SYNTAX\r\n")},
    {"SetPrefixedHex", "", "dds 0x1 1 2 3 1\r", Reply("dds 0x1 1 2 3 1", "ERR,SYNTAX\r\n")},
    {"SetNotHex", "", "dds a 1 2 3 g\r", Reply("dds a 1 2 3 g", "ERR,SYNTAX\r\n")},
    {"SetWordOver32Bits", "", "dds 1 100000000 0 0 1\r",
     Reply("dds 1 100000000 0 0 1", "ERR,SYNTAX\r\n")},
    {"Update", "", "DDU\r", Reply("DDU", "OK\r\n")},
    {"UpdateLowerCase", "", "ddu\r", Reply("ddu", "OK\r\n")},
    {"UpdateWithArgument", "", "DDU 1\r", Reply("DDU 1", "ERR,SYNTAX\r\n")},

    // Memory.
    {"ReadUnwritten", "", "MR 10\r", Reply("MR 10", "00000010 : DATA = 00000000\r\n")},
    {"WriteIsEchoAlone", "", "MW 10 5\r", "MW 10 5\r\n>"},
    {"WriteThenRead", "MW 1000 DEADBEEF\r", "mr 1000\r",
     Reply("mr 1000", "00001000 : DATA = DEADBEEF\r\n")},
    {"ReadUnaligned", "MW 0 11223344\rMW 4 55667788\r", "MR 2\r",
     Reply("MR 2", "00000002 : DATA = 33445566\r\n")},
    {"ReadAcrossTheTop", "MW FFFFFFFE AABBCCDD\r", "MR FFFFFFFE\r",
     Reply("MR FFFFFFFE", "FFFFFFFE : DATA = AABBCCDD\r\n")},
    {"WriteWrapsToZero", "MW FFFFFFFE AABBCCDD\r", "MR 0\r",
     Reply("MR 0", "00000000 : DATA = CCDD0000\r\n")},
    {"WriteBadValue", "", "MW 10 xyz\r", Reply("MW 10 xyz", "ERR,SYNTAX\r\n")},
    {"ReadNoAddress", "", "MR\r", Reply("MR", "ERR,SYNTAX\r\n")},
    {"SumSkipsIncompleteGroup", "MW 0 1\rMW 4 2\rMW 8 05000000\r", "MC 0 9\r",
     Reply("MC 0 9", "00000003\r\n")},
    {"SumWrapsModulo32Bits", "MW 0 FFFFFFFF\rMW 4 2\r", "mc 0 8\r",
     Reply("mc 0 8", "00000001\r\n")},
    {"SumOfNothing", "", "MC 0 0\r", Reply("MC 0 0", "ERR,RANGE\r\n")},
    {"SumOverCap", "", "MC 0 1000001\r", Reply("MC 0 1000001", "ERR,RANGE\r\n")},
    {"FillRepeatsWord", "MF2 100 6 11223344\r", "MD1 100 8\r",
     Reply("MD1 100 8", "1122334411220000\r\n")},
    {"FillAnswer", "", "mf2 100 6 11223344\r", Reply("mf2 100 6 11223344", "OK\r\n")},
    {"FillOverCap", "", "MF2 0 1000001 0\r", Reply("MF2 0 1000001 0", "ERR,RANGE\r\n")},
    {"DumpFraming", "MW 20 0A0B0C0D\r", "md1 20 4\r", Reply("md1 20 4", "0A0B0C0D\r\n")},
    {"DumpNothing", "", "MD1 0 0\r", "MD1 0 0\r\n\r\n>"},
    {"DumpOverCap", "", "MD1 0 1000001\r", Reply("MD1 0 1000001", "ERR,RANGE\r\n")},
    {"SetAddressIsEchoAlone", "", "SA\r", "SA\r\n>"},
    {"DumpAddressZero", "MW 0 01020304\rMW C A0B0C0D0\r", "DA\r",
     Reply("DA", "0102030400000000"
                 "00000000A0B0C0D0\r\n")},
    {"EraseAnswer", "", "FE 12345\r", Reply("FE 12345", "OK\r\n")},
    {"EraseFirstWordOfSector", "FE 1FFFF\r", "MR 10000\r",
     Reply("MR 10000", "00010000 : DATA = FFFFFFFF\r\n")},
    {"EraseLastWordOfSector", "FE 10000\r", "MR 1FFFC\r",
     Reply("MR 1FFFC", "0001FFFC : DATA = FFFFFFFF\r\n")},
    {"EraseStopsAtNextSector", "FE 10000\r", "MR 1FFFE\r",
     Reply("MR 1FFFE", "0001FFFE : DATA = FFFF0000\r\n")},
    {"EraseLeavesSectorBefore", "MW FFFC 12345678\rFE 10000\r", "MR FFFC\r",
     Reply("MR FFFC", "0000FFFC : DATA = 12345678\r\n")},
    {"CopyToFirstArgument", "MW 100 11223344\rFW 200 100 4\r", "MR 200\r",
     Reply("MR 200", "00000200 : DATA = 11223344\r\n")},
    {"CopyFromFirstArgument", "MW 100 11223344\rFL 100 300 4\r", "MR 300\r",
     Reply("MR 300", "00000300 : DATA = 11223344\r\n")},
    {"CopyOverlapping", "MW 0 01020304\rMW 4 05060708\rFW 2 0 6\r", "MD1 0 8\r",
     Reply("MD1 0 8", "0102010203040506\r\n")},
    {"CopyOverCap", "", "FW 0 100 1000001\r", Reply("FW 0 100 1000001", "ERR,RANGE\r\n")},
    {"CopyMissingArgument", "", "FL 0 100\r", Reply("FL 0 100", "ERR,SYNTAX\r\n")},
    {"ResetKeepsMemory", "MW 40 CAFEF00D\rR\r", "MR 40\r",
     Reply("MR 40", "00000040 : DATA = CAFEF00D\r\n")},

    // Hex blocks.
    {"BlockLoad", "", "MF1 40\r" + HexBlock(Counting(256), true), "MF1 40\r\nOK\r\n>"},
    {"BlockStoresInOrder", "MF1 40\r" + HexBlock(Counting(256, 7), true), "MD1 40 100\r",
     Reply("MD1 40 100", HexBlock(Counting(256, 7), false) + "\r\n")},
    {"BlockUpperCaseHex", "", "mf1 0\r" + HexBlock(Counting(256), false), "mf1 0\r\nOK\r\n>"},
    {"BlockAbortedByNonHex", "", "MF1 40\r12G", "MF1 40\r\nERR,HEX\r\n>"},
    {"BlockAbortedByCr", "", "MF1 0\r0\r\r", "MF1 0\r\nERR,HEX\r\n>\r\n>"},
    {"AbortedBlockStoresNothing", "MW 40 12345678\rMF1 40\r" + std::string(510, 'f') + "x",
     "MR 40\r", Reply("MR 40", "00000040 : DATA = 12345678\r\n")},
    {"LineModeAfterBlock", "MF1 0\r" + std::string(512, '0'), "V\r", Reply("V", "QM-TRV V1.2\r\n")},
    {"BlockBadAddress", "", "MF1 x\r", Reply("MF1 x", "ERR,SYNTAX\r\n")},
};

class SimEngineExchange : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(SimEngineExchange, SendsExactBytes) {
    const ExchangeCase& c = GetParam();
    CSimEngine engine;
    Talk(engine, c.setup);
    EXPECT_EQ(Talk(engine, c.input), c.expected);
}

TEST_P(SimEngineExchange, SameBytesWhenFedOneByteAtATime) {
    const ExchangeCase& c = GetParam();
    CSimEngine engine;
    Talk(engine, c.setup);
    std::string text;
    for (char ch : c.input)
        text += Talk(engine, std::string_view(&ch, 1));
    EXPECT_EQ(text, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, SimEngineExchange, ::testing::ValuesIn(EXCHANGES),
                         [](const auto& info) { return std::string(info.param.name); });

bool SameChannel(const SimChannel& a, const SimChannel& b) {
    return a.freqWord == b.freqWord && a.phaseWord == b.phaseWord && a.ampWord == b.ampWord &&
           a.on == b.on;
}

TEST(SimEngineChannels, SingleFlagAppliesAtOnce) {
    CSimEngine engine;
    Talk(engine, "dds a 1999999a 1000 400 1\r");
    EXPECT_TRUE(SameChannel(engine.Channel(10), {0x1999999a, 0x1000, 0x400, true}));
    EXPECT_FALSE(engine.HasPending(10));
}

TEST(SimEngineChannels, MultipleModeWaitsForUpdate) {
    CSimEngine engine;
    Talk(engine, "dds 3 20000000 3fd2 133 0\rdds 4 1999999a 0 200 0\r");
    EXPECT_TRUE(SameChannel(engine.Channel(3), {}));
    EXPECT_TRUE(SameChannel(engine.PendingChannel(3), {0x20000000, 0x3fd2, 0x133, true}));
    EXPECT_TRUE(engine.HasPending(4));
    Talk(engine, "DDU\r");
    EXPECT_TRUE(SameChannel(engine.Channel(3), {0x20000000, 0x3fd2, 0x133, true}));
    EXPECT_TRUE(SameChannel(engine.Channel(4), {0x1999999a, 0, 0x200, true}));
    EXPECT_FALSE(engine.HasPending(3));
    EXPECT_TRUE(SameChannel(engine.PendingChannel(3), {}));
    EXPECT_TRUE(SameChannel(engine.Channel(5), {})); // untouched channels stay as they were
}

TEST(SimEngineChannels, SingleSettingSupersedesPendingOne) {
    CSimEngine engine;
    Talk(engine, "dds 3 100 0 0 0\rdds 3 200 0 0 1\rDDU\r");
    EXPECT_EQ(engine.Channel(3).freqWord, 0x200u);
}

TEST(SimEngineChannels, FrequencyZeroSwitchesOffAndKeepsOtherWords) {
    CSimEngine engine;
    Talk(engine, "dds 4 1999999a 100 200 1\rdds 4 0 300 400 1\r");
    EXPECT_TRUE(SameChannel(engine.Channel(4), {0, 0x300, 0x400, false}));
}

TEST(SimEngineChannels, RefusedSetChangesNothing) {
    CSimEngine engine;
    Talk(engine, "dds c 1 2 3 1\rdds 1 2 3 1\r");
    for (int i = 0; i < CSimEngine::CHANNEL_COUNT; ++i) {
        EXPECT_TRUE(SameChannel(engine.Channel(i), {}));
        EXPECT_FALSE(engine.HasPending(i));
    }
}

TEST(SimEngineChannels, InitSetsEveryChannelTo10MHzAndClearsPending) {
    CSimEngine engine;
    Talk(engine, "dds 1 1234 10 20 1\rdds 2 5678 10 20 0\rDI 8\r");
    EXPECT_EQ(engine.ClockMode(), 8);
    for (int i = 0; i < CSimEngine::CHANNEL_COUNT; ++i) {
        EXPECT_TRUE(SameChannel(engine.Channel(i), {0x028F5C29, 0, 0, true})) << i;
        EXPECT_FALSE(engine.HasPending(i));
    }
    Talk(engine, "DI 2\r");
    EXPECT_EQ(engine.Channel(11).freqWord, 0x1999999Au); // the console's worked 10 MHz word
}

TEST(SimEngineChannels, ResetClearsChannelsAndMode) {
    CSimEngine engine;
    Talk(engine, "DI 5\rdds 1 1234 10 20 1\rdds 2 5678 10 20 0\rR\r");
    EXPECT_EQ(engine.ClockMode(), 2);
    EXPECT_TRUE(SameChannel(engine.Channel(1), {}));
    EXPECT_FALSE(engine.HasPending(2));
}

TEST(SimEngineChannels, OutOfRangeIndexesReadAsZero) {
    CSimEngine engine;
    Talk(engine, "DI 2\r");
    EXPECT_TRUE(SameChannel(engine.Channel(-1), {}));
    EXPECT_TRUE(SameChannel(engine.Channel(12), {}));
    EXPECT_TRUE(SameChannel(engine.PendingChannel(12), {}));
}

TEST(SimEngineClocks, EveryModeIsUsable) {
    for (int mode = CSimEngine::MODE_MIN; mode <= CSimEngine::MODE_MAX; ++mode) {
        SimClocks clocks;
        ASSERT_TRUE(CSimEngine::ClocksOfMode(mode, clocks));
        EXPECT_GE(clocks.ddsClockHz, 25'000'000u) << mode;
        EXPECT_LE(clocks.ddsClockHz, 1'000'000'000u) << mode;
        // The 10 MHz word, rounded half up, checked in integers.
        const std::uint64_t exact =
            ((std::uint64_t{1} << 32) * 10'000'000 + clocks.ddsClockHz / 2) / clocks.ddsClockHz;
        EXPECT_EQ(CSimEngine::TenMHzWord(static_cast<double>(clocks.ddsClockHz)), exact) << mode;
        EXPECT_LT(exact, std::uint64_t{1} << 31) << mode; // 10 MHz is below half the clock
    }
    SimClocks clocks;
    EXPECT_TRUE(CSimEngine::ClocksOfMode(2, clocks));
    EXPECT_EQ(clocks.ddsClockHz, 100'000'000u);
    EXPECT_FALSE(CSimEngine::ClocksOfMode(0, clocks));
    EXPECT_FALSE(CSimEngine::ClocksOfMode(9, clocks));
}

TEST(SimEngineMemory, ApiAndProtocolSeeTheSameMemory) {
    CSimEngine engine;
    ASSERT_TRUE(engine.WriteMemory(0xFFFFFFF0, Counting(32, 0x80)));
    EXPECT_EQ(Talk(engine, "MD1 FFFFFFF0 20\r"),
              Reply("MD1 FFFFFFF0 20", HexBlock(Counting(32, 0x80), false) + "\r\n"));
    Talk(engine, "MF1 1000\r" + HexBlock(Counting(256, 3), true));
    EXPECT_EQ(engine.ReadMemory(0x1000, 256), Counting(256, 3));
    EXPECT_EQ(engine.ReadMemory(0x2000, 4), std::vector<std::uint8_t>(4, 0));
}

TEST(SimEngineMemory, LargestDumpIsAnswered) {
    CSimEngine engine;
    const std::string reply = Talk(engine, "MD1 0 1000000\r");
    EXPECT_EQ(reply.size(), std::string("MD1 0 1000000\r\n").size() + 2 * (16u << 20) + 3);
    EXPECT_EQ(reply.substr(reply.size() - 3), "\r\n>");
}

TEST(SimEngineMemory, WritesBeyondTheCapAreRefused) {
    CSimEngine engine;
    // Four 16 MiB fills take the whole 64 MiB; the fifth is refused and changes nothing.
    for (const char* fill : {"MF2 0 1000000 1\r", "MF2 1000000 1000000 1\r",
                             "MF2 2000000 1000000 1\r", "MF2 3000000 1000000 1\r"})
        EXPECT_EQ(Talk(engine, fill).substr(std::string(fill).size() + 1), "OK\r\n>") << fill;
    EXPECT_EQ(Talk(engine, "MF2 4000000 10 1\r"), Reply("MF2 4000000 10 1", "ERR,MEMORY FULL\r\n"));
    EXPECT_EQ(Talk(engine, "MR 4000000\r"), Reply("MR 4000000", "04000000 : DATA = 00000000\r\n"));
    // Pages already there can still be written.
    EXPECT_EQ(Talk(engine, "MW 10 AB\r"), "MW 10 AB\r\n>");
}

TEST(SimEngineCounting, ProbesAreNotCommands) {
    CSimEngine engine;
    Talk(engine, "\r \rV\rbogus\rMF1 0\r" + std::string(512, '0'));
    EXPECT_EQ(engine.CommandCount(), 3u);
    EXPECT_FALSE(engine.InDataMode());
}

// Fault modes.

TEST(SimEngineFaults, SilentAnswersNothing) {
    CSimEngine engine;
    engine.SetFault(SimFault::Silent);
    EXPECT_EQ(Talk(engine, "\rV\rDI 5\r"), "");
    EXPECT_EQ(engine.CommandCount(), 0u);
    EXPECT_EQ(engine.ClockMode(), 2);
    engine.SetFault(SimFault::None);
    EXPECT_EQ(Talk(engine, "\r"), "\r\n>");
}

TEST(SimEngineFaults, NoPromptDropsOnlyThePrompt) {
    CSimEngine engine;
    engine.SetFault(SimFault::NoPrompt);
    EXPECT_EQ(Talk(engine, "\r"), "\r\n");
    EXPECT_EQ(Talk(engine, "V\r"), "V\r\nQM-TRV V1.2\r\n");
    EXPECT_EQ(Talk(engine, "MW 0 1\r"), "MW 0 1\r\n");
}

TEST(SimEngineFaults, GarbageKeepsEchoAndPrompt) {
    CSimEngine a(7), b(7);
    a.SetFault(SimFault::Garbage);
    b.SetFault(SimFault::Garbage);
    EXPECT_EQ(Talk(a, "\r"), "\r\n>"); // the probe still passes
    Talk(b, "\r");
    for (int i = 0; i < 50; ++i) {
        const std::string reply = Talk(a, "V\r");
        ASSERT_EQ(reply.substr(0, 3), "V\r\n");
        EXPECT_EQ(reply.back(), '>');
        EXPECT_EQ(reply.find('>'), reply.size() - 1);
        EXPECT_NE(reply, Reply("V", "QM-TRV V1.2\r\n"));
        EXPECT_EQ(reply, Talk(b, "V\r")); // the same seed gives the same bytes
    }
}

TEST(SimEngineFaults, FloodStartsAfterTheFirstEcho) {
    CSimEngine engine;
    engine.SetFault(SimFault::Flood);
    EXPECT_EQ(Talk(engine, "\r"), "\r\n>");
    EXPECT_EQ(Talk(engine, "dds 1 2 3 4 1\rV\r"), "dds 1 2 3 4 1\r\n{flood}");
    EXPECT_EQ(Talk(engine, "V\r"), "");
    EXPECT_EQ(engine.FloodBytes(100000).find('>'), std::string::npos);
    engine.SetFault(SimFault::None);
    EXPECT_EQ(Talk(engine, "V\r"), Reply("V", "QM-TRV V1.2\r\n"));
}

TEST(SimEngineFaults, SlowPausesAfterTheEcho) {
    CSimEngine engine;
    engine.SetFault(SimFault::Slow, 250);
    EXPECT_EQ(Talk(engine, "\r"), "\r\n>");
    EXPECT_EQ(Talk(engine, "V\r"), "V\r\n{pause 250}QM-TRV V1.2\r\n>");
    EXPECT_EQ(Talk(engine, "MF1 0\r"), "MF1 0\r\n");
    EXPECT_EQ(Talk(engine, std::string(512, 'A')), "{pause 250}OK\r\n>");
}

TEST(SimEngineFaults, HangupAfterAnswersNCommands) {
    CSimEngine engine;
    Talk(engine, "V\r"); // counted from the moment the fault is set
    engine.SetFault(SimFault::HangupAfter, 2);
    EXPECT_EQ(Talk(engine, "\rV\r"), "\r\n>" + Reply("V", "QM-TRV V1.2\r\n"));
    EXPECT_EQ(Talk(engine, "u0\r"), Reply("u0", CLOCKS_MODE2));
    EXPECT_EQ(Talk(engine, "DI 5\rV\r"), "DI 5\r\n{hangup}");
    EXPECT_EQ(Talk(engine, "\r"), "");
    EXPECT_EQ(engine.ClockMode(), 2); // the command that met the hang-up was not carried out
}

TEST(SimEngineFaults, HangupAfterZeroHangsUpOnTheFirstCommand) {
    CSimEngine engine;
    engine.SetFault(SimFault::HangupAfter, 0);
    EXPECT_EQ(Talk(engine, "\rMW 0 1\r"), "\r\n>MW 0 1\r\n{hangup}");
}

} // namespace
