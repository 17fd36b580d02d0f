// The Configuration command: shows the Configuration dialog over parent with
// the current settings and, on Set, stores what was entered (see
// ApplyConfiguration). While the settings cannot be used the administrator is
// told why first, and the form opens on the field to mend.
#pragma once

#include <string>

class wxWindow;
struct CSettings;

struct CConfigurationOutcome {
    bool set = false;        // Set stored the form's values
    bool forgotten = false;  // "Forget this server" forgot the configured server
};

// folder: the data folder, whose known-servers file takes the pins typed and
// forgets a server. runInProgress: the form says that what is set applies
// from the next run.
CConfigurationOutcome RunConfigurationCommand(wxWindow* parent, CSettings& settings,
                                              const std::string& folder, bool runInProgress);
