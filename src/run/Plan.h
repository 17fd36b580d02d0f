// A preview's manifest taken as a plan: which messages of which folders of
// which accounts a later run deletes, and nothing else. Only UIDs are kept
// in memory, whatever the plan's size.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct CPlanFolder {
    std::string folder;  // UTF-8, as the manifest names it
    uint32_t uidValidity = 0;
    std::vector<uint32_t> uids;  // sorted, distinct
};

struct CPlan {
    std::string server;                                       // host:port the preview used
    std::vector<std::string> accounts;                        // in the plan's order
    std::map<std::string, std::vector<CPlanFolder>> folders;  // by account
    size_t messages = 0;
};

// Reads the manifest at path as a plan: every row "would delete", one server,
// one UIDVALIDITY a folder. "" or what is wrong with it.
std::string LoadPlan(const std::string& path, CPlan& plan);

// A message to put back: its copy, and what APPEND and the check before it need.
struct CRestoreMessage {
    std::string archive;  // the copy's file
    std::string sha256;   // what the file must hash to
    uint64_t size = 0;
    std::string flags;      // as before the run, \Deleted and \Recent left out
    std::string received;   // INTERNALDATE as IMAP writes it: 15-Jan-2020 10:00:00 +0100
    std::string messageId;  // "" none: put back without looking for it first
};

struct CRestoreFolder {
    std::string folder;  // UTF-8, as the manifest names it
    std::vector<CRestoreMessage> messages;
};

struct CRestorePlan {
    std::string server;
    std::vector<std::string> accounts;
    std::map<std::string, std::vector<CRestoreFolder>> folders;  // by account
    size_t messages = 0;
};

// The rows of the manifest at path whose messages were deleted (or may have
// been: "unknown: ...") with a copy kept (only accounts of only, when not empty). "" or what is
// wrong with it.
std::string LoadRestore(const std::string& path, const std::string& only, CRestorePlan& plan);

// "2020-01-15T10:00:00+01:00" as IMAP writes a date-time: "15-Jan-2020 10:00:00 +0100"; "" when it
// is none.
std::string ImapDateTime(const std::string& iso);
