// CImapSocket with the test as its server: the exact bytes the client sends,
// when each command counts as completed, and how every refusal, hang-up and
// odd reply ends it. The server's bytes arrive whole, in pieces or byte by
// byte: how a reply is cut into reads must change nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>

#include "support/Harness.h"
#include "support/SessionPair.h"

namespace {
enum Step { Greeting, Login, Capability, Select, Search, Store, Check, Expunge, Logout, Unflag };

// One command and its answer, as they cross the wire.
struct Exchange {
    Step step;
    std::string client, server;
};
using Dialogue = std::vector<Exchange>;

// Exchange 2003: no UIDPLUS, so sequence numbers and a look for other deleted
// mail before EXPUNGE. One or two rows a Step, in order.
const Dialogue kExchange2003 = {
    {Greeting, "",
     "* OK Microsoft Exchange Server 2003 IMAP4rev1 server version 6.5.7638.1 ready.\r\n"},
    {Greeting, "a000000 CAPABILITY\r\n",
     "* CAPABILITY IMAP4 IMAP4rev1 IDLE LOGIN-REFERRALS MAILBOX-REFERRALS NAMESPACE LITERAL+\r\n"
     "a000000 OK CAPABILITY completed.\r\n"},
    {Login, "a000001 LOGIN admin@example.com s3cret\r\n", "a000001 OK LOGIN completed.\r\n"},
    {Capability, "a000002 CAPABILITY\r\n",
     "* CAPABILITY IMAP4 IMAP4rev1 IDLE LOGIN-REFERRALS MAILBOX-REFERRALS NAMESPACE LITERAL+\r\n"
     "a000002 OK CAPABILITY completed.\r\n"},
    {Select, "a000003 SELECT INBOX\r\n",
     "* 12 EXISTS\r\n* 0 RECENT\r\n* FLAGS (\\Answered \\Flagged \\Draft \\Deleted \\Seen)\r\n"
     "* OK [UIDVALIDITY 2117] UIDVALIDITY value\r\na000003 OK [READ-WRITE] SELECT completed.\r\n"},
    {Search, "a000004 SEARCH ALL BEFORE 01-Jan-2024\r\n",
     "* SEARCH 3 9 4\r\na000004 OK SEARCH completed.\r\n"},
    {Store, "a000005 STORE 3:4,9:9 +FLAGS \\Deleted\r\n",
     "* 3 FETCH (FLAGS (\\Seen \\Deleted))\r\n* 4 FETCH (FLAGS (\\Deleted))\r\n"
     "* 9 FETCH (FLAGS (\\Deleted))\r\na000005 OK STORE completed.\r\n"},
    {Check, "a000006 SEARCH DELETED\r\n", "* SEARCH 3 4 9\r\na000006 OK SEARCH completed.\r\n"},
    {Expunge, "a000007 EXPUNGE\r\n",
     "* 9 EXPUNGE\r\n* 4 EXPUNGE\r\n* 3 EXPUNGE\r\na000007 OK EXPUNGE completed.\r\n"},
    {Logout, "a000008 LOGOUT\r\n", "* BYE signing off.\r\na000008 OK LOGOUT completed.\r\n"},
};

// Exchange 2016: UIDPLUS, told only when asked; the run names messages by UID.
const Dialogue kExchange2016 = {
    {Greeting, "", "* OK The Microsoft Exchange IMAP4 service is ready.\r\n"},
    {Greeting, "a000000 CAPABILITY\r\n",  // STARTTLS offered, not taken: the security is none here
     "* CAPABILITY IMAP4 IMAP4rev1 AUTH=NTLM STARTTLS UIDPLUS\r\na000000 OK CAPABILITY "
     "completed.\r\n"},
    {Login, "a000001 LOGIN admin@example.com s3cret\r\n", "a000001 OK LOGIN completed.\r\n"},
    {Capability, "a000002 CAPABILITY\r\n",
     "* CAPABILITY IMAP4 IMAP4rev1 AUTH=NTLM AUTH=GSSAPI AUTH=PLAIN UIDPLUS MOVE ID UNSELECT "
     "CHILDREN IDLE NAMESPACE LITERAL+\r\na000002 OK CAPABILITY completed.\r\n"},
    {Select, "a000003 SELECT INBOX\r\n",
     "* 12 EXISTS\r\n* OK [UIDNEXT 510] The next unique identifier value\r\n"
     "a000003 OK [READ-WRITE] SELECT completed.\r\n"},
    {Search, "a000004 UID SEARCH ALL BEFORE 01-Jan-2024\r\n",
     "* SEARCH 103 109 104\r\na000004 OK SEARCH completed.\r\n"},
    {Store, "a000005 UID STORE 103:104,109:109 +FLAGS (\\Deleted)\r\n",
     "* 3 FETCH (FLAGS (\\Deleted) UID 103)\r\na000005 OK STORE completed.\r\n"},
    {Expunge, "a000006 UID EXPUNGE 103:104,109:109\r\n",
     "* 3 EXPUNGE\r\n* 3 EXPUNGE\r\n* 7 EXPUNGE\r\na000006 OK EXPUNGE completed.\r\n"},
    {Logout, "a000007 LOGOUT\r\n", "* BYE signing off.\r\na000007 OK LOGOUT completed.\r\n"},
};

void Command(CImapSocket& s, Step step) {
    const std::function<void()> commands[] = {
        [] {}, [&] { s.SendLogin("admin@example.com", "s3cret"); }, [&] { s.SendCapability(); },
        [&] { s.SendSelect(); }, [&] { s.SendSearch("01-Jan-2024"); }, [&] { s.SendStore(); },
        [&] { s.SendCheckAndExpunge(); },
        // without UIDPLUS the check sent it
        [&] {
            if (s.UsesUids())
                s.SendExpunge();
        },
        [&] { s.SendLogout(); }, [&] { s.SendUnflag(); }};
    commands[step]();
}

int32_t Flag(const CImapSocket& s, Step step) {
    const int32_t flags[] = {s.m_bConnected,    s.m_bLoggedIn, s.m_bCapable, s.m_bSelected,
                             s.m_bSearched,     s.m_bStored,   s.m_bChecked, s.m_bExpunged,
                             1 - s.m_bLoggedIn, s.m_bUnflagged};
    return flags[step];
}

// A step's first row and last row: its command is given at the first, and it
// completes with the last.
bool First(const Dialogue& d, size_t i) {
    return i == 0 || d[i - 1].step != d[i].step;
}
bool Last(const Dialogue& d, size_t i) {
    return i + 1 == d.size() || d[i + 1].step != d[i].step;
}

// The Exchange 2003 row of step (its first).
const Exchange& RowOf(Step step) {
    size_t i = 0;
    while (kExchange2003[i].step != step)
        ++i;
    return kExchange2003[i];
}

// Plays the dialogue up to (not including) step `until`, answers whole.
void PlayUntil(SessionPair& pair, Step until, const Dialogue& dialogue = kExchange2003) {
    for (size_t i = 0; dialogue[i].step != until; ++i) {
        if (First(dialogue, i))
            Command(pair.imap, dialogue[i].step);
        pair.Sent();
        pair.Serve(dialogue[i].server);
        if (Last(dialogue, i)) {
            ASSERT_EQ(Flag(pair.imap, dialogue[i].step), 1) << pair.imap.FailureReason();
        }
    }
}

// The log file's bytes for text: every LF is written as CR LF.
std::string OnDisk(const std::string& text) {
    std::string bytes;
    for (const char c : text)
        bytes += c == '\n' ? "\r\n" : std::string(1, c);
    return bytes;
}

// Every number named by the sets of the STORE lines in `lines` that carry op.
std::set<uint32_t> Stored(const std::string& lines, const char* op) {
    std::set<uint32_t> numbers;
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find("STORE ") + 6;
        if (at == 5 || line.find(op) == std::string::npos)
            continue;
        std::istringstream set(line.substr(at, line.find(' ', at) - at));
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

class Conversation : public ::testing::TestWithParam<std::tuple<const Dialogue*, size_t>> {};

TEST_P(Conversation, IsByteExactAndCompletesOnlyOnTheWholeTaggedLine) {
    const auto [dialogue, piece] = GetParam();
    TempFolder dir;
    SessionPair pair(dir.File("log"));
    std::string transcript;
    for (size_t i = 0; i < dialogue->size(); ++i) {
        const Exchange& e = (*dialogue)[i];
        SCOPED_TRACE(e.client);
        if (First(*dialogue, i))
            Command(pair.imap, e.step);
        EXPECT_EQ(pair.Sent(), e.client);
        pair.Serve(e.server.substr(0, e.server.size() - 1), piece);
        EXPECT_EQ(Flag(pair.imap, e.step), 0) << "completed before its line ended";
        pair.Serve("\n");
        EXPECT_EQ(Flag(pair.imap, e.step), Last(*dialogue, i) ? 1 : 0) << pair.imap.FailureReason();
        transcript +=
            e.step == Login ? e.client.substr(0, e.client.rfind(' ')) + " ****\r\n" : e.client;
        transcript += e.server;
    }
    EXPECT_EQ(pair.imap.FlaggedCount(), 3u);
    EXPECT_EQ(pair.imap.DeletedCount(), 3u);
    EXPECT_EQ(ReadFile(dir.File("log")), OnDisk(transcript));
}

INSTANTIATE_TEST_SUITE_P(Reads, Conversation,
                         ::testing::Combine(::testing::Values(&kExchange2003, &kExchange2016),
                                            ::testing::Values(SIZE_MAX, 7, 1)));

TEST(Session, EveryStepEndsOnRefusalByeOrHangUp) {
    const char* const kVerbs[] = {
        "",       "login", "capability", "select", "search", "store", "search for deleted mail",
        "expunge"};
    for (const Step step : {Greeting, Login, Capability, Select, Search, Store, Check, Expunge}) {
        const std::string tag = step == Greeting ? "* " : RowOf(step).client.substr(0, 8);
        const std::string refused =
            step == Greeting ? "unexpected greeting" : kVerbs[step] + std::string(" rejected");
        const std::pair<std::string, std::string> faults[] = {
            {tag + "NO no\r\n", refused},
            {tag + "BAD no\r\n", refused},
            {"* BYE going\r\n",
             step == Greeting ? "server refused the session" : "server ended the session"},
            {"", "server closed the connection"}};  // "": the server hangs up
        for (const auto& [reply, reason] : faults) {
            SCOPED_TRACE(RowOf(step).client + reply);
            TempFolder dir;
            SessionPair pair(dir.File("log"));
            PlayUntil(pair, step);
            Command(pair.imap, step);
            reply.empty() ? pair.HangUp() : pair.Serve(reply);
            EXPECT_EQ(Flag(pair.imap, step), 0);
            EXPECT_TRUE(pair.imap.HasFailed());
            EXPECT_EQ(pair.imap.FailureReason(), reason);
            if (!pair.imap.IsOpen()) {  // a command that can't reach the server isn't logged
                Command(pair.imap, Step(step + 1));
                const std::string& next = RowOf(Step(step + 1)).client;
                EXPECT_EQ(ReadFile(dir.File("log")).find(next.substr(0, next.size() - 2)),
                          std::string::npos);
            }
        }
    }
}

TEST(Session, OddRepliesAreReadAsIMAPMeansThem) {
    struct Row {
        const char* fault;  // what a client that got the reply wrong would do
        Step step;
        std::string reply, outcome;  // "@" stands for the step's tag; outcome: "done",
        size_t found = 0;            // "pending" or the failure; found: distinct messages
        std::string before = {};     // served before the step's command
    };
    const std::string bad = "malformed search result",
                      none = "server answered the search without a result",
                      other = "server answered the search with a result of another command";
    const Row rows[] = {
        // clang-format off
        {"misses a lower-case ok", Login, "@ ok LOGIN done\r\n", "done"},
        {"takes another tag for its own", Login, "a000009 OK LOGIN\r\n* OK x\r\n", "pending"},
        {"purges a read-only box", Select, "@ OK [READ-ONLY] x\r\n", "mailbox is read-only"},
        {"keeps one SEARCH line", Search, "* SEARCH 5\r\n* search 2 7\r\n@ OK x\r\n", "done", 3},
        {"fails an empty result", Search, "* SEARCH\r\n@ OK x\r\n", "done"},
        {"reads 4x7 as 47", Search, "* SEARCH 2 4x7\r\n@ OK x\r\n", bad},
        {"takes message 0", Search, "* SEARCH 0\r\n@ OK x\r\n", bad},
        {"wraps a number", Search, "* SEARCH 4294967297\r\n@ OK x\r\n", bad},
        {"parses a literal", Search, "* 1 FETCH (BODY[] {14}\r\n* SEARCH 1 2\r\n)\r\n* SEARCH 3\r\n@ OK x\r\n", "done", 1},
        {"adds a late SEARCH", Search, "* SEARCH 3\r\n@ OK x\r\n* SEARCH 4\r\n", "done", 1},
        {"takes more than EXISTS", Search, "* SEARCH 1 2 3 4 5 6\r\n* SEARCH 7 8 9 10 11 12 1\r\n@ OK x\r\n",
         "search names more messages than the mailbox holds"},
        {"takes a number above EXISTS", Search, "* SEARCH 13\r\n@ OK x\r\n",
         "search names a message the mailbox does not hold"},
        {"stores shifted numbers", Search, "* SEARCH 3\r\n* 1 EXPUNGE\r\n@ OK x\r\n", "server renumbered the mailbox"},
        {"stores on after a shift", Store, "* 1 EXPUNGE\r\n@ OK x\r\n", "server renumbered the mailbox"},
        {"expunges another's message", Check, "* SEARCH 3 4 5 9\r\n@ OK x\r\n", "other messages are marked deleted"},
        {"loses track of its flags", Check, "* 2 EXPUNGE\r\n* SEARCH 2 3 8\r\n@ OK x\r\n", "done"},
        {"stores numbers an EXPUNGE shifted since", Store, "", "server renumbered the mailbox", 0, "* 1 EXPUNGE\r\n"},
        {"takes no answer for none found", Search, "@ OK x\r\n", none},
        {"misses an ESEARCH result", Search, "* ESEARCH (TAG \"@\") ALL 4,3:3,9\r\n@ OK x\r\n", "done", 3},
        {"takes another command's ESEARCH", Search, "* ESEARCH (TAG \"a000009\") ALL 3\r\n@ OK x\r\n", other},
        {"takes an untagged ESEARCH", Search, "* ESEARCH ALL 3\r\n@ OK x\r\n", other},
        {"expands a range without bound", Search, "* ESEARCH (TAG \"@\") ALL 1:4294967295\r\n@ OK x\r\n",
         "search names more messages than the mailbox holds"},
        {"expunges after a check answered with nothing", Check, "@ OK x\r\n", none},
        {"misses the check's ESEARCH", Check, "* ESEARCH (TAG \"@\") ALL 3:4,9\r\n@ OK x\r\n", "done"},
        // clang-format on
    };
    for (const Row& row : rows) {
        for (const size_t piece : {SIZE_MAX, size_t{1}}) {
            SCOPED_TRACE(std::string("a client that ") + row.fault);
            SessionPair pair;
            PlayUntil(pair, row.step);
            pair.Serve(row.before);
            Command(pair.imap, row.step);
            std::string reply = row.reply;
            for (size_t at; (at = reply.find('@')) != std::string::npos;)
                reply.replace(at, 1, RowOf(row.step).client.substr(0, 7));
            pair.Serve(reply, piece);
            const bool done = row.outcome == "done", pending = row.outcome == "pending";
            EXPECT_EQ(pair.imap.FailureReason(), done || pending ? "" : row.outcome);
            EXPECT_EQ(Flag(pair.imap, row.step), done ? 1 : 0);
            if (row.step == Search) {
                EXPECT_EQ(pair.imap.FoundCount(), row.found);
            }
        }
    }
}

TEST(Session, StoreFlagsExactlyTheSearchResultAndUnflagsWhatAFailureLeft) {
    std::string many;  // every third message of 9000: too many runs for one line
    for (uint32_t n = 9000; n >= 3; n -= 3)
        many += ' ' + std::to_string(n);
    const std::string results[] = {" 7", " 1 2 5", " 6 5 5 4 10 12 11", many};
    for (const std::string& result : results) {
        for (const bool refuseLast : {false, true}) {
            SCOPED_TRACE(result.substr(0, 40));
            SessionPair pair;
            PlayUntil(pair, Select);
            pair.imap.SendSelect();
            pair.Serve("* 9000 EXISTS\r\n" + pair.Sent().substr(0, 8) + "OK [READ-WRITE] x\r\n");
            pair.imap.SendSearch("01-Jan-2024");
            pair.Serve("* SEARCH" + result + "\r\n" + pair.Sent().substr(0, 8) + "OK done\r\n");
            std::istringstream numbers(result);
            const std::set<uint32_t> wanted{std::istream_iterator<uint32_t>(numbers), {}};
            std::string sent, last;
            for (Step step : {Store, Unflag}) {
                Command(pair.imap, step);
                while (Flag(pair.imap, step) == 0 && !pair.imap.HasFailed()) {
                    sent += last = pair.Sent();
                    ASSERT_NE(last.find(" STORE "), std::string::npos) << last;
                    const bool refuse = refuseLast && step == Store &&
                                        Stored(sent, "+FLAGS").size() >= wanted.size();
                    pair.Serve(last.substr(0, 8) + (refuse ? "NO full" : "OK done") + "\r\n");
                }
                EXPECT_EQ(Flag(pair.imap, step), step == Store && refuseLast ? 0 : 1);
            }
            EXPECT_EQ(Stored(sent, "+FLAGS"), wanted);
            // After a refused last set, exactly the sets stored before it are unflagged.
            std::set<uint32_t> kept = Stored(sent.substr(0, sent.rfind("+FLAGS")), "+FLAGS");
            EXPECT_EQ(Stored(sent, "-FLAGS"), refuseLast ? kept : wanted);
        }
    }
}

// What an EXPUNGE removed, whoever sent it: the session's own messages count,
// the numbers of the rest follow, and the unflag names exactly what is left.
TEST(Session, ExpungeResponsesAreFollowedAndOnlyTheSessionsOwnCount) {
    const std::string throttled =
        " BAD Request is throttled. Suggested Backoff Time: 1 milliseconds";
    struct Row {
        const Dialogue* dialogue;
        std::vector<std::string> replies;  // to EXPUNGE; more after a throttle: check, EXPUNGE
        std::string failure, unflag;       // unflag: the set taken back, "" none
        unsigned deleted;
    } rows[] = {
        // clang-format off
        {&kExchange2003, {"* 3 EXPUNGE\r\n@ NO partly\r\n"}, "expunge rejected", "3:3,8:8", 1},
        {&kExchange2003, {"* 9 EXPUNGE\r\n* 2 EXPUNGE\r\n* 3 EXPUNGE\r\n* 2 EXPUNGE\r\n@ OK\r\n"},
         "the server expunged 1 messages more than the run flagged", "", 3},
        {&kExchange2003, {"* 4 EXPUNGE\r\n@ OK\r\n"}, "the server expunged 1 of the 3 messages flagged", "3:3,8:8", 1},
        {&kExchange2003, {"* 9 EXPUNGE\r\n@" + throttled + "\r\n", "* SEARCH 3 4\r\n@ OK\r\n",
                          "* 4 EXPUNGE\r\n* 3 EXPUNGE\r\n@ OK\r\n"}, "", "", 3},
        {&kExchange2016, {"* 3 EXPUNGE\r\n* 3 EXPUNGE\r\n* 1 EXPUNGE\r\n* 3 EXPUNGE\r\n* 2 EXPUNGE\r\n@ OK\r\n"}, "", "", 3},
        {&kExchange2016, {"* VANISHED 1:4294967295\r\n@ OK\r\n"}, "", "", 0},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.replies[0]);
        SessionPair pair;
        PlayUntil(pair, Expunge, *row.dialogue);
        Command(pair.imap, Expunge);
        for (size_t i = 0; i < row.replies.size(); ++i) {
            if (i == 1)
                pair.imap.SendCheckAndExpunge();  // after the pause, as the run does
            std::string reply = row.replies[i];
            reply.replace(reply.find('@'), 1, pair.Sent().substr(0, 7));
            pair.Serve(reply);
        }
        EXPECT_EQ(pair.imap.FailureReason(), row.failure);
        EXPECT_EQ(pair.imap.DeletedCount(), row.deleted);
        pair.imap.SendUnflag();
        const std::string unflag = pair.Sent();
        EXPECT_EQ(unflag.empty() ? "" : unflag.substr(14, unflag.find(' ', 14) - 14), row.unflag);
    }
}

TEST(Session, NoLoginGoesOutInTheClearWhereTlsIsAskedForOrRequired) {
    const std::string exchange = "* OK The Microsoft Exchange IMAP4 service is ready.\r\n";
    const std::string caps =
        "* CAPABILITY IMAP4 IMAP4rev1 LOGINDISABLED STARTTLS UIDPLUS\r\n"
        "a000000 OK CAPABILITY completed.\r\n";
    const std::string starttls = "* OK [CAPABILITY IMAP4rev1 STARTTLS] x\r\n",
                      begin = "a000000 OK Begin TLS\r\n",
                      gone =
                          "server offered TLS before and does not now: the password was not sent",
                      injected = "data after the STARTTLS answer: possible injection",
                      noToken = "no TLS: an access token is never sent in the clear",
                      preauth = "server greeted with PREAUTH: refusing an unauthenticated session";
    using M = SecurityMode;
    struct Row {
        SecurityMode mode;
        std::vector<std::string> server;  // served one after the other
        std::string sent, outcome;        // sent: how the client's bytes begin
        bool token = false, tlsBefore = false;
    } rows[] = {
        // clang-format off
        {M::None, {exchange, caps}, "a000000 CAPABILITY\r\n", "server requires TLS: set the security to starttls or tls"},
        {M::Auto, {exchange, caps, "a000001 OK Begin TLS negotiation now.\r\n", "HTTP/1.0 400\r\n\r\n"},
         "a000000 CAPABILITY\r\na000001 STARTTLS\r\n", "TLS handshake failed"},
        {M::StartTls, {"* OK [CAPABILITY IMAP4rev1 STARTTLS] x\r\n", "a000000 BAD no\r\n"}, "a000000 STARTTLS\r\n",
         "STARTTLS rejected"},
        {M::StartTls, {"* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] x\r\n"}, "", "server does not offer STARTTLS"},
        {M::Auto, {"* OK [CAPABILITY IMAP4rev1] x\r\n"}, "", "connected"},
        {M::None, {"* OK [CAPABILITY IMAP4rev1 STARTTLS] x\r\n"}, "", "connected"},
        {M::Auto, {"* OK [CAPABILITY IMAP4rev1 AUTH=XOAUTH2] x\r\n"}, "", noToken, true},
        {M::None, {"* OK [CAPABILITY IMAP4rev1 STARTTLS AUTH=XOAUTH2] x\r\n"}, "", noToken, true},
        {M::Auto, {"* OK [CAPABILITY IMAP4rev1] x\r\n"}, "", gone, false, true},
        {M::Auto, {"* PREAUTH [CAPABILITY IMAP4rev1 STARTTLS] x\r\n"}, "", preauth},
        {M::StartTls, {"* PREAUTH x\r\n"}, "", preauth},
        {M::Auto, {"* PREAUTH x\r\n"}, "", gone, false, true},
        {M::None, {"* PREAUTH [CAPABILITY IMAP4rev1] x\r\n"}, "", "connected"},
        {M::None, {"* OK [CAPABILITY IMAP4rev1 AUTH=XOAUTH2] x\r\n"}, "", "connected"},
        {M::Auto, {starttls, begin + "* CAPABILITY IMAP4rev1 LOGINDISABLED X\r\n"}, "a000000 STARTTLS\r\n", injected},
        {M::Auto, {starttls, begin + "* CAPABILITY IMAP4rev1 LOGINDISABLED X"}, "a000000 STARTTLS\r\n", injected},
        {M::StartTls, {starttls, begin + "* OK {5}\r\n"}, "a000000 STARTTLS\r\n", injected},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.outcome);
        SessionPair pair;
        CSecurityPolicy policy;
        policy.mode = row.mode;
        policy.tokenSignIn = row.token;
        policy.tlsBefore = row.tlsBefore;
        pair.imap.SetSecurity(policy, "127.0.0.1");
        std::string sent;
        for (const std::string& bytes : row.server) {
            pair.Serve(bytes);
            sent += pair.Sent();
        }
        EXPECT_EQ(sent.rfind(row.sent, 0), 0u) << sent;
        EXPECT_EQ(sent.find("LOGIN"), std::string::npos);
        EXPECT_EQ(pair.imap.m_bConnected == 1
                      ? "connected"
                      : pair.imap.FailureReason().substr(0, row.outcome.size()),
                  row.outcome);
        EXPECT_EQ(pair.imap.SendAuthenticate("a", "tok"), 0);  // never without TLS
        EXPECT_EQ(pair.Sent(), "");
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
        pair.Serve("* OK [CAPABILITY IMAP4rev1] ready\r\n");
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

// AUTHENTICATE XOAUTH2 as Exchange Online and Dovecot conduct it: the token in
// the command line or after "+", the refusal challenge answered with an empty
// line, throttling; the token never in the log.
TEST(Session, TokenSignInSendsXoauth2AndReadsTheRefusal) {
    const std::string ir = "* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=XOAUTH2] ready\r\n",
                      noIr = "* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN AUTH=XOAUTH2] ready\r\n",
                      token = "dXNlcj1hbm5hQGV4YW1wbGUuY29tAWF1dGg9QmVhcmVyIHRvay0xAQE=\r\n",
                      line = "a000000 AUTHENTICATE XOAUTH2";
    struct Row {
        std::string greeting;
        std::vector<std::pair<std::string, std::string>> wire;  // client bytes, server answer
        std::string failure;                                    // "": signed in
        unsigned throttleMs;
    } rows[] = {
        {ir, {{line + " " + token, "a000000 OK Logged in\r\n"}}, "", 0},
        {noIr, {{line + "\r\n", "+ \r\n"}, {token, "a000000 OK Logged in\r\n"}}, "", 0},
        {ir,
         {{line + " " + token,
           "+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJodHRwczovL291dGxvb2sub2Zm"
           "aWNlMzY1LmNvbS8ifQ==\r\n"},
          {"\r\n", "a000000 NO AUTHENTICATE failed.\r\n"}},
         "token refused (401)",
         0},
        {ir, {{line + " " + token, "a000000 NO AUTHENTICATE failed.\r\n"}}, "token refused", 0},
        {"* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] ready\r\n",
         {{"", ""}},
         "server does not offer AUTHENTICATE XOAUTH2",
         0},
        {ir,
         {{line + " " + token,
           "a000000 BAD Request is throttled. Suggested Backoff Time: 2500 milliseconds\r\n"}},
         "throttled by the server (2500 ms)",
         2500},
        {ir,
         {{line + " " + token, "a000000 bad request is THROTTLED. backoff time: 99999999999\r\n"}},
         "throttled by the server (300000 ms)",
         300000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.wire.back().second);
        TempFolder dir;
        SessionPair pair(dir.File("log"), false, true);
        pair.Serve(row.greeting);
        pair.imap.SendAuthenticate("anna@example.com", "tok-1");
        for (const auto& [client, server] : row.wire) {
            EXPECT_EQ(pair.Sent(), client);
            pair.Serve(server);
        }
        EXPECT_EQ(pair.imap.m_bLoggedIn, row.failure.empty() ? 1 : 0);
        EXPECT_EQ(pair.imap.FailureReason(), row.failure);
        EXPECT_EQ(pair.imap.ThrottleMs(), row.throttleMs);
        const std::string log = ReadFile(dir.File("log"));
        EXPECT_EQ(log.find("tok"), std::string::npos) << log;
        EXPECT_EQ(log.find(token.substr(0, 40)), std::string::npos) << log;
        if (row.failure.empty()) {
            EXPECT_NE(
                log.find(OnDisk(line + (row.greeting == ir ? " ****\r\n" : "\r\n+ \r\n****\r\n"))),
                std::string::npos)
                << log;
        }
    }
}
