// One folder of an account's work: which, which messages (received before a
// day, or the UIDs a plan or a move named), what is spared, and where deleted
// mail goes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CRestoreMessage;

struct CFolderJob {
    std::string name;        // as IMAP names it (modified UTF-7); "" until LIST found it
    std::string display;     // as the administrator names it: UTF-8, or "\Trash"
    std::string specialUse;  // "\Trash" ... when named by its use
    std::string before;      // dd-Mon-yyyy: the messages received before this day
    bool spareFlagged = false;
    bool spareUnread = false;
    bool toTrash = false;  // moved to Trash instead of deleted
    // Named messages instead of a search: a plan's (UIDs under uidValidity,
    // which must still hold), or the copies a move put in Trash.
    bool byUid = false;
    uint32_t uidValidity = 0;
    std::vector<uint32_t> uids;
    bool gmailTrash = false;  // the copies a Gmail move made: deleted here for good
    // Restoring: the messages to put back into this folder (the plan's).
    const std::vector<CRestoreMessage>* restore = nullptr;
};
