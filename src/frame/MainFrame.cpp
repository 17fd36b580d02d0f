#include "frame/MainFrame.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <utility>

#include <wx/accel.h>
#include <wx/aui/auibar.h>
#include <wx/eventfilter.h>
#include <wx/gauge.h>
#include <wx/iconbndl.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/statusbr.h>
#include <wx/utils.h>
#include <wx/xrc/xmlres.h>

#include "dialogs/AboutDlg.h"
#include "dialogs/AccountLogWindow.h"
#include "dialogs/DeleteCommands.h"
#include "dialogs/DlgConferma.h"
#include "dialogs/DlgFiduciaCertificato.h"
#include "dialogs/MessagesWindow.h"
#include "dialogs/RulesEditor.h"
#include "dialogs/SaveManifest.h"
#include "forms/DisplayText.h"
#include "frame/ReportDocument.h"
#include "platform/DataFolder.h"
#include "platform/FileSystem.h"
#include "run/ManifestPath.h"
#include "run/Plan.h"
#include "run/Progress.h"
#include "run/Rules.h"
#include "run/RunReport.h"
#include "settings/ConfigurationCommand.h"
#include "settings/RunFiles.h"

namespace {

// Toolbar buttons in the order of their images in the strip: command, long
// help (status prompt), short help (tool tip).
struct ToolDef {
    int id;
    const char* prompt;
    const char* tip;
};
constexpr ToolDef kTools[] = {
    {ID_CONFIGURATION, "Configuration", "Configure mail server"},
    {ID_DELETE_SINGLE_USER, "Delete mails for single user", "Delete mails for single user"},
    {ID_DELETE_USER_LIST, "Delete mails for usres in list", "Delete mails for usres in list"},
    {ID_STOP_RUN, "Stop the run: the accounts in progress take back their flags and log out",
     "Stop run"},
    {wxID_ABOUT, "Display program information, version number and copyright", "About"},
};
constexpr int kToolWidth = 16;
constexpr int kToolHeight = 15;

constexpr const char* kIndicatorText[PANE_COUNT] = {"", "", "", "CAP", "NUM", "SCRL"};
// The widest progress text the pane is sized for.
constexpr const char* kWidestProgress = "Account 00000 of 00000, about 00 h 00 min left";
constexpr int kGaugeWidth = 120;
// The part of an account's log shown at most: its start and its end.
constexpr size_t kLogShown = 1 << 20;
constexpr const char* kProgramName = "quendravalt";  // the run lock names its holder so

std::string Joined(const std::vector<std::string>& lines, const char* between) {
    std::string text;
    for (const std::string& line : lines)
        text += (text.empty() ? "" : between) + line;
    return text;
}

}  // namespace

// A preview's plan a run executes, and the accounts it signs in to.
struct CMainFrame::PlannedRun {
    CPlan plan;
    CUserList users;
};

// Sees every key press of the program, whichever window has the focus: X
// reports no reliable Scroll Lock state, so the frame counts the presses.
class CMainFrame::ScrollLockWatch : public wxEventFilter {
public:
    explicit ScrollLockWatch(CMainFrame& frame) : m_frame(frame) { wxEvtHandler::AddFilter(this); }
    ~ScrollLockWatch() override { wxEvtHandler::RemoveFilter(this); }

    int FilterEvent(wxEvent& event) override {
        const wxEventType type = event.GetEventType();
        if (type != wxEVT_CHAR_HOOK && type != wxEVT_KEY_UP)
            return Event_Skip;
        if (static_cast<wxKeyEvent&>(event).GetKeyCode() != WXK_SCROLL)
            return Event_Skip;
        // A held key repeats its presses; GTK's char hook events do not say
        // which ones are repeats, so only a press after a release counts.
        if (type == wxEVT_KEY_UP) {
            m_held = false;
        } else if (!m_held) {
            m_held = true;
            m_frame.m_scrollLock = !m_frame.m_scrollLock;
        }
        return Event_Skip;
    }

private:
    CMainFrame& m_frame;
    bool m_held = false;
};

void RegisterCommandIds() {
    wxXmlResource::GetXRCID("ID_CONFIGURATION", ID_CONFIGURATION);
    wxXmlResource::GetXRCID("ID_DELETE_SINGLE_USER", ID_DELETE_SINGLE_USER);
    wxXmlResource::GetXRCID("ID_DELETE_USER_LIST", ID_DELETE_USER_LIST);
    wxXmlResource::GetXRCID("ID_VIEW_TOOLBAR", ID_VIEW_TOOLBAR);
    wxXmlResource::GetXRCID("ID_VIEW_STATUS_BAR", ID_VIEW_STATUS_BAR);
    wxXmlResource::GetXRCID("ID_NEXT_FAILED", ID_NEXT_FAILED);
    wxXmlResource::GetXRCID("ID_STOP_RUN", ID_STOP_RUN);
    wxXmlResource::GetXRCID("ID_DELETE_PREVIEWED", ID_DELETE_PREVIEWED);
    wxXmlResource::GetXRCID("ID_SAVE_MANIFEST", ID_SAVE_MANIFEST);
    wxXmlResource::GetXRCID("ID_RULES", ID_RULES);
    wxXmlResource::GetXRCID("ID_SHOW_MESSAGES", ID_SHOW_MESSAGES);
    wxXmlResource::GetXRCID("ID_SHOW_LOG", ID_SHOW_LOG);
}

