// Whole runs against the private Dovecot: what the server holds afterwards,
// and the status lines the administrator sees on the way.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/Dovecot.h"
#include "support/EventPump.h"
#include "support/HeadlessRunHost.h"

namespace {
using Texts = std::vector<std::string>;

const std::time_t kOld = UtcTime(2020, 1, 15, 10);
const std::time_t kNew = UtcTime(2020, 8, 1, 10);
const char* const kCutoff = "01-Jun-2020";

DovecotServer& Server() {
    DovecotServer& s = DovecotServer::Shared();
    EXPECT_TRUE(s.IsRunning()) << s.StartFailure();
    return s;
}

// A user with old and new mail interleaved, so that a first:last range over the
// old ones would also hit new ones.
std::string InterleavedUser(DovecotServer& s, const std::string& password = "pw") {
    const std::string user = DovecotServer::UniqueUser("run");
    s.AddUser(user, password);
    s.AddMessages(user,
                  {{kOld, "old1"}, {kNew, "new1"}, {kOld, "old2"}, {kOld, "old3"}, {kNew, "new2"}});
    return user;
}

void PointAt(HeadlessRun& run, unsigned port) {
    run.settings.m_nPauseMs = 100;
    run.settings.m_strServerIP = "127.0.0.1";
    run.settings.m_strPort = std::to_string(port);
}

Texts AccountStatuses(const std::string& user, const std::string& deleting) {
    return {"Connected to server 127.0.0.1", "Login User " + user,
            std::string("Search mails with date before ") + kCutoff, deleting,
            "Logout from exchange server."};
}
}  // namespace

TEST(RunAgainstDovecot, SingleRunDeletesExactlyTheOldMessages) {
    DovecotServer& s = Server();
    const std::string user = InterleavedUser(s);
    HeadlessRun run;
    PointAt(run, s.Port());
    const auto start = std::chrono::steady_clock::now();
    run.sequencer.StartSingleRun(user, "pw", kCutoff);
    ASSERT_TRUE(run.WaitForEnd());
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(s.Subjects(user), (Texts{"new1", "new2"}));
    Texts want = AccountStatuses(user, "Deleting 3 mails");
    want.push_back("Operazione completata.");
    EXPECT_EQ(run.host.statuses, want);
    EXPECT_EQ(run.sequencer.m_strStatus, "Operazione completata.");
    // Six step pauses and the pause after the logout, at the least.
    EXPECT_GE(elapsed, std::chrono::milliseconds(7 * 100));
    EXPECT_FALSE(run.host.IsArmed(TIMER_STEP));
    EXPECT_FALSE(run.host.IsArmed(TIMER_NEXT_USER));
    EXPECT_NE(run.transcript.Tail().find(" STORE 1:1,3:4 +FLAGS \\Deleted\r\n"), std::string::npos);
}

TEST(RunAgainstDovecot, ListRunGoesOnPastAFailedAccount) {
    DovecotServer& s = Server();
    const std::string a = InterleavedUser(s), b = InterleavedUser(s), c = InterleavedUser(s);
    HeadlessRun run;
    PointAt(run, s.Port());
    run.users.m_arrAccounts = {a, b, c};
    run.users.m_arrPasswords = {"pw", "wrong", "pw"};
    run.sequencer.StartListRun(kCutoff);
    ASSERT_TRUE(run.WaitForEnd());

    EXPECT_EQ(s.Subjects(a), (Texts{"new1", "new2"}));
    EXPECT_EQ(s.Subjects(b).size(), 5u);
    EXPECT_EQ(s.Subjects(c), (Texts{"new1", "new2"}));
    Texts want = AccountStatuses(a, "Deleting 3 mails");
    want.insert(want.end(), {"Connected to server 127.0.0.1", "Login User " + b,
                             "Failed for user " + b + ": login rejected"});
    for (const auto& line : AccountStatuses(c, "Deleting 3 mails"))
        want.push_back(line);
    want.push_back("Operazione completata.");
    EXPECT_EQ(run.host.statuses, want);
    // The server's own answer and the reason are in the transcript.
    const std::string& t = run.transcript.Tail();
    EXPECT_NE(t.find("NO [AUTHENTICATIONFAILED]"), std::string::npos);
    EXPECT_NE(t.find("\nFailed for user " + b + ": login rejected\n"), std::string::npos);
}

TEST(RunAgainstDovecot, EmptySearchStoresNothingButStillExpungesAndLogsOut) {
    DovecotServer& s = Server();
    const std::string user = DovecotServer::UniqueUser("empty");
    s.AddUser(user, "pw");
    s.AddMessages(user, {{kNew, "new1"}});
    HeadlessRun run;
    PointAt(run, s.Port());
    run.sequencer.StartSingleRun(user, "pw", kCutoff);
    ASSERT_TRUE(run.WaitForEnd());
    EXPECT_EQ(s.Subjects(user), (Texts{"new1"}));
    Texts want = AccountStatuses(user, "No message found");
    want.push_back("Operazione completata.");
    EXPECT_EQ(run.host.statuses, want);
    const std::string& t = run.transcript.Tail();
    EXPECT_EQ(t.find(" STORE "), std::string::npos);
    EXPECT_NE(t.find("\nVUOTA\na000003 EXPUNGE\r\n"), std::string::npos) << t;
    EXPECT_NE(t.find("a000004 LOGOUT\r\n"), std::string::npos);
}

TEST(RunAgainstDovecot, ARunStartedDuringARunBeginsWithItsFirstAccount) {
    DovecotServer& s = Server();
    const std::string first = InterleavedUser(s), second = InterleavedUser(s);
    const std::string x = InterleavedUser(s), y = InterleavedUser(s);
    HeadlessRun run;
    PointAt(run, s.Port());
    run.users.m_arrAccounts = {first, second};
    run.users.m_arrPasswords = {"pw", "pw"};
    run.sequencer.StartListRun(kCutoff);
    // Wait until the old run has armed the pause after its first logout.
    ASSERT_TRUE(PumpUntil([&] { return run.host.IsArmed(TIMER_NEXT_USER); }));
    run.users.m_arrAccounts = {x, y};
    run.sequencer.StartListRun(kCutoff);
    ASSERT_TRUE(run.WaitForEnd());

    const auto connects = std::count(run.host.statuses.begin(), run.host.statuses.end(),
                                     "Connected to server 127.0.0.1");
    EXPECT_EQ(connects, 3);  // first, then x and y: the stale tick skipped nobody
    const auto at =
        std::find(run.host.statuses.begin(), run.host.statuses.end(), "Login User " + x);
    ASSERT_NE(at, run.host.statuses.end());
    EXPECT_EQ(s.Subjects(x), (Texts{"new1", "new2"}));
    EXPECT_EQ(s.Subjects(y), (Texts{"new1", "new2"}));
    EXPECT_EQ(s.Subjects(second).size(), 5u);
}

TEST(RunAgainstDovecot, RefusedConnectionEndsTheAccountAndTheRun) {
    HeadlessRun run;
    PointAt(run, 1);  // nobody listens on port 1 of the loopback
    run.sequencer.StartSingleRun("someone", "pw", kCutoff);
    ASSERT_TRUE(run.WaitForEnd());
    EXPECT_EQ(run.host.statuses,
              (Texts{"Connected to server 127.0.0.1", "Failed for user someone: connection refused",
                     "Operazione completata."}));
}
