#include "imap/EncodedWords.h"

#include <wx/strconv.h>
#include <wx/string.h>

#include <vector>

#include "imap/Base64Digit.h"
#include "platform/Utf8.h"

namespace {

constexpr size_t kMaxDecodedBytes = 4096;

bool IsHeaderBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimHeaderBlanks(std::string_view text) {
    while (!text.empty() && IsHeaderBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() &&
           (IsHeaderBlank(text.back()) || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

int QHexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool DecodeWordBase64(std::string_view text, std::string& bytes) {
    while (!text.empty() && text.back() == '=')
        text.remove_suffix(1);
    if (text.size() % 4 == 1)
        return false;
    unsigned bits = 0, count = 0;
    for (const char c : text) {
        const int v = Base64Digit(c);
        if (v < 0)
            return false;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return true;
}

void DecodeQ(std::string_view text, std::string& bytes) {
    for (size_t i = 0; i < text.size(); ++i) {
        const int high = i + 2 < text.size() ? QHexValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? QHexValue(text[i + 2]) : -1;
        if (text[i] == '=' && high >= 0 && low >= 0) {
            bytes += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            // A broken =XX is taken as written: the rest of the word still reads.
            bytes += text[i] == '_' ? ' ' : text[i];
        }
    }
}

// One encoded word: =?charset?B?text?= or =?charset*lang?Q?text?=.
struct EncodedWord {
    size_t begin = 0, end = 0;  // in the value
    std::string charset;        // upper case, without RFC 2231's language
    std::string bytes;          // decoded, still in charset
};

bool IsCharsetChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::string_view("-_.:+()").find(c) != std::string_view::npos;
}

// The encoded word at value[at] (which is "=?"); false when there is none or
// its text can't be decoded, and it then stays as written.
bool ReadEncodedWord(std::string_view value, size_t at, EncodedWord& word) {
    size_t i = at + 2;
    const size_t charsetBegin = i;
    while (i < value.size() && IsCharsetChar(value[i]))
        ++i;
    const size_t charsetEnd = i;
    if (i < value.size() && value[i] == '*')  // RFC 2231's language, of no use here
        for (++i; i < value.size() && IsCharsetChar(value[i]);)
            ++i;
    if (charsetEnd == charsetBegin || charsetEnd - charsetBegin > 40 || i + 3 > value.size() ||
        value[i] != '?' || value[i + 2] != '?')
        return false;
    const char encoding = value[i + 1];
    const size_t textBegin = i + 3;
    // The text has no blank and no '?': the first of these must close the
    // word. Looking no further keeps a value full of "=?" linear.
    const size_t close = value.find_first_of(" \t\r\n?", textBegin);
    if (close == std::string_view::npos || value[close] != '?' || close + 1 >= value.size() ||
        value[close + 1] != '=')
        return false;
    const std::string_view text = value.substr(textBegin, close - textBegin);
    word.bytes.clear();
    if (encoding == 'B' || encoding == 'b') {
        if (!DecodeWordBase64(text, word.bytes))
            return false;
    } else if (encoding == 'Q' || encoding == 'q') {
        DecodeQ(text, word.bytes);
    } else {
        return false;
    }
    word.charset.clear();
    for (size_t k = charsetBegin; k < charsetEnd; ++k)
        word.charset +=
            static_cast<char>(value[k] >= 'a' && value[k] <= 'z' ? value[k] - 32 : value[k]);
    word.begin = at;
    word.end = close + 2;
    return true;
}

// bytes of charset as UTF-8; false when no converter takes them.
bool ConvertCharset(const std::string& charset, const std::string& bytes, std::string& utf8) {
    if (charset == "UTF-8" || charset == "UTF8" || charset == "US-ASCII" || charset == "ASCII") {
        utf8 = ToUtf8(bytes);  // mislabelled Latin-1 is common enough
        return true;
    }
    if (charset == "ISO-8859-1" || charset == "ISO8859-1" || charset == "ISO_8859-1" ||
        charset == "LATIN1") {
        utf8 = Latin1ToUtf8(bytes);
        return true;
    }
    if (bytes.empty())
        return true;
    wxCSConv conv(wxString::FromAscii(charset.c_str()));
    if (!conv.IsOk())
        return false;
    const wxString text(bytes.data(), conv, bytes.size());
    if (text.empty())
        return false;
    const wxScopedCharBuffer converted = text.utf8_str();
    utf8.assign(converted.data(), converted.length());
    return true;
}

// Control characters other than TAB, C0 and C1 alike, as \xNN.
void AppendEscaped(std::string& out, std::string_view utf8) {
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        unsigned code = 0x100;  // none
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            code = c;
        else if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0)
            code = static_cast<unsigned char>(utf8[++i]);
        if (code == 0x100) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[code >> 4];
            out += digits[code & 15];
        }
    }
}

}  // namespace