CMainFrame::CMainFrame(wxDocManager* manager, CTranscript& transcript, std::string dataFolder)
    : wxDocParentFrame(manager, nullptr, wxID_ANY, kMainFrameTitle),
      m_run(*this, transcript, m_settings, m_users),
      m_transcript(transcript),
      m_dataFolder(std::move(dataFolder)) {
    RegisterCommandIds();

    wxIconBundle icons;
    for (const char* name : {"IDR_MAINFRAME_16", "IDR_MAINFRAME_32", "IDR_MAINFRAME_48"}) {
        const wxBitmap bitmap = wxXmlResource::Get()->LoadBitmap(name);
        if (bitmap.IsOk()) {
            wxIcon icon;
            icon.CopyFromBitmap(bitmap);
            icons.AddIcon(icon);
        }
    }
    SetIcons(icons);

    if (wxMenuBar* menuBar = wxXmlResource::Get()->LoadMenuBar("IDR_MAINFRAME"))
        SetMenuBar(menuBar);

    // The window comes together as toolbar, status bar, docking, then the
    // settings and the user list are read.
    m_aui.SetManagedWindow(this);
    CreateMainToolBar();
    CreateStatusPanes();
    m_aui.AddPane(m_toolBar, wxAuiPaneInfo()
                                 .Name("toolbar")
                                 .Caption("Standard")
                                 .ToolbarPane()
                                 .Top()
                                 .Gripper(true)
                                 .Floatable(true)
                                 .TopDockable(true)
                                 .LeftDockable(true)
                                 .RightDockable(false)
                                 .BottomDockable(false));
    m_aui.Update();

    m_configLoad = LoadSettings(m_dataFolder, m_settings);
    if (m_configLoad == ConfigLoad::Unreadable || m_configLoad == ConfigLoad::NotOurs) {
        // Once, when the window is up: a permissions mistake must not cost the
        // administrator the address and port at close.
        const wxString text = wxString::Format(
            "The configuration file %s %s. The program runs with the default settings and leaves "
            "the file as it is.",
            DataFilePath(m_dataFolder, kConfigFileName),
            m_configLoad == ConfigLoad::Unreadable ? "cannot be read"
                                                   : "is not a configuration file of this program");
        CallAfter(
            [this, text] { wxMessageBox(text, kMainFrameTitle, wxOK | wxICON_WARNING, this); });
    } else if (const std::string problem = ConfigurationProblem(m_settings); !problem.empty()) {
        // Never a default in place of a value the administrator wrote: no run
        // until the value is mended.
        const bool byHand =
            m_settings.m_nConfigErrorLine == 0 && !m_settings.m_strConfigError.empty();
        const wxString text = BytesToDisplay(
            "The configuration cannot be used: " + problem + ".\n\nNo run can start until " +
            (byHand ? "that file is mended by hand."
                    : "it is mended in Manage \u2192 Configuration.") +
            (m_configLoad == ConfigLoad::Invalid && !byHand ? " The file stays as it is until then."
                                                            : ""));
        CallAfter(
            [this, text] { wxMessageBox(text, kMainFrameTitle, wxOK | wxICON_WARNING, this); });
        SetStatusText(IdleStatus(), PANE_STATUS);
    }
    LoadUserList(m_dataFolder, m_users, TokenSignIn(m_settings.m_auth));

    // The standard commands' keys besides the ones the menus show (Ctrl+N,
    // O, S, Z, X, C, V and F8 belong to the menu items). The table sends its commands even
    // for disabled menu items, so the Edit ones go through ProcessCommand,
    // which honours the item's state.
    wxAcceleratorEntry keys[] = {
        {wxACCEL_ALT, WXK_BACK, ID_ACCEL_UNDO},    {wxACCEL_SHIFT, WXK_DELETE, ID_ACCEL_CUT},
        {wxACCEL_CTRL, WXK_INSERT, ID_ACCEL_COPY}, {wxACCEL_SHIFT, WXK_INSERT, ID_ACCEL_PASTE},
        {wxACCEL_NORMAL, WXK_F6, ID_NEXT_PANE},    {wxACCEL_SHIFT, WXK_F6, ID_PREV_PANE},
        {wxACCEL_NORMAL, WXK_ESCAPE, ID_STOP_RUN},
    };
    SetAcceleratorTable(wxAcceleratorTable(static_cast<int>(std::size(keys)), keys));
    Bind(
        wxEVT_MENU,
        [this](wxCommandEvent& e) {
            static constexpr int kTargets[] = {wxID_UNDO, wxID_CUT, wxID_COPY, wxID_PASTE};
            ProcessCommand(kTargets[e.GetId() - ID_ACCEL_UNDO]);
        },
        ID_ACCEL_UNDO, ID_ACCEL_PASTE);

    Bind(wxEVT_CLOSE_WINDOW, &CMainFrame::OnClose, this);
    Bind(wxEVT_IDLE, &CMainFrame::OnIdle, this);
    Bind(wxEVT_TIMER, &CMainFrame::OnTimer, this, TIMER_STEP, kTimerIdEnd - 1);
    Bind(wxEVT_MENU, &CMainFrame::OnConfiguration, this, ID_CONFIGURATION);
    Bind(wxEVT_MENU, &CMainFrame::OnDeleteSingleUser, this, ID_DELETE_SINGLE_USER);
    Bind(wxEVT_MENU, &CMainFrame::OnDeleteUserList, this, ID_DELETE_USER_LIST);
    Bind(wxEVT_MENU, &CMainFrame::OnDeletePreviewed, this, ID_DELETE_PREVIEWED);
    Bind(wxEVT_MENU, &CMainFrame::OnSaveManifest, this, ID_SAVE_MANIFEST);
    Bind(wxEVT_MENU, &CMainFrame::OnRules, this, ID_RULES);
    Bind(wxEVT_MENU, &CMainFrame::OnStopRun, this, ID_STOP_RUN);
    Bind(wxEVT_MENU, &CMainFrame::OnAbout, this, wxID_ABOUT);
    Bind(wxEVT_MENU, &CMainFrame::OnToggleToolBar, this, ID_VIEW_TOOLBAR);
    Bind(wxEVT_MENU, &CMainFrame::OnToggleStatusBar, this, ID_VIEW_STATUS_BAR);
    // Next / previous pane: there is only one pane.
    Bind(
        wxEVT_MENU, [](wxCommandEvent&) {}, ID_NEXT_PANE, ID_PREV_PANE);

    // The commands stay available during a run; Stop only then. Copy,
    // Messages and Log act on the results table (the view enables them); the
    // other Edit commands have nothing to act on.
    for (int id : {int(ID_CONFIGURATION), int(ID_DELETE_SINGLE_USER), int(ID_DELETE_USER_LIST),
                   int(ID_NEXT_FAILED), int(ID_RULES), int(wxID_ABOUT), int(wxID_EXIT)})
        Bind(
            wxEVT_UPDATE_UI, [](wxUpdateUIEvent& e) { e.Enable(true); }, id);
    for (int id : {int(wxID_UNDO), int(wxID_CUT), int(wxID_COPY), int(wxID_PASTE),
                   int(ID_SHOW_MESSAGES), int(ID_SHOW_LOG)})
        Bind(
            wxEVT_UPDATE_UI, [](wxUpdateUIEvent& e) { e.Enable(false); }, id);
    Bind(
        wxEVT_UPDATE_UI, [this](wxUpdateUIEvent& e) { e.Enable(m_run.IsRunning()); }, ID_STOP_RUN);
    Bind(
        wxEVT_UPDATE_UI, [this](wxUpdateUIEvent& e) { e.Enable(PreviewShown()); },
        ID_DELETE_PREVIEWED);
    Bind(
        wxEVT_UPDATE_UI, [this](wxUpdateUIEvent& e) { e.Enable(!FinishedManifest().empty()); },
        ID_SAVE_MANIFEST);
    Bind(
        wxEVT_UPDATE_UI,
        [this](wxUpdateUIEvent& e) {
            e.Enable(true);
            e.Check(IsToolBarShown());
        },
        ID_VIEW_TOOLBAR);
    Bind(
        wxEVT_UPDATE_UI,
        [this](wxUpdateUIEvent& e) {
            e.Enable(true);
            e.Check(GetStatusBar() && GetStatusBar()->IsShown());
        },
        ID_VIEW_STATUS_BAR);

    m_scrollLock = wxGetKeyState(WXK_SCROLL);
    m_scrollWatch = std::make_unique<ScrollLockWatch>(*this);
    UpdateIndicators();
}

