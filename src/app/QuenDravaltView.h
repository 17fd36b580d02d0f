// The view: an empty list filling the client area between toolbar and status bar.
#pragma once

#include <wx/docview.h>
#include <wx/listctrl.h>
#include <wx/weakref.h>

class CQuenDravaltView : public wxView {
public:
    CQuenDravaltView() = default;

    bool OnCreate(wxDocument* doc, long flags) override;
    bool OnClose(bool deleteWindow) override;
    void OnDraw(wxDC*) override {}
    // The main window's caption does not follow the document name.
    void OnChangeFilename() override {}

private:
    // Weak: the frame destroys its children when it goes first.
    wxWeakRef<wxListCtrl> m_list;

    wxDECLARE_DYNAMIC_CLASS(CQuenDravaltView);
};
