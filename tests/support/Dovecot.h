// A private Dovecot for end-to-end runs: its own config, passwords, Maildirs
// and log in a TempFolder, listening on 127.0.0.1 (127.0.0.2 with TLS). Mail goes in and is read
// back as Maildir files, never through IMAP.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

#include "support/Harness.h"

// Mail on either side of the tests' cut-off day, 1 June 2020.
inline constexpr std::time_t kOld = 1579082400;  // 15-Jan-2020 10:00 UTC
inline constexpr std::time_t kNew = 1596276000;  // 01-Aug-2020 10:00 UTC

class Dovecot {
public:
    ~Dovecot() { Stop(); }

    // Before Start(); they throw on file errors. Names in lower case (Dovecot
    // folds them); passwords without ':', CR or LF.
    void AddAccount(const std::string& name, const std::string& password);
    // Dovecot numbers messages in file name order, so position orders them;
    // the file's mtime is the INTERNALDATE; flags are Maildir letters ("T": \Deleted,
    // "F": \Flagged, "S": \Seen). folder: "" INBOX, else one of the account's
    // folders (made when missing). Its Message-ID is <position.account.folder@test>.
    // Also while Dovecot runs: it sees the message at the folder's next SELECT.
    void AddMessage(const std::string& account, unsigned position, std::time_t date,
                    const std::string& subject, const std::string& flags = "",
                    const std::string& folder = "", const std::string& body = "Hi.\n");
    // Before Start(): Trash, Junk and Sent with their special uses (RFC 6154).
    void UseSpecialUse() { m_specialUse = true; }

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
    // While stopped: every account's mail and Dovecot's index of it kept as it
    // is now, and put back (a new Start() follows). Messages are hard links:
    // Dovecot renames or removes a message file but never rewrites one.
    void SaveMail();
    void RestoreMail();
    unsigned Port() const { return m_port; }
    unsigned TlsPort() const { return m_tls.empty() ? 0 : m_port + 1; }
    std::string Address() const { return m_tls.empty() ? "127.0.0.1" : "127.0.0.2"; }

    // The account's messages left on disk, in message order: their subjects,
    // followed by ":" and the flag letters when they have any.
    std::vector<std::string> Subjects(const std::string& account,
                                      const std::string& folder = "") const;
    // Takes a message away behind Dovecot's back, as another client's EXPUNGE would.
    void RemoveMessage(const std::string& account, unsigned position,
                       const std::string& folder = "");
    // The file of a message as Dovecot keeps it (by its position), "" when gone.
    std::string MessageFile(const std::string& account, unsigned position,
                            const std::string& folder = "") const;

private:
    TempFolder m_folder;
    std::string m_users;  // the passwd-file
    unsigned m_port = 0;
    std::string m_tls;     // the config lines for TLS, "" without
    std::string m_oauth2;  // the config lines for OAuth2, "" without
    bool m_specialUse = false;
    std::string FolderPath(const std::string& account, const std::string& folder) const;
    std::string MessagePath(const std::string& account, unsigned position,
                            const std::string& folder) const;
    pid_t m_pid = -1;  // the master, leader of its process group
};