CMainFrame::~CMainFrame() {
    for (auto& [id, timer] : m_timers)
        timer.Stop();
    m_scrollWatch.reset();
    m_aui.UnInit();
}

CMainFrame* CMainFrame::ForManager(wxDocManager* manager) {
    for (wxWindow* window : wxTopLevelWindows) {
        auto* frame = dynamic_cast<CMainFrame*>(window);
        if (frame && frame->GetDocumentManager() == manager && !frame->IsBeingDeleted())
            return frame;
    }
    return nullptr;
}

void CMainFrame::CreateMainToolBar() {
    m_toolBar = new wxAuiToolBar(this, ID_TOOLBAR_MAINFRAME, wxDefaultPosition, wxDefaultSize,
                                 wxAUI_TB_DEFAULT_STYLE | wxAUI_TB_GRIPPER);
    m_toolBar->SetToolBitmapSize(wxSize(kToolWidth, kToolHeight));
    const wxBitmap strip = wxXmlResource::Get()->LoadBitmap("IDR_MAINFRAME_TOOLBAR");
    int index = 0;
    for (const ToolDef& tool : kTools) {
        wxBitmap image;
        if (strip.IsOk() && strip.GetWidth() >= (index + 1) * kToolWidth &&
            strip.GetHeight() >= kToolHeight)
            image = strip.GetSubBitmap(wxRect(index * kToolWidth, 0, kToolWidth, kToolHeight));
        else
            image = wxBitmap(kToolWidth, kToolHeight);
        m_toolBar->AddTool(tool.id, wxString(), image, wxNullBitmap, wxITEM_NORMAL, tool.tip,
                           tool.prompt, nullptr);
        ++index;
    }
    m_toolBar->Realize();
    // wxAuiToolBar shows tool tips itself; the prompts go to the status bar here.
    m_toolBar->Bind(wxEVT_MOTION, &CMainFrame::OnToolBarMotion, this);
    m_toolBar->Bind(wxEVT_LEAVE_WINDOW, &CMainFrame::OnToolBarLeave, this);
}

