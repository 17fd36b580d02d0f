// The report of a run through the main window against a real Dovecot: the
// results table, the ending, the preview, the CSV file, the log of one account.
#include <gtest/gtest.h>

#include <regex>

#include <sys/stat.h>

#include <wx/datectrl.h>
#include <wx/filedlg.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/weakref.h>

#include "app/QuenDravaltDoc.h"
#include "app/QuenDravaltView.h"
#include "app/ReportList.h"
#include "dialogs/AccountLogWindow.h"
#include "dialogs/DlgConferma.h"
#include "dialogs/MessagesWindow.h"
#include "forms/ControlIds.h"
#include "frame/MainFrame.h"
#include "gui/FormDriver.h"
#include "platform/DataFolder.h"
#include "support/Dovecot.h"
#include "support/Harness.h"

namespace {
using Texts = std::vector<std::string>;

const std::string kTitle = kMainFrameTitle;
const std::string kSkipped = "(line 3)|||Skipped: line 3 is not account;password|";
// Dovecot speaks plain text on 127.0.0.1: every row says the password went so.
const std::string kClear = " (no TLS: password sent in clear)";

class Report : public ::testing::Test {
protected:
    // ann has two old messages and a new one; bob's password in the list is
    // wrong; line 3 names no account; "x "y", z" does not exist; carol has
    // nothing old.
    void SetUp() override {
        for (const char* name : {"ann", "bob", "carol"})
            m_dovecot.AddAccount(name, std::string("p") + name[0]);
        for (unsigned i = 1; i <= 3; ++i)
            m_dovecot.AddMessage("ann", i, i == 2 ? kNew : kOld, "m" + std::to_string(i));
        m_dovecot.AddMessage("carol", 1, kNew, "m1");
        ASSERT_EQ(m_dovecot.Start(), "");
        WriteFile(m_folder.File(kConfigFileName),
                  "100\r\n127.0.0.1\r\n" + std::to_string(m_dovecot.Port()) + "\r\nnone\r\n\r\n");
        WriteFile(m_folder.File(kUserListFileName),
                  "ann;pa\r\nbob;wrong\r\nno separator\r\nx \"y\", z;pw\r\ncarol;pc\r\n");
        chmod(m_folder.File(kUserListFileName).c_str(), 0600);  // no warning at the run's end
        CreateQuenDravaltTemplate(&m_docs);
        m_frame = new CMainFrame(&m_docs, m_transcript, m_folder.Path());
        m_frame->SetSize(1200, 800);  // room for every pane of the status bar
        m_frame->m_settings.m_nPauseMs = 10;
        ASSERT_TRUE(m_docs.CreateNewDocument());
    }
    void TearDown() override {
        if (m_frame && !m_frame->IsBeingDeleted())
            m_frame->Close(true);
        EXPECT_TRUE(PumpUntil([this] { return !m_frame; }));
    }

    void Command(int id) {
        wxCommandEvent command(wxEVT_MENU, id);
        m_frame->ProcessWindowEvent(command);
    }
    // A run from form (the list, or one account) with button, confirmed when
    // it deletes; Run waits for its end.
    void Run(int form, int button, const std::string& account = "") {
        Start(form, button, account);
        ASSERT_TRUE(PumpUntil([this] { return !m_frame->m_run.IsRunning(); }, 20s));
    }
    void Start(int form, int button, const std::string& account = "") {
        m_driver.asked.clear();
        m_driver.fill = [&](wxDialog& dlg) {
            if (typeid(dlg) == typeid(CDlgConferma)) {
                m_confirmed.clear();
                for (const int id : {IDC_STATIC_DAY, IDC_STATIC_FOLDER, IDC_STATIC_ACCOUNTS})
                    m_confirmed += Control<wxStaticText>(dlg, id).GetLabel().utf8_string() + "|";
                return int(IDC_DELETE);
            }
            if (!account.empty()) {
                Control<wxTextCtrl>(dlg, IDC_EDIT_USER_ACCOUNT).SetValue(account);
                Control<wxTextCtrl>(dlg, IDC_EDIT_USER_PASSWORD)
                    .SetValue("p" + account.substr(0, 1));
            }
            Control<wxDatePickerCtrl>(dlg, IDC_DATETIMEPICKER).SetValue({1, wxDateTime::Jun, 2020});
            return button;
        };
        Command(form);
        m_driver.fill = nullptr;  // it refers to this call's arguments
    }
    CReportList& List() {
        return *dynamic_cast<CQuenDravaltView*>(m_docs.GetCurrentView())->GetList();
    }
    // Each row as shown, "|" between the columns; the time only as "t" when shown.
    Texts Table() {
        Texts rows;
        for (long item = 0; item < List().GetItemCount(); ++item) {
            std::string row;
            for (int column = 0; column < 4; ++column)
                row += List().GetItemText(item, column).utf8_string() + "|";
            rows.push_back(row + (List().GetItemText(item, 4).empty() ? "" : "t"));
        }
        return rows;
    }
    std::string Status() {
        return m_frame->GetStatusBar()->GetStatusText(PANE_STATUS).utf8_string();
    }
    bool Enabled(int id) {
        wxUpdateUIEvent update(id);
        m_frame->ProcessWindowEvent(update);
        return update.GetEnabled();
    }

