#include "support/Dovecot.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <system_error>
#include <thread>

namespace {
// The first bytes whoever listens on the loopback port sends; "" when nobody does.
std::string Greeting(const std::string& address, unsigned port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval wait{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {inet_addr(address.c_str())}, {}};
    char text[512] = {};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        ::recv(fd, text, sizeof text - 1, 0);
    ::close(fd);
    return text;
}
}  // namespace

void Dovecot::UseTls(const std::string& cert, const std::string& key) {
    // A client from 127.0.0.1 to 127.0.0.2 is not "local": plain text is refused.
    m_tls = "ssl = required\nssl_cert = <" + cert + "\nssl_key = <" + key +
            "\ndisable_plaintext_auth = yes\n";
}

void Dovecot::UseOAuth2(const std::string& introspectionUrl, const std::string& caFile,
                        const std::vector<std::string>& refused, bool perUser) {
    // Copied: the auth process, not root, cannot read another test's folder.
    std::filesystem::copy_file(caFile, m_folder.File("oauth2-ca.pem"),
                               std::filesystem::copy_options::overwrite_existing);
    std::string denied;
    for (const std::string& name : refused)
        denied += name + "\n";
    WriteFile(m_folder.File("refused"), denied);
    // An app-only token names no mailbox: Dovecot compares the domain of the
    // name introspection answers with the login name's (%Ld on both); a
    // user's token is compared whole (%Lu).
    WriteFile(
        m_folder.File("oauth2.conf"),
        "introspection_url = " + introspectionUrl +
            "\nintrospection_mode = post\ntls_ca_cert_file = " + m_folder.File("oauth2-ca.pem") +
            "\nusername_attribute = username\nusername_format = " + (perUser ? "%Lu" : "%Ld") +
            "\n"
            "active_attribute = active\nactive_value = true\ntimeout_msecs = 5000\n");
    const std::string mechanisms = "  mechanisms = xoauth2 oauthbearer\n";
    m_oauth2 =
        "auth_mechanisms = plain login xoauth2 oauthbearer\npassdb {\n"
        "  driver = passwd-file\n  args = " +
        m_folder.File("refused") + "\n  deny = yes\n" + mechanisms +
        "}\npassdb {\n  driver = oauth2\n  args = " + m_folder.File("oauth2.conf") + "\n" +
        mechanisms + "}\n";
}

void Dovecot::AddAccount(const std::string& name, const std::string& password) {
    m_users += name + ":{PLAIN}" + password + "\n";
    for (const char* sub : {"/cur", "/new", "/tmp"})
        std::filesystem::create_directories(m_folder.File(name + ".mail") + sub);
}

std::string Dovecot::FolderPath(const std::string& account, const std::string& folder) const {
    // Maildir++: INBOX is the account's folder, the others ".Name" in it.
    return m_folder.File(account + ".mail") + (folder.empty() ? "" : "/." + folder);
}

