// The columns of a list view: a fixed table of titles and pixel widths.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

class CColumnTable {
public:
    static constexpr size_t kMaxColumns = 100;
    static constexpr size_t kMaxTitle = 39;  // bytes, without the terminator

    // Appends a column; false when the table is full. A longer title is cut
    // to kMaxTitle bytes, never inside a UTF-8 sequence.
    bool Add(std::string_view title, int width) {
        if (m_count == kMaxColumns)
            return false;
        size_t length = title.size();
        if (length > kMaxTitle) {
            length = kMaxTitle;
            while (length > 0 && (static_cast<unsigned char>(title[length]) & 0xC0) == 0x80)
                --length;
        }
        Column& column = m_columns[m_count++];
        title.copy(column.title, length);
        column.title[length] = '\0';
        column.width = width;
        return true;
    }

    size_t Count() const { return m_count; }
    // Only for index < Count().
    std::string_view Title(size_t index) const { return m_columns[index].title; }
    int Width(size_t index) const { return m_columns[index].width; }

private:
    struct Column {
        char title[kMaxTitle + 1];
        int width;
    };
    std::array<Column, kMaxColumns> m_columns{};
    size_t m_count = 0;
};
