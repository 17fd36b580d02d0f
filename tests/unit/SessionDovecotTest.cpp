// Whole IMAP conversations of CImapSocket against a real server: a private
// Dovecot on 127.0.0.1. What the mailbox holds afterwards is read back over a
// separate connection, so the checks do not trust the client's own account.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "imap/ImapSocket.h"
#include "support/Dovecot.h"
#include "support/EventPump.h"
#include "support/TempFolder.h"

namespace {
using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

constexpr char kCutoff[] = "01-Jan-2020";

// Pumps until the flag is raised or the command failed.
AssertionResult Await(CImapSocket& s, const int32_t& flag, const char* what) {
    if (!PumpUntil([&] { return flag == 1 || s.HasFailed(); }))
        return AssertionFailure() << what << ": no outcome within the deadline";
    if (s.HasFailed())
        return AssertionFailure() << what << " failed: " << s.FailureReason();
    return AssertionSuccess();
}

AssertionResult ConnectAndLogin(CImapSocket& s, unsigned port, const std::string& user,
                                const std::string& password) {
    if (!s.ConnectToServer("127.0.0.1", port))
        return AssertionFailure() << "no socket: " << s.FailureReason();
    if (auto r = Await(s, s.m_bConnected, "greeting"); !r)
        return r;
    if (s.SendLogin(user, password) != 1)
        return AssertionFailure() << "LOGIN not sent: " << s.FailureReason();
    return Await(s, s.m_bLoggedIn, "LOGIN");
}

// LOGIN, SELECT and SEARCH before the cut-off.
AssertionResult LoginSelectSearch(CImapSocket& s, unsigned port, const std::string& user,
                                  const std::string& password) {
    if (auto r = ConnectAndLogin(s, port, user, password); !r)
        return r;
    s.SendSelect();
    if (auto r = Await(s, s.m_bSelected, "SELECT"); !r)
        return r;
    s.SendSearch(kCutoff);
    return Await(s, s.m_bSearched, "SEARCH");
}

AssertionResult StoreExpungeLogout(CImapSocket& s) {
    s.SendStore();
    if (auto r = Await(s, s.m_bStored, "STORE"); !r)
        return r;
    s.SendExpunge();
    if (auto r = Await(s, s.m_bExpunged, "EXPUNGE"); !r)
        return r;
    s.SendLogout();
    if (!PumpUntil([&] { return !s.IsOpen() || s.HasFailed(); }))
        return AssertionFailure() << "LOGOUT: connection still open after the deadline";
    if (s.HasFailed())
        return AssertionFailure() << "LOGOUT failed: " << s.FailureReason();
    if (s.m_bLoggedIn != 0)
        return AssertionFailure() << "LOGOUT: still marked logged in";
    return AssertionSuccess();
}

// Lines of a transcript (CR LF or LF ended) that are STORE commands.
std::vector<std::string> StoreLines(const std::string& transcript) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < transcript.size()) {
        size_t end = transcript.find('\n', start);
        if (end == std::string::npos)
            end = transcript.size();
        const std::string line = transcript.substr(start, end - start + 1);
        if (line.size() > 8 && line[0] == 'a' && line.compare(7, 7, " STORE ") == 0)
            lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// Message numbers named by a set such as "1:2,4:4,9:9".
std::vector<uint32_t> Expand(const std::string& set) {
    std::vector<uint32_t> numbers;
    size_t start = 0;
    while (start < set.size()) {
        size_t comma = set.find(',', start);
        if (comma == std::string::npos)
            comma = set.size();
        unsigned first = 0, last = 0;
        if (std::sscanf(set.substr(start, comma - start).c_str(), "%u:%u", &first, &last) == 2)
            for (unsigned n = first; n <= last && n - first < 100000; ++n)
                numbers.push_back(n);
        else
            ADD_FAILURE() << "not a first:last run: " << set.substr(start, comma - start);
        start = comma + 1;
    }
    return numbers;
}

// What the log file must hold for the given transcript: every LF as CR LF.
std::string AsLogged(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

class SessionDovecot : public ::testing::Test {
protected:
    void SetUp() override {
        DovecotServer& d = DovecotServer::Shared();
        ASSERT_TRUE(d.IsRunning()) << d.StartFailure();
        server = &d;
        port = d.Port();
    }

    std::string NewUser(const std::string& password) {
        const std::string user = DovecotServer::UniqueUser("qd");
        server->AddUser(user, password);
        return user;
    }

    DovecotServer* server = nullptr;
    unsigned port = 0;
};

// Old and new messages interleaved, with the last second before the cut-off
// and the cut-off's first second: a first:last range would take new ones too.
TEST_F(SessionDovecot, WholeSessionDeletesExactlyTheMessagesBeforeTheCutoff) {
    const std::string user = NewUser("secret");
    server->AddMessages(user, {{UtcTime(2019, 6, 1, 12), "old-1"},
                               {UtcTime(2020, 1, 1, 0, 0, 0), "new-2"},
                               {UtcTime(2019, 12, 31, 23, 59, 59), "old-3"},
                               {UtcTime(2018, 3, 15), "old-4"},
                               {UtcTime(2024, 7, 4), "new-5"}});
    std::vector<StoredMail> before;
    std::string error;
    ASSERT_TRUE(server->ReadMailbox(user, &before, &error)) << error << server->Log();
    ASSERT_EQ(before.size(), 5u);
    EXPECT_EQ(before[1].internalDate, "01-Jan-2020 00:00:00 +0000");
    EXPECT_EQ(before[2].subject, "old-3");
    EXPECT_EQ(before[2].internalDate, "31-Dec-2019 23:59:59 +0000");

    CTranscript transcript;
    CImapSocket s(transcript);
    ASSERT_TRUE(LoginSelectSearch(s, port, user, "secret")) << transcript.Tail();
    EXPECT_EQ(s.m_arrFound.Values(), (std::vector<uint32_t>{1, 3, 4}));
    ASSERT_TRUE(StoreExpungeLogout(s)) << transcript.Tail();

    EXPECT_EQ(server->Subjects(user), (std::vector<std::string>{"new-2", "new-5"}));

    const std::string& t = transcript.Tail();
    EXPECT_EQ(t.rfind("* OK ", 0), 0u) << t;
    EXPECT_NE(t.find("a000000 LOGIN " + user + " ****\r\n"), std::string::npos) << t;
    EXPECT_NE(t.find("a000001 SELECT INBOX\r\n"), std::string::npos) << t;
    EXPECT_NE(t.find("a000002 SEARCH ALL BEFORE 01-Jan-2020\r\n"), std::string::npos) << t;
    EXPECT_NE(t.find("\r\n* SEARCH 1 3 4\r\n"), std::string::npos) << t;
    EXPECT_EQ(StoreLines(t), std::vector<std::string>{"a000003 STORE 1:1,3:4 +FLAGS \\Deleted\r\n"})
        << t;
    EXPECT_NE(t.find("a000004 EXPUNGE\r\n"), std::string::npos) << t;
    EXPECT_NE(t.find("a000005 LOGOUT\r\n"), std::string::npos) << t;
    EXPECT_NE(t.find("a000005 OK"), std::string::npos) << t;
    EXPECT_EQ(t.find(" NO "), std::string::npos) << t;
    EXPECT_EQ(t.find(" BAD "), std::string::npos) << t;
}

TEST_F(SessionDovecot, RejectedLoginFailsAndLeavesTheMailboxAlone) {
    const std::string user = NewUser("right-one");
    server->AddMessages(user, {{UtcTime(2015, 1, 1), "old"}});

    // A wrong password for a real user, and a user the server never heard of.
    for (const auto& [account, password] : std::vector<std::pair<std::string, std::string>>{
             {user, "wrong-one"}, {user + "x", "right-one"}}) {
        SCOPED_TRACE(account + " / " + password);
        CTranscript transcript;
        CImapSocket s(transcript);
        ASSERT_TRUE(s.ConnectToServer("127.0.0.1", port));
        ASSERT_TRUE(Await(s, s.m_bConnected, "greeting"));
        ASSERT_EQ(s.SendLogin(account, password), 1) << s.FailureReason();
        ASSERT_TRUE(PumpUntil([&] { return s.m_bLoggedIn == 1 || s.HasFailed(); }))
            << transcript.Tail();
        EXPECT_TRUE(s.HasFailed());
        EXPECT_EQ(s.FailureReason(), "login rejected");
        EXPECT_EQ(s.m_bLoggedIn, 0);
        EXPECT_NE(transcript.Tail().find("\r\na000000 NO [AUTHENTICATIONFAILED]"),
                  std::string::npos)
            << transcript.Tail();
        EXPECT_EQ(transcript.Tail().find(password), std::string::npos) << transcript.Tail();
        s.Close();
    }
    EXPECT_EQ(server->Subjects(user), std::vector<std::string>{"old"});
}

// Nothing before the cut-off (the boundary message is not before it), and an
// INBOX with no messages at all: STORE must not reach the server.
TEST_F(SessionDovecot, EmptySearchSendsNoStore) {
    const std::string withNewOnly = NewUser("pw");
    server->AddMessages(withNewOnly, {{UtcTime(2020, 1, 1, 0, 0, 0), "first-second"},
                                      {UtcTime(2023, 5, 5), "later"}});
    const std::string withNothing = NewUser("pw");

    for (const std::string& user : {withNewOnly, withNothing}) {
        SCOPED_TRACE(user);
        const std::vector<std::string> subjects = server->Subjects(user);
        CTranscript transcript;
        CImapSocket s(transcript);
        ASSERT_TRUE(LoginSelectSearch(s, port, user, "pw")) << transcript.Tail();
        EXPECT_EQ(s.m_bSearched, 1);
        EXPECT_TRUE(s.m_arrFound.IsEmpty());

        const unsigned long long sizeBefore = transcript.Size();
        s.SendStore();
        EXPECT_EQ(s.m_bStored, 1);  // at once: there is nothing to wait for
        EXPECT_FALSE(s.HasFailed()) << s.FailureReason();
        EXPECT_EQ(transcript.Size(), sizeBefore + 7);
        const std::string& t = transcript.Tail();
        EXPECT_EQ(t.substr(t.size() - 7), "\nVUOTA\n");

        s.SendExpunge();
        ASSERT_TRUE(Await(s, s.m_bExpunged, "EXPUNGE")) << t;
        s.SendLogout();
        ASSERT_TRUE(PumpUntil([&] { return !s.IsOpen() || s.HasFailed(); })) << t;
        EXPECT_FALSE(s.HasFailed()) << s.FailureReason();
        // No tag was spent on a STORE and the server saw none.
        EXPECT_NE(t.find("\nVUOTA\na000003 EXPUNGE\r\n"), std::string::npos) << t;
        EXPECT_EQ(t.find(" STORE "), std::string::npos) << t;
        EXPECT_EQ(t.find(" BAD "), std::string::npos) << t;
        EXPECT_EQ(server->Subjects(user), subjects);
    }
}

// 3000 messages, 1800 of them old in runs of one and two: the set is far
// longer than one STORE line may be.
TEST_F(SessionDovecot, LongSetGoesOutInSeveralStoresAndDeletesOnlyThoseMessages) {
    const std::string user = NewUser("pw");
    std::vector<MailToAdd> mails;
    std::vector<uint32_t> old;
    std::vector<std::string> kept;
    char subject[32];
    for (unsigned i = 1; i <= 3000; ++i) {
        const bool isOld = i % 5 == 1 || i % 5 == 2 || i % 5 == 4;
        std::snprintf(subject, sizeof subject, "%s-%04u", isOld ? "old" : "new", i);
        mails.push_back(
            {isOld ? UtcTime(2019, 1 + i % 12, 1 + i % 28, i % 24) : UtcTime(2021, 2, 3), subject});
        if (isOld)
            old.push_back(i);
        else
            kept.push_back(subject);
    }
    server->AddMessages(user, mails);
    EXPECT_EQ(server->Subjects(user).size(), 3000u);

    CTranscript transcript;
    CImapSocket s(transcript);
    ASSERT_TRUE(LoginSelectSearch(s, port, user, "pw")) << s.FailureReason();
    EXPECT_EQ(s.m_arrFound.Values(), old);
    ASSERT_TRUE(StoreExpungeLogout(s));
    EXPECT_EQ(server->Subjects(user), kept);

    const std::string& t = transcript.Tail();
    ASSERT_EQ(transcript.Size(), t.size()) << "transcript tail too short for the checks";
    const std::vector<std::string> stores = StoreLines(t);
    ASSERT_GE(stores.size(), 2u);
    std::vector<uint32_t> named;
    size_t searchFrom = 0;
    for (size_t i = 0; i < stores.size(); ++i) {
        const std::string& line = stores[i];
        EXPECT_LE(line.size(), CImapSocket::kMaxStoreLine);
        const std::string suffix = " +FLAGS \\Deleted\r\n";
        ASSERT_EQ(line.substr(line.size() - suffix.size()), suffix);
        const std::vector<uint32_t> part =
            Expand(line.substr(14, line.size() - 14 - suffix.size()));
        named.insert(named.end(), part.begin(), part.end());
        // Each STORE goes out only after the previous one completed.
        const std::string tag = line.substr(0, 8);
        const size_t sent = t.find(line, searchFrom);
        const size_t done = t.find("\r\n" + tag + "OK", sent);
        ASSERT_NE(sent, std::string::npos);
        ASSERT_NE(done, std::string::npos) << tag << " never completed";
        if (i + 1 < stores.size()) {
            EXPECT_LT(done, t.find(stores[i + 1], sent)) << tag;
        }
        searchFrom = done;
    }
    EXPECT_EQ(named, old);  // in order, each once, nothing else
}

TEST_F(SessionDovecot, PasswordsNeedingQuotesOrLiteralsLogInAndAreNeverLogged) {
    TempFolder logs;
    const std::vector<std::string> passwords = {
        "two words",       "say \"hi\"", "back\\slash", "(paren", "100%", "a b\"c\\d(e%f)*{3}",
        "p\xC3\xA4sswort",  // 8-bit: goes out as a literal
    };
    int index = 0;
    for (const std::string& password : passwords) {
        SCOPED_TRACE(password);
        // A name with '+' must be quoted too.
        const std::string user = DovecotServer::UniqueUser("qd+") + "x";
        server->AddUser(user, password);
        const std::string logPath = logs.File("log" + std::to_string(++index));
        CTranscript transcript(logPath);
        CImapSocket s(transcript);
        ASSERT_TRUE(ConnectAndLogin(s, port, user, password)) << transcript.Tail();
        s.SendLogout();
        ASSERT_TRUE(PumpUntil([&] { return !s.IsOpen() || s.HasFailed(); }));
        EXPECT_FALSE(s.HasFailed()) << s.FailureReason();

        const std::string& t = transcript.Tail();
        const std::string logged = ReadFileBytes(logPath);
        EXPECT_NE(t.find("a000000 LOGIN \"" + user + "\" ****\r\n"), std::string::npos) << t;
        EXPECT_NE(logged.find("a000000 LOGIN \"" + user + "\" ****\r\r\n"), std::string::npos)
            << logged;
        for (const std::string& secret : {password, password.substr(0, 5)}) {
            EXPECT_EQ(t.find(secret), std::string::npos) << t;
            EXPECT_EQ(logged.find(secret), std::string::npos) << logged;
        }
    }
}

// The log holds every byte of the conversation, each LF as CR LF: lines sent
// as CR LF end CR CR LF there.
TEST_F(SessionDovecot, LogFileHoldsTheConversationWithLoginMasked) {
    const std::string user = NewUser("log pw");
    server->AddMessages(user, {{UtcTime(2019, 2, 2), "old"}, {UtcTime(2022, 2, 2), "new"}});
    TempFolder logs;
    const std::string logPath = logs.File("session.log");
    CTranscript transcript(logPath);
    CImapSocket s(transcript);
    ASSERT_TRUE(LoginSelectSearch(s, port, user, "log pw")) << transcript.Tail();
    ASSERT_TRUE(StoreExpungeLogout(s)) << transcript.Tail();
    EXPECT_EQ(server->Subjects(user), std::vector<std::string>{"new"});

    const std::string logged = ReadFileBytes(logPath);
    ASSERT_EQ(transcript.Size(), transcript.Tail().size());
    EXPECT_EQ(logged, AsLogged(transcript.Tail()));
    EXPECT_EQ(logged.rfind("* OK ", 0), 0u) << logged;
    for (const std::string& sent :
         {"a000000 LOGIN " + user + " ****", std::string("a000001 SELECT INBOX"),
          std::string("a000002 SEARCH ALL BEFORE 01-Jan-2020"),
          std::string("a000003 STORE 1:1 +FLAGS \\Deleted"), std::string("a000004 EXPUNGE"),
          std::string("a000005 LOGOUT")})
        EXPECT_NE(logged.find("\r\n" + sent + "\r\r\n"), std::string::npos) << sent << "\n"
                                                                            << logged;
    EXPECT_EQ(logged.find("log pw"), std::string::npos) << logged;
    // No line break in any other form.
    for (size_t at = logged.find('\n'); at != std::string::npos; at = logged.find('\n', at + 1))
        ASSERT_TRUE(at >= 2 && logged.compare(at - 2, 2, "\r\r") == 0) << "at byte " << at;
}
}  // namespace
