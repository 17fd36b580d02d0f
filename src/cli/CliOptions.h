// The command line of quendravalt-cli.
#pragma once

#include <string>
#include <vector>

inline constexpr const char* kCliUsage =
    "usage: quendravalt-cli (--list | --user ACCOUNT) (--before YYYY-MM-DD | --older-than DAYS)\n"
    "                       [-n|--dry-run] [-p|--parallel K] [--pause MS] [--data DIR]\n"
    "                       [--report FILE.csv] [-q|--quiet] [--force]\n"
    "                       [--manifest FILE | --no-manifest] [--archive DIR] [--rules FILE]\n"
    "                       [--folder F]... [--spare-flagged] [--spare-unread] [--to-trash]\n"
    "       quendravalt-cli --execute PLAN.csv [--user ACCOUNT] [--manifest FILE] [--archive DIR]\n"
    "       quendravalt-cli --restore MANIFEST.csv [--user ACCOUNT]\n"
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
    // The records: where the manifest goes ("" the audit folder), none at all,
    // the copies before deletion.
    std::string manifest;
    bool noManifest = false;
    std::string archive;
    // Another kind of run: delete exactly a plan, or put a manifest's copies back.
    std::string execute;
    std::string restore;
    // Rules: their file ("" the data folder's), folders for this run instead
    // of the rules' folder lines, and what every account spares or does.
    std::string rules;
    std::vector<std::string> folders;
    bool spareFlagged = false;
    bool spareUnread = false;
    bool toTrash = false;
};

// Reads args (without the program name) into options; "" or what is wrong.
// GNU style: --name VALUE or --name=VALUE, -p VALUE or -pVALUE, letters of
// options without a value bundled (-nq), and "--" ending the options.
std::string ParseCliOptions(const std::vector<std::string>& args, CCliOptions& options);

// The options part of --help: one line per option, from the same table.
std::string CliOptionHelp();
