// The two run forms, what their commands hand to the run, and the cut-off date.
#include <gtest/gtest.h>

#include <clocale>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <wx/combo.h>
#include <wx/datectrl.h>
#include <wx/frame.h>
#include <wx/listctrl.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "dialogs/ColumnTable.h"
#include "dialogs/ControlIds.h"
#include "dialogs/CutoffDate.h"
#include "dialogs/DeleteCommands.h"
#include "dialogs/DlgCancellaGlobale.h"
#include "dialogs/DlgCancellaSingoloUser.h"
#include "gui/DialogTestKit.h"
#include "gui/MainWindowTestFixture.h"
#include "platform/DataFolder.h"
#include "support/Dovecot.h"
#include "support/EventPump.h"
#include "support/FakeImapServer.h"
#include "support/HeadlessRunHost.h"

using namespace dialog_test;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

wxString U(const char* utf8) {
    return wxString::FromUTF8(utf8);
}

wxDateTime Day(int day, wxDateTime::Month month, int year) {
    return wxDateTime(static_cast<wxDateTime::wxDateTime_t>(day), month, year, 12, 0, 0);
}

wxTextCtrl& Field(wxWindow& dlg, int id) {
    auto* field = dynamic_cast<wxTextCtrl*>(dlg.FindWindow(id));
    if (!field)
        throw std::runtime_error("no text field " + std::to_string(id));
    return *field;
}

wxDatePickerCtrl& Picker(wxWindow& dlg) {
    auto* picker = dynamic_cast<wxDatePickerCtrl*>(dlg.FindWindow(IDC_DATETIMEPICKER));
    if (!picker)
        throw std::runtime_error("no date picker");
    return *picker;
}

wxListCtrl& List(wxWindow& dlg) {
    auto* list = dynamic_cast<wxListCtrl*>(dlg.FindWindow(IDC_LIST_USERS));
    if (!list)
        throw std::runtime_error("no user list");
    return *list;
}

template <class T>
T* Labelled(wxWindow& dlg, const char* label) {
    for (wxWindow* child : dlg.GetChildren())
        if (auto* w = dynamic_cast<T*>(child); w && w->GetLabel() == label)
            return w;
    return nullptr;
}

// The date picker's drop-down.
wxComboCtrl* ComboOf(wxWindow& picker) {
    for (wxWindow* child : picker.GetChildren())
        if (auto* combo = dynamic_cast<wxComboCtrl*>(child))
            return combo;
    return nullptr;
}

bool Within(wxWindow* window, wxWindow* ancestor) {
    for (; window; window = window->GetParent())
        if (window == ancestor)
            return true;
    return false;
}

// ------------------------------------------------------------- cut-off date

TEST(CutoffDate, DayEnglishMonthAndFourDigitYear) {
    EXPECT_EQ(FormatCutoffDate(Day(1, wxDateTime::Jan, 2008)), "01-Jan-2008");
    EXPECT_EQ(FormatCutoffDate(Day(31, wxDateTime::Dec, 2007)), "31-Dec-2007");
    EXPECT_EQ(FormatCutoffDate(Day(5, wxDateTime::Mar, 2007)), "05-Mar-2007");
    EXPECT_EQ(FormatCutoffDate(Day(29, wxDateTime::Feb, 2008)), "29-Feb-2008");
    EXPECT_EQ(FormatCutoffDate(Day(1, wxDateTime::Jan, 2000)), "01-Jan-2000");
    EXPECT_EQ(FormatCutoffDate(Day(31, wxDateTime::Dec, 1999)), "31-Dec-1999");
    EXPECT_EQ(FormatCutoffDate(Day(9, wxDateTime::Sep, 987)), "09-Sep-0987");
    EXPECT_EQ(FormatCutoffDate(Day(1, wxDateTime::Jan, 2008)).size(), 11u);
    // The day is the local one, whatever the time of day.
    EXPECT_EQ(FormatCutoffDate(wxDateTime(31, wxDateTime::Dec, 2007, 23, 59, 59)), "31-Dec-2007");
    EXPECT_EQ(FormatCutoffDate(wxDateTime(1, wxDateTime::Jan, 2008, 0, 0, 0)), "01-Jan-2008");
    EXPECT_EQ(FormatCutoffDate(wxDateTime()), "Invalid DateTime");
    EXPECT_EQ(FormatCutoffDate(wxDefaultDateTime), "Invalid DateTime");
}

TEST(CutoffDate, EveryMonthHasItsImapName) {
    const char* const names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 0; m < 12; ++m) {
        const auto month = static_cast<wxDateTime::Month>(m);
        EXPECT_EQ(FormatCutoffDate(Day(15, month, 2010)), std::string("15-") + names[m] + "-2010");
    }
}

