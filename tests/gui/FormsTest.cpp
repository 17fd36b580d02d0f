// The main window's commands and the forms they open, in a wx session on the
// X server xvfb-run provides, with no window manager and nothing on screen: a
// modal hook fills each form in and ends it as the user would (a click on a
// button or Enter), so ShowModal returns at once.
#include <gtest/gtest.h>

#include <iterator>
#include <tuple>

#include <sys/stat.h>

#include <wx/app.h>
#include <wx/aui/auibar.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/datectrl.h>
#include <wx/image.h>
#include <wx/listctrl.h>
#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/stattext.h>
#include <wx/weakref.h>
#include <wx/xrc/xmlres.h>

#include "app/Resources.h"
#include "dialogs/AboutDlg.h"
#include "dialogs/DlgCancellaGlobale.h"
#include "dialogs/DlgCancellaSingoloUser.h"
#include "dialogs/DlgConferma.h"
#include "dialogs/DlgFiduciaCertificato.h"
#include "forms/ControlIds.h"
#include "frame/MainFrame.h"
#include "gui/FormDriver.h"
#include "platform/DataFolder.h"
#include "platform/RunLock.h"
#include "run/Rules.h"
#include "settings/DlgConfigura.h"
#include "settings/GoogleKey.h"
#include "support/Harness.h"

using namespace std::string_literals;

namespace {

const std::string kHex = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";
const std::string kKept(64, 'E');  // the certificate trusted before

class Forms : public ::testing::Test {
protected:
    // The main window over a data folder of its own whose settings point at
    // port 1 of the loopback, where nothing listens: a run fails at once.
    void SetUp() override {
        WriteFile(m_folder.File(kConfigFileName), "250\r\n127.0.0.1\r\n1\r\nnone\r\n" + kKept);
        WriteFile(m_folder.File(kUserListFileName),
                  "ann@example.com;pa\r\nbob@example.com; pb \r\n");
        m_frame = new CMainFrame(&m_docs, m_transcript, m_folder.Path());
        ASSERT_EQ(m_frame->m_settings.m_strServerIP, "127.0.0.1");
    }
    void TearDown() override {
        if (m_frame && !m_frame->IsBeingDeleted())
            m_frame->Close(true);
        EXPECT_TRUE(PumpUntil([this] { return !m_frame; }));
    }

    // Sends command id to the main window; returns the class of the last form
    // it opened. "Delete mail?" is answered with m_confirm, its values kept.
    std::string Command(int id, Filler fill = {}) {
        m_driver.shown.clear();
        m_confirmation.clear();
        m_driver.fill = [this, fill = std::move(fill)](wxDialog& form) {
            if (typeid(form) != typeid(CDlgConferma))
                return fill ? fill(form) : int(wxID_CANCEL);
            for (const int id : {IDC_STATIC_SERVER, IDC_STATIC_DAY, IDC_STATIC_ACCOUNTS,
                                 IDC_STATIC_FOLDER, IDC_STATIC_WARNING})
                m_confirmation += Control<wxStaticText>(form, id).GetLabel().utf8_string() + "|";
            return m_confirm;
        };
        wxCommandEvent command(wxEVT_MENU, id);
        m_frame->ProcessWindowEvent(command);
        return m_driver.shown;
    }

