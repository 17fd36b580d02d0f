#include "settings/UserList.h"

#include <algorithm>

#include "platform/DataFolder.h"
#include "platform/StdioFile.h"

void LoadUserList(const std::string& folder, CUserList& users, bool passwordOptional) {
    users = CUserList();
    CStdioFile file;
    if (!file.Open(DataFilePath(folder, kUserListFileName), CStdioFile::modeRead))
        return;
    std::string line;
    for (int number = 1; file.ReadString(line); ++number) {
        // Windows Notepad starts a UTF-8 file with a byte-order mark.
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line.erase(0, 3);
        const size_t sep = line.find(';');
        if (sep == 0 || sep == std::string::npos || (sep + 1 == line.size() && !passwordOptional)) {
            if (!line.empty())
                users.m_arrSkippedLines.push_back(number);
            continue;
        }
        users.m_arrAccounts.emplace_back(line, 0, sep);
        users.m_arrPasswords.emplace_back(line, sep + 1);
        users.m_arrLines.push_back(number);
    }
}

std::string PickAccounts(const std::vector<std::string>& accounts, const CUserList& list,
                         const std::string& only, const std::string& password, CUserList& picked) {
    picked = CUserList();
    for (const std::string& account : accounts) {
        if (!only.empty() && account != only)
            continue;
        std::string secret = password;
        if (only.empty()) {
            const auto at =
                std::find(list.m_arrAccounts.begin(), list.m_arrAccounts.end(), account);
            if (at == list.m_arrAccounts.end())
                return account;
            secret = list.m_arrPasswords[static_cast<size_t>(at - list.m_arrAccounts.begin())];
        }
        picked.m_arrAccounts.push_back(account);
        picked.m_arrPasswords.push_back(std::move(secret));
        picked.m_arrLines.push_back(static_cast<int>(picked.m_arrLines.size()) + 1);
    }
    return "";
}
