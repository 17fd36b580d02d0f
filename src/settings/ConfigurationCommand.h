// The Configuration command: shows the Configuration dialog over parent with
// the current settings and, on Set, stores what was entered (see ApplyConfiguration).
#pragma once

class wxWindow;
struct CSettings;

void RunConfigurationCommand(wxWindow* parent, CSettings& settings);
