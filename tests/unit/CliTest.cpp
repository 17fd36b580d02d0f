// quendravalt-cli as cron runs it: a process with arguments, environment and
// standard input, against a real Dovecot; its output, exit status, log and
// what is left in the mailboxes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <wx/datetime.h>

#include <sys/stat.h>

#include "platform/DataFolder.h"
#include "platform/RunLock.h"
#include "run/UserToken.h"
#include "settings/GoogleKey.h"
#include "settings/OAuthSettings.h"
#include "support/CliProcess.h"
#include "support/Dovecot.h"
#include "support/ScriptedServer.h"
#include "support/TokenServer.h"

namespace {

class CliRun : public CliTest {
protected:
    // Accounts u01 ... u<count> (password "p" + name), each with mail old,
    // new, old; the list names them in order, with list as the password of the
    // second and a line without ';' after the third.
    void Serve(Dovecot& d, int count) {
        std::string list;
        for (int i = 1; i <= count; ++i) {
            const std::string name = (i < 10 ? "u0" : "u") + std::to_string(i);
            d.AddAccount(name, "p" + name);
            for (unsigned m = 1; m <= 3; ++m)
                d.AddMessage(name, m, m == 2 ? kNew : kOld, "m" + std::to_string(m));
            list += name + ";" + (i == 2 ? "wrong" : "p" + name) + "\r\n";
            if (i == 3)
                list += "u99\r\n";
        }
        ASSERT_EQ(d.Start(), "");
        WriteFile(m_data.File(kConfigFileName),
                  "100\r\n127.0.0.1\r\n" + std::to_string(d.Port()) + "\r\nnone\r\n\r\n");
        WriteFile(m_data.File(kUserListFileName), list);
    }
    // The configuration for token sign-in (auth) to host:port with STARTTLS
    // (a token never goes out without TLS), the server's certificate pinned,
    // two accounts at once, and the OAuth file (owner only).
    void UseOAuth2(const std::string& host, unsigned port, const std::string& pin,
                   const std::string& url, const std::string& secret, const std::string& caFile,
                   const std::string& auth = "oauth2") {
        WriteFile(m_data.File(kConfigFileName), "100\r\n" + host + "\r\n" + std::to_string(port) +
                                                    "\r\nstarttls\r\n" + pin + "\r\n2\r\n" + auth +
                                                    "\r\n");
        WriteFile(m_data.File(kOAuthFileName),
                  url + "\r\napp-id\r\n" + secret + "\r\n\r\n" + caFile + "\r\n");
        ::chmod(m_data.File(kOAuthFileName).c_str(), 0600);
    }
};

TEST_F(CliRun, AListRunEndsTheSameWithFourAccountsAtOnceAsWithOne) {
    Texts first;
    for (const char* parallel : {"1", "4"}) {
        SCOPED_TRACE(parallel);
        Dovecot d;
        Serve(d, 12);
        EXPECT_EQ(Run({"--list", "--before", "2020-06-01", "--parallel", parallel}), 1) << m_err;
        for (const char* name : {"u01", "u03", "u12"})
            EXPECT_EQ(d.Subjects(name), Texts{"m2"}) << name;
        EXPECT_EQ(d.Subjects("u02"), (Texts{"m1", "m2", "m3"}));
        const Texts lines = Lines();
        ASSERT_EQ(lines.size(), 14u) << m_out;
        EXPECT_EQ(lines[0], "u01\t2\t2\tdone");
        EXPECT_EQ(lines[1], "u02\t-\t-\tfailed: login rejected");
        EXPECT_EQ(lines[3], "(line 4)\t-\t-\tskipped: line 4 is not account;password");
        EXPECT_EQ(lines[13], "13 accounts, 2 failed, 22 messages deleted");
        // Dovecot on 127.0.0.1 speaks plain text: said for each account that signed in.
        EXPECT_NE(m_err.find("warning: u12: no TLS: password sent in clear\n"), std::string::npos)
            << m_err;
        EXPECT_EQ(m_err.find("warning: u02:"), std::string::npos);
        if (first.empty())
            first = lines;
        EXPECT_EQ(lines, first);
        // Each account's lines stand together in the log: no other account's
        // LOGIN before its own LOGOUT.
        const std::string log = ReadFile(m_data.File(kLogFileName));
        for (size_t at = log.find(" LOGIN u"); at != std::string::npos;) {
            const size_t next = log.find(" LOGIN u", at + 1);
            const size_t logout = log.find(" LOGOUT", at);
            const bool refused = log.compare(at + 7, 4, "u02 ") == 0;
            EXPECT_TRUE(refused || logout < next) << log.substr(at, 12);
            at = next;
        }
    }
}

TEST_F(CliRun, ADryRunChangesNothingAndFindsWhatTheRunThenDeletes) {
    Dovecot d;
    Serve(d, 3);
    // The same cut-off, once as days back from today.
    const int days = (wxDateTime::Today() - wxDateTime(1, wxDateTime::Jun, 2020)).GetDays();
    EXPECT_EQ(Run({"--list", "--older-than=" + std::to_string(days), "-nq"}), 1);
    EXPECT_EQ(Lines(),
              (Texts{"u01\t2\t-\tdone", "u02\t-\t-\tfailed: login rejected", "u03\t2\t-\tdone",
                     "(line 4)\t-\t-\tskipped: line 4 is not account;password",
                     "4 accounts, 2 failed, 4 messages would be deleted (dry run)"}));
    EXPECT_EQ(d.Subjects("u01"), (Texts{"m1", "m2", "m3"}));  // no flag either
    const std::string report = m_data.File("run.csv");
    EXPECT_EQ(Run({"--list", "--before", "2020-06-01", "--report", report}), 1);
    // A line of its own, the first one where nothing is warned of first.
    EXPECT_NE(("\n" + m_err)
                  .find("\nDeleting mail received before 01-Jun-2020 from INBOX of 3 accounts on "
                        "127.0.0.1:" +
                        std::to_string(d.Port()) + " (none), 1 at a time\n"),
              std::string::npos)
        << m_err;
    EXPECT_EQ(Lines()[0], "u01\t2\t2\tdone");
    EXPECT_EQ(Lines()[2], "u03\t2\t2\tdone");
    EXPECT_EQ(d.Subjects("u01"), Texts{"m2"});
    EXPECT_EQ(ReadFile(report).rfind("Cut-off day,01-Jun-2020\r\n", 0), 0u);
}

// On a terminal the progress line gives way before the summary is written.
TEST_F(CliRun, OnATerminalTheSummaryStandsOnALineOfItsOwn) {
    Dovecot d;
    Serve(d, 2);
    int terminal = -1;
    const std::string data = m_data.Path();
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execl(QD_CLI, QD_CLI, "--list", "--before", "2020-06-01", "--data", data.c_str(),
                nullptr);
        ::_exit(127);
    }
    std::string screen;
    char buf[4096];
    for (ssize_t n; (n = ::read(terminal, buf, sizeof buf)) > 0;)
        screen.append(buf, static_cast<size_t>(n));
    ::waitpid(pid, nullptr, 0);
    ::close(terminal);
    EXPECT_NE(screen.find("\r\033[K2 accounts, 1 failed, 2 messages deleted"), std::string::npos)
        << screen;
}

