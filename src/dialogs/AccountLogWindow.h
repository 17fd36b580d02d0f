// An account's part of the run's log, in a read-only window of its own that
// stays open beside the main window while a run goes on.
#pragma once

#include <string>

#include <wx/string.h>

class wxWindow;

// The window's name, for finding it again.
inline constexpr const char* kAccountLogWindowName = "AccountLog";

// log: the bytes as the log file holds them (CR LF line ends).
void ShowAccountLog(wxWindow* parent, const wxString& account, const std::string& log);
