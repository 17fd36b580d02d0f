#include "dialogs/DlgConferma.h"

#include <utility>

#include <wx/button.h>
#include <wx/stattext.h>
#include <wx/xrc/xmlres.h>

#include "dialogs/DeleteCommands.h"
#include "forms/ControlIds.h"
#include "forms/DisplayText.h"
#include "settings/Settings.h"

namespace {

// How the run will secure the connection: the mode, then what the known
// servers say of the server (in auto, a server that completed TLS before gets
// no password without it).
std::string SecurityText(const CSettings& settings) {
    static const char* const kModes[] = {
        "auto: STARTTLS when the server offers it",
        "starttls: STARTTLS required",
        "tls: IMAPS from the first byte",
        "none: plain text, passwords travel readable",
    };
    const CKnownServer* known = settings.m_known.Find(settings.Server());
    std::string text = kModes[static_cast<int>(settings.m_security)];
    text += known && known->tls ? "\nThe server completed TLS before"
                                : "\nThe server never completed TLS with this program";
    text += settings.Pin().empty() ? "; no certificate is pinned for it."
                                   : "; its certificate is pinned.";
    return text;
}

}  // namespace

wxString DayInWords(const wxDateTime& day) {
    static const char* const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                        "Thursday", "Friday", "Saturday"};
    static const char* const kMonths[] = {"January",   "February", "March",    "April",
                                          "May",       "June",     "July",     "August",
                                          "September", "October",  "November", "December"};
    if (!day.IsValid())
        return "?";
    return wxString::Format("%s, %d %s %d", kDays[day.GetWeekDay()], day.GetDay(),
                            kMonths[day.GetMonth()], day.GetYear());
}

CDlgConferma::CDlgConferma(wxWindow* parent, const CSettings& settings, const CRunRequest& request,
                           size_t listAccounts) {
    m_bLoaded = wxXmlResource::Get()->LoadDialog(this, parent, "IDD_CONFERMA");
    if (!m_bLoaded)
        return;
    SetId(IDD_CONFERMA);
    const wxDateTime today = wxDateTime::Today();
    const wxDateTime day = request.day.IsValid() ? request.day.GetDateOnly() : today;
    wxString warning;
    if (day > today)
        warning = "This deletes every message in INBOX received before today, and today's too.";
    else if (day == today)
        warning = "This deletes every message in INBOX received before today.";
    const wxString accounts =
        !request.list       ? BytesToDisplay(request.account)
        : listAccounts == 1 ? wxString("the 1 account of the user list")
                            : wxString::Format("all %zu accounts of the user list", listAccounts);
    const std::pair<int, wxString> values[] = {
        {IDC_STATIC_SERVER, BytesToDisplay(settings.Server())},
        {IDC_STATIC_SECURITY, SecurityText(settings)},
        {IDC_STATIC_DAY, "received before " + DayInWords(day)},
        {IDC_STATIC_FOLDER, "INBOX"},
        {IDC_STATIC_ACCOUNTS, accounts},
        {IDC_STATIC_WARNING, warning},
    };
    for (const auto& [id, text] : values)
        if (auto* label = dynamic_cast<wxStaticText*>(FindWindow(id)))
            label->SetLabelText(text);  // no mnemonics: the names are the files'
    Bind(
        wxEVT_BUTTON,
        [this](wxCommandEvent&) {
            // EndDialog() sets no return code for a form that is not modal.
            SetReturnCode(wxID_OK);
            EndDialog(wxID_OK);
        },
        IDC_DELETE);
    Bind(wxEVT_CHAR_HOOK, &CDlgConferma::OnCharHook, this);
}

void CDlgConferma::OnCharHook(wxKeyEvent& event) {
    // Enter presses the focused button, else the default one (Cancel), here
    // rather than by the platform's rules, so that it is the same everywhere.
    const int key = event.GetKeyCode();
    if ((key != WXK_RETURN && key != WXK_NUMPAD_ENTER) || event.HasAnyModifiers()) {
        event.Skip();
        return;
    }
    wxWindow* focus = FindFocus();
    auto* button = dynamic_cast<wxButton*>(
        focus && wxGetTopLevelParent(focus) == this ? focus : GetDefaultItem());
    if (!button)
        return;
    wxCommandEvent click(wxEVT_BUTTON, button->GetId());
    click.SetEventObject(button);
    button->ProcessWindowEvent(click);
}
