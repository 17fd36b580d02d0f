// Compiled into each program rather than into the core, so that a test build
// of the program can use a folder of its own with the same code.
#include "platform/DataFolder.h"

#ifndef QD_DATA_FOLDER
#ifdef _WIN32
#define QD_DATA_FOLDER "\\QUENDRAVALT"
#else
#define QD_DATA_FOLDER "/QUENDRAVALT"
#endif
#endif

std::string DefaultDataFolder() {
    return QD_DATA_FOLDER;
}
