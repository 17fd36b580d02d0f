// The main window: menus, the dockable toolbar, the status bar with the lock
// key indicators, the view in between; it hosts the deletion run (timers and
// status line) and keeps the settings, which it saves when it closes.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <wx/aui/aui.h>
#include <wx/docview.h>
#include <wx/timer.h>

#include "dialogs/DeleteCommands.h"
#include "imap/ImapSocket.h"
#include "platform/RunLock.h"
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
    ID_STOP_RUN,
    ID_DELETE_PREVIEWED,
    ID_SAVE_MANIFEST,
    ID_RULES,
    ID_SHOW_MESSAGES,
    ID_SHOW_LOG,
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
    // The report of the open document follows the run; the run lock is
    // released when it ends.
    void RunStarted() override;
    void ResultChanged(size_t index) override;
    void RunEnded() override;

    // The report open in the window, if any.
    IReportDocument* Report() const;
    // True when no unsaved report of a deleting run is open, or the
    // administrator saved it or agreed to let it go.
    bool MayReplaceReport();
    // The title names the report (name "": none), marks it unsaved, and says
    // when it is a preview's.
    void ShowReportTitle(const wxString& name, bool modified, bool preview = false);
    // Opens row's part of the run's log in a read-only window.
    void ShowAccountLog(const CReportRow& row);
    // The report shown is the last run's, which recorded its messages.
    bool MessagesAvailable() const;
    // Opens the messages the run recorded for row's account.
    void ShowMessages(const CReportRow& row);
    // A double-click: the row's messages when they were recorded, else its log.
    void OpenRow(const CReportRow& row);

    // The view puts its window in the client area / takes it away again.
    void SetViewWindow(wxWindow* window);
    void RemoveViewWindow(wxWindow* window);

    wxAuiToolBar* GetMainToolBar() const { return m_toolBar; }
    bool IsToolBarShown();

    // Menu and toolbar commands.
    void OnConfiguration(wxCommandEvent& event);
    void OnDeleteSingleUser(wxCommandEvent& event);
    void OnDeleteUserList(wxCommandEvent& event);
    // "Delete what the preview found": exactly the messages of the preview's
    // manifest; without one, the preview's run for real.
    void OnDeletePreviewed(wxCommandEvent& event);
    // File → "Save manifest as…": a copy of the last run's manifest.
    void OnSaveManifest(wxCommandEvent& event);
    // Manage → "Rules…".
    void OnRules(wxCommandEvent& event);
    void OnStopRun(wxCommandEvent& event);
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
    struct PlannedRun;

    // "" when a run may start now; else why not: a configuration problem or
    // a data file others may change. The warnings of the files' check are
    // kept for the run's log.
    std::string RunRefusal(bool list);
    // Refuses a run, in the status bar and a message.
    void Refuse(const std::string& why);
    // Reads the rules, confirms a deleting run, stops the one in progress (if
    // the administrator agrees), takes the run lock and starts request, or
    // planned's accounts on its plan.
    void Launch(const CRunRequest& request, std::shared_ptr<const PlannedRun> planned = nullptr);
    // The last run's manifest, when it is there and complete.
    std::string FinishedManifest() const;
    // The report shown is a preview this window ran to its end, with the
    // settings as they still are.
    bool PreviewShown() const;
    // Reads the known-servers file again while it stands in the way of runs
    // (mended by hand), or after the form mended a line of the configuration.
    void RecheckKnownServers();
    // Writes the configuration file when it may be replaced: not one that
    // could not be read, nor one with a mistake the form has not mended.
    void SaveConfigurationNow();
    // Pane 0 out of a run: "Ready", or why no run can start.
    wxString IdleStatus() const;
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
    // Counts the changes made in the Configuration form: a preview's findings
    // hold only for the settings it ran with.
    unsigned m_nSettingsChanges = 0;
    // One run at a time per data folder, held while this window's run goes.
    CRunLock m_runLock;
    // The day picked last in a run form (not valid: none yet, today is shown).
    wxDateTime m_dtLastDay;
    // The run started last, and whether it was a preview that ended by itself.
    CRunRequest m_lastRun;
    unsigned m_nLastRunSettings = 0;
    bool m_bPreviewDone = false;
    bool m_bStopAsked = false;
    // The plan the run executes, if any: the run holds a pointer to it.
    std::shared_ptr<const PlannedRun> m_planned;
    // What the files' check warned of before the run: for its log, and the
    // status bar at its end.
    std::vector<std::string> m_checkWarnings;
    std::vector<std::string> m_runWarnings;
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
