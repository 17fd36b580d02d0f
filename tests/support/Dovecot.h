// A private Dovecot IMAP server for session tests: its own config, users and
// log in a TempFolder, the Maildirs on tmpfs (/dev/shm) when there is one,
// listening on 127.0.0.1 and a free high port. Nothing of the system's
// Dovecot setup is used.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "support/TempFolder.h"

// Seconds since the epoch for a UTC calendar time.
std::time_t UtcTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

struct MailToAdd {
    std::time_t internalDate;
    std::string subject;
};

// One message as the server reports it.
struct StoredMail {
    unsigned number = 0;       // message sequence number
    std::string internalDate;  // e.g. "31-Dec-2019 23:59:59 +0000"
    std::string flags;         // inside FLAGS (...)
    std::string subject;
};

class DovecotServer {
public:
    DovecotServer();
    ~DovecotServer();  // stops the server
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    // Starts Dovecot and waits for its greeting. On failure: false, and *error
    // says why, followed by Dovecot's output and log.
    bool Start(std::string* error);
    // SIGTERM to its whole process group, SIGKILL to what lingers past 5 s;
    // returns once every member is gone.
    void Stop();
    // The process was started and has not exited.
    bool IsRunning();
    unsigned Port() const { return m_port; }
    const std::string& Folder() const { return m_folder.Path(); }
    // Dovecot's log plus whatever it printed to stdout/stderr.
    std::string Log() const;

    // Adds or replaces a user ("name:{PLAIN}password" in pw/<name>). A new
    // user can log in at once; replacing a password takes up to a second.
    // Names are lower case (Dovecot folds them); passwords may hold anything
    // but ':', CR, LF and NUL.
    void AddUser(const std::string& name, const std::string& password);
    // A user name never handed out before by this process.
    static std::string UniqueUser(const std::string& prefix);

    // Writes a message into the user's INBOX. Dovecot numbers Maildir files in
    // name order, so the position (1, 2, ...) becomes the file name; the
    // INTERNALDATE is the file's mtime. Records a test failure on I/O errors.
    void AddMessage(const std::string& user, unsigned position, std::time_t internalDate,
                    const std::string& subject);
    // Adds messages after the highest position used so far for the user.
    // Plain file writes, no IMAP: thousands take a few tens of milliseconds.
    void AddMessages(const std::string& user, const std::vector<MailToAdd>& mails);

    // What the user's INBOX holds, in message-number order, read through a
    // separate connection (EXAMINE, so nothing changes). False with *error.
    bool ReadMailbox(const std::string& user, std::vector<StoredMail>* mails, std::string* error);
    // Subjects in order. A failed read-back records a test failure (with the
    // log) and returns a single "<read-back failed>" entry.
    std::vector<std::string> Subjects(const std::string& user);

    // One server shared by the whole test binary, started on first use and
    // stopped when the tests are done (a gtest Environment's TearDown).
    // Check IsRunning() / StartFailure() before using it.
    static DovecotServer& Shared();
    const std::string& StartFailure() const { return m_startFailure; }

private:
    bool StartOnce(std::string* error, bool* portInUse);
    bool WriteConfig(std::string* error);
    bool PrepareMaildir(const std::string& user);
    bool WriteMessage(const std::string& user, unsigned position, std::time_t internalDate,
                      const std::string& subject);
    void Own(const std::string& path);

    TempFolder m_folder;
    std::string m_homes;  // the users' home folders
    bool m_ownHomes = false;
    unsigned m_port = 0;
    pid_t m_pid = -1;    // the master, until reaped
    pid_t m_group = -1;  // its process group, until every member is gone
    int m_exitStatus = 0;
    bool m_root = false;
    uid_t m_mailUid = 0;
    gid_t m_mailGid = 0;
    std::string m_startFailure;
    std::map<std::string, std::string> m_users;
    std::map<std::string, unsigned> m_lastPosition;
    unsigned m_usersGeneration = 0;
};
