// The view: the report's results table, filling the client area between
// toolbar and status bar.
#pragma once

#include <wx/docview.h>
#include <wx/weakref.h>

class CReportList;

class CQuenDravaltView : public wxView {
public:
    CQuenDravaltView() = default;

    bool OnCreate(wxDocument* doc, long flags) override;
    bool OnClose(bool deleteWindow) override;
    void OnDraw(wxDC*) override {}
    void OnUpdate(wxView* sender, wxObject* hint) override;
    // The main window's caption names the report and says whether it is saved.
    void OnChangeFilename() override;

    CReportList* GetList() const { return m_list.get(); }

private:
    // Weak: the frame destroys its children when it goes first.
    wxWeakRef<CReportList> m_list;

    wxDECLARE_DYNAMIC_CLASS(CQuenDravaltView);
};
