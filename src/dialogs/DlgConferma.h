// "Delete mail?": the question before every deleting run the window starts,
// naming what the run is about to hit: the server and how it is secured, the
// day, the accounts, the folders and what the rules spare (or the messages of
// the preview's plan). Never asked before a preview.
#pragma once

#include <cstddef>
#include <string>

#include <wx/datetime.h>
#include <wx/dialog.h>

#include "run/Rules.h"

struct CPlan;
struct CSettings;
struct CRunRequest;

// "Monday, 7 December 2026": English whatever the locale, as the run's date.
wxString DayInWords(const wxDateTime& day);

// Ends with wxID_OK on "&Delete" only. Cancel has the first focus and is the
// default button; Enter presses the focused button, else the default one:
// Enter alone never deletes. Escape and the close box cancel.
class CDlgConferma : public wxDialog {
public:
    // listAccounts: the accounts of the user list, for a list run; rules:
    // those the run goes by; plan: the preview's plan the run executes, if any.
    CDlgConferma(wxWindow* parent, const CSettings& settings, const CRunRequest& request,
                 size_t listAccounts, const CRules& rules = CRules(), const CPlan* plan = nullptr);

    // False when the template could not be loaded (the reason has been logged).
    bool IsLoaded() const { return m_bLoaded; }

private:
    void OnCharHook(wxKeyEvent& event);

    bool m_bLoaded = false;
};