void CMainFrame::CreateStatusPanes() {
    wxStatusBar* bar = CreateStatusBar(PANE_COUNT);
    int styles[PANE_COUNT] = {wxSB_NORMAL, wxSB_NORMAL, wxSB_NORMAL,
                              wxSB_SUNKEN, wxSB_SUNKEN, wxSB_SUNKEN};
    bar->SetStatusStyles(PANE_COUNT, styles);
    SetStatusBarPane(PANE_STATUS);
    SetStatusText(kIdleStatus, PANE_STATUS);
    // Shown while a run is in progress, over its pane.
    m_gauge = new wxGauge(bar, wxID_ANY, 1);
    ShowProgressPanes(false);
    bar->Bind(wxEVT_SIZE, [this](wxSizeEvent& e) {
        e.Skip();
        PlaceGauge();
    });
}

void CMainFrame::ShowProgressPanes(bool show) {
    wxStatusBar* bar = GetStatusBar();
    if (!bar)
        return;
    // Out of a run the prompts have the room.
    int widths[PANE_COUNT] = {-1, 0, 0, 0, 0, 0};
    if (show) {
        widths[PANE_PROGRESS] = bar->GetTextExtent(kWidestProgress).GetWidth() + 16;
        widths[PANE_GAUGE] = FromDIP(kGaugeWidth);
    }
    for (int pane = PANE_CAPS; pane < PANE_COUNT; ++pane)
        widths[pane] = bar->GetTextExtent(kIndicatorText[pane]).GetWidth() + 16;
    if (!show && !bar->GetStatusText(PANE_PROGRESS).empty())
        SetStatusText(wxString(), PANE_PROGRESS);  // while the pane has room to be redrawn
    bar->SetStatusWidths(PANE_COUNT, widths);
    m_gauge->Show(show);
    PlaceGauge();
}

void CMainFrame::UpdateIndicators() {
    wxStatusBar* bar = GetStatusBar();
    if (!bar)
        return;
    const bool on[PANE_COUNT] = {false, wxGetKeyState(WXK_CAPITAL), wxGetKeyState(WXK_NUMLOCK),
                                 m_scrollLock};
    for (int pane = PANE_CAPS; pane < PANE_COUNT; ++pane) {
        const wxString text = on[pane] ? kIndicatorText[pane] : "";
        if (bar->GetStatusText(pane) != text)
            bar->SetStatusText(text, pane);
    }
}

void CMainFrame::ShowMaximized() {
    Maximize(true);
    Show(true);
    if (m_viewWindow)
        m_viewWindow->SetFocus();
}

bool CMainFrame::IsToolBarShown() {
    return m_toolBar && m_aui.GetPane(m_toolBar).IsShown();
}

void CMainFrame::SetViewWindow(wxWindow* window) {
    if (m_viewWindow == window)
        return;
    if (m_viewWindow)
        m_aui.DetachPane(m_viewWindow);
    m_viewWindow = window;
    if (window) {
        m_aui.AddPane(window, wxAuiPaneInfo().Name("view").CenterPane().PaneBorder(false));
        // Accelerators need a focused child.
        window->SetFocus();
    }
    m_aui.Update();
}

