// The few file-system calls that differ between POSIX and Windows, and the one
// way the program writes a file: a new file beside the target, created
// exclusively and never through a link, synced, then renamed over the target.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

// fopen with a UTF-8 path (Windows takes wide paths for anything beyond ASCII).
std::FILE* OpenFile(const std::string& path, const char* mode);
// Puts from in the place of to, replacing it in one step; false on failure.
bool MoveReplacing(const std::string& from, const std::string& to);
// What was written to file is on the disk.
bool SyncFile(std::FILE* file);
bool LocalTime(std::time_t t, std::tm* out);
// Creates one folder level for its owner only (on Windows: the owner, the
// administrators and the system); true when it exists afterwards.
bool MakeFolder(const std::string& path);

// Who may read a file the program writes: its owner only, or anyone the
// umask lets (0644 less the umask; a report the administrator hands on).
enum class FileAccess { OwnerOnly, Shared };

// Writes bytes to a temporary file in path's folder (created exclusively,
// never through a link, with access from the first moment), syncs it and
// renames it over path: path is then either the old file or the whole new
// one. False, with path as it was and no temporary file left, on any failure.
bool ReplaceFileAtomically(const std::string& path, std::string_view bytes,
                           FileAccess access = FileAccess::OwnerOnly);
// Creates path as a new empty owner-only file, never through a link: false
// when anything (a file, a planted link) is there already.
bool CreateExclusive(const std::string& path);
// Opens a regular file for appending, never through a link, creating it
// owner-only when it is missing; null when it can't.
std::FILE* OpenForAppend(const std::string& path);
// Creates path as a new owner-only file open for writing ("wb"), never
// through a link: null (errno says why) when anything is there already.
std::FILE* CreateNewFile(const std::string& path);
// Removes the name path: a link itself, never what it points to. True when
// nothing is there afterwards.
bool RemoveFile(const std::string& path);
// Makes every missing folder on the way to the file path, each owner-only
// (see MakeFolder); true when path's folder is there afterwards.
bool MakeFoldersFor(const std::string& path);
// A rename into path's folder reaches the disk (on Windows MoveReplacing
// already writes through).
void SyncFolderOf(const std::string& path);

// What the program must know of a file before it lets the file steer a run.
struct CFileFacts {
    bool exists = false;
    bool folder = false;
    bool othersMayWrite = false;  // group or others may change it
    bool othersMayRead = false;   // group or others may read it
    bool foreignOwner = false;    // it belongs to neither the running user nor root
    std::string owner;            // the owner's name (or number) when foreign
};
// On Windows the folder's access list decides: nothing beyond exists and folder.
CFileFacts InspectFile(const std::string& path);
// The name of the user running the program.
std::string CurrentUserName();

#ifdef _WIN32
// A UTF-8 path as Windows' wide calls take it.
std::wstring WidePath(const std::string& utf8);
#endif
// Others than the owner may read or change the file.
inline bool OpenToOthers(const std::string& path) {
    const CFileFacts facts = InspectFile(path);
    return facts.othersMayRead || facts.othersMayWrite;
}
