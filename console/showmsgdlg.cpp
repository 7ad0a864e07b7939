#include "showmsgdlg.h"

#include "framework.h"
#include "numtext.h"
#include "resource.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScreen>
#include <QTableWidget>

#include <climits>
#include <cmath>
#include <iterator>
#include <mutex>

// Q_INIT_RESOURCE must be used outside any namespace.
static void InitFormLedResources() {
    Q_INIT_RESOURCE(formleds);
}

void ShowMsgInitLedResources() {
    static std::once_flag once;
    std::call_once(once, InitFormLedResources);
}

namespace {

struct CColumn {
    const char* heading; // UTF-8
    int width;           // pixels
};

// Column 0 is the list's item column; it carries no text and stays hidden, the channel data
// sit in the sub-item columns 1 to 5.
constexpr CColumn COLUMNS[] = {
    {"", 0},
    {QT_TRANSLATE_NOOP("CShowMsgDlg", "通道"), 60},
    {QT_TRANSLATE_NOOP("CShowMsgDlg", "頻率 MHz"), 90},
    {QT_TRANSLATE_NOOP("CShowMsgDlg", "振幅 %"), 80},
    {QT_TRANSLATE_NOOP("CShowMsgDlg", "相位 °"), 80},
    {QT_TRANSLATE_NOOP("CShowMsgDlg", "狀態"), 60},
};
constexpr int COLUMN_COUNT = static_cast<int>(std::size(COLUMNS));

// The window's offset from the centred position, and how much of its height is left out of
// the centring (it sits a little above the middle).
constexpr int PLACE_OFFSET = 10;
constexpr int PLACE_HEIGHT_ALLOWANCE = 50;

// The integer part of amplitude * 100 + 0.5. A value that is not a number gives 0 and values
// beyond the range of int saturate, where a plain conversion would be undefined.
int AmplitudePercent(double amplitude) {
    const double percent = amplitude * 100 + 0.5;
    if (std::isnan(percent)) {
        return 0;
    }
    if (percent >= 2147483648.0) {
        return INT_MAX;
    }
    if (percent <= -2147483649.0) {
        return INT_MIN;
    }
    return static_cast<int>(percent);
}

QTableWidgetItem* MakeCell(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setTextAlignment(Qt::AlignCenter);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return item;
}

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

CShowMsgDlg::CShowMsgDlg() : QDialog(nullptr) {
    ShowMsgInitLedResources();

    setObjectName(QString::number(IDD_SHOWMSG));
    // Pop-up with caption and system menu, close box, no sizing border; modeless.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(tr("讀取 QM-TRV 通道狀態"));
    setModal(false);
    // A helper window of the main form: left open, it must not keep the application running
    // after the main window has closed.
    setAttribute(Qt::WA_QuitOnClose, false);

    const QFont font = TemplateFont();
    setFont(font);
    setFixedSize(DluToPixels(font, QSize(164, 140)));

    // Control 1063, a list in report view: column headings, no row headings, no editing.
    // Full-row selection and grid lines are extended styles that OnInitDialog adds.
    m_ChannelList = new QTableWidget(this);
    FwPlaceControl(m_ChannelList, IDC_CHANNEL_LIST, font, QRect(6, 7, 152, 127));
    m_ChannelList->setFocusPolicy(Qt::StrongFocus);
    m_ChannelList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_ChannelList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_ChannelList->setSelectionBehavior(QAbstractItemView::SelectItems);
    m_ChannelList->setShowGrid(false);
    m_ChannelList->setWordWrap(false);
    m_ChannelList->setCornerButtonEnabled(false);
    m_ChannelList->verticalHeader()->hide();
    m_ChannelList->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_ChannelList->verticalHeader()->setMinimumSectionSize(1);
    m_ChannelList->verticalHeader()->setDefaultSectionSize(m_ChannelList->fontMetrics().height() +
                                                           4);
    // Headings are labels: a click neither sorts nor selects a column.
    m_ChannelList->horizontalHeader()->setSectionsClickable(false);
    m_ChannelList->horizontalHeader()->setHighlightSections(false);
    m_ChannelList->horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    m_ChannelList->installEventFilter(this);
    // Hidden with the dialog, see setVisible.
    m_ChannelList->horizontalHeader()->hide();
}

CShowMsgDlg::~CShowMsgDlg() {
    m_ChannelList->removeEventFilter(this);
}

QFont CShowMsgDlg::TemplateFont() {
    return FwTemplateFont(QStringLiteral("微軟正黑體"), 12, 400);
}

QPoint CShowMsgDlg::InitialPosition(QSize screen, QSize window) {
    // Integer division truncates toward zero, also for a window larger than the screen.
    return QPoint((screen.width() - window.width()) / 2 - PLACE_OFFSET,
                  (screen.height() - (window.height() - PLACE_HEIGHT_ALLOWANCE)) / 2 -
                      PLACE_OFFSET);
}

bool CShowMsgDlg::Create() {
    if (!m_bCreated) {
        m_bCreated = true;
        OnInitDialog();
    }
    return true;
}

void CShowMsgDlg::DestroyWindow() {
    if (!m_bCreated) {
        return;
    }
    hide();
    m_ChannelList->setRowCount(0);
    m_bCreated = false;
}

void CShowMsgDlg::setVisible(bool visible) {
    if (visible && !m_bCreated) {
        Create();
    }
    // The heading row is there only while the dialog is: the list measures its height in
    // the bold variant of the font (room for highlighted headings), and a hidden list that
    // lays itself out would load a second CJK face at start-up for a dialog that may never be
    // opened. Shown with the dialog, the row is laid out before the first paint.
    m_ChannelList->horizontalHeader()->setVisible(visible);
    QDialog::setVisible(visible);
}

bool CShowMsgDlg::OnInitDialog() {
    // Placement: the frame's size on the primary screen, a little left of and above the
    // middle. Before the window is first shown its frame is its client area.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(InitialPosition(screen->geometry().size(), frameGeometry().size()));
        update();
    }

