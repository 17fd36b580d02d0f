// Whole runs against a real Dovecot: what is left in its Maildirs, flags included.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdio.h>
#include <unistd.h>

#include <cstring>

#include "support/Dovecot.h"
#include "support/RunHarness.h"
#include "support/ScriptedServer.h"
#include "support/TokenServer.h"

namespace {
using Texts = std::vector<std::string>;

const std::string kCutoff = "01-Jun-2020";

// Subjects tell the date and the position: old1, new2, ...
void AddMail(Dovecot& d, const std::string& account, const std::vector<std::time_t>& dates) {
    for (unsigned i = 1; i <= dates.size(); ++i)
        d.AddMessage(account, i, dates[i - 1],
                     (dates[i - 1] == kOld ? "old" : "new") + std::to_string(i));
}

// Sends line to fd and returns the answer, up to the line tagged tag.
std::string Forward(int fd, const std::string& line, const std::string& tag) {
    ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    std::string answer;
    char buf[4096];
    ssize_t n;
    while (
        ((answer.rfind(tag + " ", 0) != 0 && answer.find("\n" + tag + " ") == std::string::npos) ||
         answer.back() != '\n') &&
        (n = ::recv(fd, buf, sizeof buf, 0)) > 0)
        answer.append(buf, static_cast<size_t>(n));
    return answer;
}
}  // namespace

// Old and new mail interleaved, so that a first:last range over the old ones
// would hit a new one; a refused login in the middle; a password for each
// LOGIN form: quoted (space and '"'), and literal (8-bit bytes).
TEST(DovecotRun, ListRunDeletesExactlyTheOldMailAndGoesOnPastARefusedLogin) {
    const std::string quoted = "my \"pass word", literal = "p\xE4ss\xF6rd\xC3\xA9";
    Dovecot d;
    d.AddAccount("alice", quoted);
    d.AddAccount("bob", "right");
    d.AddAccount("carol", literal);
    AddMail(d, "alice", {kOld, kNew, kOld, kOld, kNew});
    // Marked deleted by the user's own client: the new one is none of the run's
    // business; the old one is, as the search finds flagged messages too.
    d.AddMessage("alice", 6, kNew, "new6", "T");
    d.AddMessage("alice", 7, kOld, "old7", "T");
    d.AddMessage("carol", 3, kNew, "new3", "T");  // found nothing: nothing is expunged
    AddMail(d, "carol", {kNew, kNew});
    ASSERT_EQ(d.Start(), "");

    TestRun run(d.Port(), 20);
    run.users.m_arrAccounts = {"alice", "bob", "carol"};
    run.users.m_arrPasswords = {quoted, "wrong", literal};
    run.sequencer.StartListRun(kCutoff);
    ASSERT_TRUE(run.WaitForEnd());

    EXPECT_EQ(d.Subjects("alice"), (Texts{"new2", "new5", "new6:T"}));
    EXPECT_EQ(d.Subjects("carol"), (Texts{"new1", "new2", "new3:T"}));
    const std::string connected = "Connected to server 127.0.0.1";
    const std::string searching = "Search mails with date before " + kCutoff;
    // clang-format off
    EXPECT_EQ(run.statuses, (Texts{
        connected, "Login User alice", searching, "Deleting 4 mails", "Logout from exchange server.",
        connected, "Login User bob", "Failed for user bob: login rejected",
        connected, "Login User carol", searching, "No message found", "Logout from exchange server.",
        "Operazione completata. 4 messages deleted. 1 of 3 accounts failed."}));
    // clang-format on
}

// Through a proxy that refuses the second UID STORE of 1000 old messages:
// the first set's flags are taken back, nothing is expunged.
TEST(DovecotRun, ARefusedSecondStoreLeavesNoMessageFlagged) {
    Dovecot d;
    d.AddAccount("erin", "pw");
    std::vector<std::time_t> dates;
    for (int i = 0; i < 2000; ++i)
        dates.push_back(i % 2 ? kNew : kOld);  // runs of one: the sets need two lines
    AddMail(d, "erin", dates);
    ASSERT_EQ(d.Start(), "");
    int upstream = ::socket(AF_INET, SOCK_STREAM, 0), stores = 0;
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(d.Port())), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(upstream, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    Forward(upstream, "", "*");  // the greeting
    ScriptedServer proxy([&](int, const std::string& tag, const std::string& command) -> Reply {
        if (command.rfind("UID STORE", 0) == 0 && ++stores == 2)
            return {tag + " NO not now\r\n"};
        return {Forward(upstream, tag + " " + command + "\r\n", tag)};
    });
    TestRun run(proxy.Port(), 20);
    run.sequencer.StartSingleRun("erin", "pw", kCutoff);
    ASSERT_TRUE(run.WaitForEnd());
    ::close(upstream);
    EXPECT_EQ(run.statuses.end()[-2],
              "Failed for user erin: store rejected; deleted flags removed");
    const Texts left = d.Subjects("erin");
    EXPECT_EQ(left.size(), 2000u);
    for (const std::string& subject : left)
        ASSERT_EQ(subject.find(':'), std::string::npos) << subject;  // no flag left behind
}

