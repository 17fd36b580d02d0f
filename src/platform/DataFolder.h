// The folder that holds the configuration, the user list and the transcript log.
#pragma once

#include <string>

// The program's own folder: QUENDRAVALT at the root of the file system (of the
// system drive on Windows).
std::string DefaultDataFolder();

// folder + separator + name.
std::string DataFilePath(const std::string& folder, const char* name);

// Creates folder (one level) when it is missing; true when it exists afterwards.
bool EnsureDataFolder(const std::string& folder);

inline constexpr const char* kConfigFileName = "CFG_QUEN_DRAVALT.TXT";
inline constexpr const char* kUserListFileName = "USR_QUEN_DRAVALT.TXT";
inline constexpr const char* kLogFileName = "LOG_QUEN_DRAVALT.TXT";
// Which folders are cleaned, at which age (see run/Rules.h).
inline constexpr const char* kRulesFileName = "RULES_QUEN_DRAVALT.TXT";