    Dovecot m_dovecot;
    TempFolder m_folder;
    CTranscript m_transcript{m_folder.File(kLogFileName)};
    CQuenDravaltDocManager m_docs;
    FormDriver m_driver;
    wxWeakRef<CMainFrame> m_frame;
    std::string m_confirmed;  // the confirmation's messages|folders|accounts|
};

TEST_F(Report, ListRunFillsTheTableMarksTheFailuresAndEndsWithTheirCount) {
    Run(ID_DELETE_USER_LIST, IDC_DELETE);
    EXPECT_EQ(Table(), (Texts{"ann|2|2|Done" + kClear + "|t", "bob|||Failed: login rejected|t",
                              kSkipped, "x \"y\", z|||Failed: login rejected|t",
                              "carol|0|0|No message found" + kClear + "|t"}));
    EXPECT_EQ(Status(), "Operazione completata. 2 messages deleted. 3 of 5 accounts failed.");
    EXPECT_EQ(m_dovecot.Subjects("ann"), Texts{"m2"});
    EXPECT_EQ(m_frame->GetTitle(), "Untitled report* - " + kTitle);

    // Edit → Copy: the rows selected, as tab-separated text.
    EXPECT_FALSE(Enabled(wxID_COPY));
    for (const long item : {0, 4})
        List().SetItemState(item, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
    EXPECT_TRUE(Enabled(wxID_COPY));
    EXPECT_EQ(std::regex_replace(List().SelectedRowsText().utf8_string(),
                                 std::regex(R"(\d+\.\d s)"), "t"),
              "ann\t2\t2\tDone" + kClear + "\tt\ncarol\t0\t0\tNo message found" + kClear + "\tt\n");
    for (const long item : {0, 4})
        List().SetItemState(item, 0, wxLIST_STATE_SELECTED);

    // F8 goes from failure to failure, and round again.
    for (long expected : {1, 2, 3, 1}) {
        Command(ID_NEXT_FAILED);
        EXPECT_EQ(List().GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED), expected);
    }
    // View → Log on bob: his part of the log, nobody else's.
    Command(ID_SHOW_LOG);
    wxWindow* log = wxWindow::FindWindowByName(kAccountLogWindowName);
    ASSERT_TRUE(log);
    const std::string text =
        dynamic_cast<wxTextCtrl*>(log->GetChildren().front())->GetValue().utf8_string();
    log->Destroy();
    EXPECT_NE(text.find("LOGIN bob"), std::string::npos) << text;
    EXPECT_NE(text.find("Failed for user bob: login rejected"), std::string::npos);
    EXPECT_EQ(text.find("ann"), std::string::npos);

    // Sorted by found: the unknown ones first, in report order.
    wxListEvent click(wxEVT_LIST_COL_CLICK, List().GetId());
    click.m_col = 1;
    List().ProcessWindowEvent(click);
    EXPECT_EQ(Table().front().substr(0, 4) + Table().back().substr(0, 4), "bob|ann|");
    EXPECT_EQ(Table()[3], "carol|0|0|No message found" + kClear + "|t");
}

TEST_F(Report, PreviewDeletesNothingAndDeletingWhatItFoundRemovesExactlyThat) {
    EXPECT_FALSE(Enabled(ID_DELETE_PREVIEWED));
    Run(ID_DELETE_USER_LIST, IDC_PREVIEW);
    EXPECT_EQ(Table(),
              (Texts{"ann|2||Would delete 2" + kClear + "|t", "bob|||Failed: login rejected|t",
                     kSkipped, "x \"y\", z|||Failed: login rejected|t",
                     "carol|0||No message found" + kClear + "|t"}));
    EXPECT_EQ(
        Status(),
        "Preview completed: 2 messages in 1 accounts would be deleted. 3 of 5 accounts failed.");
    EXPECT_EQ(m_dovecot.Subjects("ann"), (Texts{"m1", "m2", "m3"}));  // no flag either
    EXPECT_EQ(m_frame->GetTitle(), "Untitled report (Preview) - " + kTitle);

    EXPECT_TRUE(Enabled(ID_DELETE_PREVIEWED));
    m_dovecot.AddMessage("ann", 4, kOld, "m4");  // came after the preview: none of its
    Run(ID_DELETE_PREVIEWED, 0);
    EXPECT_EQ(m_driver.asked, "");  // a preview's report is let go without asking
    EXPECT_EQ(m_confirmed, "exactly the 2 messages the preview found|INBOX|ann|");
    EXPECT_EQ(Table(), Texts{"ann|2|2|Done" + kClear + "|t"});
    EXPECT_EQ(m_dovecot.Subjects("ann"), (Texts{"m2", "m4"}));
    EXPECT_FALSE(Enabled(ID_DELETE_PREVIEWED));
    // The preview's log is kept beside the new one.
    const std::string kept = ReadFile(CTranscript::KeptLogPath(m_folder.File(kLogFileName), 1));
    EXPECT_NE(kept.find("SEARCH ALL BEFORE 01-Jun-2020"), std::string::npos);
    EXPECT_EQ(kept.find("FLAGS (\\Deleted)"), std::string::npos);

    // A deleting run's report is not. Without its manifest a preview leaves no
    // plan: deleting what it found searches again.
    m_frame->m_settings.m_bManifest = false;
    Run(ID_DELETE_SINGLE_USER, IDC_PREVIEW, "ann");
    EXPECT_EQ(m_driver.asked, "Do you want to save changes to Untitled report?");
    EXPECT_EQ(Table(), Texts{"ann|1||Would delete 1" + kClear + "|t"});
    m_dovecot.AddMessage("ann", 5, kOld, "m5");
    Run(ID_DELETE_PREVIEWED, 0);
    EXPECT_EQ(m_dovecot.Subjects("ann"), Texts{"m2"});
}

TEST_F(Report, RulesShowInTheConfirmationAndAnAccountsMessagesInAWindowOfTheirOwn) {
    WriteFile(m_folder.File(kRulesFileName), "[all]\nINBOX\nArchive older-than 0\nspare flagged\n");
    m_dovecot.AddMessage("ann", 4, kOld, "m4", "F");
    m_dovecot.AddMessage("ann", 1, kNew, "a1", "", "Archive");
    m_dovecot.AddMessage("carol", 2, kOld, "c2");
    EXPECT_FALSE(Enabled(ID_SAVE_MANIFEST));
    Run(ID_DELETE_USER_LIST, IDC_DELETE);
    EXPECT_EQ(m_confirmed,
              "received before Monday, 1 June 2020|Folders: INBOX, Archive (older than 0 days). "
              "Spared: flagged mail.|all 4 accounts of the user list|");
    EXPECT_EQ(m_dovecot.Subjects("ann"), (Texts{"m2", "m4:F"}));
    EXPECT_EQ(m_dovecot.Subjects("ann", "Archive"), Texts{});
    const std::string manifest = m_frame->m_run.RunOptions().manifest;
    const std::string audit = m_folder.File("audit/");
    EXPECT_EQ(manifest.substr(0, audit.size()), audit);
    EXPECT_TRUE(std::regex_match(manifest.substr(audit.size()),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d-\d\d-\d\d\.csv)")))
        << manifest;

    // A double-click: ann's messages and nobody else's, sorted by a column
    // title, reversed by a second click.
    wxListEvent activate(wxEVT_LIST_ITEM_ACTIVATED, List().GetId());
    activate.m_itemIndex = 0;
    List().ProcessWindowEvent(activate);
    wxWindow* window = wxWindow::FindWindowByName(kMessagesWindowName);
    ASSERT_TRUE(window);
    auto& messages = *dynamic_cast<wxListCtrl*>(window->GetChildren().front());
    const auto rows = [&messages] {
        Texts shown;
        for (long item = 0; item < messages.GetItemCount(); ++item)
            shown.push_back((messages.GetItemText(item, 2) + "|" + messages.GetItemText(item, 4) +
                             "|" + messages.GetItemText(item, 5))
                                .utf8_string());
        return shown;
    };
    EXPECT_EQ(rows(), (Texts{"m1|deleted|INBOX", "m3|deleted|INBOX", "a1|deleted|Archive"}));
    wxListEvent click(wxEVT_LIST_COL_CLICK, messages.GetId());
    click.m_col = 2;
    for (int i = 0; i < 2; ++i)
        messages.ProcessWindowEvent(click);
    EXPECT_EQ(rows(), (Texts{"m3|deleted|INBOX", "m1|deleted|INBOX", "a1|deleted|Archive"}));
    window->Destroy();

    // File → Save manifest as: the whole record, every account's.
    EXPECT_TRUE(Enabled(ID_SAVE_MANIFEST));
    const std::string copy = m_folder.File("kept.csv");
    m_driver.fill = [&copy](wxDialog& form) {
        auto& save = dynamic_cast<wxFileDialog&>(form);
        save.SetPath(copy);
        EXPECT_TRUE(PumpUntil([&save] { return !save.GetPath().empty(); }));  // GTK takes its time
        form.SetReturnCode(wxID_OK);
        return int(wxID_NONE);
    };
    Command(ID_SAVE_MANIFEST);
    EXPECT_NE(ReadFile(copy).find(",c2,deleted,"), std::string::npos);
    EXPECT_EQ(ReadFile(copy), ReadFile(manifest));
}

TEST_F(Report, SavedReportIsCsvThatOpensAgainAndAFileThatIsNoReportIsRefused) {
    Run(ID_DELETE_USER_LIST, IDC_DELETE);
    const Texts shown = Table();
    const std::string path = m_folder.File("run.csv");
    ASSERT_TRUE(m_docs.GetCurrentDocument()->OnSaveDocument(path));
    // The clock's fields (start time, seconds taken) as T.
    const std::regex clock(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d|\d+\.\d(?=\r\n))");
    EXPECT_EQ(std::regex_replace(ReadFile(path), clock, "T"),
              "Cut-off day,01-Jun-2020\r\nStarted,T\r\nRun,Delete\r\nServer,127.0.0.1:" +
                  std::to_string(m_dovecot.Port()) +
                  "\r\n"
                  "Account,Found,Deleted,Result,Seconds\r\n"
                  "ann,2,2,Done (no TLS: password sent in clear),T\r\n"
                  "bob,,,Failed: login rejected,T\r\n"
                  "(line 3),,,Skipped: line 3 is not account;password,\r\n"
                  "\"x \"\"y\"\", z\",,,Failed: login rejected,T\r\n"
                  "carol,0,0,No message found (no TLS: password sent in clear),T\r\n");
    EXPECT_EQ(m_frame->GetTitle(), "run.csv - " + kTitle);

    WriteFile(m_folder.File("list.csv"), "ann;pa\r\n");
    EXPECT_FALSE(m_docs.CreateDocument(m_folder.File("list.csv"), wxDOC_SILENT));
    EXPECT_NE(m_driver.asked.find("line 1: \"Cut-off day\" expected"), std::string::npos);
    EXPECT_EQ(Table(), shown);

    Command(wxID_NEW);
    EXPECT_EQ(Table(), Texts{});
    EXPECT_EQ(m_frame->GetTitle(), kTitle);
    ASSERT_TRUE(m_docs.CreateDocument(path, wxDOC_SILENT));
    EXPECT_EQ(Table(), shown);
    EXPECT_EQ(m_frame->GetTitle(), "run.csv - " + kTitle);
    EXPECT_EQ(dynamic_cast<CQuenDravaltDoc&>(*m_docs.GetCurrentDocument()).Report().server,
              "127.0.0.1:" + std::to_string(m_dovecot.Port()));
    // A report written before the server was recorded.
    WriteFile(path, std::regex_replace(ReadFile(path), std::regex("Server,.*\r\n"), ""));
    ASSERT_TRUE(m_docs.CreateDocument(path, wxDOC_SILENT));
    EXPECT_EQ(Table(), shown);
}

TEST_F(Report, StopInTheMiddleOfARunTakesBackTheFlags) {
    m_frame->m_settings.m_nPauseMs = 300;
    EXPECT_FALSE(Enabled(ID_STOP_RUN));
    Start(ID_DELETE_SINGLE_USER, IDC_DELETE, "ann");
    // Flagged, not yet expunged.
    ASSERT_TRUE(PumpUntil([this] { return m_dovecot.Subjects("ann").front() == "m1:T"; }));
    EXPECT_TRUE(Enabled(ID_STOP_RUN));
    Command(ID_STOP_RUN);
    ASSERT_TRUE(PumpUntil([this] { return !m_frame->m_run.IsRunning(); }));
    EXPECT_EQ(m_dovecot.Subjects("ann"), (Texts{"m1", "m2", "m3"}));
    EXPECT_EQ(Status(), "Run stopped. 0 messages deleted.");
    EXPECT_FALSE(Enabled(ID_STOP_RUN));
}

}  // namespace
