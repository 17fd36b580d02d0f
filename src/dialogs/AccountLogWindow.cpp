#include "dialogs/AccountLogWindow.h"

#include <wx/dialog.h>
#include <wx/textctrl.h>

#include "dialogs/SideWindow.h"
#include "forms/DisplayText.h"

void ShowAccountLog(wxWindow* parent, const wxString& account, const std::string& log) {
    wxDialog* window =
        NewSideWindow(parent, "Log of " + account, wxSize(820, 520), kAccountLogWindowName);
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
    ShowSideWindow(window, view);
}
