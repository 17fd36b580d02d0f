#include "settings/OAuthSettings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/DataFolder.h"
#include "platform/FileSystem.h"
#include "platform/StdioFile.h"

std::string LoadOAuthSettings(const std::string& folder, COAuthSettings& oauth) {
    oauth = COAuthSettings();
    const std::string path = DataFilePath(folder, kOAuthFileName);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? "there is no OAuth file " + path
                               : "the OAuth file " + path + " cannot be read";
    if (!S_ISREG(st.st_mode) || st.st_size > 16 * 1024)
        return "the OAuth file " + path + " is not one of this program";
    if (OpenToOthers(path))
        return "the OAuth file " + path +
               " holds a client secret and others than its owner may read or change it: "
               "run chmod 600 " +
               path;
    CStdioFile file;
    if (!file.Open(path, CStdioFile::modeRead))
        return "the OAuth file " + path + " cannot be read";
    std::string* const fields[] = {&oauth.m_strTokenUrl, &oauth.m_strClientId,
                                   &oauth.m_strClientSecret, &oauth.m_strScope, &oauth.m_strCaFile};
    for (std::string* field : fields)
        if (!file.ReadString(*field))
            field->clear();
    if (file.ReadFailed())
        return "the OAuth file " + path + " cannot be read";
    for (const std::string* field : fields)
        if (field->size() > 2000 || std::any_of(field->begin(), field->end(), [](unsigned char c) {
                return c < ' ' || c == 0x7F;
            })) {
            oauth = COAuthSettings();
            return "the OAuth file " + path + " is not one of this program";
        }
    return "";
}

std::string OAuthIncomplete(const COAuthSettings& oauth) {
    if (oauth.m_strTokenUrl.rfind("https://", 0) != 0)
        return "the token endpoint must be an https:// address";
    if (oauth.m_strClientId.empty())
        return "no client id";
    if (oauth.m_strClientSecret.empty())
        return "no client secret";
    return "";
}

bool SaveOAuthSettings(const std::string& folder, const COAuthSettings& oauth) {
    EnsureDataFolder(folder);
    return ReplaceTextFile(DataFilePath(folder, kOAuthFileName),
                           oauth.m_strTokenUrl + "\n" + oauth.m_strClientId + "\n" +
                               oauth.m_strClientSecret + "\n" + oauth.m_strScope + "\n" +
                               oauth.m_strCaFile + "\n");
}
