#include "app/QuenDravaltDoc.h"

#include <wx/app.h>
#include <wx/file.h>
#include <wx/msgdlg.h>

#include "app/QuenDravaltView.h"

wxIMPLEMENT_DYNAMIC_CLASS(CQuenDravaltDoc, wxDocument);

namespace {

bool CanRead(const wxString& file) {
    wxFile in;
    return wxFile::Access(file, wxFile::read) && in.Open(file, wxFile::read);
}

void ReportCannotOpen(const wxString& file, wxWindow* parent) {
    wxMessageBox(wxString::Format("%s\nFailed to open document.", file), "QuenDravalt",
                 wxOK | wxICON_EXCLAMATION, parent);
}

}  // namespace

bool CQuenDravaltDoc::DoSaveDocument(const wxString& file) {
    wxFile out;
    if (!out.Create(file, true) || !out.Close()) {
        wxMessageBox(wxString::Format("%s\nThe file could not be written.", file), "QuenDravalt",
                     wxOK | wxICON_EXCLAMATION, GetDocumentWindow());
        return false;
    }
    return true;
}

bool CQuenDravaltDoc::DoOpenDocument(const wxString& file) {
    if (!CanRead(file)) {
        ReportCannotOpen(file, GetDocumentWindow());
        return false;
    }
    return true;
}

CQuenDravaltDocManager::CQuenDravaltDocManager() {
    SetMaxDocsOpen(1);
}

wxDocument* CQuenDravaltDocManager::CreateDocument(const wxString& path, long flags) {
    if (!(flags & wxDOC_NEW) && !path.empty() && !CanRead(path)) {
        ReportCannotOpen(path, wxTheApp ? wxTheApp->GetTopWindow() : nullptr);
        return nullptr;
    }
    return wxDocManager::CreateDocument(path, flags);
}

wxDocTemplate* CQuenDravaltDocManager::SelectDocumentPath(wxDocTemplate** templates,
                                                          int noTemplates, wxString& path,
                                                          long flags, bool save) {
    wxDocTemplate* chosen =
        wxDocManager::SelectDocumentPath(templates, noTemplates, path, flags, save);
    if (chosen && !save && !CanRead(path)) {
        ReportCannotOpen(path, wxTheApp ? wxTheApp->GetTopWindow() : nullptr);
        return nullptr;
    }
    return chosen;
}

wxDocTemplate* CreateQuenDravaltTemplate(wxDocManager* manager) {
    // Owned by the manager from here on.
    return new wxDocTemplate(manager, "QuenDravalt", "*.*", "", "", "QuenDravalt.Document",
                             "QuenDravalt.View", wxCLASSINFO(CQuenDravaltDoc),
                             wxCLASSINFO(CQuenDravaltView));
}
