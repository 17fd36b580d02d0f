#include "settings/DlgConfigura.h"

#include <utility>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/choice.h>
#include <wx/msgdlg.h>
#include <wx/textctrl.h>
#include <wx/valgen.h>

#include "forms/ControlIds.h"
#include "forms/Validators.h"
#include "platform/SafeAtoi.h"
#include "settings/Settings.h"

bool ParseTypedFingerprint(const std::string& typed, std::string& fingerprint) {
    std::string text;
    for (const char c : typed)
        if (c != ' ' && c != '\t')
            text += c;
    fingerprint = NormalizeFingerprint(text);
    return text.empty() || !fingerprint.empty();
}

CDlgConfigura::CDlgConfigura(wxWindow* parent)
    : CAcceptingDialog(parent, "IDD_CONFIGURATION", IDD_CONFIGURATION) {
    if (!IsLoaded())
        return;
    // The port, the accounts at once and the fingerprint are checked on Set; the rest is taken as
    // it is, so there is no wxFILTER_EMPTY; the digit filters only stop keystrokes.
    FindWindow(IDC_EDIT_SERVER_IP)
        ->SetValidator(CBytesTextValidator(wxFILTER_NONE, &m_strServerIP));
    FindWindow(IDC_EDIT_PORT)->SetValidator(CBytesTextValidator(wxFILTER_DIGITS, &m_strPort));
    FindWindow(IDC_EDIT_PAUSE)->SetValidator(CBytesTextValidator(wxFILTER_DIGITS, &m_strPause));
    FindWindow(IDC_EDIT_PARALLEL)
        ->SetValidator(CBytesTextValidator(wxFILTER_DIGITS, &m_strParallel));
    FindWindow(IDC_COMBO_SECURITY)->SetValidator(wxGenericValidator(&m_nSecurity));
    FindWindow(IDC_EDIT_FINGERPRINT)
        ->SetValidator(CBytesTextValidator(wxFILTER_NONE, &m_strFingerprint));
    FindWindow(IDC_COMBO_AUTH)->SetValidator(wxGenericValidator(&m_nAuth));
    const std::pair<int, std::string*> oauth[] = {{IDC_EDIT_TOKEN_URL, &m_strTokenUrl},
                                                  {IDC_EDIT_CLIENT_ID, &m_strClientId},
                                                  {IDC_EDIT_CLIENT_SECRET, &m_strClientSecret},
                                                  {IDC_EDIT_SCOPE, &m_strScope},
                                                  {IDC_EDIT_CA_FILE, &m_strCaFile}};
    for (const auto& [id, value] : oauth)
        FindWindow(id)->SetValidator(CBytesTextValidator(wxFILTER_NONE, value));
    // The values that can be refused: Set and Enter check them first (the
    // char hook, bound after the base class's, is called before it).
    Bind(wxEVT_BUTTON, &CDlgConfigura::OnSet, this, IDC_SET);
    Bind(wxEVT_CHAR_HOOK, &CDlgConfigura::OnCharHook, this);
    Bind(wxEVT_CHOICE, &CDlgConfigura::OnSecurityChanged, this, IDC_COMBO_SECURITY);
    Bind(
        wxEVT_CHOICE,
        [this](wxCommandEvent& event) {
            EnableOAuthFields(event.GetSelection() == static_cast<int>(AuthMode::OAuth2));
        },
        IDC_COMBO_AUTH);
}

bool CDlgConfigura::TransferDataToWindow() {
    m_bTlsShown = m_nSecurity == static_cast<int>(SecurityMode::Tls);
    EnableOAuthFields(m_nAuth == static_cast<int>(AuthMode::OAuth2));
    return CAcceptingDialog::TransferDataToWindow();
}

void CDlgConfigura::EnableOAuthFields(bool oauth2) {
    // Disabled, the values stay and are stored: a later switch back to OAuth2
    // finds them.
    for (const int id : {IDC_EDIT_TOKEN_URL, IDC_EDIT_CLIENT_ID, IDC_EDIT_CLIENT_SECRET,
                         IDC_EDIT_SCOPE, IDC_EDIT_CA_FILE})
        FindWindow(id)->Enable(oauth2);
}

