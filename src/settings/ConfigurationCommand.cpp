#include "settings/ConfigurationCommand.h"

// Placeholder until the Configuration dialog exists.
void RunConfigurationCommand(wxWindow*, CSettings&) {}
