// Tools for the modal form tests: wx's dialog expectations reporting to gtest,
// a driver that plays keys into a form really shown with ShowModal(), and
// layout and screenshot helpers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/log.h>
#include <wx/modalhook.h>
#include <wx/stattext.h>
#include <wx/timer.h>
#include <wx/uiaction.h>

#include "dialogs/DlgCancellaGlobale.h"
#include "dialogs/DlgCancellaSingoloUser.h"
#include "settings/DlgConfigura.h"
#include "support/EventPump.h"

#include <wx/testing.h>

// wxTEST_DIALOG's complaints (a form not shown, an unexpected one) become
// test failures whatever the build's assertion level.
class GTestModalHook : public wxTestingModalHook {
public:
    GTestModalHook(const char* file, int line, const char* func)
        : wxTestingModalHook(file, line, func), m_file(file), m_line(line) {}

protected:
    void ReportFailure(const wxString& msg) override {
        ADD_FAILURE_AT(m_file, m_line) << msg.ToStdString();
    }

private:
    const char* m_file;
    int m_line;
};
#undef wxTEST_DIALOG_HOOK_CLASS
#define wxTEST_DIALOG_HOOK_CLASS GTestModalHook

// The expectation of one of the program's forms (wxExpectModal<T> below, or
// on its own): the hook replaces ShowModal() entirely, so act does what the
// user and the modal loop would (InitDialog(), edits, a button) and returns
// the result code.
template <class T>
class ExpectForm : public wxExpectModalBase<T> {
public:
    using Action = std::function<int(T&)>;
    explicit ExpectForm(Action act) : m_act(std::move(act)) {}

protected:
    int OnInvoked(T* dlg) const override { return m_act(*dlg); }

private:
    Action m_act;
};

// wxTEST_DIALOG(code, wxExpectModal<CDlgConfigura>(act)) and so on; declared
// here so that every test file sees the same ones.
template <>
class wxExpectModal<CDlgConfigura> : public ExpectForm<CDlgConfigura> {
public:
    using ExpectForm::ExpectForm;
};
template <>
class wxExpectModal<CDlgCancellaSingoloUser> : public ExpectForm<CDlgCancellaSingoloUser> {
public:
    using ExpectForm::ExpectForm;
};
template <>
class wxExpectModal<CDlgCancellaGlobale> : public ExpectForm<CDlgCancellaGlobale> {
public:
    using ExpectForm::ExpectForm;
};

namespace dialog_test {

// Clicks the button id as the user would: the click event starts at the
// button. The form's return code afterwards (wxID_NONE when it stayed open).
inline int Click(wxDialog& dlg, int id) {
    auto* button = dynamic_cast<wxButton*>(dlg.FindWindow(id));
    if (!button) {
        ADD_FAILURE() << "no button " << id;
        return wxID_NONE;
    }
    dlg.SetReturnCode(wxID_NONE);
    wxCommandEvent click(wxEVT_BUTTON, id);
    click.SetEventObject(button);
    button->GetEventHandler()->ProcessEvent(click);
    return dlg.GetReturnCode();
}

// Collects log messages instead of letting a GUI log target put up a message
// box (a failed transfer logs a warning); restores the previous target.
class LogCapture : public wxLog {
public:
    LogCapture() : m_previous(wxLog::SetActiveTarget(this)) {}
    ~LogCapture() override { wxLog::SetActiveTarget(m_previous); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Warnings and errors, the kind that would have interrupted the user.
    const std::vector<std::string>& Complaints() const { return m_complaints; }

protected:
    void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo&) override {
        if (level <= wxLOG_Warning)
            m_complaints.push_back(msg.ToStdString());
    }

private:
    wxLog* m_previous;
    std::vector<std::string> m_complaints;
};

// Lets the next modal form really run its modal loop and, once it holds the
// keyboard focus, calls step on every tick (20 ms) until step returns true.
// Keys sent with wxUIActionSimulator arrive through the X server like typed
// ones. A watchdog ends the loop with wxID_ABORT after the deadline; a second
// modal dialog on top of the first is refused and reported.
class ModalDriver : public wxModalDialogHook {
public:
    using Step = std::function<bool(wxDialog&)>;

    explicit ModalDriver(Step step, std::chrono::milliseconds deadline = std::chrono::seconds(20))
        : m_step(std::move(step)), m_deadline(deadline), m_ticker(*this) {
        Register();
    }
    ~ModalDriver() override { m_ticker.Stop(); }

    bool TimedOut() const { return m_timedOut; }
    bool StepsDone() const { return m_done; }
    int FormsShown() const { return m_entered; }

    // Time since the form got the focus, for steps that wait a little.
    std::chrono::milliseconds SinceActive() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_activeAt);
    }

