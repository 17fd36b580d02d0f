// The accounts of a list run and their passwords, read from the user list
// file: one "account;password" pair a line, split at the first ';'.
#pragma once

#include <string>
#include <vector>

struct CUserList {
    // Parallel arrays: entry i of one belongs to entry i of the other.
    std::vector<std::string> m_arrAccounts;
    std::vector<std::string> m_arrPasswords;
    // The line (counted from 1) each account stands on.
    std::vector<int> m_arrLines;
    // Lines (counted from 1) that name no account: no ';', or nothing on one
    // side of it. Empty lines are not counted.
    std::vector<int> m_arrSkippedLines;
};

// Empties the list, then appends every line of the user list file of folder
// that holds an account, a ';' and a password (split at the first ';'); a
// byte-order mark before the first line is no part of it. Nothing is trimmed:
// blanks are sent as they stand. A missing file leaves the list empty. With
// passwordOptional (accounts signed in with a token) "account;" is an account.
void LoadUserList(const std::string& folder, CUserList& users, bool passwordOptional = false);

// The accounts a plan or a manifest names, in its order, with their passwords
// from list into picked (its lines counted anew); with only, just that account
// and password. "" or the first account the list lacks.
std::string PickAccounts(const std::vector<std::string>& accounts, const CUserList& list,
                         const std::string& only, const std::string& password, CUserList& picked);
