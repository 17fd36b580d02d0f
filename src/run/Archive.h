// A verified copy of each message before it is deleted: one file a message,
// DIR/<account>/<folder>/<uidvalidity>-<uid>.eml, written under a temporary
// name, synced, its size checked, then renamed into place.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

// Where a message's copy goes. The account and each level of the folder name
// (split at delim, the server's hierarchy delimiter) are made safe for both
// POSIX and Windows file systems: no separators, no control characters, none
// of <>:"/\|?*, no trailing dot or blank, no reserved device names (CON, NUL,
// COM1 ...), at most 100 bytes; what is changed is written as %XX, so that
// two different names never give one path.
std::string ArchivePath(const std::string& dir, const std::string& account,
                        const std::string& folder, char delim, uint32_t uidValidity, uint32_t uid);

// One message's copy on its way to the disk.
class CArchiveFile {
public:
    CArchiveFile();
    ~CArchiveFile();  // an unfinished copy is removed
    CArchiveFile(const CArchiveFile&) = delete;
    CArchiveFile& operator=(const CArchiveFile&) = delete;

    // Makes the folders of path (owner-only) and a temporary file beside it,
    // exclusively, never through a link. "" or why not.
    std::string Begin(const std::string& path);
    // Appends bytes as they arrive; false once a write failed.
    bool Write(std::string_view bytes);
    // Syncs, checks that expectedSize bytes were written, renames the copy
    // into place: "" and sha256 (64 lower-case hex digits), or why not (disk
    // full, a size that differs, ...), the temporary file then removed.
    std::string Finish(uint64_t expectedSize, std::string* sha256);
    void Abandon();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// The SHA-256 of a file's bytes, 64 lower-case hex digits; "" when it can't be read.
std::string FileSha256(const std::string& path);
