// Resource numbers of the console: dialogs, menus, icons, strings and command ids.
//
// Dialogs, menus and commands keep the numbers they have always had, because the forms give
// every control its number as objectName and the frame gives every command its number, and
// tests and the form look them up by number.
#pragma once

// Dialogs.
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDD_MORVANE_FORM = 101;
constexpr int IDD_SHOWMSG = 311;

// Menus, accelerators, icons, document string.
constexpr int IDR_MAINFRAME = 128;
constexpr int IDR_MENU_MAIN = 310;

// Commands of menu 310.
constexpr int ID_MENU_FILE = 32771;
constexpr int ID_PORT_OPEN = 32774;
constexpr int ID_PORT_CLOSE = 32775;
constexpr int ID_READ_STATUS = 32776;
// Commands added to the options menu after those above.
constexpr int ID_SAVE_CHANNEL_SETUP = 32780;
constexpr int ID_LOAD_CHANNEL_SETUP = 32781;
constexpr int ID_TRANSCRIPT = 32782;

// Framework commands reached through accelerator table 128 or routed by the application.
constexpr int ID_FILE_NEW = 57600;
constexpr int ID_FILE_OPEN = 57601;
constexpr int ID_FILE_SAVE = 57603;
constexpr int ID_EDIT_COPY = 57634;
constexpr int ID_EDIT_CUT = 57635;
constexpr int ID_EDIT_PASTE = 57637;
constexpr int ID_EDIT_UNDO = 57643;
constexpr int ID_APP_ABOUT = 57664;
constexpr int ID_NEXT_PANE = 57680;
constexpr int ID_PREV_PANE = 57681;

// Child windows of the frame and the status bar indicators.
constexpr int AFX_IDW_TOOLBAR = 0xE800;
constexpr int AFX_IDW_STATUS_BAR = 0xE801;
constexpr int ID_SEPARATOR = 0;
constexpr int ID_INDICATOR_CAPS = 0xE701;
constexpr int ID_INDICATOR_NUM = 0xE702;
constexpr int ID_INDICATOR_SCRL = 0xE703;

// Push button ids of dialogs.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Strings.
inline constexpr const char* IDS_APP_NAME = "Morvane";         // 57344
inline constexpr const char* IDS_IDLE_MESSAGE = "Ready";       // 57345
inline constexpr const char* IDS_FRAME_TITLE = "Morvane V1.0"; // window title of string 128
inline constexpr const char* IDS_INDICATOR_CAPS = "CAP";
inline constexpr const char* IDS_INDICATOR_NUM = "NUM";
inline constexpr const char* IDS_INDICATOR_SCRL = "SCRL";
