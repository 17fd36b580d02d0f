#include "dialogs/DeleteCommands.h"

#include <wx/app.h>
#include <wx/msgdlg.h>

#include "dialogs/CutoffDate.h"
#include "dialogs/DlgCancellaGlobale.h"
#include "dialogs/DlgCancellaSingoloUser.h"
#include "frame/RunSequencer.h"
#include "settings/Settings.h"
#include "settings/UserList.h"

// A run in progress goes on behind the open form: the modal loop keeps
// dispatching its timers and socket events. It is replaced only on OK, once
// the administrator agreed and it has stopped cleanly.

bool ConfirmStop(wxWindow* parent, const CRunSequencer& run) {
    if (!run.IsRunning())
        return true;
    const wxString text = wxString::Format("A run is in progress (account %d of %d). Stop it?",
                                           run.AccountNumber(), run.AccountCount());
    return wxMessageBox(text, wxTheApp ? wxTheApp->GetAppDisplayName() : wxString(),
                        wxYES_NO | wxICON_QUESTION, parent) == wxYES;
}

void RunDeleteSingleUserCommand(wxWindow* parent, CRunSequencer& run) {
    CDlgCancellaSingoloUser dlg(parent);
    if (!dlg.IsLoaded() || dlg.ShowModal() != wxID_OK)
        return;
    if (!ConfirmStop(parent, run))
        return;
    // Blanks typed after the account or password are never meant; leading ones
    // may be, and stay.
    run.Stop(
        [&run, account = TrimRight(dlg.m_strUserAccount),
         password = TrimRight(dlg.m_strUserPassword),
         date = FormatCutoffDate(dlg.m_dtBefore)] { run.StartSingleRun(account, password, date); });
}

void RunDeleteUserListCommand(wxWindow* parent, const CUserList& users, CRunSequencer& run) {
    CDlgCancellaGlobale dlg(parent, users);
    if (!dlg.IsLoaded() || dlg.ShowModal() != wxID_OK)
        return;
    if (!ConfirmStop(parent, run))
        return;
    // The list is shown for review only: the run takes every account.
    run.Stop([&run, date = FormatCutoffDate(dlg.m_dtBefore)] { run.StartListRun(date); });
}
