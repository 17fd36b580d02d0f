// CImapSocket against a scripted server: the exact bytes the client sends,
// when each completion flag rises, and every way a server can refuse, break
// off or misbehave. A wrong message number in a STORE deletes someone's mail,
// so the STORE lines are always checked against what SEARCH returned.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "imap/ImapSocket.h"
#include "support/EventPump.h"
#include "support/FakeImapServer.h"
#include "support/TempFolder.h"

using namespace std::chrono_literals;
using namespace std::string_literals;
using ms = std::chrono::milliseconds;

namespace {

const std::string kGreeting =
    "* OK Microsoft Exchange Server 2003 IMAP4rev1 server version 6.5.7638.1 (host) ready.\r\n";
const std::string kBye =
    "* BYE Microsoft Exchange Server 2003 IMAP4rev1 server version 6.5.7638.1 signing off.\r\n";
const std::string kDate = "01-Jan-2024";

// One client: its transcript (logged to a file when a path is given) and socket.
struct Client {
    explicit Client(std::string log = {}) : transcript(std::move(log)), imap(transcript) {}

    bool Connect(const FakeImapServer& server) {
        return imap.ConnectToServer("127.0.0.1", server.Port()) && Await(imap.m_bConnected);
    }
    // True when the flag rose and the command did not fail.
    bool Await(const int32_t& flag, ms deadline = 10s) {
        PumpUntil([&] { return flag == 1 || imap.HasFailed(); }, deadline);
        return flag == 1 && !imap.HasFailed();
    }
    bool AwaitFailure(ms deadline = 10s) {
        return PumpUntil([&] { return imap.HasFailed(); }, deadline);
    }
    std::array<int32_t, 6> Flags() const {
        return {imap.m_bConnected, imap.m_bLoggedIn, imap.m_bSelected,
                imap.m_bSearched,  imap.m_bStored,   imap.m_bExpunged};
    }
    std::vector<std::string> Found() const {
        std::vector<std::string> out;
        for (size_t i = 0; i < imap.m_arrFound.GetSize(); ++i)
            out.push_back(imap.m_arrFound.GetAt(i));
        return out;
    }

    CTranscript transcript;
    CImapSocket imap;
};

// One command of the Exchange conversation: what the client sends, the
// transcript's copy of it, Exchange's successful reply, and the flag it raises.
struct Stage {
    const char* name;
    std::string line;
    std::string logged;
    std::string reply;
    std::function<void(CImapSocket&)> send;
    int32_t CImapSocket::*flag;
    const char* rejected;
};

const std::vector<Stage>& Exchange() {
    static const std::vector<Stage> stages = {
        {"LOGIN", "a000000 LOGIN user secret\r\n", "a000000 LOGIN user ****\r\n",
         "a000000 OK LOGIN completed.\r\n", [](CImapSocket& s) { s.SendLogin("user", "secret"); },
         &CImapSocket::m_bLoggedIn, "login rejected"},
        {"SELECT", "a000001 SELECT INBOX\r\n", "a000001 SELECT INBOX\r\n",
         "* 12 EXISTS\r\n* 0 RECENT\r\n"
         "* FLAGS (\\Answered \\Flagged \\Draft \\Deleted \\Seen)\r\n"
         "* OK [PERMANENTFLAGS (\\Answered \\Flagged \\Draft \\Deleted \\Seen)] "
         "Permanent flags\r\n"
         "* OK [UNSEEN 4] Is the first unseen message\r\n"
         "* OK [UIDVALIDITY 2117] UIDVALIDITY value\r\n"
         "a000001 OK [READ-WRITE] SELECT completed.\r\n",
         [](CImapSocket& s) { s.SendSelect(); }, &CImapSocket::m_bSelected, "select rejected"},
        {"SEARCH", "a000002 SEARCH ALL BEFORE 01-Jan-2024\r\n",
         "a000002 SEARCH ALL BEFORE 01-Jan-2024\r\n",
         "* SEARCH 3 9 4\r\na000002 OK SEARCH completed.\r\n",
         [](CImapSocket& s) { s.SendSearch(kDate); }, &CImapSocket::m_bSearched, "search rejected"},
        {"STORE", "a000003 STORE 3:4,9:9 +FLAGS \\Deleted\r\n",
         "a000003 STORE 3:4,9:9 +FLAGS \\Deleted\r\n",
         "* 3 FETCH (FLAGS (\\Seen \\Deleted))\r\n* 4 FETCH (FLAGS (\\Deleted))\r\n"
         "* 9 FETCH (FLAGS (\\Seen \\Deleted))\r\na000003 OK STORE completed.\r\n",
         [](CImapSocket& s) { s.SendStore(); }, &CImapSocket::m_bStored, "store rejected"},
        {"EXPUNGE", "a000004 EXPUNGE\r\n", "a000004 EXPUNGE\r\n",
         "* 9 EXPUNGE\r\n* 4 EXPUNGE\r\n* 3 EXPUNGE\r\na000004 OK EXPUNGE completed.\r\n",
         [](CImapSocket& s) { s.SendExpunge(); }, &CImapSocket::m_bExpunged, "expunge rejected"},
    };
    return stages;
}

const std::string kLogoutLine = "a000005 LOGOUT\r\n";
const std::string kLogoutReply = kBye + "a000005 OK LOGOUT completed.\r\n";

// Script: a connection, the greeting and the first `count` commands answered.
void ScriptPrelude(FakeImapServer& server, size_t count) {
    server.Accept().Send(kGreeting);
    for (size_t i = 0; i < count; ++i)
        server.Expect(Exchange()[i].line).Send(Exchange()[i].reply);
}

// Client side of ScriptPrelude.
void DrivePrelude(Client& c, const FakeImapServer& server, size_t count) {
    ASSERT_TRUE(c.Connect(server)) << c.imap.FailureReason();
    for (size_t i = 0; i < count; ++i) {
        const Stage& st = Exchange()[i];
        st.send(c.imap);
        ASSERT_TRUE(c.Await(c.imap.*st.flag)) << st.name << ": " << c.imap.FailureReason();
    }
}

std::string CrLf(const std::string& s) {
    std::string out;
    for (const char ch : s) {
        if (ch == '\n')
            out += '\r';
        out += ch;
    }
    return out;
}

std::vector<std::string> Bytes(const std::string& s) {
    std::vector<std::string> pieces;
    for (const char ch : s)
        pieces.emplace_back(1, ch);
    return pieces;
}

}  // namespace

// ---------------------------------------------------------------- the whole conversation

class ExchangeConversation : public ::testing::TestWithParam<bool> {};

