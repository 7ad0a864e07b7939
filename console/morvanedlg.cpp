// The form: template 101, the initial update, the switches with their LEDs, the mode check
// boxes and the update button.
#include "morvanedlg.h"

#include "cccombobox.h"
#include "colorref.h"
#include "dds.h"
#include "framework.h"
#include "mainfrm.h"
#include "resource.h"

#include <QAction>
#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimerEvent>

#include <algorithm>
#include <iterator>
#include <vector>

namespace {

// ---- form template 101 -------------------------------------------------------------------

const QString FORM_FONT_FACE = QStringLiteral("微軟正黑體");
constexpr int FORM_FONT_POINTS = 12;
constexpr int FORM_FONT_WEIGHT = 400;
constexpr int FORM_WIDTH_DU = 282;
constexpr int FORM_HEIGHT_DU = 182;

const char* const PANEL_TITLE = QT_TRANSLATE_NOOP("CMorvaneDlg", "QM-TRV 可程控精準數位合成模組");
constexpr int PANEL_RECT_DU[4] = {6, 5, 270, 171};

// Pane 0 while the form waits for the module longer than a moment.
const char* const STATUS_WAITING =
    QT_TRANSLATE_NOOP("CMorvaneDlg", " 狀態 : 等待 QM-TRV 回應中…  [Esc] 取消");

// the switch offers to switch on, and off
const char* const SWITCH_OFF_TEXT = QT_TRANSLATE_NOOP("CMorvaneDlg", "開啟");
const char* const SWITCH_ON_TEXT = QT_TRANSLATE_NOOP("CMorvaneDlg", "關閉");

// Top of each channel index's row in dialog units. Indexes 4 to 7 lie hidden under the rows
// of indexes 8 to 11, which carry the labels CH5 to CH8.
constexpr int ROW_TOP_DU[CMorvaneDlg::CHANNELS] = {29,  44,  59, 75,  91,  107,
                                                   123, 139, 91, 107, 123, 139};
// The rows the operator sees, top to bottom; also the tab order.
constexpr int VISIBLE_ROWS[] = {0, 1, 2, 3, 8, 9, 10, 11};
constexpr bool RowIsHidden(int i) {
    return i >= 4 && i <= 7;
}
// The number in a row's label: CH1 to CH8 for indexes 0 to 7, CH5 to CH8 again for 8 to 11.
constexpr int RowLabelNumber(int i) {
    return i < 8 ? i + 1 : i - 3;
}

// Labels and captions sit this far below their row's top and are 8 units high.
constexpr int STATIC_OFFSET_DU = 2;
constexpr int STATIC_HEIGHT_DU = 8;
constexpr int LABEL_X_DU = 14;
constexpr int LABEL_WIDTH_DU = 18;

struct CaptionTemplate {
    const char* text;
    int x;
    int width;
    int box; // the row's box the caption labels (0 frequency, 1 amplitude, 2 phase), or -1
};
// The captions of every row.
constexpr CaptionTemplate ROW_CAPTIONS[] = {
    {QT_TRANSLATE_NOOP("CMorvaneDlg", "頻率"), 36, 14, 0},
    {"MHz", 86, 20, -1},
    {QT_TRANSLATE_NOOP("CMorvaneDlg", "振幅"), 109, 14, 1},
    {"%", 147, 8, -1},
    {QT_TRANSLATE_NOOP("CMorvaneDlg", "相位"), 161, 14, 2},
    {QT_TRANSLATE_NOOP("CMorvaneDlg", "度"), 208, 10, -1},
};

struct ComboTemplate {
    int firstId;
    int x;
    int width;
    int droppedHeight; // edit field and drop-down list together
};
constexpr ComboTemplate FREQ_COMBO = {CMorvaneDlg::IDC_FREQ_FIRST, 51, 34, 40};
constexpr ComboTemplate AMP_COMBO = {CMorvaneDlg::IDC_AMP_FIRST, 124, 22, 35};
constexpr ComboTemplate PHASE_COMBO = {CMorvaneDlg::IDC_PHASE_FIRST, 176, 31, 39};

constexpr int LED_X_DU = 220;
constexpr int LED_SIZE_DU = 13;
constexpr int SWITCH_X_DU = 236;
constexpr int SWITCH_WIDTH_DU = 31;
constexpr int SWITCH_HEIGHT_DU = 12;

constexpr int SINGLE_RECT_DU[4] = {112, 158, 47, 8};
constexpr int MULTIPLE_RECT_DU[4] = {169, 158, 48, 8};
constexpr int UPDATE_RECT_DU[4] = {236, 156, 31, 12};

// ---- colours of the initial update -------------------------------------------------------

constexpr int HEADER_STYLE = 1;
constexpr COLORREF HEADER_FILL = 0xFFA940; // red 64, green 169, blue 255
constexpr COLORREF TITLE_TEXT = 0xFFFFFF;
constexpr COLORREF COMBO_BK_EVEN = 0x737373;
constexpr COLORREF COMBO_BK_ODD = 0x969696;
constexpr COLORREF COMBO_TEXT = 0xFFFFFF;
constexpr COLORREF FREQ_HOVER_BK = 0xFAFAFA;
constexpr COLORREF AMP_PHASE_HOVER_BK = 0xFFFFFF;

QRect Du(const int (&rect)[4]) {
    return QRect(rect[0], rect[1], rect[2], rect[3]);
}

// Puts a control of a row on the form (id -1: a static text without an id of its own); the
// controls of hidden rows are hidden and disabled.
void PlaceRowControl(QWidget* control, int id, const QFont& font, const QRect& du, int row) {
    if (id >= 0) {
        FwPlaceControl(control, id, font, du);
    } else {
        control->setGeometry(DluToPixels(font, du));
    }
    if (RowIsHidden(row)) {
        control->setEnabled(false);
        control->hide();
    }
}

// A drop-down combo box: its template height is that of the edit field with the dropped list.
// The edit field keeps the control's own height; the list shows as many items as fit below it.
void PlaceCombo(CCComboBox* combo, const ComboTemplate& t, const QFont& font, int row) {
    const QRect du(t.x, ROW_TOP_DU[row], t.width, t.droppedHeight);
    PlaceRowControl(combo, t.firstId + row, font, du, row);
    const QRect dropped = combo->geometry();
    const int fieldHeight = std::min(combo->sizeHint().height(), dropped.height());
    combo->setGeometry(dropped.x(), dropped.y(), dropped.width(), fieldHeight);
    const int itemHeight = std::max(1, QFontMetrics(font).height());
    combo->setMaxVisibleItems(std::max(1, (dropped.height() - fieldHeight) / itemHeight));
}

// The right edge, in dialog units, of the row's control that ends last before x (the row label,
// a combo box or another caption).
int RowRightEdgeBeforeDu(int x) {
    int right = LABEL_X_DU + LABEL_WIDTH_DU;
    for (const ComboTemplate* t : {&FREQ_COMBO, &AMP_COMBO, &PHASE_COMBO}) {
        if (t->x + t->width <= x) {
            right = std::max(right, t->x + t->width);
        }
    }
    for (const CaptionTemplate& other : ROW_CAPTIONS) {
        if (other.x + other.width <= x) {
            right = std::max(right, other.x + other.width);
        }
    }
    return right;
}

// The template places its captions for the form's face on Windows. With other metrics (the
// fallback face on Linux, the English texts) a text can be wider than its caption and would be
// cut at the right edge. Such a caption grows to the left, into the free space before it, up to
// one dialog unit from the control there; nothing else moves. width: the text's own width.
void GrowCaptionLeft(QWidget* caption, int width, int neighbourRight, int oneDu) {
    const QRect r = caption->geometry();
    const int grow = std::min(width - r.width(), r.left() - oneDu - neighbourRight);
    if (grow > 0) {
        caption->setGeometry(r.adjusted(-grow, 0, 0, 0));
    }
}

QLabel* MakeStatic(QWidget* form, const QString& text, Qt::Alignment align) {
    auto* label = new QLabel(text, form);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(align | Qt::AlignTop);
    return label;
}

} // namespace