// Restores the process locale at scope exit.
class LocaleGuard {
public:
    LocaleGuard() {
        const char* current = std::setlocale(LC_ALL, nullptr);
        m_saved = current ? current : "C";
    }
    ~LocaleGuard() { std::setlocale(LC_ALL, m_saved.c_str()); }

private:
    std::string m_saved;
};

TEST(CutoffDate, StaysEnglishUnderAGermanLocale) {
    LocaleGuard guard;
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
        << "de_DE.UTF-8 is not available; scripts/install-deps.sh generates it";
    // Proof that the locale is in force: the C library's March is German now.
    std::tm march{};
    march.tm_year = 107;
    march.tm_mon = 2;
    march.tm_mday = 5;
    char localName[32] = {};
    std::strftime(localName, sizeof localName, "%b", &march);
    ASSERT_STRNE(localName, "Mar") << "the locale does not rename months; nothing would be proven";

    EXPECT_EQ(FormatCutoffDate(Day(5, wxDateTime::Mar, 2007)), "05-Mar-2007");
    EXPECT_EQ(FormatCutoffDate(Day(1, wxDateTime::May, 2007)), "01-May-2007");
    EXPECT_EQ(FormatCutoffDate(Day(10, wxDateTime::Oct, 2007)), "10-Oct-2007");
    EXPECT_EQ(FormatCutoffDate(Day(31, wxDateTime::Dec, 2007)), "31-Dec-2007");
}

// ------------------------------------------------------------- column table

TEST(ColumnTable, KeepsTitlesAndWidthsUpToItsCapacity) {
    CColumnTable table;
    EXPECT_EQ(table.Count(), 0u);
    ASSERT_TRUE(table.Add("Account", 150));
    ASSERT_TRUE(table.Add("Password", 120));
    EXPECT_EQ(table.Count(), 2u);
    EXPECT_EQ(table.Title(0), "Account");
    EXPECT_EQ(table.Width(0), 150);
    EXPECT_EQ(table.Title(1), "Password");
    EXPECT_EQ(table.Width(1), 120);

    for (size_t i = table.Count(); i < CColumnTable::kMaxColumns; ++i)
        ASSERT_TRUE(table.Add("c" + std::to_string(i), static_cast<int>(i)));
    EXPECT_FALSE(table.Add("one too many", 10));
    EXPECT_EQ(table.Count(), CColumnTable::kMaxColumns);
    EXPECT_EQ(table.Title(99), "c99");
    EXPECT_EQ(table.Width(99), 99);
}

TEST(ColumnTable, CutsLongTitlesAtACharacterBoundary) {
    CColumnTable table;
    const std::string forty(40, 'x');
    table.Add(forty, 1);
    EXPECT_EQ(table.Title(0), std::string(39, 'x'));
    table.Add(std::string(39, 'y'), 1);
    EXPECT_EQ(table.Title(1), std::string(39, 'y'));
    // 38 ASCII bytes and a two-byte character: the character does not fit.
    table.Add(std::string(38, 'z') + "\xC3\xA9", 1);
    EXPECT_EQ(table.Title(2), std::string(38, 'z'));
    table.Add("", 5);
    EXPECT_EQ(table.Title(3), "");
}

// ------------------------------------------------------------------ the forms

class DeleteDialogs : public ::testing::Test {
protected:
    void SetUp() override {
        m_frame = new wxFrame(nullptr, wxID_ANY, "owner");
        m_frame->Show();
        // Only ever the local fake server.
        m_run.settings.m_strServerIP = "127.0.0.1";
        m_run.settings.m_nPauseMs = kMinPauseMs;
        m_run.users.m_arrAccounts = {"first@example.test", "m\xFCller@example.test",
                                     "j\xC3\xA9r\xC3\xB4me@example.test"};
        m_run.users.m_arrPasswords = {"pw1", "p\xE4ss", "  spaced  "};
    }
    void TearDown() override {
        m_run.socket.Close();
        m_frame->Destroy();
        EXPECT_TRUE(m_log.Complaints().empty())
            << "logged: " << (m_log.Complaints().empty() ? "" : m_log.Complaints().front());
    }

    // A server that takes the connection and never says a word: a run
    // started against it stays at its first step.
    void UseSilentServer() {
        m_server = std::make_unique<FakeImapServer>();
        m_server->Accept().NeverAnswer();
        m_server->Start();
        m_run.settings.m_strPort = std::to_string(m_server->Port());
    }

    // The run started by the form has reached the silent server.
    void ExpectServerReached() {
        EXPECT_TRUE(PumpUntil([&] { return m_server->Connections() == 1; }, seconds(10)));
    }

    // A list run that is under way (waiting for the greeting) when the form opens.
    void StartRunInProgress() {
        UseSilentServer();
        m_run.sequencer.StartListRun("01-Jan-2001");
        m_run.transcript.Append("before the form\n");
        ASSERT_TRUE(m_run.sequencer.IsRunning());
        ASSERT_TRUE(PumpUntil([&] { return m_server->Connections() == 1; }, seconds(10)));
    }

