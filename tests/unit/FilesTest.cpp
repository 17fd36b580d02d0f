// The configuration file and the user list, as bytes on disk.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include "platform/DataFolder.h"
#include "settings/Settings.h"
#include "settings/UserList.h"
#include "support/Harness.h"

TEST(ConfigurationFile, LoadsWhatTheFileSaysAndSavesFiveCrLfLines) {
    const std::string part = "0123456789ABCDEF", fp = part + part + part + part;
    const std::string pairs = "01:23:45:67:89:ab:cD:Ef:", colons = pairs + pairs + pairs + pairs;
    const std::pair<std::string, std::string> rows[] = {
        // the file, then as it is saved again
        {"-", "1000\r\n" + std::string(kDefaultServerIP) + "\r\n143\r\nauto\r\n\r\n"},
        {"250\r\n 10.1.2.3 \r\n0143\r\n", "250\r\n 10.1.2.3 \r\n0143\r\nauto\r\n\r\n"},
        {"7\n10.1.2.3", "7\r\n10.1.2.3\r\n\r\nauto\r\n\r\n"},
        {"99999999999999999999\r\nh\r\np\r\n", "2147483647\r\nh\r\np\r\nauto\r\n\r\n"},
        {"1\r\nh\r\n993\r\ntls\r\n", "1\r\nh\r\n993\r\ntls\r\n\r\n"},
        {"1\nh\n143\nstarttls\n" + colons.substr(0, 95),
         "1\r\nh\r\n143\r\nstarttls\r\n" + fp + "\r\n"},
        {"1\nh\n143\nsecure\n" + fp + "0", "1\r\nh\r\n143\r\nauto\r\n\r\n"},  // unknown, too long
        {"1\nh\n143\nnone\n" + fp.substr(1) + "G", "1\r\nh\r\n143\r\nnone\r\n\r\n"},
    };
    for (const auto& [file, saved] : rows) {
        SCOPED_TRACE(file);
        TempFolder dir;
        const std::string path = DataFilePath(dir.Path(), kConfigFileName);
        if (file != "-")
            WriteFile(path, file);
        CSettings s{-1, "stale", "stale", SecurityMode::None, "stale"};
        LoadSettings(dir.Path(), s);
        ASSERT_TRUE(SaveSettings(dir.Path(), s));
        EXPECT_EQ(ReadFile(path), saved);
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
