#include "dialogs/DeleteCommands.h"

#include "dialogs/CutoffDate.h"
#include "dialogs/DlgCancellaGlobale.h"
#include "dialogs/DlgCancellaSingoloUser.h"
#include "frame/RunSequencer.h"
#include "settings/Settings.h"
#include "settings/UserList.h"

// A run in progress goes on behind the open form: the modal loop keeps
// dispatching its timers and socket events. It is replaced only on OK.

void RunDeleteSingleUserCommand(wxWindow* parent, CRunSequencer& run) {
    CDlgCancellaSingoloUser dlg(parent);
    if (!dlg.IsLoaded() || dlg.ShowModal() != wxID_OK)
        return;
    // Blanks typed after the account or password are never meant; leading ones
    // may be, and stay.
    run.StartSingleRun(TrimRight(dlg.m_strUserAccount), TrimRight(dlg.m_strUserPassword),
                       FormatCutoffDate(dlg.m_dtBefore));
}

void RunDeleteUserListCommand(wxWindow* parent, const CUserList& users, CRunSequencer& run) {
    CDlgCancellaGlobale dlg(parent, users);
    if (!dlg.IsLoaded() || dlg.ShowModal() != wxID_OK)
        return;
    // The list is shown for review only: the run takes every account.
    run.StartListRun(FormatCutoffDate(dlg.m_dtBefore));
}
