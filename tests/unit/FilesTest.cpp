// The configuration file and the user list, as bytes on disk.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include <filesystem>

#include "imap/Transcript.h"
#include "platform/DataFolder.h"
#include "settings/Settings.h"
#include "settings/UserList.h"
#include "support/Harness.h"

using namespace std::string_literals;

TEST(ConfigurationFile, LoadsWhatTheFileSaysAndSavesItInCrLfLines) {
    const std::string part = "0123456789ABCDEF", fp = part + part + part + part;
    const std::string pairs = "01:23:45:67:89:ab:cD:Ef:", colons = pairs + pairs + pairs + pairs;
    const std::string defaults =
        "1000\r\n" + std::string(kDefaultServerIP) + "\r\n143\r\nauto\r\n\r\n";
#ifdef _WIN32
    const std::string copies = "C:\\copies";
#else
    const std::string copies = "/srv/copies";
#endif
    using L = ConfigLoad;
    struct Row {
        std::string file, saved;  // the file ("-": none, "/": a folder), and as saved again
        ConfigLoad load;          // Invalid: saved is the line named in the error
        bool notice;              // the port had to be put right
    } rows[] = {
        // clang-format off
        {"-", defaults, L::Missing, false},
        {"/", defaults, L::Unreadable, false},
        {"250\r\n 10.1.2.3 \r\n0143\r\n", "250\r\n 10.1.2.3 \r\n0143\r\nauto\r\n\r\n", L::Loaded, false},
        {"7\n10.1.2.3", "100\r\n10.1.2.3\r\n143\r\nauto\r\n\r\n", L::Loaded, true},
        {"99999999999999999999\r\nh\r\n70000\r\n", "30000\r\nh\r\n143\r\nauto\r\n\r\n", L::Loaded, true},
        {"1000\r\nh\r\n993\r\n Tls \r\n", "1000\r\nh\r\n993\r\ntls\r\n\r\n", L::Loaded, false},
        {"1000\nh\n143\nSTARTTLS\n" + colons.substr(0, 95), "1000\r\nh\r\n143\r\nstarttls\r\n" + fp + "\r\n", L::Loaded, false},
        // as `openssl x509 -noout -fingerprint -sha256` prints it
        {"1000\nh\n143\nnone\nsha256 Fingerprint=" + colons.substr(0, 95) + " ", "1000\r\nh\r\n143\r\nnone\r\n" + fp + "\r\n", L::Loaded, false},
        {"1000\nh\n143\nstarttls\n\n 3 \nOAuth2\n", "1000\r\nh\r\n143\r\nstarttls\r\n\r\n3\r\noauth2\r\n", L::Loaded, false},
        {"1000\nh\n143\nnone\n\n16\npassword\n", "1000\r\nh\r\n143\r\nnone\r\n\r\n16\r\n", L::Loaded, false},
        {"1000\nh\n143\ntls\n\n\n Google \n /srv/sa.json \n", "1000\r\nh\r\n143\r\ntls\r\n\r\n1\r\ngoogle\r\n/srv/sa.json\r\n", L::Loaded, false},
        {"1000\nh\n143\nnone\n\n\n\n\n OFF \n " + copies + " \n", "1000\r\nh\r\n143\r\nnone\r\n\r\n1\r\npassword\r\n\r\noff\r\n" + copies + "\r\n", L::Loaded, false},
        {"1000\nh\n143\nnone\n\n\n\n\non\n\n", "1000\r\nh\r\n143\r\nnone\r\n\r\n", L::Loaded, false},
        // typos are errors, never defaults
        {"1000\nh\n143\nrequired\n", "4", L::Invalid, false},
        {"1000\nh\n143\nnone\n" + fp + "0", "5", L::Invalid, false},
        {"1000\nh\n143\nnone\n" + fp.substr(1) + "G", "5", L::Invalid, false},
        {"1000\nh\n143\nnone\n\n99\n", "6", L::Invalid, false},
        {"1000\nh\n143\nnone\n\n0\n", "6", L::Invalid, false},
        {"1000\nh\n143\nnone\n\n1\ntoken\n", "7", L::Invalid, false},
        {"1000\nh\n143\nnone\n\n\n\n\nno\n", "9", L::Invalid, false},
        {"1000\nh\n143\nnone\n\n\n\n\n\ncopies\n", "10", L::Invalid, false},
        {"1000\r\nh\0st\r\n143\r\n"s, defaults, L::NotOurs, false},
        {"1000\r\n" + std::string(1001, 'h'), defaults, L::NotOurs, false},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file.substr(0, 40));
        TempFolder dir;
        const std::string path = DataFilePath(dir.Path(), kConfigFileName);
        if (row.file == "/")
            std::filesystem::create_directory(path);
        else if (row.file != "-")
            WriteFile(path, row.file);
        CSettings s;
        s.m_strServerIP = "stale";
        EXPECT_EQ(LoadSettings(dir.Path(), s), row.load);
        EXPECT_EQ(s.m_strNotice.empty(), !row.notice);
        if (row.load == L::Invalid) {
            EXPECT_EQ(std::to_string(s.m_nConfigErrorLine), row.saved);
            EXPECT_NE(s.m_strConfigError.find("line " + row.saved + " of " + path),
                      std::string::npos);
            EXPECT_NE(ConfigurationProblem(s), "");
            continue;
        }
        EXPECT_EQ(ConfigurationProblem(s), "");
        std::filesystem::remove_all(path);
        ASSERT_TRUE(SaveSettings(dir.Path(), s));
        EXPECT_EQ(ReadFile(path), row.saved);
    }
    // A mistake on line 4 costs none of the lines after it: mending it keeps them.
    TempFolder dir;
    WriteFile(dir.File(kConfigFileName), "1000\nh\n143\nrequired\n" + fp + "\n3\n");
    CSettings s;
    EXPECT_EQ(LoadSettings(dir.Path(), s), L::Invalid);
    EXPECT_EQ(s.m_strTrustedFingerprint + " " + std::to_string(s.m_nParallel), fp + " 3");
}

