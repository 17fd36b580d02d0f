// quendravalt-cli: the deletion run without a window, for cron and systemd
// timers. Exit status: 0 every account done, 1 an account failed, 2 a usage
// or configuration error (nothing contacted), 75 another run is using the
// data folder, 130 stopped by SIGINT or SIGTERM.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <wx/datetime.h>
#include <wx/evtloop.h>
#include <wx/init.h>

#include "cli/CliHost.h"
#include "cli/CliOptions.h"
#include "cli/Console.h"
#include "imap/Transcript.h"
#include "platform/DataFolder.h"
#include "platform/FileSystem.h"
#include "platform/RunLock.h"
#include "run/CutoffDate.h"
#include "run/RunReport.h"
#include "run/RunSequencer.h"
#include "settings/GoogleKey.h"
#include "settings/RunFiles.h"
#include "settings/Settings.h"
#include "settings/UserList.h"

#ifndef QD_VERSION
#define QD_VERSION "unknown"
#endif

namespace {

constexpr int kUsageError = 2;
#ifdef _WIN32
constexpr const char* kSeeAlso = "";  // no man pages there
#else
constexpr const char* kSeeAlso = "See quendravalt-cli(1).\n";
#endif
constexpr int kFolderBusy = 75;  // EX_TEMPFAIL: another run has the data folder
constexpr int kStopped = 130;
// How long a stop may wait for the accounts in progress to take their flags back.
constexpr auto kStopGrace = std::chrono::seconds(20);

// Counted by a signal handler, or on Windows by the console's handler thread.
std::atomic<int> g_signals{0};
static_assert(std::atomic<int>::is_always_lock_free, "safe in a signal handler");

void OnSignal(int) {
    ++g_signals;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "quendravalt-cli: %s\n", message.c_str());
    return kUsageError;
}

// QUENDRAVALT_PASSWORD, else the first line of standard input (not echoed on
// a terminal); false when there is none.
bool ReadPassword(std::string& password) {
    if (const char* env = std::getenv("QUENDRAVALT_PASSWORD")) {
        password = env;
        return !password.empty();
    }
    const bool terminal = StdinIsTerminal();
    bool read = false;
    if (terminal) {
        std::fprintf(stderr, "Password: ");
        CEchoOff quiet;
        read = static_cast<bool>(std::getline(std::cin, password));
    } else {
        read = static_cast<bool>(std::getline(std::cin, password));
    }
    if (terminal)
        std::fprintf(stderr, "\n");
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return read && !password.empty();
}

wxDateTime CutoffDay(const CCliOptions& options) {
    if (options.olderThan >= 0)
        return wxDateTime::Today() - wxDateSpan::Days(options.olderThan);
    return wxDateTime(static_cast<wxDateTime::wxDateTime_t>(options.day),
                      static_cast<wxDateTime::Month>(options.month - 1), options.year);
}

