// The few file-system calls that differ between POSIX and Windows.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

// fopen with a UTF-8 path (Windows takes wide paths for anything beyond ASCII).
std::FILE* OpenFile(const std::string& path, const char* mode);
// Puts from in the place of to, replacing it in one step; false on failure.
bool MoveReplacing(const std::string& from, const std::string& to);
// What was written to file is on the disk.
bool SyncFile(std::FILE* file);
bool LocalTime(std::time_t t, std::tm* out);
// Creates one folder level; true when it exists afterwards.
bool MakeFolder(const std::string& path);
// Readable and writable by the file's owner only.
bool RestrictToOwner(const std::string& path);
// Others than the owner may read or change the file (POSIX permission bits;
// on Windows the folder's access list decides and this says false).
bool OpenToOthers(const std::string& path);
