#include "settings/UserList.h"

#include "platform/DataFolder.h"
#include "platform/StdioFile.h"

void LoadUserList(const std::string& folder, CUserList& users) {
    users.m_arrAccounts.clear();
    users.m_arrPasswords.clear();
    CStdioFile file;
    if (!file.Open(DataFilePath(folder, kUserListFileName), CStdioFile::modeRead))
        return;
    std::string line;
    while (file.ReadString(line)) {
        const size_t sep = line.find(';');
        if (sep == std::string::npos)
            continue;
        users.m_arrAccounts.emplace_back(line, 0, sep);
        users.m_arrPasswords.emplace_back(line, sep + 1);
    }
    file.Close();
}
