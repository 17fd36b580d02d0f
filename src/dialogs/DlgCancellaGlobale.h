// "Delete Mails for Users in list": the cut-off date, and the accounts of the
// user list for the administrator to look over before the run.
#pragma once

#include <wx/datetime.h>

#include "forms/AcceptingDialog.h"
#include "forms/ColumnTable.h"

class wxListCtrl;
struct CUserList;

// bytes as the list shows them: blanks at either end, which are sent as they
// stand, become visible dots.
wxString ShowBlanks(const std::string& bytes);

class CDlgCancellaGlobale : public CAcceptingDialog {
public:
    // users must outlive the form.
    CDlgCancellaGlobale(wxWindow* parent, const CUserList& users);

    // Report style with exactly full-row selection (no rules, no check boxes)
    // and the columns of m_columns.
    void SetupColumns(wxListCtrl& list);
    // One row per account, in file order: account, password.
    void FillUserRows();

    const CUserList& m_users;
    CColumnTable m_columns;
    wxDateTime m_dtBefore = wxDateTime::Now();
    wxListCtrl* m_listUsers = nullptr;

private:
    void OnInitDialog(wxInitDialogEvent& event);
};