    void ExpectRunInProgressUntouched() {
        EXPECT_TRUE(m_run.sequencer.IsRunning());
        EXPECT_EQ(m_run.sequencer.m_strAccount, "first@example.test");
        EXPECT_EQ(m_run.sequencer.m_strBeforeDate, "01-Jan-2001");
        EXPECT_EQ(m_run.sequencer.m_nUserCount, 3);
        EXPECT_EQ(m_run.sequencer.m_nStep, 0);
        EXPECT_TRUE(m_run.host.IsArmed(TIMER_STEP));
        EXPECT_NE(m_run.transcript.Tail().find("before the form"), std::string::npos)
            << "the transcript was cleared";
        EXPECT_EQ(m_server->Connections(), 1);
    }

    void RunSingle(std::function<int(CDlgCancellaSingoloUser&)> act) {
        wxTEST_DIALOG(RunDeleteSingleUserCommand(m_frame, m_run.sequencer),
                      wxExpectModal<CDlgCancellaSingoloUser>(std::move(act)));
    }
    void RunList(std::function<int(CDlgCancellaGlobale&)> act) {
        wxTEST_DIALOG(RunDeleteUserListCommand(m_frame, m_run.users, m_run.sequencer),
                      wxExpectModal<CDlgCancellaGlobale>(std::move(act)));
    }

    LogCapture m_log;
    wxFrame* m_frame = nullptr;
    std::unique_ptr<FakeImapServer> m_server;
    HeadlessRun m_run;
};

TEST_F(DeleteDialogs, SingleUserTemplateLayoutTextsAndTabOrder) {
    CDlgCancellaSingoloUser dlg(m_frame);
    ASSERT_TRUE(dlg.IsLoaded());
    EXPECT_EQ(dlg.GetId(), IDD_CANCELLA_SINGOLO_USER);
    EXPECT_EQ(dlg.GetTitle(), "Delete Mails for single user");
    EXPECT_EQ(dlg.GetClientSize(), dlg.ConvertDialogToPixels(wxSize(212, 94)));

    ExpectPlaced(dlg, IDC_EDIT_USER_ACCOUNT, {70, 14}, {130, 14});
    ExpectPlaced(dlg, IDC_EDIT_USER_PASSWORD, {70, 32}, {130, 14});
    ExpectPlaced(dlg, IDC_DATETIMEPICKER, {130, 53}, {73, 15});
    ExpectPlaced(dlg, IDC_DELETE, {98, 73}, {50, 14});
    ExpectPlaced(dlg, wxID_CANCEL, {155, 73}, {50, 14});
    EXPECT_EQ(TabOrder(dlg), (std::vector<int>{IDC_EDIT_USER_ACCOUNT, IDC_EDIT_USER_PASSWORD,
                                               IDC_DATETIMEPICKER, IDC_DELETE, wxID_CANCEL}));
    EXPECT_EQ(dlg.FindWindow(IDC_DELETE)->GetLabel(), "Delete");
    EXPECT_EQ(dlg.FindWindow(wxID_CANCEL)->GetLabel(), "Cancel");
    EXPECT_EQ(dlg.GetDefaultItem(), nullptr);
    ExpectLabelsFit(dlg);

    // The password is read back by the administrator: never masked.
    EXPECT_FALSE(Field(dlg, IDC_EDIT_USER_PASSWORD).HasFlag(wxTE_PASSWORD));
    EXPECT_FALSE(Field(dlg, IDC_EDIT_USER_ACCOUNT).HasFlag(wxTE_PASSWORD));
    // A drop-down calendar that always holds a date.
    EXPECT_TRUE(Picker(dlg).HasFlag(wxDP_DROPDOWN));
    EXPECT_FALSE(Picker(dlg).HasFlag(wxDP_ALLOWNONE));

    struct Label {
        const char* text;
        wxPoint pos;
        wxSize size;
    };
    for (const Label& l :
         {Label{"User Account:", {13, 17}, {46, 8}}, Label{"Password:", {13, 34}, {34, 8}},
          Label{"Delete Mails with date before", {13, 56}, {94, 8}}}) {
        auto* text = Labelled<wxStaticText>(dlg, l.text);
        ASSERT_NE(text, nullptr) << l.text;
        EXPECT_EQ(text->GetPosition(), dlg.ConvertDialogToPixels(l.pos)) << l.text;
    }
    auto* box = Labelled<wxStaticBox>(dlg, "User Info");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->GetRect(), wxRect(dlg.ConvertDialogToPixels(wxPoint(7, 7)),
                                     dlg.ConvertDialogToPixels(wxSize(198, 42))));
    EXPECT_TRUE(box->GetRect().Contains(dlg.FindWindow(IDC_EDIT_USER_ACCOUNT)->GetRect()));
    EXPECT_TRUE(box->GetRect().Contains(dlg.FindWindow(IDC_EDIT_USER_PASSWORD)->GetRect()));
    EXPECT_FALSE(box->GetRect().Intersects(dlg.FindWindow(IDC_DATETIMEPICKER)->GetRect()));
}

