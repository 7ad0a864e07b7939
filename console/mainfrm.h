// The main frame: caption "Morvane V1.0", menu 310, an empty tool bar, a status bar whose
// pane 0 is 495 pixels wide, the keyboard table 128, and the view (the form) in between.
//
// Every command carries its id as objectName: the menu items of menu 310, the accelerator
// commands and the commands that only the program issues (57664, the about box). Whoever
// handles a command connects to FindCommand(id)->triggered; SendCommand(id) issues it as a
// menu choice would. Check marks follow the handlers installed with SetCommandUpdateHandler,
// which run whenever a menu is about to open and after every command.
//
// The frame cannot be resized by the operator: its size is fixed by whoever fits it (the
// form, ResizeToFitView) and by ActivateFrame when it is first shown.
#pragma once

#include <QHash>
#include <QMainWindow>
#include <QRect>
#include <QSize>

#include <functional>
#include <map>
#include <utility>

class CFormView;
class QAction;
class QLabel;
class QMenu;
class QStatusBar;
class QToolBar;

// What the activation step reads of the primary display.
struct CDisplayInfo {
    int modeHeight = 0;   // height of the current display mode, in device (physical) pixels
    int screenWidth = 0;  // width of the primary screen, in the frame's (scaled) pixels
    int screenHeight = 0; // height of the primary screen, in the frame's (scaled) pixels
    // The part of the screen a window may take (without panels and docks), in the frame's
    // pixels; empty: no limit known.
    QRect available;
};

class CMainFrame : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int STATUS_PANE0_WIDTH = 495;

    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Creates the menu, the accelerators, the tool bar and the status bar. Returns true when
    // the frame is complete.
    bool Create();

    // ---- view ----
    // Adopts the view as the frame's client (takes ownership). The view sits in a scroll area
    // without a frame of its own, which shows scroll bars only when the frame is smaller than
    // the view.
    void SetView(CFormView* view);
    CFormView* GetActiveView() const { return m_pView; }

    // ---- commands ----
    // The action that carries command id, or nullptr.
    QAction* FindCommand(int id) const;
    // Issues command id as a menu choice or an accelerator would. False when no action
    // carries it or it is disabled.
    bool SendCommand(int id);
    // Installs (or, with an empty function, removes) the check/enable updater of command id.
    void SetCommandUpdateHandler(int id, std::function<void(QAction*)> handler);
    // Runs every updater.
    void UpdateCommandUi();

    // ---- bars ----
    QStatusBar* GetStatusBar() const { return m_pStatusBar; }
    QToolBar* GetToolBar() const { return m_pToolBar; }
    // The label of status pane 0 to 3 (message pane, CAP, NUM, SCRL), or nullptr.
    QLabel* GetPane(int index) const;
    // Sets the text of a pane and repaints it at once.
    void SetPaneText(int index, const QString& text);
    QString GetPaneText(int index) const;

    // ---- size and place ----
    // Lays the bars and the view out again now.
    void RecalcLayout();
    // Resizes the frame so that the view gets viewSize; with shrinkOnly a dimension only
    // shrinks.
    void ResizeToFitView(QSize viewSize, bool shrinkOnly);
    // The frame's place after activation: on a display mode 768 pixels high or less the
    // frame becomes 720 by 693, otherwise it keeps its size; then it is centred on the screen
    // with divisions that truncate toward zero (a negative edge stays negative).
    static QRect ActivationRect(QSize frameSize, const CDisplayInfo& display);
    // A frame rectangle (outer size) brought onto the available area: no larger than it, and
    // moved inside it where it would lie partly off it. An empty area changes nothing.
    static QRect FitToAvailable(QRect frame, QRect available);
    // Moves and sizes the frame by ActivationRect, keeps it on the available area (the view
    // scrolls inside a frame that had to shrink) and shows it.
    void ActivateFrame();
    // Installs (or, with an empty function, removes) a guard asked before the frame closes:
    // when it returns true the close is refused for now (the guard arranges a later close).
    void SetCloseGuard(std::function<bool()> guard) { m_closeGuard = std::move(guard); }

    // Replaces the reading of the primary display (tests); empty: the real display.
    void SetDisplayInfoProvider(std::function<CDisplayInfo()> provider);
    static CDisplayInfo PrimaryDisplayInfo();

signals:
    // The operator closed the frame: the application ends.
    void frameClosed();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;

private:
    void CreateMenu();
    void CreateAccelerators();
    QAction* AddCommand(QAction* action, int id);
    void SetFrameSize(QSize outer);

    CFormView* m_pView = nullptr;
    QToolBar* m_pToolBar = nullptr;
    QStatusBar* m_pStatusBar = nullptr;
    QLabel* m_panes[4] = {};
    QHash<int, QAction*> m_commands;
    std::map<int, std::function<void(QAction*)>> m_updateHandlers;
    std::function<CDisplayInfo()> m_displayInfo;
    std::function<bool()> m_closeGuard;
};
