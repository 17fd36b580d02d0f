#include "app/QuenDravaltView.h"

#include "frame/MainFrame.h"

wxIMPLEMENT_DYNAMIC_CLASS(CQuenDravaltView, wxView);

bool CQuenDravaltView::OnCreate(wxDocument* doc, long flags) {
    if (!wxView::OnCreate(doc, flags))
        return false;
    CMainFrame* frame = CMainFrame::ForManager(GetDocumentManager());
    if (!frame)
        return false;
    m_list = new wxListCtrl(frame, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                            wxLC_ICON | wxBORDER_SUNKEN);
    SetFrame(frame);
    frame->SetViewWindow(m_list.get());
    Activate(true);
    return true;
}

bool CQuenDravaltView::OnClose(bool deleteWindow) {
    if (!wxView::OnClose(deleteWindow))
        return false;
    Activate(false);
    if (wxListCtrl* list = m_list.get()) {
        if (CMainFrame* frame = CMainFrame::ForManager(GetDocumentManager()))
            frame->RemoveViewWindow(list);
        if (deleteWindow)
            list->Destroy();
    }
    SetFrame(nullptr);
    return true;
}
