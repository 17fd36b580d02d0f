// The Configuration form: server address, port, how the connection is
// secured, the trusted certificate, the pause between run steps and how many
// accounts a run has in progress at once.
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

private:
    bool TransferDataToWindow() override;
    void OnSecurityChanged(wxCommandEvent& event);
    void OnSet(wxCommandEvent& event);
    void OnCharHook(wxKeyEvent& event);
    // False, after telling the administrator why, when the port is not one of
    // 1 ... 65535, the accounts at once not one of 1 ... 16, or the typed
    // fingerprint is none.
    bool CheckValues();

    bool m_bTlsShown = false;  // the mode shown is TLS
};
