#include "dialogs/DlgCancellaGlobale.h"

#include <wx/datectrl.h>
#include <wx/listctrl.h>
#include <wx/wupdlock.h>

#include "forms/ControlIds.h"
#include "forms/DisplayText.h"
#include "forms/Validators.h"
#include "settings/UserList.h"

wxString ShowBlanks(const std::string& bytes) {
    wxString text = BytesToDisplay(bytes);
    const wxUniChar dot(0xB7);
    for (size_t i = 0; i < text.length() && text[i] == ' '; ++i)
        text[i] = dot;
    for (size_t i = text.length(); i > 0 && text[i - 1] == ' '; --i)
        text[i - 1] = dot;
    return text;
}

CDlgCancellaGlobale::CDlgCancellaGlobale(wxWindow* parent, const CUserList& users)
    : CAcceptingDialog(parent, "IDD_CANCELLA_GLOBALE", IDD_CANCELLA_GLOBALE), m_users(users) {
    m_columns.Add("Account", 150);
    m_columns.Add("Password", 120);
    if (!IsLoaded())
        return;
    m_listUsers = dynamic_cast<wxListCtrl*>(FindWindow(IDC_LIST_USERS));
    FindWindow(IDC_DATETIMEPICKER)->SetValidator(CDateValidator(&m_dtBefore));
    BindAcceptButton(IDC_DELETE);
    BindAlternativeButton(IDC_PREVIEW);
    Bind(wxEVT_INIT_DIALOG, &CDlgCancellaGlobale::OnInitDialog, this);
}

void CDlgCancellaGlobale::OnInitDialog(wxInitDialogEvent& event) {
    wxDialog::OnInitDialog(event);  // transfers into the controls
    if (m_listUsers) {
        SetupColumns(*m_listUsers);
        FillUserRows();
    }
    if (wxWindow* picker = FindWindow(IDC_DATETIMEPICKER))
        picker->SetFocus();
}

void CDlgCancellaGlobale::SetupColumns(wxListCtrl& list) {
    // A report row is always selected whole; what is left is to switch off
    // everything else that could have been set.
    list.SetSingleStyle(wxLC_HRULES, false);
    list.SetSingleStyle(wxLC_VRULES, false);
    if (list.HasCheckBoxes())
        list.EnableCheckBoxes(false);
    list.DeleteAllColumns();
    for (size_t i = 0; i < m_columns.Count(); ++i) {
        const std::string_view title = m_columns.Title(i);
        list.InsertColumn(static_cast<long>(i), BytesToDisplay(title), wxLIST_FORMAT_LEFT,
                          m_columns.Width(i));
    }
}

void CDlgCancellaGlobale::FillUserRows() {
    if (!m_listUsers)
        return;
    wxWindowUpdateLocker noFlicker(m_listUsers);
    m_listUsers->DeleteAllItems();
    const auto& accounts = m_users.m_arrAccounts;
    const auto& passwords = m_users.m_arrPasswords;
    const bool passwordColumn = m_listUsers->GetColumnCount() > 1;
    for (size_t i = 0; i < accounts.size(); ++i) {
        const long row = m_listUsers->InsertItem(static_cast<long>(i), ShowBlanks(accounts[i]));
        if (passwordColumn && i < passwords.size())
            m_listUsers->SetItem(row, 1, ShowBlanks(passwords[i]));
    }
}