void CMainFrame::RemoveViewWindow(wxWindow* window) {
    if (!window || window != m_viewWindow)
        return;
    m_aui.DetachPane(window);
    m_viewWindow = nullptr;
    m_aui.Update();
}

void CMainFrame::SetTimer(int id, int elapseMs) {
    const auto [timer, made] = m_timers.try_emplace(id);
    if (made)
        timer->second.SetOwner(this, id);
    timer->second.Start(std::max(1, elapseMs));
}

void CMainFrame::KillTimer(int id) {
    if (const auto timer = m_timers.find(id); timer != m_timers.end())
        timer->second.Stop();
}

void CMainFrame::ShowStatus(const std::string& text) {
    wxStatusBar* bar = GetStatusBar();
    if (!bar)
        return;
    // Account names come from files and forms as bytes: UTF-8 or Latin-1.
    bar->SetStatusText(BytesToDisplay(text), PANE_STATUS);
    bar->Update();
}

void CMainFrame::AskTrust(const CTlsPeer& peer, const std::string& server,
                          const std::string& pinned, std::function<void(bool)> answer) {
    // The run asks from its timer tick: a modal loop started there would
    // dispatch the run's own events while the tick is half done.
    CallAfter([this, peer, server, pinned, answer = std::move(answer)] {
        CDlgFiduciaCertificato dlg(this, peer, server, pinned);
        const bool trusted = dlg.IsLoaded() && dlg.ShowModal() == wxID_OK;
        if (trusted) {
            // The pin belongs to the server; line 5 names the configured one's.
            m_settings.m_known.m_servers[server].fingerprint = peer.fingerprint;
            RememberPin(m_dataFolder, server, peer.fingerprint);
            if (server == m_settings.Server()) {
                m_settings.m_strTrustedFingerprint = peer.fingerprint;
                // A scheduled run started now must know it too.
                SaveConfigurationNow();
            }
            m_bConfigChanged = true;
        }
        answer(trusted);
    });
}

void CMainFrame::ServerSpokeTls(const std::string& server) {
    m_settings.m_known.m_servers[server].tls = true;
    RememberTls(m_dataFolder, server);
}

void CMainFrame::PlaceGauge() {
    wxRect rect;
    // Before the first layout the field has no size yet.
    if (m_gauge && GetStatusBar() && GetStatusBar()->GetFieldRect(PANE_GAUGE, rect) &&
        rect.width > 4 && rect.height > 4)
        m_gauge->SetSize(rect.Deflate(2));
}

IReportDocument* CMainFrame::Report() const {
    return dynamic_cast<IReportDocument*>(GetDocumentManager()->GetCurrentDocument());
}

bool CMainFrame::MayReplaceReport() {
    IReportDocument* doc = Report();
    return !doc || doc->MayBeReplaced();
}

void CMainFrame::RunStarted() {
    m_runStart = std::chrono::steady_clock::now();
    m_bPreviewDone = false;
    // The run has just taken its copy of the settings: the server is its.
    if (IReportDocument* doc = Report())
        doc->BeginRun(m_run.m_strBeforeDate, m_run.IsPreview(), m_settings.Server());
    ShowProgressPanes(true);
    UpdateProgress();
}

void CMainFrame::ResultChanged(size_t index) {
    if (index >= m_run.m_results.size())
        return;
    if (IReportDocument* doc = Report()) {
        doc->SetRow(index, ReportRow(m_run.m_results[index], m_run.IsPreview()));
    }
    UpdateProgress();
}

void CMainFrame::RunEnded() {
    ShowProgressPanes(false);
    // The run's own status hid the warnings it started with: they end it.
    if (!m_runWarnings.empty())
        ShowStatus(m_run.m_strStatus + " Warning: " + Joined(m_runWarnings, "; "));
    m_runLock.Release();
    m_bPreviewDone =
        m_run.IsPreview() && m_lastRun.preview && !m_bStopAsked && m_run.RunFailure().empty();
    m_bStopAsked = false;
}

void CMainFrame::UpdateProgress() {
    if (!m_run.IsRunning() || !GetStatusBar())
        return;
    const int number = m_run.AccountNumber();
    const int count = m_run.AccountCount();
    const int done = m_run.AccountsDone();
    const std::string text =
        ProgressText(number, count, done, std::chrono::steady_clock::now() - m_runStart);
    if (GetStatusBar()->GetStatusText(PANE_PROGRESS) != text)
        SetStatusText(text, PANE_PROGRESS);
    if (m_gauge) {
        m_gauge->SetRange(std::max(count, 1));
        m_gauge->SetValue(std::min(done, count));
    }
}