TEST_P(ExchangeConversation, IsByteExactFromGreetingToLogout) {
    const bool bytewise = GetParam();
    TempFolder dir;
    const std::string log = dir.File("LOG_QUEN_DRAVALT.TXT");
    FakeImapServer server;
    auto reply = [&](const std::string& bytes) -> FakeImapServer& {
        return bytewise ? server.SendPieces(Bytes(bytes), 1ms) : server.Send(bytes);
    };
    server.Accept();
    reply(kGreeting);
    for (const Stage& st : Exchange()) {
        server.Expect(st.line);
        reply(st.reply);
    }
    server.Expect(kLogoutLine);
    reply(kLogoutReply);
    server.Close().ExpectClosed();
    server.Start();

    Client c(log);
    ASSERT_TRUE(c.imap.ConnectToServer("127.0.0.1", server.Port()));
    EXPECT_EQ(c.Flags(), (std::array<int32_t, 6>{0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(c.Await(c.imap.m_bConnected)) << c.imap.FailureReason();
    std::string transcript = kGreeting;
    std::string sent;
    for (size_t i = 0; i < Exchange().size(); ++i) {
        const Stage& st = Exchange()[i];
        SCOPED_TRACE(st.name);
        st.send(c.imap);
        EXPECT_EQ(c.imap.m_strTag, "a00000" + std::to_string(i) + " ");
        ASSERT_TRUE(c.Await(c.imap.*st.flag)) << c.imap.FailureReason();
        if (bytewise)
            EXPECT_EQ(st.reply.compare(st.reply.size() - c.imap.m_strReply.size(),
                                       std::string::npos, c.imap.m_strReply),
                      0);
        else
            EXPECT_EQ(c.imap.m_strReply, st.reply);
        transcript += st.logged + st.reply;
        sent += st.line;
        if (std::string(st.name) == "SEARCH") {
            EXPECT_EQ(c.Found(), (std::vector<std::string>{"3", "9", "4"}));
        }
    }
    EXPECT_EQ(c.Flags(), (std::array<int32_t, 6>{1, 1, 1, 1, 1, 1}));
    EXPECT_TRUE(c.imap.m_arrFound.IsEmpty());  // EXPUNGE renumbers: the old numbers are gone

    c.imap.SendLogout();
    EXPECT_EQ(c.imap.m_strTag, "a000005 ");
    EXPECT_TRUE(PumpUntil([&] { return !c.imap.IsOpen() || c.imap.HasFailed(); }));
    EXPECT_FALSE(c.imap.HasFailed()) << c.imap.FailureReason();
    EXPECT_EQ(c.imap.m_bLoggedIn, 0);
    EXPECT_FALSE(c.imap.IsOpen());
    transcript += kLogoutLine + kLogoutReply;
    sent += kLogoutLine;

    EXPECT_TRUE(server.Finish());
    EXPECT_EQ(server.Received(), sent);
    EXPECT_EQ(c.transcript.Tail(), transcript);
    EXPECT_EQ(ReadFileBytes(log), CrLf(transcript));
    EXPECT_EQ(c.imap.m_nTagCounter, 6);
}

INSTANTIATE_TEST_SUITE_P(Replies, ExchangeConversation, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "OneByteAWrite" : "WholeReplies";
                         });

// ---------------------------------------------------------------- the greeting

TEST(SessionGreeting, OkOrPreauthConnectsAnythingElseFails) {
    struct Case {
        std::string greeting;
        bool connects;
    };
    const std::vector<Case> cases = {
        {kGreeting, true},        {"* PREAUTH IMAP4rev1 server logged in as user\r\n", true},
        {"* ok ready\r\n", true}, {"* OK\r\n", true},
        {"* OK\n", true},         {"* BYE Server too busy\r\n", false},
        {"* bye\r\n", false},     {"* OKAY\r\n", false},
        {"+ hello\r\n", false},   {"a000000 OK LOGIN completed.\r\n", false},
        {"hello\r\n", false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.greeting);
        FakeImapServer server;
        server.Accept().Send(k.greeting);
        if (!k.connects)
            server.ExpectClosed();  // the client gives up on this server
        server.Start();
        Client c;
        ASSERT_TRUE(c.imap.ConnectToServer("127.0.0.1", server.Port()));
        PumpUntil([&] { return c.imap.m_bConnected == 1 || c.imap.HasFailed(); });
        EXPECT_EQ(c.imap.m_bConnected, k.connects ? 1 : 0);
        EXPECT_EQ(c.imap.HasFailed(), !k.connects) << c.imap.FailureReason();
        if (!k.connects) {
            EXPECT_FALSE(c.imap.FailureReason().empty());
        }
        EXPECT_TRUE(server.Finish());
        EXPECT_EQ(c.transcript.Tail(), k.greeting);
    }
}

TEST(SessionGreeting, GreetingSplitAcrossWritesStillConnects) {
    FakeImapServer server;
    server.Accept().SendPieces({"* O", "K Microsoft", " Exchange ready.\r", "\n"}).NeverAnswer();
    server.Start();
    Client c;
    EXPECT_TRUE(c.Connect(server)) << c.imap.FailureReason();
    EXPECT_TRUE(server.Finish());
}

TEST(SessionGreeting, ClosingOrResettingBeforeTheGreetingFails) {
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "close");
        FakeImapServer server;
        server.Accept();
        if (reset)
            server.Abort();
        else
            server.Close().ExpectClosed();
        server.Start();
        Client c;
        ASSERT_TRUE(c.imap.ConnectToServer("127.0.0.1", server.Port()));
        EXPECT_TRUE(c.AwaitFailure());
        EXPECT_EQ(c.imap.m_bConnected, 0);
        if (!reset) {
            EXPECT_EQ(c.imap.FailureReason(), "server closed the connection");
        }
        EXPECT_FALSE(c.imap.IsOpen());
        EXPECT_TRUE(server.Finish());
    }
}

TEST(SessionGreeting, SilentServerLeavesTheConnectionPending) {
    FakeImapServer server;
    server.Accept().NeverAnswer();
    server.Start();
    Client c;
    ASSERT_TRUE(c.imap.ConnectToServer("127.0.0.1", server.Port()));
    PumpFor(300ms);
    EXPECT_EQ(c.imap.m_bConnected, 0);
    EXPECT_FALSE(c.imap.HasFailed());
    EXPECT_TRUE(server.Finish());
}

// ---------------------------------------------------------------- refusals and break-offs