TEST_F(DeleteDialogs, UserListTemplateLayoutTextsAndTabOrder) {
    CDlgCancellaGlobale dlg(m_frame, m_run.users);
    ASSERT_TRUE(dlg.IsLoaded());
    EXPECT_EQ(dlg.GetId(), IDD_CANCELLA_GLOBALE);
    EXPECT_EQ(dlg.GetTitle(), "Delete Mails for Users in list");
    EXPECT_EQ(dlg.GetClientSize(), dlg.ConvertDialogToPixels(wxSize(212, 227)));

    ExpectPlaced(dlg, IDC_DATETIMEPICKER, {124, 7}, {73, 15});
    ExpectPlaced(dlg, IDC_LIST_USERS, {15, 34}, {183, 160});
    ExpectPlaced(dlg, IDC_DELETE, {95, 204}, {50, 14});
    ExpectPlaced(dlg, wxID_CANCEL, {152, 204}, {50, 14});
    EXPECT_EQ(TabOrder(dlg),
              (std::vector<int>{IDC_DATETIMEPICKER, IDC_LIST_USERS, IDC_DELETE, wxID_CANCEL}));
    EXPECT_EQ(dlg.GetDefaultItem(), nullptr);
    ExpectLabelsFit(dlg);
    EXPECT_EQ(dlg.m_listUsers, &List(dlg));

    wxListCtrl& list = List(dlg);
    EXPECT_TRUE(list.InReportView());
    EXPECT_FALSE(list.HasFlag(wxLC_NO_HEADER));
    EXPECT_NE(list.GetBorder(), wxBORDER_NONE);
    EXPECT_TRUE(Picker(dlg).HasFlag(wxDP_DROPDOWN));
    EXPECT_FALSE(Picker(dlg).HasFlag(wxDP_ALLOWNONE));

    auto* label = Labelled<wxStaticText>(dlg, "Delete Mails with date before");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->GetPosition(), dlg.ConvertDialogToPixels(wxPoint(7, 10)));
    auto* box = Labelled<wxStaticBox>(dlg, "Users list");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->GetRect(), wxRect(dlg.ConvertDialogToPixels(wxPoint(7, 22)),
                                     dlg.ConvertDialogToPixels(wxSize(198, 179))));
    EXPECT_TRUE(box->GetRect().Contains(list.GetRect()));

    // Setting up the columns leaves nothing but the two columns, whatever
    // the list had before.
    list.SetSingleStyle(wxLC_HRULES, true);
    list.SetSingleStyle(wxLC_VRULES, true);
    list.InsertColumn(0, "stale");
    dlg.SetupColumns(list);
    EXPECT_TRUE(list.InReportView());
    EXPECT_FALSE(list.HasFlag(wxLC_HRULES));
    EXPECT_FALSE(list.HasFlag(wxLC_VRULES));
    EXPECT_FALSE(list.HasCheckBoxes());
    EXPECT_EQ(list.GetColumnCount(), 2);
}

TEST_F(DeleteDialogs, SingleUserOpensWithTheDefaultAccountNoPasswordAndTodayEveryTime) {
    for (int opening = 0; opening < 2; ++opening) {
        SCOPED_TRACE("opening " + std::to_string(opening + 1));
        wxString account = "?", password = "?";
        wxDateTime date;
        RunSingle([&](CDlgCancellaSingoloUser& dlg) {
            dlg.InitDialog();
            account = Field(dlg, IDC_EDIT_USER_ACCOUNT).GetValue();
            password = Field(dlg, IDC_EDIT_USER_PASSWORD).GetValue();
            date = Picker(dlg).GetValue();
            // What was chosen must not come back at the next opening.
            Field(dlg, IDC_EDIT_USER_ACCOUNT).ChangeValue("someone@example.test");
            Picker(dlg).SetValue(Day(1, wxDateTime::Jan, 2001));
            Click(dlg, wxID_CANCEL);
            return wxID_CANCEL;
        });
        EXPECT_EQ(account, kDefaultUserAccount);
        EXPECT_EQ(password, "");
        ASSERT_TRUE(date.IsValid());
        EXPECT_TRUE(date.IsSameDate(wxDateTime::Today())) << date.FormatISODate();
    }
    // Cancelled: no run.
    EXPECT_FALSE(m_run.sequencer.IsRunning());
    EXPECT_EQ(m_run.sequencer.m_strAccount, "");
    EXPECT_TRUE(m_run.host.elapses.empty());
}

