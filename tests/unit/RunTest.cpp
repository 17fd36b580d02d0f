// Whole runs against a scripted server: the commands each account gets, in
// order, and what the administrator sees, when the server is slow, refuses,
// hangs up, resets or falls silent, and when a run replaces another.
#include <gtest/gtest.h>

#include "support/Harness.h"
#include "support/RunHarness.h"
#include "support/ScriptedServer.h"

#include <map>

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

TEST(Run, ARunKeepsItsOwnSettingsAndAReplacedRunStartsWithItsOwnFirstAccount) {
    ScriptedServer server(Mailbox(0ms));
    TestRun run(server.Port());
    run.users.m_arrAccounts = {"old1", "old2", "old3"};
    run.users.m_arrPasswords = {"pw", "pw", "pw"};
    run.sequencer.StartListRun("01-Jan-2024");
    // Settings and list changed while it runs are the next run's, not this one's.
    run.settings.m_strPort = "1";
    run.users.m_arrAccounts = {"new1", "new2"};
    const auto logins = [&server] {
        Lines names;
        for (const std::string& line : server.Received())
            if (line.find(" LOGIN ") != std::string::npos)
                names.push_back(line.substr(line.find(" LOGIN ") + 7));
        return names;
    };
    // The old run's pause after its second logout is under way when the new one starts.
    ASSERT_TRUE(
        PumpUntil([&] { return logins().size() == 2 && run.timers[TIMER_NEXT_USER].IsRunning(); }));
    run.settings.m_strPort = std::to_string(server.Port());
    run.sequencer.StartListRun("01-Jan-2024");
    ASSERT_TRUE(run.WaitForEnd());
    EXPECT_EQ(logins(), (Lines{"old1 pw", "old2 pw", "new1 pw", "new2 pw"}));
}

// A server with UIDPLUS: five messages of UIDVALIDITY 7 (8 after "rebuilt"),
// UIDs 2, 4 and 5 old. The trouble each account meets is named after it and
// comes on its first connection; "refused" is refused on its second.
ScriptedServer::Responder UidMailbox(std::map<int, std::string>& who,
                                     std::map<std::string, int>& seen) {
    return [&](int connection, const std::string& tag, const std::string& command) {
        if (command.rfind("LOGIN ", 0) == 0)
            ++seen[who[connection] = command.substr(6, command.find(' ', 6) - 6)];
        const std::string account = who[connection];
        const bool first = seen[account] == 1;
        const std::string trouble = first ? account : account + " again";
        const auto starts = [&command](const char* word) { return command.rfind(word, 0) == 0; };
        Reply reply{tag + " OK done\r\n"};
        if (trouble == "refused again" && starts("LOGIN"))
            reply.bytes = tag + " NO [AUTHENTICATIONFAILED] no\r\n";
        else if (starts("CAPABILITY"))
            reply.bytes = "* CAPABILITY IMAP4rev1 UIDPLUS\r\n" + reply.bytes;
        else if (starts("SELECT"))
            reply.bytes = "* 5 EXISTS\r\n* OK [UIDNEXT 6] x\r\n* OK [UIDVALIDITY " +
                          std::string(account == "rebuilt" && !first ? "8" : "7") + "] x\r\n" +
                          tag + " OK [READ-WRITE] done\r\n";
        else if (starts("UID SEARCH") && trouble == "slow")
            reply = {"* OK " + std::string(200, '.') + "\r\n" + reply.bytes, 0ms, Reply::Stay,
                     20ms};
        else if (starts("UID SEARCH"))
            reply.bytes = "* SEARCH 2 5 4\r\n" + reply.bytes;
        else if (starts("UID STORE 2:2,4:5 +FLAGS") && (trouble == "cut" || trouble == "reset"))
            reply = {"", 0ms, trouble == "cut" ? Reply::Close : Reply::Reset};
        else if (starts("UID EXPUNGE") && first && account != "cut" && account != "reset")
            reply = {tag + " BAD Request is throttled. Suggested Backoff Time: 10 milliseconds\r\n",
                     0ms, Reply::Close};
        else if (starts("UID EXPUNGE"))
            reply.bytes = "* 5 EXPUNGE\r\n* 4 EXPUNGE\r\n* 2 EXPUNGE\r\n" + reply.bytes;
        return reply;
    };
}

// Flags follow the account: a session that is lost leaves them to the next
// session of the account, which takes them back before anything else, or to
// one of its own when the connection went with a STORE's answer on its way.
TEST(Run, FlagsALostSessionLeftAreTakenBackByTheAccountsNextSession) {
    std::map<int, std::string> who;
    std::map<std::string, int> seen;
    ScriptedServer server(UidMailbox(who, seen));
    TestRun run(server.Port());
    run.sequencer.SetDeadline(300ms);
    const Lines accounts = {"throttled", "refused", "rebuilt", "cut", "reset", "slow"};
    run.users.m_arrAccounts = accounts;
    run.users.m_arrPasswords.assign(accounts.size(), "pw");
    run.sequencer.StartListRun("01-Jan-2024");
    ASSERT_TRUE(run.WaitForEnd());
    const std::string select = " | CAPABILITY | SELECT INBOX",
                      search = " | UID SEARCH ALL BEFORE 01-Jan-2024",
                      store = " | UID STORE 2:2,4:5 +FLAGS (\\Deleted)",
                      takeback = " | UID STORE 2:2,4:5 -FLAGS (\\Deleted)",
                      expunge = " | UID EXPUNGE 2:2,4:5";
    const auto login = [&](int n, const std::string& account) {
        return std::to_string(n) + ": CAPABILITY | LOGIN " + account + " pw" + select;
    };
    EXPECT_EQ(
        Dialogues(server),
        (Lines{login(1, "throttled") + search + store + expunge,
               login(2, "throttled") + takeback + search + store + expunge + " | LOGOUT",
               login(3, "refused") + search + store + expunge, "4: CAPABILITY | LOGIN refused pw",
               login(5, "rebuilt") + search + store + expunge,
               login(6, "rebuilt") + search + store + expunge + " | LOGOUT",
               login(7, "cut") + search + store, login(8, "cut") + takeback + " | LOGOUT",
               login(9, "reset") + search + store, login(10, "reset") + takeback + " | LOGOUT",
               login(11, "slow") + search + " | LOGOUT (early)"}));
    Lines outcomes;
    for (const CAccountResult& result : run.sequencer.m_results)
        outcomes.push_back(result.failure + " " + std::to_string(result.deleted));
#ifdef _WIN32
    const std::string reset = "server closed the connection";  // Wine loses the RST
#else
    const std::string reset = "connection reset";
#endif
    EXPECT_EQ(outcomes, (Lines{" 3", "login rejected; deleted flags may remain 0",
                               "deleted flags an earlier session left may remain 3",
                               "server closed the connection; deleted flags removed 0",
                               reset + "; deleted flags removed 0", "server too slow 0"}));
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