void CDlgConfigura::OnSecurityChanged(wxCommandEvent& event) {
    // The usual port goes with the mode: 993 for IMAPS, 143 otherwise. Any
    // other port was chosen on purpose and stays.
    const bool tls = event.GetSelection() == static_cast<int>(SecurityMode::Tls);
    auto* port = static_cast<wxTextCtrl*>(FindWindow(IDC_EDIT_PORT));
    if (tls && port->GetValue() == "143")
        port->ChangeValue("993");
    else if (!tls && m_bTlsShown && port->GetValue() == "993")
        port->ChangeValue("143");
    m_bTlsShown = tls;
}

void CDlgConfigura::OnSet(wxCommandEvent& event) {
    if (CheckValues())
        OnBnClickedDelete(event);
}

void CDlgConfigura::OnCharHook(wxKeyEvent& event) {
    // Only the Enter the base class would take as Set: a focused button
    // clicks itself, and then OnSet checks.
    const int key = event.GetKeyCode();
    const bool enter = key == WXK_RETURN || key == WXK_NUMPAD_ENTER;
    if (enter && !event.HasAnyModifiers() && !dynamic_cast<wxButton*>(FindFocus()) &&
        !CheckValues())
        return;
    event.Skip();
}

bool CDlgConfigura::CheckValues() {
    auto* port = static_cast<wxTextCtrl*>(FindWindow(IDC_EDIT_PORT));
    auto* parallel = static_cast<wxTextCtrl*>(FindWindow(IDC_EDIT_PARALLEL));
    auto* field = static_cast<wxTextCtrl*>(FindWindow(IDC_EDIT_FINGERPRINT));
    auto* tokenUrl = static_cast<wxTextCtrl*>(FindWindow(IDC_EDIT_TOKEN_URL));
    auto* clientId = static_cast<wxTextCtrl*>(FindWindow(IDC_EDIT_CLIENT_ID));
    auto* secret = static_cast<wxTextCtrl*>(FindWindow(IDC_EDIT_CLIENT_SECRET));
    const bool oauth2 = static_cast<wxChoice*>(FindWindow(IDC_COMBO_AUTH))->GetSelection() ==
                        static_cast<int>(AuthMode::OAuth2);
    // Stored as TrimRight leaves them, so judged that way.
    const auto typed = [](wxTextCtrl* text) { return TrimRight(text->GetValue().utf8_string()); };
    const int number = SafeAtoi(port->GetValue().utf8_string());
    const int atOnce = SafeAtoi(parallel->GetValue().utf8_string());
    std::string fingerprint;
    const char* problem = nullptr;
    wxTextCtrl* wrong = nullptr;
    if (number < 1 || number > 65535) {
        problem = "The port must be a number from 1 to 65535.";  // else it would wrap
        wrong = port;
    } else if (atOnce < 1 || atOnce > kMaxParallel) {
        problem = "Accounts at once must be a number from 1 to 16.";
        wrong = parallel;
    } else if (!ParseTypedFingerprint(field->GetValue().utf8_string(), fingerprint)) {
        problem =
            "The trusted certificate is not a SHA-256 fingerprint: it takes 64 hex digits, in "
            "pairs separated by colons or not. Empty the field to trust no certificate.";
        wrong = field;
    } else if (oauth2 && typed(tokenUrl).rfind("https://", 0) != 0) {
        // The request carries the client secret: never in clear text.
        problem = "The token endpoint must be an https:// address.";
        wrong = tokenUrl;
    } else if (oauth2 && typed(clientId).empty()) {
        problem = "OAuth2 needs the client id of the app registration.";
        wrong = clientId;
    } else if (oauth2 && typed(secret).empty()) {
        problem = "OAuth2 needs the client secret of the app registration.";
        wrong = secret;
    }
    if (!problem)
        return true;
    wxMessageBox(problem, wxTheApp ? wxTheApp->GetAppDisplayName() : wxString(),
                 wxOK | wxICON_WARNING, this);
    wrong->SetFocus();
    wrong->SelectAll();
    return false;
}
