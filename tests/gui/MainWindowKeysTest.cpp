// The keyboard and the status line: accelerators (the Edit ones do nothing,
// the document ones work), the lock key indicators, and the prompts shown
// while a menu item or a toolbar button is pointed at.
#include <gtest/gtest.h>

#include <map>

#include <wx/modalhook.h>
#include <wx/msgdlg.h>
#include <wx/timer.h>
#include <wx/weakref.h>

#include <wx/aui/auibar.h>
#include <wx/eventfilter.h>
#include <wx/filedlg.h>
#include <wx/uiaction.h>

#include "app/QuenDravaltView.h"
#include "gui/DialogTestKit.h"
#include "gui/MainWindowTestFixture.h"

using namespace std::chrono_literals;

namespace {

// Counts the menu commands that reach any handler, by id.
class CommandCounter : public wxEventFilter {
public:
    CommandCounter() { wxEvtHandler::AddFilter(this); }
    ~CommandCounter() override { wxEvtHandler::RemoveFilter(this); }
    int FilterEvent(wxEvent& event) override {
        if (event.GetEventType() == wxEVT_MENU)
            ++counts[event.GetId()];
        return Event_Skip;
    }
    std::map<int, int> counts;
};

// Counts modal dialogs and answers them with Cancel.
class DialogCounter : public wxModalDialogHook {
public:
    DialogCounter() { Register(); }
    int shown = 0;

protected:
    int Enter(wxDialog*) override {
        ++shown;
        return wxID_CANCEL;
    }
    void Exit(wxDialog*) override {}
};

// Answers the GTK file dialog the way a user does: types a full path into it
// and presses Enter (again, should GTK ask whether to replace a file). The
// hook cannot stand in for this dialog: GTK's GetPath() is empty unless the
// dialog really ran. GTK's dialog does not count as active for wx, hence the
// fixed delays.
class TypeIntoFileDialog : public wxModalDialogHook {
public:
    explicit TypeIntoFileDialog(std::string path) : m_path(std::move(path)) {
        m_timer.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Tick(); });
        Register();
    }
    int Shown() const { return m_shown; }
    bool TimedOut() const { return m_timedOut; }

protected:
    int Enter(wxDialog* dialog) override {
        if (dialog == m_dialog)  // wxFileDialog announces itself twice
            return wxID_NONE;
        if (m_dialog || !dynamic_cast<wxFileDialog*>(dialog)) {
            ADD_FAILURE() << "unexpected dialog \"" << dialog->GetTitle().ToStdString() << "\"";
            return wxID_CANCEL;
        }
        m_dialog = dialog;
        ++m_shown;
        m_next = Clock::now() + 700ms;
        m_deadline = Clock::now() + 20s;
        m_typed = false;
        m_timer.Start(50);
        return wxID_NONE;
    }
    void Exit(wxDialog* dialog) override {
        if (dialog == m_dialog) {
            m_dialog = nullptr;
            m_timer.Stop();
        }
    }

private:
    using Clock = std::chrono::steady_clock;

    void Tick() {
        if (!m_dialog)
            return;
        if (Clock::now() > m_deadline) {
            m_timedOut = true;
            m_dialog->EndModal(wxID_CANCEL);
            return;
        }
        if (Clock::now() < m_next)
            return;
        wxUIActionSimulator sim;
        if (!m_typed) {
            sim.Text(m_path.c_str());
            m_typed = true;
        } else {
            sim.Char(WXK_RETURN);
        }
        m_next = Clock::now() + 700ms;
    }

    std::string m_path;
    wxTimer m_timer;
    wxDialog* m_dialog = nullptr;
    int m_shown = 0;
    bool m_typed = false;
    bool m_timedOut = false;
    Clock::time_point m_next;
    Clock::time_point m_deadline;
};