void Dovecot::AddMessage(const std::string& account, unsigned position, std::time_t date,
                         const std::string& subject, const std::string& flags,
                         const std::string& folder, const std::string& body) {
    const std::string dir = FolderPath(account, folder);
    for (const char* sub : {"/cur", "/new", "/tmp"})
        std::filesystem::create_directories(dir + sub);
    // Fixed width, so that name order is position order.
    const std::string path =
        dir + "/cur/" + std::to_string(1000000000ull + position) + ".qd:2," + flags;
    WriteFile(path, "Subject: " + subject + "\nMessage-ID: <" + std::to_string(position) + "." +
                        account + "." + folder + "@test>\nFrom: a@example.org\n\n" + body);
    const timespec times[2] = {{date, 0}, {date, 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        throw std::system_error(errno, std::generic_category(), path);
    if (m_pid > 0) {  // running: the mail user must own it, as Start() made the rest
        const passwd* pw = ::geteuid() == 0 ? ::getpwnam("nobody") : ::getpwuid(::geteuid());
        for (const std::string& made : {dir, dir + "/cur", dir + "/new", dir + "/tmp", path})
            ::chown(made.c_str(), pw->pw_uid, pw->pw_gid);
    }
}

std::string Dovecot::MessagePath(const std::string& account, unsigned position,
                                 const std::string& folder) const {
    const std::string prefix = std::to_string(1000000000ull + position) + ".qd";
    for (const auto& file :
         std::filesystem::directory_iterator(FolderPath(account, folder) + "/cur"))
        if (file.path().filename().string().rfind(prefix, 0) == 0)
            return file.path();
    return "";
}

void Dovecot::RemoveMessage(const std::string& account, unsigned position,
                            const std::string& folder) {
    if (const std::string path = MessagePath(account, position, folder); !path.empty())
        std::filesystem::remove(path);
}

std::string Dovecot::MessageFile(const std::string& account, unsigned position,
                                 const std::string& folder) const {
    const std::string path = MessagePath(account, position, folder);
    return path.empty() ? "" : ReadFile(path);
}

std::string Dovecot::Start() {
    const std::string& d = m_folder.Path();
    // Dovecot runs no mail process as root: then nobody, who needs into the folder.
    const passwd* pw = ::geteuid() == 0 ? ::getpwnam("nobody") : ::getpwuid(::geteuid());
    const std::string user = pw->pw_name, uid = std::to_string(pw->pw_uid);
    WriteFile(d + "/users", m_users);
    ::chmod(d.c_str(), 0755);
    for (const auto& e : std::filesystem::recursive_directory_iterator(d))
        ::chown(e.path().c_str(), pw->pw_uid, pw->pw_gid);
    // Helpers that outlive the master become our children, for Stop() to reap.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    const auto began = std::chrono::steady_clock::now();
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = 10000 + std::random_device()() % 20000;  // below the ephemeral ports
        WriteFile(d + "/dovecot.conf",
                  "base_dir = " + d + "/run\nstate_dir = " + d + "/state\nlog_path = " + d +
                      "/log\nprotocols = imap\nlisten = " + Address() + "\n" +
                      (m_tls.empty() ? "ssl = no\ndisable_plaintext_auth = no\n" : m_tls) +
                      "auth_failure_delay = 0\nmail_fsync = never\n"
                      "login_greeting = Dovecot at " +
                      d + "\nmail_location = maildir:" + d + "/%u.mail\nfirst_valid_uid = " + uid +
                      "\ndefault_internal_user = " + user + "\ndefault_login_user = " + user +
                      "\ndefault_internal_group = " + ::getgrgid(pw->pw_gid)->gr_name + "\n" +
                      (m_specialUse ? "namespace inbox {\n  inbox = yes\n"
                                      "  mailbox Trash {\n    special_use = \\Trash\n  }\n"
                                      "  mailbox Junk {\n    special_use = \\Junk\n  }\n"
                                      "  mailbox Sent {\n    special_use = \\Sent\n  }\n}\n"
                                    : "") +
                      m_oauth2 + "passdb {\n  driver = passwd-file\n  args = " + d + "/users\n" +
                      (m_oauth2.empty() ? "" : "  mechanisms = plain login\n") + "}\n" +
                      "userdb {\n  driver = static\n  args = uid=" + uid +
                      " gid=" + std::to_string(pw->pw_gid) + "\n}\n" +
                      // Else one refused login makes anvil hold back the next by seconds.
                      "service anvil {\n  chroot =\n  unix_listener anvil-auth-penalty {\n"
                      "    mode = 0\n  }\n}\nservice imap-login {\n  chroot =\n"
                      "  inet_listener imaps {\n    port = " +
                      std::to_string(TlsPort()) +
                      "\n  }\n  inet_listener imap {\n"
                      "    port = " +
                      std::to_string(m_port) + "\n  }\n}\n");
        const std::string conf = d + "/dovecot.conf", log = d + "/log";
        const char* env[] = {"TZ=UTC", nullptr};  // SEARCH BEFORE uses the server's zone
        if ((m_pid = ::fork()) == 0) {
            ::setpgid(0, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // gone with the test, even a killed one
            ::dup2(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), 1);
            ::dup2(1, 2);
            ::close_range(3, ~0u, 0);
            ::execle("/usr/sbin/dovecot", "/usr/sbin/dovecot", "-F", "-c", conf.c_str(), nullptr,
                     env);
            ::_exit(127);
        }
        ::setpgid(m_pid, m_pid);
        const auto end = std::chrono::steady_clock::now() + 10s;
        std::string greeting;
        while (::waitpid(m_pid, nullptr, WNOHANG) == 0 && std::chrono::steady_clock::now() < end &&
               (greeting = Greeting(Address(), m_port)).empty())
            std::this_thread::sleep_for(10ms);  // not listening yet
        if (greeting.find("Dovecot at " + d) != std::string::npos) {
            const auto ms = (std::chrono::steady_clock::now() - began) / 1ms;
            std::fprintf(stderr, "dovecot: started on %s:%u in %d ms\n", Address().c_str(), m_port,
                         int(ms));
            return "";
        }
        Stop();
        // Retried when another process has the port: it answered, or Dovecot could not bind.
        if (greeting.empty() && ReadFile(log).find("in use") == std::string::npos)
            break;
    }
    return "dovecot did not greet on " + Address() + ":" + std::to_string(m_port) + "\n" +
           ReadFile(d + "/log");
}

void Dovecot::Stop() {
    if (m_pid <= 0)
        return;
    ::kill(-m_pid, SIGTERM);
    // Until no member of the group is left (ECHILD); the log process lingers a little.
    const auto end = std::chrono::steady_clock::now() + 5s;
    for (; ::waitpid(-m_pid, nullptr, WNOHANG) >= 0; std::this_thread::sleep_for(5ms))
        if (std::chrono::steady_clock::now() > end)
            ::kill(-m_pid, SIGKILL);
    m_pid = -1;
}

namespace {
// The Maildirs under from (the accounts' "*.mail" folders) made again under to.
void CopyMail(const std::filesystem::path& from, const std::filesystem::path& to) {
    namespace fs = std::filesystem;
    for (const auto& account : fs::directory_iterator(from)) {
        const std::string name = account.path().filename();
        if (name.size() < 5 || name.compare(name.size() - 5, 5, ".mail") != 0)
            continue;
        fs::remove_all(to / name);
        fs::create_directories(to / name);
        for (auto it = fs::recursive_directory_iterator(account.path());
             it != fs::recursive_directory_iterator(); ++it) {
            const fs::path target = to / name / fs::relative(it->path(), account.path());
            const std::string parent = it->path().parent_path().filename();
            if (it->is_directory())
                fs::create_directories(target);
            else if (parent == "cur" || parent == "new")
                fs::create_hard_link(it->path(), target);
            else  // the index, which Dovecot writes in place
                fs::copy_file(it->path(), target);
        }
    }
}
}  // namespace

void Dovecot::SaveMail() {
    std::filesystem::create_directories(m_folder.File("saved"));
    CopyMail(m_folder.Path(), m_folder.File("saved"));
}

void Dovecot::RestoreMail() {
    CopyMail(m_folder.File("saved"), m_folder.Path());
}

std::vector<std::string> Dovecot::Subjects(const std::string& account,
                                           const std::string& folder) const {
    // Mail is written to cur/ (mail moved in lands in new/ or cur/); Dovecot
    // changes only the flags after a file's ','. A file it renamed while we
    // read is read anew, with all the others.
    for (;;) {
        std::set<std::filesystem::directory_entry> files;
        for (const char* sub : {"/cur", "/new"})
            if (std::filesystem::exists(FolderPath(account, folder) + sub))
                for (const auto& file :
                     std::filesystem::directory_iterator(FolderPath(account, folder) + sub))
                    files.insert(file);
        std::vector<std::string> subjects;
        for (const auto& file : files) {
            const std::string text = ReadFile(file.path());  // "Subject: " comes first
            if (text.size() < 9)
                break;
            const std::string name = file.path().filename();
            const size_t info = name.find(":2,");
            const std::string flags = info == std::string::npos ? "" : name.substr(info + 3);
            // Mail put back by APPEND keeps its CR LF.
            std::string subject = text.substr(9, text.find('\n') - 9);
            if (!subject.empty() && subject.back() == '\r')
                subject.pop_back();
            subjects.push_back(subject + (flags.empty() ? "" : ":" + flags));
        }
        if (subjects.size() == files.size())
            return subjects;
    }
}
