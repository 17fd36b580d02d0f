// A private Dovecot for end-to-end runs: its own config, passwords, Maildirs
// and log in a TempFolder, listening on 127.0.0.1 (127.0.0.2 with TLS). Mail goes in and is read
// back as Maildir files, never through IMAP.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

#include "support/Harness.h"

class Dovecot {
public:
    ~Dovecot() { Stop(); }

    // Before Start(); they throw on file errors. Names in lower case (Dovecot
    // folds them); passwords without ':', CR or LF.
    void AddAccount(const std::string& name, const std::string& password);
    // Dovecot numbers messages in file name order, so position orders them;
    // the file's mtime is the INTERNALDATE; flags are Maildir letters ("T": \Deleted).
    void AddMessage(const std::string& account, unsigned position, std::time_t date,
                    const std::string& subject, const std::string& flags = "");

    // Before Start(): XOAUTH2 and OAUTHBEARER too, taking a token for every
    // account in the domain of the name introspection answers ("x@example.com"
    // for "anna@example.com") but the refused ones; perUser: for the account
    // it names only. Passwords still work with LOGIN and PLAIN.
    void UseOAuth2(const std::string& introspectionUrl, const std::string& caFile,
                   const std::vector<std::string>& refused = {}, bool perUser = false);
    // Before Start(): TLS required with this certificate and key (PEM files),
    // on 127.0.0.2, STARTTLS on Port() and IMAPS on TlsPort().
    void UseTls(const std::string& cert, const std::string& key);
    // "" once Dovecot greets on Port(); else why not, with its log.
    std::string Start();
    // SIGTERM to its process group, SIGKILL after 5 s; returns when all are gone.
    void Stop();
    unsigned Port() const { return m_port; }
    unsigned TlsPort() const { return m_tls.empty() ? 0 : m_port + 1; }
    std::string Address() const { return m_tls.empty() ? "127.0.0.1" : "127.0.0.2"; }

    // The account's messages left on disk, in message order: their subjects,
    // followed by ":" and the flag letters when they have any.
    std::vector<std::string> Subjects(const std::string& account) const;

private:
    TempFolder m_folder;
    std::string m_users;  // the passwd-file
    unsigned m_port = 0;
    std::string m_tls;     // the config lines for TLS, "" without
    std::string m_oauth2;  // the config lines for OAuth2, "" without
    pid_t m_pid = -1;      // the master, leader of its process group
};