CMorvaneDlg::CMorvaneDlg(QWidget* parent) : CFormView(parent) {
    ShowMsgInitLedResources();
    CreateTemplateControls();
    DoDataExchange();
    SetAccessibleNames();
}

// The members die with the form; the port is closed when the window is destroyed (OnDestroy).
CMorvaneDlg::~CMorvaneDlg() = default;

QString CMorvaneDlg::Device() const {
    return QString::fromStdString(m_strDeviceOverride.empty() ? m_strDevice : m_strDeviceOverride);
}

void CMorvaneDlg::CreateTemplateControls() {
    // The form: a child window without border or edge, in the template's font. Its controls
    // are created in the template's order, which is also their tab order.
    const QFont font = FwTemplateFont(FORM_FONT_FACE, FORM_FONT_POINTS, FORM_FONT_WEIGHT);
    setFont(font);
    SetTotalSize(DluToPixels(font, QSize(FORM_WIDTH_DU, FORM_HEIGHT_DU)));
    resize(GetTotalSize());

    const int oneDu = std::max(1, DluToPixels(font, QRect(0, 0, 1, 0)).width());
    const QPixmap templateLed = MorvaneLoadPng(QString::fromLatin1(LED_OFF_RESOURCE));
    std::vector<QWidget*> tabOrder;

    auto makeRow = [&](int i) {
        const int top = ROW_TOP_DU[i];
        const int staticTop = top + STATIC_OFFSET_DU;

        QLabel* label =
            MakeStatic(this, QStringLiteral("CH%1").arg(RowLabelNumber(i)), Qt::AlignRight);
        PlaceRowControl(label, IDC_LABEL_FIRST + i, font,
                        QRect(LABEL_X_DU, staticTop, LABEL_WIDTH_DU, STATIC_HEIGHT_DU), i);
        QLabel* boxCaptions[3] = {};
        for (const CaptionTemplate& caption : ROW_CAPTIONS) {
            QLabel* text = MakeStatic(this, tr(caption.text), Qt::AlignLeft);
            PlaceRowControl(text, -1, font,
                            QRect(caption.x, staticTop, caption.width, STATIC_HEIGHT_DU), i);
            const int neighbourRight =
                DluToPixels(font, QRect(RowRightEdgeBeforeDu(caption.x), 0, 0, 0)).x();
            GrowCaptionLeft(text, text->sizeHint().width(), neighbourRight, oneDu);
            if (caption.box >= 0) {
                boxCaptions[caption.box] = text;
            }
        }

        int box = 0;
        for (const ComboTemplate* t : {&FREQ_COMBO, &AMP_COMBO, &PHASE_COMBO}) {
            auto* combo = new CCComboBox(this);
            PlaceCombo(combo, *t, font, i);
            tabOrder.push_back(combo);
            // The caption labels its box: on Linux the accessibility bus names an editable
            // combo box by its text and gives the label as its labelled-by relation.
            boxCaptions[box++]->setBuddy(combo);
        }

        // A bitmap picture takes the size of its bitmap, from its top-left corner on.
        auto* led = new QLabel(this);
        PlaceRowControl(led, IDC_LED_FIRST + i, font,
                        QRect(LED_X_DU, top, LED_SIZE_DU, LED_SIZE_DU), i);
        led->setPixmap(templateLed);
        if (!templateLed.isNull()) {
            led->resize(templateLed.size());
        }

        auto* button = new QPushButton(tr(SWITCH_OFF_TEXT), this);
        button->setAutoDefault(false);
        PlaceRowControl(button, IDC_SWITCH_FIRST + i, font,
                        QRect(SWITCH_X_DU, top, SWITCH_WIDTH_DU, SWITCH_HEIGHT_DU), i);
        tabOrder.push_back(button);
    };
    for (int i : VISIBLE_ROWS) {
        makeRow(i);
    }
    for (int i = 0; i < CHANNELS; ++i) {
        if (RowIsHidden(i)) {
            makeRow(i);
        }
    }

    // The mode boxes are automatic check boxes that a click can reach but tabbing cannot.
    auto* single = new QCheckBox(tr("單個通道設定"), this);
    FwPlaceControl(single, IDC_SINGLE, font, Du(SINGLE_RECT_DU));
    single->setFocusPolicy(Qt::ClickFocus);
    auto* multiple = new QCheckBox(tr("多個通道設定"), this);
    FwPlaceControl(multiple, IDC_MULTIPLE, font, Du(MULTIPLE_RECT_DU));
    multiple->setFocusPolicy(Qt::ClickFocus);

    auto* update = new QPushButton(tr("更新"), this);
    update->setAutoDefault(false);
    FwPlaceControl(update, IDC_UPDATE, font, Du(UPDATE_RECT_DU));
    tabOrder.push_back(update);
    FitModeBoxes(single, multiple, update);

    // The frame round the panel lies beneath everything it frames.
    m_grpPanel.Attach(this, IDC_PANEL, tr(PANEL_TITLE), DluToPixels(font, Du(PANEL_RECT_DU)));
    // The frame's body has a fixed pixel height, chosen for the form's face on Windows. With
    // other font metrics the rows and buttons laid out in dialog units reach further down, so
    // the body takes the panel's own height instead and encloses everything the panel holds.
    m_grpPanel.SetBodyHeightBase(DluToPixels(font, QSize(0, PANEL_RECT_DU[3])).height());

    for (std::size_t k = 1; k < tabOrder.size(); ++k) {
        QWidget::setTabOrder(tabOrder[k - 1], tabOrder[k]);
    }
}

