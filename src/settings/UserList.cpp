#include "settings/UserList.h"

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
