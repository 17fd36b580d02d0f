// What the command line does once its options and settings are read, and
// what its commands share: the exit statuses, a usage error's message, the
// password, the run under the console's event loop until it ends or a signal
// stops it.
#pragma once

#include <string>

#include "cli/CliOptions.h"

class CRunSequencer;
struct CSettings;

inline constexpr int kUsageError = 2;
inline constexpr int kFolderBusy = 75;  // EX_TEMPFAIL: another run has the data folder
inline constexpr int kStopped = 130;

// Writes "quendravalt-cli: message" to standard error; returns kUsageError.
int Fail(const std::string& message);
// QUENDRAVALT_PASSWORD, else the first line of standard input (not echoed on
// a terminal); false when there is none.
bool ReadPassword(std::string& password);
// Pumps the console's event loop until run ends; a first SIGINT or SIGTERM
// stops it (flags taken back), a second or 20 s more give up. 0, or kStopped
// when a signal came (the caller goes on to report), or -kStopped when it
// gave up (nothing more may be done).
int DriveRun(CRunSequencer& run);

// The deletion run (--before / --older-than, or --execute), and --restore.
int RunDeletion(const CCliOptions& options, CSettings& settings, const std::string& folder,
                bool tokenSignIn);
int RunRestore(const CCliOptions& options, CSettings& settings, const std::string& folder,
               bool tokenSignIn);
