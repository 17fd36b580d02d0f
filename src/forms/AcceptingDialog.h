// What the three modal forms have in common: the layout comes from an XRC
// template; the accepting button (Set, Delete) and Enter transfer the values
// out of the controls and end the form with OK (Preview: with its id); Escape, Cancel and the close
// box end it with Cancel and transfer nothing.
#pragma once

#include <wx/dialog.h>

class CAcceptingDialog : public wxDialog {
public:
    // False when the template could not be loaded (the reason has been logged);
    // such a form must not be shown.
    bool IsLoaded() const { return m_loaded; }

protected:
    // Builds this dialog from the XRC template name over parent. The dialog
    // takes the template's number as its id.
    CAcceptingDialog(wxWindow* parent, const char* name, int templateId);

    // Handler of the accepting button. It does not look at the outcome of the
    // transfer, and nothing is validated: a failed Validate() would put up a
    // message box.
    void OnBnClickedDelete(wxCommandEvent& event);

    // Binds the accepting button to OnBnClickedDelete.
    void BindAcceptButton(int buttonId);
    // Binds a second accepting button: it transfers the values too and ends
    // the form with its own id.
    void BindAlternativeButton(int buttonId);

private:
    void OnCharHook(wxKeyEvent& event);
    void Accept(int answer = wxID_OK);

    bool m_loaded = false;
};