void CMorvaneDlg::FitModeBoxes(QWidget* single, QWidget* multiple, QWidget* update) {
    // A mode box whose caption is wider than its place grows to its text. The update button
    // stays in its column beneath the switches; the boxes keep the template's gaps to each other
    // and to the button, and so move left as far as they grew. Nothing else is on their line.
    const int gapToUpdate = update->x() - multiple->geometry().right() - 1;
    const int gapBetween = multiple->x() - single->geometry().right() - 1;
    const int multipleWidth = std::max(multiple->width(), multiple->sizeHint().width());
    const int singleWidth = std::max(single->width(), single->sizeHint().width());
    const int multipleLeft = update->x() - gapToUpdate - multipleWidth;
    multiple->setGeometry(multipleLeft, multiple->y(), multipleWidth, multiple->height());
    single->setGeometry(multipleLeft - gapBetween - singleWidth, single->y(), singleWidth,
                        single->height());
}

void CMorvaneDlg::DoDataExchange() {
    for (int i = 0; i < CHANNELS; ++i) {
        m_cbFreq[i] = GetDlgItem<CCComboBox>(this, IDC_FREQ_FIRST + i);
        m_cbAmp[i] = GetDlgItem<CCComboBox>(this, IDC_AMP_FIRST + i);
        m_cbPhase[i] = GetDlgItem<CCComboBox>(this, IDC_PHASE_FIRST + i);
    }
    m_chkSingle = GetDlgItem<QCheckBox>(this, IDC_SINGLE);
    m_chkMultiple = GetDlgItem<QCheckBox>(this, IDC_MULTIPLE);
    m_btnUpdate = GetDlgItem<QPushButton>(this, IDC_UPDATE);
}

