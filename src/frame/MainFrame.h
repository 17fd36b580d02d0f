// The main window: menus, the dockable toolbar, the status bar with the lock
// key indicators, the view in between; it hosts the deletion run (timers and
// status line) and keeps the settings, which it saves when it closes.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <wx/aui/aui.h>
#include <wx/docview.h>
#include <wx/timer.h>

#include "imap/ImapSocket.h"
#include "run/RunHost.h"
#include "run/RunSequencer.h"
#include "settings/Settings.h"
#include "settings/UserList.h"

class CTranscript;
class IReportDocument;
struct CReportRow;
class wxAuiToolBar;
class wxGauge;

// Command ids of the program's own; wxWidgets wants them within 0 ... 0x7FFF.
enum : int {
    ID_CONFIGURATION = wxID_HIGHEST + 100,
    ID_DELETE_SINGLE_USER,
    ID_DELETE_USER_LIST,
    ID_VIEW_TOOLBAR,
    ID_VIEW_STATUS_BAR,
    ID_NEXT_PANE,
    ID_PREV_PANE,
    ID_TOOLBAR_MAINFRAME,
    ID_NEXT_FAILED,
    // The second keys of Undo, Cut, Copy and Paste (Alt+Backspace, ...).
    ID_ACCEL_UNDO,
    ID_ACCEL_CUT,
    ID_ACCEL_COPY,
    ID_ACCEL_PASTE,
};

// The status bar's panes.
enum : int {
    PANE_STATUS = 0,
    PANE_PROGRESS,
    PANE_GAUGE,
    PANE_CAPS,
    PANE_NUM,
    PANE_SCROLL,
    PANE_COUNT
};

inline constexpr const char* kMainFrameTitle = "QuenDravalt V.1.01 del 20/03/2007";
inline constexpr const char* kIdleStatus = "Ready";

// Registers the program's id names (ID_CONFIGURATION, ...) with XRC, so that
// the resources and the code agree on the numbers. Called before the menu bar
// is loaded; harmless to call again.
void RegisterCommandIds();

class CMainFrame : public wxDocParentFrame, public IRunHost {
public:
    // transcript: the application's run transcript (outlives the frame);
    // dataFolder: where the settings and the user list are read and saved.
    CMainFrame(wxDocManager* manager, CTranscript& transcript, std::string dataFolder);
    ~CMainFrame() override;

    // The main window working with manager, if one is open.
    static CMainFrame* ForManager(wxDocManager* manager);

    // Shows the window maximised, the view focused.
    void ShowMaximized();

    // IRunHost
    void SetTimer(int id, int elapseMs) override;
    void KillTimer(int id) override;
    void ShowStatus(const std::string& text) override;
    // Asks with the trust form once the current event is handled; a trusted
    // certificate is saved at once.
    void AskTrust(const CTlsPeer& peer, const std::string& server, const std::string& pinned,
                  std::function<void(bool)> answer) override;
    void ServerSpokeTls(const std::string& server) override;
    // The report of the open document follows the run.
    void RunStarted() override;
    void ResultChanged(size_t index) override;
    void RunEnded() override;

    // The report open in the window, if any.
    IReportDocument* Report() const;
    // True when no unsaved report of a deleting run is open, or the
    // administrator saved it or agreed to let it go.
    bool MayReplaceReport();
    // The title names the report (name "": none) and marks it unsaved.
    void ShowReportTitle(const wxString& name, bool modified);
    // Opens row's part of the run's log in a read-only window.
    void ShowAccountLog(const CReportRow& row);

    // The view puts its window in the client area / takes it away again.
    void SetViewWindow(wxWindow* window);
    void RemoveViewWindow(wxWindow* window);

    wxAuiToolBar* GetMainToolBar() const { return m_toolBar; }
    bool IsToolBarShown();

    // Menu and toolbar commands.
    void OnConfiguration(wxCommandEvent& event);
    void OnDeleteSingleUser(wxCommandEvent& event);
    void OnDeleteUserList(wxCommandEvent& event);
    void OnAbout(wxCommandEvent& event);
    // Run timer ticks.
    void OnTimer(wxTimerEvent& event);

    // The window's title is the program's, and the report's (ShowReportTitle).
    void SetTitle(const wxString& title) override;
    void DoGiveHelp(const wxString& text, bool show) override;

    CSettings m_settings;
    CUserList m_users;
    CRunSequencer m_run;

private:
    class ScrollLockWatch;

    void CreateMainToolBar();
    void CreateStatusPanes();
    void UpdateIndicators();
    void OnClose(wxCloseEvent& event);
    bool TryBefore(wxEvent& event) override;
    void UpdateProgress();
    void PlaceGauge();
    void ShowProgressPanes(bool show);
    void OnIdle(wxIdleEvent& event);
    void OnToggleToolBar(wxCommandEvent& event);
    void OnToggleStatusBar(wxCommandEvent& event);
    void OnToolBarMotion(wxMouseEvent& event);
    void OnToolBarLeave(wxMouseEvent& event);

    CTranscript& m_transcript;
    std::string m_dataFolder;
    ConfigLoad m_configLoad = ConfigLoad::Missing;
    // The settings were changed in the window (Configuration form, a trusted certificate).
    bool m_bConfigChanged = false;
    wxAuiManager m_aui;
    wxAuiToolBar* m_toolBar = nullptr;
    wxWindow* m_viewWindow = nullptr;
    wxGauge* m_gauge = nullptr;
    std::chrono::steady_clock::time_point m_runStart;
    // The run's timers by id, made when first armed.
    std::map<int, wxTimer> m_timers;
    int m_toolHelpId = wxID_NONE;
    bool m_scrollLock = false;
    std::unique_ptr<ScrollLockWatch> m_scrollWatch;
};
