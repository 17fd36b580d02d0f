#include "support/Dovecot.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "support/ImapTestClient.h"

namespace {
constexpr const char* kDovecot = "/usr/sbin/dovecot";
constexpr auto kStartDeadline = std::chrono::seconds(10);
constexpr auto kStopGrace = std::chrono::seconds(5);

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// A port the kernel just called free. Another process may take it before
// Dovecot binds it; Start() then retries with a new one.
unsigned FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    unsigned port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

bool WriteWhole(const std::string& path, const std::string& bytes, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0;
}

// Some process of the group is still alive (zombies do not count).
bool GroupAlive(pid_t group) {
    if (::kill(-group, 0) != 0 && errno == ESRCH)
        return false;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return true;
    bool alive = false;
    while (const dirent* e = ::readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        const std::string stat = ReadFileBytes(std::string("/proc/") + e->d_name + "/stat");
        // "pid (comm) state ppid pgrp ...": comm may hold anything, even ')'.
        const size_t close = stat.rfind(')');
        char state = 0;
        int ppid = 0, pgrp = 0;
        if (close != std::string::npos &&
            std::sscanf(stat.c_str() + close + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 &&
            pgrp == group && state != 'Z') {
            alive = true;
            break;
        }
    }
    ::closedir(proc);
    return alive;
}

std::string Rfc2822Date(std::time_t t) {
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &tm);
    return text;
}

// Text of the quoted string after key in a FETCH response, or "".
std::string QuotedAfter(const std::string& response, const std::string& key) {
    const size_t at = response.find(key + " \"");
    if (at == std::string::npos)
        return {};
    const size_t start = at + key.size() + 2;
    const size_t end = response.find('"', start);
    return end == std::string::npos ? std::string() : response.substr(start, end - start);
}
}  // namespace

std::time_t UtcTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return ::timegm(&tm);
}

DovecotServer::DovecotServer() {
    m_root = ::geteuid() == 0;
    m_mailUid = ::geteuid();
    m_mailGid = ::getegid();
    if (m_root) {
        // Dovecot refuses to run mail processes as root.
        const passwd* pw = ::getpwnam("nobody");
        const group* gr = ::getgrnam("nogroup");
        if (!gr)
            gr = ::getgrnam("nobody");
        m_mailUid = pw ? pw->pw_uid : 65534;
        m_mailGid = gr ? gr->gr_gid : 65534;
        // mkdtemp's 0700 would keep the mail user out of its home.
        ::chmod(m_folder.Path().c_str(), 0755);
    }
    ::mkdir(m_folder.File("run").c_str(), 0755);
    ::mkdir(m_folder.File("state").c_str(), 0755);
    ::mkdir(m_folder.File("pw").c_str(), 0755);
    // Mail goes to tmpfs when there is one: on a disk busy with other work,
    // creating thousands of message files can take seconds.
    char shm[] = "/dev/shm/qdm-XXXXXX";
    if (::mkdtemp(shm)) {
        m_homes = shm;
        m_ownHomes = true;
    } else {
        m_homes = m_folder.File("home");
        ::mkdir(m_homes.c_str(), 0755);
    }
    ::chmod(m_homes.c_str(), 0755);
    Own(m_homes);
}

DovecotServer::~DovecotServer() {
    Stop();
    if (m_ownHomes) {
        std::error_code ec;
        std::filesystem::remove_all(m_homes, ec);
    }
}

void DovecotServer::Own(const std::string& path) {
    if (m_root)
        ::chown(path.c_str(), m_mailUid, m_mailGid);
}

std::string DovecotServer::Log() const {
    std::string text = "--- dovecot output ---\n" + ReadFileBytes(m_folder.File("out"));
    text += "--- dovecot log ---\n" + ReadFileBytes(m_folder.File("log"));
    return text;
}

