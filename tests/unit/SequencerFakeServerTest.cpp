// Runs against a scripted server: wordings and faults a real server won't
// produce on demand. Each script states the exact lines the run must send.
#include <gtest/gtest.h>

#include "support/FakeImapServer.h"
#include "support/HeadlessRunHost.h"

namespace {
using Texts = std::vector<std::string>;

void PointAt(HeadlessRun& run, const FakeImapServer& server, int pauseMs = 20) {
    run.settings.m_nPauseMs = pauseMs;
    run.settings.m_strServerIP = "127.0.0.1";
    run.settings.m_strPort = std::to_string(server.Port());
}

const char kExchangeGreeting[] =
    "* OK Microsoft Exchange Server 2003 IMAP4rev1 server version 6.5.7638.1 (mail.example.com) "
    "ready.\r\n";
}  // namespace

TEST(RunAgainstScriptedServer, ExchangeWordingCompletesEveryStep) {
    FakeImapServer server;
    server.Accept()
        .Send(kExchangeGreeting)
        .Expect("a000000 LOGIN admin@example.com s3cret\r\n")
        .Send("a000000 OK LOGIN completed.\r\n")
        .Expect("a000001 SELECT INBOX\r\n")
        .Send(
            "* 9 EXISTS\r\n* 0 RECENT\r\n* FLAGS (\\Seen \\Answered \\Flagged \\Deleted "
            "\\Draft)\r\n"
            "* OK [UNSEEN 2] Is the first unseen message\r\n* OK [UIDVALIDITY 1234] UIDVALIDITY "
            "value.\r\na000001 OK [READ-WRITE] SELECT completed.\r\n")
        .Expect("a000002 SEARCH ALL BEFORE 05-Mar-2007\r\n")
        .Send("* SEARCH 3 4 5 9\r\na000002 OK SEARCH completed.\r\n")
        .Expect("a000003 STORE 3:5,9:9 +FLAGS \\Deleted\r\n")
        .Send(
            "* 3 FETCH (FLAGS (\\Deleted))\r\n* 4 FETCH (FLAGS (\\Deleted))\r\n"
            "* 5 FETCH (FLAGS (\\Deleted))\r\n* 9 FETCH (FLAGS (\\Deleted))\r\n"
            "a000003 OK STORE completed.\r\n")
        .Expect("a000004 EXPUNGE\r\n")
        .Send(
            "* 3 EXPUNGE\r\n* 3 EXPUNGE\r\n* 3 EXPUNGE\r\n* 6 EXPUNGE\r\n"
            "a000004 OK EXPUNGE completed.\r\n")
        .Expect("a000005 LOGOUT\r\n")
        .ExpectClosed();
    server.Start();
    HeadlessRun run;
    PointAt(run, server);
    run.sequencer.StartSingleRun("admin@example.com", "s3cret", "05-Mar-2007");
    ASSERT_TRUE(run.WaitForEnd());
    EXPECT_TRUE(server.Finish());
    EXPECT_EQ(run.host.statuses,
              (Texts{"Connected to server 127.0.0.1", "Login User admin@example.com",
                     "Search mails with date before 05-Mar-2007", "Deleting 4 mails",
                     "Logout from exchange server.", "Operazione completata."}));
}

TEST(RunAgainstScriptedServer, SilentServerEndsTheAccountAfterTheSilenceLimit) {
    FakeImapServer server;
    server.Accept().NeverAnswer();
    server.Start();
    HeadlessRun run;
    PointAt(run, server);
    run.sequencer.SetSilenceLimit(std::chrono::milliseconds(300));
    run.sequencer.StartSingleRun("u", "p", "01-Jan-2008");
    ASSERT_TRUE(run.WaitForEnd());
    EXPECT_EQ(run.host.statuses,
              (Texts{"Connected to server 127.0.0.1", "Failed for user u: no answer from server",
                     "Operazione completata."}));
}

