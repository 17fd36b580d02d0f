#include "settings/KnownServers.h"

#include <algorithm>
#include <cctype>

#include "platform/DataFolder.h"
#include "platform/FileSystem.h"
#include "platform/StdioFile.h"
#include "settings/Settings.h"

std::string HostPort(const std::string& host, const std::string& port) {
    std::string lower = host;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower + ":" + port;
}

std::string LoadKnownServers(const std::string& folder, CKnownServers& known) {
    known = CKnownServers();
    const std::string path = DataFilePath(folder, kKnownServersFileName);
    const CFileFacts facts = InspectFile(path);
    if (!facts.exists)
        return "";
    CStdioFile file;
    if (facts.folder || !file.Open(path, CStdioFile::modeRead))
        return "the known-servers file " + path + " cannot be read";
    std::string line;
    for (int number = 1; file.ReadString(line); ++number) {
        const auto bad = [&](const std::string& what) {
            known = CKnownServers();
            return "line " + std::to_string(number) + " of " + path + " " + what;
        };
        if (number > 10000 || line.size() > 1000 ||
            std::any_of(line.begin(), line.end(),
                        [](unsigned char c) { return (c < ' ' && c != '\t') || c == 0x7F; }))
            return bad("is not one of this program's");
        const std::string text = Trim(line);
        if (text.empty() || text[0] == '#')
            continue;
        const size_t first = text.find(' ');
        const size_t second = first == std::string::npos ? first : text.find(' ', first + 1);
        if (second == std::string::npos)
            return bad("needs HOST:PORT, tls or -, and a fingerprint or -");
        const std::string server = text.substr(0, first);
        const std::string tls = text.substr(first + 1, second - first - 1);
        const std::string print = Trim(text.substr(second + 1));
        const size_t colon = server.rfind(':');
        if (colon == 0 || colon == std::string::npos || colon + 1 == server.size() ||
            server.find_first_not_of("0123456789", colon + 1) != std::string::npos)
            return bad("does not begin with HOST:PORT");
        if (tls != "tls" && tls != "-")
            return bad("says \"" + tls + "\" where tls or - belongs");
        CKnownServer entry;
        entry.tls = tls == "tls";
        if (print != "-" && !ParseFingerprintText(print, entry.fingerprint))
            return bad("holds no SHA-256 fingerprint");
        const std::string key = HostPort(server.substr(0, colon), server.substr(colon + 1));
        if (!known.m_servers.emplace(key, entry).second)
            return bad("names " + key + " a second time");
    }
    if (file.ReadFailed())
        return "the known-servers file " + path + " cannot be read";
    return "";
}

bool SaveKnownServers(const std::string& folder, const CKnownServers& known) {
    std::string text =
        "# Servers QuenDravalt has met: HOST:PORT, tls once TLS was completed with it,\n"
        "# the SHA-256 fingerprint of the certificate trusted for it. Remove a line\n"
        "# to forget a server.\n";
    for (const auto& [server, entry] : known.m_servers)
        text += server + (entry.tls ? " tls " : " - ") +
                (entry.fingerprint.empty() ? "-" : entry.fingerprint) + "\n";
    EnsureDataFolder(folder);
    return ReplaceTextFile(DataFilePath(folder, kKnownServersFileName), text);
}

namespace {
template <typename Change>
bool UpdateKnownServers(const std::string& folder, Change change) {
    CKnownServers known;
    if (!LoadKnownServers(folder, known).empty())
        return false;  // never written over a file that could not be read
    change(known.m_servers);
    return SaveKnownServers(folder, known);
}
}  // namespace

bool RememberTls(const std::string& folder, const std::string& hostPort) {
    return UpdateKnownServers(folder, [&](auto& servers) { servers[hostPort].tls = true; });
}

bool RememberPin(const std::string& folder, const std::string& hostPort,
                 const std::string& fingerprint) {
    return UpdateKnownServers(folder,
                              [&](auto& servers) { servers[hostPort].fingerprint = fingerprint; });
}

bool ForgetServer(const std::string& folder, const std::string& hostPort) {
    return UpdateKnownServers(folder, [&](auto& servers) { servers.erase(hostPort); });
}
