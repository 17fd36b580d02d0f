#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <wx/datetime.h>
#include <wx/evtloop.h>

#include "cli/CliCommands.h"
#include "cli/CliHost.h"
#include "cli/Console.h"
#include "imap/Transcript.h"
#include "platform/DataFolder.h"
#include "platform/FileSystem.h"
#include "platform/RunLock.h"
#include "run/CutoffDate.h"
#include "run/ManifestPath.h"
#include "run/Plan.h"
#include "run/RunReport.h"
#include "run/RunSequencer.h"
#include "settings/Settings.h"
#include "settings/UserList.h"

namespace {
// How long a stop may wait for the accounts in progress to take their flags back.
constexpr auto kStopGrace = std::chrono::seconds(20);

// Counted by a signal handler, or on Windows by the console's handler thread.
std::atomic<int> g_signals{0};
static_assert(std::atomic<int>::is_always_lock_free, "safe in a signal handler");

void OnSignal(int) {
    ++g_signals;
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
                       const std::string& cutoff, size_t accounts, const CRunOptions& run) {
    const std::string whom =
        options.list || run.plan
            ? std::to_string(accounts) + (accounts == 1 ? " account" : " accounts")
            : options.user;
    const std::string where =
        " on " + settings.Server() + " (" + SecurityModeName(settings.m_security) + ")" +
        (options.list || run.plan ? ", " + std::to_string(settings.m_nParallel) + " at a time"
                                  : "");
    if (run.plan)
        return "Deleting exactly the " + std::to_string(run.plan->messages) +
               " messages the plan " + options.execute + " lists, of " + whom + where;
    // The folders of [all]: INBOX unless the rules say otherwise.
    std::string folders;
    for (const CFolderRule& rule : run.rules.For("").folders)
        folders += (folders.empty() ? "" : ", ") +
                   (rule.name.empty() ? rule.specialUse : rule.name) +
                   (rule.olderThanDays >= 0
                        ? " (older than " + std::to_string(rule.olderThanDays) + " days)"
                        : "");
    return std::string(options.dryRun ? "Dry run (nothing is deleted): mail" : "Deleting mail") +
           " received before " + cutoff + " from " + folders + " of " + whom + where +
           (run.rules.For("").action == RuleAction::Trash ? ", moved to Trash" : "");
}

// The manifest's place: as given, none when the options or the settings say
// so, or the data folder's audit/ named by the run's start.
std::string ManifestPath(const CCliOptions& options, const CSettings& settings,
                         const std::string& folder) {
    if (!options.manifest.empty())
        return options.manifest;
    if (options.noManifest || !settings.m_bManifest)
        return "";
    return DefaultManifestPath(folder, std::time(nullptr));
}

// One run at a time per data folder: false, said on standard error, when
// another holds it.
bool LockFolder(CRunLock& lock, const std::string& folder) {
    const std::string busy = lock.Acquire(folder, "quendravalt-cli");
    if (!busy.empty())
        std::fprintf(stderr, "quendravalt-cli: %s\n", busy.c_str());
    return busy.empty();
}

// The rules for this run: the file's (or none), then what the command line says.
std::string RunRules(const CCliOptions& options, const std::string& folder, CRules& rules) {
    const std::string path =
        options.rules.empty() ? DataFilePath(folder, kRulesFileName) : options.rules;
    if (!options.rules.empty() && !InspectFile(path).exists)
        return "there is no rules file " + path;
    if (const std::string problem = LoadRules(path, rules); !problem.empty())
        return problem;
    if (!options.folders.empty()) {
        rules.all.folders.clear();
        for (auto& [account, set] : rules.accounts)
            set.folders.clear();
        for (const std::string& text : options.folders) {
            CFolderRule rule;
            if (const std::string problem = ParseFolderRule(text, rule); !problem.empty())
                return "--folder " + problem;
            rules.all.folders.push_back(rule);
        }
    }
    rules.all.spareFlagged = rules.all.spareFlagged || options.spareFlagged;
    rules.all.spareUnread = rules.all.spareUnread || options.spareUnread;
    if (options.toTrash)
        rules.all.action = RuleAction::Trash;
    return "";
}
}  // namespace

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

int DriveRun(CRunSequencer& run) {
    CatchStopSignals(OnSignal);
    wxEventLoop& loop = *static_cast<wxEventLoop*>(wxEventLoopBase::GetActive());
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
            return -kStopped;
        }
    }
    return stopSignals > 0 ? kStopped : 0;
}

