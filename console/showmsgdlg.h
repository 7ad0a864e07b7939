// The channel status dialog, dialog 311: a modeless window listing the twelve channels as the
// console last set them (number, MHz, percent, degrees, ON/OFF). Its rows come from the
// console's own channel table; filling it sends nothing to the module.
//
// Life cycle, as the main form drives it:
//   CShowMsgDlg dlg;            // no parent window; nothing shown
//   dlg.Create();               // the window is made (OnInitDialog runs once) and stays hidden
//   dlg.FillFromTable(DdsChannelTable);
//   dlg.show();                 // the close box hides it again; object and rows stay
//   dlg.DestroyWindow();        // with the form's window
// Enter and Esc never close it.
#pragma once

#include "dds.h"

#include <QDialog>
#include <QFont>
#include <QPoint>
#include <QSize>

class QEvent;
class QTableWidget;

// The two lamp bitmaps of the main form's LED pictures, 32 x 32 pixels, 32 bits per pixel:
// bitmap 316, a round dark-grey lamp in a light-grey square bezel, and bitmap 313, the same lamp
// in red. They live in the console's static library next to this dialog.
inline constexpr const char* LED_OFF_RESOURCE = ":/leds/led_off.png"; // bitmap 316
inline constexpr const char* LED_ON_RESOURCE = ":/leds/led_on.png";   // bitmap 313

// Registers the lamp bitmaps with Qt's resource system; the linker would drop their
// initialiser from the static library otherwise. Safe to call any number of times; the dialog's
// constructor calls it, so a form holding a CShowMsgDlg can load them from then on.
void ShowMsgInitLedResources();

class CShowMsgDlg : public QDialog {
    Q_OBJECT

public:
    // Control id of the list.
    static constexpr int IDC_CHANNEL_LIST = 1063;

    // Builds the dialog object and its list control, with no parent window. The window is not
    // shown; Create (or the first show) runs OnInitDialog.
    CShowMsgDlg();
    ~CShowMsgDlg() override;

    CShowMsgDlg(const CShowMsgDlg&) = delete;
    CShowMsgDlg& operator=(const CShowMsgDlg&) = delete;

    // Makes the dialog's window if it does not exist yet: runs OnInitDialog (placement, columns,
    // list styles) and leaves the window hidden. Returns true; a second call changes nothing.
    bool Create();

    // True between Create (or the first show) and DestroyWindow.
    bool IsCreated() const { return m_bCreated; }

    // Hides the window and takes down what OnInitDialog built (rows and columns), so that the
    // object can be created again. The object itself lives on.
    void DestroyWindow();

    // Rewrites all rows from a channel table (normally DdsChannelTable): deletes every row, then
    // appends one row per channel index i with, in columns 1 to 5, i + 1 as "%.2d", freqHz in MHz
    // as "%.3f", amplitude in percent rounded half up as "%d", phaseDeg as "%.2f", and "ON" when
    // on > 0, otherwise "OFF". Column 0 stays empty. Numbers always use "."; a visible dialog
    // shows the new rows at once. Creates the window first if it does not exist yet.
    // A row whose known entry is false (the module's channel may run something else than the
    // table says) shows "未知" in columns 2 to 5 instead of the table's values; without known
    // every row is shown from the table.
    void FillFromTable(const DdsChannelState (&table)[DDS_CHANNELS],
                       const bool (*known)[DDS_CHANNELS] = nullptr);

    // Top-left corner of a window of frame size `window` on a screen of size `screen`:
    // ((screenW - W) / 2 - 10, (screenH - (H - 50)) / 2 - 10), dividing with truncation toward
    // zero. OnInitDialog moves the window there.
    static QPoint InitialPosition(QSize screen, QSize window);

    // The font the dialog is laid out in: "微軟正黑體" 12 pt, weight 400 (a Traditional Chinese
    // face stands in where that one is not installed).
    static QFont TemplateFont();

    // The list, control 1063, in report style.
    QTableWidget* m_ChannelList = nullptr;

    void setVisible(bool visible) override;

protected:
    // Runs once per window: places the window, inserts the six columns, adds full-row selection
    // and grid lines. Returns true.
    virtual bool OnInitDialog();

    // Key presses of Enter (Return or keypad Enter) and Esc are swallowed here, before the list
    // or the dialog sees them, so neither key closes the dialog. Returns true for those.
    bool PreTranslateMessage(const QEvent* event) const;

    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool m_bCreated = false;
};
