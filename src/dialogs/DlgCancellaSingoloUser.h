// "Delete Mails for single user": account, password and cut-off date. An
// account that signs in with the app's token has no password to type.
#pragma once

#include <string>

#include <wx/datetime.h>

#include "forms/AcceptingDialog.h"

// Offered until the administrator types the account to purge.
inline constexpr const char* kDefaultUserAccount = "administrator@example.com";

class CDlgCancellaSingoloUser : public CAcceptingDialog {
public:
    // With tokenSignIn the password field is disabled.
    CDlgCancellaSingoloUser(wxWindow* parent, bool tokenSignIn);

    std::string m_strUserAccount = kDefaultUserAccount;
    std::string m_strUserPassword;
    // Messages dated before this day are deleted. Today unless the command
    // shows the day picked last.
    wxDateTime m_dtBefore = wxDateTime::Now();
};
