// The setup-file reader: format rules, encodings, the value cut, bad and huge files, the list
// split, the integer conversion, the file path and the channel keys.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "profile_reader.h"

namespace fs = std::filesystem;

namespace {

// A fresh directory per test, removed afterwards.
class ProfileFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        m_dir = fs::temp_directory_path() /
                ("morvane_profile_" + std::to_string(rd()) + "_" + std::to_string(rd()));
        ASSERT_TRUE(fs::create_directories(m_dir));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    fs::path Write(const std::string& bytes, const std::string& name = "setup.ini") {
        const fs::path path = m_dir / name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        EXPECT_TRUE(out.good());
        return path;
    }
    fs::path m_dir;
};

std::string Utf16Bytes(const std::u16string& text, bool little_endian) {
    std::string out;
    for (const char16_t u : text) {
        const char lo = static_cast<char>(u & 0xFF);
        const char hi = static_cast<char>(u >> 8);
        out += little_endian ? std::string{lo, hi} : std::string{hi, lo};
    }
    return out;
}

// Well-formed UTF-8 and its length in UTF-16 code units, or -1 when malformed.
long Utf16Units(const std::string& s) {
    long units = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const std::size_t len = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
        if (len == 0 || i + len > s.size()) {
            return -1;
        }
        std::uint32_t cp = len == 1 ? b : b & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) {
                return -1;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        const std::uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return -1;
        }
        units += cp >= 0x10000 ? 2 : 1;
        i += len;
    }
    return units;
}

std::string Repeat(const std::string& s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i) {
        out += s;
    }
    return out;
}

std::string ExampleFile() {
    std::string text = "[COM_PORT]\r\nCOM_PORT=3\r\nBAUDRATE=115200\r\n\r\n"
                       "[DDS_CLK_MODE]\r\nMODE=2\r\n";
    const char* lists[][2] = {
        {"FREQ", "10,20,50,100"}, {"AMP", "100,50,25"}, {"PHASE", "0,90,180,270"}};
    for (const auto& list : lists) {
        text += std::string("\r\n[") + list[0] + "]\r\n";
        for (int i = 0; i < 12; ++i) {
            text += ProfileChannelKey(i) + "=" + list[1] + "\r\n";
        }
    }
    return text;
}

TEST_F(ProfileFileTest, ExampleFileGivesAll39Values) {
    const fs::path path = Write(ExampleFile());
    CProfileFile file;
    ASSERT_TRUE(file.Load(path));
    EXPECT_EQ(file.GetString("COM_PORT", "COM_PORT"), "3");
    EXPECT_EQ(file.GetString("COM_PORT", "BAUDRATE"), "115200");
    EXPECT_EQ(file.GetString("DDS_CLK_MODE", "MODE"), "2");
    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(file.GetString("FREQ", ProfileChannelKey(i)), "10,20,50,100");
        EXPECT_EQ(file.GetString("AMP", ProfileChannelKey(i)), "100,50,25");
        EXPECT_EQ(file.GetString("PHASE", ProfileChannelKey(i)), "0,90,180,270");
    }
    EXPECT_EQ(file.GetString("FREQ", "CH_13"), "");
    EXPECT_EQ(file.GetString("VOLT", "CH_01"), "");
    EXPECT_EQ(ProfileGetString(path, "AMP", "CH_12"), "100,50,25");
}

struct LookupCase {
    const char* name;
    std::string text;
    const char* section;
    const char* key;
    const char* value;
};