TEST_F(DeleteDialogs, SingleUserDeleteStartsTheRunWithTrimmedAccountAndPassword) {
    UseSilentServer();
    int result = wxID_NONE;
    RunSingle([&](CDlgCancellaSingoloUser& dlg) {
        dlg.InitDialog();
        Field(dlg, IDC_EDIT_USER_ACCOUNT).ChangeValue("  bob@example.test \t ");
        Field(dlg, IDC_EDIT_USER_PASSWORD).ChangeValue("  s3 cret  ");
        Picker(dlg).SetValue(Day(1, wxDateTime::Jan, 2008));
        result = Click(dlg, IDC_DELETE);
        return result;
    });
    EXPECT_EQ(result, wxID_OK);
    EXPECT_TRUE(m_run.sequencer.IsRunning());
    EXPECT_EQ(m_run.sequencer.m_strAccount, "  bob@example.test");
    EXPECT_EQ(m_run.sequencer.m_strPassword, "  s3 cret");
    EXPECT_EQ(m_run.sequencer.m_strBeforeDate, "01-Jan-2008");
    EXPECT_EQ(m_run.sequencer.m_nUserCount, 0);  // a single run
    ExpectServerReached();
}

TEST_F(DeleteDialogs, SingleUserLatin1AccountGoesToTheRunUnchanged) {
    UseSilentServer();
    RunSingle([&](CDlgCancellaSingoloUser& dlg) {
        dlg.m_strUserAccount = "m\xFCller@example.test";
        dlg.m_strUserPassword = "p\xE4ss";
        dlg.InitDialog();
        EXPECT_EQ(Field(dlg, IDC_EDIT_USER_ACCOUNT).GetValue(), U("müller@example.test"));
        EXPECT_EQ(Field(dlg, IDC_EDIT_USER_PASSWORD).GetValue(), U("päss"));
        return Click(dlg, IDC_DELETE);
    });
    EXPECT_EQ(m_run.sequencer.m_strAccount, "m\xFCller@example.test");
    EXPECT_EQ(m_run.sequencer.m_strPassword, "p\xE4ss");
    ExpectServerReached();
}

TEST_F(DeleteDialogs, SingleUserCancelLeavesARunInProgressAlone) {
    StartRunInProgress();
    RunSingle([&](CDlgCancellaSingoloUser& dlg) {
        dlg.InitDialog();
        Field(dlg, IDC_EDIT_USER_ACCOUNT).ChangeValue("bob@example.test");
        Click(dlg, wxID_CANCEL);
        return wxID_CANCEL;
    });
    ExpectRunInProgressUntouched();
}

TEST_F(DeleteDialogs, UserListOpensWithEveryAccountInFileOrderAndToday) {
    std::vector<std::vector<wxString>> rows;
    std::vector<std::pair<wxString, int>> columns;
    wxDateTime date;
    RunList([&](CDlgCancellaGlobale& dlg) {
        dlg.InitDialog();
        dlg.InitDialog();  // a second initialisation must not add anything
        wxListCtrl& list = List(dlg);
        for (int c = 0; c < list.GetColumnCount(); ++c) {
            wxListItem column;
            column.SetMask(wxLIST_MASK_TEXT);
            list.GetColumn(c, column);
            columns.emplace_back(column.GetText(), list.GetColumnWidth(c));
        }
        for (long r = 0; r < list.GetItemCount(); ++r)
            rows.push_back({list.GetItemText(r, 0), list.GetItemText(r, 1)});
        date = Picker(dlg).GetValue();
        return wxID_CANCEL;
    });
    ASSERT_EQ(columns.size(), 2u);
    EXPECT_EQ(columns[0].first, "Account");
    EXPECT_EQ(columns[0].second, 150);
    EXPECT_EQ(columns[1].first, "Password");
    EXPECT_EQ(columns[1].second, 120);
    const std::vector<std::vector<wxString>> expected = {
        {"first@example.test", "pw1"},
        {U("müller@example.test"), U("päss")},
        {U("jérôme@example.test"), "  spaced  "},
    };
    EXPECT_EQ(rows, expected);
    EXPECT_TRUE(date.IsSameDate(wxDateTime::Today()));
    EXPECT_FALSE(m_run.sequencer.IsRunning());
}

TEST_F(DeleteDialogs, UserListWithoutUsersShowsNoRows) {
    m_run.users = CUserList{};
    long rows = -1;
    RunList([&](CDlgCancellaGlobale& dlg) {
        dlg.InitDialog();
        rows = List(dlg).GetItemCount();
        return wxID_CANCEL;
    });
    EXPECT_EQ(rows, 0);
}

