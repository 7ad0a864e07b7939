// The form's channel send against the simulated module: the texts converted, the command and
// the module's registers, the mode lines, the update button, the failure box and the status
// texts.
#include "test_morvanedlg_fixture.h"

#include <QMessageBox>

namespace {

using namespace morvanedlg_test;

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size())) {
        ++n;
    }
    return n;
}

class MorvaneSendTest : public MorvaneDlgTest {
protected:
    void SetUp() override {
        MorvaneDlgTest::SetUp();
        WriteSimSetup();
        Open();
        ASSERT_TRUE(m_form->IsPortOpen());
        m_diag.clear();
    }
};

TEST_F(MorvaneSendTest, RowLabelledCh5SetsChannelIndex8AndTheListShowsTheRegisters) {
    SetRow(8, QStringLiteral("10"), QStringLiteral("50"), QStringLiteral("0"));
    Click(Switch(8));

    EXPECT_EQ(m_diag, "S : Setup Single DDS Channel\n");
    EXPECT_EQ(std::string(DdsLastCommand()), "dds 8 1999999a 0 200 1");
    EXPECT_EQ(Pane(), QStringLiteral(
                          "單個通道設定 : CH[9] Freq=[10.0000]MHz  Phase=[0.0]°  Amp=[0.500]\n"));
    EXPECT_TRUE(Boxes().empty());
    const SimChannel reg = m_sim.Channel(8);
    EXPECT_TRUE(reg.on);
    EXPECT_EQ(reg.freqWord, 0x1999999au);
    EXPECT_EQ(reg.ampWord, 0x200u);
    EXPECT_EQ(reg.phaseWord, 0u);
    EXPECT_EQ(m_sim.Channel(4).ampWord, 0u); // the hidden row's channel is untouched

    // The list shows what the registers hold (row 09 is channel index 8).
    Command(ID_READ_STATUS);
    EXPECT_EQ(StatusCell(8, 1), QStringLiteral("09"));
    EXPECT_EQ(StatusCell(8, 2),
              QString::asprintf("%.3f", WordToFreq(static_cast<std::int32_t>(reg.freqWord)) / 1e6));
    EXPECT_EQ(StatusCell(8, 2), QStringLiteral("10.000"));
    EXPECT_EQ(StatusCell(8, 3), QStringLiteral("50"));
    EXPECT_EQ(StatusCell(8, 4), QStringLiteral("0.00"));
    EXPECT_EQ(StatusCell(8, 5), QStringLiteral("ON"));

    // Switched off, the row keeps its frequency in the list and the register's word is 0.
    Click(Switch(8));
    EXPECT_EQ(std::string(DdsLastCommand()), "dds 8 0 0 200 1");
    EXPECT_FALSE(m_sim.Channel(8).on);
    EXPECT_EQ(Pane(),
              QStringLiteral("單個通道設定 : CH[9] Freq=[0.0000]MHz  Phase=[0.0]°  Amp=[0.500]\n"));
    Command(ID_READ_STATUS);
    EXPECT_EQ(StatusCell(8, 2), QStringLiteral("10.000"));
    EXPECT_EQ(StatusCell(8, 5), QStringLiteral("OFF"));
}

