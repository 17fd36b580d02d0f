#include "dialogs/DisplayText.h"

namespace {
bool IsContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

wxString Latin1ToDisplay(std::string_view bytes) {
    wxString text;
    text.reserve(bytes.size());
    for (const char c : bytes)
        text += wxUniChar(static_cast<unsigned int>(static_cast<unsigned char>(c)));
    return text;
}

// False when a character lies beyond U+00FF.
bool DisplayToLatin1(const wxString& text, std::string& bytes) {
    bytes.clear();
    bytes.reserve(text.length());
    for (const wxUniChar c : text) {
        if (c.GetValue() > 0xFF)
            return false;
        bytes += static_cast<char>(c.GetValue());
    }
    return true;
}
}  // namespace

bool IsValidUtf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        unsigned char low = 0x80, high = 0xBF;  // range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0)
                low = 0xA0;  // overlong
            if (c == 0xED)
                high = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0)
                low = 0x90;  // overlong
            if (c == 0xF4)
                high = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (bytes.size() - i < length)
            return false;
        const unsigned char second = static_cast<unsigned char>(bytes[i + 1]);
        if (second < low || second > high)
            return false;
        for (size_t k = 2; k < length; ++k)
            if (!IsContinuation(static_cast<unsigned char>(bytes[i + k])))
                return false;
        i += length;
    }
    return true;
}

wxString BytesToDisplay(std::string_view bytes) {
    if (bytes.empty())
        return wxString();
    if (IsValidUtf8(bytes)) {
        const wxString text = wxString::FromUTF8(bytes.data(), bytes.size());
        if (!text.empty())
            return text;
    }
    return Latin1ToDisplay(bytes);
}

std::string DisplayToBytes(const wxString& shown, const std::string& original) {
    if (shown == BytesToDisplay(original))
        return original;
    std::string bytes;
    if (!IsValidUtf8(original) && DisplayToLatin1(shown, bytes))
        return bytes;
    const wxScopedCharBuffer utf8 = shown.utf8_str();
    return std::string(utf8.data(), utf8.length());
}
