// CMorvaneDlg: the console's only view, the form with the channel panel (form template 101).
//
// The panel has a row for each of the twelve channel indexes: a frequency (MHz), an amplitude
// (%) and a phase (degrees) combo box, an LED picture and an on/off switch. Eight rows are
// shown; the rows of channel indexes 4 to 7 exist too, hidden and disabled, and the rows
// labelled CH5 to CH8 drive channel indexes 8 to 11. Two automatic check boxes choose single-
// or multiple-channel setting (both may be unchecked), and the update button applies the
// settings held in multiple-channel mode.
//
// The form owns the serial-port settings read from setup.ini and the port-open flag; it opens
// the port when it is first shown and writes its status texts into pane 0 of the frame's
// status bar. The class is split over several files by topic:
//   morvanedlg.cpp        template 101, initial update, switches, LEDs, mode boxes, update
//   morvanedlg_setup.cpp  reading setup.ini into the port settings and the combo boxes
//   morvanedlg_port.cpp   opening and closing the port, status texts, menu commands, timer,
//                         destruction
//   morvanedlg_send.cpp   sending one row to the module
//   morvanedlg_channels.cpp  saving, loading and applying channel setup files
//
// Every exchange with the module (the open with its probe and initialise command, a channel
// send, the update) runs on the worker thread of m_exchange while the form waits in a local
// event loop: the window keeps painting, input is not taken, Esc or closing the window cancels.
//
// Every control carries its decimal id as objectName (GetDlgItem finds it).
#pragma once

#include "ccgroupbox.h"
#include "exchangerunner.h"
#include "formview.h"
#include "showmsgdlg.h"

#include <QBasicTimer>
#include <QPixmap>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct ChannelSetup;

class CCComboBox;
class CMainFrame;
class CTranscriptLog;
class CTranscriptWnd;
class QAction;
class QCheckBox;
class QLabel;
class QPushButton;

class CMorvaneDlg : public CFormView {
    Q_OBJECT
    // Remote settings take the path of the operator's clicks (console/remoteserver.cpp).
    friend class CConsoleRemoteModule;

public:
    // Control ids of form template 101. A row's controls follow from its channel index i:
    // frequency 1000 + i, amplitude 1012 + i, phase 1024 + i, switch 1036 + i, label 1048 + i,
    // LED 1065 + i.
    static constexpr int IDC_FREQ_FIRST = 1000;
    static constexpr int IDC_AMP_FIRST = 1012;
    static constexpr int IDC_PHASE_FIRST = 1024;
    static constexpr int IDC_SWITCH_FIRST = 1036;
    static constexpr int IDC_LABEL_FIRST = 1048;
    static constexpr int IDC_PANEL = 1060;
    static constexpr int IDC_SINGLE = 1061;
    static constexpr int IDC_MULTIPLE = 1062;
    static constexpr int IDC_UPDATE = 1064;
    static constexpr int IDC_LED_FIRST = 1065;

    static constexpr int CHANNELS = 12;
    // The switch and LED flags have room for 15 channels; entries 12 to 14 are never used.
    static constexpr int FLAG_ENTRIES = 15;

    // The one-shot timer that writes the opened text once more after start-up.
    static constexpr int STATUS_TIMER_ID = 0;
    static constexpr int STATUS_TIMER_MS = 1000;
    // While the port is open this timer looks whether its device is still there, so that a
    // vanished port is noticed while the operator does nothing.
    static constexpr int WATCH_TIMER_ID = 2;
    static constexpr int WATCH_TIMER_MS = 1000;
    // With REOPEN=1, while the device of a vanished port is away: this timer looks whether it
    // is back and reopens it.
    static constexpr int REOPEN_TIMER_ID = 3;
    static constexpr int REOPEN_TIMER_MS = 500;

    explicit CMorvaneDlg(QWidget* parent = nullptr);
    ~CMorvaneDlg() override;
    CMorvaneDlg(const CMorvaneDlg&) = delete;
    CMorvaneDlg& operator=(const CMorvaneDlg&) = delete;

    // Fits the frame, sets up LEDs, group box, combo colours, mode boxes and the status
    // dialog, then opens the port (and starts the status timer when that succeeded).
    void OnInitialUpdate() override;
    // Closes the port when it is open and destroys the status dialog's window.
    void OnDestroy() override;

    // ---- panel (morvanedlg.cpp) ----
    // Flips the switch state, caption and LED of channel index c; returns the new state.
    bool ToggleChannel(int c);
    // Shows the red (lit) or the grey lamp on the LED of channel index c; a lamp already shown
    // is not set again.
    void SetChannelLed(int c, bool lit);

    // ---- setup file (morvanedlg_setup.cpp) ----
    // Reads setup.ini of the working directory into the port settings and the 36 combo boxes'
    // lists. 0 when all values were read, 1 when a list key is missing (reading stops there).
    int LoadSetupFile();
    // Appends the items of a comma-separated preset list (up to the first empty item).
    void FillComboList(CCComboBox* combo, std::string_view value);
    // Empties the lists and edit texts of all 36 combo boxes.
    void ClearCombos();
    // Selects the first item of every combo box (one with an empty list stays empty).
    void SelectFirstItems();

