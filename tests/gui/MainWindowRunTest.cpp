// The main window's commands and the run it hosts: the three Manage commands
// reach their forms and the run, timer ticks drive the run, everything stays
// available during a run, and closing (close box or File -> Exit) saves the
// settings and ends the connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <wx/aui/auibar.h>
#include <wx/uiaction.h>

#include "app/AboutDlg.h"
#include "dialogs/DlgCancellaGlobale.h"
#include "dialogs/DlgCancellaSingoloUser.h"
#include "gui/DialogTestKit.h"
#include "gui/MainWindowTestFixture.h"
#include "settings/DlgConfigura.h"
#include "support/Dovecot.h"

using namespace std::chrono_literals;

// ------------------------------------------------------------- local servers

SilentServer::SilentServer() {
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (m_listener < 0 ||
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_listener, 8) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ADD_FAILURE() << "no listener on 127.0.0.1";
        return;
    }
    m_port = ntohs(addr.sin_port);
}

SilentServer::~SilentServer() {
    if (m_peer >= 0)
        ::close(m_peer);
    if (m_listener >= 0)
        ::close(m_listener);
}

bool SilentServer::Accept(std::chrono::milliseconds limit) {
    return PumpUntil(
        [this] {
            pollfd p{m_listener, POLLIN, 0};
            if (::poll(&p, 1, 0) != 1)
                return false;
            m_peer = ::accept(m_listener, nullptr, nullptr);
            return m_peer >= 0;
        },
        limit);
}

bool SilentServer::PeerClosed(std::chrono::milliseconds limit) {
    if (m_peer < 0)
        return false;
    return PumpUntil(
        [this] {
            pollfd p{m_peer, POLLIN, 0};
            if (::poll(&p, 1, 0) != 1)
                return false;
            char byte;
            return ::recv(m_peer, &byte, 1, MSG_DONTWAIT) == 0;
        },
        limit);
}

unsigned RefusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

namespace {

class MainWindowRun : public MainWindowFixture {
protected:
    // Settings that point the run at 127.0.0.1:port with a short pause.
    static void PointAt(CMainFrame& frame, unsigned port, int pauseMs = 100) {
        frame.m_settings.m_strServerIP = "127.0.0.1";
        frame.m_settings.m_strPort = std::to_string(port);
        frame.m_settings.m_nPauseMs = pauseMs;
    }

