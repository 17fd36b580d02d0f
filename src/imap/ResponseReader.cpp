#include "imap/ResponseReader.h"

#include "imap/AsciiCase.h"

void CResponseReader::Reset() {
    StartResponse();
    m_mode = Mode::Line;
    m_literalLeft = 0;
    m_failed = false;
}

void CResponseReader::StartResponse() {
    m_head.clear();
    m_headComplete = true;
    m_length = 0;
    m_mode = Mode::Line;
    m_prefixChecked = false;
    m_isSearch = false;
    m_searchValid = true;
    m_searchOverflow = false;
    m_searchCR = false;
    m_value = 0;
    m_digits = 0;
    m_numbers.clear();
    m_tailLen = 0;
}

void CResponseReader::TrackTail(const char* p, size_t n) {
    constexpr size_t cap = sizeof m_tail;
    if (n >= cap) {
        std::memcpy(m_tail, p + n - cap, cap);
        m_tailLen = cap;
        return;
    }
    if (m_tailLen + n > cap) {
        const size_t drop = m_tailLen + n - cap;
        std::memmove(m_tail, m_tail + drop, m_tailLen - drop);
        m_tailLen -= drop;
    }
    std::memcpy(m_tail + m_tailLen, p, n);
    m_tailLen += n;
}

void CResponseReader::CheckSearchPrefix() {
    m_prefixChecked = true;
    if (!EqualsNoCase(std::string_view(m_head).substr(0, 9), "* SEARCH "))
        return;
    m_isSearch = true;
    m_mode = Mode::Search;
}

CResponseReader::SearchStep CResponseReader::SearchByte(char c) {
    if (m_searchCR && c != '\n') {
        SearchInvalid();
        return SearchStep::Malformed;
    }
    if (c >= '0' && c <= '9') {
        if (++m_digits > 10) {  // no message number needs more than ten digits
            SearchInvalid();
            return SearchStep::Malformed;
        }
        m_value = m_value * 10 + static_cast<unsigned>(c - '0');
        return SearchStep::More;
    }
    if (c == ' ') {
        PushNumber();
        return m_searchValid ? SearchStep::More : SearchStep::Malformed;
    }
    if (c == '\r') {
        m_searchCR = true;
        return SearchStep::More;
    }
    if (c == '\n') {
        PushNumber();
        return SearchStep::End;
    }
    SearchInvalid();
    return SearchStep::Malformed;
}

void CResponseReader::PushNumber() {
    if (m_digits == 0)
        return;
    if (m_value == 0 || m_value > 0xFFFFFFFFull || m_numbers.size() >= m_searchLimit) {
        m_searchOverflow = m_numbers.size() >= m_searchLimit;
        SearchInvalid();
        return;
    }
    m_numbers.push_back(static_cast<uint32_t>(m_value));
    m_value = 0;
    m_digits = 0;
}

void CResponseReader::SearchInvalid() {
    m_searchValid = false;
    m_mode = Mode::Line;
    m_numbers.clear();
    m_tailLen = 0;
}

bool CResponseReader::EndOfLine() {
    // The line's own bytes, without a CR before the LF.
    size_t tail = m_tailLen;
    if (tail > 0 && m_tail[tail - 1] == '\r')
        --tail;
    if (m_headComplete && !m_head.empty() && m_head.back() == '\r')
        m_head.pop_back();
    // A line that ends in {n} announces a literal: n more bytes belong to this
    // response, and the line goes on after them.
    if (tail >= 3 && m_tail[tail - 1] == '}') {
        size_t i = tail - 1;
        uint64_t n = 0;
        uint64_t scale = 1;
        int digits = 0;
        while (i > 0 && m_tail[i - 1] >= '0' && m_tail[i - 1] <= '9' && digits < 20) {
            n += static_cast<uint64_t>(m_tail[i - 1] - '0') * scale;
            scale *= 10;
            ++digits;
            --i;
        }
        if (digits > 0 && digits <= 19 && i > 0 && m_tail[i - 1] == '{') {
            if (n > m_maxResponse || m_length + n > m_maxResponse) {
                m_failed = true;
                return false;
            }
            if (m_headComplete)
                m_head += "\r\n";  // keeps the head readable: the literal itself is skipped
            m_literalLeft = n;
            m_tailLen = 0;
            m_prefixChecked = true;  // a SEARCH response never carries a literal
            m_mode = n > 0 ? Mode::Literal : Mode::Line;
            m_length += n;
            return false;
        }
    }
    if (!m_isSearch && EqualsNoCase(m_head, "* SEARCH")) {
        m_isSearch = true;
        m_searchValid = true;
    }
    return true;
}
