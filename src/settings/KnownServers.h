// The servers this program has met, as SSH's known_hosts: whether each has
// completed TLS with it, and the certificate fingerprint trusted for it. A
// server that spoke TLS once never gets a password in the clear again, and a
// certificate that no longer matches its pin is noticed as a change.
//
// KNOWN_QUEN_DRAVALT.TXT in the data folder, one server a line, "#" comments:
//   HOST:PORT TLS FINGERPRINT
// TLS is "tls" once the server completed TLS with the program, else "-";
// FINGERPRINT is the SHA-256 fingerprint trusted for it (hex, colons and an
// "sha256 Fingerprint=" prefix allowed) or "-". Written by the program,
// owner-only; a line removed by hand forgets the server.
#pragma once

#include <map>
#include <string>

inline constexpr const char* kKnownServersFileName = "KNOWN_QUEN_DRAVALT.TXT";

struct CKnownServer {
    bool tls = false;
    std::string fingerprint;  // normalized (see NormalizeFingerprint); "" none
};

// "host:port" as the file names a server: the host in lower case.
std::string HostPort(const std::string& host, const std::string& port);

struct CKnownServers {
    std::map<std::string, CKnownServer> m_servers;

    const CKnownServer* Find(const std::string& hostPort) const {
        const auto it = m_servers.find(hostPort);
        return it == m_servers.end() ? nullptr : &it->second;
    }
};

// Reads the file of folder into known (emptied first; a missing file is
// empty). "" when it could be used; else what is wrong, naming the line.
std::string LoadKnownServers(const std::string& folder, CKnownServers& known);
// Replaces the file, owner-only; false on failure.
bool SaveKnownServers(const std::string& folder, const CKnownServers& known);
// Each reads the file again, changes one server and writes it back, so that
// what another run remembered meanwhile stays: the server completed TLS; its
// certificate with this fingerprint is trusted; the server is forgotten.
bool RememberTls(const std::string& folder, const std::string& hostPort);
bool RememberPin(const std::string& folder, const std::string& hostPort,
                 const std::string& fingerprint);
bool ForgetServer(const std::string& folder, const std::string& hostPort);
