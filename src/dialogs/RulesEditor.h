// Manage → "Rules…": the rules file in a plain text editor. OK checks the text
// as a run would read it and keeps the form open, the mistake named, until it
// reads; only then is the file replaced. A missing file opens with a commented
// example.
#pragma once

#include <string>

#include <wx/dialog.h>

class wxTextCtrl;

class CRulesEditor : public wxDialog {
public:
    // path: the rules file; its text is read now.
    CRulesEditor(wxWindow* parent, const std::string& path);

    // False when the file could not be read (the administrator was told).
    bool IsLoaded() const { return m_bLoaded; }

private:
    void OnOk(wxCommandEvent& event);

    std::string m_strPath;
    std::string m_strOriginal;  // the file's bytes, CR LF as LF
    wxTextCtrl* m_text = nullptr;
    bool m_bLoaded = false;
};

// Shows the editor over parent for the rules file at path.
void EditRules(wxWindow* parent, const std::string& path);
