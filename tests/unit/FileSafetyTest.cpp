// Files that hold secrets or steer a run: how they are made, what is refused
// when others may change them, and what a server or an account name can't
// smuggle into the files an administrator opens.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <filesystem>
#include <mutex>

#include "imap/Transcript.h"
#include "platform/DataFolder.h"
#include "platform/HttpsPost.h"
#include "platform/RunLock.h"
#include "run/AccessToken.h"
#include "run/RunReport.h"
#include "settings/GoogleKey.h"
#include "settings/RunFiles.h"
#include "settings/Settings.h"
#include "support/Harness.h"

namespace {
// Every open(2) that may create a file under g_watched, as the program asked for it.
struct Creation {
    std::string path;
    int flags;
    mode_t mode;
};
std::mutex g_mutex;
std::string g_watched;
std::vector<Creation> g_creations;

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}
}  // namespace

// Seen before libc's: the program's own calls come here first.
extern "C" int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    static const auto real =
        reinterpret_cast<int (*)(const char*, int, ...)>(::dlsym(RTLD_NEXT, "open"));
    if (flags & O_CREAT) {
        std::lock_guard lock(g_mutex);
        if (!g_watched.empty() && std::string(path).rfind(g_watched, 0) == 0)
            g_creations.push_back({path, flags, mode});
    }
    return real(path, flags, mode);
}

// Under a umask that lets anything through, no file is ever open to others
// for a moment (it is created so), none is made through a link, and links
// planted where the report and the log go are replaced or refused, never followed.
TEST(FileSafety, EveryFileIsMadeForItsOwnerAndNeverThroughALink) {
    TempFolder dir;
    const std::string folder = dir.File("data"), victim = dir.File("victim");
    WriteFile(victim, "kept");
    const mode_t umask = ::umask(0);
    {
        std::lock_guard lock(g_mutex);
        g_watched = folder;
    }
    CSettings settings;
    settings.m_oauth.m_strClientSecret = "s3cret";
    ASSERT_TRUE(SaveSettings(folder, settings));
    ASSERT_TRUE(RememberTls(folder, "h:143"));
    ::symlink(victim.c_str(), (folder + "/r.csv").c_str());
    ASSERT_TRUE(WriteReportFile(folder + "/r.csv", CRunReport()));
    CTranscript log(DataFilePath(folder, kLogFileName));
    log.StartNew();
    log.Append("line");
    CRunLock lock;
    EXPECT_EQ(lock.Acquire(folder, "test"), "");
    CTranscript linked(folder + "/linked.txt");
    ::symlink(victim.c_str(), linked.Path().c_str());
    linked.Append("through the link");
    ::umask(umask);
    {
        std::lock_guard hold(g_mutex);
        g_watched.clear();
    }
    EXPECT_EQ(ModeOf(folder), 0700u);
    const std::pair<const char*, mode_t> files[] = {
        {kConfigFileName, 0600}, {kOAuthFileName, 0600}, {kKnownServersFileName, 0600},
        {"r.csv", 0644},         {kLogFileName, 0600},   {kRunLockFileName, 0600}};
    for (const auto& [name, mode] : files) {
        const std::string path = DataFilePath(folder, name);
        EXPECT_EQ(ModeOf(path), mode) << name;
        const auto made = std::find_if(g_creations.begin(), g_creations.end(), [&](auto& c) {
            return c.path.rfind(path, 0) == 0 && (c.flags & O_NOFOLLOW);
        });
        EXPECT_NE(made, g_creations.end()) << name << " was not made without following links";
    }
    for (const Creation& c : g_creations) {
        SCOPED_TRACE(c.path);
        EXPECT_TRUE(c.flags & O_NOFOLLOW);
        EXPECT_EQ(c.mode & (c.path.find("r.csv") != std::string::npos ? 033 : 077), 0u);
        if (c.path.find(".tmp") != std::string::npos) {
            EXPECT_TRUE(c.flags & O_EXCL);  // a name planted in its way is no file of ours
        }
    }
    EXPECT_EQ(ReadFile(victim), "kept");
    EXPECT_EQ(std::filesystem::directory_iterator(folder)->path().string().find(".tmp"),
              std::string::npos);
}

