// The form's setup file: setup.ini (in the working directory, the user's configuration folder
// or the installed example; see setupfile.h) gives the port settings, the clock mode and the
// preset lists of the 36 combo boxes.
#include "morvanedlg.h"

#include "cccombobox.h"
#include "framework.h"
#include "profile_reader.h"
#include "setupfile.h"

#include <QCoreApplication>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char* const SECTION_COM_PORT = "COM_PORT";
const char* const KEY_COM_PORT = "COM_PORT";
const char* const KEY_BAUDRATE = "BAUDRATE";
// POSIX only: the serial device by name, used instead of COM<n>.
const char* const KEY_DEVICE = "DEVICE";
const char* const SECTION_DDS_CLK_MODE = "DDS_CLK_MODE";
const char* const KEY_MODE = "MODE";
// 0: opens read the module's clocks instead of resetting it; anything else (or none): reset.
const char* const KEY_INIT = "INIT";
// 1: a vanished port is reopened when its device comes back.
const char* const KEY_REOPEN = "REOPEN";
const char* const SECTION_FREQ = "FREQ";
const char* const SECTION_AMP = "AMP";
const char* const SECTION_PHASE = "PHASE";

#if defined(Q_OS_WIN)
constexpr bool DEVICE_KEY_READ = false;
#else
constexpr bool DEVICE_KEY_READ = true;
#endif

} // namespace

void CMorvaneDlg::ClearCombos() {
    for (int first : {IDC_FREQ_FIRST, IDC_AMP_FIRST, IDC_PHASE_FIRST}) {
        for (int i = 0; i < CHANNELS; ++i) {
            auto* combo = GetDlgItem<CCComboBox>(this, first + i);
            if (combo == nullptr) {
                continue;
            }
            for (int k = combo->count() - 1; k >= 0; --k) {
                combo->removeItem(k);
            }
            combo->setCurrentIndex(-1);
            combo->clearEditText();
        }
    }
}

int CMorvaneDlg::LoadSetupFile() {
    // One reading of the file for all values; when no place has a readable file, every key
    // reads as no characters.
    const std::vector<std::filesystem::path> places =
        SetupFileSearchPath(QCoreApplication::applicationDirPath());
    CProfileFile profile;
    const int used = SetupFileLoadFirst(profile, places);
    if (used < 0) {
        std::fprintf(stderr, "morvane: no readable setup.ini; %s\n",
                     SetupFilePlacesText(places).c_str());
        std::fflush(stderr);
    }

    const std::string comPort = profile.GetString(SECTION_COM_PORT, KEY_COM_PORT);
    if (!comPort.empty()) {
        m_nComPort = ProfileValueToInt(comPort);
    }
    const std::string baud = profile.GetString(SECTION_COM_PORT, KEY_BAUDRATE);
    if (!baud.empty()) {
        m_nBaudRate = ProfileValueToInt(baud);
    }
    // DEVICE is read anew every time: without it the port number decides again.
    m_strDevice = DEVICE_KEY_READ ? profile.GetString(SECTION_COM_PORT, KEY_DEVICE) : "";
    const std::string mode = profile.GetString(SECTION_DDS_CLK_MODE, KEY_MODE);
    if (!mode.empty()) {
        m_nDdsClkMode = ProfileValueToInt(mode);
    }
    // Both are read anew every time: without them the default behaviour returns.
    const std::string init = profile.GetString(SECTION_DDS_CLK_MODE, KEY_INIT);
    m_nDdsInit = init.empty() ? 1 : ProfileValueToInt(init);
    m_bReopen = ProfileValueToInt(profile.GetString(SECTION_COM_PORT, KEY_REOPEN)) == 1;

    struct ListSection {
        const char* section;
        int firstId;
    };
    for (const ListSection& list :
         {ListSection{SECTION_FREQ, IDC_FREQ_FIRST}, ListSection{SECTION_AMP, IDC_AMP_FIRST},
          ListSection{SECTION_PHASE, IDC_PHASE_FIRST}}) {
        for (int i = 0; i < CHANNELS; ++i) {
            const std::string value = profile.GetString(list.section, ProfileChannelKey(i));
            if (value.empty()) {
                if (used >= 0) {
                    std::fprintf(stderr, "morvane: %s has no preset list [%s] %s\n",
                                 places[used].string().c_str(), list.section,
                                 ProfileChannelKey(i).c_str());
                    std::fflush(stderr);
                }
                return 1;
            }
            FillComboList(GetDlgItem<CCComboBox>(this, list.firstId + i), value);
        }
    }
    return 0;
}

void CMorvaneDlg::FillComboList(CCComboBox* combo, std::string_view value) {
    if (combo == nullptr) {
        return;
    }
    // Adding to an empty list would select the first item; the selection (and with it the edit
    // text) is only made by SelectFirstItems.
    const int selected = combo->currentIndex();
    const QString editText = combo->currentText();
    for (const std::string& item : ProfileSplitList(value)) {
        combo->addItem(QString::fromStdString(item));
    }
    if (combo->currentIndex() != selected) {
        combo->setCurrentIndex(selected);
        combo->setEditText(editText);
    }
}

void CMorvaneDlg::SelectFirstItems() {
    for (int first : {IDC_FREQ_FIRST, IDC_AMP_FIRST, IDC_PHASE_FIRST}) {
        for (int i = 0; i < CHANNELS; ++i) {
            if (auto* combo = GetDlgItem<CCComboBox>(this, first + i); combo && combo->count()) {
                combo->setCurrentIndex(0);
                // The edit text follows the selection also when the item was selected already.
                combo->setEditText(combo->itemText(0));
            }
        }
    }
}
