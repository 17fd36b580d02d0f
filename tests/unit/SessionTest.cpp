// CImapSocket with the test as its server: the exact bytes the client sends,
// when each command counts as completed, and how every refusal, hang-up and
// odd reply ends it. The server's bytes arrive whole, in pieces or byte by
// byte: how a reply is cut into reads must change nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <set>
#include <sstream>

#include "support/Harness.h"
#include "support/SessionPair.h"

namespace {
enum Step { Greeting, Login, Select, Search, Store, Expunge, Logout };

// One command and its answer, as they cross the wire.
struct Exchange {
    std::string client, server;
};

// Exchange 2003's wording, from the greeting to the logout, one row a Step.
const std::vector<Exchange> kExchange = {
    {"", "* OK Microsoft Exchange Server 2003 IMAP4rev1 server version 6.5.7638.1 ready.\r\n"},
    {"a000000 LOGIN admin@example.com s3cret\r\n", "a000000 OK LOGIN completed.\r\n"},
    {"a000001 SELECT INBOX\r\n",
     "* 12 EXISTS\r\n* 0 RECENT\r\n* FLAGS (\\Answered \\Flagged \\Draft \\Deleted \\Seen)\r\n"
     "* OK [UIDVALIDITY 2117] UIDVALIDITY value\r\na000001 OK [READ-WRITE] SELECT completed.\r\n"},
    {"a000002 SEARCH ALL BEFORE 01-Jan-2024\r\n",
     "* SEARCH 3 9 4\r\na000002 OK SEARCH completed.\r\n"},
    {"a000003 STORE 3:4,9:9 +FLAGS \\Deleted\r\n",
     "* 3 FETCH (FLAGS (\\Seen \\Deleted))\r\n* 4 FETCH (FLAGS (\\Deleted))\r\n"
     "* 9 FETCH (FLAGS (\\Deleted))\r\na000003 OK STORE completed.\r\n"},
    {"a000004 EXPUNGE\r\n",
     "* 9 EXPUNGE\r\n* 4 EXPUNGE\r\n* 3 EXPUNGE\r\na000004 OK EXPUNGE completed.\r\n"},
    {"a000005 LOGOUT\r\n", "* BYE signing off.\r\na000005 OK LOGOUT completed.\r\n"},
};

void Command(CImapSocket& s, Step step) {
    const std::function<void()> commands[] = {[] {},
                                              [&] { s.SendLogin("admin@example.com", "s3cret"); },
                                              [&] { s.SendSelect(); },
                                              [&] { s.SendSearch("01-Jan-2024"); },
                                              [&] { s.SendStore(); },
                                              [&] { s.SendExpunge(); },
                                              [&] { s.SendLogout(); }};
    commands[step]();
}

int32_t Flag(const CImapSocket& s, Step step) {
    const int32_t flags[] = {s.m_bConnected, s.m_bLoggedIn, s.m_bSelected,    s.m_bSearched,
                             s.m_bStored,    s.m_bExpunged, 1 - s.m_bLoggedIn};
    return flags[step];
}

// Plays the conversation up to (not including) step `until`, answers whole.
void PlayUntil(SessionPair& pair, Step until) {
    for (Step step = Greeting; step < until; step = Step(step + 1)) {
        Command(pair.imap, step);
        pair.Sent();
        pair.Serve(kExchange[step].server);
        ASSERT_EQ(Flag(pair.imap, step), 1) << pair.imap.FailureReason();
    }
}

// The log file's bytes for text: every LF is written as CR LF.
std::string OnDisk(const std::string& text) {
    std::string bytes;
    for (const char c : text)
        bytes += c == '\n' ? "\r\n" : std::string(1, c);
    return bytes;
}

// Every number named by the sets of the STORE lines in `sent`.
std::set<uint32_t> Stored(const std::string& sent) {
    std::set<uint32_t> numbers;
    for (size_t at = 0; (at = sent.find(" STORE ", at)) != std::string::npos;) {
        at += 7;
        std::istringstream set(sent.substr(at, sent.find(' ', at) - at));
        for (std::string run; std::getline(set, run, ',');) {
            unsigned first = 0, last = 0;
            if (std::sscanf(run.c_str(), "%u:%u", &first, &last) == 1)
                last = first;
            for (auto n = first; n <= last; ++n)
                numbers.insert(n);
        }
    }
    return numbers;
}
}  // namespace

