// The running console against odd input: operator texts in the panel that are not plain
// numbers or lie at the edge of what the module takes, and setup files in other encodings,
// with megabyte lines, duplicate sections and keys, and port numbers and baud rates out of
// range. Each gets a clear refusal or the behaviour the console defines for it, and no word the
// module cannot carry ever reaches it.
#include "test_morvanedlg_fixture.h"

#include <QMessageBox>

#include <climits>
#include <cstdio>
#include <sstream>

namespace {

using namespace morvanedlg_test;

const QString NO_DEVICE = QStringLiteral("/nonexistent/morvane-test-tty");

QString SendFailedText(int channelNumber) {
    return QStringLiteral("通道 [CH%1] 設定參數工作異常 !            ").arg(channelNumber);
}

// The "dds" lines among the bytes the module received, as text without their CR.
std::vector<std::string> DdsLines(const std::string& received) {
    std::vector<std::string> lines;
    std::istringstream in(received);
    std::string line;
    while (std::getline(in, line, '\r')) {
        if (line.rfind("dds ", 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

// Every "dds" line the module received carries words the module can take: a frequency word
// below 2^31, a phase word of at most 2^14 (360 degrees), an amplitude word of at most 2^10
// (full scale), a channel of 0 to 11 and a flag of 0 or 1.
void ExpectOnlyWordsTheModuleTakes(const std::string& received) {
    for (const std::string& line : DdsLines(received)) {
        SCOPED_TRACE(line);
        unsigned long channel = 0, freq = 0, phase = 0, amp = 0, single = 0;
        char rest = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "dds %lx %lx %lx %lx %lx%c", &channel, &freq, &phase,
                              &amp, &single, &rest),
                  5);
        EXPECT_LT(channel, 12u);
        EXPECT_LT(freq, 0x80000000u);
        EXPECT_LE(phase, 0x4000u);
        EXPECT_LE(amp, 0x400u);
        EXPECT_LE(single, 1u);
    }
}

class ConsoleInputTest : public MorvaneDlgTest {
protected:
    void SetUp() override {
        MorvaneDlgTest::SetUp();
        WriteSimSetup(); // clock mode 2: 100 MHz, half of it 50 MHz
        Open();
        ASSERT_TRUE(m_form->IsPortOpen());
        ASSERT_EQ(DdsModuleClocks.ddsClockHz, 100e6);
        m_boxes->Clear();
    }

    void TearDown() override {
        ExpectOnlyWordsTheModuleTakes(m_sim.Received());
        MorvaneDlgTest::TearDown();
    }
};

struct TextCase {
    QString freq, amp, phase;
    const char* command; // what goes out ("%x" for the channel); nullptr: refused
};

// Switching on: texts that are not plain numbers convert the way the C library reads a
// decimal number (blanks, letters, "0x", full-width digits and an underflow give 0; a number
// followed by other text gives the number), and values the module's words cannot carry are
// refused with the failed-set box and nothing sent. Switching off afterwards always reaches the
// module.
TEST_F(ConsoleInputTest, OperatorTextsAreConvertedOrRefused) {
    const QString blanks(10000, QLatin1Char(' '));
    const QString longTail = QStringLiteral("10") + QString(9998, QLatin1Char('x'));
    const QString longZeros = QString(9999, QLatin1Char('0')) + QStringLiteral("5");
    const TextCase cases[] = {
        // Converted: 0 Hz switches the channel off, as an empty frequency box does.
        {QStringLiteral("   "), QStringLiteral("50"), QStringLiteral("90"), "dds %x 0 1000 200 1"},
        {QStringLiteral("10"), QStringLiteral("   "), QStringLiteral("   "),
         "dds %x 1999999a 0 0 1"},
        {QStringLiteral("abc"), QStringLiteral("abc"), QStringLiteral("abc"), "dds %x 0 0 0 1"},
        {QStringLiteral("0x10"), QStringLiteral("50"), QStringLiteral("0"), "dds %x 0 0 200 1"},
        {QStringLiteral("10"), QStringLiteral("0x10"), QStringLiteral("0x10"),
         "dds %x 1999999a 0 0 1"},
        {QStringLiteral("１０"), QStringLiteral("50"), QStringLiteral("0"), "dds %x 0 0 200 1"},
        {QStringLiteral("10"), QStringLiteral("５０"), QStringLiteral("９０"),
         "dds %x 1999999a 0 0 1"},
        {QStringLiteral("10"), QStringLiteral("50"), QStringLiteral("-5"),
         "dds %x 1999999a 3f1c 200 1"},
        {QStringLiteral("1e-999"), QStringLiteral("100"), QStringLiteral("0"), "dds %x 0 0 400 1"},
        {blanks, QStringLiteral("100"), QStringLiteral("0"), "dds %x 0 0 400 1"},
        {longTail, QStringLiteral("50"), QStringLiteral("0"), "dds %x 1999999a 0 200 1"},
        {longZeros, QStringLiteral("100"), QStringLiteral("0"), "dds %x ccccccd 0 400 1"},
        // Just below half the 100 MHz DDS clock: the highest words the module takes.
        {QStringLiteral("49.999999"), QStringLiteral("100"), QStringLiteral("0"),
         "dds %x 7fffffd5 0 400 1"},
        // Refused.
        {QStringLiteral("50.000001"), QStringLiteral("100"), QStringLiteral("0"), nullptr},
        {QStringLiteral("49.99999999999999"), QStringLiteral("100"), QStringLiteral("0"), nullptr},
        {QStringLiteral("-0.000001"), QStringLiteral("100"), QStringLiteral("0"), nullptr},
        {QStringLiteral("10"), QStringLiteral("-5"), QStringLiteral("0"), nullptr},
        {QStringLiteral("10"), QStringLiteral("100.0000001"), QStringLiteral("0"), nullptr},
        {QStringLiteral("10"), QStringLiteral("1e999"), QStringLiteral("0"), nullptr},
        {QStringLiteral("10"), QStringLiteral("100"), QStringLiteral("inf"), nullptr},
        {QStringLiteral("10"), QStringLiteral("100"), QStringLiteral("-1e999"), nullptr},
    };
    const int rows[] = {0, 1, 2, 3, 8, 9, 10, 11};
    int k = 0;
    for (const TextCase& t : cases) {
        const int c = rows[k++ % 8];
        SCOPED_TRACE((t.freq.left(16) + " | " + t.amp + " | " + t.phase).toStdString());
        m_boxes->Clear();
        m_sim.ClearReceived();
        SetRow(c, t.freq, t.amp, t.phase);
        ASSERT_EQ(Switch(c)->text(), QStringLiteral("開啟"));

        Click(Switch(c));
        EXPECT_EQ(Switch(c)->text(), QStringLiteral("關閉"));
        const std::vector<std::string> sent = DdsLines(m_sim.Received());
        if (t.command != nullptr) {
            char expected[64];
            std::snprintf(expected, sizeof expected, t.command, c);
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0], expected);
            EXPECT_TRUE(Boxes().empty());
            unsigned freq = 0, phase = 0, amp = 0;
            ASSERT_EQ(std::sscanf(expected + 6, "%x %x %x", &freq, &phase, &amp), 3);
            const SimChannel reg = m_sim.Channel(c);
            EXPECT_EQ(reg.freqWord, freq);
            EXPECT_EQ(reg.phaseWord, phase);
            EXPECT_EQ(reg.ampWord, amp);
        } else {
            EXPECT_TRUE(sent.empty());
            ASSERT_EQ(Boxes().size(), 1u);
            EXPECT_EQ(Boxes()[0].text, SendFailedText(c + 1));
            EXPECT_EQ(Boxes()[0].caption, QStringLiteral("設定異常"));
        }

        // Switching off reaches the module whatever the boxes hold, without a box.
        m_boxes->Clear();
        Click(Switch(c));
        EXPECT_TRUE(Boxes().empty());
        EXPECT_EQ(Switch(c)->text(), QStringLiteral("開啟"));
        EXPECT_FALSE(m_sim.Channel(c).on);
        EXPECT_EQ(m_sim.Channel(c).freqWord, 0u);
        EXPECT_TRUE(Pane().contains(QStringLiteral("Freq=[0.0000]MHz"))) << Pane().toStdString();
    }
}

// A channel that runs is switched off while its amplitude or phase box holds a value the
// module's words cannot carry: the off command still goes out, with the phase and amplitude
// the channel last took, and the status line shows what was sent.
TEST_F(ConsoleInputTest, SwitchingOffReachesTheModuleWhateverTheBoxesHold) {
    struct OffCase {
        QString amp, phase;
    };
    const OffCase cases[] = {
        {QStringLiteral("150"), QStringLiteral("0")},
        {QStringLiteral("-5"), QStringLiteral("0")},
        {QStringLiteral("nan"), QStringLiteral("0")},
        {QStringLiteral("1e999"), QStringLiteral("0")},
        {QStringLiteral("50"), QStringLiteral("nan")},
        {QStringLiteral("50"), QStringLiteral("inf")},
        {QStringLiteral("50"), QStringLiteral("-1e999")},
    };
    for (const OffCase& o : cases) {
        SCOPED_TRACE((o.amp + " | " + o.phase).toStdString());
        SetRow(9, QStringLiteral("10"), QStringLiteral("25"), QStringLiteral("45"));
        Click(Switch(9));
        ASSERT_TRUE(m_sim.Channel(9).on);
        ASSERT_TRUE(Boxes().empty());

        m_sim.ClearReceived();
        SetRow(9, QStringLiteral("nan"), o.amp, o.phase);
        Click(Switch(9));
        EXPECT_TRUE(Boxes().empty()); // switching off is not reported
        EXPECT_EQ(DdsLines(m_sim.Received()), std::vector<std::string>({"dds 9 0 800 100 1"}));
        EXPECT_FALSE(m_sim.Channel(9).on);
        EXPECT_EQ(DdsChannelTable[9].on, 0);
        EXPECT_EQ(Pane(), QStringLiteral("單個通道設定 : CH[10] Freq=[0.0000]MHz  Phase=[45.0]°  "
                                         "Amp=[0.250]\n"));
    }
}

// ---- setup.ini -----------------------------------------------------------------------------

// The example file with its texts re-encoded.
std::string Utf16Bytes(const std::string& utf8, bool littleEndian, bool bom) {
    std::string bytes;
    const QString text = QString::fromStdString(utf8);
    const auto put = [&](char16_t unit) {
        const char low = static_cast<char>(unit & 0xFF);
        const char high = static_cast<char>(unit >> 8);
        bytes += littleEndian ? low : high;
        bytes += littleEndian ? high : low;
    };
    if (bom) {
        put(0xFEFF);
    }
    for (const QChar ch : text) {
        put(ch.unicode());
    }
    return bytes;
}

struct FileCase {
    const char* name;
    std::string bytes;
    bool setupBox; // the setup-file message is shown
    int comPort;   // as read (the port is not opened: the device override fails)
    int baud;
    QStringList freq0;   // items of the frequency box of channel index 0
    QStringList amp4;    // items of the amplitude box of channel index 4 (a hidden row)
    QStringList phase11; // items of the phase box of channel index 11
};

std::vector<FileCase> FileCases() {
    const std::string example = ReplaceLine(ReplaceLine(SetupText(""), "COM_PORT=3", "COM_PORT=5"),
                                            "BAUDRATE=115200", "BAUDRATE=9600");
    const QStringList freq = {"10", "20", "50", "100"};
    const QStringList amp = {"100", "50", "25"};
    const QStringList phase = {"0", "90", "180", "270"};

    const std::string mega(1 << 20, 'x');
    std::string longList;
    while (longList.size() < (1u << 20)) {
        longList += "12345678,";
    }
    std::string bigLines = ";" + mega + "\n[" + mega + "]\n" + example;
    bigLines = ReplaceInSection(bigLines, "FREQ", "CH_01=10,20,50,100",
                                mega + "\nCH_01=" + longList + "\n" + mega + "=1");
    // 79 characters of the list: eight items of "12345678" and the cut "1234567".
    QStringList cut(8, QStringLiteral("12345678"));
    cut << QStringLiteral("1234567");

    // Duplicates: the first section of a name and the first key in it win; a later section is
    // never consulted, not even for keys the first one lacks.
    std::string dup = "[COM_PORT]\nCOM_PORT=4\nCOM_PORT=9\n[com_port]\nBAUDRATE=1200\n";
    dup += example.substr(example.find("[DDS_CLK_MODE]"));
    dup = ReplaceInSection(dup, "FREQ", "CH_01=10,20,50,100", "CH_01=1,2\nCH_01=3,4");
    dup = ReplaceInSection(dup, "AMP", "CH_05=100,50,25\n", "");
    dup += "\n[AMP]\nCH_05=7,8\n[FREQ]\nCH_01=5,6\n";

    return {
        {"UTF-8 with BOM", "\xEF\xBB\xBF" + example, false, 5, 9600, freq, amp, phase},
        {"UTF-16LE with BOM", Utf16Bytes(example, true, true), false, 5, 9600, freq, amp, phase},
        {"UTF-16LE without BOM", Utf16Bytes(example, true, false), false, 5, 9600, freq, amp,
         phase},
        {"UTF-16BE with BOM", Utf16Bytes(example, false, true), false, 5, 9600, freq, amp, phase},
        {"megabyte lines", bigLines, false, 5, 9600, cut, amp, phase},
        {"duplicate sections and keys", dup, true, 4, 115200, {"1", "2"}, {}, {}},
    };
}

TEST_F(MorvaneDlgTest, SetupFilesInOtherEncodingsWithHugeLinesAndDuplicates) {
    for (const FileCase& f : FileCases()) {
        SCOPED_TRACE(f.name);
        Close();
        m_boxes->Clear();
        WriteSetup(f.bytes);
        Open(NO_DEVICE);

        ASSERT_EQ(Boxes().size(), f.setupBox ? 2u : 1u);
        if (f.setupBox) {
            EXPECT_EQ(Boxes()[0].text, SetupFailedText());
        }
        EXPECT_EQ(Boxes().back().caption, QStringLiteral("確認串列埠設定"));
        EXPECT_EQ(m_form->ComPort(), f.comPort);
        EXPECT_EQ(m_form->BaudRate(), f.baud);
        EXPECT_EQ(m_form->DdsClkMode(), 2);
        EXPECT_EQ(Items(Freq(0)), f.freq0);
        EXPECT_EQ(Items(Amp(4)), f.amp4);
        EXPECT_EQ(Items(Phase(11)), f.phase11);
        // A complete reading shows the first items; a failed one no text at all.
        EXPECT_EQ(Freq(0)->currentText(), f.setupBox ? QString() : f.freq0.value(0));
    }
}

// Port numbers out of range are used as read (beyond the range of int they saturate): the open
// fails with the troubleshooting box and the status text, both naming the number, and the form
// stays consistent.
TEST_F(MorvaneDlgTest, PortNumbersOutOfRangeFailToOpenAndAreNamed) {
    struct PortCase {
        const char* text;
        int port;
    };
    const PortCase cases[] = {
        {"-1", -1},
        {"0", 0},
        {"256", 256},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
    };
    for (const PortCase& p : cases) {
        SCOPED_TRACE(p.text);
        Close();
        m_boxes->Clear();
        WriteSetup(SetupText("", "2", p.text));
        Open();
        const QString number = QString::number(p.port);
        EXPECT_EQ(m_form->ComPort(), p.port);
        EXPECT_FALSE(m_form->IsPortOpen());
        EXPECT_FALSE(LinkIsOpen());
        EXPECT_TRUE(Checked(ID_PORT_CLOSE));
        EXPECT_EQ(Pane(), FailedText(number));
        ASSERT_EQ(Boxes().size(), 1u);
        EXPECT_EQ(Boxes()[0].caption, QStringLiteral("確認串列埠設定"));
        EXPECT_TRUE(Boxes()[0].text.startsWith(
            QStringLiteral("無法開啟 [RS232] 串列埠[ %1 ] !\n").arg(number)));
        EXPECT_FALSE(m_form->IsStatusTimerActive());
    }
}

// Baud rates that are no rate at all, on the simulated module (a pseudo-terminal takes any line
// setting): the rate is stored as read, and whether or not the port opens, the form, the menu,
// the status line and the link agree; when it opens, a setting reaches the module.
TEST_F(MorvaneDlgTest, BaudRatesThatAreNoRateKeepTheFormConsistent) {
    const std::string device = SimDevice();
    struct BaudCase {
        const char* text;
        int baud;
    };
    const BaudCase cases[] = {{"0", 0}, {"abc", 0}, {"-1", -1}, {"99999999999", INT_MAX}, {"1", 1}};
    for (const BaudCase& b : cases) {
        SCOPED_TRACE(b.text);
        Close();
        m_boxes->Clear();
        WriteSetup(
            ReplaceLine(SetupText(device), "BAUDRATE=115200", std::string("BAUDRATE=") + b.text));
        Open();
        EXPECT_EQ(m_form->BaudRate(), b.baud);
        const bool open = m_form->IsPortOpen();
        std::printf("[ figures  ] BAUDRATE=%s: port %s\n", b.text, open ? "opened" : "not opened");
        EXPECT_EQ(LinkIsOpen(), open);
        EXPECT_EQ(Checked(ID_PORT_OPEN), open);
        const QString port = QString::fromStdString(device);
        EXPECT_EQ(Pane(), open ? OpenedText(port) : FailedText(port));
        EXPECT_EQ(Boxes().size(), open ? 0u : 1u);
        if (open) {
            Click(Switch(1));
            EXPECT_TRUE(Boxes().empty());
            EXPECT_EQ(m_sim.Channel(1).ampWord, 0x400u);
            Click(Switch(1));
            EXPECT_FALSE(m_sim.Channel(1).on);
        }
    }
}

} // namespace

namespace {

using namespace morvanedlg_test;

// DEVICE names something that is no serial line: the open fails with the troubleshooting box
// naming it, or (a device that takes any setting) the module's probe finds no module; either
// way the form is consistent and nothing waits for long.
TEST_F(MorvaneDlgTest, DeviceThatIsNoSerialLineFailsToOpen) {
    const QString file = QDir(m_work.path()).filePath(QStringLiteral("not-a-tty"));
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("dds 0 0 0 0 1\r>");
    }
    const std::string names[] = {"/dev/null", "/dev/zero", file.toStdString(),
                                 m_work.path().toStdString()};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        Close();
        m_boxes->Clear();
        WriteSetup(SetupText(name));
        Open();
        const QString label = QString::fromStdString(name);
        EXPECT_FALSE(m_form->IsPortOpen());
        EXPECT_FALSE(LinkIsOpen());
        EXPECT_TRUE(Checked(ID_PORT_CLOSE));
        EXPECT_EQ(Pane(), FailedText(label));
        ASSERT_EQ(Boxes().size(), 1u);
        EXPECT_TRUE(Boxes()[0].text.startsWith(
            QStringLiteral("無法開啟 [RS232] 串列埠[ %1 ] !\n").arg(label)));
    }
}

} // namespace
