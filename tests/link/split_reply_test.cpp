// Splitting of replies into fields and the locale-independent number texts.
#include <clocale>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "exchange.h"
#include "numtext.h"

namespace {

struct SplitCase {
    const char* name;
    std::string command;
    std::string reply;
    int count;
    std::vector<std::string> fields;
};

class SplitReplyTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitReplyTest, CountsAndFields) {
    const SplitCase& c = GetParam();
    std::vector<char> reply(c.reply.begin(), c.reply.end());
    reply.push_back('\0');
    ReplyField fields[REPLY_FIELD_COUNT];
    std::memset(fields, '#', sizeof fields);
    const int n = SplitReply(c.command.c_str(), reply.data(), fields);
    ASSERT_EQ(n, c.count);
    ASSERT_LE(c.fields.size(), static_cast<std::size_t>(REPLY_FIELD_COUNT));
    for (std::size_t i = 0; i < c.fields.size(); ++i) {
        EXPECT_EQ(std::string(fields[i]), c.fields[i]) << "field " << i;
    }
    // Slots beyond the count keep what the caller put there.
    if (n >= 0 && n < REPLY_FIELD_COUNT) {
        EXPECT_EQ(fields[n][0], '#');
    }
}

const std::string LONG_FIELD(40, 'x');

INSTANTIATE_TEST_SUITE_P(
    Replies, SplitReplyTest,
    ::testing::Values(
        SplitCase{"ClockReadout",
                  "u0",
                  "u0\r\nFXTL=1,FREF=2,FDDS=3\r\n>",
                  4,
                  {"U0", "FXTL=1", "FREF=2", "FDDS=3"}},
        SplitCase{"EchoAloneUpperCase", "MW 10 5", "MW 10 5\r\n>", -1, {}},
        SplitCase{"EchoAloneLowerCaseIsOneField",
                  "dds 0 0 0 0 1",
                  "dds 0 0 0 0 1\r\n>",
                  1,
                  {"DDS 0 0 0 0 1"}},
        SplitCase{"EmptySecondField", "A", "A\r\n\r\n>", 2, {"A", ""}},
        SplitCase{"NoLineEndBeforePrompt", "x", "x\r\nOK>", 2, {"X", "OK"}},
        SplitCase{"OnlyCrAndPrompt", "", "\r>\r>", 0, {}},
        SplitCase{"NothingReceived", "V", "", 0, {}},
        SplitCase{"LoneLineEndIsOneEmptyField", "V", "\r\n>", 1, {""}},
        SplitCase{"UpperCased", "v", "v\r\nqm-trv v1.2\r\n>", 2, {"V", "QM-TRV V1.2"}},
        SplitCase{
            "MoreThanSixteenFields",
            "c",
            "c\r\n1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17\r\n>",
            16,
            {"C", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14", "15"}},
        SplitCase{"OverLongFieldCutTo31",
                  "c",
                  "c\r\n" + LONG_FIELD + ",Z\r\n>",
                  3,
                  {"C", std::string(31, 'X'), "Z"}},
        SplitCase{"OverLongEchoStillMatchesTheCommand",
                  std::string(40, 'A'),
                  std::string(40, 'A') + "\r\n>",
                  -1,
                  {}},
        SplitCase{"CommaAtEndOpensEmptyField", "c", "c\r\nA,\r\n>", 3, {"C", "A", ""}}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

TEST(SplitReply, UpperCasesTheReplyInPlace) {
    char reply[] = "abc\r\n>";
    ReplyField fields[REPLY_FIELD_COUNT];
    SplitReply("x", reply, fields);
    EXPECT_STREQ(reply, "ABC\r\n>");
}

TEST(SplitReply, HundredsOfFieldsDoNotOverrun) {
    std::string text = "c\r\n";
    for (int i = 0; i < 500; ++i) {
        text += std::string(50, 'q') + ",";
    }
    std::vector<char> reply(text.begin(), text.end());
    reply.push_back('\0');
    ReplyField fields[REPLY_FIELD_COUNT];
    EXPECT_EQ(SplitReply("c", reply.data(), fields), 16);
    EXPECT_EQ(std::strlen(fields[15]), 31u);
}

struct DoubleCase {
    const char* text;
    double value;
};

TEST(NumText, ConvertsLikeAtofForDecimalText) {
    const DoubleCase cases[] = {
        {"10", 10.0},       {"  12.5MHz", 12.5}, {"abc", 0.0},    {"", 0.0},    {"-5", -5.0},
        {"+7.25", 7.25},    {".5", 0.5},         {"1e3", 1000.0}, {"1e", 1.0},  {"0x10", 0.0},
        {"1000.5", 1000.5}, {"\t\n 3", 3.0},     {"1e-999", 0.0}, {"--5", 0.0}, {"5,5", 5.0},
    };
    for (const DoubleCase& c : cases) {
        EXPECT_DOUBLE_EQ(NumTextToDouble(c.text), c.value) << '"' << c.text << '"';
    }
    EXPECT_TRUE(std::isinf(NumTextToDouble("1e999")));
    EXPECT_TRUE(std::isinf(NumTextToDouble("-1e999")));
    EXPECT_LT(NumTextToDouble("-1e999"), 0);
    EXPECT_TRUE(std::isinf(NumTextToDouble("inf")));
    EXPECT_TRUE(std::isnan(NumTextToDouble("nan")));
}

TEST(NumText, IntegersSaturateInsteadOfOverflowing) {
    EXPECT_EQ(NumTextToInt(" 3"), 3);
    EXPECT_EQ(NumTextToInt("-1"), -1);
    EXPECT_EQ(NumTextToInt("115200baud"), 115200);
    EXPECT_EQ(NumTextToInt("abc"), 0);
    EXPECT_EQ(NumTextToInt("99999999999"), 2147483647);
    EXPECT_EQ(NumTextToInt("-99999999999"), -2147483647 - 1);
}

TEST(NumText, IgnoresTheProcessLocale) {
    const char* german = std::setlocale(LC_ALL, "de_DE.UTF-8");
    if (german == nullptr) {
        german = std::setlocale(LC_ALL, "de_DE");
    }
    if (german == nullptr) {
        GTEST_SKIP() << "no German locale installed on this machine";
    }
    EXPECT_DOUBLE_EQ(NumTextToDouble("1000.5"), 1000.5);
    EXPECT_EQ(NumFormatString("%.3f", 10.5), "10.500");
    std::setlocale(LC_ALL, "C");
}

} // namespace
