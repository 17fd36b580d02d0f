#include "imap/SequenceTracker.h"

void CSequenceTracker::Reset(const std::vector<uint32_t>* found) {
    m_found = found;
    const size_t n = found ? found->size() : 0;
    m_tree.assign(found ? 2 * n + 2 : 0, 0);
    m_between.assign(found ? n + 1 : 0, 0);
    m_gone.assign(n, false);
    m_lost = false;
}

int64_t CSequenceTracker::Prefix(size_t slot) const {
    int64_t sum = 0;
    for (; slot > 0; slot &= slot - 1)
        sum += m_tree[slot];
    return sum;
}

void CSequenceTracker::Add(size_t slot) {
    for (; slot < m_tree.size(); slot += slot & (~slot + 1))
        ++m_tree[slot];
}

size_t CSequenceTracker::Locate(uint32_t current) const {
    // Now(j) never falls as j grows, and rises past a message still there:
    // "above current, or current and still there" holds from some j on.
    size_t low = 0, high = m_found->size();
    while (low < high) {
        const size_t mid = low + (high - low) / 2;
        const int64_t now = Now(mid);
        if (now > current || (now == current && !m_gone[mid]))
            high = mid;
        else
            low = mid + 1;
    }
    return low;
}

long CSequenceTracker::Find(uint32_t current) const {
    if (!m_found || m_lost)
        return -1;
    const size_t j = Locate(current);
    return j < m_found->size() && Now(j) == current && !m_gone[j] ? static_cast<long>(j) : -1;
}

long CSequenceTracker::Expunge(uint32_t current) {
    if (!m_found || m_lost)
        return -1;
    const size_t j = Locate(current);
    const size_t n = m_found->size();
    if (j < n && Now(j) == current && !m_gone[j]) {
        m_gone[j] = true;
        Add(2 * j + 2);
        return static_cast<long>(j);
    }
    if (j == n)
        return -1;  // after every found message: their numbers stay
    // Another message before found[j]: there can't be more of them than the
    // numbers between found[j - 1] and found[j].
    const uint32_t room = (*m_found)[j] - (j > 0 ? (*m_found)[j - 1] : 0) - 1;
    if (m_between[j] >= room) {
        m_lost = true;
        return -1;
    }
    ++m_between[j];
    Add(2 * j + 1);
    return -1;
}

uint32_t CSequenceTracker::Current(size_t index) const {
    if (!m_found || index >= m_found->size() || m_gone[index] || m_lost)
        return 0;
    return static_cast<uint32_t>(Now(index));
}
