// The main window as it opens: caption, menus, toolbar, status bar, view,
// icon; and the About box.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include <wx/aui/auibar.h>
#include <wx/button.h>
#include <wx/display.h>
#include <wx/listctrl.h>
#include <wx/menu.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/xrc/xmlres.h>

#include "app/AboutDlg.h"
#include "gui/DialogTestKit.h"
#include "gui/MainWindowTestFixture.h"

namespace {

using MainWindowLayout = MainWindowFixture;

struct ItemDef {
    int id;  // wxID_SEPARATOR for a separator
    const char* label;
    const char* help;
    bool checkable;
};

struct MenuDef {
    const char* title;
    std::vector<ItemDef> items;
};

const std::vector<MenuDef>& ExpectedMenus() {
    static const std::vector<MenuDef> menus = {
        {"&File", {{wxID_EXIT, "E&xit", "Quit the application; prompts to save documents", false}}},
        {"&Edit",
         {{wxID_UNDO, "&Undo\tCtrl+Z", "Undo the last action", false},
          {wxID_SEPARATOR, "", "", false},
          {wxID_CUT, "Cu&t\tCtrl+X", "Cut the selection and put it on the Clipboard", false},
          {wxID_COPY, "&Copy\tCtrl+C", "Copy the selection and put it on the Clipboard", false},
          {wxID_PASTE, "&Paste\tCtrl+V", "Insert Clipboard contents", false}}},
        {"&View",
         {{ID_VIEW_TOOLBAR, "&Toolbar", "Show or hide the toolbar", true},
          {ID_VIEW_STATUS_BAR, "&Status Bar", "Show or hide the status bar", true}}},
        {"Manage",
         {{ID_CONFIGURATION, "Configuration", "Configuration", false},
          {wxID_SEPARATOR, "", "", false},
          {ID_DELETE_SINGLE_USER, "Delete mails for a single user", "Delete mails for single user",
           false},
          {ID_DELETE_USER_LIST, "Delete mails for users in list", "Delete mails for usres in list",
           false}}},
        {"&Help",
         {{wxID_ABOUT, "&About QuenDravalt...",
           "Display program information, version number and copyright", false}}},
    };
    return menus;
}

TEST_F(MainWindowLayout, CaptionIsFixedAndWindowMaximised) {
    CMainFrame& frame = OpenFrame();
    EXPECT_EQ(frame.GetTitle(), "QuenDravalt V.1.01 del 20/03/2007");
    EXPECT_TRUE(frame.IsShown());
    ASSERT_TRUE(m_wm->Running());
    EXPECT_TRUE(frame.IsMaximized());
    EXPECT_TRUE(PumpUntil(
        [&] { return CoversScreen(frame.GetScreenRect(), wxDisplay(&frame).GetClientArea()); },
        std::chrono::seconds(5)))
        << "frame " << frame.GetScreenRect().x << "," << frame.GetScreenRect().y << " "
        << frame.GetScreenRect().width << "x" << frame.GetScreenRect().height << " area "
        << wxDisplay(&frame).GetClientArea().x << "," << wxDisplay(&frame).GetClientArea().y << " "
        << wxDisplay(&frame).GetClientArea().width << "x"
        << wxDisplay(&frame).GetClientArea().height;
    // A document name never gets appended, whoever sets the title.
    frame.SetTitle("Untitled1 - QuenDravalt");
    EXPECT_EQ(frame.GetTitle(), "QuenDravalt V.1.01 del 20/03/2007");
    frame.SetLabel("unnamed1");
    EXPECT_EQ(frame.GetTitle(), "QuenDravalt V.1.01 del 20/03/2007");
}

TEST_F(MainWindowLayout, MenusHoldTheirItemsWithLabelsAndPrompts) {
    CMainFrame& frame = OpenFrame();
    wxMenuBar* bar = frame.GetMenuBar();
    ASSERT_NE(bar, nullptr);
    const auto& menus = ExpectedMenus();
    ASSERT_EQ(bar->GetMenuCount(), menus.size());
    for (size_t m = 0; m < menus.size(); ++m) {
        SCOPED_TRACE(menus[m].title);
        EXPECT_EQ(bar->GetMenuLabel(m), menus[m].title);
        wxMenu* menu = bar->GetMenu(m);
        ASSERT_EQ(menu->GetMenuItemCount(), menus[m].items.size());
        for (size_t i = 0; i < menus[m].items.size(); ++i) {
            const ItemDef& want = menus[m].items[i];
            const wxMenuItem* item = menu->FindItemByPosition(i);
            if (want.id == wxID_SEPARATOR) {
                EXPECT_TRUE(item->IsSeparator()) << "position " << i;
                continue;
            }
            SCOPED_TRACE(want.label);
            EXPECT_EQ(item->GetId(), want.id);
            EXPECT_EQ(item->GetItemLabel(), want.label);
            EXPECT_EQ(item->GetHelp(), want.help);
            EXPECT_EQ(item->IsCheckable(), want.checkable);
        }
    }
}

TEST_F(MainWindowLayout, OwnCommandIdsAreValidAndAgreeWithTheResources) {
    std::set<int> seen;
    for (auto [name, id] : {std::pair{"ID_CONFIGURATION", int(ID_CONFIGURATION)},
                            {"ID_DELETE_SINGLE_USER", int(ID_DELETE_SINGLE_USER)},
                            {"ID_DELETE_USER_LIST", int(ID_DELETE_USER_LIST)},
                            {"ID_VIEW_TOOLBAR", int(ID_VIEW_TOOLBAR)},
                            {"ID_VIEW_STATUS_BAR", int(ID_VIEW_STATUS_BAR)}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(wxXmlResource::GetXRCID(name), id);
        EXPECT_GT(id, wxID_HIGHEST);
        EXPECT_LT(id, 0x7FFF);
        EXPECT_TRUE(seen.insert(id).second);
    }
}

TEST_F(MainWindowLayout, EditItemsDisabledEverythingElseEnabled) {
    CMainFrame& frame = OpenFrame();
    RunIdleUpdates(frame);
    wxMenuBar* bar = frame.GetMenuBar();
    for (int id : {int(wxID_UNDO), int(wxID_CUT), int(wxID_COPY), int(wxID_PASTE)})
        EXPECT_FALSE(bar->IsEnabled(id)) << id;
    for (int id :
         {int(wxID_EXIT), int(ID_VIEW_TOOLBAR), int(ID_VIEW_STATUS_BAR), int(ID_CONFIGURATION),
          int(ID_DELETE_SINGLE_USER), int(ID_DELETE_USER_LIST), int(wxID_ABOUT)})
        EXPECT_TRUE(bar->IsEnabled(id)) << id;
    EXPECT_TRUE(bar->IsChecked(ID_VIEW_TOOLBAR));
    EXPECT_TRUE(bar->IsChecked(ID_VIEW_STATUS_BAR));
}

TEST_F(MainWindowLayout, ToolbarHasFourButtonsInOrderWithTipsAndPrompts) {
    CMainFrame& frame = OpenFrame();
    wxAuiToolBar* tb = frame.GetMainToolBar();
    ASSERT_NE(tb, nullptr);
    struct {
        int id;
        const char* tip;
        const char* prompt;
    } const want[] = {
        {ID_CONFIGURATION, "Configure mail server", "Configuration"},
        {ID_DELETE_SINGLE_USER, "Delete mails for single user", "Delete mails for single user"},
        {ID_DELETE_USER_LIST, "Delete mails for usres in list", "Delete mails for usres in list"},
        {wxID_ABOUT, "About", "Display program information, version number and copyright"},
    };
    ASSERT_EQ(tb->GetToolCount(), std::size(want));  // no separators either
    std::vector<wxImage> images;
    for (size_t i = 0; i < std::size(want); ++i) {
        SCOPED_TRACE(want[i].tip);
        wxAuiToolBarItem* tool = tb->FindToolByIndex(static_cast<int>(i));
        ASSERT_NE(tool, nullptr);
        EXPECT_EQ(tool->GetId(), want[i].id);
        EXPECT_EQ(tool->GetKind(), wxITEM_NORMAL);
        EXPECT_EQ(tb->GetToolShortHelp(want[i].id), want[i].tip);
        EXPECT_EQ(tb->GetToolLongHelp(want[i].id), want[i].prompt);
        EXPECT_TRUE(tb->GetToolEnabled(want[i].id));
        const wxBitmap bitmap = tool->GetBitmapFor(tb);
        ASSERT_TRUE(bitmap.IsOk());
        EXPECT_EQ(bitmap.GetWidth(), 16);
        EXPECT_EQ(bitmap.GetHeight(), 15);
        images.push_back(bitmap.ConvertToImage());
    }
    // Four different pictures, none of them empty.
    for (size_t i = 0; i < images.size(); ++i) {
        std::set<unsigned long> colours;
        for (int y = 0; y < 15; ++y)
            for (int x = 0; x < 16; ++x)
                if (!images[i].HasAlpha() || images[i].GetAlpha(x, y) > 0)
                    colours.insert((images[i].GetRed(x, y) << 16) |
                                   (images[i].GetGreen(x, y) << 8) | images[i].GetBlue(x, y));
        EXPECT_GE(colours.size(), 2u) << "button " << i;
        for (size_t j = 0; j < i; ++j)
            EXPECT_NE(0, memcmp(images[i].GetData(), images[j].GetData(), 16 * 15 * 3))
                << i << " and " << j;
    }
}

TEST_F(MainWindowLayout, ToolbarImagesComeFromOneSixteenColourStrip) {
    const wxBitmap strip = wxXmlResource::Get()->LoadBitmap("IDR_MAINFRAME_TOOLBAR");
    ASSERT_TRUE(strip.IsOk());
    EXPECT_EQ(strip.GetWidth(), 64);
    EXPECT_EQ(strip.GetHeight(), 15);
    const wxImage image = strip.ConvertToImage();
    std::set<unsigned long> colours;
    for (int y = 0; y < image.GetHeight(); ++y)
        for (int x = 0; x < image.GetWidth(); ++x)
            colours.insert((image.GetRed(x, y) << 16) | (image.GetGreen(x, y) << 8) |
                           image.GetBlue(x, y));
    EXPECT_LE(colours.size(), 16u);
    // The background is see-through.
    EXPECT_TRUE(image.HasAlpha() || image.HasMask());
}

TEST_F(MainWindowLayout, ToolbarIsADockableTopPaneWithAGripper) {
    CMainFrame& frame = OpenFrame();
    wxAuiToolBar* tb = frame.GetMainToolBar();
    const wxAuiPaneInfo& pane = frame.GetAuiManager().GetPane(tb);
    ASSERT_TRUE(pane.IsOk());
    EXPECT_TRUE(pane.IsToolbar());
    EXPECT_TRUE(pane.IsDocked());
    EXPECT_EQ(pane.dock_direction, wxAUI_DOCK_TOP);
    EXPECT_TRUE(pane.IsFloatable());
    EXPECT_TRUE(pane.IsTopDockable());
    EXPECT_TRUE(pane.IsLeftDockable());
    EXPECT_FALSE(pane.IsRightDockable());
    EXPECT_FALSE(pane.IsBottomDockable());
    EXPECT_TRUE(tb->GetGripperVisible());
}

TEST_F(MainWindowLayout, StatusBarHasTextPaneAndLockIndicators) {
    CMainFrame& frame = OpenFrame();
    RunIdleUpdates(frame);
    wxStatusBar* bar = frame.GetStatusBar();
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(bar->GetFieldsCount(), 4);
    EXPECT_EQ(bar->GetStatusText(0), "Ready");
    EXPECT_EQ(bar->GetStatusWidth(0), -1);  // takes the room left
    const char* names[] = {"", "CAP", "NUM", "SCRL"};
    for (int pane = 1; pane < 4; ++pane) {
        SCOPED_TRACE(names[pane]);
        EXPECT_GT(bar->GetStatusWidth(pane), bar->GetTextExtent(names[pane]).x);
        EXPECT_EQ(bar->GetStatusStyle(pane), wxSB_SUNKEN);
    }
    EXPECT_EQ(bar->GetStatusText(1), wxGetKeyState(WXK_CAPITAL) ? "CAP" : "");
    EXPECT_EQ(bar->GetStatusText(2), wxGetKeyState(WXK_NUMLOCK) ? "NUM" : "");
    EXPECT_EQ(bar->GetStatusText(3), frame.IsScrollLockOn() ? "SCRL" : "");
}

TEST_F(MainWindowLayout, ViewIsAnEmptyBorderedListFillingTheClientArea) {
    CMainFrame& frame = OpenFrame();
    auto* list = dynamic_cast<wxListCtrl*>(frame.GetViewWindow());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->GetParent(), &frame);
    EXPECT_FALSE(list->InReportView());
    EXPECT_TRUE(list->HasFlag(wxLC_ICON));
    EXPECT_NE(list->GetBorder(), wxBORDER_NONE);
    EXPECT_EQ(list->GetItemCount(), 0);
    EXPECT_EQ(wxWindow::FindFocus(), list);

    const wxRect view = list->GetScreenRect();
    const wxRect tools = frame.GetMainToolBar()->GetScreenRect();
    const wxRect status = frame.GetStatusBar()->GetScreenRect();
    const wxRect client(frame.ClientToScreen(wxPoint(0, 0)), frame.GetClientSize());
    EXPECT_GE(view.GetTop(), tools.GetBottom());
    EXPECT_LE(view.GetTop(), tools.GetBottom() + 4);
    EXPECT_LT(view.GetBottom(), status.GetTop());
    EXPECT_GE(view.GetBottom(), status.GetTop() - 4);
    EXPECT_EQ(view.GetLeft(), client.GetLeft());
    EXPECT_EQ(view.GetWidth(), client.GetWidth());
}

TEST_F(MainWindowLayout, WindowIconComesIn16_32And48Pixels) {
    CMainFrame& frame = OpenFrame();
    const wxIconBundle& icons = frame.GetIcons();
    ASSERT_EQ(icons.GetIconCount(), 3u);
    for (int size : {16, 32, 48}) {
        const wxIcon icon = icons.GetIconOfExactSize(size);
        EXPECT_TRUE(icon.IsOk()) << size;
    }
}

// ----------------------------------------------------------------- About box

using AboutBox = MainWindowFixture;

TEST_F(AboutBox, TemplateInDialogUnits) {
    CMainFrame& frame = OpenFrame();
    CAboutDlg dlg(&frame);
    EXPECT_EQ(dlg.GetId(), 100);
    EXPECT_EQ(dlg.GetTitle(), "About QuenDravalt");
    const wxSize client = dlg.ConvertPixelsToDialog(dlg.GetClientSize());
    EXPECT_NEAR(client.x, 235, 1);
    EXPECT_NEAR(client.y, 55, 1);

    const int icon = XRCID("IDC_ABOUT_ICON");
    const int version = XRCID("IDC_ABOUT_VERSION");
    const int copyright = XRCID("IDC_ABOUT_COPYRIGHT");
    dialog_test::ExpectPlaced(dlg, icon, {11, 17}, {20, 20});
    dialog_test::ExpectPlaced(dlg, version, {40, 10}, {119, 8});
    dialog_test::ExpectPlaced(dlg, copyright, {40, 25}, {188, 8});
    dialog_test::ExpectPlaced(dlg, wxID_OK, {178, 7}, {50, 16});

    auto* bitmap = dynamic_cast<wxStaticBitmap*>(dlg.FindWindow(icon));
    ASSERT_NE(bitmap, nullptr);
    EXPECT_TRUE(bitmap->GetBitmap().IsOk());
    EXPECT_EQ(dlg.FindWindow(version)->GetLabel(), "QuenDravalt Version 1.01");
    EXPECT_TRUE(dlg.FindWindow(copyright)->GetLabel().StartsWith("Copyright"));
    auto* ok = dynamic_cast<wxButton*>(dlg.FindWindow(wxID_OK));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->GetLabel(), "OK");
    EXPECT_EQ(dlg.GetDefaultItem(), ok);
    // The OK button is the only button.
    int buttons = 0;
    for (wxWindow* child : dlg.GetChildren())
        buttons += dynamic_cast<wxButton*>(child) ? 1 : 0;
    EXPECT_EQ(buttons, 1);
}

