// Whole runs against a scripted server: the commands each account gets, in
// order, and what the administrator sees, when the server is slow, refuses,
// hangs up, resets or falls silent, and when a run replaces another.
#include <gtest/gtest.h>

#include "support/Harness.h"
#include "support/RunHarness.h"
#include "support/ScriptedServer.h"

namespace {
using Lines = std::vector<std::string>;

// A server without UIDPLUS that answers every command after `delay`.
// Connection n serves the run's account n, which meets the trouble it is
// named after.
ScriptedServer::Responder Mailbox(std::chrono::milliseconds delay, Lines accounts = {}) {
    return [=](int connection, const std::string& tag, const std::string& command) {
        const std::string verb = command.substr(0, command.find(' '));
        const size_t n = connection - 1;
        const std::string event = (n < accounts.size() ? accounts[n] : "") + " " + command;
        std::string found = command == "SEARCH DELETED" ? "2 4 5" : "2 5 4";
        if (event == "foreign SEARCH DELETED")
            found = "1 2 4 5";
        Reply reply{tag + " OK " + verb + " completed\r\n", delay};
        if (verb == "CAPABILITY")
            reply.bytes = "* CAPABILITY IMAP4rev1\r\n" + reply.bytes;
        if (verb == "SELECT")
            reply.bytes = "* 5 EXISTS\r\n" + tag + " OK [READ-WRITE] SELECT completed\r\n";
        if (verb == "SEARCH")
            reply.bytes = "* SEARCH " + found + "\r\n" + reply.bytes;
        if (verb == "EXPUNGE")
            reply.bytes = "* 5 EXPUNGE\r\n* 4 EXPUNGE\r\n* 2 EXPUNGE\r\n" + reply.bytes;
        if (event.rfind("storeno STORE", 0) == 0)
            reply.bytes = tag + " NO [CANNOT] not now\r\n";
        if (event.rfind("hangup LOGIN", 0) == 0 || event.rfind("lost STORE", 0) == 0)
            reply.end = Reply::Close;
        if (event == "reset SELECT INBOX")
            reply = {"", delay, Reply::Reset};
        if (event.rfind("silent LOGIN", 0) == 0)
            reply.delay = 1h;
        if (event.rfind("renumber STORE", 0) == 0)
            reply.bytes = "* 1 EXPUNGE\r\n" + reply.bytes;
        return reply;
    };
}

const std::string store =
    " | CAPABILITY | SELECT INBOX | SEARCH ALL BEFORE 01-Jan-2024 | STORE 2:2,4:5 +FLAGS \\Deleted";

// Each connection's commands, without their tags, on one line.
Lines Dialogues(const ScriptedServer& server) {
    Lines lines;
    for (const std::string& line : server.Received()) {
        const size_t connection = std::stoul(line);
        if (lines.size() < connection)
            lines.emplace_back(line.substr(0, line.find(' ')));
        lines.back() +=
            (lines.back().back() == ':' ? " " : " | ") + line.substr(line.find(' ', 3) + 1);
    }
    return lines;
}
}  // namespace

TEST(Run, WaitsForEveryAnswerAndEndsEachFailedAccountWithoutFlagsLeft) {
    const Lines accounts = {"done",    "storeno", "hangup",   "silent", "reset",
                            "foreign", "lost",    "renumber", "stopped"};
    const auto slow = 60ms;  // three pauses
    ScriptedServer server(Mailbox(slow, accounts), {"* OK ready\r\n", slow});
    TestRun run(server.Port(), 20);
    run.sequencer.SetSilenceLimit(500ms);
    run.users.m_arrAccounts = accounts;
    run.users.m_arrPasswords.assign(accounts.size(), "pw");
    run.sequencer.StartListRun("01-Jan-2024");
    // The administrator stops the run while the last account's STORE is under way.
    ASSERT_TRUE(PumpUntil(
        [&] {
            return run.sequencer.Step() == STEP_STORE && run.sequencer.m_strAccount == "stopped";
        },
        20s));
    bool stopped = false;
    run.sequencer.Stop([&] { stopped = true; });
    ASSERT_TRUE(PumpUntil([&] { return stopped; }));

    const Lines want = {
        "1: CAPABILITY | LOGIN done pw" + store + " | SEARCH DELETED | EXPUNGE | LOGOUT",
        "2: CAPABILITY | LOGIN storeno pw" + store + " | LOGOUT",  // nothing flagged, no EXPUNGE
        "3: CAPABILITY | LOGIN hangup pw", "4: CAPABILITY | LOGIN silent pw",
        "5: CAPABILITY | LOGIN reset pw | CAPABILITY | SELECT INBOX",
        "6: CAPABILITY | LOGIN foreign pw" + store +
            " | SEARCH DELETED | STORE 2:2,4:5 -FLAGS (\\Deleted) | LOGOUT",
        "7: CAPABILITY | LOGIN lost pw" + store,
        // STORE answered with an EXPUNGE: either reading of its numbers is unflagged.
        "8: CAPABILITY | LOGIN renumber pw" + store + " | STORE 1:5 -FLAGS (\\Deleted) | LOGOUT",
        "9: CAPABILITY | LOGIN stopped pw" + store +
            " | STORE 2:2,4:5 -FLAGS (\\Deleted) | LOGOUT"};
    PumpUntil([&] { return Dialogues(server) == want; });  // the last LOGOUT may be on its way
    EXPECT_EQ(Dialogues(server), want);
    Lines failures;
    for (const std::string& status : run.statuses)
        if (status.rfind("Failed", 0) == 0)
            failures.push_back(status.substr(16));
#ifdef _WIN32
    const std::string reset = "reset: server closed the connection";  // Wine loses the RST
#else
    const std::string reset = "reset: connection reset";
#endif
    EXPECT_EQ(failures, (Lines{"storeno: store rejected", "hangup: server closed the connection",
                               "silent: no answer from server", reset,
                               "foreign: other messages are marked deleted; deleted flags removed",
                               "lost: server closed the connection; deleted flags may remain",
                               "renumber: server renumbered the mailbox; deleted flags may remain",
                               "stopped: run stopped; deleted flags removed"}));
}

