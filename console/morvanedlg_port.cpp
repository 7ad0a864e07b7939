// The form's port control: opening and closing the serial port with the status line, the menu
// commands of the form, the status timer and the form's destruction.
#include "morvanedlg.h"
#include "startuptrace.h"

#include "comlink.h"
#include "dds.h"
#include "framework.h"
#include "mainfrm.h"
#include "resource.h"
#include "trace.h"

#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QTimerEvent>
#include <QtGlobal>

#include <filesystem>
#include <system_error>

namespace {

// Status texts of pane 0; %d is the port.
const char* const STATUS_PORT_OPENED =
    QT_TRANSLATE_NOOP("CMorvaneDlg", " 狀態 : [RS232] 串列埠[ %d ] 已開啟");
const char* const STATUS_PORT_FAILED =
    QT_TRANSLATE_NOOP("CMorvaneDlg", " 狀態 : 無法開啟 [RS232] 串列埠[ %d ]");
const char* const STATUS_PORT_CLOSED =
    QT_TRANSLATE_NOOP("CMorvaneDlg", " 狀態 : [RS232] 串列埠[ %d ] 已關閉");
const char* const STATUS_PORT_GONE =
    QT_TRANSLATE_NOOP("CMorvaneDlg", " 狀態 : [RS232] 串列埠[ %d ] 已中斷");
// An open that kept the module's outputs (INIT=0 or --keep-outputs) says so.
const char* const STATUS_PORT_OPENED_KEPT = QT_TRANSLATE_NOOP(
    "CMorvaneDlg", " 狀態 : [RS232] 串列埠[ %d ] 已開啟 (未重設模組，通道狀態未知)");
// REOPEN=1: the vanished port waits for its device, and is reopened when it is back.
const char* const STATUS_PORT_GONE_WAITING =
    QT_TRANSLATE_NOOP("CMorvaneDlg", " 狀態 : [RS232] 串列埠[ %d ] 已中斷，等待裝置重新連接");
const char* const STATUS_PORT_REOPENED =
    QT_TRANSLATE_NOOP("CMorvaneDlg", " 狀態 : [RS232] 串列埠[ %d ] 已重新開啟 (模組已重設)");
const char* const STATUS_PORT_REOPENED_KEPT = QT_TRANSLATE_NOOP(
    "CMorvaneDlg", " 狀態 : [RS232] 串列埠[ %d ] 已重新開啟 (未重設模組，通道狀態未知)");

const char* const SETUP_FAILED_TEXT =
    QT_TRANSLATE_NOOP("CMorvaneDlg", "無法開啟 setup.ini 預設值設定檔 !     ");

const char* const PORT_FAILED_CAPTION = QT_TRANSLATE_NOOP("CMorvaneDlg", "確認串列埠設定");
// The troubleshooting advice of a failed open; %d is the port. The rule has 74 hyphens, item
// (1) a full-width comma, and the text ends with a line break and 19 blanks.
const char* const PORT_FAILED_TEXT = QT_TRANSLATE_NOOP(
    "CMorvaneDlg", "無法開啟 [RS232] 串列埠[ %d ] !\n\n"
                   "請重新確認電腦端 [RS232] 串列埠設定.\n"
                   "--------------------------------------------------------------------------\n"
                   "[故障排除]\n"
                   "(1) 確認電腦系統上，欲使用的串列埠的驅動程式是否已備便就緒.\n"
                   "(2) 確認軟體設定 [setup.ini] 的[COM_PORT] 參數值是否正確.\n"
                   "(3) 確認 QM-TRV 端上的串列埠傳輸線是否有連接至電腦的串列埠上.\n"
                   "                   ");

constexpr int DDS_CLK_MODE_DEFAULT = 2;
constexpr int DDS_CLK_MODE_MIN = 1;
constexpr int DDS_CLK_MODE_MAX = 8;

constexpr char PORT_PARITY = 'N';
constexpr std::uint8_t PORT_TERMINATOR = 13; // carriage return

} // namespace

// ---- opening and closing -----------------------------------------------------------------

QString CMorvaneDlg::PortLabel() const {
    const QString device = Device();
    return device.isEmpty() ? QString::number(m_nComPort) : device;
}

QString CMorvaneDlg::PortText(const char* format) const {
    return tr(format).replace(QStringLiteral("%d"), PortLabel());
}

void CMorvaneDlg::SetStatusText(const QString& text) {
    if (m_pMainFrame != nullptr) {
        m_pMainFrame->SetPaneText(0, text);
    }
}