TEST_F(CliRun, OneAccountTakesItsPasswordFromStandardInput) {
    Dovecot d;
    Serve(d, 1);
    EXPECT_EQ(Run({"--user", "u01", "--before", "2020-06-01"}, "pu01\n"), 0) << m_err;
    EXPECT_EQ(Lines(), (Texts{"u01\t2\t2\tdone", "1 accounts, 0 failed, 2 messages deleted"}));
    // The environment comes first: a wrong one fails, whatever stdin holds.
    EXPECT_EQ(
        Run({"--user", "u01", "--before", "2020-06-01"}, "pu01\n", {"QUENDRAVALT_PASSWORD=wrong"}),
        1);
}

TEST_F(CliRun, UsageAndConfigurationErrorsExitTwoAndContactNothing) {
    // A server that takes connections and never answers.
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof addr;
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::listen(server, 8);
    ::getsockname(server, reinterpret_cast<sockaddr*>(&addr), &size);
    const std::string config =
        "100\r\n127.0.0.1\r\n" + std::to_string(ntohs(addr.sin_port)) + "\r\n";
    const struct {
        Texts args;
        const char* config;  // lines 4 on of a configuration file pointing at the server; none
        const char* list;
        const char* says;
        mode_t mode = 0600;  // the configuration file's
    } rows[] = {
        {{}, "none\r\n", "", "either --list or --user"},
        {{"--list", "--user", "u", "--before", "2020-06-01"},
         "none\r\n",
         "",
         "either --list or --user"},
        {{"--list"}, "none\r\n", "", "either --before"},
        {{"--list", "--before", "2020-02-30"}, "none\r\n", "", "YYYY-MM-DD"},
        {{"--list", "--older-than", "-1"}, "none\r\n", "", "number of days"},
        {{"--list", "--older-than", "9", "--parallel", "17"}, "none\r\n", "", "1 to 16"},
        {{"--list", "--older-than", "9", "--pause", "50"}, "none\r\n", "", "100 to 30000"},
        {{"--list", "--pasword=s3cret"}, "none\r\n", "", "argument 4 is an unknown option"},
        {{"-Ps3cret", "--list"}, "none\r\n", "", "argument 3 is an unknown option"},
        {{"--list", "-qs3cret"}, "none\r\n", "", "argument 4 is an unknown option"},
        {{"--list", "--quiet=s3cret"}, "none\r\n", "", "--quiet takes no value"},
        {{"--list", "--older-than"}, "none\r\n", "", "--older-than needs a value"},
        {{"--list", "-p17", "--older-than", "9"}, "none\r\n", "", "-p takes 1 to 16, not \"17\""},
        {{"--list", "--older-than", "9", "--", "--quiet"},
         "none\r\n",
         "",
         "argument 7 is no option"},
        {{"--user", "u", "s3cret", "--older-than", "9"}, "none\r\n", "", "argument 5 is no option"},
        {{"--user", "u", "--older-than", "9", "--", "s3cret"},
         "none\r\n",
         "",
         "never from the command"},
        // Accepted forms: the run gets as far as the empty list.
        {{"--list", "-qnp", "4", "--older-than=9", "--pause=100"},
         "none\r\n",
         "",
         "holds no account"},
        {{"--user", "u", "--older-than", "9"}, "none\r\n", "", "no password"},
        {{"--list", "--older-than", "9"}, nullptr, "u;p\r\n", "no configuration file"},
        {{"--list", "--older-than", "9"}, "none\r\n", "", "holds no account"},
        {{"--list", "--older-than", "9", "--report", "/nonexistent/r.csv"},
         "none\r\n",
         "u;p\r\n",
         "cannot be written"},
        // Settings a run can't use: errors, never defaults.
        {{"--list", "--older-than", "9"}, " STARTTLS!\r\n", "u;p\r\n", "line 4 of"},
        {{"--list", "--older-than", "9"},
         "none\r\nsha256 Fingerprint=AB:CD\r\n",
         "u;p\r\n",
         "line 5 of"},
        {{"--list", "--older-than", "9"},
         "none\r\n\r\n2\r\noauth2\r\n",
         "u;p\r\n",
         "never sent without TLS"},
        {{"--list", "--older-than", "9"},
         "none\r\n\r\n\r\ngoogle\r\n",
         "u;\r\n",
         "for Google sign-in"},
        {{"--list", "--older-than", "9"}, "none\r\n", "u;p\r\n", "run chmod go-w", 0620},
        // Every message would go: only with --force.
        {{"--list", "--before", "2099-01-01"},
         "none\r\n",
         "u;p\r\n",
         "2099-01-01 is today or later"},
        {{"--list", "--older-than", "0"}, "none\r\n", "u;p\r\n", "is today or later"},
        {{"--list", "--older-than", "9"}, "none\r\n", nullptr, "there is no user list"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.says);
        std::remove(m_data.File(kConfigFileName).c_str());
        if (row.config)
            WriteFile(m_data.File(kConfigFileName), config + row.config);
        ::chmod(m_data.File(kConfigFileName).c_str(), row.mode);
        std::remove(m_data.File(kUserListFileName).c_str());
        if (row.list)
            WriteFile(m_data.File(kUserListFileName), row.list);
        EXPECT_EQ(Run(row.args), 2);
        EXPECT_NE(m_err.find(row.says), std::string::npos) << m_err;
        EXPECT_EQ(m_err.find("s3cret"), std::string::npos);
        EXPECT_EQ(m_out, "");
    }
    // One run at a time: another process holds the data folder, then dies.
    WriteFile(m_data.File(kConfigFileName), config + "none\r\n");
    WriteFile(m_data.File(kUserListFileName), "no account on this line\r\n");
    const pid_t holder = ::fork();
    if (holder == 0) {
        CRunLock lock;
        lock.Acquire(m_data.Path(), "holder");
        ::pause();
        ::_exit(0);
    }
    ASSERT_TRUE(PumpUntil([&] { return !ReadFile(m_data.File(kRunLockFileName)).empty(); }));
    EXPECT_EQ(Run({"--list", "--older-than", "9"}), 75);
    EXPECT_NE(m_err.find("Another run is using " + m_data.Path() + " (holder, process " +
                         std::to_string(holder) + ", since "),
              std::string::npos)
        << m_err;
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(Run({"--list", "--older-than", "9"}), 1) << m_err;  // its one line is skipped
    EXPECT_LT(::accept(server, nullptr, nullptr), 0);             // nobody came
    ::close(server);
}

