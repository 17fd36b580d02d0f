#include "dialogs/DeleteCommands.h"

#include <algorithm>

#include <wx/app.h>
#include <wx/msgdlg.h>

#include "dialogs/DlgCancellaGlobale.h"
#include "dialogs/DlgCancellaSingoloUser.h"
#include "forms/ControlIds.h"
#include "run/CutoffDate.h"
#include "run/Plan.h"
#include "run/RunSequencer.h"
#include "settings/Settings.h"
#include "settings/UserList.h"

// A run in progress goes on behind the open form: the modal loop keeps
// dispatching its timers and socket events. The window replaces it only once
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

}  // namespace

bool AskSingleUserRun(wxWindow* parent, bool tokenSignIn, wxDateTime& day, CRunRequest& request) {
    CDlgCancellaSingoloUser dlg(parent, tokenSignIn);
    if (day.IsValid())
        dlg.m_dtBefore = day;
    const int asked = dlg.IsLoaded() ? RunAsked(dlg.ShowModal()) : 0;
    if (!asked)
        return false;
    day = dlg.m_dtBefore;
    request = CRunRequest();
    request.preview = asked == IDC_PREVIEW;
    // Blanks typed after the account or password are never meant; leading ones
    // may be, and stay.
    request.account = TrimRight(dlg.m_strUserAccount);
    request.password = tokenSignIn ? std::string() : TrimRight(dlg.m_strUserPassword);
    request.day = dlg.m_dtBefore;
    return true;
}

bool AskUserListRun(wxWindow* parent, const CUserList& users, wxDateTime& day,
                    CRunRequest& request) {
    CDlgCancellaGlobale dlg(parent, users);
    if (day.IsValid())
        dlg.m_dtBefore = day;
    const int asked = dlg.IsLoaded() ? RunAsked(dlg.ShowModal()) : 0;
    if (!asked)
        return false;
    day = dlg.m_dtBefore;
    request = CRunRequest();
    request.list = true;
    request.preview = asked == IDC_PREVIEW;
    request.day = dlg.m_dtBefore;
    return true;
}

void StartRequestedRun(CRunSequencer& run, const CRunRequest& request) {
    // The list is shown for review only: a list run takes every account.
    const std::string date = FormatCutoffDate(request.day);
    if (request.list)
        run.StartListRun(date, request.preview);
    else
        run.StartSingleRun(request.account, request.password, date, request.preview);
}

std::string PlannedAccounts(const CPlan& plan, const CRunRequest& request, const CUserList& users,
                            const std::string& listPath, CUserList& planned) {
    if (!request.list)
        for (const std::string& account : plan.accounts)
            if (account != request.account)
                return "account " + account + " of the preview is not the one it was made for";
    const std::string missing = PickAccounts(
        plan.accounts, users, request.list ? "" : request.account, request.password, planned);
    return missing.empty()
               ? ""
               : "account " + missing + " of the preview is not in the user list " + listPath;
}