class MainWindowKeys : public MainWindowFixture {
protected:
    // A key with modifiers typed into the focused view.
    void Type(int key, int modifiers = wxMOD_NONE) {
        ASSERT_TRUE(WaitForFocus(m_frame->GetViewWindow()));
        wxUIActionSimulator sim;
        EXPECT_TRUE(sim.Char(key, modifiers));
        PumpFor(150ms);
    }

    // Presses and releases a lock key.
    static void Toggle(int key) {
        wxUIActionSimulator sim;
        sim.KeyDown(key);
        sim.KeyUp(key);
    }
};

TEST_F(MainWindowKeys, EditAndPaneKeysDoNothing) {
    CMainFrame& frame = OpenFrame();
    wxDocument* doc = m_manager->GetCurrentDocument();
    CommandCounter commands;
    DialogCounter dialogs;
    const struct {
        int key;
        int modifiers;
    } keys[] = {
        {'z', wxMOD_CONTROL},        {'x', wxMOD_CONTROL},      {'c', wxMOD_CONTROL},
        {'v', wxMOD_CONTROL},        {WXK_BACK, wxMOD_ALT},     {WXK_DELETE, wxMOD_SHIFT},
        {WXK_INSERT, wxMOD_CONTROL}, {WXK_INSERT, wxMOD_SHIFT}, {WXK_F6, wxMOD_NONE},
        {WXK_F6, wxMOD_SHIFT},
    };
    for (const auto& k : keys)
        Type(k.key, k.modifiers);
    for (int id : {int(wxID_UNDO), int(wxID_CUT), int(wxID_COPY), int(wxID_PASTE)})
        EXPECT_EQ(commands.counts[id], 0) << id;
    // The second keys did arrive.
    for (int id : {int(ID_ACCEL_UNDO), int(ID_ACCEL_CUT), int(ID_ACCEL_COPY), int(ID_ACCEL_PASTE)})
        EXPECT_EQ(commands.counts[id], 1) << id;
    // The pane keys arrive, and change nothing.
    EXPECT_EQ(commands.counts[ID_NEXT_PANE], 1);
    EXPECT_EQ(commands.counts[ID_PREV_PANE], 1);
    EXPECT_EQ(dialogs.shown, 0);
    EXPECT_EQ(m_manager->GetCurrentDocument(), doc);
    EXPECT_EQ(wxWindow::FindFocus(), frame.GetViewWindow());
    EXPECT_FALSE(doc->IsModified());
}

TEST_F(MainWindowKeys, CtrlSAsksForANameAndWritesAnEmptyFile) {
    CMainFrame& frame = OpenFrame();
    TempFolder folder;
    wxDocument* doc = m_manager->GetCurrentDocument();
    // Into a new file, then over an existing one under a new document.
    for (const char* name : {"saved.qdv", "existing.qdv"}) {
        SCOPED_TRACE(name);
        const std::string path = folder.File(name);
        if (std::string(name) == "existing.qdv") {
            WriteFileBytes(path, "old contents");
            Type('n', wxMOD_CONTROL);
            doc = m_manager->GetCurrentDocument();
        }
        {
            TypeIntoFileDialog answer(path);
            Type('s', wxMOD_CONTROL);
            EXPECT_TRUE(PumpUntil([&] { return doc->GetFilename() == path; }, 25s));
            EXPECT_EQ(answer.Shown(), 1);
            EXPECT_FALSE(answer.TimedOut());
        }
        ASSERT_TRUE(std::filesystem::exists(path));
        EXPECT_EQ(std::filesystem::file_size(path), 0u);
        EXPECT_FALSE(doc->IsModified());
        EXPECT_EQ(frame.GetTitle(), "QuenDravalt V.1.01 del 20/03/2007");
    }

    // Saved and unchanged: another Ctrl+S has nothing to do and asks nothing.
    DialogCounter dialogs;
    Type('s', wxMOD_CONTROL);
    EXPECT_EQ(dialogs.shown, 0);
}

