// The messages a run recorded for one account, from the run's manifest, in a
// window of its own beside the main window: a list a click on a column title
// sorts, a second click reverses.
#pragma once

#include <string>

class wxWindow;

// The window's name, for finding it again.
inline constexpr const char* kMessagesWindowName = "AccountMessages";

// Shows account's rows of the manifest at path (the others are read past,
// never kept); a manifest that cannot be read whole is said so, with the rows
// read before the fault shown.
void ShowAccountMessages(wxWindow* parent, const std::string& account, const std::string& path);