TEST_F(CliRun, SigtermStopsTheRunWithEveryFlagTakenBack) {
    Dovecot d;
    Serve(d, 2);
    Cli cli({"--list", "--before", "2020-06-01", "--pause", "500", "--data", m_data.Path()});
    // Once the first account has flagged its old mail, before EXPUNGE.
    ASSERT_TRUE(PumpUntil(
        [&] { return ReadFile(m_data.File(kLogFileName)).find("+FLAGS") != std::string::npos; }));
    cli.Signal(SIGTERM);
    EXPECT_EQ(cli.Wait(m_out, m_err), 130) << m_err;
    EXPECT_EQ(Lines(), (Texts{"u01\t2\t0\tstopped; deleted flags removed",
                              "1 accounts, 0 failed, 0 messages deleted"}));
    EXPECT_EQ(d.Subjects("u01"), (Texts{"m1", "m2", "m3"}));
    EXPECT_EQ(d.Subjects("u02"), (Texts{"m1", "m2", "m3"}));
}

}  // namespace

// App-only OAuth2 against Dovecot's oauth2 passdb and the suite's token
// endpoint: one token for the run, the secret from the environment over the
// file's, a mailbox the token may not open, and neither token nor secret in
// the log or the report.
TEST_F(CliRun, OAuth2SignsInEveryMailboxWithOneTokenAndKeepsItSecret) {
    TokenServer idp("app-id", "s3cret-value");
    Dovecot d;
    d.UseOAuth2(idp.IntrospectionUrl(), idp.CaFile(), {"bob@example.com"});
    d.UseTls(idp.CertFile(), idp.KeyFile());
    const Texts names = {"anna@example.com", "bob@example.com", "carl@example.com"};
    std::string list;
    for (const std::string& name : names) {
        d.AddAccount(name, "unused");
        for (unsigned m = 1; m <= 3; ++m)
            d.AddMessage(name, m, m == 2 ? kNew : kOld, "m" + std::to_string(m));
        list += name + ";\r\n";
    }
    ASSERT_EQ(d.Start(), "");
    UseOAuth2(d.Address(), d.Port(), idp.CertFingerprint(), idp.TokenUrl(), "stale", idp.CaFile());
    WriteFile(m_data.File(kUserListFileName), list);
    // A token too short to use ends the run at once: one request, not a storm.
    idp.lifetime = 1;
    EXPECT_EQ(
        Run({"--list", "--before", "2020-01-01"}, "", {"QUENDRAVALT_CLIENT_SECRET=s3cret-value"}),
        1);
    EXPECT_NE(m_err.find("token for 1 s, too short to use"), std::string::npos) << m_err;
    EXPECT_EQ(idp.TokenRequests(), 1);
    idp.lifetime = 3599;
    const int before = idp.TokenRequests();
    const std::string report = m_data.File("r.csv");
    EXPECT_EQ(Run({"--list", "--before", "2020-06-01", "--report", report}, "",
                  {"QUENDRAVALT_CLIENT_SECRET=s3cret-value"}),
              1)
        << m_err;
    EXPECT_EQ(
        Lines(),
        (Texts{"anna@example.com\t2\t2\tdone", "bob@example.com\t-\t-\tfailed: token refused (401)",
               "carl@example.com\t2\t2\tdone", "3 accounts, 1 failed, 4 messages deleted"}));
    EXPECT_EQ(d.Subjects(names[0]), Texts{"m2"});
    EXPECT_EQ(d.Subjects(names[1]), (Texts{"m1", "m2", "m3"}));
    EXPECT_EQ(d.Subjects(names[2]), Texts{"m2"});
    EXPECT_EQ(idp.TokenRequests(), before + 1);
    EXPECT_EQ(idp.LastTokenRequest(),
              "grant_type=client_credentials&client_id=app-id&client_secret=s3cret-value&"
              "scope=https%3A%2F%2Foutlook.office365.com%2F.default");
    const std::string log = ReadFile(m_data.File(kLogFileName));
    EXPECT_NE(log.find(" AUTHENTICATE XOAUTH2 ****"), std::string::npos);
    for (const std::string& text : {log, ReadFile(report), m_out + m_err}) {
        EXPECT_EQ(text.find("s3cret"), std::string::npos);
        EXPECT_EQ(text.find("dXNlcj1"), std::string::npos);  // base64 of "user="
        for (const std::string& token : idp.Issued())
            EXPECT_EQ(text.find(token.substr(0, 40)), std::string::npos);
    }
}

