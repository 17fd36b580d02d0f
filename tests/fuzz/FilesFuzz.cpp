// libFuzzer target for the files the program reads: the same bytes as the
// configuration file, the user list, the OAuth file, the known servers, a
// saved report, a manifest and a rules file, and as the token endpoint's
// reply and an XOAUTH2 refusal. Aborts when a load lets through what a run
// must never get, or when saving and loading again changes the settings, the
// report or a manifest's row.
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/stat.h>

#include <algorithm>

#include "imap/Xoauth2.h"
#include "platform/DataFolder.h"
#include "platform/HttpsPost.h"
#include "platform/Utf8.h"
#include "run/AccessToken.h"
#include "run/Manifest.h"
#include "run/Rules.h"
#include "run/RunReport.h"
#include "settings/Settings.h"
#include "settings/UserList.h"

#define QD_CHECK(c) \
    ((c) ? (void)0 : (std::fprintf(stderr, "broken: %s (line %d)\n", #c, __LINE__), std::abort()))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = [] {
        char name[] = "/tmp/qd-files-fuzz-XXXXXX";
        return std::string(::mkdtemp(name));
    }();
    for (const char* name : {kConfigFileName, kUserListFileName, kOAuthFileName}) {
        FILE* file = std::fopen(DataFilePath(folder, name).c_str(), "wb");
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    CSettings settings, again;
    if (LoadSettings(folder, settings) == ConfigLoad::Loaded) {
        const int port = std::atoi(settings.m_strPort.c_str());
        QD_CHECK(port >= 1 && port <= 65535);
        QD_CHECK(settings.m_nPauseMs >= kMinPauseMs && settings.m_nPauseMs <= kMaxPauseMs);
        QD_CHECK(settings.m_nParallel >= 1 && settings.m_nParallel <= kMaxParallel);
        QD_CHECK(SaveSettings(folder, settings));
        QD_CHECK(LoadSettings(folder, again) == ConfigLoad::Loaded);
        QD_CHECK(again.m_nPauseMs == settings.m_nPauseMs && again.m_strPort == settings.m_strPort &&
                 again.m_strServerIP == settings.m_strServerIP &&
                 again.m_security == settings.m_security &&
                 again.m_strTrustedFingerprint == settings.m_strTrustedFingerprint &&
                 again.m_nParallel == settings.m_nParallel);
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto printable = [](const std::string& s) {
        return std::none_of(s.begin(), s.end(), [](unsigned char c) { return c < ' '; });
    };
    ::chmod(DataFilePath(folder, kOAuthFileName).c_str(), 0600);
    COAuthSettings oauth, oauthAgain;
    if (LoadOAuthSettings(folder, oauth).empty()) {
        for (const std::string* field :
             {&oauth.m_strTokenUrl, &oauth.m_strClientId, &oauth.m_strClientSecret,
              &oauth.m_strScope, &oauth.m_strCaFile})
            QD_CHECK(printable(*field));
        QD_CHECK(SaveOAuthSettings(folder, oauth));
        QD_CHECK(LoadOAuthSettings(folder, oauthAgain).empty());
        QD_CHECK(oauthAgain.m_strClientSecret == oauth.m_strClientSecret &&
                 oauthAgain.m_strCaFile == oauth.m_strCaFile);
    }
    for (const long status : {200L, 401L}) {
        CHttpsResult reply;
        reply.status = status;
        reply.body = text;
        std::string token;
        long lifetime = 0;
        const std::string failure = CAccessToken::ReadReply(reply, "s3", &token, &lifetime);
        QD_CHECK(failure.empty()
                     ? !token.empty() && printable(token) && token.find(' ') == std::string::npos &&
                           lifetime >= CAccessToken::kMinLifetime && lifetime <= 86400
                     : token.empty() && printable(failure) &&
                           failure.find("s3") == std::string::npos);
    }
    const std::string refusal = Xoauth2Refusal(text);
    QD_CHECK(refusal.rfind("token refused", 0) == 0 && printable(refusal));

    CUserList users;
    LoadUserList(folder, users);
    QD_CHECK(users.m_arrAccounts.size() == users.m_arrPasswords.size());
    // A CR or NUL inside may stay: LOGIN refuses to send those, with a reason.
    for (size_t i = 0; i < users.m_arrAccounts.size(); ++i)
        QD_CHECK(!users.m_arrAccounts[i].empty() && !users.m_arrPasswords[i].empty());
    // In a folder of their own: the configuration above reads its folder's too.
    static const std::string servers = [] {
        char name[] = "/tmp/qd-known-fuzz-XXXXXX";
        return std::string(::mkdtemp(name));
    }();
    FILE* file = std::fopen(DataFilePath(servers, kKnownServersFileName).c_str(), "wb");
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    CKnownServers known, knownAgain;
    if (LoadKnownServers(servers, known).empty()) {
        for (const auto& [server, entry] : known.m_servers)
            QD_CHECK(printable(server) && server.find(' ') == std::string::npos &&
                     (entry.fingerprint.empty() || entry.fingerprint.size() == 64));
        QD_CHECK(SaveKnownServers(servers, known));
        QD_CHECK(LoadKnownServers(servers, knownAgain).empty());
        QD_CHECK(knownAgain.m_servers.size() == known.m_servers.size());
    }
    CRunReport report, reread;
    if (ParseReport({reinterpret_cast<const char*>(data), size}, report).empty()) {
        const std::string saved = FormatReport(report);
        QD_CHECK(ParseReport(saved, reread).empty() && FormatReport(reread) == saved);
    }
    // A row read is written again and reads back the same (the format is
    // one to one, so equal lines are equal rows).
    ReadManifest(text, [](const CManifestRow& row) {
        const std::string line = FormatManifestRow(row);
        int rows = 0;
        QD_CHECK(ReadManifest(ManifestHeader() + line, [&](const CManifestRow& back) {
                     QD_CHECK(FormatManifestRow(back) == line);
                     return ++rows > 0;
                 }).empty());
        QD_CHECK(rows == 1);
        return true;
    });
    const auto checkFolder = [&](const CFolderRule& f) {
        QD_CHECK(f.name.empty() != f.specialUse.empty());
        QD_CHECK(IsValidUtf8(f.name) && printable(f.name));
        QD_CHECK(f.olderThanDays >= -1 && f.olderThanDays <= 100000);
    };
    CRules rules;
    if (ParseRules(text, "fuzz", rules).empty()) {
        for (const CFolderRule& f : rules.all.folders)
            checkFolder(f);
        for (const auto& [account, set] : rules.accounts) {
            QD_CHECK(!account.empty() && IsValidUtf8(account));
            for (const CFolderRule& f : rules.For(account).folders)
                checkFolder(f);
        }
        QD_CHECK(!rules.For("nobody").folders.empty());
    }
    CFolderRule option;  // as --folder takes it
    if (ParseFolderRule(text, option).empty())
        checkFolder(option);
    return 0;
}