TEST_F(AboutBox, OkEnterEscapeAndCloseBoxDismissIt) {
    CMainFrame& frame = OpenFrame();
    struct Way {
        const char* name;
        std::function<void(wxDialog&)> act;
    };
    const Way ways[] = {
        {"OK button", [](wxDialog& d) { dialog_test::Click(d, wxID_OK); }},
        {"Enter", [](wxDialog&) { dialog_test::PressKey(WXK_RETURN); }},
        {"Escape", [](wxDialog&) { dialog_test::PressKey(WXK_ESCAPE); }},
        {"close box", [](wxDialog& d) { d.Close(); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        CAboutDlg dlg(&frame);
        dialog_test::ModalDriver driver([&](wxDialog& d) {
            way.act(d);
            return true;
        });
        const int rc = dlg.ShowModal();
        EXPECT_FALSE(driver.TimedOut());
        EXPECT_EQ(driver.FormsShown(), 1);
        EXPECT_EQ(rc, wxID_OK);
        EXPECT_FALSE(dlg.IsShown());
    }
}

TEST_F(AboutBox, HelpAboutShowsIt) {
    CMainFrame& frame = OpenFrame();
    int shown = 0;
    wxTEST_DIALOG(
        {
            wxCommandEvent about(wxEVT_MENU, wxID_ABOUT);
            frame.GetEventHandler()->ProcessEvent(about);
        },
        ExpectForm<CAboutDlg>([&](CAboutDlg& dlg) {
            ++shown;
            EXPECT_EQ(dlg.GetParent(), &frame);
            return wxID_OK;
        }));
    EXPECT_EQ(shown, 1);
}

}  // namespace
