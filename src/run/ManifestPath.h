// Where a run's manifest goes when nobody names a file: the data folder's
// audit/, one file per run named by its start, never rotated away (it is the
// record). The window and the command line name them alike.
#pragma once

#include <ctime>
#include <string>

// <dataFolder>/audit/<YYYY-MM-DDTHH-MM-SS>.csv in local time; a name already
// taken (a second run in the same second) gets -2, -3, ... before ".csv".
std::string DefaultManifestPath(const std::string& dataFolder, std::time_t start);
