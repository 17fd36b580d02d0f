// The Configuration form: server address, port, how the connection is
// secured, the trusted certificate, the pause between run steps, how many
// accounts a run has in progress at once and how accounts sign in.
#pragma once

#include <string>

#include "forms/AcceptingDialog.h"

// The trusted certificate as typed: blanks, colons and case do not count, an
// empty field trusts none. Sets fingerprint (see NormalizeFingerprint) and
// returns true, or returns false when typed is no SHA-256 fingerprint.
bool ParseTypedFingerprint(const std::string& typed, std::string& fingerprint);

class CDlgConfigura : public CAcceptingDialog {
public:
    explicit CDlgConfigura(wxWindow* parent);

    // Bytes as the settings hold them; filled in before ShowModal, read after OK.
    std::string m_strServerIP;
    std::string m_strPause;
    std::string m_strPort;
    std::string m_strParallel = "1";
    // A SecurityMode, as the index of its item.
    int m_nSecurity = 0;
    // As typed; on OK it is empty or a fingerprint ParseTypedFingerprint takes.
    std::string m_strFingerprint;
    // An AuthMode, as the index of its item, and the OAuth2 values as typed.
    int m_nAuth = 0;
    std::string m_strTokenUrl;
    std::string m_strClientId;
    std::string m_strClientSecret;
    std::string m_strScope;
    std::string m_strCaFile;

private:
    bool TransferDataToWindow() override;
    void OnSecurityChanged(wxCommandEvent& event);
    // The OAuth2 fields take input only while OAuth2 is picked.
    void EnableOAuthFields(bool oauth2);
    void OnSet(wxCommandEvent& event);
    void OnCharHook(wxKeyEvent& event);
    // False, after telling the administrator why, when the port is not one of
    // 1 ... 65535, the accounts at once not one of 1 ... 16, the typed
    // fingerprint is none, or OAuth2 is picked without an https:// token
    // endpoint, a client id or a client secret.
    bool CheckValues();

    bool m_bTlsShown = false;  // the mode shown is TLS
};