TEST(ProfileSyntax, Lookups) {
    const LookupCase cases[] = {
        {"names ignore ASCII case", "[com_port]\ncom_Port=3\n", "COM_PORT", "COM_PORT", "3"},
        {"non-ASCII names match exactly", "[\xC3\x84]\nk=1\n", "\xC3\xA4", "k", ""},
        {"non-ASCII names match", "[\xC3\x84]\nk=1\n", "\xC3\x84", "k", "1"},
        {"blanks trimmed", "  [ FREQ ] \t\n\t CH_01 \t=\t 10,20 \t\n", "FREQ", "CH_01", "10,20"},
        {"requested names trimmed", "[S]\nk=1\n", " S\t", " k ", "1"},
        {"double quotes", "[S]\nk=\"10,20\"\n", "S", "k", "10,20"},
        {"single quotes keep inner blanks", "[S]\nk= ' 10 ' \n", "S", "k", " 10 "},
        {"unmatched quotes stay", "[S]\nk=\"10'\n", "S", "k", "\"10'"},
        {"lone quote stays", "[S]\nk=\"\n", "S", "k", "\""},
        {"empty quotes", "[S]\nk=\"\"\n", "S", "k", ""},
        {"inner quotes stay", "[S]\nk=a\"b\"\n", "S", "k", "a\"b\""},
        {"comment skipped", "[S]\n;k=1\n  ; k=2\nk=3\n", "S", "k", "3"},
        {"semicolon inside value kept", "[S]\nk=1 ; note\n", "S", "k", "1 ; note"},
        {"CR LF", "[S]\r\nk=1\r\nj=2\r\n", "S", "j", "2"},
        {"lone CR", "[S]\rk=1\rj=2", "S", "j", "2"},
        {"no final line end", "[S]\nk=1", "S", "k", "1"},
        {"first key wins", "[S]\nk=1\nK=2\n", "S", "k", "1"},
        {"first section wins", "[S]\nk=1\n[s]\nk=2\n", "S", "k", "1"},
        {"only the first section is read", "[S]\na=1\n[S]\nk=2\n", "S", "k", ""},
        {"section ends at next header", "[S]\n[T]\nk=1\n", "S", "k", ""},
        {"other section's key", "[T]\nk=1\n[S]\nk=2\n", "S", "k", "2"},
        {"entries before any section", "k=1\n[S]\n", "S", "k", ""},
        {"line without = ignored", "[S]\nk\nk=2\n", "S", "k", "2"},
        {"value holds =", "[S]\nk=a=b\n", "S", "k", "a=b"},
        {"empty value", "[S]\nk=\nk=2\n", "S", "k", ""},
        {"text after ] ignored", "[S] ; note\nk=1\n", "S", "k", "1"},
        {"last ] closes the name", "[a]b]\nk=1\n", "a]b", "k", "1"},
        {"header without ] is no header", "[S]\n[T\nk=1\n", "S", "k", "1"},
        {"NUL ends the value", std::string("[S]\nk=ab\0cd\n", 12), "S", "k", "ab"},
        {"NUL in a name never matches", std::string("[S]\nk\0x=1\n", 10), "S", "k", ""},
    };
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileFile file;
        file.LoadBytes(c.text);
        EXPECT_EQ(file.GetString(c.section, c.key), c.value);
    }
}

TEST(ProfileSyntax, ValuesAreCutTo79Utf16Units) {
    const std::string ascii = Repeat("0123456789", 10);
    const std::string han = Repeat("\xE4\xB8\xAD", 100);           // U+4E2D, one unit each
    const std::string emoji = Repeat("\xF0\x9F\x98\x80", 40);      // U+1F600, two units each
    const std::string edge = Repeat("1", 78) + "\xF0\x9F\x98\x80"; // the pair would be 79, 80
    struct Case {
        const char* name;
        std::string value;
        std::string expected;
    } cases[] = {
        {"79 kept", ascii.substr(0, 79), ascii.substr(0, 79)},
        {"80 cut", ascii.substr(0, 80), ascii.substr(0, 79)},
        {"100 cut", ascii, ascii.substr(0, 79)},
        {"three-byte characters", han, han.substr(0, 79 * 3)},
        {"surrogate pairs not split", emoji, emoji.substr(0, 39 * 4)},
        {"pair at the edge dropped", edge, Repeat("1", 78)},
        {"quotes removed before the cut", "\"" + ascii + "\"", ascii.substr(0, 79)},
        {"invalid bytes count one each", Repeat("\xFF", 100), Repeat("\xEF\xBF\xBD", 79)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileFile file;
        file.LoadBytes("[FREQ]\nCH_01=" + c.value + "\n");
        EXPECT_EQ(file.GetString("FREQ", "CH_01"), c.expected);
    }
}

TEST(ProfileEncoding, Utf8AndUtf16) {
    const std::u16string text = u"[FREQ]\r\nCH_01=10,20\r\n[NOTE]\r\nk=通道 \U0001F600\r\n";
    const std::string note = "\xE9\x80\x9A\xE9\x81\x93 \xF0\x9F\x98\x80";
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"UTF-8", "[FREQ]\nCH_01=10,20\n[NOTE]\nk=" + note + "\n"},
        {"UTF-8 with BOM", "\xEF\xBB\xBF[FREQ]\nCH_01=10,20\n[NOTE]\nk=" + note + "\n"},
        {"UTF-16LE with BOM", "\xFF\xFE" + Utf16Bytes(text, true)},
        {"UTF-16BE with BOM", "\xFE\xFF" + Utf16Bytes(text, false)},
        {"UTF-16LE without BOM", Utf16Bytes(text, true)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileFile file;
        file.LoadBytes(c.bytes);
        EXPECT_EQ(file.GetString("FREQ", "CH_01"), "10,20");
        EXPECT_EQ(file.GetString("NOTE", "k"), note);
    }
}

