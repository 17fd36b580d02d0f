#include "dialogs/DeleteCommands.h"

// Placeholder until the run dialogs exist.
void RunDeleteSingleUserCommand(wxWindow*, CRunSequencer&) {}
void RunDeleteUserListCommand(wxWindow*, const CUserList&, CRunSequencer&) {}
