// The document of the document/view frame. The program keeps its data in its
// own files (see platform/DataFolder.h); the document stores nothing and is
// never modified, so New and Open never ask to save.
#pragma once

#include <wx/docview.h>

class CQuenDravaltDoc : public wxDocument {
public:
    CQuenDravaltDoc() = default;

    bool IsModified() const override { return false; }
    void Modify(bool) override { wxDocument::Modify(false); }

protected:
    // Writes an empty file: there is nothing to store.
    bool DoSaveDocument(const wxString& file) override;
    // Checks that the file can be read and reads nothing.
    bool DoOpenDocument(const wxString& file) override;

private:
    wxDECLARE_DYNAMIC_CLASS(CQuenDravaltDoc);
};

// The document manager: single document, and a file that cannot be read is
// refused before the open document is closed for it.
class CQuenDravaltDocManager : public wxDocManager {
public:
    CQuenDravaltDocManager();

    wxDocument* CreateDocument(const wxString& path, long flags = 0) override;
    wxDocTemplate* SelectDocumentPath(wxDocTemplate** templates, int noTemplates, wxString& path,
                                      long flags, bool save = false) override;
};

// The program's single document template (document, view, main frame).
wxDocTemplate* CreateQuenDravaltTemplate(wxDocManager* manager);
