#include "platform/FileSystem.h"

#include <sys/stat.h>

#include <cerrno>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>

namespace {
std::wstring Wide(const std::string& utf8) {
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}
}  // namespace

std::FILE* OpenFile(const std::string& path, const char* mode) {
    return ::_wfopen(Wide(path).c_str(), Wide(mode).c_str());
}

bool MoveReplacing(const std::string& from, const std::string& to) {
    return ::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool SyncFile(std::FILE* file) {
    return ::_commit(::_fileno(file)) == 0;
}

bool LocalTime(std::time_t t, std::tm* out) {
    return ::localtime_s(out, &t) == 0;
}

bool MakeFolder(const std::string& path) {
    return ::_wmkdir(Wide(path).c_str()) == 0 || errno == EEXIST;
}

bool RestrictToOwner(const std::string&) {
    return true;
}

bool OpenToOthers(const std::string&) {
    return false;
}
#else
#include <unistd.h>

#include <cstdio>

std::FILE* OpenFile(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

bool MoveReplacing(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool SyncFile(std::FILE* file) {
    return ::fsync(::fileno(file)) == 0;
}

bool LocalTime(std::time_t t, std::tm* out) {
    return ::localtime_r(&t, out) != nullptr;
}

bool MakeFolder(const std::string& path) {
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool RestrictToOwner(const std::string& path) {
    return ::chmod(path.c_str(), S_IRUSR | S_IWUSR) == 0;
}

bool OpenToOthers(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH));
}
#endif
