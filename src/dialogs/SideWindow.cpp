#include "dialogs/SideWindow.h"

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/sizer.h>

wxDialog* NewSideWindow(wxWindow* parent, const wxString& title, const wxSize& size,
                        const char* name) {
    return new wxDialog(parent, wxID_ANY, title, wxDefaultPosition, parent->FromDIP(size),
                        wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER, name);
}

void ShowSideWindow(wxDialog* window, wxWindow* content) {
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(content, 1, wxEXPAND | wxALL, 6);
    sizer->Add(new wxButton(window, wxID_CLOSE), 0, wxALIGN_RIGHT | wxRIGHT | wxBOTTOM, 6);
    window->SetSizer(sizer);
    window->SetEscapeId(wxID_CLOSE);
    // Modeless: there is nothing to answer, so closing destroys it.
    window->Bind(
        wxEVT_BUTTON, [window](wxCommandEvent&) { window->Destroy(); }, wxID_CLOSE);
    window->Bind(wxEVT_CLOSE_WINDOW, [window](wxCloseEvent&) { window->Destroy(); });
    window->Show();
}