class Conversation : public ::testing::TestWithParam<size_t> {};

TEST_P(Conversation, IsByteExactAndCompletesOnlyOnTheWholeTaggedLine) {
    TempFolder dir;
    SessionPair pair(dir.File("log"));
    std::string transcript;
    for (Step step = Greeting; step <= Logout; step = Step(step + 1)) {
        const Exchange& e = kExchange[step];
        SCOPED_TRACE(e.client);
        Command(pair.imap, step);
        EXPECT_EQ(pair.Sent(), e.client);
        pair.Serve(e.server.substr(0, e.server.size() - 1), GetParam());
        EXPECT_EQ(Flag(pair.imap, step), 0) << "completed before its line ended";
        pair.Serve("\n");
        EXPECT_EQ(Flag(pair.imap, step), 1) << pair.imap.FailureReason();
        if (step == Search) {
            EXPECT_EQ(pair.imap.m_arrFound.Values(), (std::vector<uint32_t>{3, 9, 4}));
        }
        transcript += step == Login ? "a000000 LOGIN admin@example.com ****\r\n" : e.client;
        transcript += e.server;
    }
    EXPECT_FALSE(pair.imap.HasFailed()) << pair.imap.FailureReason();
    EXPECT_EQ(ReadFile(dir.File("log")), OnDisk(transcript));
}

INSTANTIATE_TEST_SUITE_P(Reads, Conversation, ::testing::Values(SIZE_MAX, 7, 1));

TEST(Session, EveryStepEndsOnRefusalByeOrHangUp) {
    const char* const kVerbs[] = {"", "login", "select", "search", "store", "expunge"};
    for (const Step step : {Greeting, Login, Select, Search, Store, Expunge}) {
        const std::string tag = step == Greeting ? "* " : kExchange[step].client.substr(0, 8);
        const std::string refused =
            step == Greeting ? "unexpected greeting" : kVerbs[step] + std::string(" rejected");
        const std::pair<std::string, std::string> faults[] = {
            {tag + "NO no\r\n", refused},
            {tag + "BAD no\r\n", refused},
            {"* BYE going\r\n",
             step == Greeting ? "server refused the session" : "server ended the session"},
            {"", "server closed the connection"}};  // "": the server hangs up
        for (const auto& [reply, reason] : faults) {
            SCOPED_TRACE(kExchange[step].client + reply);
            SessionPair pair;
            PlayUntil(pair, step);
            Command(pair.imap, step);
            reply.empty() ? pair.HangUp() : pair.Serve(reply);
            EXPECT_EQ(Flag(pair.imap, step), 0);
            EXPECT_TRUE(pair.imap.HasFailed());
            EXPECT_EQ(pair.imap.FailureReason(), reason);
        }
    }
}

TEST(Session, OddRepliesAreReadAsIMAPMeansThem) {
    struct Row {
        const char* fault;  // what a client that got the reply wrong would do
        Step step;
        std::string reply, outcome;  // outcome: "done", "pending" or the failure
        std::vector<uint32_t> found{};
    };
    const std::string ok = "a000002 OK x\r\n", bad = "malformed search result";
    const Row rows[] = {
        // clang-format off
        {"misses a lower-case ok", Login, "a000000 ok LOGIN done\r\n", "done"},
        {"takes another tag for its own", Login, "a000009 OK LOGIN\r\n* OK x\r\n", "pending"},
        {"purges a read-only box", Select, "a000001 OK [READ-ONLY] x\r\n", "mailbox is read-only"},
        {"keeps one SEARCH line", Search, "* SEARCH 5\r\n* search 2 7\r\n" + ok, "done", {5, 2, 7}},
        {"fails an empty result", Search, "* SEARCH\r\n" + ok, "done", {}},
        {"reads 4x7 as 47", Search, "* SEARCH 2 4x7\r\n" + ok, bad},
        {"takes message 0", Search, "* SEARCH 0\r\n" + ok, bad},
        {"wraps a number", Search, "* SEARCH 4294967297\r\n" + ok, bad},
        {"parses a literal", Search, "* 1 FETCH (BODY[] {14}\r\n* SEARCH 1 2\r\n)\r\n* SEARCH 3\r\n" + ok, "done", {3}},
        {"stops at EXISTS", Search, "* 3 EXISTS\r\n* SEARCH 1 2\r\n" + ok, "done", {1, 2}},
        {"adds a late SEARCH", Search, "* SEARCH 3\r\n" + ok + "* SEARCH 4\r\n", "done", {3}},
        // clang-format on
    };
    for (const Row& row : rows) {
        for (const size_t piece : {SIZE_MAX, size_t{1}}) {
            SCOPED_TRACE(std::string("a client that ") + row.fault);
            SessionPair pair;
            PlayUntil(pair, row.step);
            Command(pair.imap, row.step);
            pair.Serve(row.reply, piece);
            const bool done = row.outcome == "done", pending = row.outcome == "pending";
            EXPECT_EQ(pair.imap.FailureReason(), done || pending ? "" : row.outcome);
            EXPECT_EQ(Flag(pair.imap, row.step), done ? 1 : 0);
            EXPECT_EQ(pair.imap.m_arrFound.Values(), row.found);
        }
    }
}

