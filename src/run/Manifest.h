// The record of a run, one row per message: a CSV file (RFC 4180, UTF-8, CR LF)
// written as the run goes, so that a crash leaves every row of what was
// already confirmed. A preview's manifest is a plan another run may execute.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

// One message. Texts are UTF-8; subject, from and the like as DecodeHeaderValue
// gives them.
struct CManifestRow {
    std::string account;
    std::string folder;
    uint32_t uidValidity = 0;
    uint32_t uid = 0;
    std::string received;   // INTERNALDATE as ISO 8601 with its offset: 2020-01-15T10:00:00+01:00
    uint64_t size = 0;      // RFC822.SIZE
    std::string messageId;  // as the header says it, <...>
    std::string date;       // the Date header as sent
    std::string from;
    std::string subject;
    std::string action;   // "would delete", "deleted", "kept: REASON", "gone"
    std::string archive;  // the copy's path, "" without one
    std::string sha256;   // of the copy, 64 lower-case hex digits, "" without one
    std::string flags;    // the message's flags before the run, space-separated
    std::string server;   // host:port the run used
};

// The header line with its CR LF: account,folder,uidvalidity,uid,received,size,
// message_id,date,from,subject,action,archive,sha256,flags,server.
std::string ManifestHeader();
// One row as a CSV line with its CR LF: a field with ',', '"', CR or LF is
// quoted; one a spreadsheet would take for a formula (=, +, -, @, TAB, CR, or
// the guard ' itself at its start) gets a leading '.
std::string FormatManifestRow(const CManifestRow& row);

// Appends rows to a manifest file of its own making: created anew, exclusively,
// owner-only and never through a link (a file already there is refused), the
// header first. Rows reach the file at once; Sync puts them on the disk.
class CManifestWriter {
public:
    CManifestWriter() = default;
    ~CManifestWriter();
    CManifestWriter(const CManifestWriter&) = delete;
    CManifestWriter& operator=(const CManifestWriter&) = delete;

    // "" or why the file can't be made (folders on the way are made owner-only).
    std::string Create(const std::string& path);
    bool Append(const CManifestRow& row);
    bool Sync();
    void Close();
    bool IsOpen() const { return m_file != nullptr; }
    const std::string& Path() const { return m_path; }

private:
    std::FILE* m_file = nullptr;
    std::string m_path;
    bool m_failed = false;
};

// Reads a manifest row by row (a file of any size: it is not held whole):
// calls onRow for each; onRow returns false to stop. "" when every row was
// read; else what is wrong, naming the line ("line 7: 15 fields expected").
// The header must be the one ManifestHeader gives; the ' a formula guard put
// before a field is dropped; numbers must be numbers.
std::string ReadManifestFile(const std::string& path,
                             const std::function<bool(const CManifestRow&)>& onRow);
// The same over bytes in memory (for tests and the fuzzer).
std::string ReadManifest(std::string_view bytes,
                         const std::function<bool(const CManifestRow&)>& onRow);