    // Clicks a toolbar button with the mouse, as the user would.
    static void ClickTool(CMainFrame& frame, int id) {
        wxAuiToolBar* tb = frame.GetMainToolBar();
        const wxRect rect = tb->GetToolRect(id);
        const wxPoint centre = tb->ClientToScreen(rect.GetPosition() + rect.GetSize() / 2);
        wxUIActionSimulator sim;
        // Point at the button first, so that it is the hovered one when pressed.
        sim.MouseMove(centre - wxPoint(2, 2));
        PumpFor(100ms);
        sim.MouseMove(centre);
        PumpFor(100ms);
        sim.MouseClick();
    }
};

TEST_F(MainWindowRun, ConfigurationCommandShowsTheSettingsAndKeepsWhatIsSet) {
    CMainFrame& frame = OpenFrame();
    wxTEST_DIALOG(Command(frame, ID_CONFIGURATION),
                  ExpectForm<CDlgConfigura>([&](CDlgConfigura& dlg) {
                      EXPECT_EQ(dlg.GetParent(), &frame);
                      EXPECT_EQ(dlg.m_strServerIP, kDefaultServerIP);
                      EXPECT_EQ(dlg.m_strPause, "1000");
                      EXPECT_EQ(dlg.m_strPort, "143");
                      dlg.m_strServerIP = "127.0.0.1";
                      dlg.m_strPause = "50";
                      dlg.m_strPort = "00993";
                      return wxID_OK;
                  }));
    EXPECT_EQ(frame.m_settings.m_nPauseMs, kMinPauseMs);
    EXPECT_EQ(frame.m_settings.m_strServerIP, "127.0.0.1");
    EXPECT_EQ(frame.m_settings.m_strPort, "993");

    // Cancel keeps them.
    wxTEST_DIALOG(Command(frame, ID_CONFIGURATION),
                  ExpectForm<CDlgConfigura>([&](CDlgConfigura& dlg) {
                      EXPECT_EQ(dlg.m_strServerIP, "127.0.0.1");
                      dlg.m_strServerIP = "10.1.1.1";
                      return wxID_CANCEL;
                  }));
    EXPECT_EQ(frame.m_settings.m_strServerIP, "127.0.0.1");

    // Only kept in memory until the window closes.
    EXPECT_FALSE(std::filesystem::exists(TestDataFile(kConfigFileName)));
    frame.Close();
    ASSERT_TRUE(PumpUntil([this] { return !m_frame; }, 10s));
    EXPECT_EQ(ReadFileBytes(TestDataFile(kConfigFileName)), "100\r\n127.0.0.1\r\n993\r\n");
}

TEST_F(MainWindowRun, DeleteForASingleUserStartsTheWindowsRun) {
    SilentServer server;
    CMainFrame& frame = OpenFrame();
    PointAt(frame, server.Port());
    wxTEST_DIALOG(Command(frame, ID_DELETE_SINGLE_USER),
                  ExpectForm<CDlgCancellaSingoloUser>([&](CDlgCancellaSingoloUser& dlg) {
                      EXPECT_EQ(dlg.GetParent(), &frame);
                      dlg.m_strUserAccount = "anna";
                      dlg.m_strUserPassword = "secret";
                      dlg.m_dtBefore = wxDateTime(11, wxDateTime::Jan, 2008);
                      return wxID_OK;
                  }));
    EXPECT_TRUE(frame.m_run.IsRunning());
    EXPECT_EQ(frame.m_run.m_strAccount, "anna");
    EXPECT_EQ(frame.m_run.m_strPassword, "secret");
    EXPECT_EQ(frame.m_run.m_strBeforeDate, "11-Jan-2008");
    EXPECT_EQ(StatusText(), "Connected to server 127.0.0.1");
    EXPECT_TRUE(server.Accept());
}

TEST_F(MainWindowRun, DeleteForTheUserListRunsTheListReadAtStart) {
    WriteFileBytes(TestDataFile(kUserListFileName), "anna;pw1\r\nbruno;pw2\r\n");
    SilentServer server;
    CMainFrame& frame = OpenFrame();
    ASSERT_EQ(frame.m_users.m_arrAccounts.size(), 2u);
    PointAt(frame, server.Port());
    wxTEST_DIALOG(Command(frame, ID_DELETE_USER_LIST),
                  ExpectForm<CDlgCancellaGlobale>([&](CDlgCancellaGlobale& dlg) {
                      EXPECT_EQ(dlg.GetParent(), &frame);
                      EXPECT_EQ(&dlg.m_users, &frame.m_users);
                      dlg.m_dtBefore = wxDateTime(2, wxDateTime::Mar, 2007);
                      return wxID_OK;
                  }));
    EXPECT_TRUE(frame.m_run.IsRunning());
    EXPECT_EQ(frame.m_run.m_nUserCount, 2);
    EXPECT_EQ(frame.m_run.m_strAccount, "anna");
    EXPECT_EQ(frame.m_run.m_strBeforeDate, "02-Mar-2007");
    EXPECT_TRUE(server.Accept());
}

TEST_F(MainWindowRun, CancelledFormsStartNothing) {
    CMainFrame& frame = OpenFrame();
    wxTEST_DIALOG(Command(frame, ID_DELETE_SINGLE_USER),
                  ExpectForm<CDlgCancellaSingoloUser>([](auto&) { return wxID_CANCEL; }));
    wxTEST_DIALOG(Command(frame, ID_DELETE_USER_LIST),
                  ExpectForm<CDlgCancellaGlobale>([](auto&) { return wxID_CANCEL; }));
    EXPECT_FALSE(frame.m_run.IsRunning());
    EXPECT_EQ(StatusText(), "Ready");
}

TEST_F(MainWindowRun, ToolbarButtonsOpenTheirForms) {
    CMainFrame& frame = OpenFrame();
    int shown = 0;
    auto count = [&](auto&) {
        ++shown;
        return wxID_CANCEL;
    };
    wxTEST_DIALOG(
        {
            ClickTool(frame, ID_CONFIGURATION);
            PumpUntil([&] { return shown == 1; }, 5s);
        },
        ExpectForm<CDlgConfigura>(count));
    wxTEST_DIALOG(
        {
            ClickTool(frame, ID_DELETE_SINGLE_USER);
            PumpUntil([&] { return shown == 2; }, 5s);
        },
        ExpectForm<CDlgCancellaSingoloUser>(count));
    wxTEST_DIALOG(
        {
            ClickTool(frame, ID_DELETE_USER_LIST);
            PumpUntil([&] { return shown == 3; }, 5s);
        },
        ExpectForm<CDlgCancellaGlobale>(count));
    wxTEST_DIALOG(
        {
            ClickTool(frame, wxID_ABOUT);
            PumpUntil([&] { return shown == 4; }, 5s);
        },
        ExpectForm<CAboutDlg>(count));
    EXPECT_EQ(shown, 4);
}

TEST_F(MainWindowRun, EverythingStaysAvailableDuringARun) {
    SilentServer server;
    CMainFrame& frame = OpenFrame();
    PointAt(frame, server.Port());
    frame.m_run.StartSingleRun("anna", "secret", "11-Jan-2008");
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(frame.m_run.IsRunning());
    RunIdleUpdates(frame);

    wxMenuBar* bar = frame.GetMenuBar();
    for (int id : {int(ID_CONFIGURATION), int(ID_DELETE_SINGLE_USER), int(ID_DELETE_USER_LIST),
                   int(wxID_ABOUT), int(wxID_EXIT), int(ID_VIEW_TOOLBAR), int(ID_VIEW_STATUS_BAR)})
        EXPECT_TRUE(bar->IsEnabled(id)) << id;
    wxAuiToolBar* tb = frame.GetMainToolBar();
    for (int id : {int(ID_CONFIGURATION), int(ID_DELETE_SINGLE_USER), int(ID_DELETE_USER_LIST),
                   int(wxID_ABOUT)})
        EXPECT_TRUE(tb->GetToolEnabled(id)) << id;

    // The forms open over the running run, which goes on.
    int shown = 0;
    auto count = [&](auto&) {
        ++shown;
        return wxID_CANCEL;
    };
    wxTEST_DIALOG(Command(frame, ID_CONFIGURATION), ExpectForm<CDlgConfigura>(count));
    wxTEST_DIALOG(Command(frame, ID_DELETE_SINGLE_USER),
                  ExpectForm<CDlgCancellaSingoloUser>(count));
    wxTEST_DIALOG(Command(frame, ID_DELETE_USER_LIST), ExpectForm<CDlgCancellaGlobale>(count));
    wxTEST_DIALOG(Command(frame, wxID_ABOUT), ExpectForm<CAboutDlg>(count));
    EXPECT_EQ(shown, 4);
    EXPECT_TRUE(frame.m_run.IsRunning());
    EXPECT_EQ(frame.m_run.m_strAccount, "anna");
}

TEST_F(MainWindowRun, TimerTicksDriveTheRunToItsEnd) {
    CMainFrame& frame = OpenFrame();
    PointAt(frame, RefusedPort(), kMinPauseMs);
    frame.m_users.m_arrAccounts = {"anna", "bruno"};
    frame.m_users.m_arrPasswords = {"pw1", "pw2"};
    // Each account fails on a step tick (connection refused) and the next one
    // starts on a next-user tick: the run only ends if both timers reach it.
    frame.m_run.StartListRun("11-Jan-2008");
    ASSERT_TRUE(frame.m_run.IsRunning());
    ASSERT_TRUE(PumpUntil([&] { return !frame.m_run.IsRunning(); }, 20s))
        << "stuck at account " << frame.m_run.m_nUserIndex << ", status "
        << frame.m_run.m_strStatus;
    EXPECT_EQ(frame.m_run.m_nUserIndex, 2);
    EXPECT_EQ(StatusText(), "Operazione completata.");
    const std::string& log = m_transcript.Tail();
    EXPECT_NE(log.find("Failed for user anna"), std::string::npos) << log;
    EXPECT_NE(log.find("Failed for user bruno"), std::string::npos) << log;
}

TEST_F(MainWindowRun, StatusLineShowsEachRunStatusAtOnce) {
    CMainFrame& frame = OpenFrame();
    frame.ShowStatus("Login User anna");
    // Shown without waiting for the event loop.
    EXPECT_EQ(StatusText(), "Login User anna");
    frame.ShowStatus("Search mails with date before 11-Jan-2008");
    EXPECT_EQ(StatusText(), "Search mails with date before 11-Jan-2008");
    // Bytes that are not UTF-8 still show (as Latin-1).
    frame.ShowStatus("Failed for user m\xFCller: refused");
    EXPECT_EQ(StatusText(), wxString::FromUTF8("Failed for user m\xC3\xBCller: refused"));
    EXPECT_EQ(StatusText(1), wxGetKeyState(WXK_CAPITAL) ? "CAP" : "");
}

TEST_F(MainWindowRun, HostTimersFireUnderTheirIdsAndStop) {
    CMainFrame& frame = OpenFrame();
    std::vector<int> ticks;
    // Watch the ticks on their way to the frame.
    frame.Bind(wxEVT_TIMER, [&](wxTimerEvent& e) {
        ticks.push_back(e.GetId());
        e.Skip();
    });
    frame.SetTimer(TIMER_STEP, 20);
    ASSERT_TRUE(PumpUntil([&] { return ticks.size() >= 2; }, 5s));
    frame.KillTimer(TIMER_STEP);
    PumpFor(50ms);
    const size_t afterKill = ticks.size();
    PumpFor(200ms);
    EXPECT_EQ(ticks.size(), afterKill);
    for (int id : ticks)
        EXPECT_EQ(id, TIMER_STEP);

    ticks.clear();
    frame.SetTimer(TIMER_NEXT_USER, 20);
    ASSERT_TRUE(PumpUntil([&] { return !ticks.empty(); }, 5s));
    frame.KillTimer(TIMER_NEXT_USER);
    EXPECT_EQ(ticks.front(), TIMER_NEXT_USER);
}

TEST_F(MainWindowRun, ListRunAgainstDovecotDeletesOldMailThroughTheWindow) {
    DovecotServer& dovecot = DovecotServer::Shared();
    ASSERT_TRUE(dovecot.IsRunning()) << dovecot.StartFailure();
    const std::string anna = DovecotServer::UniqueUser("anna");
    const std::string bruno = DovecotServer::UniqueUser("bruno");
    dovecot.AddUser(anna, "pw-a");
    dovecot.AddUser(bruno, "pw-b");
    dovecot.AddMessages(anna,
                        {{UtcTime(2019, 5, 1, 12), "old a"}, {UtcTime(2021, 5, 1, 12), "new a"}});
    dovecot.AddMessages(bruno, {{UtcTime(2018, 1, 1, 12), "old b1"},
                                {UtcTime(2019, 12, 30, 12), "old b2"},
                                {UtcTime(2020, 1, 2, 12), "new b"}});
    WriteFileBytes(TestDataFile(kUserListFileName), anna + ";pw-a\r\n" + bruno + ";pw-b\r\n");

    CMainFrame& frame = OpenFrame();
    PointAt(frame, dovecot.Port(), kMinPauseMs);
    wxTEST_DIALOG(Command(frame, ID_DELETE_USER_LIST),
                  ExpectForm<CDlgCancellaGlobale>([](CDlgCancellaGlobale& dlg) {
                      dlg.m_dtBefore = wxDateTime(1, wxDateTime::Jan, 2020);
                      return wxID_OK;
                  }));
    ASSERT_TRUE(PumpUntil([&] { return !frame.m_run.IsRunning(); }, 60s))
        << frame.m_run.m_strStatus;
    EXPECT_EQ(StatusText(), "Operazione completata.");
    EXPECT_EQ(dovecot.Subjects(anna), std::vector<std::string>{"new a"});
    EXPECT_EQ(dovecot.Subjects(bruno), std::vector<std::string>{"new b"});
}

// Both ways out take the same path: connection closed, settings written,
// window gone.
class MainWindowClose : public MainWindowRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(MainWindowClose, DuringARunSavesTheSettingsAndEndsTheConnection) {
    SilentServer server;
    CMainFrame& frame = OpenFrame();
    PointAt(frame, server.Port(), 250);
    frame.m_run.StartSingleRun("anna", "secret", "11-Jan-2008");
    ASSERT_TRUE(server.Accept());
    // The folder went away meanwhile: it is made again.
    ResetTestDataFolder(false);

    int closeEvents = 0;
    frame.Bind(wxEVT_CLOSE_WINDOW, [&](wxCloseEvent& e) {
        ++closeEvents;
        e.Skip();
    });
    if (std::string(GetParam()) == "exit")
        Command(frame, wxID_EXIT);
    else
        frame.Close();
    ASSERT_TRUE(PumpUntil([this] { return !m_frame; }, 10s));
    EXPECT_EQ(closeEvents, 1);
    EXPECT_EQ(ReadFileBytes(TestDataFile(kConfigFileName)),
              "250\r\n127.0.0.1\r\n" + std::to_string(server.Port()) + "\r\n");
    EXPECT_TRUE(server.PeerClosed());
    // No tick of the run may come after the window is gone.
    PumpFor(400ms);
}

INSTANTIATE_TEST_SUITE_P(Ways, MainWindowClose, ::testing::Values("closebox", "exit"));

}  // namespace
