#include "imap/ResponseReader.h"

#include "imap/AsciiCase.h"

void CResponseReader::Reset() {
    if (std::exchange(m_sinking, false))
        m_sink->EndLiteral();
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
    m_prefixWant = 9;
    m_isSearch = false;
    m_isESearch = false;
    m_esPart = ESearchPart::Word;
    m_esWord.clear();
    m_esTag.clear();
    m_esUid = false;
    m_esDepth = 0;
    m_esQuoted = false;
    m_esFirst = 0;
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
    const std::string_view head(m_head);
    if (m_prefixWant == 9 && EqualsNoCase(head.substr(0, 9), "* ESEARCH")) {
        m_prefixWant = 10;  // one more byte tells
        m_prefixChecked = false;
        return;
    }
    if (EqualsNoCase(head.substr(0, m_prefixWant),
                     m_prefixWant == 9 ? "* SEARCH " : "* ESEARCH ")) {
        m_isSearch = true;
        m_isESearch = m_prefixWant == 10;
        m_mode = m_isESearch ? Mode::ESearch : Mode::Search;
    }
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

// "* ESEARCH [(TAG tag)] [UID] *(name value)": the tag, UID, and the numbers
// of ALL (a sequence set); other names and their values are passed over.
CResponseReader::SearchStep CResponseReader::ESearchByte(char c) {
    if (m_searchCR && c != '\n') {
        SearchInvalid();
        return SearchStep::Malformed;
    }
    const bool end = c == '\r' || c == '\n';
    switch (m_esPart) {
        case ESearchPart::Correlator:
            if (c == ')') {
                m_esPart = ESearchPart::Word;
                // TAG "a000004" or TAG a000004
                std::string_view corr(m_esWord);
                if (!StartsWithNoCase(corr, "TAG ")) {
                    SearchInvalid();
                    return SearchStep::Malformed;
                }
                corr.remove_prefix(4);
                if (corr.size() >= 2 && corr.front() == '"' && corr.back() == '"')
                    corr = corr.substr(1, corr.size() - 2);
                m_esTag.assign(corr);
                m_esWord.clear();
                return SearchStep::More;
            }
            if (end || m_esWord.size() >= 128) {
                SearchInvalid();
                return SearchStep::Malformed;
            }
            m_esWord += c;
            return SearchStep::More;
        case ESearchPart::Value:
            // Passed over, parentheses and quoted strings included; a literal
            // in it is more than this reader follows.
            if (m_esQuoted) {
                if (end) {
                    SearchInvalid();
                    return SearchStep::Malformed;
                }
                m_esQuoted = c != '"';  // escapes never matter for skipping a tag
                return SearchStep::More;
            }
            if (c == '"') {
                m_esQuoted = true;
            } else if (c == '(') {
                ++m_esDepth;
            } else if (c == ')') {
                if (--m_esDepth < 0) {
                    SearchInvalid();
                    return SearchStep::Malformed;
                }
            } else if (c == '{') {
                SearchInvalid();
                return SearchStep::Malformed;
            } else if ((c == ' ' || end) && m_esDepth == 0) {
                m_esPart = ESearchPart::Word;
            } else if (end) {
                SearchInvalid();
                return SearchStep::Malformed;
            }
            break;
        case ESearchPart::All:
            if (c >= '0' && c <= '9') {
                if (++m_digits > 10) {
                    SearchInvalid();
                    return SearchStep::Malformed;
                }
                m_value = m_value * 10 + static_cast<unsigned>(c - '0');
                return SearchStep::More;
            }
            if (m_digits == 0 || (c == ':' && (m_esFirst != 0 || m_value == 0)) ||
                (c != ':' && c != ',' && c != ' ' && !end)) {
                SearchInvalid();
                return SearchStep::Malformed;
            }
            if (c == ':') {
                m_esFirst = m_value;
            } else if (!PushRange(m_esFirst ? m_esFirst : m_value, m_value)) {
                return SearchStep::Malformed;
            } else {
                m_esFirst = 0;
            }
            m_value = 0;
            m_digits = 0;
            if (c == ' ' || end)
                m_esPart = ESearchPart::Word;
            break;
        case ESearchPart::Word:
            if (c == '(' && m_esWord.empty() && m_esTag.empty() && !m_esUid && m_numbers.empty()) {
                m_esPart = ESearchPart::Correlator;
                return SearchStep::More;
            }
            if (c == ' ' || end) {
                if (!ESearchItemEnds())
                    return SearchStep::Malformed;
                break;
            }
            if (m_esWord.size() >= 32) {
                SearchInvalid();
                return SearchStep::Malformed;
            }
            m_esWord += c;
            return SearchStep::More;
    }
    if (c == '\r') {
        m_searchCR = true;
        return SearchStep::More;
    }
    if (c == '\n') {
        if (m_esPart != ESearchPart::Word || !m_esWord.empty()) {
            SearchInvalid();  // a name without its value
            return SearchStep::Malformed;
        }
        return SearchStep::End;
    }
    return SearchStep::More;
}

bool CResponseReader::ESearchItemEnds() {
    if (m_esWord.empty())
        return true;  // the blank after a correlator
    if (EqualsNoCase(m_esWord, "UID")) {
        m_esUid = true;
    } else {
        m_esPart = EqualsNoCase(m_esWord, "ALL") ? ESearchPart::All : ESearchPart::Value;
        m_esDepth = 0;
        m_esQuoted = false;
    }
    m_esWord.clear();
    return true;
}

bool CResponseReader::PushRange(uint64_t first, uint64_t last) {
    if (first > last)
        std::swap(first, last);
    if (first == 0 || last > 0xFFFFFFFFull) {
        SearchInvalid();
        return false;
    }
    // Checked before expanding: "1:4294967295" must cost nothing.
    if (last - first + 1 > m_searchLimit - std::min(m_searchLimit, m_numbers.size())) {
        m_searchOverflow = true;
        SearchInvalid();
        return false;
    }
    for (uint64_t n = first; n <= last; ++n)
        m_numbers.push_back(static_cast<uint32_t>(n));
    return true;
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
            m_sinking = m_sink && n > 0 && m_sink->BeginLiteral(m_head, n);
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
    if (!m_isSearch && (EqualsNoCase(m_head, "* SEARCH") || EqualsNoCase(m_head, "* ESEARCH"))) {
        m_isSearch = true;
        m_isESearch = m_head.size() == 9;
        m_searchValid = true;
    }
    return true;
}
