// File → "Save manifest as…": a copy of the last run's manifest where the
// administrator picks, for the records or to hand on.
#pragma once

#include <string>

class wxWindow;

// Asks where, then copies manifest there; a failure is said.
void SaveManifestCopy(wxWindow* parent, const std::string& manifest);

// Copies from to to through a new owner-only file beside to, synced, then
// renamed over it: to is either as it was or the whole copy. "" or why not.
std::string CopyFileReplacing(const std::string& from, const std::string& to);