// What the run is about to hit, before anything is contacted: a wrong --data
// folder or day shows here, not in the mailboxes.
std::string TargetLine(const CCliOptions& options, const CSettings& settings,
                       const std::string& cutoff, size_t accounts) {
    const std::string whom = options.list ? std::to_string(accounts) +
                                                (accounts == 1 ? " account" : " accounts")
                                          : options.user;
    std::string line = std::string(options.dryRun ? "Dry run (nothing is deleted): mail"
                                                  : "Deleting mail") +
                       " received before " + cutoff + " from INBOX of " + whom + " on " +
                       settings.Server() + " (" + SecurityModeName(settings.m_security) + ")";
    if (options.list)
        line += ", " + std::to_string(settings.m_nParallel) + " at a time";
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    CCliOptions options;
    if (const std::string error =
            ParseCliOptions(std::vector<std::string>(argv + 1, argv + argc), options);
        !error.empty()) {
        Fail(error);
        std::fputs(kCliUsage, stderr);
        return kUsageError;
    }
    if (options.help) {
        std::printf(
            "%s\nDeletes the INBOX messages dated before the cut-off day from one account or\n"
            "from every account of the user list, with the configuration of the data\n"
            "folder (default %s).\n\nOptions:\n%s\n"
            "For --user the password is read from the environment variable\n"
            "QUENDRAVALT_PASSWORD, else from the first line of standard input.\n"
            "One line per account on standard output: account, found, deleted, result,\n"
            "separated by tabs; then a summary line.\n"
            "Exit status: 0 all done, 1 an account failed, 2 usage or configuration\n"
            "error (nothing contacted), 75 another run is using the data folder,\n"
            "130 stopped by SIGINT or SIGTERM.\n%s",
            kCliUsage, DefaultDataFolder().c_str(), CliOptionHelp().c_str(), kSeeAlso);
        return 0;
    }
    if (options.version) {
        std::printf("quendravalt-cli %s\n", QD_VERSION);
        return 0;
    }
    // The process holds passwords and tokens: no core file may keep them.
    DisableCoreDumps();
    wxInitializer wx;
    if (!wx.IsOk())
        return Fail("the console library could not start");

    const std::string folder =
        options.dataFolder.empty() ? DefaultDataFolder() : options.dataFolder;
    const std::string configPath = DataFilePath(folder, kConfigFileName);
    CSettings settings;
    switch (LoadSettings(folder, settings)) {
        case ConfigLoad::Missing:
            return Fail("there is no configuration file " + configPath);
        case ConfigLoad::Unreadable:
            return Fail("the configuration file " + configPath + " cannot be read");
        case ConfigLoad::NotOurs:
            return Fail("the configuration file " + configPath + " is not one of this program");
        case ConfigLoad::Invalid:
        case ConfigLoad::Loaded:
            break;
    }
    if (const std::string problem = ConfigurationProblem(settings); !problem.empty())
        return Fail(problem);
    const bool token = TokenSignIn(settings.m_auth);
    const bool google = settings.m_auth == AuthMode::Google;
    if (const char* key = std::getenv("QUENDRAVALT_GOOGLE_KEY"); google && key && *key)
        settings.m_strGoogleKeyFile = key;
    const CRunFilesCheck files =
        CheckRunFiles(folder, options.list, token, google ? settings.m_strGoogleKeyFile : "");
    for (const std::string& warning : files.warnings)
        std::fprintf(stderr, "quendravalt-cli: warning: %s\n", warning.c_str());
    if (!files.errors.empty())
        return Fail(files.errors.front());
    if (!settings.m_strNotice.empty())
        std::fprintf(stderr, "quendravalt-cli: %s\n", settings.m_strNotice.c_str());
    if (options.pauseMs > 0)
        settings.m_nPauseMs = options.pauseMs;
    if (options.parallel > 0)
        settings.m_nParallel = options.parallel;
    if (google) {
        // Read again by the run; here only so that a bad key exits 2 before anything is contacted.
        CGoogleKey key;
        const std::string problem = settings.m_strOAuthProblem.empty()
                                        ? LoadGoogleKey(settings.m_strGoogleKeyFile, key)
                                        : settings.m_strOAuthProblem;
        if (!problem.empty())
            return Fail(problem);
    } else if (token) {
        // A scheduler's secret store may hold the secret instead of the file.
        if (const char* secret = std::getenv("QUENDRAVALT_CLIENT_SECRET"); secret && *secret)
            settings.m_oauth.m_strClientSecret = secret;
        const std::string problem = settings.m_strOAuthProblem.empty()
                                        ? OAuthIncomplete(settings.m_oauth)
                                        : settings.m_strOAuthProblem;
        if (!problem.empty())
            return Fail(problem);
    }

    const wxDateTime day = CutoffDay(options);
    if (!day.IsEarlierThan(wxDateTime::Today()) && !options.force)
        return Fail("the cut-off day " + day.FormatISODate().ToStdString() +
                    " is today or later: every message would go; give --force if that is meant");
    CUserList users;
    std::string password;
    if (options.list) {
        const std::string listPath = DataFilePath(folder, kUserListFileName);
        if (!InspectFile(listPath).exists)
            return Fail("there is no user list " + listPath);
        LoadUserList(folder, users, token);
        if (users.m_arrAccounts.empty() && users.m_arrSkippedLines.empty())
            return Fail("the user list " + listPath + " holds no account");
    } else if (!token && !ReadPassword(password)) {
        return Fail(
            "no password: set QUENDRAVALT_PASSWORD or give it on the first line of "
            "standard input");
    }
    if (!options.report.empty() && !FolderWritable(options.report))
        return Fail("the report " + options.report + " cannot be written there");
    const std::string cutoff = FormatCutoffDate(day);
    CRunLock lock;
    if (const std::string busy = lock.Acquire(folder, "quendravalt-cli"); !busy.empty()) {
        std::fprintf(stderr, "quendravalt-cli: %s\n", busy.c_str());
        return kFolderBusy;
    }
    if (!options.quiet)
        std::fprintf(stderr, "%s\n",
                     TargetLine(options, settings, cutoff, users.m_arrAccounts.size()).c_str());

    std::FILE* progress = !options.quiet && StderrIsTerminal() ? stderr : nullptr;
    CTranscript transcript(DataFilePath(folder, kLogFileName));
    CCliHost host(stdout, progress);
    CRunSequencer run(host, transcript, settings, users);
    host.Attach(run);

    CatchStopSignals(OnSignal);

    wxEventLoop loop;
    wxEventLoopBase::SetActive(&loop);
    CRunReport report = NewReport(cutoff, options.dryRun);
    if (options.list)
        run.StartListRun(cutoff, options.dryRun);
    else
        run.StartSingleRun(options.user, password, cutoff, options.dryRun);

    int stopSignals = 0;
    auto stopDeadline = std::chrono::steady_clock::time_point::max();
    while (run.IsRunning()) {
        loop.DispatchTimeout(100);
        if (g_signals > stopSignals) {
            if (stopSignals == 0) {
                std::fprintf(stderr,
                             "\nquendravalt-cli: stopping: the accounts in progress take "
                             "back their flags and log out\n");
                stopDeadline = std::chrono::steady_clock::now() + kStopGrace;
                run.Stop({});
            }
            stopSignals = g_signals;
        }
        if (run.IsRunning() &&
            (stopSignals > 1 || std::chrono::steady_clock::now() >= stopDeadline)) {
            std::fprintf(stderr,
                         "quendravalt-cli: stopped before the accounts in progress "
                         "were done: deleted flags may remain\n");
            return kStopped;
        }
    }

    if (!run.RunFailure().empty()) {
        std::fprintf(stderr, "quendravalt-cli: no access token: %s\n", run.RunFailure().c_str());
        return 1;
    }
    size_t failed = 0, messages = 0;
    for (const CAccountResult& result : run.m_results) {
        failed += result.Failed();
        if (result.failure.empty())
            messages += options.dryRun ? result.found : result.deleted;
    }
    std::printf("%zu accounts, %zu failed, %zu messages %s\n", run.m_results.size(), failed,
                messages, options.dryRun ? "would be deleted (dry run)" : "deleted");
    int status = stopSignals > 0 ? kStopped : failed > 0 ? 1 : 0;
    if (!options.report.empty()) {
        for (const CAccountResult& result : run.m_results)
            report.rows.push_back(ReportRow(result, options.dryRun));
        if (!WriteReportFile(options.report, report)) {
            std::fprintf(stderr, "quendravalt-cli: the report %s could not be written\n",
                         options.report.c_str());
            status = status == 0 ? 1 : status;
        }
    }
    return status;
}
