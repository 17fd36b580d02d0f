#include "forms/DisplayText.h"

#include "platform/Utf8.h"

namespace {
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