TEST_F(MorvaneSendTest, TextsAreConvertedTheWayTheCLibraryReadsThem) {
    struct Case {
        int channel;
        const char* freq;
        const char* amp;
        const char* phase;
        const char* command;
        const char* status; // after "單個通道設定 : CH[n] "
    };
    const Case cases[] = {
        {0, " 12.5", "50", "90", "dds 0 20000000 1000 200 1",
         "Freq=[12.5000]MHz  Phase=[90.0]°  Amp=[0.500]\n"},
        {1, "12.5MHz", "abc", "45deg", "dds 1 20000000 800 0 1",
         "Freq=[12.5000]MHz  Phase=[45.0]°  Amp=[0.000]\n"},
        // Empty boxes: 0 Hz (the channel goes off), 90 degrees, full scale.
        {2, "", "", "", "dds 2 0 1000 400 1", "Freq=[0.0000]MHz  Phase=[90.0]°  Amp=[1.000]\n"},
        {3, "1e1", "1E2", "-90", "dds 3 1999999a 3000 400 1",
         "Freq=[10.0000]MHz  Phase=[-90.0]°  Amp=[1.000]\n"},
        {9, "+7.25", "30", "359", "dds 9 128f5c29 3fd2 133 1",
         "Freq=[7.2500]MHz  Phase=[359.0]°  Amp=[0.300]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.freq);
        SetRow(c.channel, QString::fromUtf8(c.freq), QString::fromUtf8(c.amp),
               QString::fromUtf8(c.phase));
        Click(Switch(c.channel));
        EXPECT_EQ(std::string(DdsLastCommand()), c.command);
        EXPECT_EQ(Pane(), QStringLiteral("單個通道設定 : CH[%1] ").arg(c.channel + 1) +
                              QString::fromUtf8(c.status));
        // The row shows the new state also when it sent 0 Hz.
        EXPECT_EQ(Switch(c.channel)->text(), QStringLiteral("關閉"));
        EXPECT_TRUE(LedShowsLit(c.channel));
    }
    EXPECT_TRUE(Boxes().empty());
    EXPECT_FALSE(m_sim.Channel(2).on);
    EXPECT_EQ(m_sim.Channel(9).freqWord, 0x128f5c29u);
}

TEST_F(MorvaneSendTest, MultipleModeHoldsSettingsUntilTheUpdateButton) {
    Click(Multiple());
    ASSERT_FALSE(Single()->isChecked());
    const SimChannel before = m_sim.Channel(0);

    SetRow(0, QStringLiteral("20"), QStringLiteral("25"), QStringLiteral("180"));
    Click(Switch(0));
    EXPECT_EQ(std::string(DdsLastCommand()), "dds 0 33333333 2000 100 0");
    EXPECT_TRUE(Update()->isEnabled());
    EXPECT_EQ(Pane(), QStringLiteral(
                          "多個通道設定 : CH[1] Freq=[20.0000]MHz  Phase=[180.0]°  Amp=[0.250]\n"));
    SetRow(11, QStringLiteral("40"), QStringLiteral("100"), QStringLiteral("0"));
    Click(Switch(11));
    EXPECT_EQ(Count(m_diag, "SM: Setup Mutiple DDS Channel\n"), 2u);
    EXPECT_EQ(Count(m_diag, "S : Setup Single"), 0u);

    // Held, not applied.
    EXPECT_EQ(m_sim.Channel(0).freqWord, before.freqWord);
    EXPECT_EQ(m_sim.PendingChannel(0).freqWord, 0x33333333u);

    m_sim.ClearReceived();
    Click(Update());
    EXPECT_NE(m_sim.Received().find("DDU\r"), std::string::npos);
    EXPECT_FALSE(Update()->isEnabled());
    EXPECT_EQ(m_sim.Channel(0).freqWord, 0x33333333u);
    EXPECT_EQ(m_sim.Channel(0).ampWord, 0x100u);
    EXPECT_EQ(m_sim.Channel(11).freqWord, 0x66666666u);
    EXPECT_TRUE(m_sim.Channel(11).on);

    // Switching off in multiple mode enables the button again; so does a failed send.
    Click(Switch(0));
    EXPECT_TRUE(Update()->isEnabled());
    Click(Update());
    SetRow(1, QStringLiteral("nan"), QString(), QString());
    Click(Switch(1));
    EXPECT_TRUE(Update()->isEnabled());
    // Going back to single mode does not disable it.
    Click(Single());
    EXPECT_TRUE(Update()->isEnabled());
}

TEST_F(MorvaneSendTest, NeitherModeBoxSendsWithoutTheSingleFlagAndWithoutALine) {
    Click(Single()); // unchecks it: neither box is checked now
    ASSERT_FALSE(Single()->isChecked());
    ASSERT_FALSE(Multiple()->isChecked());
    SetRow(3, QStringLiteral("10"), QStringLiteral("100"), QStringLiteral("0"));
    Click(Switch(3));
    EXPECT_EQ(std::string(DdsLastCommand()), "dds 3 1999999a 0 400 0");
    EXPECT_EQ(m_diag, "");
    EXPECT_FALSE(Update()->isEnabled());
    EXPECT_TRUE(Pane().startsWith(QStringLiteral("多個通道設定 : CH[4] ")));
}

TEST_F(MorvaneSendTest, ValuesTheModuleCannotTakeAreReportedAndNothingIsSent) {
    const QString longNumber(10000, QLatin1Char('1'));
    struct Case {
        QString freq;
        QString amp;
        QString phase;
        const char* reason; // what pane 0 says after "設定異常 : CH[11] "
    };
    const char* const freq = "頻率超出範圍 (須小於 50 MHz)"; // half the 100 MHz clock
    const char* const amp = "振幅超出範圍 (0 - 100 %)";
    const char* const phase = "相位不是數字";
    const Case cases[] = {
        {QStringLiteral("nan"), QStringLiteral("100"), QStringLiteral("0"), freq},
        {QStringLiteral("inf"), QStringLiteral("100"), QStringLiteral("0"), freq},
        {QStringLiteral("1e999"), QStringLiteral("100"), QStringLiteral("0"), freq},
        {longNumber, QStringLiteral("100"), QStringLiteral("0"), freq},
        {QStringLiteral("50"), QStringLiteral("100"), QStringLiteral("0"), freq},
        {QStringLiteral("0.05 GHz"), QStringLiteral("100"), QStringLiteral("0"), freq},
        {QStringLiteral("-5"), QStringLiteral("100"), QStringLiteral("0"), freq},
        {QStringLiteral("10"), QStringLiteral("150"), QStringLiteral("0"), amp},
        {QStringLiteral("10"), QStringLiteral("-infinity"), QStringLiteral("0"), amp},
        {QStringLiteral("10"), QStringLiteral("100"), QStringLiteral("nan"), phase},
        {QStringLiteral("10"), QStringLiteral("100"), longNumber, phase},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.freq.left(12) + " " + c.amp + " " + c.phase.left(12)).toStdString());
        m_boxes->Clear();
        const std::string lastCommand = DdsLastCommand();
        const DdsChannelState row = DdsChannelTable[10];
        SetRow(10, c.freq, c.amp, c.phase);

        Click(Switch(10));
        ASSERT_EQ(Boxes().size(), 1u);
        EXPECT_EQ(Boxes()[0].text, QStringLiteral("通道 [CH11] 設定參數工作異常 !            "));
        EXPECT_EQ(Boxes()[0].caption, QStringLiteral("設定異常"));
        EXPECT_EQ(Boxes()[0].icon, QMessageBox::Warning);
        EXPECT_EQ(Boxes()[0].owner, m_form);
        EXPECT_EQ(DdsLastCommand(), lastCommand);
        EXPECT_EQ(DdsChannelTable[10].freqHz, row.freqHz);
        // The toggle stays, and the status text, written after the box, says why.
        EXPECT_EQ(Switch(10)->text(), QStringLiteral("關閉"));
        EXPECT_TRUE(LedShowsLit(10));
        EXPECT_EQ(Pane(), QStringLiteral("設定異常 : CH[11] ") + QString::fromUtf8(c.reason));

        // Switching off is not reported, whatever the module makes of it.
        Click(Switch(10));
        EXPECT_EQ(Boxes().size(), 1u);
        EXPECT_EQ(Switch(10)->text(), QStringLiteral("開啟"));
        EXPECT_TRUE(Pane().contains(QStringLiteral("Freq=[0.0000]MHz")));
    }
}

TEST_F(MorvaneDlgTest, WithoutAClockFromTheModuleSwitchingOnIsReported) {
    WriteSimSetup("0"); // no initialise command: DDS control knows no clock
    Open();
    ASSERT_TRUE(m_form->IsPortOpen());
    Click(Switch(0));
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("通道 [CH1] 設定參數工作異常 !            "));
    EXPECT_EQ(Pane(), QStringLiteral("設定異常 : CH[1] 尚未取得 DDS 時脈"));
    EXPECT_FALSE(m_sim.Channel(0).on);
}

} // namespace