TEST(ProfileEncoding, MalformedTextBecomesReplacementCharacters) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        const char* name;
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"stray continuation", "[S]\nk=a\x80z\n", "a" + fffd + "z"},
        {"truncated sequence", "[S]\nk=a\xE4\xB8\n", "a" + fffd + fffd},
        {"overlong slash", "[S]\nk=\xC0\xAF\n", fffd + fffd},
        {"encoded surrogate", "[S]\nk=\xED\xA0\x80\n", fffd + fffd + fffd},
        {"lone UTF-16 surrogate",
         "\xFF\xFE" + Utf16Bytes(u"[S]\nk=a", true) + std::string("\x00\xD8", 2) +
             Utf16Bytes(u"b\n", true),
         "a" + fffd + "b"},
        {"dangling odd byte", "\xFF\xFE" + Utf16Bytes(u"[S]\nk=a", true) + "b", "a" + fffd},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileFile file;
        file.LoadBytes(c.bytes);
        EXPECT_EQ(file.GetString("S", "k"), c.expected);
    }
}

TEST_F(ProfileFileTest, MissingEmptyAndUnreadableFilesReadAsNothing) {
    CProfileFile file;
    file.LoadBytes("[S]\nk=1\n");
    EXPECT_FALSE(file.Load(m_dir / "absent.ini"));
    EXPECT_EQ(file.GetString("S", "k"), ""); // the failed load emptied it
    EXPECT_FALSE(file.Load(m_dir));          // a directory
    EXPECT_EQ(ProfileGetString(m_dir / "absent.ini", "COM_PORT", "COM_PORT"), "");

    EXPECT_TRUE(file.Load(Write("")));
    EXPECT_EQ(file.GetString("COM_PORT", "COM_PORT"), "");
    EXPECT_EQ(CProfileFile().GetString("COM_PORT", "COM_PORT"), "");
}

TEST_F(ProfileFileTest, EveryLoadSeesTheFileAsItIsNow) {
    const fs::path path = Write("[COM_PORT]\nCOM_PORT=3\n");
    EXPECT_EQ(ProfileGetString(path, "COM_PORT", "COM_PORT"), "3");
    Write("[COM_PORT]\nCOM_PORT=7\n");
    EXPECT_EQ(ProfileGetString(path, "COM_PORT", "COM_PORT"), "7");
    fs::remove(path);
    EXPECT_EQ(ProfileGetString(path, "COM_PORT", "COM_PORT"), "");
}

TEST_F(ProfileFileTest, BinaryGarbageGivesWellFormedShortValues) {
    std::mt19937 rng(12345);
    // Random bytes with the format's own characters mixed in, so that sections and entries
    // with garbage names and values do occur.
    const char syntax[] = "[]=;\"'\r\n \t\0";
    std::string bytes;
    for (int i = 0; i < 1 << 20; ++i) {
        const std::uint32_t r = rng();
        bytes += (r & 0x300) != 0 ? static_cast<char>(r & 0xFF) : syntax[(r & 0xFF) % 12];
    }
    bytes += "\n[S]\nk=found\n";
    for (const std::string& prefix : {std::string(), std::string("\xFF\xFE"),
                                      std::string("\xFE\xFF"), std::string("\xEF\xBB\xBF")}) {
        CProfileFile file;
        ASSERT_TRUE(file.Load(Write(prefix + bytes)));
        for (const char* key : {"k", "CH_01", "", "="}) {
            for (const char* section : {"S", "FREQ", "", "]"}) {
                const long units = Utf16Units(file.GetString(section, key));
                EXPECT_GE(units, 0);
                EXPECT_LE(units, 79);
            }
        }
    }
    CProfileFile file;
    file.LoadBytes(bytes);
    EXPECT_EQ(file.GetString("S", "k"), "found");
}

