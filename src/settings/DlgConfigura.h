// The Configuration form: server address, port, how the connection is
// secured, the trusted certificate, the pause between run steps, how many
// accounts a run has in progress at once, how accounts sign in, and the
// records of a run (the manifest, the folder of the copies). "Forget this
// server" forgets what the program knows of the configured server.
#pragma once

#include <functional>
#include <string>

#include "forms/AcceptingDialog.h"

struct CKnownServers;

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
    // As typed; on OK it is empty or a fingerprint ParseFingerprintText takes.
    std::string m_strFingerprint;
    // The configured server ("host:port") and its pin (normalized, "" none);
    // the known servers, for the pin of another server typed in. While the
    // fingerprint field is not edited it shows the pin of the server the
    // form names.
    std::string m_strServer;
    std::string m_strPin;
    const CKnownServers* m_pKnown = nullptr;
    // Forgets the configured server; false when its file could not be written.
    std::function<bool()> m_forget;
    // The field the form opens on, selected (0: the first field).
    int m_nFocusId = 0;
    // A run goes on behind the form: the form says the values apply from the next.
    bool m_bRunInProgress = false;
    // An AuthMode, as the index of its item, and the OAuth2 values as typed.
    int m_nAuth = 0;
    std::string m_strTokenUrl;
    std::string m_strClientId;
    std::string m_strClientSecret;
    std::string m_strScope;
    std::string m_strCaFile;
    // Google: the key file as typed ("" stands for m_strDefaultGoogleKey,
    // which the field's hint names).
    std::string m_strGoogleKeyFile;
    std::string m_strDefaultGoogleKey;
    // The manifest on or off; the folder of the copies ("" none).
    bool m_bManifest = true;
    std::string m_strArchiveFolder;

    // The fingerprint field was typed in.
    bool FingerprintEdited() const { return m_bFingerprintEdited; }

private:
    bool TransferDataToWindow() override;
    void OnInitDialog(wxInitDialogEvent& event);
    // The address or the port changed: an untouched fingerprint field follows
    // the server.
    void ShowPinOfServer();
    void OnForget(wxCommandEvent& event);
    void OnSecurityChanged(wxCommandEvent& event);
    // The OAuth2 fields take input only while OAuth2 is picked, the key file
    // and the CA file while Google is.
    void EnableSignInFields(int auth);
    void OnBrowseArchive(wxCommandEvent& event);
    void OnSet(wxCommandEvent& event);
    void OnCharHook(wxKeyEvent& event);
    // False, after telling the administrator why, when the port is not one of
    // 1 ... 65535, the accounts at once not one of 1 ... 16, the typed
    // fingerprint is none, a token sign-in is picked with security none,
    // OAuth2 without an https:// token endpoint, a client id or a client
    // secret, or the key file or the copies' folder is not a full path.
    bool CheckValues();

    bool m_bTlsShown = false;  // the mode shown is TLS
    bool m_bFingerprintEdited = false;
};