protected:
    int Enter(wxDialog* dialog) override {
        if (m_dialog) {
            ADD_FAILURE() << "unexpected modal dialog \"" << dialog->GetTitle().ToStdString()
                          << "\" over \"" << m_dialog->GetTitle().ToStdString() << "\"";
            return wxID_CANCEL;
        }
        m_dialog = dialog;
        ++m_entered;
        m_start = Clock::now();
        m_ticker.Start(20);
        return wxID_NONE;
    }
    void Exit(wxDialog* dialog) override {
        if (dialog == m_dialog) {
            m_ticker.Stop();
            m_dialog = nullptr;
        }
    }

private:
    using Clock = std::chrono::steady_clock;

    class Ticker : public wxTimer {
    public:
        explicit Ticker(ModalDriver& driver) : m_driver(driver) {}
        void Notify() override { m_driver.Tick(); }

    private:
        ModalDriver& m_driver;
    };

    void Tick() {
        if (!m_dialog || m_inStep)
            return;
        if (Clock::now() - m_start > m_deadline) {
            m_timedOut = true;
            m_ticker.Stop();
            if (m_dialog->IsModal())
                m_dialog->EndModal(wxID_ABORT);
            return;
        }
        if (m_done || !m_dialog->IsShown())
            return;
        if (!m_active) {
            // Without a window manager nobody hands the new window the focus.
            if (!m_dialog->IsActive()) {
                if (!m_raised)
                    m_dialog->Raise();
                m_raised = true;
                return;
            }
            m_active = true;
            m_activeAt = Clock::now();
        }
        // An exception must not unwind through GTK's C frames.
        m_inStep = true;
        try {
            m_done = m_step(*m_dialog);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "step failed: " << e.what();
            m_done = true;
            if (m_dialog && m_dialog->IsModal())
                m_dialog->EndModal(wxID_ABORT);
        }
        m_inStep = false;
    }

    Step m_step;
    std::chrono::milliseconds m_deadline;
    Ticker m_ticker;
    wxDialog* m_dialog = nullptr;
    Clock::time_point m_start;
    Clock::time_point m_activeAt;
    int m_entered = 0;
    bool m_raised = false;
    bool m_active = false;
    bool m_inStep = false;
    bool m_done = false;
    bool m_timedOut = false;
};

// One key press and release through the X server.
inline void PressKey(int key) {
    wxUIActionSimulator sim;
    EXPECT_TRUE(sim.Char(key)) << "key " << key << " not sent";
}

// The window's client area position of a child, in dialog units of the form.
inline wxPoint PosDu(wxWindow& form, wxWindow& child) {
    return form.ConvertPixelsToDialog(child.GetPosition());
}

// Where a control sits and how big it is, checked against the template in
// dialog units (a pixel of rounding allowed).
inline void ExpectPlaced(wxWindow& form, int id, wxPoint du, wxSize sizeDu) {
    wxWindow* child = form.FindWindow(id);
    ASSERT_NE(child, nullptr) << "control " << id;
    const wxPoint pos = form.ConvertDialogToPixels(du);
    const wxSize size = form.ConvertDialogToPixels(sizeDu);
    EXPECT_NEAR(child->GetPosition().x, pos.x, 1) << "control " << id;
    EXPECT_NEAR(child->GetPosition().y, pos.y, 1) << "control " << id;
    EXPECT_NEAR(child->GetSize().x, size.x, 1) << "control " << id;
    // Some GTK widgets insist on a minimum height (date picker, buttons).
    EXPECT_GE(child->GetSize().y, size.y - 1) << "control " << id;
    EXPECT_LE(child->GetSize().y, size.y + 6) << "control " << id;
}

// No label is cut off: each static text is as wide as its text needs.
inline void ExpectLabelsFit(wxWindow& form) {
    for (wxWindow* child : form.GetChildren()) {
        if (auto* label = dynamic_cast<wxStaticText*>(child)) {
            EXPECT_LE(label->GetBestSize().x, label->GetSize().x)
                << '"' << label->GetLabel().ToStdString() << "\" is cut off";
        }
    }
}

// The ids of the children that take the focus with Tab, in order.
inline std::vector<int> TabOrder(wxWindow& form) {
    std::vector<int> ids;
    for (wxWindow* child : form.GetChildren())
        if (child->CanAcceptFocusFromKeyboard())
            ids.push_back(child->GetId());
    return ids;
}

// With QD_SCREENSHOT_DIR set, saves what the screen shows of window there as
// name (PNG), through ImageMagick's import: wxScreenDC hands back stale
// pictures under GTK 3. True when saved; nothing is done without the variable.
inline bool SaveScreenshotIfAsked(wxWindow& window, const char* name) {
    const char* dir = std::getenv("QD_SCREENSHOT_DIR");
    if (!dir || !*dir)
        return false;
    const wxRect r = window.GetScreenRect();
    const std::string path = std::string(dir) + "/" + name;
    const std::string command = "import -window root -crop " + std::to_string(r.width) + "x" +
                                std::to_string(r.height) + "+" + std::to_string(r.x) + "+" +
                                std::to_string(r.y) + " +repage '" + path + "'";
    const bool saved = std::system(command.c_str()) == 0;
    EXPECT_TRUE(saved) << command;
    return saved;
}

}  // namespace dialog_test
