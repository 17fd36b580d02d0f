#include "forms/AcceptingDialog.h"

#include <wx/button.h>
#include <wx/combo.h>
#include <wx/xrc/xmlres.h>

namespace {
// The drop-down (the date picker's calendar) open within window, if any. The
// focus may then be on the picker, its text or the calendar itself.
wxComboCtrl* OpenDropDown(wxWindow* window) {
    if (auto* combo = dynamic_cast<wxComboCtrl*>(window); combo && combo->IsPopupShown())
        return combo;
    for (wxWindow* child : window->GetChildren()) {
        if (wxComboCtrl* combo = OpenDropDown(child))
            return combo;
    }
    return nullptr;
}
}  // namespace

CAcceptingDialog::CAcceptingDialog(wxWindow* parent, const char* name, int templateId) {
    m_loaded = wxXmlResource::Get()->LoadDialog(this, parent, name);
    if (!m_loaded)
        return;
    SetId(templateId);
    // Checked before the static Escape handling of wxDialog.
    Bind(wxEVT_CHAR_HOOK, &CAcceptingDialog::OnCharHook, this);
}

void CAcceptingDialog::BindAcceptButton(int buttonId) {
    Bind(wxEVT_BUTTON, &CAcceptingDialog::OnBnClickedDelete, this, buttonId);
}

void CAcceptingDialog::BindAlternativeButton(int buttonId) {
    Bind(
        wxEVT_BUTTON, [this, buttonId](wxCommandEvent&) { Accept(buttonId); }, buttonId);
}

void CAcceptingDialog::OnBnClickedDelete(wxCommandEvent&) {
    Accept();
}

void CAcceptingDialog::Accept(int answer) {
    TransferDataFromWindow();
    // EndDialog() sets no return code for a form that is not modal.
    SetReturnCode(answer);
    EndDialog(answer);
}

void CAcceptingDialog::OnCharHook(wxKeyEvent& event) {
    const int key = event.GetKeyCode();
    const bool enter = key == WXK_RETURN || key == WXK_NUMPAD_ENTER;
    const bool escape = key == WXK_ESCAPE;
    if (!enter && !escape) {
        event.Skip();
        return;
    }
    wxWindow* focus = FindFocus();
    if (wxComboCtrl* combo = OpenDropDown(this)) {
        // Enter and Escape close an open calendar and nothing else. The GTK
        // calendar never sees keys (its popup has no keyboard focus), and the
        // date clicked there is already in the picker.
        combo->HidePopup(true);
        return;
    }
    // A focused button takes Enter as its own click (Cancel stays Cancel).
    if (escape || event.HasAnyModifiers() || dynamic_cast<wxButton*>(focus)) {
        event.Skip();
        return;
    }
    Accept();
}