bool DovecotServer::WriteConfig(std::string* error) {
    const std::string& dir = m_folder.Path();
    std::string c;
    c += "base_dir = " + dir + "/run\n";
    c += "state_dir = " + dir + "/state\n";
    c += "log_path = " + dir + "/log\n";
    c += "protocols = imap\n";
    c += "listen = 127.0.0.1\n";
    c += "ssl = no\n";
    c += "disable_plaintext_auth = no\n";
    c += "auth_failure_delay = 0\n";
    c += "auth_verbose = yes\n";
    c += "auth_username_chars =\n";  // any name, e.g. with '+'
    c += "mail_location = maildir:~/Maildir\n";
    c += "mail_fsync = never\n";
    c += "passdb {\n  driver = passwd-file\n  args = " + dir + "/pw/%u\n}\n";
    c += "userdb {\n  driver = static\n  args = uid=" + std::to_string(m_mailUid) +
         " gid=" + std::to_string(m_mailGid) + " home=" + m_homes + "/%u\n}\n";
    c += "service imap-login {\n"
         "  inet_listener imap {\n    port = " +
         std::to_string(m_port) +
         "\n  }\n"
         "  inet_listener imaps {\n    port = 0\n  }\n";
    if (!m_root)
        c += "  chroot =\n";
    c += "}\n";
    // Without this, a few failed logins make anvil delay even correct ones.
    c += "service anvil {\n  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n";
    if (!m_root)
        c += "  chroot =\n";  // only root may chroot
    c += "}\n";
    if (!m_root) {
        // Dovecot's own users are out of reach: everything runs as us.
        const passwd* pw = ::getpwuid(m_mailUid);
        const group* gr = ::getgrgid(m_mailGid);
        if (!pw || !gr) {
            *error = "cannot name the current user or group";
            return false;
        }
        c += std::string("default_internal_user = ") + pw->pw_name + "\n";
        c += std::string("default_internal_group = ") + gr->gr_name + "\n";
        c += std::string("default_login_user = ") + pw->pw_name + "\n";
        c += "first_valid_uid = " + std::to_string(m_mailUid) + "\n";
        c += "first_valid_gid = " + std::to_string(m_mailGid) + "\n";
    }
    if (!WriteWhole(m_folder.File("dovecot.conf"), c, 0644)) {
        *error = Errno("writing " + m_folder.File("dovecot.conf"));
        return false;
    }
    return true;
}

bool DovecotServer::Start(std::string* error) {
    error->clear();
    if (m_pid > 0)
        return true;
    if (::access(kDovecot, X_OK) != 0) {
        *error = Errno(std::string("cannot run ") + kDovecot);
        return false;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        bool portInUse = false;
        if (StartOnce(error, &portInUse))
            return true;
        if (!portInUse)
            break;
    }
    *error += "\n" + Log();
    return false;
}

bool DovecotServer::StartOnce(std::string* error, bool* portInUse) {
    m_port = FreeLoopbackPort();
    if (m_port == 0) {
        *error = Errno("no free port on 127.0.0.1");
        return false;
    }
    if (!WriteConfig(error))
        return false;

    // Everything the child needs is prepared before fork.
    const std::string conf = m_folder.File("dovecot.conf");
    const std::string outPath = m_folder.File("out");
    const char* argv[] = {kDovecot, "-F", "-c", conf.c_str(), nullptr};
    // BEFORE compares dates in the server's time zone.
    const char* envp[] = {"TZ=UTC", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", nullptr};
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (in < 0 || out < 0) {
        *error = Errno("opening /dev/null or " + outPath);
        if (in >= 0)
            ::close(in);
        if (out >= 0)
            ::close(out);
        return false;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Dovecot goes when the test binary dies, even by SIGKILL.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // Its own process group, so that Stop() can wait for every helper.
        ::setpgid(0, 0);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::close_range(3, ~0u, 0);
        ::execve(kDovecot, const_cast<char* const*>(argv), const_cast<char* const*>(envp));
        ::_exit(127);
    }
    ::close(in);
    ::close(out);
    if (pid < 0) {
        *error = Errno("fork");
        return false;
    }
    ::setpgid(pid, pid);
    m_pid = pid;
    m_group = pid;

    const auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
    std::string lastTry;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!IsRunning()) {
            Stop();  // helpers it started may linger
            const std::string log = Log();
            *portInUse = log.find("in use") != std::string::npos;
            *error = "dovecot exited during start-up (wait status " + std::to_string(m_exitStatus) +
                     ", port " + std::to_string(m_port) + ")";
            return false;
        }
        ImapTestClient probe(std::chrono::milliseconds(500));
        if (probe.Connect(m_port)) {
            if (probe.Greeting().find("Dovecot") != std::string::npos)
                return true;
            lastTry = "a stranger answered on the port: " + probe.Greeting();
            Stop();
            *portInUse = true;
            *error = lastTry;
            return false;
        }
        lastTry = probe.Error();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop();
    *error = "no IMAP greeting on 127.0.0.1:" + std::to_string(m_port) + " within 10 s (" +
             lastTry + ")";
    return false;
}

