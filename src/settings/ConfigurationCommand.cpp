#include "settings/ConfigurationCommand.h"

#include <string>

#include "settings/DlgConfigura.h"
#include "settings/Settings.h"

void RunConfigurationCommand(wxWindow* parent, CSettings& settings) {
    CDlgConfigura dlg(parent);
    if (!dlg.IsLoaded())
        return;
    dlg.m_strServerIP = settings.m_strServerIP;
    dlg.m_strPause = std::to_string(settings.m_nPauseMs);
    dlg.m_strPort = settings.m_strPort;
    if (dlg.ShowModal() != wxID_OK)
        return;
    // Kept in memory only; the configuration file is written elsewhere.
    ApplyConfiguration(settings, dlg.m_strPause, dlg.m_strServerIP, dlg.m_strPort);
}