// Whoever may change a file that steers the run could point it at a server of
// their own: no run then. A user list others may read is only a warning.
TEST(FileSafety, ARunRefusesFilesOthersMayChangeAndWarnsOfAListOthersMayRead) {
    struct Row {
        const char* name;  // "" the folder itself
        mode_t mode;
        bool foreign;       // owned by another user (needs root to set up)
        const char* error;  // "" none
        const char* warning;
    } rows[] = {
        {"", 0700, false, "", ""},
        {"", 0770, false, "run chmod go-w", ""},
        {kConfigFileName, 0664, false, "run chmod go-w", ""},
        {kKnownServersFileName, 0602, false, "run chmod go-w", ""},
        {kUserListFileName, 0644, false, "", "run chmod 600"},
        {kConfigFileName, 0600, true, "run chown ", ""},
        {kGoogleKeyFileName, 0620, false, "run chmod go-w", ""},
        {kRulesFileName, 0666, false, "run chmod go-w", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.mode));
        if (row.foreign && ::geteuid() != 0)
            continue;
        TempFolder dir;
        for (const char* name : {kConfigFileName, kKnownServersFileName, kUserListFileName,
                                 kGoogleKeyFileName, kRulesFileName}) {
            WriteFile(dir.File(name), "x");
            ::chmod(dir.File(name).c_str(), 0600);
        }
        ::chmod(dir.Path().c_str(), 0700);
        const std::string path = *row.name ? dir.File(row.name) : dir.Path();
        ::chmod(path.c_str(), row.mode);
        if (row.foreign) {
            ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        }
        const CRunFilesCheck check =
            CheckRunFiles(dir.Path(), true, false, dir.File(kGoogleKeyFileName));
        const std::string error = check.errors.empty() ? "" : check.errors[0];
        EXPECT_EQ(error.empty(), *row.error == '\0') << error;
        EXPECT_NE(error.find(row.error), std::string::npos) << error;
        EXPECT_NE(error.find(path), *row.error ? std::string::npos : 0) << error;
        EXPECT_EQ(!check.warnings.empty(), *row.warning != '\0');
    }
}

// A cell that begins like a formula is written with a leading ' and read back
// without it; a server's escape sequences reach the log as text, and beyond
// its cap an account's server text is only counted.
TEST(FileSafety, ReportCellsAndServerTextReachTheirFilesAsText) {
    CRunReport report;
    const std::vector<std::string> accounts = {
        "=HYPERLINK(\"x\")", "+1", "-2", "@a", "\tt", "'=kept"};
    for (const std::string& account : accounts) {
        CReportRow row;
        row.account = account;
        report.rows.push_back(row);
    }
    const std::string csv = FormatReport(report);
    for (const char* line :
         {"\"'=HYPERLINK(\"\"x\"\")\"", "\n'+1,", "\n'-2,", "\n'@a,", "\n'\tt,", "\n''=kept,"})
        EXPECT_NE(csv.find(line), std::string::npos) << line;
    CRunReport back;
    ASSERT_EQ(ParseReport(csv, back), "");
    for (size_t i = 0; i < accounts.size(); ++i)
        EXPECT_EQ(back.rows[i].account, accounts[i]);

    TempFolder dir;
    CTranscript log(dir.File("log"));
    log.BeginAccount();
    log.AppendServerText("* OK \x1b]0;owned\x07 \x7f\r\n");
    log.AppendServerText(std::string(CTranscript::kServerTextCap - 10, 'x'));
    log.AppendServerText("0123456789tail");
    log.EndAccount();
    const std::string text = ReadFile(dir.File("log"));
    EXPECT_EQ(text.rfind("* OK \\x1B]0;owned\\x07 \\x7F\r\r\nxxx", 0), 0u);
    const std::string end = "x\r\n[23 more bytes from the server were not logged]\r\n";
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
}

// Whatever a token endpoint echoes, the client secret goes no further: as it
// is or as the form encoded it, wherever the reason would be cut.
TEST(FileSafety, ATokenEndpointsReplyNeverCarriesTheSecret) {
    const std::string secret = "p@ss w0rd", encoded = "p%40ss%20w0rd";
    const std::string bodies[] = {
        R"({"error":"invalid_client","error_description":")" + std::string(255, '.') + secret +
            "\"}",
        R"({"error":"invalid_request","error_description":"client_secret=)" + encoded + "\"}",
    };
    for (const std::string& body : bodies) {
        CHttpsResult reply;
        reply.status = 401;
        reply.body = body;
        std::string token;
        long lifetime = 0;
        const std::string reason = CAccessToken::ReadReply(reply, secret, &token, &lifetime);
        EXPECT_NE(reason.find("****"), std::string::npos) << reason;
        for (const std::string& part :
             {std::string("p@ss"), std::string("p%40ss"), std::string("w0rd")})
            EXPECT_EQ(reason.find(part), std::string::npos) << reason;
    }
}
