#include "formview.h"

#include "mainfrm.h"

CFormView::CFormView(QWidget* parent) : QWidget(parent) {}

CMainFrame* CFormView::GetParentFrame() const {
    return qobject_cast<CMainFrame*>(window());
}

void CFormView::ResizeParentToFit(bool shrinkOnly) {
    if (CMainFrame* frame = GetParentFrame()) {
        frame->RecalcLayout();
        frame->ResizeToFitView(m_sizeTotal, shrinkOnly);
    }
}

void CFormView::OnInitialUpdate() {}

void CFormView::OnDestroy() {}
