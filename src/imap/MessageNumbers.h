// Message numbers of a search result, in the server's order. Held as numbers:
// a large result costs 4 bytes a message.
#pragma once

#include <cstdint>
#include <vector>

class CMessageNumbers {
public:
    size_t GetSize() const { return m_values.size(); }
    bool IsEmpty() const { return m_values.empty(); }
    void RemoveAll() {
        m_values.clear();
        m_values.shrink_to_fit();
    }
    void Add(uint32_t n) { m_values.push_back(n); }

    const std::vector<uint32_t>& Values() const { return m_values; }
    std::vector<uint32_t>& Values() { return m_values; }

private:
    std::vector<uint32_t> m_values;
};