TEST_F(ProfileFileTest, MegabyteLines) {
    const std::string list = Repeat("10,", 350000);
    const fs::path path = Write(Repeat("x", 1 << 20) + "\n[FREQ]\nCH_01=" + list + "\n" +
                                Repeat(" ", 1 << 20) + "\nCH_02=5\n" + Repeat("=", 1 << 20));
    CProfileFile file(path);
    EXPECT_EQ(file.GetString("FREQ", "CH_01"), list.substr(0, 79));
    EXPECT_EQ(file.GetString("FREQ", "CH_02"), "5");
    EXPECT_EQ(file.GetString("FREQ", "CH_03"), "");
}

TEST(ProfileSize, OnlyTheFirst16MiBAreRead) {
    std::string bytes = "[S]\nfirst=1\n";
    bytes += Repeat(";" + std::string(1023, 'x') + "\n", PROFILE_FILE_MAX_BYTES / 1024);
    bytes += "[T]\nlast=2\n";
    ASSERT_GT(bytes.size(), PROFILE_FILE_MAX_BYTES);
    CProfileFile file;
    file.LoadBytes(bytes);
    EXPECT_EQ(file.GetString("S", "first"), "1");
    EXPECT_EQ(file.GetString("T", "last"), "");
}

TEST(ProfileValues, IntegerConversion) {
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"3", 3},
        {"115200", 115200},
        {"-1", -1},
        {"0", 0},
        {"256", 256},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
        {"abc", 0},
        {" \t+12", 12},
        {"12x", 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ProfileValueToInt(c.text), c.value);
    }
    // Through the reader: blanks around the value are gone before the conversion.
    CProfileFile file;
    file.LoadBytes("[COM_PORT]\nCOM_PORT = 99999999999 \nBAUDRATE=abc\n");
    EXPECT_EQ(ProfileValueToInt(file.GetString("COM_PORT", "COM_PORT")), INT_MAX);
    EXPECT_EQ(ProfileValueToInt(file.GetString("COM_PORT", "BAUDRATE")), 0);
}

TEST(ProfileValues, ListSplit) {
    const struct {
        const char* value;
        std::vector<std::string> items;
    } cases[] = {
        {"10,20,50,100", {"10", "20", "50", "100"}},
        {"10", {"10"}},
        {"", {}},
        {",", {}},
        {",10", {}},
        {"10,,20", {"10"}},
        {"10,20,", {"10", "20"}},
        {"10, 20", {"10", " 20"}},
        {" , ", {" ", " "}},
        {"a b,c", {"a b", "c"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(ProfileSplitList(c.value), c.items);
    }
}

TEST(ProfileValues, ChannelKeys) {
    const char* keys[] = {"CH_01", "CH_02", "CH_03", "CH_04", "CH_05", "CH_06",
                          "CH_07", "CH_08", "CH_09", "CH_10", "CH_11", "CH_12"};
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(ProfileChannelKey(i), keys[i]);
    }
}

// Changes the working directory for one test and puts it back.
class ProfileSetupPathTest : public ProfileFileTest {
protected:
    void SetUp() override {
        ProfileFileTest::SetUp();
        m_saved = fs::current_path();
    }
    void TearDown() override {
        fs::current_path(m_saved);
        ProfileFileTest::TearDown();
    }
    fs::path m_saved;
};

TEST_F(ProfileSetupPathTest, SetupFileInTheWorkingDirectory) {
    // Deeper than the 260-character buffer of the platform's directory query.
    fs::path deep = m_dir;
    while (deep.native().size() <= 300) {
        deep /= std::string(40, 'd');
    }
    ASSERT_TRUE(fs::create_directories(deep));
    for (const fs::path& dir : {m_dir, deep}) {
        SCOPED_TRACE(dir.string());
        std::error_code ec;
        fs::current_path(dir, ec);
        if (ec && dir == deep) {
            GTEST_SKIP() << "the system refuses a working directory this long: " << ec.message();
        }
        ASSERT_FALSE(ec) << ec.message();
        {
            std::ofstream out(dir / "setup.ini", std::ios::binary);
            out << "[DDS_CLK_MODE]\nMODE=9\n";
        }
        const fs::path path = ProfileSetupFilePath();
        EXPECT_TRUE(path.is_absolute());
        EXPECT_EQ(path.filename(), "setup.ini");
        EXPECT_TRUE(fs::equivalent(path, dir / "setup.ini", ec)) << ec.message();
        EXPECT_EQ(ProfileGetString(path, "DDS_CLK_MODE", "MODE"), "9");
    }
}

} // namespace
