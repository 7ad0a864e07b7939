// The form's channel setups: the options menu's save and load commands, the panel as a setup
// file and back, applying a loaded setup to the module; the transcript window's command; and
// the accessible names of the boxes and lamps, which name each row's controls for screen
// readers.
#include "morvanedlg.h"

#include "cccombobox.h"
#include "channel_setup.h"
#include "framework.h"
#include "mainfrm.h"
#include "morvane.h"
#include "resource.h"
#include "transcriptwnd.h"

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>

namespace {

const char* const SAVE_CAPTION = QT_TRANSLATE_NOOP("CMorvaneDlg", "儲存通道設定");
const char* const LOAD_CAPTION = QT_TRANSLATE_NOOP("CMorvaneDlg", "載入通道設定");
const char* const FILE_FILTER =
    QT_TRANSLATE_NOOP("CMorvaneDlg", "通道設定檔 (*.ini);;所有檔案 (*)");
const char* const APPLY_FAILED_CAPTION = QT_TRANSLATE_NOOP("CMorvaneDlg", "設定異常");

// The number in a row's label: CH1 to CH8 for indexes 0 to 7, CH5 to CH8 again for 8 to 11.
int RowLabelNumber(int c) {
    return c < 8 ? c + 1 : c - 3;
}

QString RowName(int c) {
    return QStringLiteral("CH%1 ").arg(RowLabelNumber(c));
}

QString Text(const std::optional<std::string>& value) {
    return QString::fromStdString(value.value_or(std::string()));
}

// Why a setup file was refused or could not be written, for the operator.
QString ReasonText(const ChannelSetupResult& result) {
    switch (result.error) {
    case ChannelSetupError::None:
        break;
    case ChannelSetupError::Unreadable:
        return QCoreApplication::translate(
            "CMorvaneDlg", "無法讀取這個檔案 (不存在、不是一般檔案或沒有讀取權限)。");
    case ChannelSetupError::NotSetupFile:
        return QCoreApplication::translate(
            "CMorvaneDlg", "這不是通道設定檔: 沒有 [CH1] 到 [CH8] 或 [MODE] 段落。");
    case ChannelSetupError::BadFlag:
        return QCoreApplication::translate("CMorvaneDlg", "%1 : 只能是 0 或 1。")
            .arg(QString::fromStdString(result.detail));
    case ChannelSetupError::WriteFailed:
        return QCoreApplication::translate("CMorvaneDlg", "無法寫入檔案: %1")
            .arg(QString::fromStdString(result.detail));
    }
    return {};
}

} // namespace

void CMorvaneDlg::ConnectAddedCommands(CMainFrame* frame) {
    connect(frame->FindCommand(ID_SAVE_CHANNEL_SETUP), &QAction::triggered, this,
            &CMorvaneDlg::OnSaveChannelSetup);
    connect(frame->FindCommand(ID_LOAD_CHANNEL_SETUP), &QAction::triggered, this,
            &CMorvaneDlg::OnLoadChannelSetup);

    // The transcript records from here on (before the port is first opened), whether or not
    // its window is ever shown. The window itself (a table view, its fonts and styles) is made
    // when the operator first asks for it: most sessions never do.
    if (m_pTranscriptLog == nullptr) {
        m_pTranscriptLog = new CTranscriptLog(CTranscriptModel::CAPACITY, this);
        const CMorvaneApp* app = CMorvaneApp::Instance();
        const QString traceFile =
            app != nullptr ? app->GetCommandLineInfo().m_strTraceFile : QString();
        QString error;
        if (!traceFile.isEmpty() && !m_pTranscriptLog->OpenTraceFile(traceFile, &error)) {
            MorvaneMessageBox(
                this, tr("通訊記錄"),
                tr("無法寫入通訊記錄檔 %1\n%2").arg(QDir::toNativeSeparators(traceFile), error),
                QMessageBox::Warning, QMessageBox::Ok);
        }
    }
    connect(frame->FindCommand(ID_TRANSCRIPT), &QAction::triggered, this,
            &CMorvaneDlg::OnTranscript);
}

void CMorvaneDlg::OnTranscript() {
    if (m_pTranscriptWnd == nullptr) {
        m_pTranscriptWnd = new CTranscriptWnd(m_pTranscriptLog, this);
    }
    m_pTranscriptWnd->ShowAndRaise();
}

void CMorvaneDlg::OnSaveChannelSetup() {
    const QString path =
        QFileDialog::getSaveFileName(this, tr(SAVE_CAPTION), QDir::currentPath(), tr(FILE_FILTER));
    if (!path.isEmpty()) {
        (void)SaveChannelSetup(path);
    }
}

void CMorvaneDlg::OnLoadChannelSetup() {
    const QString path =
        QFileDialog::getOpenFileName(this, tr(LOAD_CAPTION), QDir::currentPath(), tr(FILE_FILTER));
    if (!path.isEmpty()) {
        (void)LoadChannelSetup(path);
    }
}