    m_ChannelList->setColumnCount(COLUMN_COUNT);
    for (int c = 0; c < COLUMN_COUNT; ++c) {
        auto* heading = new QTableWidgetItem(c == 0 ? QString() : tr(COLUMNS[c].heading));
        heading->setTextAlignment(Qt::AlignCenter);
        m_ChannelList->setHorizontalHeaderItem(c, heading);
        m_ChannelList->setColumnWidth(c, COLUMNS[c].width);
    }
    m_ChannelList->setColumnHidden(0, true);

    m_ChannelList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_ChannelList->setShowGrid(true);
    return true;
}

void CShowMsgDlg::FillFromTable(const DdsChannelState (&table)[DDS_CHANNELS],
                                const bool (*known)[DDS_CHANNELS]) {
    Create();
    m_ChannelList->setRowCount(0);
    for (int i = 0; i < DDS_CHANNELS; ++i) {
        const DdsChannelState& channel = table[i];
        const int row = m_ChannelList->rowCount();
        m_ChannelList->insertRow(row);
        m_ChannelList->setItem(row, 0, MakeCell(QString()));
        m_ChannelList->setItem(row, 1, MakeCell(Text(NumFormatString("%.2d", i + 1))));
        if (known != nullptr && !(*known)[i]) {
            for (int column = 2; column <= 5; ++column) {
                m_ChannelList->setItem(row, column, MakeCell(tr("未知")));
            }
            continue;
        }
        m_ChannelList->setItem(row, 2,
                               MakeCell(Text(NumFormatString("%.3f", channel.freqHz / 1000000))));
        m_ChannelList->setItem(
            row, 3, MakeCell(Text(NumFormatString("%d", AmplitudePercent(channel.amplitude)))));
        m_ChannelList->setItem(row, 4, MakeCell(Text(NumFormatString("%.2f", channel.phaseDeg))));
        m_ChannelList->setItem(
            row, 5, MakeCell(channel.on > 0 ? QStringLiteral("ON") : QStringLiteral("OFF")));
    }
}

bool CShowMsgDlg::PreTranslateMessage(const QEvent* event) const {
    if (event->type() != QEvent::KeyPress) {
        return false;
    }
    const int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape;
}

bool CShowMsgDlg::event(QEvent* event) {
    if (PreTranslateMessage(event)) {
        return true;
    }
    return QDialog::event(event);
}

bool CShowMsgDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_ChannelList && PreTranslateMessage(event)) {
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
