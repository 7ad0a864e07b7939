// CCComboBox: an editable drop-down combo box in colours of its own.
//
// The edit field and the drop-down list show a normal colour pair (text, background) and switch
// to a hover pair while the mouse cursor is over the control. Hover tracking: the first mouse
// move over the control (or its edit field, which receives the moves) makes it hovered and
// starts a 10 ms timer; every tick then checks the cursor position and, once the cursor is
// outside the client rectangle (the right and bottom edges count as outside), returns to normal
// and stops the timer. No timer runs in the normal state.
//
// The colours are applied to the palettes of the control, its edit field and its list when they
// paint and when the hover state changes, so the setters do not repaint: new colours show at the
// next paint. Each background colour has a solid brush that the control owns; the palettes
// use these brushes.
#pragma once

#include "colorref.h"

#include <QBasicTimer>
#include <QBrush>
#include <QComboBox>
#include <QPoint>
#include <memory>

class CCComboBox : public QComboBox {
    Q_OBJECT

public:
    explicit CCComboBox(QWidget* parent = nullptr);
    ~CCComboBox() override;

    // Replaces all four colours and builds both brushes anew.
    void SetColors(COLORREF crText, COLORREF crBk, COLORREF crHoverText, COLORREF crHoverBk);
    // Each changes one colour through SetColors, so each rebuilds both brushes.
    void SetNormalBkColor(COLORREF cr);
    void SetHoverBkColor(COLORREF cr);
    void SetNormalTextColor(COLORREF cr);
    void SetHoverTextColor(COLORREF cr);

    bool IsHovered() const { return m_bHover; }
    bool IsHoverTimerActive() const { return m_hoverTimer.isActive(); }
    unsigned int HoverTimerId() const { return m_nTimerID; }
    unsigned int HoverTimerElapse() const { return m_nElapse; }
    // Serial numbers of the two current brushes (every brush made gets a new one), and the
    // number of brushes alive in all combo boxes together.
    unsigned long long BkBrushSerial() const;
    unsigned long long HoverBrushSerial() const;
    static int LiveBrushCount();

protected:
    // The cursor position in global (screen) coordinates used by the leave test. Tests
    // override it, since an offscreen platform has no cursor to move.
    virtual QPoint CursorPos() const;

    void mouseMoveEvent(QMouseEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showPopup() override;

private:
    // A solid brush owned by one combo box; counts itself so that tests can see that a setter
    // replaces brushes rather than adding to them.
    struct CSolidBrush {
        explicit CSolidBrush(COLORREF cr);
        ~CSolidBrush();
        CSolidBrush(const CSolidBrush&) = delete;
        CSolidBrush& operator=(const CSolidBrush&) = delete;
        QBrush brush;
        unsigned long long serial;
    };

    void OnMouseMove();
    // Puts the colours of the current state into the palettes of the control, its edit field
    // and its list. Palettes that already hold them stay untouched.
    void ApplyColors();

    COLORREF m_crText = 0xFFFFFF;
    COLORREF m_crBk = 0;
    COLORREF m_crHoverText = 0x000000;
    COLORREF m_crHoverBk = 0;
    // The leave-polling timer: its id among the control's timers and its period in ms. Qt
    // numbers its timers itself, so m_hoverTimer carries the running timer.
    unsigned int m_nTimerID = 1;
    unsigned int m_nElapse = 10;
    bool m_bHover = false;
    std::unique_ptr<CSolidBrush> m_pHoverBrush;
    std::unique_ptr<CSolidBrush> m_pBkBrush;
    QBasicTimer m_hoverTimer;
};