// TLS required by Dovecot on 127.0.0.2, reached from 127.0.0.1. Certificates:
// one from a CA the test trusts as the system would, one from it for another
// name, a self-signed one. Each row is a list run of two accounts.
TEST(DovecotRun, TlsIsUsedAsAskedAndOnlyTrustedCertificatesPass) {
    TempFolder dir;
    // clang-format off
    const std::string req = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=";
    const std::string leaf = " -addext basicConstraints=CA:FALSE", byCa = leaf + " -CA ca.pem -CAkey ca.key";
    const std::string make = "cd " + dir.Path() + " && { " +
        req + "CA -keyout ca.key -out ca.pem && " +
        req + "127.0.0.2 -addext subjectAltName=IP:127.0.0.2 -keyout good.key -out good.pem" + byCa + " && " +
        req + "x -addext subjectAltName=DNS:other.example -keyout other.key -out other.pem" + byCa + " && " +
        req + "127.0.0.2 -keyout self.key -out self.pem" + leaf + "; } >/dev/null 2>&1";
    // clang-format on
    ASSERT_EQ(std::system(make.c_str()), 0);
    ::setenv("SSL_CERT_FILE", dir.File("ca.pem").c_str(), 1);
    char line[200] = {};
    FILE* out = ::popen(
        ("openssl x509 -noout -fingerprint -sha256 -in " + dir.File("self.pem")).c_str(), "r");
    std::fgets(line, sizeof line, out);
    ::pclose(out);
    line[std::strcspn(line, "\n")] = '\0';
    const std::string pinned = NormalizeFingerprint(std::strchr(line, '=') + 1);
    const std::string untrusted = "untrusted certificate (",
                      required = "server requires TLS: set the security to starttls or tls",
                      other(64, 'E');  // a certificate trusted before
    using M = SecurityMode;
    struct Row {
        std::string cert;
        M mode;
        bool imaps;
        std::string pin;
        bool trust;
        std::string failure;  // "" when the old mail goes
        int asked;
    } rows[] = {
        // clang-format off
        {"good", M::Auto, false, "", false, "", 0},
        {"good", M::StartTls, false, "", false, "", 0},
        {"good", M::Tls, true, "", false, "", 0},
        {"good", M::None, false, "", false, required, 0},
        {"other", M::Tls, true, "", false, untrusted + "IP address mismatch), SHA-256 ", 1},
        {"self", M::Auto, false, "", false, untrusted + "self-signed certificate), SHA-256 ", 1},
        {"self", M::StartTls, false, "", true, "", 1},  // trusted when asked, once a run
        {"self", M::Tls, true, pinned, false, "", 0},   // trusted by its fingerprint
        {"self", M::Auto, false, other, false, "certificate CHANGED since it was trusted", 1},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.cert + " " + SecurityModeName(row.mode));
        Dovecot d;
        d.UseTls(dir.File(row.cert + ".pem"), dir.File(row.cert + ".key"));
        for (const std::string account : {"u1", "u2"}) {
            d.AddAccount(account, "pw");
            AddMail(d, account, {kOld, kNew});
        }
        ASSERT_EQ(d.Start(), "");
        const unsigned port = row.imaps ? d.TlsPort() : d.Port();
        TestRun run(port, 20);
        run.settings.m_strServerIP = "127.0.0.2";
        run.settings.m_security = row.mode;
        run.settings.m_known.m_servers[run.settings.Server()].fingerprint = row.pin;
        run.trust = row.trust;
        run.users.m_arrAccounts = {"u1", "u2"};
        run.users.m_arrPasswords = {"pw", "pw"};
        run.sequencer.StartListRun(kCutoff);
        ASSERT_TRUE(run.WaitForEnd());
        const Texts left = row.failure.empty() ? Texts{"new2"} : Texts{"old1", "new2"};
        EXPECT_EQ(d.Subjects("u1"), left);
        EXPECT_EQ(d.Subjects("u2"), left);
        EXPECT_EQ(run.asked, row.asked);
        EXPECT_EQ(run.changed, row.pin == other);
        // A server that completed TLS gets no password in the clear from now on.
        const CKnownServer* known = run.settings.m_known.Find(run.settings.Server());
        EXPECT_EQ(known && known->tls, row.failure.empty());
        const std::string& last = run.statuses.end()[-2];
        EXPECT_EQ(
            last.rfind(row.failure.empty() ? "Logout" : "Failed for user u2: " + row.failure, 0),
            0u)
            << last;
    }
}

// The token an account was started with is the one it signs in with, though
// its renewal point passes before AUTHENTICATE; the next account gets a new
// one. Two-second tokens (the floor lowered for the test), a pause longer
// than the token's first second.
TEST(DovecotRun, AnAccountSignsInWithTheTokenItStartedWithAndTheNextGetsARenewedOne) {
    TokenServer idp("app-id", "s3cret");
    idp.lifetime = 2;
    Dovecot d;
    d.UseOAuth2(idp.IntrospectionUrl(), idp.CaFile());
    d.UseTls(idp.CertFile(), idp.KeyFile());
    const Texts accounts = {"anna@example.com", "carl@example.com"};
    for (const std::string& account : accounts) {
        d.AddAccount(account, "unused");
        AddMail(d, account, {kOld, kNew});
    }
    ASSERT_EQ(d.Start(), "");
    TestRun run(d.Port(), 1050);
    run.settings.m_strServerIP = d.Address();
    run.settings.m_security = SecurityMode::StartTls;
    run.settings.m_known.m_servers[run.settings.Server()].fingerprint = idp.CertFingerprint();
    run.settings.m_auth = AuthMode::OAuth2;
    run.settings.m_oauth = {idp.TokenUrl(), "app-id", "s3cret", "", idp.CaFile()};
    run.sequencer.SetMinTokenLifetime(1);
    run.users.m_arrAccounts = accounts;
    run.users.m_arrPasswords.assign(2, "");
    run.sequencer.StartListRun(kCutoff, true);
    ASSERT_TRUE(run.WaitForEnd(30s));
    ASSERT_EQ(run.sequencer.m_results.size(), 2u);
    for (const CAccountResult& result : run.sequencer.m_results)
        EXPECT_EQ(result.failure + " " + std::to_string(result.found), " 1") << result.account;
    EXPECT_EQ(idp.TokenRequests(), 2);
}