void CMorvaneDlg::ConnectMessageMap() {
    // Timer and destruction reach the form through timerEvent and OnDestroy.
    for (int n = 1; n <= CHANNELS; ++n) {
        auto* button = GetDlgItem<QPushButton>(this, IDC_SWITCH_FIRST + n - 1);
        connect(button, &QPushButton::clicked, this, [this, n] { OnBnClickedSwitch(n); });
    }
    // The mode boxes follow their state, not the click: an accessibility "Toggle" action
    // changes the state without a click. Buttons emit clicked for every way of pressing.
    connect(m_chkSingle, &QCheckBox::toggled, this, &CMorvaneDlg::OnSingleToggled);
    connect(m_chkMultiple, &QCheckBox::toggled, this, &CMorvaneDlg::OnMultipleToggled);
    connect(m_btnUpdate, &QPushButton::clicked, this, &CMorvaneDlg::OnBnClickedUpdate);
    connect(&m_exchange, &CExchangeRunner::busyChanged, this, &CMorvaneDlg::OnExchangeBusy);
    CMainFrame* frame = GetParentFrame();
    if (frame == nullptr) {
        return;
    }
    frame->SetCloseGuard([this] { return DeferCloseDuringExchange(); });
    ConnectAddedCommands(frame);
    connect(frame->FindCommand(ID_PORT_OPEN), &QAction::triggered, this, &CMorvaneDlg::OnPortOpen);
    connect(frame->FindCommand(ID_PORT_CLOSE), &QAction::triggered, this,
            &CMorvaneDlg::OnPortClose);
    connect(frame->FindCommand(ID_READ_STATUS), &QAction::triggered, this,
            &CMorvaneDlg::OnReadStatus);
    frame->SetCommandUpdateHandler(ID_PORT_OPEN, [this](QAction* item) { OnUpdatePortOpen(item); });
    frame->SetCommandUpdateHandler(ID_PORT_CLOSE,
                                   [this](QAction* item) { OnUpdatePortClose(item); });
}

