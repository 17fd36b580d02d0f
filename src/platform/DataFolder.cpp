#include "platform/DataFolder.h"

#include <sys/stat.h>

#include "platform/FileSystem.h"

#ifdef _WIN32
static constexpr char kSep = '\\';
#else
static constexpr char kSep = '/';
#endif

std::string DataFilePath(const std::string& folder, const char* name) {
    std::string path = folder;
    if (path.empty() || path.back() != kSep)
        path += kSep;
    return path + name;
}

bool EnsureDataFolder(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    return MakeFolder(folder);
}