TEST(Session, StoreFlagsExactlyTheSearchResultAndCompletesAfterItsLastSet) {
    std::string many;  // every third message of 9000: too many runs for one line
    for (uint32_t n = 9000; n >= 3; n -= 3)
        many += ' ' + std::to_string(n);
    const std::string results[] = {" 7", " 3 9 4", " 1 2 5", " 6 5 5 4 10 12 11", many};
    for (const std::string& result : results) {
        for (const bool refuseLast : {false, true}) {
            SCOPED_TRACE(result.substr(0, 40));
            SessionPair pair;
            PlayUntil(pair, Search);
            pair.imap.SendSearch("01-Jan-2024");
            pair.Sent();
            pair.Serve("* SEARCH" + result + "\r\na000002 OK done\r\n");
            const auto& values = pair.imap.m_arrFound.Values();
            const std::set<uint32_t> wanted(values.begin(), values.end());
            pair.imap.SendStore();
            std::string sent;
            while (pair.imap.m_bStored == 0 && !pair.imap.HasFailed()) {
                const std::string line = pair.Sent();
                ASSERT_EQ(line.compare(7, 7, " STORE "), 0) << line;
                sent += line;
                const bool last = Stored(sent).size() >= wanted.size();
                pair.Serve(line.substr(0, 8) + (refuseLast && last ? "NO full" : "OK done") +
                           "\r\n");
            }
            EXPECT_EQ(Stored(sent), wanted);
            EXPECT_EQ(pair.imap.m_bStored, refuseLast ? 0 : 1);
            EXPECT_EQ(pair.imap.FailureReason(), refuseLast ? "store rejected" : "");
        }
    }
}

TEST(Session, LoginSendsEveryFormButNeverLogsThePassword) {
    struct Row {
        std::string account, password;
        std::vector<std::string> wire;  // client line, then each part after a "+"
        std::string logged;
    } rows[] = {
        // clang-format off
        {"John Doe", "p\"a\\ss word", {"a000000 LOGIN \"John Doe\" \"p\\\"a\\\\ss word\"\r\n"},
         "a000000 LOGIN \"John Doe\" ****\r\n"},
        {"m\xfcller", "p\xe4ss", {"a000000 LOGIN {6}\r\n", "m\xfcller {4}\r\n", "p\xe4ss\r\n"},
         "a000000 LOGIN {6}\r\nm\xfcller ****\r\n"},
        {"bob", "x\r\nA1 DELETE INBOX", {""}, ""},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.wire[0]);
        TempFolder dir;
        SessionPair pair(dir.File("log"));
        pair.Serve("* OK ready\r\n");
        pair.imap.SendLogin(row.account, row.password);
        for (size_t i = 0; i < row.wire.size(); ++i) {
            EXPECT_EQ(pair.Sent(), row.wire[i]);
            pair.Serve(i + 1 < row.wire.size() ? "+ go on\r\n" : "a000000 OK LOGIN done\r\n");
        }
        EXPECT_EQ(pair.imap.m_bLoggedIn, row.logged.empty() ? 0 : 1);
        const std::string log = ReadFile(dir.File("log"));
        EXPECT_NE(log.find(OnDisk(row.logged)), std::string::npos) << log;
        EXPECT_EQ(log.find(row.password), std::string::npos) << log;
    }
}
