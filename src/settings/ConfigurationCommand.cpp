#include "settings/ConfigurationCommand.h"

#include <string>

#include <wx/app.h>
#include <wx/msgdlg.h>

#include "forms/ControlIds.h"
#include "forms/DisplayText.h"
#include "platform/DataFolder.h"
#include "settings/DlgConfigura.h"
#include "settings/GoogleKey.h"
#include "settings/Settings.h"

namespace {

// The field that holds line of the configuration file (4 to 10), 0 for none.
int FieldOfLine(int line) {
    switch (line) {
        case 4:
            return IDC_COMBO_SECURITY;
        case 5:
            return IDC_EDIT_FINGERPRINT;
        case 6:
            return IDC_EDIT_PARALLEL;
        case 7:
            return IDC_COMBO_AUTH;
        case 8:
            return IDC_EDIT_GOOGLE_KEY;
        case 9:
            return IDC_CHECK_MANIFEST;
        case 10:
            return IDC_EDIT_ARCHIVE;
        default:
            return 0;
    }
}

}  // namespace

CConfigurationOutcome RunConfigurationCommand(wxWindow* parent, CSettings& settings,
                                              const std::string& folder, bool runInProgress) {
    CConfigurationOutcome outcome;
    CDlgConfigura dlg(parent);
    if (!dlg.IsLoaded())
        return outcome;
    if (const std::string problem = ConfigurationProblem(settings); !problem.empty()) {
        // A token without TLS is the combination of lines 4 and 7: the security mends it.
        const int line = settings.m_strConfigError.empty() ? 4 : settings.m_nConfigErrorLine;
        dlg.m_nFocusId = FieldOfLine(line);
        wxMessageBox(BytesToDisplay("The configuration cannot be used: " + problem + ".\n\n" +
                                    (dlg.m_nFocusId ? "The field to mend is selected."
                                                    : "This form cannot mend it: mend that file "
                                                      "by hand.")),
                     wxTheApp ? wxTheApp->GetAppDisplayName() : wxString(), wxOK | wxICON_WARNING,
                     parent);
    }
    dlg.m_strServerIP = settings.m_strServerIP;
    dlg.m_strPause = std::to_string(settings.m_nPauseMs);
    dlg.m_strPort = settings.m_strPort;
    dlg.m_strParallel = std::to_string(settings.m_nParallel);
    dlg.m_nSecurity = static_cast<int>(settings.m_security);
    dlg.m_pKnown = &settings.m_known;
    dlg.m_strServer = settings.Server();
    dlg.m_strPin = settings.Pin();
    dlg.m_strFingerprint = GroupFingerprint(dlg.m_strPin);
    dlg.m_nAuth = static_cast<int>(settings.m_auth);
    dlg.m_strTokenUrl = settings.m_oauth.m_strTokenUrl;
    dlg.m_strClientId = settings.m_oauth.m_strClientId;
    dlg.m_strClientSecret = settings.m_oauth.m_strClientSecret;
    dlg.m_strScope = settings.m_oauth.m_strScope;
    dlg.m_strCaFile = settings.m_oauth.m_strCaFile;
    // The usual key file shows as the field's hint, not as its value.
    const std::string defaultKey = DataFilePath(folder, kGoogleKeyFileName);
    dlg.m_strDefaultGoogleKey = defaultKey;
    if (settings.m_strGoogleKeyFile != defaultKey)
        dlg.m_strGoogleKeyFile = settings.m_strGoogleKeyFile;
    dlg.m_bManifest = settings.m_bManifest;
    dlg.m_strArchiveFolder = settings.m_strArchiveFolder;
    dlg.m_bRunInProgress = runInProgress;
    dlg.m_forget = [&] {
        // The configured server as a server never met: no TLS remembered, no pin.
        const std::string server = settings.Server();
        if (!ForgetServer(folder, server))
            return false;
        settings.m_known.m_servers.erase(server);
        settings.m_strTrustedFingerprint.clear();
        outcome.forgotten = true;
        return true;
    };
    if (dlg.ShowModal() != wxID_OK)
        return outcome;
    outcome.set = true;
    const std::string before = settings.Server();
    const std::string line5 = settings.m_strTrustedFingerprint;
    // Kept in memory here; the window writes the file.
    ApplyConfiguration(settings, dlg.m_strPause, dlg.m_strServerIP, dlg.m_strPort,
                       dlg.m_strParallel);
    settings.m_security = static_cast<SecurityMode>(dlg.m_nSecurity);
    const std::string server = settings.Server();
    if (dlg.FingerprintEdited()) {
        // The pin typed is the configured server's, as a trusted certificate's is.
        std::string pin;
        ParseFingerprintText(dlg.m_strFingerprint, pin);
        settings.m_strTrustedFingerprint = pin;
        if (!pin.empty() || settings.m_known.Find(server)) {
            settings.m_known.m_servers[server].fingerprint = pin;
            RememberPin(folder, server, pin);
        }
    } else if (server != before) {
        // Line 5 names the configured server's pin, never the old server's: the
        // old one keeps it among the known servers, the new one has its own there.
        const CKnownServer* old = settings.m_known.Find(before);
        if (!line5.empty() && (!old || old->fingerprint.empty())) {
            settings.m_known.m_servers[before].fingerprint = line5;
            RememberPin(folder, before, line5);
        }
        settings.m_strTrustedFingerprint.clear();
    }
    settings.m_auth = static_cast<AuthMode>(dlg.m_nAuth);
    COAuthSettings& oauth = settings.m_oauth;
    oauth.m_strTokenUrl = TrimRight(dlg.m_strTokenUrl);
    oauth.m_strClientId = TrimRight(dlg.m_strClientId);
    oauth.m_strClientSecret = TrimRight(dlg.m_strClientSecret);
    oauth.m_strScope = TrimRight(dlg.m_strScope);
    oauth.m_strCaFile = TrimRight(dlg.m_strCaFile);
    const std::string key = Trim(dlg.m_strGoogleKeyFile);
    settings.m_strGoogleKeyFile = key.empty() ? defaultKey : key;
    settings.m_bManifest = dlg.m_bManifest;
    settings.m_strArchiveFolder = Trim(dlg.m_strArchiveFolder);
    // What made the OAuth file unusable at load (missing, readable by others)
    // is gone once the window saves: it writes the file anew, for the owner only.
    if (!oauth.IsEmpty())
        settings.m_strOAuthProblem.clear();
    return outcome;
}