void CMainFrame::ShowReportTitle(const wxString& name, bool modified, bool preview) {
    const wxString title = name.empty()
                               ? wxString(kMainFrameTitle)
                               : name + (modified ? "*" : "") + (preview ? " (Preview)" : "") +
                                     " - " + kMainFrameTitle;
    if (GetTitle() != title)
        wxDocParentFrame::SetTitle(title);
}

void CMainFrame::ShowAccountLog(const CReportRow& row) {
    if (row.logEnd <= row.logBegin) {
        wxMessageBox(
            "Only the rows of a run made in this window have their part of the log at hand.",
            kMainFrameTitle, wxOK | wxICON_INFORMATION, this);
        return;
    }
    ::ShowAccountLog(this, wxString::FromUTF8(row.account),
                     m_transcript.Read(row.logBegin, row.logEnd, kLogShown));
}

bool CMainFrame::MessagesAvailable() const {
    const IReportDocument* doc = Report();
    return doc && doc->HoldsRun() && !FinishedManifest().empty();
}

void CMainFrame::ShowMessages(const CReportRow& row) {
    if (MessagesAvailable())
        ShowAccountMessages(this, row.account, FinishedManifest());
}

void CMainFrame::OpenRow(const CReportRow& row) {
    if (MessagesAvailable())
        ShowMessages(row);
    else
        ShowAccountLog(row);
}

bool CMainFrame::TryBefore(wxEvent& event) {
    // The report a run writes to cannot be replaced under it.
    const wxEventType type = event.GetEventType();
    const int id = event.GetId();
    if (m_run.IsRunning() && (type == wxEVT_MENU || type == wxEVT_UPDATE_UI) &&
        (id == wxID_NEW || id == wxID_OPEN)) {
        if (type == wxEVT_UPDATE_UI)
            static_cast<wxUpdateUIEvent&>(event).Enable(false);
        return true;
    }
    return wxDocParentFrame::TryBefore(event);
}

void CMainFrame::OnTimer(wxTimerEvent& event) {
    m_run.OnTimer(event.GetId());
}

void CMainFrame::OnConfiguration(wxCommandEvent&) {
    const AuthMode before = m_settings.m_auth;
    const bool stood = !ConfigurationProblem(m_settings).empty();
    const CConfigurationOutcome outcome =
        RunConfigurationCommand(this, m_settings, m_dataFolder, m_run.IsRunning());
    if (!outcome.set && !outcome.forgotten)
        return;
    ++m_nSettingsChanges;
    m_bConfigChanged = true;
    if (outcome.set && m_configLoad == ConfigLoad::Invalid) {
        // Set puts a value the program knows in place of the wrong one.
        m_configLoad = ConfigLoad::Loaded;
        // The line is mended; what is left to say is the known-servers file's
        // (a fault there was hidden behind the line's).
        if (m_settings.m_nConfigErrorLine != 0) {
            m_settings.m_nConfigErrorLine = 0;
            RecheckKnownServers();
        }
    }
    SaveConfigurationNow();
    // Whether "account;" names an account depends on how accounts sign in.
    if (m_settings.m_auth != before)
        LoadUserList(m_dataFolder, m_users, TokenSignIn(m_settings.m_auth));
    if (!m_run.IsRunning() && (stood || !ConfigurationProblem(m_settings).empty()))
        SetStatusText(IdleStatus(), PANE_STATUS);
}

std::string CMainFrame::RunRefusal(bool list) {
    RecheckKnownServers();
    if (const std::string problem = ConfigurationProblem(m_settings); !problem.empty()) {
        const bool byHand =
            m_settings.m_nConfigErrorLine == 0 && !m_settings.m_strConfigError.empty();
        return "No run can start: " + problem +
               (byHand ? ". Mend that file by hand." : ". Mend it in Manage \u2192 Configuration.");
    }
    const CRunFilesCheck check =
        CheckRunFiles(m_dataFolder, list, TokenSignIn(m_settings.m_auth),
                      m_settings.m_auth == AuthMode::Google ? m_settings.m_strGoogleKeyFile : "");
    if (!check.errors.empty())
        return "No run can start: " + Joined(check.errors, ";\n");
    m_checkWarnings = check.warnings;
    if (!check.warnings.empty())
        ShowStatus("Warning: " + Joined(check.warnings, "; "));
    return "";
}

void CMainFrame::Refuse(const std::string& why) {
    ShowStatus(why.substr(0, why.find('\n')));
    wxMessageBox(BytesToDisplay(why), kMainFrameTitle, wxOK | wxICON_WARNING, this);
}

