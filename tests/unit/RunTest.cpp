// Whole runs against a scripted server: the commands each account gets, in
// order, and what the administrator sees, when the server is slow, refuses,
// hangs up, resets or falls silent, and when a run replaces another.
#include <gtest/gtest.h>

#include "support/Harness.h"
#include "support/RunHarness.h"
#include "support/ScriptedServer.h"

namespace {
using Lines = std::vector<std::string>;

// A server that answers every command after `delay`. Connection n serves the
// run's account n, which meets the trouble it is named after.
ScriptedServer::Responder Mailbox(std::chrono::milliseconds delay, Lines accounts = {}) {
    return [=](int connection, const std::string& tag, const std::string& command) {
        const std::string verb = command.substr(0, command.find(' '));
        const size_t n = connection - 1;
        const std::string event = (n < accounts.size() ? accounts[n] : "") + " " + verb;
        Reply reply{tag + " OK " + verb + " completed\r\n", delay};
        if (verb == "SELECT")
            reply.bytes = "* 5 EXISTS\r\n" + tag + " OK [READ-WRITE] SELECT completed\r\n";
        if (verb == "SEARCH")
            reply.bytes = "* SEARCH 2 5 4\r\n" + reply.bytes;
        if (event == "storeno STORE")
            reply.bytes = tag + " NO [CANNOT] not now\r\n";
        if (event == "hangup LOGIN")
            reply.end = Reply::Close;
        if (event == "reset SELECT")
            reply = {"", delay, Reply::Reset};
        if (event == "silent LOGIN")
            reply.delay = 1h;
        return reply;
    };
}
}  // namespace

TEST(Run, WaitsForEveryAnswerAndGoesOnPastEachFailedAccount) {
    const Lines accounts = {"done", "storeno", "hangup", "silent", "reset"};
    const auto slow = 60ms;  // three pauses
    ScriptedServer server(Mailbox(slow, accounts), {"* OK ready\r\n", slow});
    TestRun run(server.Port(), 20);
    run.sequencer.SetSilenceLimit(500ms);
    run.users.m_arrAccounts = accounts;
    run.users.m_arrPasswords.assign(5, "pw");
    run.sequencer.StartListRun("01-Jan-2024");
    ASSERT_TRUE(run.WaitForEnd());

    // clang-format off
    EXPECT_EQ(server.Received(), (Lines{
        "1: a000000 LOGIN done pw", "1: a000001 SELECT INBOX", "1: a000002 SEARCH ALL BEFORE 01-Jan-2024",
        "1: a000003 STORE 2:2,4:5 +FLAGS \\Deleted", "1: a000004 EXPUNGE", "1: a000005 LOGOUT",
        "2: a000006 LOGIN storeno pw", "2: a000007 SELECT INBOX", "2: a000008 SEARCH ALL BEFORE 01-Jan-2024",
        "2: a000009 STORE 2:2,4:5 +FLAGS \\Deleted", "2: a000010 LOGOUT",  // and no EXPUNGE
        "3: a000011 LOGIN hangup pw",  // a000012: the SELECT that found no connection
        "4: a000013 LOGIN silent pw",
        "5: a000014 LOGIN reset pw", "5: a000015 SELECT INBOX"}));
    const std::string connected = "Connected to server 127.0.0.1";
    const std::string searching = "Search mails with date before 01-Jan-2024";
    EXPECT_EQ(run.statuses, (Lines{
        connected, "Login User done", searching, "Deleting 3 mails", "Logout from exchange server.",
        connected, "Login User storeno", searching, "Deleting 3 mails", "Failed for user storeno: store rejected",
        connected, "Login User hangup", "Failed for user hangup: server closed the connection",
        connected, "Login User silent", "Failed for user silent: no answer from server",
        connected, "Login User reset", "Failed for user reset: connection reset",
        "Operazione completata."}));
    // clang-format on
}

TEST(Run, AReplacedRunStartsWithItsOwnFirstAccount) {
    ScriptedServer server(Mailbox(0ms));
    TestRun run(server.Port());
    run.users.m_arrAccounts = {"old1", "old2"};
    run.users.m_arrPasswords = {"pw", "pw"};
    run.sequencer.StartListRun("01-Jan-2024");
    // The old run's pause after its first logout is under way when the new one starts.
    ASSERT_TRUE(PumpUntil([&] { return run.IsArmed(TIMER_NEXT_USER); }));
    run.users.m_arrAccounts = {"new1", "new2"};
    run.sequencer.StartListRun("01-Jan-2024");
    ASSERT_TRUE(run.WaitForEnd());
    Lines logins;
    for (const std::string& line : server.Received())
        if (line.find(" LOGIN ") != std::string::npos)
            logins.push_back(line.substr(line.find(" LOGIN ") + 7));
    EXPECT_EQ(logins, (Lines{"old1 pw", "new1 pw", "new2 pw"}));
}

TEST(Run, AServerThatIsNotThereFailsTheAccount) {
    TestRun run(1);  // nothing listens on port 1 of the loopback
    run.sequencer.StartSingleRun("u", "pw", "01-Jan-2024");
    ASSERT_TRUE(run.WaitForEnd());
    EXPECT_EQ(run.statuses,
              (Lines{"Connected to server 127.0.0.1", "Failed for user u: connection refused",
                     "Operazione completata."}));
}
