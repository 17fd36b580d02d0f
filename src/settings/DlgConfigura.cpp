#include "settings/DlgConfigura.h"

#include <utility>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/choice.h>
#include <wx/dirdlg.h>
#include <wx/filename.h>
#include <wx/msgdlg.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/valgen.h>

#include "forms/ControlIds.h"
#include "forms/DisplayText.h"
#include "forms/Validators.h"
#include "platform/SafeAtoi.h"
#include "settings/Settings.h"

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
    FindWindow(IDC_EDIT_GOOGLE_KEY)
        ->SetValidator(CBytesTextValidator(wxFILTER_NONE, &m_strGoogleKeyFile));
    FindWindow(IDC_CHECK_MANIFEST)->SetValidator(wxGenericValidator(&m_bManifest));
    FindWindow(IDC_EDIT_ARCHIVE)
        ->SetValidator(CBytesTextValidator(wxFILTER_NONE, &m_strArchiveFolder));
    Bind(wxEVT_BUTTON, &CDlgConfigura::OnBrowseArchive, this, IDC_BROWSE_ARCHIVE);
    // The values that can be refused: Set and Enter check them first (the
    // char hook, bound after the base class's, is called before it).
    Bind(wxEVT_BUTTON, &CDlgConfigura::OnSet, this, IDC_SET);
    Bind(wxEVT_CHAR_HOOK, &CDlgConfigura::OnCharHook, this);
    Bind(wxEVT_CHOICE, &CDlgConfigura::OnSecurityChanged, this, IDC_COMBO_SECURITY);
    Bind(wxEVT_INIT_DIALOG, &CDlgConfigura::OnInitDialog, this);
    Bind(wxEVT_BUTTON, &CDlgConfigura::OnForget, this, IDC_FORGET);
    // Filling the form changes no value (ChangeValue): only typing counts.
    Bind(
        wxEVT_TEXT, [this](wxCommandEvent&) { m_bFingerprintEdited = true; }, IDC_EDIT_FINGERPRINT);
    for (const int id : {IDC_EDIT_SERVER_IP, IDC_EDIT_PORT})
        Bind(
            wxEVT_TEXT, [this](wxCommandEvent&) { ShowPinOfServer(); }, id);
    Bind(
        wxEVT_CHOICE, [this](wxCommandEvent& event) { EnableSignInFields(event.GetSelection()); },
        IDC_COMBO_AUTH);
}

bool CDlgConfigura::TransferDataToWindow() {
    m_bTlsShown = m_nSecurity == static_cast<int>(SecurityMode::Tls);
    EnableSignInFields(m_nAuth);
    static_cast<wxTextCtrl*>(FindWindow(IDC_EDIT_GOOGLE_KEY))
        ->SetHint("empty: " + BytesToDisplay(m_strDefaultGoogleKey));
    if (auto* note = dynamic_cast<wxStaticText*>(FindWindow(IDC_STATIC_RUN_NOTE)))
        note->SetLabelText(m_bRunInProgress
                               ? "A run is in progress: what is set here applies from the next run."
                               : "");
    return CAcceptingDialog::TransferDataToWindow();
}

void CDlgConfigura::OnInitDialog(wxInitDialogEvent& event) {
    wxDialog::OnInitDialog(event);  // transfers into the controls
    if (wxWindow* field = m_nFocusId ? FindWindow(m_nFocusId) : nullptr) {
        field->SetFocus();
        if (auto* text = dynamic_cast<wxTextCtrl*>(field))
            text->SelectAll();
    }
}

void CDlgConfigura::ShowPinOfServer() {
    if (m_bFingerprintEdited)
        return;
    // The server as Set would store it (see ApplyConfiguration).
    const auto typed = [this](int id) {
        return static_cast<wxTextCtrl*>(FindWindow(id))->GetValue().utf8_string();
    };
    const std::string server = HostPort(TrimRight(typed(IDC_EDIT_SERVER_IP)),
                                        std::to_string(SafeAtoi(typed(IDC_EDIT_PORT))));
    std::string pin;
    if (server == m_strServer)
        pin = m_strPin;
    else if (const CKnownServer* known = m_pKnown ? m_pKnown->Find(server) : nullptr)
        pin = known->fingerprint;
    static_cast<wxTextCtrl*>(FindWindow(IDC_EDIT_FINGERPRINT))->ChangeValue(GroupFingerprint(pin));
}