void CMorvaneDlg::OnInitialUpdate() {
    CFormView::OnInitialUpdate();
    ConnectMessageMap();

    ResizeParentToFit(true);

    m_bmpLedOff = MorvaneLoadPng(QString::fromLatin1(LED_OFF_RESOURCE));
    m_bmpLedOn = MorvaneLoadPng(QString::fromLatin1(LED_ON_RESOURCE));

    m_pMainFrame = GetParentFrame();

    m_grpPanel.SetHeaderStyle(HEADER_STYLE);
    m_grpPanel.SetHeaderColors(HEADER_FILL, SysColor(COLOR_BTNFACE), true);
    m_grpPanel.SetTitleTextColor(TITLE_TEXT);

    for (int i = 0; i < CHANNELS; ++i) {
        const COLORREF bk = (i % 2 != 0) ? COMBO_BK_ODD : COMBO_BK_EVEN;
        if (auto* freq = GetDlgItem<CCComboBox>(this, IDC_FREQ_FIRST + i)) {
            freq->SetNormalBkColor(bk);
            freq->SetNormalTextColor(COMBO_TEXT);
            freq->SetHoverBkColor(FREQ_HOVER_BK);
        }
        for (int first : {IDC_AMP_FIRST, IDC_PHASE_FIRST}) {
            if (auto* combo = GetDlgItem<CCComboBox>(this, first + i)) {
                combo->SetNormalBkColor(bk);
                combo->SetNormalTextColor(COMBO_TEXT);
                combo->SetHoverBkColor(AMP_PHASE_HOVER_BK);
            }
        }
    }

    m_grpPanel.setFocus();

    m_chkSingle->setChecked(true);
    m_btnUpdate->setEnabled(false);

    if (!m_dlgStatus.IsCreated()) {
        (void)m_dlgStatus.Create();
        m_dlgStatus.hide();
    }

    std::fill(std::begin(m_bChannelOn), std::end(m_bChannelOn), false);
    std::fill(std::begin(m_bLedLit), std::end(m_bLedLit), false);
    std::fill(std::begin(m_bLedDark), std::end(m_bLedDark), false);

    if (PortOpenClose(true) == 0) {
        m_statusTimer.start(STATUS_TIMER_MS, this);
    }
}

void CMorvaneDlg::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_statusTimer.timerId()) {
        OnTimer(STATUS_TIMER_ID);
        return;
    }
    if (event->timerId() == m_watchTimer.timerId()) {
        OnTimer(WATCH_TIMER_ID);
        return;
    }
    if (event->timerId() == m_reopenTimer.timerId()) {
        OnTimer(REOPEN_TIMER_ID);
        return;
    }
    CFormView::timerEvent(event);
}

// ---- switches and LEDs -------------------------------------------------------------------