int CMorvaneDlg::OpenPort() {
    if (!m_strDeviceOverride.empty()) {
        return OpenComDevice(m_strDeviceOverride, m_nBaudRate, PORT_PARITY, PORT_TERMINATOR);
    }
    if (!m_strDevice.empty()) {
        return OpenComDevice(m_strDevice, m_nBaudRate, PORT_PARITY, PORT_TERMINATOR);
    }
    return OpenComPort(m_nComPort, m_nBaudRate, PORT_PARITY, PORT_TERMINATOR);
}

int CMorvaneDlg::OpenAndStart() {
    int openResult = LINK_OPEN_FAILED;
    const int clkMode = m_nDdsClkMode;
    const bool keep = KeepsOutputs();
    const std::string device = PortLabel().toStdString();
    // The open with its probe and the start command are one exchange on the worker.
    (void)RunExchange([this, &openResult, clkMode, keep, device] {
        openResult = OpenPort();
        if (openResult != LINK_OPEN_OK) {
            return;
        }
        if (keep) {
            // The outputs stay as the module runs them; what the table holds of them may be
            // wrong from now on, so every row is unknown until it is sent.
            DdsMarkChannelsUnknown();
            DdsModuleClocksRecord clocks;
            if (DdsReadClocks(&clocks) == DDS_OK) {
                DdsAdoptClocks(clocks);
            }
        } else if (clkMode >= DDS_CLK_MODE_MIN && clkMode <= DDS_CLK_MODE_MAX) {
            (void)DdsInit(clkMode);
        }
        // The transcript names the start that was made, beside the commands it shows.
        if (LinkTraceActive()) {
            LinkTraceEvent e;
            e.outcome = keep ? LinkTraceOutcome::StartKept : LinkTraceOutcome::StartReset;
            e.command = device;
            e.start = e.end = std::chrono::steady_clock::now();
            e.wallEnd = std::chrono::system_clock::now();
            LinkTraceEmit(e);
        }
    });
    if (openResult == LINK_OPEN_OK) {
        m_bLastStartKept = keep;
    }
    return openResult;
}

QString CMorvaneDlg::OpenedStatusText() const {
    return PortText(m_bLastStartKept ? STATUS_PORT_OPENED_KEPT : STATUS_PORT_OPENED);
}

int CMorvaneDlg::PortOpenClose(bool open) {
    m_nDdsClkMode = DDS_CLK_MODE_DEFAULT;
    // An open or close of the operator ends the wait for a vanished port's device.
    m_reopenTimer.stop();

    ClearCombos();
    if (LoadSetupFile() == 1) {
        // The caption is the application's title.
        MorvaneMessageBox(this, QString(), tr(SETUP_FAILED_TEXT), QMessageBox::Warning,
                          QMessageBox::Ok);
    } else {
        SelectFirstItems();
    }

    // Closing is an open request on an open port: the branch below closes it.
    if (!open) {
        m_bPortOpen = true;
    }

    int result = 0;
    QString text;
    bool opened = false;
    if (!m_bPortOpen) {
        if (OpenAndStart() == LINK_OPEN_OK) {
            m_bPortOpen = true;
            text = OpenedStatusText();
            opened = true;
            m_watchTimer.start(WATCH_TIMER_MS, this);
            if (m_bLastStartKept) {
                // Nothing on the panel may claim an output the module was not sent: every
                // switch shows off, and its first click sends the row on as usual.
                for (int c = 0; c < CHANNELS; ++c) {
                    if (m_bChannelOn[c]) {
                        (void)ToggleChannel(c);
                    }
                }
            }
        } else {
            m_bPortOpen = false;
            if (ShowBoxes()) {
                MorvaneMessageBox(this, tr(PORT_FAILED_CAPTION), PortText(PORT_FAILED_TEXT),
                                  QMessageBox::Warning, QMessageBox::Ok);
            }
            text = PortText(STATUS_PORT_FAILED);
            CloseComPort();
            result = 1;
        }
    } else {
        m_bPortOpen = false;
        m_watchTimer.stop();
        CloseComPort();
        text = PortText(STATUS_PORT_CLOSED);
    }

    SetStatusText(text);
    if (opened) {
        StartupMark("opened");
    }
    return result;
}

