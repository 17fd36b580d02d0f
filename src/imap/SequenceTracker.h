// Follows the messages a search found through the mailbox's EXPUNGE
// responses when they are named by sequence number (no UIDPLUS): which of
// them a current number stands for, and what number each has now. Each
// response costs O(log^2 n) for n messages found, whatever the mailbox's size
// or the count of responses before it; memory is O(n).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CSequenceTracker {
public:
    // found: the numbers the search returned, sorted and distinct, as the
    // mailbox numbered them then. It must outlive the tracker's use.
    void Reset(const std::vector<uint32_t>* found);
    void Clear() { Reset(nullptr); }

    // The message now numbered current was expunged. Returns the index (into
    // found) of the message it was, or -1 when it was none of them.
    long Expunge(uint32_t current);
    // The index of the message now numbered current, -1 when none of them.
    long Find(uint32_t current) const;
    // The number message index has now; 0 once it was expunged.
    uint32_t Current(size_t index) const;
    // The server expunged more messages between two found ones than there
    // were: its numbers can no longer be followed.
    bool Lost() const { return m_lost; }

private:
    // Slots, from 1: 2j+1 counts the other messages expunged just before
    // found[j], 2j+2 found[j] itself, 2n+1 those after the last.
    int64_t Prefix(size_t slot) const;
    void Add(size_t slot);
    // The number found[j] has now, or would have were it still there.
    int64_t Now(size_t j) const { return int64_t{(*m_found)[j]} - Prefix(2 * j + 1); }
    // The first j whose message is numbered above current, or is current itself.
    size_t Locate(uint32_t current) const;

    const std::vector<uint32_t>* m_found = nullptr;
    std::vector<uint32_t> m_tree;     // Fenwick tree over the slots
    std::vector<uint32_t> m_between;  // others expunged before found[j], by j
    std::vector<bool> m_gone;
    bool m_lost = false;
};