    // ---- port control (morvanedlg_port.cpp) ----
    // Re-reads the setup file, then opens a closed port (open true) or closes it (open false,
    // or open true while the port is open). 1 when an open was attempted and failed, else 0.
    int PortOpenClose(bool open);
    // Rewrites the status dialog's rows from the channel table. Returns 0.
    int FillStatusList();

    // ---- channel send (morvanedlg_send.cpp) ----
    // Sends the row of channel index c with the switch state on. Returns 0.
    int SendChannel(int c, bool on);
    // A frequency box's text in MHz: the leading number, scaled by a unit that follows it
    // (Hz, kHz, MHz, GHz in any case, blank or not); without a unit the number is MHz.
    static double FreqTextToMHz(const QString& text);
    // Why a set of the given values failed with result (answered: the module sent something
    // back): one of the texts that follow "設定異常 : CH[n] " in pane 0.
    static QString SetFailureReason(std::uint32_t result, double freqHz, double phaseDeg,
                                    double amplitude, bool answered);

    // ---- channel setups (morvanedlg_channels.cpp) ----
    // The panel's eight rows (box texts and switch states) and its mode.
    ChannelSetup PanelChannelSetup() const;
    // Writes the panel to a setup file; false, after a box that says why, when it cannot.
    bool SaveChannelSetup(const QString& path);
    // Reads a setup file into the boxes and the mode and, while the port is open, applies it.
    // A file that cannot be read or is not a setup file is refused with a box and changes
    // nothing (false).
    bool LoadChannelSetup(const QString& path);
    // Applies the switch states of a setup (see morvanedlg_channels.cpp).
    void ApplyChannelSetup(const ChannelSetup& setup);

    // The device to open instead of the one setup.ini names ("sim" for the built-in
    // simulated module, or a device path); empty: the setup file decides.
    void SetDeviceOverride(const QString& device) { m_strDeviceOverride = device.toStdString(); }
    // --keep-outputs: every open reads the clocks with "u0" instead of resetting the module
    // with "DI", whatever INIT in setup.ini says.
    void SetKeepOutputs(bool keep) { m_bKeepOutputsOverride = keep; }

    // ---- read-only views of the state ----
    bool IsPortOpen() const { return m_bPortOpen; }
    int ComPort() const { return m_nComPort; }
    int BaudRate() const { return m_nBaudRate; }
    int DdsClkMode() const { return m_nDdsClkMode; }
    // INIT of [DDS_CLK_MODE] (1 unless the file says otherwise) and REOPEN of [COM_PORT].
    int DdsInitFlag() const { return m_nDdsInit; }
    bool ReopenEnabled() const { return m_bReopen; }
    // True when opens keep the module's outputs (INIT=0 or --keep-outputs).
    bool KeepsOutputs() const { return m_bKeepOutputsOverride || m_nDdsInit == 0; }
    // True while a vanished port waits for its device to come back (REOPEN=1).
    bool IsReopenWaiting() const { return m_reopenTimer.isActive(); }
    // The device opened instead of COM<n>, or empty when the port number decides.
    QString Device() const;
    bool IsChannelOn(int c) const { return InFlagRange(c) && m_bChannelOn[c]; }
    bool IsLedLit(int c) const { return InFlagRange(c) && m_bLedLit[c]; }
    bool IsLedDark(int c) const { return InFlagRange(c) && m_bLedDark[c]; }
    const QPixmap& LedOnBitmap() const { return m_bmpLedOn; }
    const QPixmap& LedOffBitmap() const { return m_bmpLedOff; }
    CShowMsgDlg& StatusDialog() { return m_dlgStatus; }
    // The transcript's records (kept from start-up), or nullptr without a frame.
    CTranscriptLog* TranscriptLog() const { return m_pTranscriptLog; }
    // The transcript window, made by its first menu command; nullptr until then.
    CTranscriptWnd* TranscriptWindow() const { return m_pTranscriptWnd; }
    bool IsStatusTimerActive() const { return m_statusTimer.isActive(); }
    bool IsWatchTimerActive() const { return m_watchTimer.isActive(); }
    // The runner of the form's exchanges (tests watch and cancel through it).
    CExchangeRunner& Exchange() { return m_exchange; }

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    static bool InFlagRange(int c) { return c >= 0 && c < FLAG_ENTRIES; }

    // Template 101: creates every control of the form with its id, text and place.
    void CreateTemplateControls();
    // Widens the mode boxes to their captions, keeping the update button's place.
    static void FitModeBoxes(QWidget* single, QWidget* multiple, QWidget* update);
    // Binds the members to their controls.
    void DoDataExchange();
    // The form's handlers, connected in one block.
    void ConnectMessageMap();

