#include "cli/CliOptions.h"

#include <algorithm>
#include <charconv>

#include "settings/Settings.h"

namespace {

// A whole decimal number within [low, high].
bool ParseNumber(const std::string& text, int low, int high, int& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && ptr == end && value >= low && value <= high;
}

bool ParseDay(const std::string& text, CCliOptions& options) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return false;
    int y, m, d;
    if (!ParseNumber(text.substr(0, 4), 1900, 9999, y) ||
        !ParseNumber(text.substr(5, 2), 1, 12, m) || !ParseNumber(text.substr(8, 2), 1, 31, d))
        return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (d > days[m - 1])
        return false;
    options.year = y;
    options.month = m;
    options.day = d;
    return true;
}

using Options = CCliOptions;
using Text = const std::string&;

// One option per row. apply stores the value and returns "" or what is wrong
// with it, worded to follow the option's name; it quotes the value only where
// a value can never be a secret.
struct CCliOption {
    const char* name;   // the long form, without "--"
    char letter;        // the short form, 0 for none
    const char* value;  // the value's name in the help; nullptr: the option takes none
    const char* help;
    std::string (*apply)(Options& options, Text value);
};

const CCliOption kOptions[] = {
    {"list", 0, nullptr, "every account of the user list",
     [](Options& o, Text) { return o.list = true, std::string(); }},
    {"user", 0, "ACCOUNT", "one account, its password from the environment or stdin",
     [](Options& o, Text v) {
         if (v.empty() || v.find_first_of("\r\n") != std::string::npos)
             return std::string("needs an account name");
         return o.user = v, std::string();
     }},
    {"before", 0, "YYYY-MM-DD", "delete the messages dated before this day",
     [](Options& o, Text v) {
         return ParseDay(v, o) ? "" : "takes a day as YYYY-MM-DD, not \"" + v + "\"";
     }},
    {"older-than", 0, "DAYS", "delete those dated before today minus DAYS",
     [](Options& o, Text v) {
         return ParseNumber(v, 0, 100000, o.olderThan)
                    ? ""
                    : "takes a number of days, not \"" + v + "\"";
     }},
    {"force", 0, nullptr, "take a cut-off day of today or later: every message goes",
     [](Options& o, Text) { return o.force = true, std::string(); }},
    {"dry-run", 'n', nullptr, "preview: search and report, flag and delete nothing",
     [](Options& o, Text) { return o.dryRun = true, std::string(); }},
    {"parallel", 'p', "K", "accounts in progress at once, 1 to 16",
     [](Options& o, Text v) {
         return ParseNumber(v, 1, kMaxParallel, o.parallel)
                    ? ""
                    : "takes 1 to " + std::to_string(kMaxParallel) + ", not \"" + v + "\"";
     }},
    {"pause", 0, "MS", "milliseconds between two steps, 100 to 30000",
     [](Options& o, Text v) {
         return ParseNumber(v, kMinPauseMs, kMaxPauseMs, o.pauseMs)
                    ? ""
                    : "takes " + std::to_string(kMinPauseMs) + " to " +
                          std::to_string(kMaxPauseMs) + " milliseconds, not \"" + v + "\"";
     }},
    {"data", 0, "DIR", "the data folder to use instead of the default",
     [](Options& o, Text v) {
         return v.empty() ? std::string("needs a folder") : (o.dataFolder = v, std::string());
     }},
    {"report", 0, "FILE.csv", "write the report of the run as CSV",
     [](Options& o, Text v) {
         return v.empty() ? std::string("needs a file name") : (o.report = v, std::string());
     }},
    {"manifest", 0, "FILE",
     "the record of every message to FILE (default: the data folder's audit/)",
     [](Options& o, Text v) {
         return v.empty() ? std::string("needs a file name") : (o.manifest = v, std::string());
     }},
    {"no-manifest", 0, nullptr, "keep no record of the messages (and fetch nothing for one)",
     [](Options& o, Text) { return o.noManifest = true, std::string(); }},
    {"archive", 0, "DIR", "keep a verified copy of each message in DIR before deleting it",
     [](Options& o, Text v) {
         return v.empty() ? std::string("needs a folder") : (o.archive = v, std::string());
     }},
    {"execute", 0, "PLAN.csv", "delete exactly the messages a dry run's manifest lists",
     [](Options& o, Text v) {
         return v.empty() ? std::string("needs a plan") : (o.execute = v, std::string());
     }},
    {"restore", 0, "MANIFEST.csv", "put the copied messages of a manifest back",
     [](Options& o, Text v) {
         return v.empty() ? std::string("needs a manifest") : (o.restore = v, std::string());
     }},
    {"rules", 0, "FILE", "the retention rules to use instead of the data folder's",
     [](Options& o, Text v) {
         return v.empty() ? std::string("needs a file name") : (o.rules = v, std::string());
     }},
    {"folder", 0, "F",
     "clean folder F (\\Trash, \"a name\" older-than 30 ...) instead of the rules'",
     [](Options& o, Text v) {
         return v.empty() ? std::string("needs a folder") : (o.folders.push_back(v), std::string());
     }},
    {"spare-flagged", 0, nullptr, "never delete mail flagged \\Flagged",
     [](Options& o, Text) { return o.spareFlagged = true, std::string(); }},
    {"spare-unread", 0, nullptr, "never delete mail not yet read",
     [](Options& o, Text) { return o.spareUnread = true, std::string(); }},
    {"to-trash", 0, nullptr, "move the mail to Trash instead of deleting it",
     [](Options& o, Text) { return o.toTrash = true, std::string(); }},
    {"quiet", 'q', nullptr, "no target line and no progress on standard error",
     [](Options& o, Text) { return o.quiet = true, std::string(); }},
    {"help", 'h', nullptr, "show this help and exit",
     [](Options& o, Text) { return o.help = true, std::string(); }},
    {"version", 'V', nullptr, "show the version and exit",
     [](Options& o, Text) { return o.version = true, std::string(); }},
};