TEST(KnownServersFile, IsReadStrictlyAndAnyFaultStopsTheRun) {
    const std::string fp(64, 'A'), pairs = "aa:aa:aa:aa:aa:aa:aa:aa:aa:aa:aa:aa:aa:aa:aa:aa";
    struct Row {
        std::string file, fault;  // fault: what the error says, "" none
    } rows[] = {
        // clang-format off
        {"# comment\n\nMail.Example.com:143 tls -\r\n10.0.0.5:993 - SHA256 Fingerprint=" + pairs + ":" + pairs + "\n", ""},
        {"h:143 yes -\n", "line 1 of"},
        {"# c\nh tls -\n", "line 2 of"},
        {"h:143 tls " + fp.substr(1) + "\n", "holds no SHA-256 fingerprint"},
        {"h:1 tls -\nH:1 - -\n", "names h:1 a second time"},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        TempFolder dir;
        WriteFile(dir.File(kKnownServersFileName), row.file);
        CKnownServers known;
        const std::string problem = LoadKnownServers(dir.Path(), known);
        EXPECT_EQ(problem.empty(), row.fault.empty()) << problem;
        EXPECT_NE(problem.find(row.fault), std::string::npos) << problem;
        CSettings s;
        EXPECT_EQ(LoadSettings(dir.Path(), s), ConfigLoad::Missing);
        EXPECT_EQ(ConfigurationProblem(s).empty(), row.fault.empty());
        if (row.fault.empty()) {
            ASSERT_EQ(known.m_servers.size(), 2u);
            EXPECT_TRUE(known.Find("mail.example.com:143")->tls);
            EXPECT_EQ(known.Find("10.0.0.5:993")->fingerprint, fp);
            ASSERT_TRUE(SaveKnownServers(dir.Path(), known));
            CKnownServers again;
            EXPECT_EQ(LoadKnownServers(dir.Path(), again), "");
            EXPECT_EQ(again.m_servers.size(), 2u);
        }
    }
}

#ifndef _WIN32  // a file size limit is a POSIX thing
TEST(ConfigurationFile, ASaveThatFailsHalfWayKeepsTheOldFile) {
    TempFolder dir;
    const std::string path = DataFilePath(dir.Path(), kConfigFileName);
    WriteFile(path, "300\r\n127.0.0.1\r\n143\r\n");
    CSettings s;
    s.m_strServerIP = std::string(1000, 'x');
    // The disk "fills up" after 100 bytes of the new file.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    const rlimit full{100, before.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &full);
    const bool saved = SaveSettings(dir.Path(), s);
    ::setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_FALSE(saved);
    EXPECT_EQ(ReadFile(path), "300\r\n127.0.0.1\r\n143\r\n");
    EXPECT_EQ(ReadFile(path + ".new"), "");
}
#endif

TEST(UserListFile, EveryLineWithAnAccountAndAPasswordIsAnAccount) {
    struct Row {
        std::string file;
        std::vector<std::string> accounts, passwords;
        std::vector<int> skipped;
    } rows[] = {
        // clang-format off
        {"\xEF\xBB\xBF" "a@x.org;pw1\r\nb@x.org;pw2\r\n", {"a@x.org", "b@x.org"}, {"pw1", "pw2"}, {}},
        {"a;1\nno separator\n\nb;2", {"a", "b"}, {"1", "2"}, {2}},
        {" a ; p;w \r\n;\r\nx;\r\n;y\r\n", {" a "}, {" p;w "}, {2, 3, 4}},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        TempFolder dir;
        WriteFile(DataFilePath(dir.Path(), kUserListFileName), row.file);
        CUserList users;
        users.m_arrAccounts = {"stale"};
        LoadUserList(dir.Path(), users);
        EXPECT_EQ(users.m_arrAccounts, row.accounts);
        EXPECT_EQ(users.m_arrPasswords, row.passwords);
        EXPECT_EQ(users.m_arrSkippedLines, row.skipped);
    }
}

TEST(LogFile, EachRunKeepsTheTenLogsBeforeItAndNoMore) {
    TempFolder dir;
    CTranscript log(dir.File("LOG.TXT"));
    for (int run = 1; run <= 12; ++run) {
        log.StartNew();
        log.Append("run " + std::to_string(run));
    }
    EXPECT_EQ(ReadFile(dir.File("LOG.TXT")), "run 12");
    for (int n = 1; n <= 10; ++n)
        EXPECT_EQ(ReadFile(dir.File("LOG." + std::to_string(n) + ".TXT")),
                  "run " + std::to_string(12 - n));
    EXPECT_FALSE(std::filesystem::exists(dir.File("LOG.11.TXT")));
    // An account's part too long to show keeps its ends.
    EXPECT_EQ(log.Read(0, log.Size(), 4), "ru\r\n[... 2 bytes left out ...]\r\n12");

    // A session's held lines come out whole on release, a flood at the limit
    // at once, from where SpilledAt says, with nothing lost or reordered.
    CTranscript held(log.Path());
    held.Hold(true);
    held.Append("held ");
    EXPECT_EQ(log.Size(), 6u);
    const std::string flood(CTranscript::kHoldLimit, 'x');
    held.Append(flood);
    EXPECT_EQ(held.SpilledAt(), 6u);
    held.Append("tail");
    log.Append(held.Release());
    EXPECT_EQ(ReadFile(log.Path()), "run 12held " + flood + "tail");
    EXPECT_FALSE(held.SpilledAt());
}
