#include "platform/FlatJson.h"

namespace {
class Reader {
public:
    explicit Reader(std::string_view text) : m_text(text) {}

    bool Object(std::map<std::string, std::string>* members, int depth) {
        if (depth > kMaxDepth || !Take('{'))
            return false;
        if (Take('}'))
            return true;
        do {
            std::string name, value;
            if (!String(&name) || !Take(':') || !Value(&value, depth))
                return false;
            if (members)
                (*members)[name] = std::move(value);
        } while (Take(','));
        return Take('}');
    }
    bool AtEnd() {
        Blanks();
        return m_at == m_text.size();
    }

private:
    static constexpr int kMaxDepth = 8;

    void Blanks() {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' ||
                                        m_text[m_at] == '\r' || m_text[m_at] == '\n'))
            ++m_at;
    }
    bool Take(char c) {
        Blanks();
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool Peek(char c) {
        Blanks();
        return m_at < m_text.size() && m_text[m_at] == c;
    }
    // A nested value is checked, not kept: value stays empty.
    bool Value(std::string* value, int depth) {
        if (Peek('"'))
            return String(value);
        if (Peek('{'))
            return Object(nullptr, depth + 1);
        if (Take('[')) {
            if (depth + 1 > kMaxDepth)
                return false;
            if (Take(']'))
                return true;
            std::string ignored;
            do {
                if (!Value(&ignored, depth + 1))
                    return false;
            } while (Take(','));
            return Take(']');
        }
        const size_t begin = m_at;
        while (m_at < m_text.size() &&
               std::string_view("+-.0123456789eEtrufalsn").find(m_text[m_at]) !=
                   std::string_view::npos)
            ++m_at;
        *value = std::string(m_text.substr(begin, m_at - begin));
        return !value->empty();
    }
    bool String(std::string* out) {
        if (!Take('"'))
            return false;
        out->clear();
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (m_at >= m_text.size())
                return false;
            const char e = m_text[m_at++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    *out += e;
                    break;
                case 'b':
                    *out += '\b';
                    break;
                case 'f':
                    *out += '\f';
                    break;
                case 'n':
                    *out += '\n';
                    break;
                case 'r':
                    *out += '\r';
                    break;
                case 't':
                    *out += '\t';
                    break;
                case 'u':
                    if (!Unicode(out))
                        return false;
                    break;
                default:
                    return false;
            }
        }
        return false;
    }
    bool Hex4(unsigned* code) {
        if (m_at + 4 > m_text.size())
            return false;
        *code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = m_text[m_at++];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0)
                return false;
            *code = *code << 4 | static_cast<unsigned>(digit);
        }
        return true;
    }
    bool Unicode(std::string* out) {
        unsigned code = 0;
        if (!Hex4(&code))
            return false;
        if (code >= 0xD800 && code < 0xDC00 && m_text.substr(m_at, 2) == "\\u") {
            m_at += 2;
            unsigned low = 0;
            if (!Hex4(&low) || low < 0xDC00 || low > 0xDFFF)
                return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;  // a lone surrogate
        }
        if (code < 0x80) {
            *out += static_cast<char>(code);
        } else if (code < 0x800) {
            *out += static_cast<char>(0xC0 | code >> 6);
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            *out += static_cast<char>(0xE0 | code >> 12);
            *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | code >> 18);
            *out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        }
        return true;
    }

    std::string_view m_text;
    size_t m_at = 0;
};
}  // namespace

std::optional<std::map<std::string, std::string>> ParseFlatJson(std::string_view text) {
    if (text.size() > kMaxFlatJson)
        return std::nullopt;
    std::map<std::string, std::string> members;
    Reader reader(text);
    if (!reader.Object(&members, 0) || !reader.AtEnd())
        return std::nullopt;
    return members;
}