void CMainFrame::Launch(const CRunRequest& request, std::shared_ptr<const PlannedRun> planned) {
    // Read at each run, before the confirmation: what it shows is what runs.
    CRunOptions options;
    if (!planned) {
        const std::string problem =
            LoadRules(DataFilePath(m_dataFolder, kRulesFileName), options.rules);
        if (!problem.empty()) {
            Refuse("No run can start: " + problem + ".");
            return;
        }
    }
    if (!request.preview) {
        CDlgConferma confirm(this, m_settings, request, m_users.m_arrAccounts.size(), options.rules,
                             planned ? &planned->plan : nullptr);
        if (!confirm.IsLoaded() || confirm.ShowModal() != wxID_OK)
            return;
    }
    if (!ConfirmStop(this, m_run))
        return;
    m_bStopAsked = m_run.IsRunning();
    m_run.Stop([this, request, options, planned]() mutable {
        // Taken before anything else is asked, released when the run ends.
        if (const std::string busy = m_runLock.Acquire(m_dataFolder, kProgramName); !busy.empty()) {
            Refuse(busy + ". This run was not started; start it again once that one has ended.");
            return;
        }
        if (!MayReplaceReport()) {
            m_runLock.Release();
            return;
        }
        m_lastRun = request;
        m_nLastRunSettings = m_nSettingsChanges;
        // The run's copy of the settings takes the warnings into its log.
        m_runWarnings = m_checkWarnings;
        const std::string notice = m_settings.m_strNotice;
        for (const std::string& warning : m_runWarnings)
            m_settings.m_strNotice +=
                (m_settings.m_strNotice.empty() ? "" : "\n") + ("Warning: " + warning);
        if (m_settings.m_bManifest)
            options.manifest = DefaultManifestPath(m_dataFolder, std::time(nullptr));
        options.archive = m_settings.m_strArchiveFolder;
        // The run before has stopped: its plan may go.
        m_planned = planned;
        options.plan = planned ? &planned->plan : nullptr;
        m_run.SetRunOptions(std::move(options));
        if (planned) {
            // The run takes its copy of the list at its start: the plan's
            // accounts stand in for the user list that long only.
            CUserList list = std::exchange(m_users, planned->users);
            CRunRequest all = request;
            all.list = true;
            StartRequestedRun(m_run, all);
            m_users = std::move(list);
        } else {
            StartRequestedRun(m_run, request);
        }
        m_settings.m_strNotice = notice;
    });
}

std::string CMainFrame::FinishedManifest() const {
    const std::string& manifest = m_run.RunOptions().manifest;
    return !m_run.IsRunning() && !manifest.empty() && InspectFile(manifest).exists ? manifest : "";
}

bool CMainFrame::PreviewShown() const {
    const IReportDocument* doc = Report();
    return m_bPreviewDone && !m_run.IsRunning() && doc && doc->HoldsRun() &&
           m_nLastRunSettings == m_nSettingsChanges;
}

void CMainFrame::RecheckKnownServers() {
    if (m_settings.m_nConfigErrorLine != 0)
        return;  // a line of the configuration: the form mends it
    CKnownServers known;
    const std::string problem = LoadKnownServers(m_dataFolder, known);
    if (problem.empty() && !m_settings.m_strConfigError.empty()) {
        m_settings.m_known = std::move(known);
        // The configuration file itself was read whole.
        if (m_configLoad == ConfigLoad::Invalid)
            m_configLoad = ConfigLoad::Loaded;
    }
    m_settings.m_strConfigError = problem;
}

void CMainFrame::SaveConfigurationNow() {
    if (m_configLoad != ConfigLoad::Missing && m_configLoad != ConfigLoad::Loaded)
        return;
    if (!SaveSettings(m_dataFolder, m_settings))
        ShowStatus("The configuration file " + DataFilePath(m_dataFolder, kConfigFileName) +
                   " could not be written.");
}

wxString CMainFrame::IdleStatus() const {
    const std::string problem = ConfigurationProblem(m_settings);
    return problem.empty() ? wxString(kIdleStatus)
                           : "Configuration error: " + BytesToDisplay(problem);
}

void CMainFrame::OnDeleteSingleUser(wxCommandEvent&) {
    CRunRequest request;
    if (const std::string why = RunRefusal(false); !why.empty())
        Refuse(why);
    else if (AskSingleUserRun(this, TokenSignIn(m_settings.m_auth), m_dtLastDay, request))
        Launch(request);
}

void CMainFrame::OnDeleteUserList(wxCommandEvent&) {
    CRunRequest request;
    if (const std::string why = RunRefusal(true); !why.empty())
        Refuse(why);
    else if (AskUserListRun(this, m_users, m_dtLastDay, request))
        Launch(request);
}

