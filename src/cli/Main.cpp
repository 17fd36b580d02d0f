// quendravalt-cli: the deletion run without a window, for cron and systemd
// timers. Exit status: 0 every account done, 1 an account failed, 2 a usage
// or configuration error (nothing contacted), 75 another run is using the
// data folder, 130 stopped by SIGINT or SIGTERM.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <wx/init.h>

#include "cli/CliCommands.h"
#include "cli/CliOptions.h"
#include "cli/Console.h"
#include "platform/DataFolder.h"
#include "settings/GoogleKey.h"
#include "settings/RunFiles.h"
#include "settings/Settings.h"

#ifndef QD_VERSION
#define QD_VERSION "unknown"
#endif

namespace {
#ifdef _WIN32
constexpr const char* kSeeAlso = "";  // no man pages there
#else
constexpr const char* kSeeAlso = "See quendravalt-cli(1).\n";
#endif
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
            "%s\nDeletes the INBOX messages dated before the cut-off day (or those of the\n"
            "folders the rules name) from one account or from every account of the user\n"
            "list, with the configuration of the data folder (default %s).\n\nOptions:\n%s\n"
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
    const CRunFilesCheck files = CheckRunFiles(
        folder, options.list, token, google ? settings.m_strGoogleKeyFile : "", options.rules);
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

    return options.restore.empty() ? RunDeletion(options, settings, folder, token)
                                   : RunRestore(options, settings, folder, token);
}
