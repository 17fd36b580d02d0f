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

}  // namespace

std::string ParseCliOptions(const std::vector<std::string>& args, CCliOptions& options) {
    options = CCliOptions();
    bool user = false, before = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool takesValue = arg == "--user" || arg == "--before" || arg == "--older-than" ||
                                arg == "--parallel" || arg == "--pause" || arg == "--data" ||
                                arg == "--report";
        if (takesValue && i + 1 == args.size())
            return arg + " needs a value";
        const std::string value = takesValue ? args[++i] : std::string();
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--list") {
            options.list = true;
        } else if (arg == "--user") {
            if (value.empty() || value.find_first_of("\r\n") != std::string::npos)
                return "--user needs an account name";
            options.user = value;
            user = true;
        } else if (arg == "--before") {
            if (!ParseDay(value, options))
                return "--before takes a day as YYYY-MM-DD, not \"" + value + "\"";
            before = true;
        } else if (arg == "--older-than") {
            if (!ParseNumber(value, 0, 100000, options.olderThan))
                return "--older-than takes a number of days, not \"" + value + "\"";
        } else if (arg == "--dry-run") {
            options.dryRun = true;
        } else if (arg == "--parallel") {
            if (!ParseNumber(value, 1, kMaxParallel, options.parallel))
                return "--parallel takes 1 to " + std::to_string(kMaxParallel) + ", not \"" +
                       value + "\"";
        } else if (arg == "--pause") {
            if (!ParseNumber(value, kMinPauseMs, kMaxPauseMs, options.pauseMs))
                return "--pause takes " + std::to_string(kMinPauseMs) + " to " +
                       std::to_string(kMaxPauseMs) + " milliseconds, not \"" + value + "\"";
        } else if (arg == "--data") {
            options.dataFolder = value;
        } else if (arg == "--report") {
            options.report = value;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg.rfind("-", 0) == 0) {
            return "unknown option \"" + arg + "\"";
        } else {
            // Never echoed: it may be a password typed where it does not belong.
            return "an argument that is no option was given; a password is read from "
                   "QUENDRAVALT_PASSWORD or standard input, never from the command line";
        }
    }
    if (options.help || options.version)
        return "";
    if (options.list == user)
        return "give either --list or --user ACCOUNT";
    if (before == (options.olderThan >= 0))
        return "give either --before YYYY-MM-DD or --older-than DAYS";
    if (options.dataFolder.empty() && std::find(args.begin(), args.end(), "--data") != args.end())
        return "--data needs a folder";
    return "";
}
