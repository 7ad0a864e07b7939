// Word conversions, the reply value parser and the table dump: everything of
// the DDS layer that needs no module.
#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <limits>
#include <string>

#include "dds.h"
#include "diag.h"

namespace {

constexpr double NAN_D = std::numeric_limits<double>::quiet_NaN();
constexpr double INF_D = std::numeric_limits<double>::infinity();

class DdsWordsTest : public ::testing::Test {
protected:
    void SetUp() override {
        DdsResetState();
        DdsModuleClocks.ddsClockHz = 100e6;
    }
    void TearDown() override { DdsResetState(); }
};

struct WordCase {
    double value;
    std::int32_t word;
    double stored;
};

// The rounding of the last bit depends on the order of operations, so these are compared
// exactly, not within a tolerance.
TEST_F(DdsWordsTest, FrequencyWordsAt100MHz) {
    const WordCase cases[] = {
        {10e6, 429496730, 10000000.009313226}, // 1999999a: rounded up, not truncated
        {12.5e6, 536870912, 12.5e6},           // 20000000 exactly
        {1e6, 42949673, 1000000.0009313226},
        {0.0, 0, 0.0},
        {49999999.98, 2147483647, WordToFreq(2147483647)}, // the largest word
    };
    for (const WordCase& c : cases) {
        SCOPED_TRACE(c.value);
        const std::int32_t word = FreqToWord(c.value);
        EXPECT_EQ(word, c.word);
        EXPECT_EQ(WordToFreq(word), c.stored);
    }
}

TEST_F(DdsWordsTest, PhaseWords) {
    const WordCase cases[] = {
        {90.0, 4096, 90.0},      {359.0, 16338, 358.9892578125},
        {1.0, 46, 1.0107421875}, {360.0, 16384, 360.0},
        {0.0, 0, 0.0},           {270.0, 12288, 270.0},
    };
    for (const WordCase& c : cases) {
        SCOPED_TRACE(c.value);
        const std::int32_t word = PhaseToWord(c.value);
        EXPECT_EQ(word, c.word);
        EXPECT_EQ(WordToPhase(word), c.stored);
    }
}

TEST_F(DdsWordsTest, AmplitudeWords) {
    const WordCase cases[] = {
        {0.5, 512, 0.5}, {0.3, 307, 0.2998046875}, {0.01, 10, 0.009765625}, {1.0, 1024, 1.0},
        {0.0, 0, 0.0},
    };
    for (const WordCase& c : cases) {
        SCOPED_TRACE(c.value);
        const std::int32_t word = AmpToWord(c.value);
        EXPECT_EQ(word, c.word);
        EXPECT_EQ(WordToAmp(word), c.stored);
    }
}

TEST_F(DdsWordsTest, FrequencyWordWithoutClockIsMinusOne) {
    DdsModuleClocks.ddsClockHz = 0.0;
    EXPECT_EQ(FreqToWord(10e6), -1);
    EXPECT_EQ(FreqToWord(0.0), -1);
}

// Words are read back as the module reads them: unsigned 32-bit numbers.
TEST_F(DdsWordsTest, NegativeWordsReadBackUnsigned) {
    EXPECT_EQ(WordToFreq(-1), 4294967295.0 * 100e6 / 4294967296.0);
    EXPECT_EQ(WordToPhase(-1), 4294967295.0 * 360.0 / 16384.0);
    EXPECT_EQ(WordToAmp(INT32_MIN), 2147483648.0 / 1024.0);
}

// Values whose word cannot be an int must give the defined invalid word, never undefined
// behaviour (the sanitizer build checks the latter).
TEST_F(DdsWordsTest, UnrepresentableValuesGiveTheInvalidWord) {
    const double values[] = {NAN_D, INF_D, -INF_D, DBL_MAX, -DBL_MAX, 1e300, -1e300};
    for (double v : values) {
        SCOPED_TRACE(v);
        EXPECT_EQ(FreqToWord(v), DDS_WORD_INVALID);
        EXPECT_EQ(PhaseToWord(v), DDS_WORD_INVALID);
        EXPECT_EQ(AmpToWord(v), DDS_WORD_INVALID);
    }
    // Half the clock rounds to 2^31, one past the largest word.
    EXPECT_EQ(FreqToWord(50e6), DDS_WORD_INVALID);
    // A clock that is no number gives no word either.
    DdsModuleClocks.ddsClockHz = NAN_D;
    EXPECT_EQ(FreqToWord(10e6), DDS_WORD_INVALID);
    DdsModuleClocks.ddsClockHz = 1e-300;
    EXPECT_EQ(FreqToWord(10e6), DDS_WORD_INVALID);
    // The edges of the int range: tiny magnitudes round to 0; just inside still converts.
    EXPECT_EQ(PhaseToWord(DBL_MIN), 0);
    EXPECT_EQ(AmpToWord(-2097152.0), -2147483647); // (-2^32 + 1) / 2
    EXPECT_EQ(AmpToWord(-2097153.0), DDS_WORD_INVALID);
    EXPECT_EQ(AmpToWord(2097151.999), 2147483647);
    EXPECT_EQ(AmpToWord(2097152.0), DDS_WORD_INVALID); // (2^32 + 1) / 2
}

TEST(DdsParseReplyValueTest, ReadsMegahertzAsHertz) {
    const std::string longOnes = "1" + std::string(62, '0'); // 63 characters: 1e62
    const struct {
        const char* key;
        std::string field;
        double hz;
    } cases[] = {
        {"FDDS=", "FDDS=1000.5", 1000500000.0},
        {"FXTL=", "FXTL=10", 10e6},
        {"FDDS=", "FDDS=  12.5MHZ", 12.5e6}, // blanks skipped, stops at the unit
        {"FDDS=", "FDDS=1E3", 1e9},          // fields arrive upper case
        {"FDDS=", "FREF=100", 0.0},          // key missing
        {"FDDS=", "FDDS=", 0.0},             // no digits
        {"FDDS=", "FDDS=ABC", 0.0},          // not a number
        {"FDDS=", "X FDDS=3", 3e6},          // key not at the start: the text after it
        {"FDDS=", "FDDS=0X10", 0.0},         // no hexadecimal
        {"FDDS=", "FDDS=-5", -5e6},          // a number; DdsInit refuses it as a clock
        {"FDDS=", "FDDS=NAN", 0.0},          // not finite: no frequency
        {"FDDS=", "FDDS=INF", 0.0},
        {"FDDS=", "FDDS=1E999", 0.0},              // overflows
        {"FDDS=", "FDDS=1E305", 0.0},              // overflows when scaled to Hz
        {"FDDS=", "FDDS=" + longOnes, 1e68},       // 63 characters are converted whole
        {"FDDS=", "FDDS=" + longOnes + "5", 1e68}, // the 64th is cut off
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.field);
        EXPECT_DOUBLE_EQ(ParseReplyValue(c.key, c.field.c_str()), c.hz);
    }
    EXPECT_EQ(ParseReplyValue(nullptr, "FDDS=1"), 0.0);
    EXPECT_EQ(ParseReplyValue("FDDS=", nullptr), 0.0);
}

