// IMAP's keywords are case-insensitive ASCII: "ok", "Ok" and "OK" are one word.
#pragma once

#include <string_view>

// True when text begins with upperPrefix, comparing ASCII letters without case.
// upperPrefix must be written in upper case.
inline bool StartsWithNoCase(std::string_view text, std::string_view upperPrefix) {
    if (text.size() < upperPrefix.size())
        return false;
    for (size_t i = 0; i < upperPrefix.size(); ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != upperPrefix[i])
            return false;
    }
    return true;
}

inline bool EqualsNoCase(std::string_view text, std::string_view upperWord) {
    return text.size() == upperWord.size() && StartsWithNoCase(text, upperWord);
}
