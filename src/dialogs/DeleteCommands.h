// The two delete commands of the main window: each shows its modal dialog and,
// when it is accepted with Delete or Preview, starts the run. mayReplace is
// asked once a run in progress has stopped, before the new one starts.
#pragma once

#include <functional>

class wxWindow;
class CRunSequencer;
struct CUserList;

// True when no run is in progress, or the administrator agrees to stop it.
bool ConfirmStop(wxWindow* parent, const CRunSequencer& run);

// "Delete mails for a single user". With tokenSignIn (OAuth2) the account
// signs in with the app's token: no password is asked for or passed on.
void RunDeleteSingleUserCommand(wxWindow* parent, CRunSequencer& run, bool tokenSignIn,
                                std::function<bool()> mayReplace = {});
// "Delete mails for users in list": every account of users, whatever rows are selected.
void RunDeleteUserListCommand(wxWindow* parent, const CUserList& users, CRunSequencer& run,
                              std::function<bool()> mayReplace = {});
