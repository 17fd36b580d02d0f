#include "imap/FetchResponse.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "imap/AsciiCase.h"
#include "imap/ReplyWords.h"

namespace {
// Reads items one by one from the text between FETCH's parentheses.
class CFetchItems {
public:
    explicit CFetchItems(std::string_view text) : m_text(text) {}

    bool AtEnd() {
        SkipBlanks();
        return m_pos >= m_text.size() || m_text[m_pos] == ')';
    }
    // An item's name: letters, digits, '.', and a section in brackets with
    // what it holds ("BODY[HEADER.FIELDS (DATE)]", "BODY.PEEK[]").
    std::string_view Name() {
        SkipBlanks();
        const size_t begin = m_pos;
        while (m_pos < m_text.size() && m_text[m_pos] != ' ' && m_text[m_pos] != '(' &&
               m_text[m_pos] != ')' && m_text[m_pos] != '[')
            ++m_pos;
        if (m_pos < m_text.size() && m_text[m_pos] == '[') {
            const size_t close = m_text.find(']', m_pos);
            if (close == std::string_view::npos)
                return {};
            m_pos = close + 1;
            if (m_pos < m_text.size() && m_text[m_pos] == '<')  // a partial's origin
                m_pos = std::min(m_text.find('>', m_pos) + 1, m_text.size());
        }
        return m_text.substr(begin, m_pos - begin);
    }
    bool Number(uint64_t& value) {
        SkipBlanks();
        const size_t begin = m_pos;
        value = 0;
        while (m_pos < m_text.size() && m_text[m_pos] >= '0' && m_text[m_pos] <= '9' &&
               m_pos - begin < 19)
            value = value * 10 + static_cast<unsigned>(m_text[m_pos++] - '0');
        return m_pos > begin;
    }
    // A parenthesized list without nesting (FLAGS), its inside.
    bool List(std::string_view& inside) {
        SkipBlanks();
        if (m_pos >= m_text.size() || m_text[m_pos] != '(')
            return false;
        const size_t close = m_text.find(')', m_pos);
        if (close == std::string_view::npos)
            return false;
        inside = m_text.substr(m_pos + 1, close - m_pos - 1);
        m_pos = close + 1;
        return true;
    }
    // A string: quoted (escapes undone), NIL, or a literal's place ("{n}" and
    // CR LF: the bytes went to the sink; literal says so).
    bool String(std::string& value, bool& literal) {
        SkipBlanks();
        literal = false;
        value.clear();
        if (StartsWithNoCase(m_text.substr(m_pos), "NIL")) {
            m_pos += 3;
            return true;
        }
        if (m_pos < m_text.size() && m_text[m_pos] == '{') {
            const size_t close = m_text.find("}\r\n", m_pos);
            if (close == std::string_view::npos)
                return false;
            m_pos = close + 3;
            literal = true;
            return true;
        }
        if (m_pos >= m_text.size() || m_text[m_pos] != '"')
            return false;
        for (++m_pos; m_pos < m_text.size(); ++m_pos) {
            char c = m_text[m_pos];
            if (c == '"') {
                ++m_pos;
                return true;
            }
            if (c == '\\' && m_pos + 1 < m_text.size())
                c = m_text[++m_pos];
            value += c;
        }
        return false;
    }
    // Any other value: a parenthesized list (nested), a string or an atom.
    bool Skip() {
        SkipBlanks();
        if (m_pos < m_text.size() && m_text[m_pos] == '(') {
            int depth = 0;
            for (; m_pos < m_text.size(); ++m_pos) {
                depth += m_text[m_pos] == '(' ? 1 : m_text[m_pos] == ')' ? -1 : 0;
                if (depth == 0) {
                    ++m_pos;
                    return true;
                }
            }
            return false;
        }
        std::string ignored;
        bool literal = false;
        if (String(ignored, literal))
            return true;
        while (m_pos < m_text.size() && m_text[m_pos] != ' ' && m_text[m_pos] != ')')
            ++m_pos;
        return true;
    }

private:
    void SkipBlanks() {
        while (m_pos < m_text.size() && m_text[m_pos] == ' ')
            ++m_pos;
    }
    std::string_view m_text;
    size_t m_pos = 0;
};
}  // namespace

bool ParseFetchResponse(std::string_view head, CFetchedMessage& message) {
    message = CFetchedMessage();
    uint32_t seq = 0;
    const size_t open = head.find(" (");
    if (!StartsWithNoCase(head, "* ") || open == std::string_view::npos ||
        !UntaggedNumber(head.substr(0, open), "FETCH", &seq) || head.back() != ')')
        return false;
    message.seq = seq;
    CFetchItems items(head.substr(open + 2));
    while (!items.AtEnd()) {
        const std::string_view name = items.Name();
        uint64_t number = 0;
        std::string_view list;
        bool literal = false;
        if (EqualsNoCase(name, "UID")) {
            if (!items.Number(number) || number == 0 || number > UINT32_MAX)
                return false;
            message.uid = static_cast<uint32_t>(number);
        } else if (EqualsNoCase(name, "RFC822.SIZE")) {
            if (!items.Number(number))
                return false;
            message.size = number;
            message.sizeGiven = true;
        } else if (EqualsNoCase(name, "FLAGS")) {
            if (!items.List(list))
                return false;
            message.flags.assign(list);
            message.flagsGiven = true;
        } else if (EqualsNoCase(name, "INTERNALDATE")) {
            if (!items.String(message.internalDate, literal) || literal)
                return false;
        } else if (StartsWithNoCase(name, "BODY[HEADER.FIELDS")) {
            std::string quoted;
            if (!items.String(quoted, literal))
                return false;
            if (!literal)
                message.header = std::move(quoted);  // the sink kept a literal's
        } else if (EqualsNoCase(name, "BODY[]")) {
            if (!items.String(message.header, literal) || !literal)
                return false;  // a body that is no literal can't have reached its file
            message.header.clear();
            message.body = true;
        } else if (name.empty() || !items.Skip()) {
            return false;
        }
    }
    return true;
}

std::string IsoInternalDate(std::string_view date) {
    // dd-Mon-yyyy hh:mm:ss +zzzz, the day's tens a blank or left out
    static const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    while (!date.empty() && date[0] == ' ')
        date.remove_prefix(1);
    const size_t dash = date.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash > 2 || date.size() != dash + 24)
        return "";
    const auto digits = [](std::string_view text) {
        return text.find_first_not_of("0123456789") == std::string_view::npos;
    };
    int month = 0;
    for (int m = 0; m < 12; ++m)
        if (EqualsNoCase(date.substr(dash + 1, 3), kMonths[m]))
            month = m + 1;
    const std::string_view day = date.substr(0, dash), year = date.substr(dash + 5, 4),
                           time = date.substr(dash + 10, 8), zone = date.substr(dash + 19, 5);
    if (month == 0 || !digits(day) || !digits(year) || !digits(zone.substr(1)) ||
        date[dash + 4] != '-' || date[dash + 9] != ' ' || date[dash + 18] != ' ' ||
        (zone[0] != '+' && zone[0] != '-') || time[2] != ':' || time[5] != ':')
        return "";
    char iso[64];
    std::snprintf(iso, sizeof iso, "%.4s-%02d-%02dT%.8s%.3s:%.2s", year.data(), month,
                  std::atoi(std::string(day).c_str()), time.data(), zone.data(), zone.data() + 3);
    return iso;
}
