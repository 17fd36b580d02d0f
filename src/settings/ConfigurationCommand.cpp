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
    return true;
}
