#include "app/QuenDravaltView.h"

#include <wx/clipbrd.h>
#include <wx/menu.h>

#include "app/QuenDravaltDoc.h"
#include "app/ReportList.h"
#include "frame/MainFrame.h"

wxIMPLEMENT_DYNAMIC_CLASS(CQuenDravaltView, wxView);

bool CQuenDravaltView::OnCreate(wxDocument* doc, long flags) {
    if (!wxView::OnCreate(doc, flags))
        return false;
    CMainFrame* frame = CMainFrame::ForManager(GetDocumentManager());
    auto* report = dynamic_cast<CQuenDravaltDoc*>(doc);
    if (!frame || !report)
        return false;
    m_list = new CReportList(frame, report->Report());
    // F8 reaches the current view before the frame.
    Bind(
        wxEVT_MENU,
        [this](wxCommandEvent&) {
            if (!m_list || !m_list->SelectNextFailed())
                wxBell();
        },
        ID_NEXT_FAILED);
    // Edit → Copy: the selected rows, for a spreadsheet or a mail.
    Bind(
        wxEVT_UPDATE_UI,
        [this](wxUpdateUIEvent& e) { e.Enable(m_list && m_list->GetSelectedItemCount() > 0); },
        wxID_COPY);
    Bind(
        wxEVT_MENU,
        [this](wxCommandEvent&) {
            if (!m_list || m_list->GetSelectedItemCount() == 0)
                return;  // the accelerators come even when the item is disabled
            wxClipboardLocker clipboard;
            if (!clipboard)
                return;  // another program holds it
            wxTheClipboard->SetData(new wxTextDataObject(m_list->SelectedRowsText()));
        },
        wxID_COPY);
    // The row of item, with the main window to show it in; null for neither.
    const auto rowAt = [this, report](long item) -> const CReportRow* {
        const size_t row = m_list ? m_list->RowAt(item) : SIZE_MAX;
        return row < report->Report().rows.size() && CMainFrame::ForManager(GetDocumentManager())
                   ? &report->Report().rows[row]
                   : nullptr;
    };
    const auto selected = [this, rowAt] {
        return rowAt(m_list ? m_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED) : -1);
    };
    m_list->Bind(wxEVT_LIST_ITEM_ACTIVATED, [this, rowAt](wxListEvent& e) {
        if (const CReportRow* row = rowAt(e.GetIndex()))
            CMainFrame::ForManager(GetDocumentManager())->OpenRow(*row);
    });
    // The row's context menu, and View → Messages and Log for the selected row.
    m_list->Bind(wxEVT_LIST_ITEM_RIGHT_CLICK, [this, rowAt](wxListEvent& e) {
        const CReportRow* row = rowAt(e.GetIndex());
        if (!row)
            return;
        CMainFrame* frame = CMainFrame::ForManager(GetDocumentManager());
        wxMenu menu;
        menu.Append(ID_SHOW_MESSAGES, "Messages")->Enable(frame->MessagesAvailable());
        menu.Append(ID_SHOW_LOG, "Log");
        const int picked = m_list->GetPopupMenuSelectionFromUser(menu);
        if (picked == ID_SHOW_MESSAGES)
            frame->ShowMessages(*row);
        else if (picked == ID_SHOW_LOG)
            frame->ShowAccountLog(*row);
    });
    Bind(
        wxEVT_UPDATE_UI,
        [this, selected](wxUpdateUIEvent& e) {
            e.Enable(selected() &&
                     CMainFrame::ForManager(GetDocumentManager())->MessagesAvailable());
        },
        ID_SHOW_MESSAGES);
    Bind(
        wxEVT_UPDATE_UI, [selected](wxUpdateUIEvent& e) { e.Enable(selected() != nullptr); },
        ID_SHOW_LOG);
    Bind(
        wxEVT_MENU,
        [this, selected](wxCommandEvent& e) {
            const CReportRow* row = selected();
            if (!row)
                return;
            CMainFrame* frame = CMainFrame::ForManager(GetDocumentManager());
            if (e.GetId() == ID_SHOW_MESSAGES)
                frame->ShowMessages(*row);
            else
                frame->ShowAccountLog(*row);
        },
        ID_SHOW_MESSAGES, ID_SHOW_LOG);
    SetFrame(frame);
    frame->SetViewWindow(m_list.get());
    Activate(true);
    OnChangeFilename();
    return true;
}

void CQuenDravaltView::OnUpdate(wxView*, wxObject* hint) {
    if (!m_list)
        return;
    if (auto* row = dynamic_cast<CRowHint*>(hint))
        m_list->RowChanged(row->m_row);
    else
        m_list->Reload();
    OnChangeFilename();
}

void CQuenDravaltView::OnChangeFilename() {
    CMainFrame* frame = CMainFrame::ForManager(GetDocumentManager());
    auto* doc = dynamic_cast<CQuenDravaltDoc*>(GetDocument());
    if (!frame || !doc)
        return;
    const CRunReport& report = doc->Report();
    const bool blank =
        !doc->GetDocumentSaved() && report.rows.empty() && !doc->IsModified() && !report.preview;
    frame->ShowReportTitle(blank ? wxString() : doc->GetUserReadableName(), doc->IsModified(),
                           report.preview);
}

bool CQuenDravaltView::OnClose(bool deleteWindow) {
    if (!wxView::OnClose(deleteWindow))
        return false;
    Activate(false);
    if (CReportList* list = m_list.get()) {
        if (CMainFrame* frame = CMainFrame::ForManager(GetDocumentManager()))
            frame->RemoveViewWindow(list);
        if (deleteWindow)
            list->Destroy();
    }
    SetFrame(nullptr);
    return true;
}
