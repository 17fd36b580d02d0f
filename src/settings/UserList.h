// The accounts of a list run and their passwords, read from the user list
// file: one "account;password" pair a line, split at the first ';'.
#pragma once

#include <string>
#include <vector>

struct CUserList {
    // Parallel arrays: entry i of one belongs to entry i of the other.
    std::vector<std::string> m_arrAccounts;
    std::vector<std::string> m_arrPasswords;
};

// Empties both arrays, then appends every line of the user list file of folder
// that holds a ';'. Lines without one (empty lines too) are skipped; nothing is
// trimmed; a missing file leaves both arrays empty.
void LoadUserList(const std::string& folder, CUserList& users);
