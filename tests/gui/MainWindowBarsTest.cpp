// View -> Toolbar and View -> Status Bar, and the toolbar's docking.
#include <gtest/gtest.h>

#include <wx/aui/aui.h>
#include <wx/uiaction.h>

#include "gui/MainWindowTestFixture.h"

using namespace std::chrono_literals;

namespace {

class MainWindowBars : public MainWindowFixture {
protected:
    bool Checked(int id) {
        RunIdleUpdates(*m_frame);
        return m_frame->GetMenuBar()->IsChecked(id);
    }
    wxRect ViewRect() { return m_frame->GetViewWindow()->GetScreenRect(); }
};

TEST_F(MainWindowBars, ViewToolbarHidesAndShowsTheToolbar) {
    CMainFrame& frame = OpenFrame();
    wxAuiToolBar* tb = frame.GetMainToolBar();
    const wxRect before = ViewRect();
    Command(frame, ID_VIEW_TOOLBAR);
    PumpFor(100ms);
    EXPECT_FALSE(frame.IsToolBarShown());
    EXPECT_FALSE(tb->IsShown());
    EXPECT_FALSE(Checked(ID_VIEW_TOOLBAR));
    // The view takes the room.
    EXPECT_LT(ViewRect().GetTop(), before.GetTop());
    EXPECT_EQ(ViewRect().GetBottom(), before.GetBottom());

    Command(frame, ID_VIEW_TOOLBAR);
    PumpFor(100ms);
    EXPECT_TRUE(frame.IsToolBarShown());
    EXPECT_TRUE(tb->IsShown());
    EXPECT_TRUE(Checked(ID_VIEW_TOOLBAR));
    EXPECT_EQ(ViewRect(), before);
}

TEST_F(MainWindowBars, ViewStatusBarHidesAndShowsTheStatusBar) {
    CMainFrame& frame = OpenFrame();
    const wxRect before = ViewRect();
    Command(frame, ID_VIEW_STATUS_BAR);
    PumpFor(100ms);
    EXPECT_FALSE(frame.GetStatusBar()->IsShown());
    EXPECT_FALSE(Checked(ID_VIEW_STATUS_BAR));
    EXPECT_GT(ViewRect().GetBottom(), before.GetBottom());
    EXPECT_EQ(ViewRect().GetTop(), before.GetTop());
    // A hidden status line still takes the run's texts.
    frame.ShowStatus("Login User anna");
    EXPECT_EQ(StatusText(), "Login User anna");

    Command(frame, ID_VIEW_STATUS_BAR);
    PumpFor(100ms);
    EXPECT_TRUE(frame.GetStatusBar()->IsShown());
    EXPECT_TRUE(Checked(ID_VIEW_STATUS_BAR));
    EXPECT_EQ(ViewRect(), before);
}

TEST_F(MainWindowBars, ToolbarFloatsHidesWithTheMenuAndDocksLeft) {
    CMainFrame& frame = OpenFrame();
    wxAuiToolBar* tb = frame.GetMainToolBar();
    wxAuiManager& aui = frame.GetAuiManager();

    aui.GetPane(tb).Float().FloatingPosition(frame.ClientToScreen(wxPoint(300, 300)));
    aui.Update();
    ASSERT_TRUE(PumpUntil([&] { return tb->IsShownOnScreen(); }, 5s));
    // Let the window manager map the new frame before it is hidden again.
    PumpFor(500ms);
    wxWindow* floating = wxGetTopLevelParent(tb);
    EXPECT_NE(floating, &frame);
    EXPECT_NE(dynamic_cast<wxAuiFloatingFrame*>(floating), nullptr);
    // Commands from the floating toolbar still reach the main window.
    EXPECT_EQ(CMainFrame::ForManager(m_manager.get()), &frame);

    Command(frame, ID_VIEW_TOOLBAR);
    PumpFor(100ms);
    EXPECT_FALSE(frame.IsToolBarShown());
    EXPECT_FALSE(floating->IsShown());
    Command(frame, ID_VIEW_TOOLBAR);
    ASSERT_TRUE(PumpUntil([&] { return tb->IsShownOnScreen(); }, 5s));

    aui.GetPane(tb).Left().Dock();
    aui.Update();
    PumpFor(200ms);
    EXPECT_EQ(wxGetTopLevelParent(tb), &frame);
    const wxRect tools = tb->GetScreenRect();
    EXPECT_LE(tools.GetRight(), ViewRect().GetLeft());
    EXPECT_GT(tools.height, tools.width);  // standing upright

    aui.GetPane(tb).Top().Dock();
    aui.Update();
    PumpFor(200ms);
    EXPECT_LE(tb->GetScreenRect().GetBottom(), ViewRect().GetTop());
}

TEST_F(MainWindowBars, DraggingTheGripperFloatsTheToolbar) {
    CMainFrame& frame = OpenFrame();
    wxAuiToolBar* tb = frame.GetMainToolBar();
    // The gripper is the toolbar's left end.
    const wxPoint grip = tb->ClientToScreen(wxPoint(3, tb->GetClientSize().y / 2));
    wxUIActionSimulator sim;
    sim.MouseMove(grip);
    PumpFor(100ms);
    sim.MouseDown();
    PumpFor(100ms);
    for (int step = 1; step <= 10; ++step) {
        sim.MouseMove(grip + wxPoint(30 * step, 30 * step));
        PumpFor(30ms);
    }
    sim.MouseUp();
    EXPECT_TRUE(PumpUntil([&] { return frame.GetAuiManager().GetPane(tb).IsFloating(); }, 5s));
    EXPECT_NE(wxGetTopLevelParent(tb), &frame);
    // The drag is over once the mouse is free again.
    EXPECT_TRUE(PumpUntil([] { return wxWindow::GetCapture() == nullptr; }, 5s));
}

}  // namespace