TEST(Run, AReplacedRunStartsWithItsOwnFirstAccount) {
    ScriptedServer server(Mailbox(0ms));
    TestRun run(server.Port());
    run.users.m_arrAccounts = {"old1", "old2"};
    run.users.m_arrPasswords = {"pw", "pw"};
    run.sequencer.StartListRun("01-Jan-2024");
    // The old run's pause after its first logout is under way when the new one starts.
    ASSERT_TRUE(PumpUntil([&] { return run.timers[TIMER_NEXT_USER].IsRunning(); }));
    run.users.m_arrAccounts = {"new1", "new2"};
    run.sequencer.StartListRun("01-Jan-2024");
    ASSERT_TRUE(run.WaitForEnd());
    Lines logins;
    for (const std::string& line : server.Received())
        if (line.find(" LOGIN ") != std::string::npos)
            logins.push_back(line.substr(line.find(" LOGIN ") + 7));
    EXPECT_EQ(logins, (Lines{"old1 pw", "new1 pw", "new2 pw"}));
}

// Exchange Online's answer to a burst: the command again after the suggested
// pause, on the same connection or, after a hang-up, on a new one; a second
// throttle ends the account.
TEST(Run, AThrottledCommandIsSentAgainOnceAfterTheSuggestedPause) {
    const std::string throttled =
        " BAD Request is throttled. Suggested Backoff Time: 50 milliseconds\r\n";
    int stores = 0;
    ScriptedServer server([&, mailbox = Mailbox(0ms)](int connection, const std::string& tag,
                                                      const std::string& command) {
        const std::string verb = command.substr(0, command.find(' '));
        if ((connection == 1 && verb == "STORE" && ++stores == 1) ||
            (connection == 4 && verb == "SEARCH") || (connection == 5 && verb == "CAPABILITY"))
            return Reply{tag + throttled};
        if (connection == 2 && verb == "LOGIN")
            return Reply{tag + throttled, 0ms, Reply::Close};
        return mailbox(connection, tag, command);
    });
    TestRun run(server.Port());
    run.users.m_arrAccounts = {"store", "close", "twice", "greeted"};
    run.users.m_arrPasswords.assign(4, "pw");
    run.sequencer.StartListRun("01-Jan-2024");
    ASSERT_TRUE(run.WaitForEnd());
    const std::string search = " | CAPABILITY | SELECT INBOX | SEARCH ALL BEFORE 01-Jan-2024";
    EXPECT_EQ(
        Dialogues(server),
        (Lines{
            "1: CAPABILITY | LOGIN store pw" + store +
                " | STORE 2:2,4:5 +FLAGS \\Deleted | SEARCH DELETED | EXPUNGE | LOGOUT",
            "2: CAPABILITY | LOGIN close pw",
            "3: CAPABILITY | LOGIN close pw" + store + " | SEARCH DELETED | EXPUNGE | LOGOUT",
            "4: CAPABILITY | LOGIN twice pw" + search + search.substr(search.rfind(" |")) +
                " | LOGOUT",
            "5: CAPABILITY",  // the greeting's: connecting again
            "6: CAPABILITY | LOGIN greeted pw" + store + " | SEARCH DELETED | EXPUNGE | LOGOUT"}));
    ASSERT_EQ(run.sequencer.m_results.size(), 4u);
    EXPECT_EQ(run.sequencer.m_results[3].failure, "");
    EXPECT_EQ(run.sequencer.m_results[0].failure, "");
    EXPECT_EQ(run.sequencer.m_results[1].failure, "");
    EXPECT_EQ(run.sequencer.m_results[2].failure, "throttled by the server (50 ms)");
}
