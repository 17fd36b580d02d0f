// Forms shown modally are filled in and ended as the user would (a click on
// a button or Enter) by a modal hook, so ShowModal returns at once and
// nothing appears on screen; message boxes are answered and remembered.
#pragma once

#include <functional>
#include <string>
#include <typeinfo>

#include <wx/dialog.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>

// What a form filler returns: the id of the button to click, or this for Enter.
constexpr int kPressEnter = 0;
using Filler = std::function<int(wxDialog&)>;

class FormDriver : public wxModalDialogHook {
public:
    FormDriver() { Register(); }

    Filler fill;
    std::string shown;  // class of the last form opened
    std::string asked;  // text of the last message box, answered with answer
    int answer = wxID_NO;

    static void Press(wxDialog& form, int how) {
        wxKeyEvent enter(wxEVT_CHAR_HOOK);
        enter.m_keyCode = WXK_RETURN;
        wxCommandEvent click(wxEVT_BUTTON, how);
        if (how == kPressEnter)
            form.ProcessWindowEvent(enter);
        else if (wxWindow* button = form.FindWindow(how))
            button->ProcessWindowEvent(click);
    }

protected:
    int Enter(wxDialog* form) override {
        if (auto* box = dynamic_cast<wxMessageDialog*>(form)) {
            asked = box->GetMessage().utf8_string();
            return answer;
        }
        shown = typeid(*form).name();
        form->InitDialog();  // the values go into the controls
        form->SetReturnCode(wxID_CANCEL);
        Press(*form, fill ? fill(*form) : int(wxID_CANCEL));
        return form->GetReturnCode();  // never wxID_NONE: nothing is shown
    }
};

template <class T>
T& Control(wxDialog& form, int id) {
    return *dynamic_cast<T*>(form.FindWindow(id));
}
