#include "app/QuenDravaltDoc.h"

#include <wx/app.h>
#include <wx/datetime.h>
#include <wx/ffile.h>
#include <wx/filename.h>
#include <wx/msgdlg.h>

#include "app/QuenDravaltView.h"

wxIMPLEMENT_DYNAMIC_CLASS(CQuenDravaltDoc, wxDocument);

namespace {

void ReportCannotOpen(const wxString& file, const std::string& why, wxWindow* parent) {
    wxMessageBox(
        wxString::Format("%s\nFailed to open document: %s.", file, wxString::FromUTF8(why.c_str())),
        "QuenDravalt", wxOK | wxICON_EXCLAMATION, parent);
}

}  // namespace

std::string ReadReportFile(const wxString& file, CRunReport& report) {
    wxFFile in;
    if (!wxFile::Access(file, wxFile::read) || !in.Open(file, "rb"))
        return "the file cannot be read";
    const wxFileOffset length = in.Length();
    if (length < 0 || static_cast<size_t>(length) > kMaxReportBytes)
        return "the file is larger than any report";
    std::string bytes(static_cast<size_t>(length), '\0');
    if (in.Read(bytes.data(), bytes.size()) != bytes.size())
        return "the file cannot be read";
    return ParseReport(bytes, report);
}

void CQuenDravaltDoc::BeginRun(const std::string& cutoff, bool preview, const std::string& server) {
    const wxDateTime now = wxDateTime::Now();
    m_report = NewReport(cutoff, preview, server);
    m_bRun = true;
    // The report is the run's, not the file's it was opened from; Save As
    // offers a name of the day and hour.
    SetDocumentSaved(false);
    SetTitle(wxString());
    SetFilename(now.Format("report-%Y%m%d-%H%M%S.csv"));
    Modify(false);
    UpdateAllViews();
}

void CQuenDravaltDoc::SetRow(size_t index, CReportRow row) {
    if (index > m_report.rows.size())
        return;
    if (index == m_report.rows.size())
        m_report.rows.push_back(std::move(row));
    else
        m_report.rows[index] = std::move(row);
    if (!m_report.preview)
        Modify(true);
    CRowHint hint(index);
    UpdateAllViews(nullptr, &hint);
}

wxString CQuenDravaltDoc::GetUserReadableName() const {
    return GetDocumentSaved() ? wxFileName(GetFilename()).GetFullName()
                              : wxString("Untitled report");
}

bool CQuenDravaltDoc::OnNewDocument() {
    m_report = CRunReport();
    m_bRun = false;
    return wxDocument::OnNewDocument();
}

bool CQuenDravaltDoc::OnSaveDocument(const wxString& file) {
    if (!wxDocument::OnSaveDocument(file))
        return false;
    OnChangeFilename(true);
    return true;
}

bool CQuenDravaltDoc::DoSaveDocument(const wxString& file) {
#ifdef _WIN32
    const std::string path = file.utf8_string();  // the file layer takes UTF-8 there
#else
    const std::string path(file.fn_str());
#endif
    if (!WriteReportFile(path, m_report)) {
        wxMessageBox(wxString::Format("%s\nThe file could not be written.", file), "QuenDravalt",
                     wxOK | wxICON_EXCLAMATION, GetDocumentWindow());
        return false;
    }
    return true;
}

bool CQuenDravaltDoc::DoOpenDocument(const wxString& file) {
    CRunReport report;
    const std::string why = ReadReportFile(file, report);
    if (!why.empty()) {
        ReportCannotOpen(file, why, GetDocumentWindow());
        return false;
    }
    m_report = std::move(report);
    m_bRun = false;
    UpdateAllViews();
    return true;
}

CQuenDravaltDocManager::CQuenDravaltDocManager() {
    SetMaxDocsOpen(1);
}

wxDocument* CQuenDravaltDocManager::CreateDocument(const wxString& path, long flags) {
    CRunReport report;
    if (!(flags & wxDOC_NEW) && !path.empty()) {
        if (const std::string why = ReadReportFile(path, report); !why.empty()) {
            ReportCannotOpen(path, why, wxTheApp ? wxTheApp->GetTopWindow() : nullptr);
            return nullptr;
        }
    }
    return wxDocManager::CreateDocument(path, flags);
}

wxDocTemplate* CQuenDravaltDocManager::SelectDocumentPath(wxDocTemplate** templates,
                                                          int noTemplates, wxString& path,
                                                          long flags, bool save) {
    wxDocTemplate* chosen =
        wxDocManager::SelectDocumentPath(templates, noTemplates, path, flags, save);
    CRunReport report;
    if (chosen && !save) {
        if (const std::string why = ReadReportFile(path, report); !why.empty()) {
            ReportCannotOpen(path, why, wxTheApp ? wxTheApp->GetTopWindow() : nullptr);
            return nullptr;
        }
    }
    return chosen;
}

wxDocTemplate* CreateQuenDravaltTemplate(wxDocManager* manager) {
    // Owned by the manager from here on.
    return new wxDocTemplate(manager, "Run reports (*.csv)", "*.csv", "", "csv",
                             "QuenDravalt.Document", "QuenDravalt.View",
                             wxCLASSINFO(CQuenDravaltDoc), wxCLASSINFO(CQuenDravaltView));
}
