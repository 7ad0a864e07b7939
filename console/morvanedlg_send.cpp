// The form's channel send: one row of the panel becomes one channel setting of the module.
#include "morvanedlg.h"

#include "cccombobox.h"
#include "dds.h"
#include "diag.h"
#include "framework.h"
#include "mainfrm.h"
#include "numtext.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>

#include <string>

namespace {

const char* const SINGLE_MODE_LINE = "S : Setup Single DDS Channel\n";
const char* const MULTIPLE_MODE_LINE = "SM: Setup Mutiple DDS Channel\n";

const char* const SEND_FAILED_CAPTION = "設定異常";
const char* const SEND_FAILED_TEXT = "通道 [CH%d] 設定參數工作異常 !            ";

const char* const STATUS_SINGLE =
    "單個通道設定 : CH[%d] Freq=[%.4f]MHz  Phase=[%.1f]°  Amp=[%.3f]\n";
const char* const STATUS_MULTIPLE =
    "多個通道設定 : CH[%d] Freq=[%.4f]MHz  Phase=[%.1f]°  Amp=[%.3f]\n";

// The values of an empty box.
constexpr double EMPTY_FREQ_HZ = 0.0;
constexpr double EMPTY_PHASE_DEG = 90.0;
constexpr double EMPTY_AMPLITUDE = 1.0;

constexpr double HZ_PER_MHZ = 1000000.0;
constexpr double PERCENT_PER_FULL_SCALE = 100.0;

// The number at the start of a box's text, read the way the C library reads a double (leading
// blanks skipped, "12.5MHz" is 12.5, "abc" is 0) with "." as the decimal point whatever the
// locale.
double TextToNumber(const QString& text) {
    return NumTextToDouble(text.toStdString());
}

} // namespace

int CMorvaneDlg::SendChannel(int c, bool on) {
    if (c < 0 || c >= CHANNELS) {
        return 0;
    }
    double freqHz = EMPTY_FREQ_HZ;
    double phaseDeg = EMPTY_PHASE_DEG;
    double amplitude = EMPTY_AMPLITUDE;
    int single = 0;

    if (m_chkSingle->isChecked()) {
        DiagWrite(SINGLE_MODE_LINE);
        single = 1;
    } else if (m_chkMultiple->isChecked()) {
        DiagWrite(MULTIPLE_MODE_LINE);
        m_btnUpdate->setEnabled(true);
    }

    if (const QString text = GetDlgItem<CCComboBox>(this, IDC_FREQ_FIRST + c)->currentText();
        !text.isEmpty()) {
        freqHz = TextToNumber(text) * HZ_PER_MHZ;
    }
    if (const QString text = GetDlgItem<CCComboBox>(this, IDC_AMP_FIRST + c)->currentText();
        !text.isEmpty()) {
        amplitude = TextToNumber(text) / PERCENT_PER_FULL_SCALE;
    }
    if (const QString text = GetDlgItem<CCComboBox>(this, IDC_PHASE_FIRST + c)->currentText();
        !text.isEmpty()) {
        phaseDeg = TextToNumber(text);
    }

    if (on) {
        // DDS control refuses what the module's words cannot carry (not a number, infinite,
        // out of range) with a non-zero result, as it reports a module that did not answer.
        if (DdsSetChannel(c, freqHz, phaseDeg, amplitude, single) != DDS_OK) {
            if (m_pSendFailures != nullptr) {
                m_pSendFailures->push_back(c); // a setup being applied reports once at the end
            } else {
                MorvaneMessageBox(this, QString::fromUtf8(SEND_FAILED_CAPTION),
                                  QString::fromStdString(NumFormatString(SEND_FAILED_TEXT, c + 1)),
                                  QMessageBox::Warning, QMessageBox::Ok);
            }
        }
    } else {
        // Switching off must reach the module whatever the boxes hold. DDS control refuses a
        // phase or amplitude its words cannot carry even with 0 Hz, which would leave the
        // channel running behind a switch that says off: send the off with the phase and
        // amplitude the channel last took instead, and show those.
        if (DdsSetChannel(c, 0.0, phaseDeg, amplitude, single) == DDS_E_VALUE) {
            phaseDeg = DdsChannelTable[c].phaseDeg;
            amplitude = DdsChannelTable[c].amplitude;
            (void)DdsSetChannel(c, 0.0, phaseDeg, amplitude, single);
        }
        freqHz = 0.0;
    }

    const char* format = m_chkSingle->isChecked() ? STATUS_SINGLE : STATUS_MULTIPLE;
    const std::string status =
        NumFormatString(format, c + 1, freqHz / HZ_PER_MHZ, phaseDeg, amplitude);
    if (m_pMainFrame != nullptr) {
        m_pMainFrame->SetPaneText(0, QString::fromStdString(status));
    }
    return 0;
}