TEST_F(MainWindowKeys, NewAndOpenNeverAskToSave) {
    CMainFrame& frame = OpenFrame();
    wxWeakRef<wxDocument> first = m_manager->GetCurrentDocument();
    first->Modify(true);  // cannot happen: the document stores nothing
    EXPECT_FALSE(first->IsModified());

    {
        DialogCounter dialogs;
        Type('n', wxMOD_CONTROL);
        EXPECT_EQ(dialogs.shown, 0);
    }
    EXPECT_FALSE(first) << "Ctrl+N kept the old document";
    ASSERT_EQ(m_manager->GetDocuments().GetCount(), 1u);
    wxWeakRef<wxDocument> second = m_manager->GetCurrentDocument();
    // The new view took the old one's place.
    auto* view = dynamic_cast<CQuenDravaltView*>(second->GetFirstView());
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(frame.GetViewWindow(), view->GetListCtrl());
    EXPECT_EQ(frame.GetViewWindow()->GetParent(), &frame);

    TempFolder folder;
    const std::string path = folder.File("other.qdv");
    WriteFileBytes(path, "kept as it is");
    {
        // The file dialog is the only one.
        TypeIntoFileDialog answer(path);
        Type('o', wxMOD_CONTROL);
        EXPECT_TRUE(PumpUntil([&] { return !second; }, 25s));
        EXPECT_EQ(answer.Shown(), 1);
    }
    ASSERT_EQ(m_manager->GetDocuments().GetCount(), 1u);
    EXPECT_EQ(m_manager->GetCurrentDocument()->GetFilename(), path);
    EXPECT_EQ(ReadFileBytes(path), "kept as it is");
    EXPECT_EQ(frame.GetTitle(), "QuenDravalt V.1.01 del 20/03/2007");
    EXPECT_NE(frame.GetViewWindow(), nullptr);
}

TEST_F(MainWindowKeys, AFileThatCannotBeReadKeepsTheOpenDocument) {
    CMainFrame& frame = OpenFrame();
    wxWeakRef<wxDocument> open = m_manager->GetCurrentDocument();
    wxWindow* view = frame.GetViewWindow();
    TempFolder folder;
    const std::string missing = folder.File("gone.qdv");
    wxDocument* result = nullptr;
    wxTEST_DIALOG(result = m_manager->CreateDocument(missing),
                  ExpectForm<wxMessageDialog>([&](wxMessageDialog& box) {
                      EXPECT_EQ(box.GetMessage(), missing + "\nFailed to open document.");
                      EXPECT_EQ(box.GetTitle(), "QuenDravalt");
                      return wxID_OK;
                  }));
    EXPECT_EQ(result, nullptr);
    ASSERT_TRUE(open);
    EXPECT_EQ(m_manager->GetCurrentDocument(), open.get());
    EXPECT_EQ(m_manager->GetDocuments().GetCount(), 1u);
    EXPECT_EQ(frame.GetViewWindow(), view);
}

TEST_F(MainWindowKeys, LockKeyPanesFollowTheKeys) {
    CMainFrame& frame = OpenFrame();
    ASSERT_TRUE(WaitForFocus(frame.GetViewWindow()));
    const struct {
        int key;
        int pane;
        const char* text;
    } locks[] = {{WXK_CAPITAL, 1, "CAP"}, {WXK_NUMLOCK, 2, "NUM"}, {WXK_SCROLL, 3, "SCRL"}};
    for (const auto& lock : locks) {
        SCOPED_TRACE(lock.text);
        RunIdleUpdates(frame);
        const bool wasOn = StatusText(lock.pane) == lock.text;
        EXPECT_TRUE(wasOn || StatusText(lock.pane).empty()) << StatusText(lock.pane);
        for (bool on : {!wasOn, wasOn}) {
            Toggle(lock.key);
            EXPECT_TRUE(
                PumpUntil([&] { return StatusText(lock.pane) == (on ? lock.text : ""); }, 3s))
                << "pane shows \"" << StatusText(lock.pane) << "\"";
        }
    }
}