bool DovecotServer::IsRunning() {
    if (m_pid <= 0)
        return false;
    int status = 0;
    const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == 0)
        return true;
    if (r == m_pid)
        m_exitStatus = status;
    m_pid = -1;
    return false;
}

void DovecotServer::Stop() {
    if (m_group <= 0)
        return;
    // The whole group at once: told by the master, its log process lingers a
    // second for late writers. Helpers may outlive the master briefly and would
    // still write into the folder that is about to be removed, so wait for all.
    ::kill(-m_group, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    while (std::chrono::steady_clock::now() < deadline) {
        if (m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) != 0)
            m_pid = -1;
        if (m_pid <= 0 && !GroupAlive(m_group)) {
            m_group = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(-m_group, SIGKILL);
    if (m_pid > 0)
        ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
    const auto killed = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (GroupAlive(m_group) && std::chrono::steady_clock::now() < killed)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    m_group = -1;
}

void DovecotServer::AddUser(const std::string& name, const std::string& password) {
    const bool nameOk = !name.empty() && name[0] != '.' &&
                        name.find_first_of(":/ \t\r\n") == std::string::npos &&
                        name.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos;
    if (!nameOk || password.find_first_of(std::string(":\r\n\0", 4)) != std::string::npos) {
        ADD_FAILURE() << "DovecotServer cannot hold user '" << name << "' with that password";
        return;
    }
    const bool replacing = m_users.count(name) != 0;
    m_users[name] = password;
    // One passwd-file per user: Dovecot looks at a passwd-file at most once a
    // second, but opens a file it has not seen yet at once.
    const std::string tmp = m_folder.File("pw/.new");
    const std::string path = m_folder.File("pw/" + name);
    // Dovecot notices a change by mtime and size; give every version its own mtime.
    const timespec times[2] = {{0, UTIME_OMIT}, {1000000000 + ++m_usersGeneration, 0}};
    if (!WriteWhole(tmp, name + ":{PLAIN}" + password + "\n", 0644) ||
        ::utimensat(AT_FDCWD, tmp.c_str(), times, 0) != 0 ||
        ::rename(tmp.c_str(), path.c_str()) != 0) {
        ADD_FAILURE() << Errno("writing " + path);
        return;
    }
    if (replacing) {
        // A lookup earlier in this second may have read the old file; the
        // next login must come in a later second to be sure to see the new one.
        const std::time_t written = std::time(nullptr);
        while (std::time(nullptr) <= written)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string DovecotServer::UniqueUser(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    return prefix + std::to_string(++counter);
}

bool DovecotServer::PrepareMaildir(const std::string& user) {
    const std::string home = m_homes + "/" + user;
    const std::string maildir = home + "/Maildir";
    for (const std::string& dir :
         {home, maildir, maildir + "/cur", maildir + "/new", maildir + "/tmp"}) {
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            ADD_FAILURE() << Errno("mkdir " + dir);
            return false;
        }
        Own(dir);
    }
    return true;
}

bool DovecotServer::WriteMessage(const std::string& user, unsigned position,
                                 std::time_t internalDate, const std::string& subject) {
    char name[64];
    // Zero-padded so that name order is position order; ":2," = no flags.
    std::snprintf(name, sizeof name, "%010u.qd:2,", position);
    const std::string path = m_homes + "/" + user + "/Maildir/cur/" + name;
    std::string body;
    body += "From: sender@example.org\n";
    body += "To: " + user + "@example.org\n";
    body += "Subject: " + subject + "\n";
    body += "Date: " + Rfc2822Date(internalDate) + "\n";
    body += "Message-ID: <" + std::to_string(position) + "." + user + "@example.org>\n";
    body += "\nMessage " + std::to_string(position) + ".\n";

    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && ::write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
    const timespec times[2] = {{internalDate, 0}, {internalDate, 0}};
    ok = ok && ::futimens(fd, times) == 0;
    if (ok && m_root)
        ok = ::fchown(fd, m_mailUid, m_mailGid) == 0;
    if (fd >= 0 && ::close(fd) != 0)
        ok = false;
    if (!ok) {
        ADD_FAILURE() << Errno("writing " + path);
        return false;
    }
    unsigned& last = m_lastPosition[user];
    if (position > last)
        last = position;
    return true;
}

void DovecotServer::AddMessage(const std::string& user, unsigned position, std::time_t internalDate,
                               const std::string& subject) {
    if (PrepareMaildir(user))
        WriteMessage(user, position, internalDate, subject);
}

void DovecotServer::AddMessages(const std::string& user, const std::vector<MailToAdd>& mails) {
    if (!PrepareMaildir(user))
        return;
    const unsigned first = m_lastPosition[user] + 1;
    for (size_t i = 0; i < mails.size(); ++i)
        if (!WriteMessage(user, first + static_cast<unsigned>(i), mails[i].internalDate,
                          mails[i].subject))
            return;
}

bool DovecotServer::ReadMailbox(const std::string& user, std::vector<StoredMail>* mails,
                                std::string* error) {
    mails->clear();
    const auto known = m_users.find(user);
    if (known == m_users.end()) {
        *error = "unknown user " + user;
        return false;
    }
    ImapTestClient client;
    std::vector<std::string> untagged;
    if (!client.Connect(m_port) ||
        !client.Run("LOGIN " + ImapTestClient::Quote(user) + " " +
                    ImapTestClient::Quote(known->second)) ||
        !client.Run("EXAMINE INBOX", &untagged)) {
        *error = "read-back of " + user + ": " + client.Error();
        return false;
    }
    unsigned exists = 0;
    bool sawExists = false;
    for (const std::string& r : untagged) {
        unsigned n = 0;
        char word[16] = {};
        if (std::sscanf(r.c_str(), "* %u %15s", &n, word) == 2 &&
            std::strcmp(word, "EXISTS") == 0) {
            exists = n;
            sawExists = true;
        }
    }
    if (!sawExists) {
        *error = "read-back of " + user + ": no EXISTS after EXAMINE";
        return false;
    }
    untagged.clear();
    if (exists > 0 &&
        !client.Run("FETCH 1:* (FLAGS INTERNALDATE BODY.PEEK[HEADER.FIELDS (SUBJECT)])",
                    &untagged)) {
        *error = "read-back of " + user + ": " + client.Error();
        return false;
    }
    for (const std::string& r : untagged) {
        StoredMail m;
        char word[16] = {};
        if (std::sscanf(r.c_str(), "* %u %15s", &m.number, word) != 2 ||
            std::strcmp(word, "FETCH") != 0)
            continue;
        m.internalDate = QuotedAfter(r, "INTERNALDATE");
        const size_t flags = r.find("FLAGS (");
        const size_t flagsEnd = r.find(')', flags);
        if (flags != std::string::npos && flagsEnd != std::string::npos)
            m.flags = r.substr(flags + 7, flagsEnd - flags - 7);
        const size_t subject = r.find("Subject: ");
        if (subject != std::string::npos) {
            const size_t end = r.find("\r\n", subject);
            m.subject = r.substr(subject + 9, end == std::string::npos ? end : end - subject - 9);
        }
        mails->push_back(std::move(m));
    }
    client.Run("LOGOUT");
    if (mails->size() != exists) {
        *error = "read-back of " + user + ": " + std::to_string(exists) + " messages exist, " +
                 std::to_string(mails->size()) + " fetched";
        return false;
    }
    for (size_t i = 0; i < mails->size(); ++i) {
        if ((*mails)[i].number != i + 1) {
            *error = "read-back of " + user + ": FETCH responses out of order";
            return false;
        }
    }
    return true;
}

std::vector<std::string> DovecotServer::Subjects(const std::string& user) {
    std::vector<StoredMail> mails;
    std::string error;
    if (!ReadMailbox(user, &mails, &error)) {
        ADD_FAILURE() << error << "\n" << Log();
        return {"<read-back failed>"};
    }
    std::vector<std::string> subjects;
    for (const StoredMail& m : mails)
        subjects.push_back(m.subject);
    return subjects;
}

namespace {
std::unique_ptr<DovecotServer> g_shared;

// Stops the shared server when the tests are done, while main() still runs:
// static destructors come too late to be relied on.
class SharedDovecotTeardown : public ::testing::Environment {
public:
    void TearDown() override { g_shared.reset(); }
};
// Owned and deleted by gtest.
const auto* const g_teardown = ::testing::AddGlobalTestEnvironment(new SharedDovecotTeardown);
}  // namespace

DovecotServer& DovecotServer::Shared() {
    if (!g_shared) {
        g_shared = std::make_unique<DovecotServer>();
        std::string error;
        if (!g_shared->Start(&error))
            g_shared->m_startFailure = "private Dovecot did not start: " + error;
    }
    DovecotServer& server = *g_shared;
    if (!server.IsRunning() && server.m_startFailure.empty())
        server.m_startFailure = "private Dovecot is no longer running\n" + server.Log();
    return server;
}