TEST_F(DeleteDialogs, UserListDeleteRunsEveryAccountWhateverRowsAreSelected) {
    UseSilentServer();
    RunList([&](CDlgCancellaGlobale& dlg) {
        dlg.InitDialog();
        List(dlg).SetItemState(2, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
        Picker(dlg).SetValue(Day(5, wxDateTime::Mar, 2007));
        return Click(dlg, IDC_DELETE);
    });
    EXPECT_TRUE(m_run.sequencer.IsRunning());
    EXPECT_EQ(m_run.sequencer.m_nUserCount, 3);
    EXPECT_EQ(m_run.sequencer.m_nUserIndex, 0);
    EXPECT_EQ(m_run.sequencer.m_strAccount, "first@example.test");
    EXPECT_EQ(m_run.sequencer.m_strPassword, "pw1");
    EXPECT_EQ(m_run.sequencer.m_strBeforeDate, "05-Mar-2007");
    ExpectServerReached();
}

TEST_F(DeleteDialogs, UserListCancelLeavesARunInProgressAlone) {
    StartRunInProgress();
    RunList([&](CDlgCancellaGlobale& dlg) {
        dlg.InitDialog();
        Picker(dlg).SetValue(Day(5, wxDateTime::Mar, 2007));
        Click(dlg, wxID_CANCEL);
        return wxID_CANCEL;
    });
    ExpectRunInProgressUntouched();
}

// ------------------------------------------------------- shown with ShowModal

TEST_F(DeleteDialogs, SingleUserEnterAcceptsLikeDeleteFromATextField) {
    UseSilentServer();
    int focusAtStart = wxID_NONE;
    int phase = 0;
    ModalDriver driver([&](wxDialog& dlg) {
        if (phase == 0) {
            if (wxWindow* focus = wxWindow::FindFocus())
                focusAtStart = focus->GetId();
            Field(dlg, IDC_EDIT_USER_ACCOUNT).ChangeValue("carol@example.test  ");
            Field(dlg, IDC_EDIT_USER_PASSWORD).ChangeValue(" pass word ");
            Picker(dlg).SetValue(Day(31, wxDateTime::Dec, 2007));
            phase = 1;
            return false;
        }
        if (driver.SinceActive() < milliseconds(1000))
            return false;  // painted before the picture
        SaveScreenshotIfAsked(dlg, "dialog-single-user.png");
        Field(dlg, IDC_EDIT_USER_PASSWORD).SetFocus();
        PressKey(WXK_RETURN);
        return true;
    });
    RunDeleteSingleUserCommand(m_frame, m_run.sequencer);
    EXPECT_FALSE(driver.TimedOut());
    EXPECT_EQ(focusAtStart, IDC_EDIT_USER_ACCOUNT);
    EXPECT_TRUE(m_run.sequencer.IsRunning());
    EXPECT_EQ(m_run.sequencer.m_strAccount, "carol@example.test");
    EXPECT_EQ(m_run.sequencer.m_strPassword, " pass word");
    EXPECT_EQ(m_run.sequencer.m_strBeforeDate, "31-Dec-2007");
    ExpectServerReached();
}

TEST_F(DeleteDialogs, SingleUserEnterInTheDatePickerAccepts) {
    UseSilentServer();
    ModalDriver driver([&](wxDialog& dlg) {
        Picker(dlg).SetValue(Day(1, wxDateTime::Jan, 2008));
        Picker(dlg).SetFocus();
        PressKey(WXK_RETURN);
        return true;
    });
    RunDeleteSingleUserCommand(m_frame, m_run.sequencer);
    EXPECT_FALSE(driver.TimedOut());
    EXPECT_EQ(m_run.sequencer.m_strAccount, kDefaultUserAccount);
    EXPECT_EQ(m_run.sequencer.m_strPassword, "");
    EXPECT_EQ(m_run.sequencer.m_strBeforeDate, "01-Jan-2008");
    ExpectServerReached();
}

TEST_F(DeleteDialogs, SingleUserEscapeLeavesARunInProgressAlone) {
    StartRunInProgress();
    ModalDriver driver([&](wxDialog& dlg) {
        Field(dlg, IDC_EDIT_USER_ACCOUNT).ChangeValue("bob@example.test");
        PressKey(WXK_ESCAPE);
        return true;
    });
    RunDeleteSingleUserCommand(m_frame, m_run.sequencer);
    EXPECT_FALSE(driver.TimedOut());
    EXPECT_EQ(driver.FormsShown(), 1);
    ExpectRunInProgressUntouched();
}

TEST_F(DeleteDialogs, SingleUserCloseBoxCancels) {
    StartRunInProgress();
    ModalDriver driver([&](wxDialog& dlg) {
        Field(dlg, IDC_EDIT_USER_ACCOUNT).ChangeValue("bob@example.test");
        dlg.Close();  // what the window's close box asks for
        return true;
    });
    RunDeleteSingleUserCommand(m_frame, m_run.sequencer);
    EXPECT_FALSE(driver.TimedOut());
    ExpectRunInProgressUntouched();
}

TEST_F(DeleteDialogs, UserListShownForRealFocusesThePickerAndEnterAccepts) {
    UseSilentServer();
    std::string focusAtStart = "none";
    bool pickerHadFocus = false;
    int phase = 0;
    ModalDriver driver([&](wxDialog& dlg) {
        if (phase == 0) {
            wxWindow* focus = wxWindow::FindFocus();
            pickerHadFocus = Within(focus, &Picker(dlg));
            if (focus)
                focusAtStart = wxString(focus->GetClassInfo()->GetClassName()).ToStdString();
            Picker(dlg).SetValue(Day(29, wxDateTime::Feb, 2008));
            List(dlg).SetItemState(1, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
            phase = 1;
            return false;
        }
        if (driver.SinceActive() < milliseconds(1000))
            return false;
        SaveScreenshotIfAsked(dlg, "dialog-user-list.png");
        List(dlg).SetFocus();
        PressKey(WXK_RETURN);
        return true;
    });
    RunDeleteUserListCommand(m_frame, m_run.users, m_run.sequencer);
    EXPECT_FALSE(driver.TimedOut());
    EXPECT_TRUE(pickerHadFocus) << "focus on " << focusAtStart;
    EXPECT_TRUE(m_run.sequencer.IsRunning());
    EXPECT_EQ(m_run.sequencer.m_nUserCount, 3);
    EXPECT_EQ(m_run.sequencer.m_strAccount, "first@example.test");
    EXPECT_EQ(m_run.sequencer.m_strBeforeDate, "29-Feb-2008");
    ExpectServerReached();
}

TEST_F(DeleteDialogs, UserListEscapeLeavesARunInProgressAlone) {
    StartRunInProgress();
    ModalDriver driver([&](wxDialog& dlg) {
        Picker(dlg).SetValue(Day(5, wxDateTime::Mar, 2007));
        PressKey(WXK_ESCAPE);
        return true;
    });
    RunDeleteUserListCommand(m_frame, m_run.users, m_run.sequencer);
    EXPECT_FALSE(driver.TimedOut());
    ExpectRunInProgressUntouched();
}

TEST_F(DeleteDialogs, ARunGoesOnBehindAnOpenForm) {
    // Two accounts whose server hangs up at once: the run moves from one to
    // the next on its timers and ends, all while the form is open.
    FakeImapServer server;
    server.Accept().Close().Accept().Close();
    server.Start();
    m_run.settings.m_strPort = std::to_string(server.Port());
    m_run.users.m_arrAccounts.resize(2);
    m_run.users.m_arrPasswords.resize(2);
    m_run.sequencer.StartListRun("01-Jan-2001");
    ASSERT_TRUE(m_run.sequencer.IsRunning());

    bool endedWhileOpen = false;
    ModalDriver driver([&](wxDialog&) {
        if (m_run.sequencer.IsRunning())
            return false;
        endedWhileOpen = true;
        PressKey(WXK_ESCAPE);
        return true;
    });
    RunDeleteSingleUserCommand(m_frame, m_run.sequencer);
    EXPECT_FALSE(driver.TimedOut());
    EXPECT_TRUE(endedWhileOpen);
    EXPECT_EQ(server.Connections(), 2);
    ASSERT_FALSE(m_run.host.statuses.empty());
    EXPECT_EQ(m_run.host.statuses.back(), "Operazione completata.");
    EXPECT_TRUE(server.Finish(seconds(10)));
}

TEST_F(DeleteDialogs, EnterAndEscapeInTheOpenCalendarOnlyCloseIt) {
    UseSilentServer();
    int phase = 0;
    int closedWhileModal = 0;
    ModalDriver driver([&](wxDialog& dlg) {
        wxComboCtrl* combo = ComboOf(Picker(dlg));
        if (!combo) {
            ADD_FAILURE() << "the date picker has no drop-down";
            return true;
        }
        switch (phase) {
            case 0:
                Picker(dlg).SetValue(Day(10, wxDateTime::Jan, 2008));
                Picker(dlg).SetFocus();
                combo->ShowPopup();
                phase = 1;
                return false;
            case 1:
            case 3:
                if (!combo->IsPopupShown())
                    return false;
                PressKey(phase == 1 ? WXK_ESCAPE : WXK_RETURN);
                ++phase;
                return false;
            case 2:
                if (combo->IsPopupShown())
                    return false;
                closedWhileModal += dlg.IsModal();
                Picker(dlg).SetValue(Day(11, wxDateTime::Jan, 2008));
                combo->ShowPopup();
                phase = 3;
                return false;
            default:
                if (combo->IsPopupShown())
                    return false;
                closedWhileModal += dlg.IsModal();
                PressKey(WXK_RETURN);  // now the form's own Enter
                return true;
        }
    });
    RunDeleteSingleUserCommand(m_frame, m_run.sequencer);
    EXPECT_FALSE(driver.TimedOut()) << "phase " << phase;
    EXPECT_EQ(phase, 4);
    EXPECT_EQ(closedWhileModal, 2);
    EXPECT_EQ(m_run.sequencer.m_strBeforeDate, "11-Jan-2008");
    ExpectServerReached();
}

// ----------------------------------------- the program against a real server

// The main window as the program opens it, its settings file pointing at the
// private Dovecot on 127.0.0.1, and the forms filled in through their controls.
class DeleteDialogsEndToEnd : public MainWindowFixture {
protected:
    void SetUp() override {
        MainWindowFixture::SetUp();
        DovecotServer& dovecot = DovecotServer::Shared();
        ASSERT_TRUE(dovecot.IsRunning()) << dovecot.StartFailure();
        m_dovecot = &dovecot;
        WriteFileBytes(TestDataFile(kConfigFileName), std::to_string(kMinPauseMs) +
                                                          "\r\n127.0.0.1\r\n" +
                                                          std::to_string(dovecot.Port()) + "\r\n");
    }

    // A new account with three messages either side of 01-Jan-2008.
    std::string NewAccount(const char* prefix, const std::string& password) {
        const std::string user = DovecotServer::UniqueUser(prefix);
        m_dovecot->AddUser(user, password);
        m_dovecot->AddMessages(user, {{UtcTime(2007, 6, 1, 12), "old 1"},
                                      {UtcTime(2007, 12, 30, 12), "old 2"},
                                      {UtcTime(2008, 1, 2, 12), "new 1"},
                                      {UtcTime(2009, 3, 5, 12), "new 2"}});
        return user;
    }

    bool WaitForRunEnd(CMainFrame& frame) {
        return PumpUntil([&] { return !frame.m_run.IsRunning(); }, seconds(60));
    }

    DovecotServer* m_dovecot = nullptr;
    const std::vector<std::string> m_all = {"old 1", "old 2", "new 1", "new 2"};
    const std::vector<std::string> m_kept = {"new 1", "new 2"};
};

TEST_F(DeleteDialogsEndToEnd, SingleUserFormPurgesTheOldMailOfThatAccountOnly) {
    const std::string anna = NewAccount("anna", "pw anna");
    const std::string bruno = NewAccount("bruno", "pw bruno");
    CMainFrame& frame = OpenFrame();
    ASSERT_EQ(frame.m_settings.m_strServerIP, "127.0.0.1");

    wxTEST_DIALOG(Command(frame, ID_DELETE_SINGLE_USER),
                  wxExpectModal<CDlgCancellaSingoloUser>([&](CDlgCancellaSingoloUser& dlg) {
                      dlg.InitDialog();
                      Field(dlg, IDC_EDIT_USER_ACCOUNT).ChangeValue(anna + "  ");
                      Field(dlg, IDC_EDIT_USER_PASSWORD).ChangeValue("pw anna ");
                      Picker(dlg).SetValue(Day(1, wxDateTime::Jan, 2008));
                      return Click(dlg, IDC_DELETE);
                  }));
    ASSERT_TRUE(WaitForRunEnd(frame)) << frame.m_run.m_strStatus;
    EXPECT_EQ(frame.m_run.m_strStatus, "Operazione completata.");
    EXPECT_EQ(m_dovecot->Subjects(anna), m_kept);
    EXPECT_EQ(m_dovecot->Subjects(bruno), m_all);
}

TEST_F(DeleteDialogsEndToEnd, UserListFormPurgesEveryAccountOfTheListFile) {
    const std::string anna = NewAccount("anna", "pw-a");
    const std::string bruno = NewAccount("bruno", "pw-b");
    const std::string carla = NewAccount("carla", "pw-c");  // not in the list
    WriteFileBytes(TestDataFile(kUserListFileName), bruno + ";pw-b\r\n" + anna + ";pw-a\r\n");
    CMainFrame& frame = OpenFrame();

    std::vector<wxString> rows;
    wxTEST_DIALOG(Command(frame, ID_DELETE_USER_LIST),
                  wxExpectModal<CDlgCancellaGlobale>([&](CDlgCancellaGlobale& dlg) {
                      dlg.InitDialog();
                      for (long r = 0; r < List(dlg).GetItemCount(); ++r)
                          rows.push_back(List(dlg).GetItemText(r, 0));
                      // Only the second row selected: the run takes all the same.
                      List(dlg).SetItemState(1, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
                      Picker(dlg).SetValue(Day(1, wxDateTime::Jan, 2008));
                      return Click(dlg, IDC_DELETE);
                  }));
    EXPECT_EQ(rows, (std::vector<wxString>{bruno, anna}));
    ASSERT_TRUE(WaitForRunEnd(frame)) << frame.m_run.m_strStatus;
    EXPECT_EQ(frame.m_run.m_strStatus, "Operazione completata.");
    EXPECT_EQ(m_dovecot->Subjects(anna), m_kept);
    EXPECT_EQ(m_dovecot->Subjects(bruno), m_kept);
    EXPECT_EQ(m_dovecot->Subjects(carla), m_all);
}

}  // namespace