TEST_F(MainWindowKeys, MenuPromptsShowWhileHighlightedThenReady) {
    CMainFrame& frame = OpenFrame();
    const std::pair<int, const char*> prompts[] = {
        {wxID_EXIT, "Quit the application; prompts to save documents"},
        {wxID_UNDO, "Undo the last action"},
        {wxID_CUT, "Cut the selection and put it on the Clipboard"},
        {wxID_COPY, "Copy the selection and put it on the Clipboard"},
        {wxID_PASTE, "Insert Clipboard contents"},
        {ID_VIEW_TOOLBAR, "Show or hide the toolbar"},
        {ID_VIEW_STATUS_BAR, "Show or hide the status bar"},
        {ID_CONFIGURATION, "Configuration"},
        {ID_DELETE_SINGLE_USER, "Delete mails for single user"},
        {ID_DELETE_USER_LIST, "Delete mails for usres in list"},
        {wxID_ABOUT, "Display program information, version number and copyright"},
    };
    for (const auto& [id, prompt] : prompts) {
        wxMenuEvent highlight(wxEVT_MENU_HIGHLIGHT, id);
        highlight.SetEventObject(&frame);
        frame.GetEventHandler()->ProcessEvent(highlight);
        EXPECT_EQ(StatusText(), prompt);
    }
    wxMenuEvent close(wxEVT_MENU_CLOSE, 0, frame.GetMenuBar()->GetMenu(0));
    close.SetEventObject(&frame);
    frame.GetEventHandler()->ProcessEvent(close);
    EXPECT_EQ(StatusText(), "Ready");

    // And a run's status gives way to "Ready" once a menu closes.
    frame.ShowStatus("Login User anna");
    frame.GetEventHandler()->ProcessEvent(close);
    EXPECT_EQ(StatusText(), "Ready");
}

TEST_F(MainWindowKeys, MenuOpenedWithTheKeyboardShowsItsPrompt) {
    CMainFrame& frame = OpenFrame();
    ASSERT_TRUE(WaitForFocus(frame.GetViewWindow()));
    wxUIActionSimulator sim;
    // Alt+F opens File with "Exit" highlighted.
    sim.Char('f', wxMOD_ALT);
    EXPECT_TRUE(PumpUntil(
        [&] { return StatusText() == "Quit the application; prompts to save documents"; }, 5s))
        << StatusText();
    sim.Char(WXK_ESCAPE);
    PumpFor(100ms);
    sim.Char(WXK_ESCAPE);
    EXPECT_TRUE(PumpUntil([&] { return StatusText() == "Ready"; }, 5s)) << StatusText();
    EXPECT_TRUE(frame.IsShown());
}

TEST_F(MainWindowKeys, ToolbarPromptsShowWhilePointedAt) {
    CMainFrame& frame = OpenFrame();
    wxAuiToolBar* tb = frame.GetMainToolBar();
    wxUIActionSimulator sim;
    const std::pair<int, const char*> prompts[] = {
        {ID_CONFIGURATION, "Configuration"},
        {ID_DELETE_SINGLE_USER, "Delete mails for single user"},
        {ID_DELETE_USER_LIST, "Delete mails for usres in list"},
        {wxID_ABOUT, "Display program information, version number and copyright"},
    };
    for (const auto& [id, prompt] : prompts) {
        const wxRect rect = tb->GetToolRect(id);
        const wxPoint centre = tb->ClientToScreen(rect.GetPosition() + rect.GetSize() / 2);
        sim.MouseMove(centre - wxPoint(1, 1));
        PumpFor(50ms);
        sim.MouseMove(centre);
        EXPECT_TRUE(PumpUntil([&, p = prompt] { return StatusText() == p; }, 3s))
            << prompt << ": " << StatusText();
    }
    // Off the toolbar, into the view.
    sim.MouseMove(frame.GetViewWindow()->GetScreenRect().GetPosition() + wxPoint(100, 100));
    EXPECT_TRUE(PumpUntil([&] { return StatusText() == "Ready"; }, 3s)) << StatusText();
}

}  // namespace
