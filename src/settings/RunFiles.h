// Before a run: the files that hold secrets or steer the run (the data folder,
// the configuration, the known servers, the rules, the user list, the OAuth
// file, the Google key) must be the running user's (or root's) and writable by nobody
// else; otherwise whoever may change them could point the run at a server of
// their own.
#pragma once

#include <string>
#include <vector>

struct CRunFilesCheck {
    std::vector<std::string> errors;    // no run may start; each names the fix
    std::vector<std::string> warnings;  // e.g. a user list others may read
};

// list: the user list matters; oauth: the OAuth file does; googleKey: the
// path of the Google key file, when it matters. Who may read the key is
// LoadGoogleKey's to refuse. rules: the rules file, "" for the data folder's.
CRunFilesCheck CheckRunFiles(const std::string& folder, bool list, bool oauth,
                             const std::string& googleKey = "", const std::string& rules = "");
