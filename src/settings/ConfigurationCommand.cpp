#include "settings/ConfigurationCommand.h"

#include <string>

#include "settings/DlgConfigura.h"
#include "settings/Settings.h"

bool RunConfigurationCommand(wxWindow* parent, CSettings& settings) {
    CDlgConfigura dlg(parent);
    if (!dlg.IsLoaded())
        return false;
    dlg.m_strServerIP = settings.m_strServerIP;
    dlg.m_strPause = std::to_string(settings.m_nPauseMs);
    dlg.m_strPort = settings.m_strPort;
    dlg.m_strParallel = std::to_string(settings.m_nParallel);
    dlg.m_nSecurity = static_cast<int>(settings.m_security);
    const std::string shownFingerprint = GroupFingerprint(settings.m_strTrustedFingerprint);
    dlg.m_strFingerprint = shownFingerprint;
    dlg.m_nAuth = static_cast<int>(settings.m_auth);
    dlg.m_strTokenUrl = settings.m_oauth.m_strTokenUrl;
    dlg.m_strClientId = settings.m_oauth.m_strClientId;
    dlg.m_strClientSecret = settings.m_oauth.m_strClientSecret;
    dlg.m_strScope = settings.m_oauth.m_strScope;
    dlg.m_strCaFile = settings.m_oauth.m_strCaFile;
    if (dlg.ShowModal() != wxID_OK)
        return false;
    // Kept in memory only; the configuration file is written elsewhere.
    ApplyConfiguration(settings, dlg.m_strPause, dlg.m_strServerIP, dlg.m_strPort,
                       dlg.m_strParallel);
    settings.m_security = static_cast<SecurityMode>(dlg.m_nSecurity);
    // A run may have had a certificate trusted while the form was open: only
    // an edited field replaces it.
    if (dlg.m_strFingerprint != shownFingerprint)
        ParseTypedFingerprint(dlg.m_strFingerprint, settings.m_strTrustedFingerprint);
    settings.m_auth = static_cast<AuthMode>(dlg.m_nAuth);
    COAuthSettings& oauth = settings.m_oauth;
    oauth.m_strTokenUrl = TrimRight(dlg.m_strTokenUrl);
    oauth.m_strClientId = TrimRight(dlg.m_strClientId);
    oauth.m_strClientSecret = TrimRight(dlg.m_strClientSecret);
    oauth.m_strScope = TrimRight(dlg.m_strScope);
    oauth.m_strCaFile = TrimRight(dlg.m_strCaFile);
    // What made the OAuth file unusable at load (missing, readable by others)
    // is gone once the window saves: it writes the file anew, for the owner only.
    if (!oauth.IsEmpty())
        settings.m_strOAuthProblem.clear();
    return true;
}