// A token the run cannot have ends it before any mailbox: not one connection.
TEST_F(CliRun, WithoutATokenTheRunEndsBeforeAnyConnection) {
    TokenServer idp("app-id", "s3cret-value");
    ScriptedServer imap([](int, const std::string& tag, const std::string&) {
        return Reply{tag + " NO never\r\n"};
    });
    const struct {
        std::string secret, caFile;
        mode_t mode;
        int status;
        const char* says;
    } rows[] = {
        {"wrong", idp.CaFile(), 0600, 1,
         "token endpoint refused: invalid_client: AADSTS7000215: Invalid client secret provided."},
        {"s3cret-value", idp.OtherCaFile(), 0600, 1, "certificate"},
        {"s3cret-value", idp.CaFile(), 0640, 2, "chmod 600"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.says);
        UseOAuth2("127.0.0.1", imap.Port(), "", idp.TokenUrl(), row.secret, row.caFile);
        ::chmod(m_data.File(kOAuthFileName).c_str(), row.mode);
        WriteFile(m_data.File(kUserListFileName), "anna@example.com;\r\n");
        EXPECT_EQ(Run({"--list", "--older-than", "9"}), row.status);
        EXPECT_NE(m_err.find(row.says), std::string::npos) << m_err;
        EXPECT_EQ(m_out, "");
    }
    EXPECT_EQ(idp.TokenRequests(), 1);  // the untrusted endpoint never got the secret
    EXPECT_EQ(imap.Received(), Texts{});
}

