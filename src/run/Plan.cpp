#include "run/Plan.h"

#include <algorithm>
#include <cstdio>

#include "imap/MessageSet.h"
#include "run/Manifest.h"

std::string LoadPlan(const std::string& path, CPlan& plan) {
    plan = CPlan();
    std::string problem;
    const std::string read = ReadManifestFile(path, [&](const CManifestRow& row) {
        if (row.action != "would delete")
            problem = "the manifest " + path + " is no plan: a row says \"" + row.action +
                      "\", not \"would delete\" (a plan is what a dry run recorded)";
        else if (!plan.server.empty() && row.server != plan.server)
            problem =
                "the plan " + path + " names two servers, " + plan.server + " and " + row.server;
        if (!problem.empty())
            return false;
        plan.server = row.server;
        auto& folders = plan.folders[row.account];
        if (folders.empty())
            plan.accounts.push_back(row.account);
        auto folder = std::find_if(folders.begin(), folders.end(),
                                   [&row](const CPlanFolder& f) { return f.folder == row.folder; });
        if (folder == folders.end()) {
            folders.push_back({row.folder, row.uidValidity, {}});
            folder = folders.end() - 1;
        } else if (folder->uidValidity != row.uidValidity) {
            problem = "the plan " + path + " names two UIDVALIDITY values for " + row.account +
                      " " + row.folder;
            return false;
        }
        folder->uids.push_back(row.uid);
        ++plan.messages;
        return true;
    });
    if (!read.empty())
        return "the plan " + path + " cannot be read: " + read;
    if (!problem.empty())
        return problem;
    for (auto& [account, folders] : plan.folders)
        for (CPlanFolder& folder : folders)
            folder.uids = SortedDistinct(std::move(folder.uids));
    return "";
}

std::string ImapDateTime(const std::string& iso) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0, zh = 0, zm = 0;
    char sign = 0;
    if (iso.size() != 25 ||
        std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%2d:%2d", &y, &mo, &d, &h, &mi, &se,
                    &sign, &zh, &zm) != 9 ||
        mo < 1 || mo > 12 || (sign != '+' && sign != '-'))
        return "";
    char text[40];
    std::snprintf(text, sizeof text, "%02d-%s-%04d %02d:%02d:%02d %c%02d%02d", d, kMonths[mo - 1],
                  y, h, mi, se, sign, zh, zm);
    return text;
}

std::string LoadRestore(const std::string& path, const std::string& only, CRestorePlan& plan) {
    plan = CRestorePlan();
    std::string problem;
    const std::string read = ReadManifestFile(path, [&](const CManifestRow& row) {
        // What a failed account may have deleted is put back too: a message
        // still there is found by its Message-ID and skipped.
        const bool gone = row.action == "deleted" || row.action.rfind("unknown: ", 0) == 0;
        if (!gone || row.archive.empty() || (!only.empty() && row.account != only))
            return true;  // nothing to put back
        if (!plan.server.empty() && row.server != plan.server) {
            problem = "the manifest " + path + " names two servers, " + plan.server + " and " +
                      row.server;
            return false;
        }
        plan.server = row.server;
        auto& folders = plan.folders[row.account];
        if (folders.empty())
            plan.accounts.push_back(row.account);
        auto folder = std::find_if(folders.begin(), folders.end(), [&row](const CRestoreFolder& f) {
            return f.folder == row.folder;
        });
        if (folder == folders.end()) {
            folders.push_back({row.folder, {}});
            folder = folders.end() - 1;
        }
        CRestoreMessage message{row.archive,  row.sha256, row.size, "", ImapDateTime(row.received),
                                row.messageId};
        // Its flags as they were, less the two a server sets itself or a run did.
        for (size_t at = 0; at < row.flags.size();) {
            const size_t end = std::min(row.flags.find(' ', at), row.flags.size());
            const std::string flag = row.flags.substr(at, end - at);
            if (!flag.empty() && flag != "\\Deleted" && flag != "\\Recent")
                message.flags += (message.flags.empty() ? "" : " ") + flag;
            at = end + 1;
        }
        folder->messages.push_back(std::move(message));
        ++plan.messages;
        return true;
    });
    if (!read.empty())
        return "the manifest " + path + " cannot be read: " + read;
    if (!problem.empty())
        return problem;
    if (plan.messages == 0)
        return "the manifest " + path + " lists no deleted message with a copy" +
               (only.empty() ? std::string() : " of " + only);
    return "";
}
