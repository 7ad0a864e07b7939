// The main form in a frame, started as the application starts it, in a scratch working
// directory whose setup.ini each test writes, with the module simulator on a pseudo-terminal
// (DEVICE names its slave side), message boxes recorded and diagnostic lines captured.
#pragma once

#include "cccombobox.h"
#include "comlink.h"
#include "dds.h"
#include "diag.h"
#include "framework.h"
#include "mainfrm.h"
#include "morvanedlg.h"
#include "pty_simulator.h"
#include "resource.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace morvanedlg_test {

// Limits for a shared, slow machine, not expectations of speed.
constexpr int WAIT_MS = 20000;

// A complete setup file in the example's form; device is the DEVICE line's value (none when
// empty) and mode the MODE line (none when empty).
inline std::string SetupText(const std::string& device, const std::string& mode = "2",
                             const std::string& comPort = "3") {
    std::string text = "[COM_PORT]\nCOM_PORT=" + comPort + "\nBAUDRATE=115200\n";
    if (!device.empty()) {
        text += "DEVICE=" + device + "\n";
    }
    text += "\n[DDS_CLK_MODE]\n";
    if (!mode.empty()) {
        text += "MODE=" + mode + "\n";
    }
    const struct {
        const char* section;
        const char* list;
    } lists[] = {{"FREQ", "10,20,50,100"}, {"AMP", "100,50,25"}, {"PHASE", "0,90,180,270"}};
    for (const auto& l : lists) {
        text += std::string("\n[") + l.section + "]\n";
        for (int i = 1; i <= 12; ++i) {
            text += (i < 10 ? "CH_0" : "CH_") + std::to_string(i) + "=" + l.list + "\n";
        }
    }
    return text;
}