// The decimal point is "." whatever the process locale.
TEST(DdsLocaleTest, ParsingAndDumpIgnoreTheLocale) {
    const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8"};
    const char* chosen = nullptr;
    for (const char* name : names) {
        if (std::setlocale(LC_ALL, name) != nullptr) {
            chosen = name;
            break;
        }
    }
    if (chosen == nullptr) {
        GTEST_SKIP() << "no locale with a decimal comma is installed on this machine";
    }
    EXPECT_EQ(ParseReplyValue("FDDS=", "FDDS=1000.5"), 1000500000.0);
    DdsResetState();
    DdsChannelTable[0] = {1, 10e6, 90.0, 0.5};
    std::string out;
    DiagSetSink([&out](std::string_view text) { out.append(text); });
    DdsPrintTable();
    DiagSetSink({});
    std::setlocale(LC_ALL, "C");
    DdsResetState();
    EXPECT_EQ(out.substr(0, out.find('\n')),
              "CH[00]: On Freq[10.000000]MHz Ph[90.000] Amp[50.00]%");
}

TEST(DdsPrintTableTest, PrintsOneLinePerChannel) {
    DdsResetState();
    std::string out;
    DiagSetSink([&out](std::string_view text) { out.append(text); });
    EXPECT_EQ(DdsPrintTable(), 0);
    std::string expected;
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        expected += "CH[" + std::string(i < 10 ? "0" : "") + std::to_string(i) + "]: Off \n";
    }
    EXPECT_EQ(out, expected);

    DdsChannelTable[2] = {1, 10000000.009313226, 358.9892578125, 0.2998046875};
    DdsChannelTable[11] = {1, 12.5e6, 0.0, 1.0};
    out.clear();
    DdsPrintTable();
    DiagSetSink({});
    DdsResetState();
    EXPECT_NE(out.find("CH[01]: Off \nCH[02]: On Freq[10.000000]MHz Ph[358.989] Amp[29.98]%\n"
                       "CH[03]: Off \n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("CH[11]: On Freq[12.500000]MHz Ph[0.000] Amp[100.00]%\n"), std::string::npos)
        << out;
}

} // namespace
