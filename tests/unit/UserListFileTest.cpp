#include <gtest/gtest.h>

#include "platform/DataFolder.h"
#include "settings/UserList.h"
#include "support/TempFolder.h"

using namespace std::string_literals;

namespace {
CUserList Load(const std::string& bytes) {
    TempFolder dir;
    WriteFileBytes(DataFilePath(dir.Path(), kUserListFileName), bytes);
    CUserList users;
    users.m_arrAccounts = {"stale"};
    users.m_arrPasswords = {"stale"};
    LoadUserList(dir.Path(), users);
    EXPECT_EQ(users.m_arrAccounts.size(), users.m_arrPasswords.size());
    return users;
}
using Texts = std::vector<std::string>;
}  // namespace

TEST(UserListFile, SplitsAtTheFirstSemicolonAndKeepsEverythingElse) {
    const CUserList u = Load(
        "anna;secret\r\n"
        "bob;pa;ss;word\n"
        ";nopassword-account\r\n"
        "noaccount-password;\r\n"
        "no separator here\r\n"
        "\r\n"
        "\n"
        " spaced ; blanks \r\n"
        "last;line");
    EXPECT_EQ(u.m_arrAccounts,
              (Texts{"anna", "bob", "", "noaccount-password", " spaced ", "last"}));
    EXPECT_EQ(u.m_arrPasswords,
              (Texts{"secret", "pa;ss;word", "nopassword-account", "", " blanks ", "line"}));
}

TEST(UserListFile, MissingFileGivesEmptyArrays) {
    TempFolder dir;
    CUserList users;
    users.m_arrAccounts = {"x"};
    users.m_arrPasswords = {"y"};
    LoadUserList(dir.File("absent"), users);
    EXPECT_TRUE(users.m_arrAccounts.empty());
    EXPECT_TRUE(users.m_arrPasswords.empty());
}

TEST(UserListFile, HostileFilesLoadWithoutHarm) {
    const CUserList nul = Load("a\0b;c\0d\r\nplain\0line\r\n"s);
    EXPECT_EQ(nul.m_arrAccounts, (Texts{"a\0b"s}));
    EXPECT_EQ(nul.m_arrPasswords, (Texts{"c\0d"s}));

    const std::string huge = "u;" + std::string(4 << 20, 'p');
    const CUserList big = Load(huge);
    ASSERT_EQ(big.m_arrPasswords.size(), 1u);
    EXPECT_EQ(big.m_arrPasswords[0].size(), huge.size() - 2);

    std::string blob(1 << 20, '\0');
    for (size_t i = 0; i < blob.size(); ++i)
        blob[i] = static_cast<char>((i * 2654435761u) >> 13);
    Load(blob);  // must not crash or read out of bounds (run under ASan)
}

TEST(UserListFile, ManyLinesKeepFileOrder) {
    std::string file;
    for (int i = 0; i < 100000; ++i)
        file += "user" + std::to_string(i) + "@example.com;pw" + std::to_string(i) + "\r\n";
    const CUserList u = Load(file);
    ASSERT_EQ(u.m_arrAccounts.size(), 100000u);
    EXPECT_EQ(u.m_arrAccounts[0], "user0@example.com");
    EXPECT_EQ(u.m_arrPasswords[99999], "pw99999");
}
