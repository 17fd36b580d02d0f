#include "dialogs/RulesEditor.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "forms/ControlIds.h"
#include "forms/DisplayText.h"
#include "platform/FileSystem.h"
#include "platform/StdioFile.h"
#include "run/Rules.h"

namespace {

// What a file that is not there yet starts from: every line a comment, so
// that it changes nothing until a line is taken in.
constexpr const char* kExample =
    "# Which folders a run cleans, with which age, what it spares and whether\n"
    "# mail goes to Trash. '#' starts a comment: remove it to use a line.\n"
    "# Without a folder line a run cleans INBOX of the mail received before its day.\n"
    "#\n"
    "# [all]                    # every account\n"
    "# INBOX                    # this folder, mail received before the run's day\n"
    "# \\Trash older-than 30     # a folder by its use (\\Junk, \\Sent, \\Drafts, \\Archive,\n"
    "#                          # \\All), with an age of its own in days\n"
    "# \"Old Projects\" older-than 730\n"
    "# spare flagged            # never delete mail flagged \\Flagged\n"
    "# spare unread             # never delete mail not yet read\n"
    "# action trash             # move to Trash instead of deleting\n"
    "#\n"
    "# [anna@example.com]       # this account: its folder lines replace [all]'s,\n"
    "# INBOX older-than 90      # its spare lines add to them, its action replaces it\n";

wxString Caption() {
    return wxTheApp ? wxTheApp->GetAppDisplayName() : wxString();
}

// The file's text with LF line ends, or the example when there is none; "" or
// why it can't be read.
std::string ReadRules(const std::string& path, std::string& text) {
    bool missing = false;
    if (std::string problem = ReadRulesFile(path, text, missing); !problem.empty())
        return problem;
    if (missing) {
        text = kExample;
        return "";
    }
    std::string lf;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] != '\r' || i + 1 >= text.size() || text[i + 1] != '\n')
            lf += text[i];
    text = std::move(lf);
    return "";
}

}  // namespace

CRulesEditor::CRulesEditor(wxWindow* parent, const std::string& path)
    : wxDialog(parent, IDD_RULES, "Rules", wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      m_strPath(path) {
    if (const std::string problem = ReadRules(path, m_strOriginal); !problem.empty()) {
        wxMessageBox(BytesToDisplay(problem + "."), Caption(), wxOK | wxICON_WARNING, parent);
        return;
    }
    m_bLoaded = true;
    m_text = new wxTextCtrl(this, IDC_EDIT_RULES, BytesToDisplay(m_strOriginal), wxDefaultPosition,
                            FromDIP(wxSize(720, 420)), wxTE_MULTILINE | wxTE_DONTWRAP | wxHSCROLL);
    m_text->SetFont(wxFont(wxFontInfo().Family(wxFONTFAMILY_TELETYPE)));
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(new wxStaticText(this, wxID_ANY, BytesToDisplay(path)), 0, wxALL, 6);
    sizer->Add(m_text, 1, wxEXPAND | wxLEFT | wxRIGHT, 6);
    sizer->Add(CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxALL, 6);
    SetSizerAndFit(sizer);
    Bind(wxEVT_BUTTON, &CRulesEditor::OnOk, this, wxID_OK);
}

void CRulesEditor::OnOk(wxCommandEvent&) {
    const std::string text = DisplayToBytes(m_text->GetValue(), m_strOriginal);
    CRules rules;
    std::string problem = ParseRules(text, m_strPath, rules);
    // Steers runs: for the owner only, and whole or not at all.
    if (problem.empty() && !(MakeFoldersFor(m_strPath) && ReplaceTextFile(m_strPath, text)))
        problem = "The rules file " + m_strPath + " could not be written";
    if (!problem.empty()) {
        wxMessageBox(BytesToDisplay(problem + "."), Caption(), wxOK | wxICON_WARNING, this);
        return;
    }
    // EndDialog() sets no return code for a form that is not modal.
    SetReturnCode(wxID_OK);
    EndDialog(wxID_OK);
}

void EditRules(wxWindow* parent, const std::string& path) {
    CRulesEditor editor(parent, path);
    if (editor.IsLoaded())
        editor.ShowModal();
}
