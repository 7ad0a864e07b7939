#include "mainfrm.h"

#include "formview.h"
#include "framework.h"
#include "resource.h"

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QToolBar>

#include <initializer_list>
#include <iterator>

namespace {

// An empty tool bar keeps the height the platform gives a bar of 22-pixel buttons with a
// 2-pixel border above and below, so it stands as a visible strip under the menu.
constexpr int TOOLBAR_STRIP_HEIGHT = 26;
// The pane text as given, line break included, kept on the label beside what it shows.
constexpr const char* PANE_TEXT_PROPERTY = "morvanePaneText";

// On displays this high or lower the frame gets the fixed size below when it is shown.
constexpr int SMALL_DISPLAY_HEIGHT = 768;
constexpr int SMALL_DISPLAY_FRAME_WIDTH = 720;
constexpr int SMALL_DISPLAY_FRAME_HEIGHT = 693;

struct AcceleratorEntry {
    int id;
    std::initializer_list<QKeyCombination> keys;
};

// Keyboard table 128, one entry per command with all of its keys.
const AcceleratorEntry ACCELERATORS[] = {
    {ID_FILE_NEW, {Qt::CTRL | Qt::Key_N}},
    {ID_FILE_OPEN, {Qt::CTRL | Qt::Key_O}},
    {ID_FILE_SAVE, {Qt::CTRL | Qt::Key_S}},
    {ID_EDIT_UNDO, {Qt::CTRL | Qt::Key_Z, Qt::ALT | Qt::Key_Backspace}},
    {ID_EDIT_CUT, {Qt::CTRL | Qt::Key_X, Qt::SHIFT | Qt::Key_Delete}},
    {ID_EDIT_COPY, {Qt::CTRL | Qt::Key_C, Qt::CTRL | Qt::Key_Insert}},
    {ID_EDIT_PASTE, {Qt::CTRL | Qt::Key_V, Qt::SHIFT | Qt::Key_Insert}},
    {ID_NEXT_PANE, {QKeyCombination(Qt::Key_F6)}},
    {ID_PREV_PANE, {Qt::SHIFT | Qt::Key_F6}},
};

QLabel* MakePane(const QString& text, int id) {
    auto* pane = new QLabel(text);
    pane->setObjectName(QString::number(id));
    pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    pane->setLineWidth(1);
    pane->setTextFormat(Qt::PlainText);
    pane->setAccessibleName(text);
    return pane;
}

} // namespace

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
    // Caption, system menu and minimise box only: no sizing border and no maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(QString::fromLatin1(IDS_FRAME_TITLE));
    // The application's icon when it has one (the same pixels: no second decoding of them).
    const QIcon appIcon = QGuiApplication::windowIcon();
    setWindowIcon(appIcon.isNull() ? MorvaneAppIcon() : appIcon);

    // The default size of a new top-level window: three quarters of the screen. The form
    // shrinks the frame to itself and the activation step may size it once more.
    const CDisplayInfo display = PrimaryDisplayInfo();
    SetFrameSize(QSize(display.screenWidth * 3 / 4, display.screenHeight * 3 / 4));
}

CMainFrame::~CMainFrame() {
    // The view is told while it and all its controls still exist.
    if (m_pView != nullptr) {
        m_pView->OnDestroy();
    }
}

bool CMainFrame::Create() {
    CreateMenu();
    CreateAccelerators();

    // The command that only the program issues: the about box.
    auto* about = new QAction(this);
    addAction(about);
    AddCommand(about, ID_APP_ABOUT);

    // Widget creation cannot fail short of running out of memory, which throws; the bars are
    // therefore always there once Create returns.
    m_pToolBar = new QToolBar(this);
    m_pToolBar->setObjectName(QString::number(AFX_IDW_TOOLBAR));
    m_pToolBar->setMovable(false);
    m_pToolBar->setFloatable(false);
    m_pToolBar->setIconSize(QSize(16, 15));
    m_pToolBar->setMinimumHeight(TOOLBAR_STRIP_HEIGHT);
    // No menu to hide the bar: it stays where it was created.
    m_pToolBar->setContextMenuPolicy(Qt::PreventContextMenu);
    m_pToolBar->toggleViewAction()->setVisible(false);
    addToolBar(Qt::TopToolBarArea, m_pToolBar);

    m_pStatusBar = new QStatusBar(this);
    m_pStatusBar->setObjectName(QString::number(AFX_IDW_STATUS_BAR));
    m_pStatusBar->setSizeGripEnabled(false);
    setStatusBar(m_pStatusBar);

    // Pane 0 is the message pane with its idle text, fixed at 495 pixels and not stretching,
    // so the indicators follow right after it.
    m_panes[0] = MakePane(QString::fromLatin1(IDS_IDLE_MESSAGE), ID_SEPARATOR);
    m_panes[0]->setFixedWidth(STATUS_PANE0_WIDTH);
    m_panes[1] = MakePane(QString::fromLatin1(IDS_INDICATOR_CAPS), ID_INDICATOR_CAPS);
    m_panes[2] = MakePane(QString::fromLatin1(IDS_INDICATOR_NUM), ID_INDICATOR_NUM);
    m_panes[3] = MakePane(QString::fromLatin1(IDS_INDICATOR_SCRL), ID_INDICATOR_SCRL);
    for (QLabel* pane : m_panes) {
        m_pStatusBar->addWidget(pane, 0);
    }
    return true;
}