void CMainFrame::OnDeletePreviewed(wxCommandEvent&) {
    if (!PreviewShown())
        return;
    CRunRequest request = m_lastRun;
    request.preview = false;
    if (const std::string why = RunRefusal(request.list); !why.empty()) {
        Refuse(why);
        return;
    }
    // Without a manifest the preview left no plan: its run again, for real.
    const std::string manifest = FinishedManifest();
    if (manifest.empty()) {
        Launch(request);
        return;
    }
    auto planned = std::make_shared<PlannedRun>();
    std::string why = LoadPlan(manifest, planned->plan);
    if (why.empty() && planned->plan.messages == 0)
        why = "the preview found no message to delete";
    else if (why.empty() && planned->plan.server != m_settings.Server())
        why = "the preview was made on " + planned->plan.server +
              ", not on the configured server " + m_settings.Server();
    if (why.empty())
        why = PlannedAccounts(planned->plan, request, m_users,
                              DataFilePath(m_dataFolder, kUserListFileName), planned->users);
    if (!why.empty())
        Refuse("No run can start: " + why + ".");
    else
        Launch(request, std::move(planned));
}

void CMainFrame::OnSaveManifest(wxCommandEvent&) {
    if (const std::string manifest = FinishedManifest(); !manifest.empty())
        SaveManifestCopy(this, manifest);
}

void CMainFrame::OnRules(wxCommandEvent&) {
    EditRules(this, DataFilePath(m_dataFolder, kRulesFileName));
}

void CMainFrame::OnStopRun(wxCommandEvent&) {
    // Escape comes through the accelerator table, also when nothing runs.
    if (!m_run.IsRunning())
        return;
    m_bStopAsked = true;
    ShowStatus("Stopping: the accounts in progress take back their flags and log out");
    m_run.Stop([this] {
        uint64_t deleted = 0;
        for (const CAccountResult& result : m_run.m_results)
            deleted += result.deleted;
        ShowStatus(m_run.IsPreview()
                       ? std::string("Preview stopped.")
                       : "Run stopped. " + std::to_string(deleted) + " messages deleted.");
    });
}

void CMainFrame::OnAbout(wxCommandEvent&) {
    CAboutDlg dialog(this);
    dialog.ShowModal();
}

void CMainFrame::OnToggleToolBar(wxCommandEvent&) {
    if (!m_toolBar)
        return;
    wxAuiPaneInfo& pane = m_aui.GetPane(m_toolBar);
    pane.Show(!pane.IsShown());
    m_aui.Update();
}

void CMainFrame::OnToggleStatusBar(wxCommandEvent&) {
    wxStatusBar* bar = GetStatusBar();
    if (!bar)
        return;
    bar->Show(!bar->IsShown());
    // The client area (and with it the docked panes) takes the freed room.
    SendSizeEvent();
}

void CMainFrame::OnToolBarMotion(wxMouseEvent& event) {
    event.Skip();
    const wxAuiToolBarItem* tool = m_toolBar->FindToolByPosition(event.GetX(), event.GetY());
    const int id = tool ? tool->GetId() : wxID_NONE;
    if (id == m_toolHelpId)
        return;
    m_toolHelpId = id;
    if (tool)
        DoGiveHelp(tool->GetLongHelp(), true);
    else
        DoGiveHelp(wxString(), false);
}

void CMainFrame::OnToolBarLeave(wxMouseEvent& event) {
    event.Skip();
    if (m_toolHelpId != wxID_NONE) {
        m_toolHelpId = wxID_NONE;
        DoGiveHelp(wxString(), false);
    }
}

void CMainFrame::SetTitle(const wxString&) {
    // Others (wxWidgets' own views) would put the bare document name.
}

void CMainFrame::DoGiveHelp(const wxString& text, bool show) {
    // Prompts while a menu item or a button is pointed at, "Ready" after.
    if (GetStatusBar())
        SetStatusText(show ? text : IdleStatus(), PANE_STATUS);
}

void CMainFrame::OnIdle(wxIdleEvent& event) {
    event.Skip();
    UpdateIndicators();
}

void CMainFrame::OnClose(wxCloseEvent& event) {
    if (m_run.IsRunning() && event.CanVeto()) {
        event.Veto();
        // Closes once the run has removed its flags and logged out; after the
        // handler, as the run may stop at once.
        if (ConfirmStop(this, m_run))
            m_run.Stop([this] { CallAfter([this] { Close(true); }); });
        return;
    }
    for (auto& [id, timer] : m_timers)
        timer.Stop();
    // A file that could not be read is replaced only with the administrator's
    // consent; one with a mistake only once the form mended it (then it is
    // Loaded).
    const bool unread =
        m_configLoad == ConfigLoad::Unreadable || m_configLoad == ConfigLoad::NotOurs;
    if (m_configLoad == ConfigLoad::Missing || m_configLoad == ConfigLoad::Loaded ||
        (unread && m_bConfigChanged &&
         wxMessageBox("The configuration file could not be read when the program started. "
                      "Replace it with the settings made since?",
                      kMainFrameTitle, wxYES_NO | wxICON_QUESTION, this) == wxYES))
        SaveSettings(m_dataFolder, m_settings);
    // wxDocParentFrame closes the document and destroys the window.
    event.Skip();
}