TEST(SessionFailures, EveryCommandFailsOnNoBadByeCloseOrReset) {
    enum class Fault { No, Bad, LowerNo, Bye, ByeThenClose, Close, Reset };
    const std::vector<std::pair<Fault, const char*>> faults = {
        {Fault::No, "NO"},
        {Fault::Bad, "BAD"},
        {Fault::LowerNo, "no"},
        {Fault::Bye, "BYE"},
        {Fault::ByeThenClose, "BYE+close"},
        {Fault::Close, "close"},
        {Fault::Reset, "reset"},
    };
    for (size_t k = 0; k < Exchange().size(); ++k) {
        for (const auto& [fault, faultName] : faults) {
            const Stage& st = Exchange()[k];
            SCOPED_TRACE(std::string(st.name) + " / " + faultName);
            const std::string tag = "a00000" + std::to_string(k) + " ";
            FakeImapServer server;
            ScriptPrelude(server, k);
            server.Expect(st.line);
            switch (fault) {
                case Fault::No:
                    server.Send(tag + "NO " + st.name + " failed.\r\n");
                    break;
                case Fault::Bad:
                    server.Send(tag + "BAD Command Argument Error. 11\r\n");
                    break;
                case Fault::LowerNo:
                    server.Send(tag + "no nope\r\n");
                    break;
                case Fault::Bye:
                    server.Send("* BYE Server shutting down\r\n");
                    break;
                case Fault::ByeThenClose:
                    server.Send("* BYE going\r\n").Close();
                    break;
                case Fault::Close:
                    server.Close();
                    break;
                case Fault::Reset:
                    server.Abort();
                    break;
            }
            const bool closes =
                fault != Fault::No && fault != Fault::Bad && fault != Fault::LowerNo;
            if (!closes)
                server.ExpectSilence(100ms);  // the client sends nothing on its own
            else if (fault != Fault::Reset)
                server.ExpectClosed();
            server.Start();

            Client c;
            DrivePrelude(c, server, k);
            st.send(c.imap);
            ASSERT_TRUE(c.AwaitFailure());
            EXPECT_EQ(c.imap.*st.flag, 0);
            for (size_t i = 0; i < k; ++i)
                EXPECT_EQ(c.imap.*Exchange()[i].flag, 1);
            switch (fault) {
                case Fault::No:
                case Fault::Bad:
                case Fault::LowerNo:
                    EXPECT_EQ(c.imap.FailureReason(), st.rejected);
                    break;
                case Fault::Bye:
                case Fault::ByeThenClose:
                    EXPECT_EQ(c.imap.FailureReason(), "server ended the session");
                    break;
                case Fault::Close:
                    EXPECT_EQ(c.imap.FailureReason(), "server closed the connection");
                    break;
                case Fault::Reset:
                    EXPECT_FALSE(c.imap.FailureReason().empty());
                    break;
            }
            if (closes) {
                EXPECT_TRUE(PumpUntil([&] { return !c.imap.IsOpen(); }, 5s));
            } else
                EXPECT_TRUE(c.imap.IsOpen());
            EXPECT_TRUE(server.Finish());
            std::string sent;
            for (size_t i = 0; i <= k; ++i)
                sent += Exchange()[i].line;
            EXPECT_EQ(server.Received(), sent);
        }
    }
}

TEST(SessionFailures, ReadOnlyInboxFailsSelect) {
    struct Case {
        std::string reply;
        bool selected;
    };
    const std::vector<Case> cases = {
        {"a000001 OK [READ-ONLY] SELECT completed.\r\n", false},
        {"a000001 OK SELECT completed.\r\n", false},
        {"a000001 OK\r\n", false},
        {"* OK [READ-WRITE] said untagged\r\na000001 OK SELECT completed.\r\n", false},
        {"a000001 OK done [READ-WRITE]\r\n", false},
        {"a000001 ok [read-write] select completed.\r\n", true},
        {"a000001 OK [READ-WRITE]\r\n", true},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.reply);
        FakeImapServer server;
        ScriptPrelude(server, 1);
        server.Expect("a000001 SELECT INBOX\r\n").Send(k.reply).ExpectSilence(50ms);
        server.Start();
        Client c;
        DrivePrelude(c, server, 1);
        c.imap.SendSelect();
        PumpUntil([&] { return c.imap.m_bSelected == 1 || c.imap.HasFailed(); });
        EXPECT_EQ(c.imap.m_bSelected, k.selected ? 1 : 0);
        EXPECT_EQ(c.imap.HasFailed(), !k.selected);
        if (!k.selected) {
            EXPECT_EQ(c.imap.FailureReason(), "mailbox is read-only");
        }
        EXPECT_TRUE(server.Finish());
    }
}

TEST(SessionFailures, LogoutRejectedOrServerGoneDuringLogout) {
    {
        SCOPED_TRACE("NO");
        FakeImapServer server;
        ScriptPrelude(server, 1);
        server.Expect("a000001 LOGOUT\r\n").Send("a000001 NO not now\r\n").ExpectSilence(50ms);
        server.Start();
        Client c;
        DrivePrelude(c, server, 1);
        c.imap.SendLogout();
        EXPECT_TRUE(c.AwaitFailure());
        EXPECT_EQ(c.imap.FailureReason(), "logout rejected");
        EXPECT_EQ(c.imap.m_bLoggedIn, 1);
        EXPECT_TRUE(server.Finish());
    }
    {
        // During LOGOUT a BYE and a hang-up without the tagged OK are no failure.
        SCOPED_TRACE("BYE and close");
        FakeImapServer server;
        ScriptPrelude(server, 1);
        server.Expect("a000001 LOGOUT\r\n").Send(kBye).Close().ExpectClosed();
        server.Start();
        Client c;
        DrivePrelude(c, server, 1);
        c.imap.SendLogout();
        EXPECT_TRUE(PumpUntil([&] { return !c.imap.IsOpen() || c.imap.HasFailed(); }));
        EXPECT_FALSE(c.imap.HasFailed()) << c.imap.FailureReason();
        EXPECT_TRUE(server.Finish());
    }
}

TEST(SessionFailures, ServerThatNeverAnswersLeavesTheCommandPending) {
    FakeImapServer server;
    ScriptPrelude(server, 0);
    server.Expect("a000000 LOGIN user secret\r\n").NeverAnswer();
    server.Start();
    Client c;
    DrivePrelude(c, server, 0);
    c.imap.SendLogin("user", "secret");
    PumpFor(300ms);
    EXPECT_EQ(c.imap.m_bLoggedIn, 0);
    EXPECT_FALSE(c.imap.HasFailed());
    EXPECT_TRUE(c.imap.IsOpen());
    EXPECT_TRUE(server.Finish());
}

// ---------------------------------------------------------------- which line completes what

