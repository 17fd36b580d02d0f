// The command line of quendravalt-cli.
#pragma once

#include <string>
#include <vector>

inline constexpr const char* kCliUsage =
    "usage: quendravalt-cli (--list | --user ACCOUNT) (--before YYYY-MM-DD | --older-than DAYS)\n"
    "                       [-n|--dry-run] [-p|--parallel K] [--pause MS] [--data DIR]\n"
    "                       [--report FILE.csv] [-q|--quiet] [--force]\n"
    "       quendravalt-cli -h|--help | -V|--version\n";

struct CCliOptions {
    bool help = false;
    bool version = false;
    bool list = false;
    std::string user;  // --user: the one account
    // The cut-off: a day (--before) or a count of days back from today.
    int year = 0, month = 0, day = 0;
    int olderThan = -1;
    bool force = false;  // a day of today or later is meant
    bool dryRun = false;
    int parallel = 0;        // 0: as the configuration says
    int pauseMs = 0;         // 0: as the configuration says
    std::string dataFolder;  // "": the program's own
    std::string report;
    bool quiet = false;
};

// Reads args (without the program name) into options; "" or what is wrong.
// GNU style: --name VALUE or --name=VALUE, -p VALUE or -pVALUE, letters of
// options without a value bundled (-nq), and "--" ending the options.
std::string ParseCliOptions(const std::vector<std::string>& args, CCliOptions& options);

// The options part of --help: one line per option, from the same table.
std::string CliOptionHelp();