// Google Workspace: a token of each user's own, from a JWT the service
// account signs, against Dovecot taking a token for the user it names only.
// Each run asks once per account, two at a time: a key replaced in the Cloud
// console, then the key as issued, with an account outside the domain. The
// key never leaves its file.
TEST_F(CliRun, GoogleSignsInEachAccountWithATokenOfItsOwnAndTheKeyStaysInItsFile) {
    TokenServer idp("unused", "unused");
    Dovecot d;
    d.UseOAuth2(idp.IntrospectionUrl(), idp.CaFile(), {}, true);
    d.UseTls(idp.CertFile(), idp.KeyFile());
    for (const std::string name : {"anna@example.com", "carl@example.com"}) {
        d.AddAccount(name, "unused");
        for (unsigned m = 1; m <= 3; ++m)
            d.AddMessage(name, m, m == 2 ? kNew : kOld, "m" + std::to_string(m));
    }
    ASSERT_EQ(d.Start(), "");
    // The OAuth file's CA line is the one of its lines that counts.
    UseOAuth2(d.Address(), d.Port(), idp.CertFingerprint(), "", "", idp.CaFile(), "google");
    WriteFile(m_data.File(kUserListFileName),
              "anna@example.com;\r\ncarl@example.com;\r\nbob@elsewhere.org;\r\n");
    const std::string key = m_data.File("sa.json"), report = m_data.File("r.csv");
    const Texts env = {"QUENDRAVALT_GOOGLE_KEY=" + key};
    // A key others may read: refused before anything is contacted (Windows has no mode bits).
    idp.WriteServiceAccountKey(key);
    ::chmod(key.c_str(), 0640);
    if (!std::getenv("QD_CLI_WINE")) {
        EXPECT_EQ(Run({"--list", "--older-than", "9"}, "", env), 2);
        EXPECT_NE(m_err.find("run chmod 600 " + key), std::string::npos) << m_err;
        EXPECT_EQ(ReadFile(m_data.File(kLogFileName)), "");
        EXPECT_EQ(idp.TokenRequests(), 0);
    }
    // A key replaced in the Cloud console: every account is refused, each asking once.
    idp.WriteServiceAccountKey(key, false);
    EXPECT_EQ(Run({"--list", "--before", "2020-06-01"}, "", env), 1);
    const std::string refused =
        "\t-\t-\tfailed: the service account's key was refused (deleted or replaced in the Cloud "
        "console)";
    EXPECT_EQ(Lines(),
              (Texts{"anna@example.com" + refused, "carl@example.com" + refused,
                     "bob@elsewhere.org" + refused, "3 accounts, 3 failed, 0 messages deleted"}));
    EXPECT_EQ(idp.TokenRequests(), 3);
    // The key as issued: an account outside the domain fails alone.
    idp.WriteServiceAccountKey(key);
    const std::string manifest = m_data.File("m.csv");
    EXPECT_EQ(Run({"--list", "--before", "2020-06-01", "--report", report, "--manifest", manifest},
                  "", env),
              1);
    EXPECT_EQ(Lines(), (Texts{"anna@example.com\t2\t2\tdone", "carl@example.com\t2\t2\tdone",
                              "bob@elsewhere.org\t-\t-\tfailed: account not found in the domain "
                              "or not allowed",
                              "3 accounts, 1 failed, 4 messages deleted"}))
        << m_err;
    EXPECT_EQ(idp.TokenRequests(), 6);
    EXPECT_EQ(d.Subjects("anna@example.com"), Texts{"m2"});
    EXPECT_EQ(d.Subjects("carl@example.com"), Texts{"m2"});
    const std::string log = ReadFile(m_data.File(kLogFileName)), pem = ReadFile(key);
    EXPECT_NE(log.find(" AUTHENTICATE XOAUTH2 ****"), std::string::npos);
    EXPECT_NE(ReadFile(manifest).find("carl@example.com,INBOX,"), std::string::npos);
    for (const std::string& text : {log, ReadFile(report), ReadFile(manifest), m_out + m_err}) {
        EXPECT_EQ(text.find(pem.substr(pem.find("MII") + 64, 40)), std::string::npos);
        EXPECT_EQ(text.find("eyJhbGciOiJSUzI1NiIs"), std::string::npos);  // {"alg":"RS256",
        for (const std::string& token : idp.Issued())
            EXPECT_EQ(text.find(token.substr(0, 40)), std::string::npos);
    }
}