TEST(SessionTags, EveryCutOfTheTaggedLineStillCompletesSelect) {
    const std::string line = "a000001 OK [READ-WRITE] SELECT completed.\r\n";
    for (size_t cut = 1; cut < line.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        FakeImapServer server;
        ScriptPrelude(server, 1);
        server.Expect("a000001 SELECT INBOX\r\n")
            .Send(line.substr(0, cut))
            .Gate()
            .Send(line.substr(cut));
        server.Start();
        Client c;
        DrivePrelude(c, server, 1);
        c.imap.SendSelect();
        // The first part must have come in a read of its own.
        ASSERT_TRUE(PumpUntil([&] { return server.AtGate() && !c.imap.m_strReply.empty(); }));
        EXPECT_EQ(c.imap.m_strReply, line.substr(0, cut));
        EXPECT_EQ(c.imap.m_bSelected, 0);
        EXPECT_FALSE(c.imap.HasFailed());
        server.OpenGate();
        EXPECT_TRUE(c.Await(c.imap.m_bSelected)) << c.imap.FailureReason();
        EXPECT_EQ(c.imap.m_strReply, line.substr(cut));
        EXPECT_TRUE(server.Finish());
    }
}

TEST(SessionTags, EveryCutOfASearchLineGivesTheSameNumbers) {
    const std::string reply = "* SEARCH 12 345 6\r\na000002 OK SEARCH completed.\r\n";
    for (size_t cut = 1; cut < reply.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        FakeImapServer server;
        ScriptPrelude(server, 2);
        server.Expect(Exchange()[2].line).Send(reply.substr(0, cut)).Gate().Send(reply.substr(cut));
        server.Start();
        Client c;
        DrivePrelude(c, server, 2);
        c.imap.SendSearch(kDate);
        ASSERT_TRUE(PumpUntil([&] { return server.AtGate() && !c.imap.m_strReply.empty(); }));
        EXPECT_EQ(c.imap.m_bSearched, 0);
        server.OpenGate();
        ASSERT_TRUE(c.Await(c.imap.m_bSearched)) << c.imap.FailureReason();
        EXPECT_EQ(c.Found(), (std::vector<std::string>{"12", "345", "6"}));
        EXPECT_TRUE(server.Finish());
    }
}

TEST(SessionTags, OnlyTheTaggedLineOfTheCommandInProgressCompletesIt) {
    FakeImapServer server;
    ScriptPrelude(server, 1);
    server.Expect("a000001 SELECT INBOX\r\n")
        .Send(
            "* 3 EXISTS\r\n"
            "* OK [READ-WRITE] untagged\r\n"
            "a000000 OK LOGIN completed.\r\n"
            "a000000 NO late refusal of an earlier command\r\n"
            "a0000010 OK [READ-WRITE] longer tag\r\n"
            "A000001 OK [READ-WRITE] other case\r\n"
            "a000001OK [READ-WRITE] no space\r\n"
            "a000002 OK [READ-WRITE] a later tag\r\n"
            "a000001 OKAY [READ-WRITE]\r\n"
            "+ continue\r\n")
        .Gate()
        .Send("a000001 OK [READ-WRITE] SELECT completed.\r\n");
    server.Start();
    Client c;
    DrivePrelude(c, server, 1);
    c.imap.SendSelect();
    ASSERT_TRUE(PumpUntil([&] { return server.AtGate() && !c.imap.m_strReply.empty(); }));
    PumpFor(50ms);
    EXPECT_EQ(c.imap.m_bSelected, 0);
    EXPECT_FALSE(c.imap.HasFailed()) << c.imap.FailureReason();
    server.OpenGate();
    EXPECT_TRUE(c.Await(c.imap.m_bSelected)) << c.imap.FailureReason();
    EXPECT_TRUE(server.Finish());
}

TEST(SessionTags, RepliesAfterCompletionChangeNothing) {
    // A server repeating a completed command's tagged line (with more SEARCH
    // lines before it) must not change the result that STORE will use.
    FakeImapServer server;
    ScriptPrelude(server, 2);
    server.Expect(Exchange()[2].line)
        .Send("* SEARCH 3\r\na000002 OK SEARCH completed.\r\n")
        .Gate()
        .Send("* SEARCH 1 2\r\na000002 OK SEARCH completed.\r\na000002 NO SEARCH failed.\r\n")
        .Gate()
        .Expect("a000003 STORE 3:3 +FLAGS \\Deleted\r\n")
        .Send("a000003 OK STORE completed.\r\n");
    server.Start();
    Client c;
    DrivePrelude(c, server, 2);
    c.imap.SendSearch(kDate);
    ASSERT_TRUE(c.Await(c.imap.m_bSearched));
    EXPECT_EQ(c.Found(), std::vector<std::string>{"3"});
    ASSERT_TRUE(PumpUntil([&] { return server.AtGate(); }));
    server.OpenGate();
    ASSERT_TRUE(PumpUntil([&] { return server.AtGate(); }));
    PumpFor(100ms);
    EXPECT_EQ(c.Found(), std::vector<std::string>{"3"});
    EXPECT_EQ(c.imap.m_bSearched, 1);
    EXPECT_FALSE(c.imap.HasFailed()) << c.imap.FailureReason();
    server.OpenGate();
    c.imap.SendStore();
    EXPECT_TRUE(c.Await(c.imap.m_bStored)) << c.imap.FailureReason();
    EXPECT_TRUE(server.Finish());
}

