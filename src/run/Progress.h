// How far a run has come, as the status bar and the command line show it.
#pragma once

#include <chrono>
#include <string>

// "42 s", "7 min", "2 h 05 min".
std::string FormatTimeLeft(std::chrono::seconds left);

// "Account 3 of 6", and once two accounts are done ", about 2 min left", from
// the pace of the run so far (elapsed since it started).
std::string ProgressText(int number, int count, int done,
                         std::chrono::steady_clock::duration elapsed);
