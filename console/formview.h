// The base of the view that the main frame hosts: a form laid out from a template.
//
// The application creates the view through its view factory, hands it to the frame as the
// frame's central widget and then calls OnInitialUpdate once, before the frame is first shown.
// A form derives from CFormView, sets its template size (the form's size in pixels, usually
// DluToPixels of the template's dialog units) and typically calls ResizeParentToFit from its
// OnInitialUpdate. When the frame is destroyed the view's OnDestroy runs first, while all of
// the view's controls still exist.
#pragma once

#include <QSize>
#include <QWidget>

class CMainFrame;

class CFormView : public QWidget {
    Q_OBJECT

public:
    explicit CFormView(QWidget* parent = nullptr);

    // The frame that hosts this view, or nullptr before the frame adopted it.
    CMainFrame* GetParentFrame() const;

    // The size of the form in pixels; the frame fits itself to it.
    QSize GetTotalSize() const { return m_sizeTotal; }
    void SetTotalSize(QSize size) { m_sizeTotal = size; }

    // Lays the frame out again and resizes it so that its client area holds the form:
    // shrinkOnly keeps a frame dimension that is already smaller than the form needs.
    void ResizeParentToFit(bool shrinkOnly = true);

    // Called once by the application after the frame adopted the view, before it is shown.
    virtual void OnInitialUpdate();

    // Called once when the frame is destroyed, before any child widget goes.
    virtual void OnDestroy();

private:
    QSize m_sizeTotal;
};
