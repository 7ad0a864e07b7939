// The form's channel send: one row of the panel becomes one channel setting of the module.
#include "morvanedlg.h"

#include "cccombobox.h"
#include "dds.h"
#include "diag.h"
#include "framework.h"
#include "mainfrm.h"
#include "numtext.h"
#include "trace.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>

#include <cmath>
#include <iterator>
#include <string>

namespace {

const char* const SINGLE_MODE_LINE = "S : Setup Single DDS Channel\n";
const char* const MULTIPLE_MODE_LINE = "SM: Setup Mutiple DDS Channel\n";

const char* const SEND_FAILED_CAPTION = QT_TRANSLATE_NOOP("CMorvaneDlg", "設定異常");
const char* const SEND_FAILED_TEXT =
    QT_TRANSLATE_NOOP("CMorvaneDlg", "通道 [CH%d] 設定參數工作異常 !            ");

// Pane 0 after a failed set: why it failed. %d is the channel number; X the highest frequency.
const char* const STATUS_SET_FAILED = QT_TRANSLATE_NOOP("CMorvaneDlg", "設定異常 : CH[%d] ");
const char* const REASON_FREQ_RANGE =
    QT_TRANSLATE_NOOP("CMorvaneDlg", "頻率超出範圍 (須小於 %s MHz)");
const char* const REASON_AMP_RANGE = QT_TRANSLATE_NOOP("CMorvaneDlg", "振幅超出範圍 (0 - 100 %)");
const char* const REASON_PHASE_NAN = QT_TRANSLATE_NOOP("CMorvaneDlg", "相位不是數字");
const char* const REASON_NO_CLOCK = QT_TRANSLATE_NOOP("CMorvaneDlg", "尚未取得 DDS 時脈");
const char* const REASON_NO_ANSWER = QT_TRANSLATE_NOOP("CMorvaneDlg", "模組無回應");
const char* const REASON_BAD_ANSWER = QT_TRANSLATE_NOOP("CMorvaneDlg", "模組回應異常");

const char* const STATUS_SINGLE = QT_TRANSLATE_NOOP(
    "CMorvaneDlg", "單個通道設定 : CH[%d] Freq=[%.4f]MHz  Phase=[%.1f]°  Amp=[%.3f]\n");
const char* const STATUS_MULTIPLE = QT_TRANSLATE_NOOP(
    "CMorvaneDlg", "多個通道設定 : CH[%d] Freq=[%.4f]MHz  Phase=[%.1f]°  Amp=[%.3f]\n");

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

double CMorvaneDlg::FreqTextToMHz(const QString& text) {
    // A unit after the number (Hz, kHz, MHz, GHz, any case, with or without a blank) scales
    // it; without one the number is MHz, read as TextToNumber reads it.
    return NumTextWithUnit(text.toStdString(), NUM_UNITS_FREQ_MHZ, std::size(NUM_UNITS_FREQ_MHZ))
        .value;
}

QString CMorvaneDlg::SetFailureReason(std::uint32_t result, double freqHz, double phaseDeg,
                                      double amplitude, bool answered) {
    if (result == DDS_E_REPLY) {
        return tr(answered ? REASON_BAD_ANSWER : REASON_NO_ANSWER);
    }
    // DDS_E_VALUE and DDS_E_CLOCK: the checks of DdsSetChannel, in its order. A frequency that
    // cannot be one comes first; then the phase and the amplitude.
    const bool freqIsNumber = std::isfinite(freqHz) && freqHz >= 0.0;
    if (freqIsNumber && result == DDS_E_VALUE) {
        if (!std::isfinite(phaseDeg)) {
            return tr(REASON_PHASE_NAN);
        }
        if (!(amplitude >= 0.0 && amplitude <= 1.0)) {
            return tr(REASON_AMP_RANGE);
        }
    }
    // Without a clock there is no frequency limit to name yet. Otherwise what is left is a
    // frequency at or above the limit (or so close below it that its rounded word overflows).
    const double clock = DdsModuleClocks.ddsClockHz;
    if (result == DDS_E_CLOCK || !DdsClockUsable(clock)) {
        return tr(REASON_NO_CLOCK);
    }
    // The limit as the status texts show frequencies, without trailing zeros.
    QString limit = QString::fromStdString(NumFormatString("%.4f", clock / 2.0 / HZ_PER_MHZ));
    while (limit.endsWith(QLatin1Char('0'))) {
        limit.chop(1);
    }
    if (limit.endsWith(QLatin1Char('.'))) {
        limit.chop(1);
    }
    return tr(REASON_FREQ_RANGE).replace(QStringLiteral("%s"), limit);
}

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
        freqHz = FreqTextToMHz(text) * HZ_PER_MHZ;
    }
    if (const QString text = GetDlgItem<CCComboBox>(this, IDC_AMP_FIRST + c)->currentText();
        !text.isEmpty()) {
        amplitude = TextToNumber(text) / PERCENT_PER_FULL_SCALE;
    }
    if (const QString text = GetDlgItem<CCComboBox>(this, IDC_PHASE_FIRST + c)->currentText();
        !text.isEmpty()) {
        phaseDeg = TextToNumber(text);
    }

    QString failure;
    if (on) {
        // DDS control refuses what the module's words cannot carry (not a number, infinite,
        // out of range) with a non-zero result, as it reports a module that did not answer.
        // Whether the module answered at all shows in the transcript of the exchange.
        std::uint32_t result = DDS_OK;
        bool answered = false;
        const int observer = LinkTraceAdd([&answered](const LinkTraceEvent& event) {
            if (event.outcome == LinkTraceOutcome::Ok ||
                event.outcome == LinkTraceOutcome::WrongFields ||
                event.outcome == LinkTraceOutcome::NoPrompt) {
                answered = true;
            }
        });
        (void)RunExchange([&result, c, freqHz, phaseDeg, amplitude, single] {
            result = DdsSetChannel(c, freqHz, phaseDeg, amplitude, single);
        });
        LinkTraceRemove(observer);
        m_nLastSendResult = result;
        if (result != DDS_OK) {
            if (m_pSendFailures != nullptr) {
                m_pSendFailures->push_back(c); // a setup being applied reports once at the end
            } else if (ShowBoxes()) {
                MorvaneMessageBox(this, tr(SEND_FAILED_CAPTION),
                                  QString::fromStdString(NumFormatString(
                                      tr(SEND_FAILED_TEXT).toUtf8().constData(), c + 1)),
                                  QMessageBox::Warning, QMessageBox::Ok);
            }
            failure = QString::fromStdString(
                          NumFormatString(tr(STATUS_SET_FAILED).toUtf8().constData(), c + 1)) +
                      SetFailureReason(result, freqHz, phaseDeg, amplitude, answered);
        }
    } else {
        // Switching off must reach the module whatever the boxes hold. DDS control refuses a
        // phase or amplitude its words cannot carry even with 0 Hz, which would leave the
        // channel running behind a switch that says off: send the off with the phase and
        // amplitude the channel last took instead, and show those.
        std::uint32_t result = DDS_E_REPLY;
        (void)RunExchange([c, &phaseDeg, &amplitude, single, &result] {
            result = DdsSetChannel(c, 0.0, phaseDeg, amplitude, single);
            if (result == DDS_E_VALUE) {
                phaseDeg = DdsChannelTable[c].phaseDeg;
                amplitude = DdsChannelTable[c].amplitude;
                result = DdsSetChannel(c, 0.0, phaseDeg, amplitude, single);
            }
        });
        m_nLastSendResult = result;
        freqHz = 0.0;
    }

    QString status;
    if (!failure.isEmpty()) {
        status = failure;
    } else {
        // A translated format keeps the conversions of the original, in the same order.
        const QByteArray format =
            tr(m_chkSingle->isChecked() ? STATUS_SINGLE : STATUS_MULTIPLE).toUtf8();
        status = QString::fromStdString(
            NumFormatString(format.constData(), c + 1, freqHz / HZ_PER_MHZ, phaseDeg, amplitude));
    }
    if (m_pMainFrame != nullptr) {
        m_pMainFrame->SetPaneText(0, status);
    }
    return 0;
}
