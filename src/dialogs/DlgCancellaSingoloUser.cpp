#include "dialogs/DlgCancellaSingoloUser.h"

#include "forms/ControlIds.h"
#include "forms/Validators.h"

CDlgCancellaSingoloUser::CDlgCancellaSingoloUser(wxWindow* parent, bool tokenSignIn)
    : CAcceptingDialog(parent, "IDD_CANCELLA_SINGOLO_USER", IDD_CANCELLA_SINGOLO_USER) {
    if (!IsLoaded())
        return;
    FindWindow(IDC_EDIT_USER_ACCOUNT)
        ->SetValidator(CBytesTextValidator(wxFILTER_NONE, &m_strUserAccount));
    FindWindow(IDC_EDIT_USER_PASSWORD)
        ->SetValidator(CBytesTextValidator(wxFILTER_NONE, &m_strUserPassword));
    FindWindow(IDC_EDIT_USER_PASSWORD)->Enable(!tokenSignIn);
    FindWindow(IDC_DATETIMEPICKER)->SetValidator(CDateValidator(&m_dtBefore));
    BindAcceptButton(IDC_DELETE);
    BindAlternativeButton(IDC_PREVIEW);
}