// Replaces the first occurrence of from (a whole line's text) in text.
inline std::string ReplaceLine(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The text of a line inside its section only: "[AMP]\nCH_05=..." and the like are found by
// searching from the section header on.
inline std::string ReplaceInSection(std::string text, const std::string& section,
                                    const std::string& from, const std::string& to) {
    const std::size_t start = text.find("[" + section + "]");
    const std::size_t at = start == std::string::npos ? start : text.find(from, start);
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

class MorvaneDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_work.isValid());
        m_oldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(m_work.path()));
        DdsResetState();
        DiagSetSink([this](std::string_view text) { m_diag.append(text); });
        m_boxes = std::make_unique<CMessageBoxRecorder>();
    }

    void TearDown() override {
        Close();
        CloseComPort();
        m_sim.Stop();
        m_boxes.reset();
        DiagSetSink({});
        DdsResetState();
        QDir::setCurrent(m_oldCwd);
    }

    // Starts the simulator (once) and returns its device path.
    std::string SimDevice() {
        EXPECT_TRUE(m_sim.Start());
        return m_sim.SlavePath();
    }

    void WriteSetup(std::string_view bytes) {
        QFile file(QDir(m_work.path()).filePath(QStringLiteral("setup.ini")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(bytes.data(), static_cast<qint64>(bytes.size())),
                  static_cast<qint64>(bytes.size()));
    }

    // Starts the simulator (once) and returns the link to its device in the test's folder. Tests
    // of a vanished device name the link: it goes with the device, whereas the freed
    // pseudo-terminal number may be taken at once by another process's pseudo-terminal.
    std::string SimLink() {
        EXPECT_TRUE(m_sim.Start());
        return SimLinkPath();
    }
    std::string SimLinkPath() const {
        return QDir(m_work.path()).filePath(QStringLiteral("ttyQM")).toStdString();
    }

    // A complete setup file naming the simulator's device, with the given mode.
    void WriteSimSetup(const std::string& mode = "2") { WriteSetup(SetupText(SimDevice(), mode)); }

    // Creates the frame and the form and runs the form's initial update, as start-up does.
    // override, when not empty, is the device opened instead of the one the file names.
    CMorvaneDlg* Open(const QString& override = QString()) {
        m_frame = std::make_unique<CMainFrame>();
        EXPECT_TRUE(m_frame->Create());
        m_form = new CMorvaneDlg;
        if (!override.isEmpty()) {
            m_form->SetDeviceOverride(override);
        }
        m_frame->SetView(m_form);
        m_form->OnInitialUpdate();
        m_frame->show();
        return m_form;
    }

    // Destroys the frame and with it the form, as closing the main window does.
    void Close() {
        m_frame.reset();
        m_form = nullptr;
    }

    // ---- what a person sees ----
    QString Pane() const { return m_frame->GetPaneText(0); }
    template <class T> T* Item(int id) const {
        T* item = GetDlgItem<T>(m_form, id);
        EXPECT_NE(item, nullptr) << "control " << id;
        return item;
    }
    CCComboBox* Freq(int c) const { return Item<CCComboBox>(CMorvaneDlg::IDC_FREQ_FIRST + c); }
    CCComboBox* Amp(int c) const { return Item<CCComboBox>(CMorvaneDlg::IDC_AMP_FIRST + c); }
    CCComboBox* Phase(int c) const { return Item<CCComboBox>(CMorvaneDlg::IDC_PHASE_FIRST + c); }
    QPushButton* Switch(int c) const {
        return Item<QPushButton>(CMorvaneDlg::IDC_SWITCH_FIRST + c);
    }
    QLabel* Led(int c) const { return Item<QLabel>(CMorvaneDlg::IDC_LED_FIRST + c); }
    QCheckBox* Single() const { return Item<QCheckBox>(CMorvaneDlg::IDC_SINGLE); }
    QCheckBox* Multiple() const { return Item<QCheckBox>(CMorvaneDlg::IDC_MULTIPLE); }
    QPushButton* Update() const { return Item<QPushButton>(CMorvaneDlg::IDC_UPDATE); }

    // True when the LED shows the red lamp (false: the grey one).
    bool LedShowsLit(int c) const {
        return Led(c)->pixmap().cacheKey() == m_form->LedOnBitmap().cacheKey();
    }
    bool LedShowsDark(int c) const {
        return Led(c)->pixmap().cacheKey() == m_form->LedOffBitmap().cacheKey();
    }

    static QStringList Items(const QComboBox* combo) {
        QStringList items;
        for (int k = 0; k < combo->count(); ++k) {
            items << combo->itemText(k);
        }
        return items;
    }

    // Sets the three texts of a row as the operator types them.
    void SetRow(int c, const QString& freq, const QString& amp, const QString& phase) {
        Freq(c)->setEditText(freq);
        Amp(c)->setEditText(amp);
        Phase(c)->setEditText(phase);
    }

    void Click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    // Runs a menu command as the operator chooses it.
    void Command(int id) { ASSERT_TRUE(m_frame->SendCommand(id)); }
    // The check mark of a command as the menu shows it when it opens.
    bool Checked(int id) const {
        m_frame->UpdateCommandUi();
        return m_frame->FindCommand(id)->isChecked();
    }

    // The texts of the message boxes shown so far.
    const std::vector<CMessageBoxRequest>& Boxes() const { return m_boxes->Records(); }

    // The text of a row and column of the status list.
    QString StatusCell(int row, int column) {
        const QTableWidgetItem* item = m_form->StatusDialog().m_ChannelList->item(row, column);
        return item != nullptr ? item->text() : QStringLiteral("<none>");
    }

    QTemporaryDir m_work;
    QString m_oldCwd;
    CPtySimulator m_sim{SimOptions{.linkPath = SimLinkPath()}};
    std::string m_diag;
    std::unique_ptr<CMessageBoxRecorder> m_boxes;
    std::unique_ptr<CMainFrame> m_frame;
    CMorvaneDlg* m_form = nullptr;
};

// The texts of the form, as the operator reads them.
inline QString SetupFailedText() {
    return QStringLiteral("無法開啟 setup.ini 預設值設定檔 !     ");
}
inline QString OpenedText(const QString& port) {
    return QStringLiteral(" 狀態 : [RS232] 串列埠[ %1 ] 已開啟").arg(port);
}
inline QString FailedText(const QString& port) {
    return QStringLiteral(" 狀態 : 無法開啟 [RS232] 串列埠[ %1 ]").arg(port);
}
inline QString ClosedText(const QString& port) {
    return QStringLiteral(" 狀態 : [RS232] 串列埠[ %1 ] 已關閉").arg(port);
}

} // namespace morvanedlg_test
