#include "settings/DlgConfigura.h"

#include "dialogs/ControlIds.h"
#include "dialogs/Validators.h"

CDlgConfigura::CDlgConfigura(wxWindow* parent)
    : CAcceptingDialog(parent, "IDD_CONFIGURATION", IDD_CONFIGURATION) {
    if (!IsLoaded())
        return;
    // Whatever the fields hold is taken as it is (an empty port becomes 0), so
    // there is no wxFILTER_EMPTY; the digit filters only stop keystrokes.
    FindWindow(IDC_EDIT_SERVER_IP)
        ->SetValidator(CBytesTextValidator(wxFILTER_NONE, &m_strServerIP));
    FindWindow(IDC_EDIT_PORT)->SetValidator(CBytesTextValidator(wxFILTER_DIGITS, &m_strPort));
    FindWindow(IDC_EDIT_PAUSE)->SetValidator(CBytesTextValidator(wxFILTER_DIGITS, &m_strPause));
    BindAcceptButton(IDC_SET);
}