std::map<std::string, std::string> ParseHeaderFields(std::string_view block) {
    std::map<std::string, std::string> fields;
    std::string* current = nullptr;
    std::string unwanted;  // a field given twice: its lines are read and dropped
    while (!block.empty()) {
        size_t end = block.find('\n');
        std::string_view line = block.substr(0, end);
        block.remove_prefix(end == std::string_view::npos ? block.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty() && IsHeaderBlank(line.front())) {
            if (current)
                *current += line;
            continue;
        }
        current = nullptr;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::string_view name = line.substr(0, colon);
        while (!name.empty() && IsHeaderBlank(name.back()))
            name.remove_suffix(1);
        bool valid = !name.empty();
        std::string upper;
        for (const char c : name) {
            valid = valid && c > ' ' && c < 0x7F;
            upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        }
        if (!valid)
            continue;
        const auto [it, added] = fields.emplace(upper, std::string(line.substr(colon + 1)));
        unwanted.clear();
        current = added ? &it->second : &unwanted;
    }
    for (auto& [name, value] : fields)
        value = std::string(TrimHeaderBlanks(value));
    return fields;
}

std::string DecodeHeaderValue(std::string_view value) {
    // Far more than any header a person reads: the cut below comes anyway.
    value = TrimHeaderBlanks(value.substr(0, 16 * kMaxDecodedBytes));
    std::string out;
    // Adjacent words of one charset are converted together: mailers split a
    // character's bytes across two words. A run that can't be converted stays
    // as written, blanks and all.
    std::string runCharset, runBytes;
    size_t runBegin = 0, runEnd = 0;
    const auto flushRun = [&] {
        if (runEnd == runBegin)
            return;
        std::string utf8;
        if (!ConvertCharset(runCharset, runBytes, utf8))
            utf8 = ToUtf8(value.substr(runBegin, runEnd - runBegin));
        AppendEscaped(out, utf8);
        runBytes.clear();
        runBegin = runEnd = 0;
    };
    size_t pos = 0;
    while (pos < value.size() && out.size() <= kMaxDecodedBytes) {
        size_t next = value.find("=?", pos);
        EncodedWord word;
        while (next != std::string_view::npos && !ReadEncodedWord(value, next, word))
            next = value.find("=?", next + 1);
        const std::string_view between = value.substr(pos, next - pos);
        const bool adjacent = runEnd > runBegin && next != std::string_view::npos &&
                              between.find_first_not_of(" \t\r\n") == std::string_view::npos;
        if (!adjacent || word.charset != runCharset) {
            flushRun();
            if (!adjacent)
                AppendEscaped(out, ToUtf8(between));
        }
        if (next == std::string_view::npos)
            break;
        if (runEnd == runBegin) {
            runCharset = word.charset;
            runBegin = word.begin;
        }
        runBytes += word.bytes;
        runEnd = pos = word.end;
    }
    flushRun();
    if (out.size() > kMaxDecodedBytes) {
        size_t cut = kMaxDecodedBytes - 3;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
            --cut;
        out.resize(cut);
        out += "...";
    }
    return out;
}
