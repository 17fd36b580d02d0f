// The two delete commands of the main window: each shows its modal dialog and,
// when it is accepted with Delete or Preview, says what run was asked for. The
// window starts it (after the confirmation a deleting run needs).
#pragma once

#include <string>

#include <wx/datetime.h>

class wxWindow;
class CRunSequencer;
struct CPlan;
struct CUserList;

// A run as the administrator asked for it.
struct CRunRequest {
    bool list = false;
    bool preview = false;
    // A single-user run's account and password, without trailing blanks.
    std::string account;
    std::string password;
    wxDateTime day;  // messages received before it go
};

// True when no run is in progress, or the administrator agrees to stop it.
bool ConfirmStop(wxWindow* parent, const CRunSequencer& run);

// Each shows its form with day in the picker (today when day is not valid)
// and returns true on Delete or Preview, request filled in and day the one
// picked, so that the next form shows it again.
// "Delete mails for a single user". With tokenSignIn (OAuth2) the account
// signs in with the app's token: no password is asked for or passed on.
bool AskSingleUserRun(wxWindow* parent, bool tokenSignIn, wxDateTime& day, CRunRequest& request);
// "Delete mails for users in list": every account of users, whatever rows are selected.
bool AskUserListRun(wxWindow* parent, const CUserList& users, wxDateTime& day,
                    CRunRequest& request);

// Starts request on run.
void StartRequestedRun(CRunSequencer& run, const CRunRequest& request);

// The accounts a run executing plan signs in to, in the plan's order, with
// their passwords: a list preview's from users (listPath names its file), a
// single-user preview's the one request holds. "" or why no run can start.
std::string PlannedAccounts(const CPlan& plan, const CRunRequest& request, const CUserList& users,
                            const std::string& listPath, CUserList& planned);
