// The app-only OAuth2 sign-in (client-credentials grant) and its file in the
// data folder, one value a line: token endpoint, client id, client secret,
// scope, CA file for the token endpoint. The file holds a secret: it is used
// only when nobody but its owner may read it, and written for the owner only.
#pragma once

#include <string>

inline constexpr const char* kOAuthFileName = "OAUTH_QUEN_DRAVALT.TXT";
inline constexpr const char* kDefaultOAuthScope = "https://outlook.office365.com/.default";

struct COAuthSettings {
    std::string m_strTokenUrl;  // https:// only
    std::string m_strClientId;
    std::string m_strClientSecret;
    std::string m_strScope;   // "" asks for kDefaultOAuthScope
    std::string m_strCaFile;  // "" trusts the system's certificates

    bool IsEmpty() const {
        return m_strTokenUrl.empty() && m_strClientId.empty() && m_strClientSecret.empty() &&
               m_strScope.empty() && m_strCaFile.empty();
    }
};

// Reads the OAuth file of folder into oauth (emptied first). "" when it was
// read; else why it cannot be used: missing, not readable, readable by others
// than its owner (the fix named), or no file of this program.
std::string LoadOAuthSettings(const std::string& folder, COAuthSettings& oauth);

// "" when oauth names everything a token request needs; else what is missing.
std::string OAuthIncomplete(const COAuthSettings& oauth);

// Replaces the OAuth file once the new one is complete on disk, readable and
// writable by its owner only; false, with the old file kept, on any failure.
bool SaveOAuthSettings(const std::string& folder, const COAuthSettings& oauth);
