// Message numbers of a search result, in the server's order. Held as numbers
// (a large result costs 4 bytes a message) and read back as decimal text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CMessageNumbers {
public:
    size_t GetSize() const { return m_values.size(); }
    bool IsEmpty() const { return m_values.empty(); }
    std::string GetAt(size_t i) const { return std::to_string(m_values.at(i)); }
    std::string GetLast() const { return m_values.empty() ? std::string() : GetAt(GetSize() - 1); }
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