const CCliOption* Find(const std::string& name, char letter) {
    for (const CCliOption& option : kOptions)
        if (letter ? option.letter == letter : name == option.name)
            return &option;
    return nullptr;
}

// The error for option as written (as), value applied: "" or the message.
std::string Apply(const CCliOption& option, const std::string& as, Text value, Options& options) {
    const std::string problem = option.apply(options, value);
    return problem.empty() ? "" : as + " " + problem;
}

}  // namespace

std::string ParseCliOptions(const std::vector<std::string>& args, CCliOptions& options) {
    options = CCliOptions();
    bool operands = false;  // after "--"
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // Neither an unknown option nor an operand is ever echoed: either may be
        // a password typed where it does not belong.
        const std::string position = "argument " + std::to_string(i + 1);
        if (arg == "--" && !operands) {
            operands = true;
            continue;
        }
        if (operands || arg.size() < 2 || arg[0] != '-')
            return position +
                   " is no option; a password is read from QUENDRAVALT_PASSWORD or standard "
                   "input, never from the command line";
        std::string error;
        if (arg[1] == '-') {
            const size_t equals = arg.find('=');
            const CCliOption* option = Find(arg.substr(2, equals - 2), 0);
            if (!option)
                return position + " is an unknown option";
            const std::string as = "--" + std::string(option->name);
            if (!option->value && equals != std::string::npos)
                return as + " takes no value";
            if (option->value && equals == std::string::npos && i + 1 == args.size())
                return as + " needs a value";
            const std::string value = !option->value                ? ""
                                      : equals != std::string::npos ? arg.substr(equals + 1)
                                                                    : args[++i];
            error = Apply(*option, as, value, options);
        } else {
            // Letters; the first that takes a value takes the rest of the
            // argument, or the next argument.
            for (size_t at = 1; at < arg.size() && error.empty(); ++at) {
                const CCliOption* option = Find("", arg[at]);
                if (!option)
                    return position + " is an unknown option";
                const std::string as = std::string("-") + arg[at];
                if (!option->value) {
                    error = Apply(*option, as, "", options);
                    continue;
                }
                if (at + 1 == arg.size() && i + 1 == args.size())
                    return as + " needs a value";
                error = Apply(*option, as, at + 1 < arg.size() ? arg.substr(at + 1) : args[++i],
                              options);
                break;
            }
        }
        if (!error.empty())
            return error;
    }
    if (options.help || options.version)
        return "";
    const bool day = options.year != 0 || options.olderThan >= 0;
    if (!options.execute.empty() || !options.restore.empty()) {
        // The plan or the manifest names the accounts and the messages.
        if (!options.execute.empty() && !options.restore.empty())
            return "give either --execute or --restore";
        if (day || options.dryRun || options.list || !options.rules.empty() ||
            !options.folders.empty() || options.spareFlagged || options.spareUnread ||
            options.toTrash)
            return std::string(options.execute.empty() ? "--restore" : "--execute") +
                   " takes its messages from its file: no day, list, dry run or rules";
        if (!options.restore.empty() &&
            (!options.archive.empty() || options.noManifest || !options.manifest.empty()))
            return "--restore writes no manifest and keeps no copies";
        return "";
    }
    if (options.list == !options.user.empty())
        return "give either --list or --user ACCOUNT";
    if (!day || (options.year != 0 && options.olderThan >= 0))
        return "give either --before YYYY-MM-DD or --older-than DAYS";
    if (options.noManifest && !options.manifest.empty())
        return "give either --manifest or --no-manifest";
    return "";
}

std::string CliOptionHelp() {
    std::string help;
    for (const CCliOption& option : kOptions) {
        std::string left = option.letter ? std::string("  -") + option.letter + ", " : "      ";
        left += "--" + std::string(option.name) + (option.value ? " " : "") +
                (option.value ? option.value : "");
        left.resize(std::max<size_t>(left.size() + 2, 28), ' ');
        help += left + option.help + "\n";
    }
    return help;
}