void CMainFrame::CreateMenu() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QString::number(IDR_MENU_MAIN));
    // The "(F)", "(O)", "(H)" in the texts are plain text: there is no '&', so Qt makes no
    // mnemonic of them.
    AddCommand(bar->addAction(tr("檔案(F)")), ID_MENU_FILE);

    QMenu* options = bar->addMenu(tr("選項(O)"));
    options->setSeparatorsCollapsible(false);
    QMenu* port = options->addMenu(tr("串列埠設定"));
    port->setSeparatorsCollapsible(false);
    port->addSeparator();
    AddCommand(port->addAction(tr("開啟 串列埠")), ID_PORT_OPEN)->setCheckable(true);
    port->addSeparator();
    AddCommand(port->addAction(tr("關閉 串列埠")), ID_PORT_CLOSE)->setCheckable(true);
    options->addSeparator();
    AddCommand(options->addAction(tr("讀取 QM-TRV (DDS) 狀態")), ID_READ_STATUS);
    // Additions after the items above, which keep their order and ids.
    options->addSeparator();
    AddCommand(options->addAction(tr("儲存通道設定…")), ID_SAVE_CHANNEL_SETUP);
    AddCommand(options->addAction(tr("載入通道設定…")), ID_LOAD_CHANNEL_SETUP);
    options->addSeparator();
    AddCommand(options->addAction(tr("通訊記錄…")), ID_TRANSCRIPT);

    // A plain item without a command: it carries id 0 and issues nothing.
    QAction* help = bar->addAction(tr("說明(H)"));
    help->setObjectName(QString::number(0));
    help->setData(0);

    for (QMenu* menu : {options, port}) {
        connect(menu, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommandUi);
    }
}

