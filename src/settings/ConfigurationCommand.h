// The Configuration command: shows the Configuration dialog over parent with
// the current settings and, on Set, stores what was entered (see ApplyConfiguration)
// and returns true.
#pragma once

class wxWindow;
struct CSettings;

bool RunConfigurationCommand(wxWindow* parent, CSettings& settings);