bool CMorvaneDlg::TryReopen() {
    if (m_bPortOpen || m_exchange.IsRunning()) {
        m_reopenTimer.stop();
        return false;
    }
#if !defined(Q_OS_WIN)
    // A device that is not there is not tried: the open would fail anyway. Only a path can be
    // looked at ("sim" and COMn names are simply tried).
    const std::string& named = !m_strDeviceOverride.empty() ? m_strDeviceOverride : m_strDevice;
    const std::string path = named.empty()          ? LinkDeviceNameForPort(m_nComPort)
                             : named.front() == '/' ? named
                                                    : std::string();
    std::error_code error;
    if (!path.empty() && !std::filesystem::exists(path, error)) {
        return false;
    }
#endif
    // As the menu's open, but the boxes keep what they show (the setup file is not read again)
    // and the switches keep their states; a device that is back but not answering yet is
    // tried again at the next tick, without a box.
    if (OpenAndStart() != LINK_OPEN_OK) {
        CloseComPort();
        return false;
    }
    m_reopenTimer.stop();
    m_bPortOpen = true;
    m_watchTimer.start(WATCH_TIMER_MS, this);
    SetStatusText(PortText(m_bLastStartKept ? STATUS_PORT_REOPENED_KEPT : STATUS_PORT_REOPENED));
    if (m_pMainFrame != nullptr) {
        m_pMainFrame->UpdateCommandUi();
    }
    return true;
}

// ---- menu commands -----------------------------------------------------------------------

// The menu takes no input during an exchange; the guards catch what reaches the handlers
// some other way (an accessibility action, a command issued by a program).
void CMorvaneDlg::OnPortOpen() {
    if (m_exchange.IsRunning()) {
        return;
    }
    (void)PortOpenClose(true);
}

void CMorvaneDlg::OnPortClose() {
    if (m_exchange.IsRunning()) {
        return;
    }
    (void)PortOpenClose(false);
}

void CMorvaneDlg::OnReadStatus() {
    if (m_exchange.IsRunning() || !m_bPortOpen) {
        return;
    }
    (void)FillStatusList();
    m_dlgStatus.show();
}

int CMorvaneDlg::FillStatusList() {
    bool known[DDS_CHANNELS];
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        known[i] = DdsChannelKnown(i);
    }
    m_dlgStatus.FillFromTable(DdsChannelTable, &known);
    return 0;
}

// Both items stay enabled; only their check marks follow the port.
void CMorvaneDlg::OnUpdatePortOpen(QAction* item) const {
    item->setChecked(m_bPortOpen);
}

void CMorvaneDlg::OnUpdatePortClose(QAction* item) const {
    item->setChecked(!m_bPortOpen);
}

// ---- timer and destruction ---------------------------------------------------------------

bool CMorvaneDlg::CheckPortGone() {
    if (!m_bPortOpen || m_exchange.IsRunning() || !LinkIsGone()) {
        return false;
    }
    // Closed as the close command closes it, except that the setup file is not read again:
    // the boxes keep what the operator typed. Nothing is sent.
    m_bPortOpen = false;
    m_watchTimer.stop();
    CloseComPort();
    if (m_bReopen) {
        m_reopenTimer.start(REOPEN_TIMER_MS, this);
        SetStatusText(PortText(STATUS_PORT_GONE_WAITING));
    } else {
        SetStatusText(PortText(STATUS_PORT_GONE));
    }
    if (m_pMainFrame != nullptr) {
        m_pMainFrame->UpdateCommandUi();
    }
    return true;
}

void CMorvaneDlg::OnTimer(int nIDEvent) {
    if (nIDEvent == WATCH_TIMER_ID) {
        // Not while a message box of a handler is open: the handler goes on after the box
        // with the port as it found it. The next tick looks again.
        if (QApplication::activeModalWidget() == nullptr) {
            (void)CheckPortGone();
        }
        return;
    }
    if (nIDEvent == REOPEN_TIMER_ID) {
        if (QApplication::activeModalWidget() == nullptr) {
            (void)TryReopen();
        }
        return;
    }
    if (nIDEvent == STATUS_TIMER_ID) {
        m_statusTimer.stop();
        // The port may have been closed (or failed to reopen) within the second since
        // start-up: the opened text would then contradict the port and the menu's check marks.
        if (m_bPortOpen) {
            SetStatusText(OpenedStatusText());
        }
    }
}

void CMorvaneDlg::OnDestroy() {
    CFormView::OnDestroy();
    m_statusTimer.stop();
    m_watchTimer.stop();
    m_reopenTimer.stop();
    if (m_pMainFrame != nullptr) {
        // The frame outlives this call by a moment; its check-mark updates must not reach a
        // form that is going.
        m_pMainFrame->SetCommandUpdateHandler(ID_PORT_OPEN, {});
        m_pMainFrame->SetCommandUpdateHandler(ID_PORT_CLOSE, {});
        m_pMainFrame->SetCloseGuard({});
    }
    if (m_bPortOpen) {
        CloseComPort();
        m_bPortOpen = false;
    }
    m_dlgStatus.DestroyWindow();
}