void CMorvaneDlg::OnBnClickedSwitch(int n) {
    // A click that reaches the form during an exchange (an accessibility action calls click()
    // directly) is not taken, as no other input is.
    if (m_exchange.IsRunning() || !m_bPortOpen || CheckPortGone()) {
        return;
    }
    const int c = n - 1;
    (void)SendChannel(c, ToggleChannel(c));
}

bool CMorvaneDlg::ToggleChannel(int c) {
    if (c < 0 || c >= CHANNELS) {
        return false;
    }
    auto* button = GetDlgItem<QPushButton>(this, IDC_SWITCH_FIRST + c);
    m_bChannelOn[c] = !m_bChannelOn[c];
    if (m_bChannelOn[c]) {
        button->setText(tr(SWITCH_ON_TEXT));
        SetChannelLed(c, true);
        return true;
    }
    button->setText(tr(SWITCH_OFF_TEXT));
    SetChannelLed(c, false);
    return false;
}

void CMorvaneDlg::SetChannelLed(int c, bool lit) {
    if (c < 0 || c >= CHANNELS) {
        return;
    }
    auto* led = GetDlgItem<QLabel>(this, IDC_LED_FIRST + c);
    if (led == nullptr) {
        return;
    }
    auto show = [led](const QPixmap& bitmap) {
        led->setPixmap(bitmap);
        if (!bitmap.isNull()) {
            led->resize(bitmap.size());
        }
    };
    if (lit && !m_bLedLit[c]) {
        show(m_bmpLedOn);
        m_bLedLit[c] = true;
        m_bLedDark[c] = false;
    } else if (!lit && !m_bLedDark[c]) {
        show(m_bmpLedOff);
        m_bLedDark[c] = true;
        m_bLedLit[c] = false;
    }
    UpdateLedAccessibleName(c);
}

// ---- mode boxes and update button --------------------------------------------------------

void CMorvaneDlg::OnSingleToggled(bool checked) {
    OnModeToggled(m_chkSingle, m_chkMultiple, checked);
}

void CMorvaneDlg::OnMultipleToggled(bool checked) {
    OnModeToggled(m_chkMultiple, m_chkSingle, checked);
}

void CMorvaneDlg::OnModeToggled(QCheckBox* box, QCheckBox* other, bool checked) {
    if (m_exchange.IsRunning()) {
        // The running send reads the mode after its exchange: it must not change meanwhile.
        const QSignalBlocker blocker(box);
        box->setChecked(!checked);
        return;
    }
    if (checked) {
        other->setChecked(false);
    }
}

void CMorvaneDlg::OnBnClickedUpdate() {
    if (m_exchange.IsRunning() || !m_bPortOpen || CheckPortGone()) {
        return;
    }
    (void)RunExchange([] { (void)DdsUpdate(); });
    m_btnUpdate->setEnabled(false);
}

// ---- exchanges -----------------------------------------------------------------------------

bool CMorvaneDlg::RunExchange(std::function<void()> work) {
    const bool ran = m_exchange.RunExchange(std::move(work));
    if (ran && m_bCloseAfterExchange && m_pMainFrame != nullptr) {
        // The operator closed the window during the wait: close it now that the link is ours
        // again (after the handler that ran the exchange has returned).
        QMetaObject::invokeMethod(m_pMainFrame, &QWidget::close, Qt::QueuedConnection);
    }
    return ran;
}

bool CMorvaneDlg::DeferCloseDuringExchange() {
    if (!m_exchange.IsRunning()) {
        return false;
    }
    m_bCloseAfterExchange = true;
    m_exchange.Cancel();
    return true;
}

void CMorvaneDlg::OnExchangeBusy(bool busy) {
    if (busy) {
        m_strPaneBeforeWait = m_pMainFrame != nullptr ? m_pMainFrame->GetPaneText(0) : QString();
        SetStatusText(tr(STATUS_WAITING));
    } else if (m_pMainFrame != nullptr && m_pMainFrame->GetPaneText(0) == tr(STATUS_WAITING)) {
        // The handler that ran the exchange writes its own text next, if it has one.
        SetStatusText(m_strPaneBeforeWait);
    }
}