TEST(RunAgainstScriptedServer, ServerClosingMidRunEndsOnlyThatAccount) {
    FakeImapServer server;
    server.Accept()
        .Send("* OK ready\r\n")
        .Expect("a000000 LOGIN u1 p\r\n")
        .Send("a000000 OK LOGIN done\r\n")
        .Expect("a000001 SELECT INBOX\r\n")
        .Close()
        .Accept()
        .Send("* OK ready\r\n")
        .Expect("a000002 LOGIN u2 p\r\n")
        .Send("a000002 OK LOGIN done\r\n")
        .Expect("a000003 SELECT INBOX\r\n")
        .Send("a000003 OK [READ-WRITE] done\r\n")
        .Expect("a000004 SEARCH ALL BEFORE 01-Jan-2008\r\n")
        .Send("* SEARCH\r\na000004 OK done\r\n")
        .Expect("a000005 EXPUNGE\r\n")
        .Send("a000005 OK done\r\n")
        .Expect("a000006 LOGOUT\r\n")
        .ExpectClosed();
    server.Start();
    HeadlessRun run;
    PointAt(run, server);
    run.users.m_arrAccounts = {"u1", "u2"};
    run.users.m_arrPasswords = {"p", "p"};
    run.sequencer.StartListRun("01-Jan-2008");
    ASSERT_TRUE(run.WaitForEnd());
    EXPECT_TRUE(server.Finish());
    EXPECT_EQ(
        run.host.statuses,
        (Texts{"Connected to server 127.0.0.1", "Login User u1",
               "Failed for user u1: server closed the connection", "Connected to server 127.0.0.1",
               "Login User u2", "Search mails with date before 01-Jan-2008", "No message found",
               "Logout from exchange server.", "Operazione completata."}));
}

TEST(RunAgainstScriptedServer, NothingIsExpungedUnlessEveryStoreCompleted) {
    // A rejected STORE, and a malformed search result: the account is logged
    // out at once, with no EXPUNGE (and, for the bad search, no STORE either).
    struct Case {
        std::string searchReply, storeLine, storeReply, reason;
    } cases[] = {
        {"* SEARCH 2 7\r\na000002 OK done\r\n", "a000003 STORE 2:2,7:7 +FLAGS \\Deleted\r\n",
         "a000003 NO [CANNOT] not now\r\n", "store rejected"},
        {"* SEARCH 2 4x7\r\na000002 OK done\r\n", "", "", "malformed search result"},
        {"a000002 BAD no\r\n", "", "", "search rejected"},
    };
    for (const auto& c : cases) {
        FakeImapServer server;
        server.Accept()
            .Send("* OK ready\r\n")
            .Expect("a000000 LOGIN u p\r\n")
            .Send("a000000 OK done\r\n")
            .Expect("a000001 SELECT INBOX\r\n")
            .Send("a000001 OK [READ-WRITE] done\r\n")
            .Expect("a000002 SEARCH ALL BEFORE 01-Jan-2008\r\n")
            .Send(c.searchReply);
        const std::string logoutTag = c.storeLine.empty() ? "a000003" : "a000004";
        if (!c.storeLine.empty())
            server.Expect(c.storeLine).Send(c.storeReply);
        server.Expect(logoutTag + " LOGOUT\r\n").ExpectClosed();
        server.Start();
        HeadlessRun run;
        PointAt(run, server);
        run.sequencer.StartSingleRun("u", "p", "01-Jan-2008");
        ASSERT_TRUE(run.WaitForEnd());
        EXPECT_TRUE(server.Finish()) << c.reason;
        ASSERT_GE(run.host.statuses.size(), 2u);
        EXPECT_EQ(run.host.statuses[run.host.statuses.size() - 2],
                  "Failed for user u: " + c.reason);
        EXPECT_EQ(run.host.statuses.back(), "Operazione completata.");
    }
}

TEST(RunAgainstScriptedServer, PauseOfZeroOrLessRunsAtTheShortestInterval) {
    for (const int pause : {0, -250}) {
        FakeImapServer server;
        server.Accept()
            .Send("* OK ready\r\n")
            .Expect("a000000 LOGIN u p\r\n")
            .Send("a000000 NO nope\r\n")
            .ExpectClosed();
        server.Start();
        HeadlessRun run;
        PointAt(run, server, pause);
        run.sequencer.StartSingleRun("u", "p", "01-Jan-2008");
        ASSERT_TRUE(run.WaitForEnd());
        EXPECT_TRUE(server.Finish());
        ASSERT_FALSE(run.host.elapses.empty());
        for (const int e : run.host.elapses)
            EXPECT_EQ(e, CRunSequencer::kShortestTimerMs);
        EXPECT_EQ(run.host.statuses.back(), "Operazione completata.");
    }
}

TEST(RunAgainstScriptedServer, APauseChangedDuringARunAppliesFromTheNextArming) {
    FakeImapServer server;
    server.Accept()
        .Send("* OK ready\r\n")
        .Expect("a000000 LOGIN u p\r\n")
        .Send("a000000 NO nope\r\n")
        .ExpectClosed();
    server.Start();
    HeadlessRun run;
    PointAt(run, server, 40);
    run.sequencer.StartSingleRun("u", "p", "01-Jan-2008");
    run.settings.m_nPauseMs = 60;
    ASSERT_TRUE(run.WaitForEnd());
    EXPECT_TRUE(server.Finish());
    ASSERT_GE(run.host.elapses.size(), 2u);
    EXPECT_EQ(run.host.elapses.front(), 40);
    EXPECT_EQ(run.host.elapses.back(), 60);
}