void CDlgConfigura::OnForget(wxCommandEvent&) {
    const wxString caption = wxTheApp ? wxTheApp->GetAppDisplayName() : wxString();
    const wxString question = wxString::Format(
        "Forget the server %s?\n\nWhether it completed TLS with this program and the "
        "certificate trusted for it are forgotten: the next run meets it as a server never met.",
        BytesToDisplay(m_strServer));
    if (wxMessageBox(question, caption, wxYES_NO | wxNO_DEFAULT | wxICON_QUESTION, this) != wxYES)
        return;
    if (!m_forget || !m_forget()) {
        wxMessageBox(
            "The known-servers file could not be read or written: the server is not "
            "forgotten.",
            caption, wxOK | wxICON_WARNING, this);
        return;
    }
    m_strPin.clear();
    ShowPinOfServer();
}

void CDlgConfigura::EnableSignInFields(int auth) {
    // Disabled, the values stay and are stored: a later switch back finds them.
    const bool oauth2 = auth == static_cast<int>(AuthMode::OAuth2);
    const bool google = auth == static_cast<int>(AuthMode::Google);
    for (const int id :
         {IDC_EDIT_TOKEN_URL, IDC_EDIT_CLIENT_ID, IDC_EDIT_CLIENT_SECRET, IDC_EDIT_SCOPE})
        FindWindow(id)->Enable(oauth2);
    // Google's token endpoint is checked against the same CA file.
    FindWindow(IDC_EDIT_CA_FILE)->Enable(oauth2 || google);
    FindWindow(IDC_EDIT_GOOGLE_KEY)->Enable(google);
}

void CDlgConfigura::OnBrowseArchive(wxCommandEvent&) {
    auto* field = static_cast<wxTextCtrl*>(FindWindow(IDC_EDIT_ARCHIVE));
    wxDirDialog pick(this, "Keep a copy of deleted mail in", field->GetValue());
    if (pick.ShowModal() == wxID_OK)
        field->ChangeValue(pick.GetPath());
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
    ShowPinOfServer();  // ChangeValue sends no event
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
    auto* security = static_cast<wxChoice*>(FindWindow(IDC_COMBO_SECURITY));
    auto* keyFile = static_cast<wxTextCtrl*>(FindWindow(IDC_EDIT_GOOGLE_KEY));
    auto* archive = static_cast<wxTextCtrl*>(FindWindow(IDC_EDIT_ARCHIVE));
    const auto auth =
        static_cast<AuthMode>(static_cast<wxChoice*>(FindWindow(IDC_COMBO_AUTH))->GetSelection());
    const bool oauth2 = auth == AuthMode::OAuth2;
    // Stored as TrimRight leaves them (paths as Trim does), so judged that way.
    const auto typed = [](wxTextCtrl* text) { return TrimRight(text->GetValue().utf8_string()); };
    const auto relative = [](wxTextCtrl* text) {
        const std::string path = Trim(text->GetValue().utf8_string());
        return !path.empty() && !wxFileName(path).IsAbsolute();
    };
    const int number = SafeAtoi(port->GetValue().utf8_string());
    const int atOnce = SafeAtoi(parallel->GetValue().utf8_string());
    std::string fingerprint;
    const char* problem = nullptr;
    wxWindow* wrong = nullptr;
    if (number < 1 || number > 65535) {
        problem = "The port must be a number from 1 to 65535.";  // else it would wrap
        wrong = port;
    } else if (atOnce < 1 || atOnce > kMaxParallel) {
        problem = "Accounts at once must be a number from 1 to 16.";
        wrong = parallel;
    } else if (!ParseFingerprintText(field->GetValue().utf8_string(), fingerprint)) {
        problem =
            "The trusted certificate is not a SHA-256 fingerprint: it takes 64 hex digits, in "
            "pairs separated by colons or not. Empty the field to trust no certificate.";
        wrong = field;
    } else if (TokenSignIn(auth) &&
               security->GetSelection() == static_cast<int>(SecurityMode::None)) {
        problem = "An access token is never sent without TLS: choose auto, starttls or tls.";
        wrong = security;
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
    } else if (auth == AuthMode::Google && relative(keyFile)) {
        problem = "The service account key file must be a full path.";
        wrong = keyFile;
    } else if (relative(archive)) {
        // A run's working folder is no place one would look for the copies.
        problem = "The folder for copies of deleted mail must be a full path.";
        wrong = archive;
    }
    if (!problem)
        return true;
    wxMessageBox(problem, wxTheApp ? wxTheApp->GetAppDisplayName() : wxString(),
                 wxOK | wxICON_WARNING, this);
    wrong->SetFocus();
    if (auto* text = dynamic_cast<wxTextCtrl*>(wrong))
        text->SelectAll();
    return false;
}
