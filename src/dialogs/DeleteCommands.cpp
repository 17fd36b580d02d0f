#include "dialogs/DeleteCommands.h"

#include <wx/app.h>
#include <wx/msgdlg.h>

#include "dialogs/DlgCancellaGlobale.h"
#include "dialogs/DlgCancellaSingoloUser.h"
#include "forms/ControlIds.h"
#include "run/CutoffDate.h"
#include "run/RunSequencer.h"
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

namespace {

// OK (Delete) or Preview: the run the administrator asked for; 0 for none.
int RunAsked(int answer) {
    return answer == wxID_OK || answer == IDC_PREVIEW ? answer : 0;
}

void StartWhenStopped(CRunSequencer& run, std::function<bool()> mayReplace,
                      std::function<void()> start) {
    run.Stop([mayReplace = std::move(mayReplace), start = std::move(start)] {
        if (!mayReplace || mayReplace())
            start();
    });
}

}  // namespace

void RunDeleteSingleUserCommand(wxWindow* parent, CRunSequencer& run, bool tokenSignIn,
                                std::function<bool()> mayReplace) {
    CDlgCancellaSingoloUser dlg(parent, tokenSignIn);
    const int asked = dlg.IsLoaded() ? RunAsked(dlg.ShowModal()) : 0;
    if (!asked || !ConfirmStop(parent, run))
        return;
    // Blanks typed after the account or password are never meant; leading ones
    // may be, and stay.
    StartWhenStopped(run, std::move(mayReplace),
                     [&run, account = TrimRight(dlg.m_strUserAccount),
                      password = tokenSignIn ? std::string() : TrimRight(dlg.m_strUserPassword),
                      date = FormatCutoffDate(dlg.m_dtBefore), preview = asked == IDC_PREVIEW] {
                         run.StartSingleRun(account, password, date, preview);
                     });
}

void RunDeleteUserListCommand(wxWindow* parent, const CUserList& users, CRunSequencer& run,
                              std::function<bool()> mayReplace) {
    CDlgCancellaGlobale dlg(parent, users);
    const int asked = dlg.IsLoaded() ? RunAsked(dlg.ShowModal()) : 0;
    if (!asked || !ConfirmStop(parent, run))
        return;
    // The list is shown for review only: the run takes every account.
    StartWhenStopped(run, std::move(mayReplace),
                     [&run, date = FormatCutoffDate(dlg.m_dtBefore),
                      preview = asked == IDC_PREVIEW] { run.StartListRun(date, preview); });
}