TEST(SessionTags, CounterRunsOnAcrossConnectionsAndConnectClearsState) {
    FakeImapServer server;
    ScriptPrelude(server, Exchange().size());
    server.Expect(kLogoutLine).Send(kLogoutReply).Close().ExpectClosed();
    // Second account: LOGIN refused.
    server.Accept().Send(kGreeting);
    server.Expect("a000006 LOGIN other pw2\r\n").Send("a000006 NO LOGIN failed.\r\n");
    // Third account: the refusal is forgotten.
    server.Accept().Send(kGreeting);
    server.Expect("a000007 LOGIN third pw3\r\n").Send("a000007 OK LOGIN completed.\r\n");
    server.Start();

    Client c;
    DrivePrelude(c, server, Exchange().size());
    c.imap.SendLogout();
    ASSERT_TRUE(PumpUntil([&] { return !c.imap.IsOpen(); }));
    EXPECT_EQ(c.imap.m_bLoggedIn, 0);
    EXPECT_EQ(c.Flags()[2] + c.Flags()[3] + c.Flags()[4] + c.Flags()[5], 4);

    ASSERT_TRUE(c.imap.ConnectToServer("127.0.0.1", server.Port()));
    EXPECT_EQ(c.Flags(), (std::array<int32_t, 6>{0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(c.Await(c.imap.m_bConnected));
    EXPECT_EQ(c.imap.SendLogin("other", "pw2"), 1);
    EXPECT_EQ(c.imap.m_strTag, "a000006 ");
    ASSERT_TRUE(c.AwaitFailure());
    EXPECT_EQ(c.imap.FailureReason(), "login rejected");

    ASSERT_TRUE(c.imap.ConnectToServer("127.0.0.1", server.Port()));
    EXPECT_FALSE(c.imap.HasFailed());
    EXPECT_EQ(c.imap.FailureReason(), "");
    EXPECT_EQ(c.Flags(), (std::array<int32_t, 6>{0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(c.Await(c.imap.m_bConnected));
    c.imap.SendLogin("third", "pw3");
    EXPECT_TRUE(c.Await(c.imap.m_bLoggedIn)) << c.imap.FailureReason();
    EXPECT_TRUE(server.Finish());
    EXPECT_EQ(server.Connections(), 3);
}

TEST(SessionTags, ComposersClearTheirOwnFlagAndResult) {
    FakeImapServer server;
    ScriptPrelude(server, 3);  // LOGIN, SELECT, SEARCH 3 9 4
    server.Expect("a000003 SELECT INBOX\r\n")
        .Gate()
        .Send("a000003 OK [READ-WRITE] SELECT completed.\r\n")
        .Expect("a000004 SEARCH ALL BEFORE 01-Jan-2024\r\n")
        .Gate()
        .Send("* SEARCH 7\r\na000004 OK SEARCH completed.\r\n")
        .Expect("a000005 STORE 7:7 +FLAGS \\Deleted\r\n")
        .Send("a000005 OK STORE completed.\r\n");
    server.Start();
    Client c;
    DrivePrelude(c, server, 3);
    c.imap.SendSelect();
    EXPECT_EQ(c.imap.m_bSelected, 0);
    ASSERT_TRUE(PumpUntil([&] { return server.AtGate(); }));
    server.OpenGate();
    ASSERT_TRUE(c.Await(c.imap.m_bSelected));
    c.imap.SendSearch(kDate);
    EXPECT_EQ(c.imap.m_bSearched, 0);
    EXPECT_TRUE(c.imap.m_arrFound.IsEmpty());
    ASSERT_TRUE(PumpUntil([&] { return server.AtGate(); }));
    server.OpenGate();
    ASSERT_TRUE(c.Await(c.imap.m_bSearched));
    EXPECT_EQ(c.Found(), std::vector<std::string>{"7"});
    c.imap.SendStore();
    EXPECT_EQ(c.imap.m_bStored, 0);
    EXPECT_TRUE(c.Await(c.imap.m_bStored));
    EXPECT_TRUE(server.Finish());
}

// ---------------------------------------------------------------- SEARCH results

TEST(SessionSearch, UntaggedLinesAroundSearchLinesKeepEveryNumber) {
    FakeImapServer server;
    ScriptPrelude(server, 2);
    server.Expect(Exchange()[2].line)
        .Send(
            "* 3 EXISTS\r\n* 0 RECENT\r\n* SEARCH 5 1\r\n* 6 EXISTS\r\n* SEARCH 007\r\n"
            "* 1 FETCH (FLAGS (\\Seen))\r\n* search 4294967295 2\r\n")
        .Gate()
        .Send("a000002 OK SEARCH completed.\r\n")
        .Expect("a000003 STORE 1:2,5:5,7:7,4294967295:4294967295 +FLAGS \\Deleted\r\n")
        .Send("a000003 OK STORE completed.\r\n");
    server.Start();
    Client c;
    DrivePrelude(c, server, 2);
    c.imap.SendSearch(kDate);
    ASSERT_TRUE(PumpUntil([&] { return server.AtGate(); }));
    PumpFor(50ms);
    EXPECT_EQ(c.imap.m_bSearched, 0);
    EXPECT_TRUE(c.imap.m_arrFound.IsEmpty());  // only the tagged line hands the result over
    server.OpenGate();
    ASSERT_TRUE(c.Await(c.imap.m_bSearched)) << c.imap.FailureReason();
    EXPECT_EQ(c.Found(), (std::vector<std::string>{"5", "1", "7", "4294967295", "2"}));
    c.imap.SendStore();
    EXPECT_TRUE(c.Await(c.imap.m_bStored)) << c.imap.FailureReason();
    EXPECT_TRUE(server.Finish());
}

TEST(SessionSearch, MalformedSearchLineFailsTheSearch) {
    for (const std::string bad :
         {"* SEARCH 4x5 6\r\n", "* SEARCH 0\r\n", "* SEARCH 12345678901\r\n",
          "* SEARCH 4294967296\r\n", "* SEARCH 1,2\r\n", "* SEARCH -3\r\n"}) {
        SCOPED_TRACE(bad);
        FakeImapServer server;
        ScriptPrelude(server, 2);
        server.Expect(Exchange()[2].line)
            .Send("* SEARCH 1 2\r\n" + bad + "* SEARCH 3\r\na000002 OK SEARCH completed.\r\n")
            .ExpectSilence(50ms);
        server.Start();
        Client c;
        DrivePrelude(c, server, 2);
        c.imap.SendSearch(kDate);
        ASSERT_TRUE(c.AwaitFailure());
        EXPECT_EQ(c.imap.FailureReason(), "malformed search result");
        EXPECT_EQ(c.imap.m_bSearched, 0);
        EXPECT_TRUE(c.imap.m_arrFound.IsEmpty());
        EXPECT_TRUE(server.Finish());
    }
}

TEST(SessionSearch, EmptyResultStoresNothingAndUsesNoTag) {
    TempFolder dir;
    FakeImapServer server;
    ScriptPrelude(server, 2);
    server.Expect(Exchange()[2].line)
        .Send("* SEARCH\r\na000002 OK SEARCH completed.\r\n")
        .Expect("a000003 EXPUNGE\r\n")  // the very next line: no STORE went out
        .Send("a000003 OK EXPUNGE completed.\r\n");
    server.Start();
    Client c(dir.File("log.txt"));
    DrivePrelude(c, server, 2);
    c.imap.SendSearch(kDate);
    ASSERT_TRUE(c.Await(c.imap.m_bSearched));
    EXPECT_TRUE(c.imap.m_arrFound.IsEmpty());
    const long before = c.imap.m_nTagCounter;
    c.imap.SendStore();
    EXPECT_EQ(c.imap.m_bStored, 1);
    EXPECT_EQ(c.imap.m_nTagCounter, before);
    const std::string& tail = c.transcript.Tail();
    ASSERT_GE(tail.size(), 7u);
    EXPECT_EQ(tail.substr(tail.size() - 7), "\nVUOTA\n");
    const std::string logged = ReadFileBytes(dir.File("log.txt"));
    EXPECT_EQ(logged.substr(logged.size() - 9), "\r\nVUOTA\r\n");
    PumpFor(50ms);
    c.imap.SendExpunge();
    EXPECT_TRUE(c.Await(c.imap.m_bExpunged));
    EXPECT_TRUE(server.Finish());
}

TEST(SessionSearch, MegabyteSearchLine) {
    constexpr uint32_t kCount = 160000;
    std::string line = "* SEARCH";
    for (uint32_t n = kCount; n >= 1; --n)
        line += ' ' + std::to_string(n);
    line += "\r\n";
    ASSERT_GT(line.size(), 1000000u);
    FakeImapServer server;
    ScriptPrelude(server, 2);
    server.Expect(Exchange()[2].line)
        .Send(line + "a000002 OK SEARCH completed.\r\n")
        .Expect("a000003 STORE 1:160000 +FLAGS \\Deleted\r\n")
        .Send("a000003 OK STORE completed.\r\n");
    server.Start();
    Client c;
    DrivePrelude(c, server, 2);
    c.imap.SendSearch(kDate);
    ASSERT_TRUE(c.Await(c.imap.m_bSearched)) << c.imap.FailureReason();
    ASSERT_EQ(c.imap.m_arrFound.GetSize(), kCount);
    EXPECT_EQ(c.imap.m_arrFound.GetAt(0), "160000");
    EXPECT_EQ(c.imap.m_arrFound.GetLast(), "1");
    EXPECT_LE(c.imap.m_strReply.size(), CImapSocket::kReplyKeep);
    EXPECT_FALSE(c.imap.m_strReply.empty());
    c.imap.SendStore();
    EXPECT_TRUE(c.Await(c.imap.m_bStored)) << c.imap.FailureReason();
    EXPECT_TRUE(server.Finish());
}

TEST(SessionSearch, InvalidCutOffDateIsNeverSent) {
    for (const std::string date : {"1-1-2024", "01-Jan-2024\r\na LOGOUT", "", "01-Jan-24"}) {
        SCOPED_TRACE(date);
        FakeImapServer server;
        ScriptPrelude(server, 2);
        server.ExpectSilence(100ms);
        server.Start();
        Client c;
        DrivePrelude(c, server, 2);
        c.imap.SendSearch(date);
        EXPECT_TRUE(c.imap.HasFailed());
        EXPECT_EQ(c.imap.m_bSearched, 0);
        EXPECT_TRUE(server.Finish());
    }
}

// ---------------------------------------------------------------- STORE in several commands

namespace {

// Every number the STORE lines received name, and checks on their form.
std::vector<uint32_t> StoredNumbers(const std::vector<std::string>& lines, long firstTag) {
    std::vector<uint32_t> out;
    long tag = firstTag;
    for (const auto& l : lines) {
        if (l.find(" STORE ") == std::string::npos)
            continue;
        EXPECT_LE(l.size(), CImapSocket::kMaxStoreLine);
        char want[32];
        std::snprintf(want, sizeof want, "a%06ld STORE ", tag++);
        EXPECT_EQ(l.compare(0, std::strlen(want), want), 0) << l.substr(0, 40);
        const std::string tail = " +FLAGS \\Deleted\r\n";
        EXPECT_EQ(l.compare(l.size() - tail.size(), tail.size(), tail), 0);
        std::string set = l.substr(std::strlen(want), l.size() - tail.size() - std::strlen(want));
        size_t start = 0;
        while (start < set.size()) {
            size_t comma = set.find(',', start);
            if (comma == std::string::npos)
                comma = set.size();
            const std::string run = set.substr(start, comma - start);
            const size_t colon = run.find(':');
            EXPECT_NE(colon, std::string::npos) << run;
            if (colon == std::string::npos)
                return {};
            for (uint64_t n = std::stoull(run.substr(0, colon));
                 n <= std::stoull(run.substr(colon + 1)); ++n)
                out.push_back(static_cast<uint32_t>(n));
            start = comma + 1;
        }
    }
    return out;
}

std::string EvenSearch(uint32_t count, std::vector<uint32_t>& numbers) {
    std::string line = "* SEARCH";
    for (uint32_t i = count; i >= 1; --i) {
        numbers.push_back(2 * i);
        line += ' ' + std::to_string(2 * i);
    }
    return line + "\r\n";
}

const char* kStoreLine = R"(a00000[3-9] STORE [0-9:,]+ \+FLAGS \\Deleted)";

}  // namespace

TEST(SessionStore, LongSetGoesAsSeveralStoresAndOnlyTheLastOkCompletes) {
    std::vector<uint32_t> numbers;
    const std::string search = EvenSearch(2000, numbers);
    FakeImapServer server;
    ScriptPrelude(server, 2);
    server.Expect(Exchange()[2].line)
        .Send(search + "a000002 OK SEARCH completed.\r\n")
        .ExpectMatch(kStoreLine)
        .Send("a000003 OK STORE completed.\r\n")
        .ExpectMatch(kStoreLine)
        .Gate()
        .Send("a000004 OK STORE completed.\r\n")
        .ExpectMatch(kStoreLine)
        .Send("a000005 OK STORE completed.\r\n")
        .Expect("a000006 EXPUNGE\r\n")
        .Send("a000006 OK EXPUNGE completed.\r\n");
    server.Start();
    Client c;
    DrivePrelude(c, server, 2);
    c.imap.SendSearch(kDate);
    ASSERT_TRUE(c.Await(c.imap.m_bSearched)) << c.imap.FailureReason();
    c.imap.SendStore();
    ASSERT_TRUE(PumpUntil([&] { return server.AtGate() || c.imap.HasFailed(); }));
    EXPECT_EQ(c.imap.m_bStored, 0);
    EXPECT_FALSE(c.imap.HasFailed());
    server.OpenGate();
    ASSERT_TRUE(c.Await(c.imap.m_bStored)) << c.imap.FailureReason();
    c.imap.SendExpunge();
    EXPECT_TRUE(c.Await(c.imap.m_bExpunged)) << c.imap.FailureReason();
    EXPECT_TRUE(server.Finish());

    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(StoredNumbers(server.ReceivedLines(), 3), numbers);
}

TEST(SessionStore, TenDigitNumbersAndLongTagsStayWithinTheLineLimit) {
    // Every run is "n:n" with ten digits each side, and the tags have grown
    // past six digits: the lines are as long as they get.
    constexpr long kFirst = 9876543210;
    auto tag = [](long n) {
        char t[32];
        std::snprintf(t, sizeof t, "a%06ld ", n);
        return std::string(t);
    };
    std::vector<uint32_t> numbers;
    std::string search = "* SEARCH";
    for (uint32_t i = 0; i < 1000; ++i) {
        numbers.push_back(4000000000u + 2 * i);
        search += ' ' + std::to_string(numbers.back());
    }
    FakeImapServer server;
    server.Accept()
        .Send(kGreeting)
        .Expect(tag(kFirst) + "LOGIN user secret\r\n")
        .Send(tag(kFirst) + "OK LOGIN completed.\r\n")
        .Expect(tag(kFirst + 1) + "SELECT INBOX\r\n")
        .Send(tag(kFirst + 1) + "OK [READ-WRITE] SELECT completed.\r\n")
        .Expect(tag(kFirst + 2) + "SEARCH ALL BEFORE 01-Jan-2024\r\n")
        .Send(search + "\r\n" + tag(kFirst + 2) + "OK SEARCH completed.\r\n");
    // 1000 runs of 22 bytes with their commas: three lines of at most 8000.
    for (long i = 3; i < 6; ++i)
        server.ExpectMatch(tag(kFirst + i) + "STORE [0-9:,]+ \\+FLAGS \\\\Deleted")
            .Send(tag(kFirst + i) + "OK STORE completed.\r\n");
    server.Start();
    Client c;
    c.imap.m_nTagCounter = kFirst;
    ASSERT_TRUE(c.Connect(server));
    c.imap.SendLogin("user", "secret");
    ASSERT_TRUE(c.Await(c.imap.m_bLoggedIn)) << c.imap.FailureReason();
    c.imap.SendSelect();
    ASSERT_TRUE(c.Await(c.imap.m_bSelected)) << c.imap.FailureReason();
    c.imap.SendSearch(kDate);
    ASSERT_TRUE(c.Await(c.imap.m_bSearched)) << c.imap.FailureReason();
    c.imap.SendStore();
    EXPECT_TRUE(c.Await(c.imap.m_bStored)) << c.imap.FailureReason();
    EXPECT_TRUE(server.Finish());
    EXPECT_EQ(StoredNumbers(server.ReceivedLines(), kFirst + 3), numbers);
}

TEST(SessionStore, RefusedSecondStoreEndsWithFailure) {
    std::vector<uint32_t> numbers;
    const std::string search = EvenSearch(2000, numbers);
    FakeImapServer server;
    ScriptPrelude(server, 2);
    server.Expect(Exchange()[2].line)
        .Send(search + "a000002 OK SEARCH completed.\r\n")
        .ExpectMatch(kStoreLine)
        .Send("a000003 OK STORE completed.\r\n")
        .ExpectMatch(kStoreLine)
        .Send("a000004 NO STORE failed.\r\n")
        .ExpectSilence(150ms);
    server.Start();
    Client c;
    DrivePrelude(c, server, 2);
    c.imap.SendSearch(kDate);
    ASSERT_TRUE(c.Await(c.imap.m_bSearched)) << c.imap.FailureReason();
    c.imap.SendStore();
    ASSERT_TRUE(c.AwaitFailure());
    EXPECT_EQ(c.imap.FailureReason(), "store rejected");
    EXPECT_EQ(c.imap.m_bStored, 0);
    EXPECT_TRUE(server.Finish());
    EXPECT_EQ(c.imap.m_bStored, 0);
}

// ---------------------------------------------------------------- LOGIN arguments

TEST(SessionLogin, QuotedArgumentsOnTheWireAndStarsInTheTranscript) {
    struct Case {
        std::string account, password, wire, logged;
    };
    const std::vector<Case> cases = {
        {"dom\\user", "pa ss\"w", "a000000 LOGIN \"dom\\\\user\" \"pa ss\\\"w\"\r\n",
         "a000000 LOGIN \"dom\\\\user\" ****\r\n"},
        {"user", "", "a000000 LOGIN user \"\"\r\n", "a000000 LOGIN user ****\r\n"},
        {"mario.rossi@example.it", "s3-cr_et.",
         "a000000 LOGIN mario.rossi@example.it s3-cr_et.\r\n",
         "a000000 LOGIN mario.rossi@example.it ****\r\n"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.wire);
        FakeImapServer server;
        server.Accept().Send(kGreeting).Expect(k.wire).Send("a000000 OK LOGIN completed.\r\n");
        server.Start();
        Client c;
        ASSERT_TRUE(c.Connect(server));
        EXPECT_EQ(c.imap.SendLogin(k.account, k.password), 1);
        EXPECT_TRUE(c.Await(c.imap.m_bLoggedIn)) << c.imap.FailureReason();
        EXPECT_TRUE(server.Finish());
        EXPECT_EQ(c.transcript.Tail(), kGreeting + k.logged + "a000000 OK LOGIN completed.\r\n");
    }
}

TEST(SessionLogin, EightBitPasswordGoesAsLiteralAfterTheContinuation) {
    const std::string password = "p\xC3\xA0ss";
    const std::string cont = "+ Ready for additional command text.\r\n";
    FakeImapServer server;
    server.Accept()
        .Send(kGreeting)
        .Expect("a000000 LOGIN user {5}\r\n")
        .ExpectSilence(200ms)  // the bytes wait for the server's "+"
        .Send(cont)
        .Expect(password + "\r\n")
        .Gate()
        .Send("a000000 OK LOGIN completed.\r\n");
    server.Start();
    Client c;
    ASSERT_TRUE(c.Connect(server));
    EXPECT_EQ(c.imap.SendLogin("user", password), 1);
    ASSERT_TRUE(PumpUntil([&] { return server.AtGate() || c.imap.HasFailed(); }));
    EXPECT_EQ(c.imap.m_bLoggedIn, 0);
    EXPECT_FALSE(c.imap.HasFailed());
    server.OpenGate();
    EXPECT_TRUE(c.Await(c.imap.m_bLoggedIn)) << c.imap.FailureReason();
    EXPECT_TRUE(server.Finish());
    EXPECT_EQ(c.transcript.Tail(),
              kGreeting + "a000000 LOGIN user ****\r\n" + cont + "a000000 OK LOGIN completed.\r\n");
}

TEST(SessionLogin, EightBitAccountAndPasswordTakeTwoContinuations) {
    const std::string account = "j\xC3\xB6rg";
    const std::string password = "\xE2\x82\xAC";
    FakeImapServer server;
    server.Accept()
        .Send(kGreeting)
        .Expect("a000000 LOGIN {5}\r\n")
        .ExpectSilence(100ms)
        .Send("+ go\r\n")
        .Expect(account + " {3}\r\n")
        .ExpectSilence(100ms)
        .SendPieces({"+", " go on\r\n"})
        .Expect(password + "\r\n")
        .Send("a000000 OK LOGIN completed.\r\n");
    server.Start();
    Client c;
    ASSERT_TRUE(c.Connect(server));
    EXPECT_EQ(c.imap.SendLogin(account, password), 1);
    EXPECT_TRUE(c.Await(c.imap.m_bLoggedIn)) << c.imap.FailureReason();
    EXPECT_TRUE(server.Finish());
    EXPECT_EQ(c.transcript.Tail(), kGreeting + "a000000 LOGIN {5}\r\n" + account + " ****\r\n" +
                                       "+ go\r\n+ go on\r\na000000 OK LOGIN completed.\r\n");
}

TEST(SessionLogin, RefusedLiteralKeepsThePasswordBack) {
    FakeImapServer server;
    server.Accept()
        .Send(kGreeting)
        .Expect("a000000 LOGIN user {5}\r\n")
        .Send("a000000 NO literal refused\r\n")
        .ExpectSilence(100ms)
        .Send("+ go\r\n")  // a continuation after the refusal changes nothing
        .ExpectSilence(150ms);
    server.Start();
    Client c;
    ASSERT_TRUE(c.Connect(server));
    c.imap.SendLogin("user", "p\xC3\xA0ss");
    ASSERT_TRUE(c.AwaitFailure());
    EXPECT_EQ(c.imap.FailureReason(), "login rejected");
    PumpFor(200ms);
    EXPECT_EQ(c.imap.m_bLoggedIn, 0);
    EXPECT_TRUE(server.Finish());
    EXPECT_EQ(server.Received(), "a000000 LOGIN user {5}\r\n");
}

TEST(SessionLogin, LineBreakOrNulInAnArgumentIsNeverSent) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"user", "pw\r\na000001 LOGOUT"},
        {"user", "pw\n"},
        {"user", "p\0w"s},
        {"us\rer", "pw"},
        {"us\0er"s, "pw"},
        {"us\n", "p\xC3\xA0ss"},
    };
    for (const auto& [account, password] : cases) {
        SCOPED_TRACE(Printable(account + " / " + password));
        FakeImapServer server;
        server.Accept().Send(kGreeting).ExpectSilence(150ms);
        server.Start();
        Client c;
        ASSERT_TRUE(c.Connect(server));
        EXPECT_EQ(c.imap.SendLogin(account, password), 0);
        EXPECT_TRUE(c.imap.HasFailed());
        EXPECT_NE(c.imap.FailureReason().find("CR, LF or NUL"), std::string::npos)
            << c.imap.FailureReason();
        PumpFor(150ms);
        EXPECT_EQ(c.imap.m_bLoggedIn, 0);
        EXPECT_TRUE(server.Finish());
        EXPECT_EQ(server.Received(), "");
        EXPECT_EQ(c.transcript.Tail(), kGreeting);
    }
}

// ---------------------------------------------------------------- bytes and sizes

TEST(SessionBytes, NulAndEightBitBytesAreKeptInTheTranscript) {
    TempFolder dir;
    const std::string greeting = "* OK nul\0here \xFF\xFE caf\xC3\xA9 ready\r\n"s;
    const std::string selectReply =
        "* FLAGS (\\Seen $Etichetta\x80\0)\r\n"
        "* OK [UNSEEN 1] \x01\x02\x7F\r\n"
        "a000001 OK [READ-WRITE] SELECT completed.\r\n"s;
    FakeImapServer server;
    server.Accept()
        .Send(greeting)
        .Expect(Exchange()[0].line)
        .Send(Exchange()[0].reply)
        .Expect(Exchange()[1].line)
        .Send(selectReply);
    server.Start();
    Client c(dir.File("log.txt"));
    ASSERT_TRUE(c.Connect(server)) << c.imap.FailureReason();
    Exchange()[0].send(c.imap);
    ASSERT_TRUE(c.Await(c.imap.m_bLoggedIn));
    c.imap.SendSelect();
    ASSERT_TRUE(c.Await(c.imap.m_bSelected)) << c.imap.FailureReason();
    EXPECT_EQ(c.imap.m_strReply, selectReply);
    EXPECT_TRUE(server.Finish());
    const std::string want =
        greeting + Exchange()[0].logged + Exchange()[0].reply + Exchange()[1].logged + selectReply;
    EXPECT_EQ(c.transcript.Tail(), want);
    EXPECT_EQ(ReadFileBytes(dir.File("log.txt")), CrLf(want));
}

TEST(SessionBytes, OverlongResponseLineFailsAndCloses) {
    FakeImapServer server;
    ScriptPrelude(server, 1);
    server.Expect(Exchange()[1].line)
        .Send("* OK ")
        .SendFlood(std::string(1 << 20, 'x'), 80)  // 80 MiB without a line end
        .ExpectClosed();
    server.SetStepTimeout(60s);
    server.Start();
    Client c;
    DrivePrelude(c, server, 1);
    c.imap.SendSelect();
    ASSERT_TRUE(c.AwaitFailure(120s));
    EXPECT_EQ(c.imap.FailureReason(), "response line too long");
    EXPECT_FALSE(c.imap.IsOpen());
    EXPECT_EQ(c.imap.m_bSelected, 0);
    EXPECT_LE(c.imap.m_strReply.size(), CImapSocket::kReplyKeep);
    EXPECT_TRUE(server.Finish(120s));
}

TEST(SessionBytes, FloodOfShortLinesForOneCommandFailsAndCloses) {
    FakeImapServer server;
    ScriptPrelude(server, 1);
    // 300 MiB of well-formed untagged lines, none of them the tagged completion.
    server.Expect(Exchange()[1].line)
        .SendFlood("* OK " + std::string((1 << 20) - 7, 'y') + "\r\n", 300)
        .ExpectClosed();
    server.SetStepTimeout(60s);
    server.Start();
    Client c;
    DrivePrelude(c, server, 1);
    c.imap.SendSelect();
    ASSERT_TRUE(c.AwaitFailure(180s));
    EXPECT_EQ(c.imap.FailureReason(), "server flood");
    EXPECT_FALSE(c.imap.IsOpen());
    EXPECT_EQ(c.imap.m_bSelected, 0);
    EXPECT_TRUE(server.Finish(120s));
}

TEST(SessionBytes, ComposersOnAClosedSocketFailWithoutSending) {
    Client c;
    c.imap.SendSelect();
    EXPECT_TRUE(c.imap.HasFailed());
    EXPECT_EQ(c.imap.FailureReason(), "not connected");
    EXPECT_EQ(c.imap.m_bSelected, 0);
}
