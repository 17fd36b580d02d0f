#include "dialogs/AccountLogWindow.h"

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/sizer.h>
#include <wx/textctrl.h>

#include "forms/DisplayText.h"

void ShowAccountLog(wxWindow* parent, const wxString& account, const std::string& log) {
    auto* window = new wxDialog(parent, wxID_ANY, "Log of " + account, wxDefaultPosition,
                                parent->FromDIP(wxSize(820, 520)),
                                wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER, kAccountLogWindowName);
    std::string text;
    text.reserve(log.size());
    // The log's line ends are CR LF, and CR CR LF for the server's lines.
    for (size_t i = 0; i < log.size(); ++i) {
        const char next = i + 1 < log.size() ? log[i + 1] : '\0';
        if (log[i] != '\r' || (next != '\n' && next != '\r'))
            text += log[i];
    }
    auto* view =
        new wxTextCtrl(window, wxID_ANY, BytesToDisplay(text), wxDefaultPosition, wxDefaultSize,
                       wxTE_MULTILINE | wxTE_READONLY | wxTE_DONTWRAP | wxHSCROLL);
    view->SetFont(wxFont(wxFontInfo().Family(wxFONTFAMILY_TELETYPE)));
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(view, 1, wxEXPAND | wxALL, 6);
    sizer->Add(new wxButton(window, wxID_CLOSE), 0, wxALIGN_RIGHT | wxRIGHT | wxBOTTOM, 6);
    window->SetSizer(sizer);
    window->SetEscapeId(wxID_CLOSE);
    // Modeless: closing destroys it, there is nothing to answer.
    window->Bind(
        wxEVT_BUTTON, [window](wxCommandEvent&) { window->Destroy(); }, wxID_CLOSE);
    window->Bind(wxEVT_CLOSE_WINDOW, [window](wxCloseEvent&) { window->Destroy(); });
    window->Show();
}
