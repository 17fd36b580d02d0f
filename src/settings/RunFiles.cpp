#include "settings/RunFiles.h"

#include "platform/DataFolder.h"
#include "platform/FileSystem.h"
#include "settings/KnownServers.h"
#include "settings/OAuthSettings.h"

CRunFilesCheck CheckRunFiles(const std::string& folder, bool list, bool oauth,
                             const std::string& googleKey, const std::string& rules) {
    CRunFilesCheck check;
    struct Item {
        std::string what, path;
        bool secret;
    };
    std::vector<Item> items = {
        {"the data folder", folder, false},
        {"the configuration file", DataFilePath(folder, kConfigFileName), false},
        {"the known-servers file", DataFilePath(folder, kKnownServersFileName), false},
        {"the rules file", rules.empty() ? DataFilePath(folder, kRulesFileName) : rules, false},
    };
    if (list)
        items.push_back({"the user list", DataFilePath(folder, kUserListFileName), true});
    if (oauth)
        items.push_back({"the OAuth file", DataFilePath(folder, kOAuthFileName), true});
    if (!googleKey.empty())
        items.push_back({"the Google key file", googleKey, false});
    for (const Item& item : items) {
        const CFileFacts facts = InspectFile(item.path);
        if (!facts.exists)
            continue;
        if (facts.foreignOwner)
            check.errors.push_back(item.what + " " + item.path + " belongs to " + facts.owner +
                                   ", not to " + CurrentUserName() + ": run chown " +
                                   CurrentUserName() + " " + item.path);
        else if (facts.othersMayWrite)
            check.errors.push_back(item.what + " " + item.path +
                                   " may be changed by others than its owner: run chmod go-w " +
                                   item.path);
        else if (item.secret && facts.othersMayRead)
            check.warnings.push_back(item.what + " " + item.path +
                                     " holds passwords that others than its owner may read: run "
                                     "chmod 600 " +
                                     item.path);
    }
    return check;
}
