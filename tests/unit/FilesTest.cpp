// The configuration file and the user list, as bytes on disk.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <climits>

#include "platform/DataFolder.h"
#include "settings/Settings.h"
#include "settings/UserList.h"
#include "support/Harness.h"

TEST(ConfigurationFile, LoadsWhatTheFileSaysAndSavesCrLfLines) {
    struct Row {
        std::string file;  // "-" for no file at all
        int pause;
        std::string address, port;
    } rows[] = {
        {"-", 1000, kDefaultServerIP, "143"},
        {"250\r\n 10.1.2.3 \r\n0143\r\n", 250, " 10.1.2.3 ", "0143"},
        {"7\n10.1.2.3", 7, "10.1.2.3", ""},
        {"99999999999999999999\r\nh\r\np\r\n", INT_MAX, "h", "p"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        TempFolder dir;
        const std::string path = DataFilePath(dir.Path(), kConfigFileName);
        if (row.file != "-")
            WriteFile(path, row.file);
        CSettings s{-1, "stale", "stale"};
        LoadSettings(dir.Path(), s);
        EXPECT_EQ(s.m_nPauseMs, row.pause);
        EXPECT_EQ(s.m_strServerIP, row.address);
        EXPECT_EQ(s.m_strPort, row.port);
        ASSERT_TRUE(SaveSettings(dir.Path(), s));
        EXPECT_EQ(ReadFile(path),
                  std::to_string(row.pause) + "\r\n" + row.address + "\r\n" + row.port + "\r\n");
    }
}

TEST(ConfigurationFile, ASaveThatFailsHalfWayKeepsTheOldFile) {
    TempFolder dir;
    const std::string path = DataFilePath(dir.Path(), kConfigFileName);
    WriteFile(path, "300\r\n127.0.0.1\r\n143\r\n");
    CSettings s{500, std::string(1000, 'x'), "143"};
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

TEST(UserListFile, EveryLineWithASemicolonIsAnAccount) {
    struct Row {
        std::string file;
        std::vector<std::string> accounts, passwords;
    } rows[] = {
        {"a@x.org;pw1\r\nb@x.org;pw2\r\n", {"a@x.org", "b@x.org"}, {"pw1", "pw2"}},
        {"a;1\nno separator\n\nb;2", {"a", "b"}, {"1", "2"}},
        {" a ; p;w \r\n;\r\n", {" a ", ""}, {" p;w ", ""}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        TempFolder dir;
        WriteFile(DataFilePath(dir.Path(), kUserListFileName), row.file);
        CUserList users{{"stale"}, {"stale"}};
        LoadUserList(dir.Path(), users);
        EXPECT_EQ(users.m_arrAccounts, row.accounts);
        EXPECT_EQ(users.m_arrPasswords, row.passwords);
    }
}