void CMainFrame::CreateAccelerators() {
    for (const AcceleratorEntry& entry : ACCELERATORS) {
        auto* action = new QAction(this);
        QList<QKeySequence> keys;
        for (QKeyCombination key : entry.keys) {
            keys.append(QKeySequence(key));
        }
        action->setShortcuts(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        addAction(action);
        AddCommand(action, entry.id);
    }
}

QAction* CMainFrame::AddCommand(QAction* action, int id) {
    action->setObjectName(QString::number(id));
    action->setData(id);
    m_commands.insert(id, action);
    // Check marks follow the state the handlers leave, as soon as the handler has run.
    connect(action, &QAction::triggered, this, &CMainFrame::UpdateCommandUi, Qt::QueuedConnection);
    return action;
}

void CMainFrame::SetView(CFormView* view) {
    m_pView = view;
    // The view fills the client area, and keeps at least the size of its form: below that the
    // client scrolls (on a screen too small for the form).
    auto* scroller = new QScrollArea;
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setWidgetResizable(true);
    if (!view->GetTotalSize().isEmpty()) {
        view->setMinimumSize(view->GetTotalSize());
    }
    scroller->setWidget(view);
    setCentralWidget(scroller);
}

QAction* CMainFrame::FindCommand(int id) const {
    return m_commands.value(id, nullptr);
}

bool CMainFrame::SendCommand(int id) {
    QAction* action = FindCommand(id);
    if (action == nullptr || !action->isEnabled()) {
        return false;
    }
    action->trigger();
    UpdateCommandUi();
    return true;
}

void CMainFrame::SetCommandUpdateHandler(int id, std::function<void(QAction*)> handler) {
    if (handler) {
        m_updateHandlers[id] = std::move(handler);
    } else {
        m_updateHandlers.erase(id);
    }
}

void CMainFrame::UpdateCommandUi() {
    for (auto it = m_commands.cbegin(); it != m_commands.cend(); ++it) {
        QAction* action = it.value();
        const auto handler = m_updateHandlers.find(it.key());
        if (handler != m_updateHandlers.end()) {
            handler->second(action);
        } else if (action->isCheckable()) {
            // Nobody updates this command: no check mark, whatever a click toggled.
            action->setChecked(false);
        }
    }
}

QLabel* CMainFrame::GetPane(int index) const {
    if (index < 0 || index >= static_cast<int>(std::size(m_panes))) {
        return nullptr;
    }
    return m_panes[index];
}

void CMainFrame::SetPaneText(int index, const QString& text) {
    if (QLabel* pane = GetPane(index)) {
        // A pane shows one line: the send summaries end with a line break, which would make
        // the label two lines high and push the status bar up into the form. The text as
        // given is kept for GetPaneText.
        QString shown = text;
        shown.remove(QLatin1Char('\r'));
        shown.replace(QLatin1Char('\n'), QLatin1Char(' '));
        pane->setText(shown);
        pane->setAccessibleName(shown); // screen readers announce the change
        pane->setProperty(PANE_TEXT_PROPERTY, text);
        pane->repaint();
    }
}

QString CMainFrame::GetPaneText(int index) const {
    const QLabel* pane = GetPane(index);
    if (pane == nullptr) {
        return QString();
    }
    const QVariant given = pane->property(PANE_TEXT_PROPERTY);
    return given.isValid() ? given.toString() : pane->text();
}

void CMainFrame::RecalcLayout() {
    if (QLayout* frameLayout = layout()) {
        // activate() only lays out a layout marked dirty; mark it, so that the bars and the
        // view get their places now, also in a frame that was never shown.
        frameLayout->invalidate();
        frameLayout->activate();
    }
}

void CMainFrame::ResizeToFitView(QSize viewSize, bool shrinkOnly) {
    RecalcLayout();
    const QSize frame = size();
    const QWidget* client = centralWidget();
    const QSize viewNow = client != nullptr ? client->size() : QSize(0, 0);
    QSize wanted = frame - viewNow + viewSize;
    if (shrinkOnly) {
        wanted = wanted.boundedTo(frame);
    }
    setFixedSize(wanted);
    RecalcLayout();
}

QRect CMainFrame::ActivationRect(QSize frameSize, const CDisplayInfo& display) {
    int width = frameSize.width();
    int height = frameSize.height();
    if (display.modeHeight <= SMALL_DISPLAY_HEIGHT) {
        width = SMALL_DISPLAY_FRAME_WIDTH;
        height = SMALL_DISPLAY_FRAME_HEIGHT;
    }
    // Integer division in C++ truncates toward zero, also for a screen narrower than the frame.
    const int left = (display.screenWidth - width) / 2;
    const int top = (display.screenHeight - height) / 2;
    return QRect(left, top, width, height);
}

QRect CMainFrame::FitToAvailable(QRect frame, QRect available) {
    if (available.isEmpty()) {
        return frame;
    }
    frame.setSize(frame.size().boundedTo(available.size()));
    if (frame.right() > available.right()) {
        frame.moveRight(available.right());
    }
    if (frame.bottom() > available.bottom()) {
        frame.moveBottom(available.bottom());
    }
    if (frame.left() < available.left()) {
        frame.moveLeft(available.left());
    }
    if (frame.top() < available.top()) {
        frame.moveTop(available.top());
    }
    return frame;
}

void CMainFrame::ActivateFrame() {
    const CDisplayInfo display = m_displayInfo ? m_displayInfo() : PrimaryDisplayInfo();
    const QRect place =
        FitToAvailable(ActivationRect(frameGeometry().size(), display), display.available);
    SetFrameSize(place.size());
    move(place.topLeft());
    RecalcLayout();
    update();
    show();
}

void CMainFrame::SetDisplayInfoProvider(std::function<CDisplayInfo()> provider) {
    m_displayInfo = std::move(provider);
}

CDisplayInfo CMainFrame::PrimaryDisplayInfo() {
    CDisplayInfo info;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        // The screen's size is in scaled pixels; the display mode is in physical ones.
        const QSize size = screen->size();
        info.modeHeight = qRound(size.height() * screen->devicePixelRatio());
        info.screenWidth = size.width();
        info.screenHeight = size.height();
        info.available = screen->availableGeometry();
    }
    return info;
}

void CMainFrame::SetFrameSize(QSize outer) {
    // The window manager's decoration is part of the outer size once the window has one.
    const QSize decoration = frameGeometry().size() - geometry().size();
    setFixedSize((outer - decoration).expandedTo(QSize(0, 0)));
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (m_closeGuard && m_closeGuard()) {
        event->ignore();
        return;
    }
    event->accept();
    emit frameClosed();
}

bool CMainFrame::event(QEvent* event) {
    // Pane 0 belongs to the form's status texts: menu prompts (none of the commands has one)
    // must not replace it.
    if (event->type() == QEvent::StatusTip) {
        return true;
    }
    return QMainWindow::event(event);
}
