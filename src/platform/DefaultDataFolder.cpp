// Compiled into each program rather than into the core, so that a test build
// of the program can use a folder of its own with the same code.
#include "platform/DataFolder.h"

#include <cstdlib>

std::string DefaultDataFolder() {
#ifdef QD_DATA_FOLDER
    return QD_DATA_FOLDER;
#elif defined(_WIN32)
    // At the root of the system drive, wherever the program was started from.
    const char* drive = std::getenv("SystemDrive");
    return std::string(drive && *drive ? drive : "C:") + "\\QUENDRAVALT";
#else
    return "/QUENDRAVALT";
#endif
}
