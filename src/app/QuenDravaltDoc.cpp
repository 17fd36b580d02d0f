#include "app/QuenDravaltDoc.h"

#include <wx/file.h>
#include <wx/msgdlg.h>

#include "app/QuenDravaltView.h"

wxIMPLEMENT_DYNAMIC_CLASS(CQuenDravaltDoc, wxDocument);

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
    wxFile in;
    if (!wxFile::Access(file, wxFile::read) || !in.Open(file, wxFile::read)) {
        wxMessageBox(wxString::Format("%s\nFailed to open document.", file), "QuenDravalt",
                     wxOK | wxICON_EXCLAMATION, GetDocumentWindow());
        return false;
    }
    return true;
}

wxDocTemplate* CreateQuenDravaltTemplate(wxDocManager* manager) {
    // Owned by the manager from here on.
    return new wxDocTemplate(manager, "QuenDravalt", "*.*", "", "", "QuenDravalt.Document",
                             "QuenDravalt.View", wxCLASSINFO(CQuenDravaltDoc),
                             wxCLASSINFO(CQuenDravaltView));
}
