#include "settings/DlgConfigura.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/choice.h>
#include <wx/msgdlg.h>
#include <wx/textctrl.h>
#include <wx/valgen.h>

#include "dialogs/ControlIds.h"
#include "dialogs/Validators.h"
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
    // Whatever the fields hold is taken as it is (an empty port becomes 0), so
    // there is no wxFILTER_EMPTY; the digit filters only stop keystrokes.
    FindWindow(IDC_EDIT_SERVER_IP)
        ->SetValidator(CBytesTextValidator(wxFILTER_NONE, &m_strServerIP));
    FindWindow(IDC_EDIT_PORT)->SetValidator(CBytesTextValidator(wxFILTER_DIGITS, &m_strPort));
    FindWindow(IDC_EDIT_PAUSE)->SetValidator(CBytesTextValidator(wxFILTER_DIGITS, &m_strPause));
    FindWindow(IDC_COMBO_SECURITY)->SetValidator(wxGenericValidator(&m_nSecurity));
    FindWindow(IDC_EDIT_FINGERPRINT)
        ->SetValidator(CBytesTextValidator(wxFILTER_NONE, &m_strFingerprint));
    // The one value that can be refused: Set and Enter check it first (the
    // char hook, bound after the base class's, is called before it).
    Bind(wxEVT_BUTTON, &CDlgConfigura::OnSet, this, IDC_SET);
    Bind(wxEVT_CHAR_HOOK, &CDlgConfigura::OnCharHook, this);
    Bind(wxEVT_CHOICE, &CDlgConfigura::OnSecurityChanged, this, IDC_COMBO_SECURITY);
}

bool CDlgConfigura::TransferDataToWindow() {
    m_bTlsShown = m_nSecurity == static_cast<int>(SecurityMode::Tls);
    return CAcceptingDialog::TransferDataToWindow();
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
    if (CheckFingerprint())
        OnBnClickedDelete(event);
}

void CDlgConfigura::OnCharHook(wxKeyEvent& event) {
    // Only the Enter the base class would take as Set: a focused button
    // clicks itself, and then OnSet checks.
    const int key = event.GetKeyCode();
    const bool enter = key == WXK_RETURN || key == WXK_NUMPAD_ENTER;
    if (enter && !event.HasAnyModifiers() && !dynamic_cast<wxButton*>(FindFocus()) &&
        !CheckFingerprint())
        return;
    event.Skip();
}

bool CDlgConfigura::CheckFingerprint() {
    auto* field = static_cast<wxTextCtrl*>(FindWindow(IDC_EDIT_FINGERPRINT));
    std::string fingerprint;
    if (ParseTypedFingerprint(field->GetValue().utf8_string(), fingerprint))
        return true;
    wxMessageBox(
        "The trusted certificate is not a SHA-256 fingerprint: it takes 64 hex digits, in pairs "
        "separated by colons or not. Empty the field to trust no certificate.",
        wxTheApp ? wxTheApp->GetAppDisplayName() : wxString(), wxOK | wxICON_WARNING, this);
    field->SetFocus();
    field->SelectAll();
    return false;
}
