#include "imap/MailboxName.h"

#include <vector>

#include "imap/Base64Digit.h"

namespace {

// RFC 3501 5.1.3: base64 with ',' for '/', no padding.
constexpr char kMailboxBase64[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

// The next code point of utf8 at i; a byte that starts no well-formed
// sequence is U+FFFD.
char32_t MailboxNextCodePoint(std::string_view utf8, size_t& i) {
    const auto c = static_cast<unsigned char>(utf8[i++]);
    if (c < 0x80)
        return c;
    const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (length == 0 || c > 0xF4 || i + length - 1 > utf8.size())
        return 0xFFFD;
    char32_t code = c & (0x3F >> (length - 1));
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(utf8[i + k - 1]);
        if ((next & 0xC0) != 0x80)
            return 0xFFFD;
        code = (code << 6) | (next & 0x3F);
    }
    static const char32_t lowest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < lowest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0xFFFD;
    i += length - 1;
    return code;
}

void MailboxAppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

void AppendShifted(std::string& out, const std::vector<char16_t>& units) {
    out += '&';
    unsigned bits = 0, count = 0;
    for (const char16_t unit : units) {
        bits = (bits << 16) | unit;
        count += 16;
        while (count >= 6) {
            count -= 6;
            out += kMailboxBase64[(bits >> count) & 0x3F];
        }
    }
    if (count > 0)
        out += kMailboxBase64[(bits << (6 - count)) & 0x3F];
    out += '-';
}

// The base64 run of a shift ("&...-") as UTF-8; false when it is no UTF-16.
bool DecodeShifted(std::string_view run, std::string& out) {
    std::vector<char16_t> units;
    unsigned bits = 0, count = 0;
    for (const char c : run) {
        const int v = Base64Digit(c, ',');
        if (v < 0)
            return false;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 16) {
            count -= 16;
            units.push_back(static_cast<char16_t>((bits >> count) & 0xFFFF));
        }
    }
    // What is left over only pads the last unit: fewer than 6 bits, all zero.
    if (count >= 6 || (bits & ((1u << count) - 1)) != 0 || units.empty())
        return false;
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t code = units[i];
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF)
                return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return false;
        } else if (code >= 0x20 && code <= 0x7E) {
            return false;  // printable ASCII stands for itself, never shifted
        }
        MailboxAppendUtf8(out, code);
    }
    return true;
}

}  // namespace

std::string EncodeMailboxName(std::string_view utf8) {
    std::string out;
    std::vector<char16_t> units;
    for (size_t i = 0; i < utf8.size();) {
        const char32_t code = MailboxNextCodePoint(utf8, i);
        if (code >= 0x20 && code <= 0x7E) {
            if (!units.empty()) {
                AppendShifted(out, units);
                units.clear();
            }
            out += code == '&' ? "&-" : std::string(1, static_cast<char>(code));
        } else if (code < 0x10000) {
            units.push_back(static_cast<char16_t>(code));
        } else {
            units.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        }
    }
    if (!units.empty())
        AppendShifted(out, units);
    return out;
}

bool DecodeMailboxName(std::string_view imap, std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < imap.size(); ++i) {
        const char c = imap[i];
        if (c < 0x20 || c > 0x7E)
            return false;
        if (c != '&') {
            out += c;
            continue;
        }
        const size_t dash = imap.find('-', i + 1);
        if (dash == std::string_view::npos)
            return false;
        if (dash == i + 1)
            out += '&';
        else if (!DecodeShifted(imap.substr(i + 1, dash - i - 1), out))
            return false;
        i = dash;
    }
    utf8 = std::move(out);
    return true;
}
