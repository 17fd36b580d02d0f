// The document of the document/view frame: the report of a run, one row per
// account, kept as CSV by File → Save. A deleting run's report counts as
// modified until it is saved, so closing asks before it is lost; a preview's
// report does not.
#pragma once

#include <wx/docview.h>

#include "frame/ReportDocument.h"
#include "run/RunReport.h"

// The hint UpdateAllViews passes when one row was added or changed.
class CRowHint : public wxObject {
public:
    explicit CRowHint(size_t row) : m_row(row) {}
    size_t m_row;
};

class CQuenDravaltDoc : public wxDocument, public IReportDocument {
public:
    CQuenDravaltDoc() = default;

    // IReportDocument; the report also takes the start time.
    void BeginRun(const std::string& cutoff, bool preview, const std::string& server) override;
    bool HoldsRun() const override { return m_bRun; }
    void SetRow(size_t index, CReportRow row) override;
    bool MayBeReplaced() override { return OnSaveModified(); }
    const CRunReport& Report() const { return m_report; }

    // "Untitled report" until the report is saved or was opened.
    wxString GetUserReadableName() const override;
    bool OnNewDocument() override;
    // Saves, and the title names the file.
    bool OnSaveDocument(const wxString& file) override;

protected:
    bool DoSaveDocument(const wxString& file) override;
    bool DoOpenDocument(const wxString& file) override;

private:
    CRunReport m_report;
    bool m_bRun = false;

    wxDECLARE_DYNAMIC_CLASS(CQuenDravaltDoc);
};

// The document manager: single document, and a file that is no report is
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

// Reads the report in file; "" or why it is not one.
std::string ReadReportFile(const wxString& file, CRunReport& report);