ChannelSetup CMorvaneDlg::PanelChannelSetup() const {
    ChannelSetup setup;
    for (int row = 0; row < CHANNEL_SETUP_ROWS; ++row) {
        const int c = ChannelSetupRowIndex(row);
        ChannelSetupRow& r = setup.rows[static_cast<std::size_t>(row)];
        r.freq = m_cbFreq[c]->currentText().toStdString();
        r.amp = m_cbAmp[c]->currentText().toStdString();
        r.phase = m_cbPhase[c]->currentText().toStdString();
        r.on = m_bChannelOn[c];
    }
    setup.multi = m_chkMultiple->isChecked();
    return setup;
}

bool CMorvaneDlg::SaveChannelSetup(const QString& path) {
    const ChannelSetupResult result =
        ChannelSetupSave(QDir::toNativeSeparators(path).toStdString(), PanelChannelSetup());
    if (!result.ok()) {
        MorvaneMessageBox(this, tr(SAVE_CAPTION), ReasonText(result), QMessageBox::Warning,
                          QMessageBox::Ok);
    }
    return result.ok();
}

bool CMorvaneDlg::LoadChannelSetup(const QString& path) {
    ChannelSetup setup;
    const ChannelSetupResult result =
        ChannelSetupLoad(QDir::toNativeSeparators(path).toStdString(), setup);
    if (!result.ok()) {
        MorvaneMessageBox(
            this, tr(LOAD_CAPTION),
            QStringLiteral("%1\n\n%2").arg(QDir::toNativeSeparators(path), ReasonText(result)),
            QMessageBox::Warning, QMessageBox::Ok);
        return false;
    }
    for (int row = 0; row < CHANNEL_SETUP_ROWS; ++row) {
        const int c = ChannelSetupRowIndex(row);
        const ChannelSetupRow& r = setup.rows[static_cast<std::size_t>(row)];
        if (r.freq) {
            m_cbFreq[c]->setEditText(Text(r.freq));
        }
        if (r.amp) {
            m_cbAmp[c]->setEditText(Text(r.amp));
        }
        if (r.phase) {
            m_cbPhase[c]->setEditText(Text(r.phase));
        }
    }
    if (setup.multi) {
        m_chkSingle->setChecked(!*setup.multi);
        m_chkMultiple->setChecked(*setup.multi);
    }
    if (m_bPortOpen) {
        ApplyChannelSetup(setup);
    }
    return true;
}

// Top to bottom, every row the setup has on is sent on with the values now in its boxes, and
// every row that is on and is off in the setup is sent off, each as a click on its switch
// sends it (switch caption, lamp and status line follow); a row off in both is left alone, and
// a row without ON keeps its state (sent again when on, for its new values). In multiple-
// channel mode one update follows. Failed rows are named in one box at the end.
void CMorvaneDlg::ApplyChannelSetup(const ChannelSetup& setup) {
    if (!m_bPortOpen) {
        return;
    }
    std::vector<int> failures;
    m_pSendFailures = &failures; // SendChannel collects instead of showing a box per row

    bool sent = false;
    for (int row = 0; row < CHANNEL_SETUP_ROWS; ++row) {
        const int c = ChannelSetupRowIndex(row);
        const bool now = m_bChannelOn[c];
        const bool on = setup.rows[static_cast<std::size_t>(row)].on.value_or(now);
        if (!now && !on) {
            continue;
        }
        if (now != on) {
            (void)ToggleChannel(c);
        }
        (void)SendChannel(c, on);
        sent = true;
    }
    m_pSendFailures = nullptr;

    if (sent && m_chkMultiple->isChecked()) {
        OnBnClickedUpdate();
    }
    if (!failures.empty()) {
        QStringList names;
        for (int c : failures) {
            names << QStringLiteral("[CH%1]").arg(c + 1);
        }
        MorvaneMessageBox(this, tr(APPLY_FAILED_CAPTION),
                          tr("通道 %1 設定參數工作異常 !").arg(names.join(QLatin1Char(' '))),
                          QMessageBox::Warning, QMessageBox::Ok);
    }
}

// ---- accessible names --------------------------------------------------------------------

// A box's name (its row and quantity) is set on the box, which is what Windows and macOS
// announce; on its caption, which the box has as labelled-by relation on the Linux
// accessibility bus (which names an editable combo box by its text); and on its edit field,
// which has the focus while the operator types.
void CMorvaneDlg::SetAccessibleNames() {
    const QList<QLabel*> labels = findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
    const auto name = [&labels](CCComboBox* box, const QString& text) {
        box->setAccessibleName(text);
        if (box->lineEdit() != nullptr) {
            box->lineEdit()->setAccessibleName(text);
        }
        for (QLabel* label : labels) {
            if (label->buddy() == box) {
                label->setAccessibleName(text);
            }
        }
    };
    for (int c = 0; c < CHANNELS; ++c) {
        name(m_cbFreq[c], RowName(c) + tr("頻率", "accessible name"));
        name(m_cbAmp[c], RowName(c) + tr("振幅", "accessible name"));
        name(m_cbPhase[c], RowName(c) + tr("相位", "accessible name"));
        UpdateLedAccessibleName(c);
    }
}

void CMorvaneDlg::UpdateLedAccessibleName(int c) {
    if (c < 0 || c >= CHANNELS) {
        return;
    }
    if (auto* led = GetDlgItem<QLabel>(this, IDC_LED_FIRST + c)) {
        led->setAccessibleName(RowName(c) + (m_bLedLit[c] ? tr("輸出 開") : tr("輸出 關")));
    }
}