    TempFolder m_folder;
    wxDocManager m_docs;
    CTranscript m_transcript{m_folder.File(kLogFileName)};
    int m_confirm = IDC_DELETE;
    std::string m_confirmation;  // server|day|accounts|folder|warning|
    FormDriver m_driver;
    wxWeakRef<CMainFrame> m_frame;
};

TEST_F(Forms, MenuItemsAndToolbarButtonsOpenTheirFormsAndCancelStartsNoRun) {
    // Menu, item, toolbar button, the form they open.
    const std::tuple<const char*, const char*, size_t, const char*> rows[] = {
        {"Manage", "Configuration", 0, typeid(CDlgConfigura).name()},
        {"Manage", "Delete mails for a single user", 1, typeid(CDlgCancellaSingoloUser).name()},
        {"Manage", "Delete mails for users in list", 2, typeid(CDlgCancellaGlobale).name()},
        {"&Help", "&About QuenDravalt...", 4, typeid(CAboutDlg).name()},
    };
    for (const auto& [menu, item, tool, form] : rows) {
        EXPECT_EQ(Command(m_frame->GetMenuBar()->FindMenuItem(menu, item)), form) << item;
        EXPECT_EQ(Command(m_frame->GetMainToolBar()->FindToolByIndex(tool)->GetId()), form)
            << "toolbar button " << tool;
    }
    EXPECT_FALSE(m_frame->m_run.IsRunning());
}

TEST_F(Forms, SingleUserFormStartsTheRunWithoutTrailingBlanksAndAnEnglishDate) {
    wxLocale german;  // the month names must not follow the desktop's language
    ASSERT_TRUE(german.Init(wxLANGUAGE_GERMAN, wxLOCALE_DONT_LOAD_DEFAULT));
    const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    m_driver.answer = wxID_YES;  // each start replaces the run before it
    for (int month = 0; month < 12; ++month) {
        Command(ID_DELETE_SINGLE_USER, [month](wxDialog& form) {
            Control<wxTextCtrl>(form, IDC_EDIT_USER_ACCOUNT).SetValue("  bob@example.com \t ");
            Control<wxTextCtrl>(form, IDC_EDIT_USER_PASSWORD).SetValue(" secret  ");
            Control<wxDatePickerCtrl>(form, IDC_DATETIMEPICKER)
                .SetValue({5, wxDateTime::Month(month), 2008});
            return month % 2 ? IDC_DELETE : kPressEnter;  // both ways of accepting
        });
        EXPECT_EQ(m_frame->m_run.m_strAccount, "  bob@example.com");
        EXPECT_EQ(m_frame->m_run.m_strPassword, " secret");
        EXPECT_EQ(m_frame->m_run.m_strBeforeDate, "05-" + std::string(months[month]) + "-2008");
    }
}

TEST_F(Forms, ARunInProgressIsStoppedOnlyWhenTheAdministratorAgrees) {
    std::string account = "first";
    const Filler start = [&account](wxDialog& form) {
        Control<wxTextCtrl>(form, IDC_EDIT_USER_ACCOUNT).SetValue(account);
        return IDC_DELETE;
    };
    Command(ID_DELETE_SINGLE_USER, start);
    ASSERT_TRUE(m_frame->m_run.IsRunning());
    Command(ID_CONFIGURATION, [](wxDialog& form) {
        EXPECT_NE(Control<wxStaticText>(form, IDC_STATIC_RUN_NOTE).GetLabel(), "");
        return int(wxID_CANCEL);
    });
    account = "second";
    for (const int answer : {wxID_NO, wxID_YES}) {
        m_driver.answer = answer;
        Command(ID_DELETE_SINGLE_USER, start);
        EXPECT_EQ(m_driver.asked, "A run is in progress (account 1 of 1). Stop it?");
        EXPECT_EQ(m_frame->m_run.m_strAccount, answer == wxID_YES ? "second" : "first");
    }
    m_driver.answer = wxID_NO;
    WriteFile(m_folder.File(kConfigFileName), "kept");
    m_frame->Close();  // refused: the window neither saves nor goes
    EXPECT_EQ(ReadFile(m_folder.File(kConfigFileName)), "kept");
    m_driver.answer = wxID_YES;
    m_frame->Close();
    EXPECT_TRUE(PumpUntil([this] { return !m_frame; }));
}

TEST_F(Forms, AConfigurationFileThatIsNotReadableIsReplacedOnlyWhenAllowed) {
    m_frame->Close(true);
    ASSERT_TRUE(PumpUntil([this] { return !m_frame; }));
    const std::string bad = "250\r\n127.0.0.1\r\n1\0\r\n"s;  // a NUL: no file of ours
    for (const int answer : {wxID_NO, wxID_YES}) {
        WriteFile(m_folder.File(kConfigFileName), bad);
        m_driver.asked.clear();
        m_frame = new CMainFrame(&m_docs, m_transcript, m_folder.Path());
        ASSERT_TRUE(PumpUntil([this] { return !m_driver.asked.empty(); }));  // once, at start-up
        EXPECT_NE(m_driver.asked.find("is not a configuration file"), std::string::npos);
        Command(ID_CONFIGURATION, [](wxDialog&) { return IDC_SET; });  // a change worth keeping
        m_driver.answer = answer;
        m_frame->Close();
        ASSERT_TRUE(PumpUntil([this] { return !m_frame; }));
        EXPECT_EQ(ReadFile(m_folder.File(kConfigFileName)) == bad, answer == wxID_NO);
    }
}

TEST_F(Forms, UserListFormShowsTheListAndTheRunTakesAllOfIt) {
    Command(ID_DELETE_USER_LIST, [](wxDialog& form) {
        auto& list = Control<wxListCtrl>(form, IDC_LIST_USERS);
        EXPECT_EQ(list.GetItemCount(), 2);
        EXPECT_EQ(list.GetItemText(0, 0).utf8_string(), "ann@example.com");
        EXPECT_EQ(list.GetItemText(1, 1).utf8_string(), "\xC2\xB7pb\xC2\xB7");  // blanks shown
        Control<wxDatePickerCtrl>(form, IDC_DATETIMEPICKER).SetValue({31, wxDateTime::Dec, 2007});
        return IDC_DELETE;
    });
    EXPECT_EQ(m_frame->m_run.m_nUserCount, 2);
    EXPECT_EQ(m_frame->m_run.m_strAccount, "ann@example.com");
    EXPECT_EQ(m_frame->m_run.m_strBeforeDate, "31-Dec-2007");
}

TEST_F(Forms, ConfigurationFormShowsStoresAndTheWindowSavesTheSettings) {
    Command(ID_CONFIGURATION, [this](wxDialog& form) {
        // Each field: what it shows, then what is typed over it.
        const std::tuple<int, std::string, const char*> fields[] = {
            {IDC_EDIT_FINGERPRINT, GroupFingerprint(kKept), "00:11:22"},
            {IDC_EDIT_PAUSE, "250", "50"},
            {IDC_EDIT_SERVER_IP, "127.0.0.1", "127.0.0.2  "},
            {IDC_EDIT_PORT, "1", "993"},
            {IDC_EDIT_PARALLEL, "1", "17"}};
        for (const auto& [id, shown, typed] : fields) {
            EXPECT_EQ(Control<wxTextCtrl>(form, id).GetValue().utf8_string(), shown) << id;
            Control<wxTextCtrl>(form, id).SetValue(typed);
        }
        // The modes by index: auto, STARTTLS, TLS, none; the port each pick leaves.
        auto& mode = Control<wxChoice>(form, IDC_COMBO_SECURITY);
        const std::pair<int, const char*> picks[] = {
            {1, "993"}, {2, "993"}, {0, "143"}, {2, "993"}};
        for (const auto& [pick, port] : picks) {
            mode.SetSelection(pick);
            wxCommandEvent picked(wxEVT_CHOICE, IDC_COMBO_SECURITY);
            picked.SetInt(pick);
            mode.ProcessWindowEvent(picked);
            EXPECT_EQ(Control<wxTextCtrl>(form, IDC_EDIT_PORT).GetValue().utf8_string(), port)
                << pick;
        }
        Control<wxTextCtrl>(form, IDC_EDIT_PORT).SetValue("70000");  // would wrap to 4464
        FormDriver::Press(form, IDC_SET);
        EXPECT_NE(m_driver.asked.find("from 1 to 65535"), std::string::npos);
        Control<wxTextCtrl>(form, IDC_EDIT_PORT).SetValue("00993");
        FormDriver::Press(form, IDC_SET);
        EXPECT_NE(m_driver.asked.find("from 1 to 16"), std::string::npos);
        Control<wxTextCtrl>(form, IDC_EDIT_PARALLEL).SetValue("4");
        // No fingerprint: the form says so and stays open, Set or Enter.
        for (const int how : {int(IDC_SET), kPressEnter})
            FormDriver::Press(form, how);
        EXPECT_EQ(form.GetReturnCode(), wxID_CANCEL);
        EXPECT_NE(m_driver.asked.find("not a SHA-256 fingerprint"), std::string::npos);
        Control<wxTextCtrl>(form, IDC_EDIT_FINGERPRINT)
            .SetValue(" " + wxString(GroupFingerprint(kHex)).Lower());
        return IDC_SET;
    });
    EXPECT_EQ(m_frame->m_settings.m_nPauseMs, 100);
    EXPECT_EQ(m_frame->m_settings.m_strServerIP, "127.0.0.2");
    EXPECT_EQ(m_frame->m_settings.m_strPort, "993");
    m_frame->Close(true);
    EXPECT_EQ(ReadFile(m_folder.File(kConfigFileName)),
              "100\r\n127.0.0.2\r\n993\r\ntls\r\n" + kHex + "\r\n4\r\n");
}

TEST_F(Forms, OAuth2IsCheckedSavedForTheOwnerOnlyAndAsksNoPassword) {
    WriteFile(m_folder.File(kUserListFileName), "ann@example.com;pa\r\ncarl@example.com;\r\n");
    const int fields[] = {IDC_EDIT_TOKEN_URL, IDC_EDIT_CLIENT_ID, IDC_EDIT_CLIENT_SECRET,
                          IDC_EDIT_SCOPE, IDC_EDIT_CA_FILE};
    const char* const typed[] = {"http://login.example/t", "app ", " \t", "api://x", "/ca.pem"};
    Command(ID_CONFIGURATION, [&](wxDialog& form) {
        for (const int id : fields)
            EXPECT_FALSE(form.FindWindow(id)->IsEnabled()) << id;
        wxCommandEvent picked(wxEVT_CHOICE, IDC_COMBO_AUTH);
        picked.SetInt(int(AuthMode::OAuth2));
        Control<wxChoice>(form, IDC_COMBO_AUTH).SetSelection(picked.GetInt());
        Control<wxChoice>(form, IDC_COMBO_AUTH).ProcessWindowEvent(picked);
        for (size_t i = 0; i < std::size(fields); ++i) {
            EXPECT_TRUE(form.FindWindow(fields[i])->IsEnabled()) << fields[i];
            Control<wxTextCtrl>(form, fields[i]).SetValue(typed[i]);
        }
        FormDriver::Press(form, IDC_SET);
        EXPECT_EQ(m_driver.asked,
                  "An access token is never sent without TLS: choose auto, starttls or tls.");
        Control<wxChoice>(form, IDC_COMBO_SECURITY).SetSelection(int(SecurityMode::Auto));
        FormDriver::Press(form, IDC_SET);
        EXPECT_EQ(m_driver.asked, "The token endpoint must be an https:// address.");
        Control<wxTextCtrl>(form, IDC_EDIT_TOKEN_URL).SetValue("https://login.example/t");
        FormDriver::Press(form, kPressEnter);  // blanks are no secret
        EXPECT_EQ(m_driver.asked, "OAuth2 needs the client secret of the app registration.");
        EXPECT_EQ(form.GetReturnCode(), wxID_CANCEL);
        Control<wxTextCtrl>(form, IDC_EDIT_CLIENT_SECRET).SetValue("s3cret ");
        return IDC_SET;
    });
    EXPECT_EQ(m_frame->m_users.m_arrAccounts.back(), "carl@example.com");  // no password needed
    Command(ID_DELETE_SINGLE_USER, [](wxDialog& form) {
        EXPECT_FALSE(form.FindWindow(IDC_EDIT_USER_PASSWORD)->IsEnabled());
        return int(wxID_CANCEL);
    });
    m_frame->Close(true);
    EXPECT_EQ(ReadFile(m_folder.File(kConfigFileName)),
              "250\r\n127.0.0.1\r\n1\r\nauto\r\n" + kKept + "\r\n1\r\noauth2\r\n");
    EXPECT_EQ(ReadFile(m_folder.File(kOAuthFileName)),
              "https://login.example/t\r\napp\r\ns3cret\r\napi://x\r\n/ca.pem\r\n");
    struct stat st {};
    ASSERT_EQ(stat(m_folder.File(kOAuthFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Forms, RecordsAndGoogleSignInAreCheckedSavedAndReachTheRun) {
    WriteFile(m_folder.File(kUserListFileName), "carl@example.com;\r\n");
    const int google[] = {IDC_EDIT_GOOGLE_KEY, IDC_EDIT_CA_FILE};
    Command(ID_CONFIGURATION, [&](wxDialog& form) {
        for (const int id : google)
            EXPECT_FALSE(form.FindWindow(id)->IsEnabled()) << id;
        wxCommandEvent picked(wxEVT_CHOICE, IDC_COMBO_AUTH);
        picked.SetInt(int(AuthMode::Google));
        Control<wxChoice>(form, IDC_COMBO_AUTH).SetSelection(picked.GetInt());
        Control<wxChoice>(form, IDC_COMBO_AUTH).ProcessWindowEvent(picked);
        for (const int id : google)
            EXPECT_TRUE(form.FindWindow(id)->IsEnabled()) << id;
        EXPECT_FALSE(form.FindWindow(IDC_EDIT_TOKEN_URL)->IsEnabled());
        EXPECT_TRUE(Control<wxCheckBox>(form, IDC_CHECK_MANIFEST).GetValue());
        Control<wxCheckBox>(form, IDC_CHECK_MANIFEST).SetValue(false);
        Control<wxTextCtrl>(form, IDC_EDIT_GOOGLE_KEY).SetValue("key.json");
        Control<wxTextCtrl>(form, IDC_EDIT_ARCHIVE).SetValue("copies");
        // Each refusal of Set, then the field is mended.
        const std::pair<int, std::string> refusals[] = {
            {IDC_COMBO_SECURITY,
             "An access token is never sent without TLS: choose auto, starttls or tls."},
            {IDC_EDIT_GOOGLE_KEY, "The service account key file must be a full path."},
            {IDC_EDIT_ARCHIVE, "The folder for copies of deleted mail must be a full path."}};
        for (const auto& [field, said] : refusals) {
            FormDriver::Press(form, IDC_SET);
            EXPECT_EQ(m_driver.asked, said);
            EXPECT_EQ(form.GetReturnCode(), wxID_CANCEL);
            if (field == IDC_COMBO_SECURITY)
                Control<wxChoice>(form, field).SetSelection(int(SecurityMode::Auto));
            else
                Control<wxTextCtrl>(form, field)
                    .SetValue(field == IDC_EDIT_ARCHIVE ? " /srv/c " : "");
        }
        return IDC_SET;
    });
    EXPECT_EQ(m_frame->m_users.m_arrAccounts.size(), 1u);  // "account;" names one
    EXPECT_EQ(m_frame->m_settings.m_strGoogleKeyFile, m_folder.File(kGoogleKeyFileName));
    EXPECT_EQ(
        ReadFile(m_folder.File(kConfigFileName)),
        "250\r\n127.0.0.1\r\n1\r\nauto\r\n" + kKept + "\r\n1\r\ngoogle\r\n\r\noff\r\n/srv/c\r\n");
    Command(ID_DELETE_USER_LIST, [](wxDialog&) { return IDC_PREVIEW; });
    EXPECT_EQ(m_frame->m_run.RunOptions().archive, "/srv/c");
    EXPECT_EQ(m_frame->m_run.RunOptions().manifest, "");
}

TEST_F(Forms, RulesAreCheckedBeforeTheyAreSavedAndAMalformedFileStartsNoRun) {
    const std::string path = m_folder.File(kRulesFileName);
    Command(ID_RULES, [&](wxDialog& form) {
        auto& text = Control<wxTextCtrl>(form, IDC_EDIT_RULES);
        const wxString example = text.GetValue();  // no file yet
        text.SetValue("[all]\nspare sometimes\n");
        FormDriver::Press(form, wxID_OK);
        EXPECT_EQ(m_driver.asked,
                  "line 2 of " + path + ": \"spare flagged\" or \"spare unread\" expected.");
        EXPECT_EQ(form.GetReturnCode(), wxID_CANCEL);
        // The example, only comments, takes a section of the administrator's.
        text.SetValue(example + "[all]\n\\Trash older-than 30\n");
        return int(wxID_OK);
    });
    const std::string saved = ReadFile(path), tail = "\r\n[all]\r\n\\Trash older-than 30\r\n";
    EXPECT_EQ(saved.substr(saved.size() - std::min(saved.size(), tail.size())), tail);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    WriteFile(path, "[all]\r\nINBOX older-than many\r\n");
    Command(ID_DELETE_USER_LIST, [](wxDialog&) { return IDC_PREVIEW; });
    EXPECT_EQ(m_driver.asked,
              "No run can start: line 2 of " + path + ": older-than takes days from 0 to 100000.");
    EXPECT_FALSE(m_frame->m_run.IsRunning());
}

TEST_F(Forms, TrustFormComesAfterTheRunsEventAndOnlyTrustKeepsTheCertificate) {
    CTlsPeer peer;
    peer.subject = "CN = imap.example.com";
    peer.fingerprint = kHex;
    const std::string server = m_frame->m_settings.Server();
    // A first meeting three times, then a certificate that changed since kKept.
    const std::pair<int, std::string> rows[] = {
        {wxID_CANCEL, ""}, {kPressEnter, ""}, {IDC_TRUST, ""}, {kPressEnter, kKept}};
    for (const auto& [button, pinned] : rows) {
        m_driver.fill = [&peer, &pinned = pinned, button = button](wxDialog& form) {
            EXPECT_EQ(Control<wxStaticText>(form, IDC_STATIC_SUBJECT).GetLabelText(), peer.subject);
            EXPECT_EQ(Control<wxStaticText>(form, IDC_STATIC_FINGERPRINT).GetLabelText(),
                      "01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF\n"
                      "01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF");
            EXPECT_EQ(form.GetTitle() == "Certificate CHANGED", !pinned.empty());
            EXPECT_EQ(Control<wxStaticText>(form, IDC_STATIC_PINNED).GetLabelText().Left(5),
                      pinned.empty() ? "none" : "EE:EE");
            return button;
        };
        int trusted = -1;
        m_frame->AskTrust(peer, server, pinned, [&trusted](bool yes) { trusted = yes; });
        EXPECT_EQ(trusted, -1);  // not asked inside the run's timer event
        ASSERT_TRUE(PumpUntil([&trusted] { return trusted >= 0; }));
        EXPECT_EQ(trusted, button == IDC_TRUST) << button;
    }
    // Trusted at once for its server: the known servers and line 5 hold it,
    // and the files are written at once.
    EXPECT_EQ(m_frame->m_settings.m_strTrustedFingerprint, kHex);
    EXPECT_NE(ReadFile(m_folder.File(kConfigFileName)).find(kHex), std::string::npos);
    EXPECT_NE(ReadFile(m_folder.File(kKnownServersFileName)).find(server + " - " + kHex),
              std::string::npos);
}

TEST_F(Forms, ADeletingRunStartsOnlyOnDeleteInTheConfirmationAndAPreviewAsksNothing) {
    const wxDateTime monday(7, wxDateTime::Dec, 2020);
    const std::string today = DayInWords(wxDateTime::Today()).utf8_string();
    const std::string warning = "This deletes every message in INBOX received before today.";
    // The run form's button, the confirmation's, the day; the confirmation
    // seen, and whether the form's run started.
    const std::tuple<int, int, wxDateTime, std::string, bool> rows[] = {
        {IDC_DELETE, kPressEnter, monday,
         "127.0.0.1:1|received before Monday, 7 December 2020|bob|INBOX||", false},
        {IDC_DELETE, wxID_CANCEL, wxDateTime::Today(),
         "127.0.0.1:1|received before " + today + "|bob|INBOX|" + warning + "|", false},
        {IDC_PREVIEW, IDC_DELETE, monday, "", true},
        {IDC_DELETE, IDC_DELETE, monday,
         "127.0.0.1:1|received before Monday, 7 December 2020|bob|INBOX||", true},
    };
    m_driver.answer = wxID_YES;  // each start replaces the run before it
    int row = 0;
    wxDateTime shown = wxDateTime::Today();  // then the day picked last
    for (const auto& [button, confirm, day, confirmation, started] : rows) {
        ++row;
        m_confirm = confirm;
        Command(ID_DELETE_SINGLE_USER, [&, button = button, day = day](wxDialog& form) {
            auto& picker = Control<wxDatePickerCtrl>(form, IDC_DATETIMEPICKER);
            EXPECT_EQ(picker.GetValue().GetDateOnly(), shown) << row;
            Control<wxTextCtrl>(form, IDC_EDIT_USER_ACCOUNT).SetValue("bob");
            picker.SetValue(day);
            return button;
        });
        shown = day;
        EXPECT_EQ(m_confirmation, confirmation) << row;
        EXPECT_EQ(m_frame->m_run.m_strAccount + m_frame->m_run.m_strBeforeDate,
                  started ? "bob07-Dec-2020" : "")
            << row;
        m_frame->m_run.m_strAccount = m_frame->m_run.m_strBeforeDate = "";
    }
}

TEST_F(Forms, NoRunStartsWhileAnotherHoldsTheFolderOrOthersMayChangeItsFiles) {
    CRunLock other;
    ASSERT_EQ(other.Acquire(m_folder.Path(), "quendravalt-cli"), "");
    const std::string config = m_folder.File(kConfigFileName);
    // Whether the lock stays held, the configuration's mode; what the window
    // says (nothing: the run starts).
    const std::tuple<bool, int, std::string> rows[] = {
        {true, 0600, "Another run is using " + m_folder.Path() + " (quendravalt-cli, process "},
        {false, 0620,
         "No run can start: the configuration file " + config +
             " may be changed by others than its owner: run chmod go-w " + config},
        {false, 0600, ""},
    };
    for (const auto& [held, mode, said] : rows) {
        if (!held)
            other.Release();
        chmod(config.c_str(), mode);
        m_driver.asked.clear();
        Command(ID_DELETE_USER_LIST, [](wxDialog&) { return IDC_DELETE; });
        EXPECT_EQ(m_driver.asked.substr(0, said.size()), said);
        EXPECT_EQ(m_frame->m_run.IsRunning(), said.empty());
    }
    // A user list others may read is only a warning: in the status bar after
    // the run, and in the run's log.
    ASSERT_TRUE(PumpUntil([this] { return !m_frame->m_run.IsRunning(); }));
    const std::string warning = "Warning: the user list " + m_folder.File(kUserListFileName);
    EXPECT_NE(m_frame->GetStatusBar()->GetStatusText(PANE_STATUS).find(warning), wxString::npos);
    EXPECT_NE(ReadFile(m_folder.File(kLogFileName)).find(warning), std::string::npos);
}

TEST_F(Forms, AMistakeInTheConfigurationRefusesRunsUntilTheFormMendsIt) {
    m_frame->Close(true);
    ASSERT_TRUE(PumpUntil([this] { return !m_frame; }));
    const std::string bad = "250\r\n127.0.0.1\r\n1\r\nrequired\r\n";
    const std::string said = "line 4 of " + m_folder.File(kConfigFileName) + " is \"required\"";
    for (const bool mend : {false, true}) {
        WriteFile(m_folder.File(kConfigFileName), bad);
        m_driver.asked.clear();
        m_frame = new CMainFrame(&m_docs, m_transcript, m_folder.Path());
        ASSERT_TRUE(PumpUntil([this] { return !m_driver.asked.empty(); }));  // at start-up
        EXPECT_NE(m_driver.asked.find(said), std::string::npos);
        EXPECT_EQ(m_frame->GetStatusBar()->GetStatusText(PANE_STATUS),
                  "Configuration error: " + said + ", not one of auto, starttls, tls and none");
        EXPECT_EQ(Command(ID_DELETE_SINGLE_USER), "");  // refused before its form
        EXPECT_EQ(m_driver.asked.rfind("No run can start: " + said, 0), 0u);
        if (mend) {
            Command(ID_CONFIGURATION, [](wxDialog& form) {
                Control<wxChoice>(form, IDC_COMBO_SECURITY)
                    .SetSelection(int(SecurityMode::StartTls));
                return IDC_SET;
            });
            EXPECT_EQ(ReadFile(m_folder.File(kConfigFileName)),  // at once
                      "250\r\n127.0.0.1\r\n1\r\nstarttls\r\n\r\n");
            EXPECT_EQ(Command(ID_DELETE_SINGLE_USER), typeid(CDlgCancellaSingoloUser).name());
        }
        m_frame->Close(true);
        ASSERT_TRUE(PumpUntil([this] { return !m_frame; }));
        EXPECT_EQ(ReadFile(m_folder.File(kConfigFileName)) == bad, !mend);
    }
}

TEST_F(Forms, TheFingerprintFieldFollowsTheServerAndForgetForgetsTheConfiguredOne) {
    const std::string known = m_folder.File(kKnownServersFileName);
    WriteFile(known, "127.0.0.2:1 - " + kHex + "\n");
    ASSERT_EQ(LoadKnownServers(m_folder.Path(), m_frame->m_settings.m_known), "");
    Command(ID_CONFIGURATION, [&](wxDialog& form) {
        auto& address = Control<wxTextCtrl>(form, IDC_EDIT_SERVER_IP);
        // The address typed, the fingerprint shown: never the pin of another server.
        const std::pair<const char*, std::string> rows[] = {
            {"127.0.0.2", kHex}, {"127.0.0.3", ""}, {"127.0.0.1", kKept}, {"127.0.0.2", kHex}};
        for (const auto& [typed, pin] : rows) {
            address.SetValue(typed);
            EXPECT_EQ(Control<wxTextCtrl>(form, IDC_EDIT_FINGERPRINT).GetValue(),
                      GroupFingerprint(pin))
                << typed;
        }
        return IDC_SET;
    });
    // Line 5 held the old server's pin: it stays that server's.
    EXPECT_EQ(ReadFile(m_folder.File(kConfigFileName)), "250\r\n127.0.0.2\r\n1\r\nnone\r\n\r\n");
    EXPECT_NE(ReadFile(known).find("127.0.0.1:1 - " + kKept), std::string::npos);
    for (const int answer : {wxID_NO, wxID_YES}) {
        m_driver.answer = answer;
        const std::string pin = answer == wxID_YES ? "" : kHex;
        Command(ID_CONFIGURATION, [&pin](wxDialog& form) {
            FormDriver::Press(form, IDC_FORGET);
            EXPECT_EQ(Control<wxTextCtrl>(form, IDC_EDIT_FINGERPRINT).GetValue(),
                      GroupFingerprint(pin));
            return int(wxID_CANCEL);
        });
        EXPECT_EQ(m_frame->m_settings.Pin(), pin);
    }
    EXPECT_EQ(ReadFile(known).find("127.0.0.2:1"), std::string::npos);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    wxApp::SetInstance(new wxApp);
    if (!wxEntryStart(argc, argv))
        return 1;  // no X server (run under xvfb-run)
    // A logged error must not become a message box.
    delete wxLog::SetActiveTarget(new wxLogStderr);
    // A wx assertion means a fault in the program (or the test).
    wxSetAssertHandler([](const wxString& file, int line, const wxString& func,
                          const wxString& cond, const wxString& msg) {
        ADD_FAILURE_AT(file.utf8_str(), line) << func << ": " << cond << " " << msg;
    });
    wxInitAllImageHandlers();
    wxXmlResource::Get()->InitAllHandlers();
    InitXmlResource();
    RegisterCommandIds();
    const int rc = RUN_ALL_TESTS();
    wxEntryCleanup();
    return rc;
}
