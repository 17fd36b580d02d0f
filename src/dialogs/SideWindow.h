// A window beside the main window that asks nothing: what it shows above a
// Close button; Close, Escape and the title bar's close destroy it.
#pragma once

#include <wx/gdicmn.h>
#include <wx/string.h>

class wxDialog;
class wxWindow;

// A resizable window of size (in DIPs), named name for finding it again.
wxDialog* NewSideWindow(wxWindow* parent, const wxString& title, const wxSize& size,
                        const char* name);
// Lays content out above the Close button and shows window, modeless.
void ShowSideWindow(wxDialog* window, wxWindow* content);