int RunDeletion(const CCliOptions& options, CSettings& settings, const std::string& folder,
                bool token) {
    CRunOptions runOptions;
    CPlan plan;
    if (!options.execute.empty()) {
        if (const std::string problem = LoadPlan(options.execute, plan); !problem.empty())
            return Fail(problem);
        // A plan is for the server it was made on, and no other.
        if (plan.server != settings.Server())
            return Fail("the plan " + options.execute + " is for " + plan.server +
                        ", not for the configured server " + settings.Server());
        runOptions.plan = &plan;
    } else if (const std::string problem = RunRules(options, folder, runOptions.rules);
               !problem.empty()) {
        return Fail(problem);
    }
    runOptions.manifest = ManifestPath(options, settings, folder);
    runOptions.archive = options.archive.empty() ? settings.m_strArchiveFolder : options.archive;
    const wxDateTime day =
        options.execute.empty() ? CutoffDay(options) : wxDateTime::Today() - wxDateSpan::Day();
    if (!day.IsEarlierThan(wxDateTime::Today()) && !options.force)
        return Fail("the cut-off day " + day.FormatISODate().ToStdString() +
                    " is today or later: every message would go; give --force if that is meant");
    CUserList users;
    std::string password;
    const std::string listPath = DataFilePath(folder, kUserListFileName);
    if (options.list || (runOptions.plan && options.user.empty())) {
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
    if (runOptions.plan) {
        // The plan's accounts, in its order, with the list's passwords (or the
        // one account of --user with its own): never anything the plan lacks.
        CUserList planned;
        if (const std::string missing =
                PickAccounts(plan.accounts, users, options.user, password, planned);
            !missing.empty())
            return Fail("account " + missing + " of the plan is not in the user list " + listPath);
        if (planned.m_arrAccounts.empty())
            return Fail("the plan " + options.execute + " names no account " + options.user);
        users = std::move(planned);
    }
    if (!options.report.empty() && !FolderWritable(options.report))
        return Fail("the report " + options.report + " cannot be written there");
    const std::string cutoff = FormatCutoffDate(day);
    CRunLock lock;
    if (!LockFolder(lock, folder))
        return kFolderBusy;
    if (!options.quiet)
        std::fprintf(
            stderr, "%s\n",
            TargetLine(options, settings, cutoff, users.m_arrAccounts.size(), runOptions).c_str());

    std::FILE* progress = !options.quiet && StderrIsTerminal() ? stderr : nullptr;
    CTranscript transcript(DataFilePath(folder, kLogFileName));
    CCliHost host(stdout, progress);
    CRunSequencer run(host, transcript, settings, users);
    host.Attach(run);
    run.SetRunOptions(runOptions);

    wxEventLoop loop;
    wxEventLoopBase::SetActive(&loop);
    CRunReport report = NewReport(cutoff, options.dryRun, settings.Server());
    if (options.list || runOptions.plan)
        run.StartListRun(cutoff, options.dryRun);
    else
        run.StartSingleRun(options.user, password, cutoff, options.dryRun);
    const int stopped = DriveRun(run);
    if (stopped < 0)
        return kStopped;

    if (!run.RunFailure().empty()) {
        std::fprintf(stderr, "quendravalt-cli: %s\n", run.RunFailure().c_str());
        return 1;
    }
    size_t failed = 0, messages = 0, moved = 0;
    for (const CAccountResult& result : run.m_results) {
        failed += result.Failed();
        moved += result.moved;
        if (result.failure.empty())
            messages += options.dryRun ? result.found : result.deleted;
    }
    std::printf("%zu accounts, %zu failed, %zu messages %s%s\n", run.m_results.size(), failed,
                messages, options.dryRun ? "would be deleted (dry run)" : "deleted",
                moved ? (", " + std::to_string(moved) + " moved to Trash").c_str() : "");
    if (!runOptions.manifest.empty() && !options.quiet)
        std::fprintf(stderr, "quendravalt-cli: the record of the messages is %s\n",
                     runOptions.manifest.c_str());
    int status = stopped ? kStopped : failed > 0 ? 1 : 0;
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

int RunRestore(const CCliOptions& options, CSettings& settings, const std::string& folder,
               bool token) {
    CRestorePlan plan;
    if (const std::string problem = LoadRestore(options.restore, options.user, plan);
        !problem.empty())
        return Fail(problem);
    if (plan.server != settings.Server())
        return Fail("the manifest " + options.restore + " is for " + plan.server +
                    ", not for the configured server " + settings.Server());
    // The same password sources as a run: the list's, or --user's own.
    CUserList list, users;
    std::string password;
    const std::string listPath = DataFilePath(folder, kUserListFileName);
    if (!options.user.empty()) {
        if (!token && !ReadPassword(password))
            return Fail(
                "no password: set QUENDRAVALT_PASSWORD or give it on the first line of "
                "standard input");
    } else {
        if (!InspectFile(listPath).exists)
            return Fail("there is no user list " + listPath);
        LoadUserList(folder, list, token);
    }
    if (const std::string missing =
            PickAccounts(plan.accounts, list, options.user, password, users);
        !missing.empty())
        return Fail("account " + missing + " of the manifest is not in the user list " + listPath);
    CRunLock lock;
    if (!LockFolder(lock, folder))
        return kFolderBusy;
    if (!options.quiet)
        std::fprintf(
            stderr,
            "Putting back the %zu messages %s kept a copy of, into %zu accounts on %s (%s)\n",
            plan.messages, options.restore.c_str(), users.m_arrAccounts.size(),
            settings.Server().c_str(), SecurityModeName(settings.m_security));
    std::FILE* progress = !options.quiet && StderrIsTerminal() ? stderr : nullptr;
    CTranscript transcript(DataFilePath(folder, kLogFileName));
    CCliHost host(stdout, progress);
    CRunSequencer run(host, transcript, settings, users);
    host.Attach(run);
    CRunOptions runOptions;
    runOptions.restore = &plan;
    run.SetRunOptions(runOptions);
    wxEventLoop loop;
    wxEventLoopBase::SetActive(&loop);
    run.StartListRun(FormatCutoffDate(wxDateTime::Today()));
    const int stopped = DriveRun(run);
    if (stopped < 0)
        return kStopped;
    if (!run.RunFailure().empty()) {
        std::fprintf(stderr, "quendravalt-cli: %s\n", run.RunFailure().c_str());
        return 1;
    }
    size_t failed = 0, restored = 0;
    for (const CAccountResult& result : run.m_results) {
        failed += result.Failed() || result.notRestored > 0;
        restored += result.restored;
    }
    std::printf("%zu accounts, %zu failed, %zu messages restored\n", run.m_results.size(), failed,
                restored);
    return stopped ? kStopped : failed > 0 ? 1 : 0;
}
