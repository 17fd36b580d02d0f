// What an account's ended sessions left flagged \Deleted, kept by the run for
// the account's next session to take back: flags follow the account, not the
// connection. Messages are named by UID under one UIDVALIDITY; what a session
// flagged by sequence number (no UIDPLUS) no other session can name again,
// so of those only that they may remain is known.
#pragma once

#include <cstdint>
#include <vector>

struct CFlagLedger {
    uint32_t uidValidity = 0;
    std::vector<uint32_t> uids;  // sorted, distinct
    bool unnamed = false;        // flags may remain that no later session can name
    unsigned deleted = 0;        // the account's own messages expunged by ended sessions

    bool Empty() const { return uids.empty() && !unnamed; }
    void Clear() { *this = CFlagLedger(); }
};