    // Handlers (morvanedlg.cpp).
    void OnBnClickedSwitch(int n); // switch n = 1 to 12, channel index n - 1
    // The mode boxes react to their state change, however it came about (click, keyboard,
    // accessibility action).
    void OnSingleToggled(bool checked);
    void OnMultipleToggled(bool checked);
    // The mode boxes are exclusive; neither changes while an exchange runs.
    void OnModeToggled(QCheckBox* box, QCheckBox* other, bool checked);
    void OnBnClickedUpdate();
    // Shows the waiting text while an exchange takes long, and restores pane 0 after it.
    void OnExchangeBusy(bool busy);
    // Runs one exchange through m_exchange. False when none could run (one is running).
    bool RunExchange(std::function<void()> work);
    // Closing the frame during an exchange: cancels it and closes once it has ended. True
    // when the close has to wait.
    bool DeferCloseDuringExchange();

    // Handlers (morvanedlg_port.cpp).
    void OnTimer(int nIDEvent);
    void OnPortOpen();
    void OnPortClose();
    void OnReadStatus();
    void OnUpdatePortOpen(QAction* item) const;
    void OnUpdatePortClose(QAction* item) const;
    // True (after closing the port as the close command does, boxes untouched, and saying so
    // in pane 0) when the open port's device has gone away. Only between exchanges.
    bool CheckPortGone();
    // Opens the device in effect with its probe, then either resets the module ("DI", clock
    // mode 1 to 8) or, keeping its outputs, reads its clocks ("u0") and marks every channel
    // unknown. One exchange on the worker; returns the open result (LINK_OPEN_OK when open).
    int OpenAndStart();
    // The opened text of pane 0 for the start the last open made.
    QString OpenedStatusText() const;
    // A reopen tick: when the vanished port's device is back, opens it as the menu's open
    // does, without re-reading the setup file and without boxes. True when it was reopened.
    bool TryReopen();
    // Boxes are not shown once the operator has closed the window during an exchange.
    // Nor for a remote client's setting: its client gets the error, and nobody may be there to
    // answer a box.
    bool ShowBoxes() const { return !m_bCloseAfterExchange && !m_bRemoteSend; }

    // Handlers (morvanedlg_channels.cpp).
    // Connects the options menu's added commands and starts the transcript.
    void ConnectAddedCommands(CMainFrame* frame);
    void OnTranscript();
    void OnSaveChannelSetup();
    void OnLoadChannelSetup();
    void SetAccessibleNames();
    void UpdateLedAccessibleName(int c);

    // Opens the device in effect: DEVICE (or the override) when set, otherwise COM<n>.
    int OpenPort();
    // What the status texts and the troubleshooting box call the port: the device in effect,
    // or the port number.
    QString PortLabel() const;
    // A status text with the port label in place of its "%d".
    QString PortText(const char* format) const;
    void SetStatusText(const QString& text);

    CCComboBox* m_cbFreq[CHANNELS] = {};
    CCComboBox* m_cbAmp[CHANNELS] = {};
    CCComboBox* m_cbPhase[CHANNELS] = {};
    QCheckBox* m_chkSingle = nullptr;
    QCheckBox* m_chkMultiple = nullptr;
    QPushButton* m_btnUpdate = nullptr;
    CGroupBox m_grpPanel;
    bool m_bChannelOn[FLAG_ENTRIES] = {};
    bool m_bLedLit[FLAG_ENTRIES] = {};
    bool m_bLedDark[FLAG_ENTRIES] = {};
    QPixmap m_bmpLedOff;
    QPixmap m_bmpLedOn;
    CShowMsgDlg m_dlgStatus;
    CMainFrame* m_pMainFrame = nullptr;
    bool m_bPortOpen = false;
    int m_nComPort = 1;
    int m_nBaudRate = 115200;
    int m_nDdsClkMode = 0;
    int m_nDdsInit = 1;                  // INIT of [DDS_CLK_MODE]: 0 opens without a reset
    bool m_bReopen = false;              // REOPEN of [COM_PORT]: reopen a re-plugged port
    bool m_bKeepOutputsOverride = false; // --keep-outputs
    bool m_bLastStartKept = false;       // the last open read the clocks instead of resetting

    // POSIX: the device named by the setup key DEVICE (a path, or "sim"); empty when the key
    // is missing, so that COM<n> is opened.
    std::string m_strDevice;
    std::string m_strDeviceOverride;
    QBasicTimer m_statusTimer; // timer STATUS_TIMER_ID
    QBasicTimer m_watchTimer;  // timer WATCH_TIMER_ID
    QBasicTimer m_reopenTimer; // timer REOPEN_TIMER_ID
    CExchangeRunner m_exchange;
    bool m_bCloseAfterExchange = false;
    QString m_strPaneBeforeWait; // pane 0 as it was when the waiting text replaced it
    // While a setup is applied: the channel indexes whose send failed, collected for one
    // summary box instead of a box per row.
    std::vector<int>* m_pSendFailures = nullptr;
    CTranscriptLog* m_pTranscriptLog = nullptr; // owned by the form
    CTranscriptWnd* m_pTranscriptWnd = nullptr; // a window of its own, owned by the form

    bool m_bRemoteSend = false;          // a remote client's setting is being sent
    std::uint32_t m_nLastSendResult = 0; // DDS result of SendChannel's last set command
};