// The JWT as Google documents it, for a fixed clock; an account cannot add
// claims of its own.
TEST(GoogleToken, TheAssertionHoldsExactlyTheHeaderAndClaimsGoogleAsksFor) {
    TempFolder dir;
    TokenServer idp("unused", "unused");
    idp.WriteServiceAccountKey(dir.File("sa.json"));
    CGoogleKey key;
    ASSERT_EQ(LoadGoogleKey(dir.File("sa.json"), key), "");
    const std::string jwt =
        CUserToken::Assertion(key, "x\",\"sub\":\"boss@example.com", 1700000000);
    const size_t dot = jwt.find('.'), last = jwt.rfind('.');
    EXPECT_EQ(Base64UrlDecode(jwt.substr(0, dot)),
              R"({"alg":"RS256","typ":"JWT","kid":"3f1c0e7d2b9a48c6a1d5e0f7b2c4d6e8f0a1b2c3"})");
    EXPECT_EQ(Base64UrlDecode(jwt.substr(dot + 1, last - dot - 1)),
              R"({"iss":"cleaner@quendravalt-test.iam.gserviceaccount.com",)"
              R"("scope":"https://mail.google.com/","aud":")" +
                  idp.TokenUrl() +
                  R"(","sub":"x\",\"sub\":\"boss@example.com","iat":1700000000,"exp":1700003600})");
    EXPECT_EQ(
        jwt.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_."),
        std::string::npos);
}
