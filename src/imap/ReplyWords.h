// Small readers of reply text the session shares between its files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "imap/AsciiCase.h"

inline bool WordIs(std::string_view text, std::string_view upperWord) {
    return EqualsNoCase(text.substr(0, text.find(' ')), upperWord);
}

// n of an untagged "* n WORD" response.
inline bool UntaggedNumber(std::string_view line, std::string_view upperWord, uint32_t* n) {
    const size_t space = line.find(' ', 2);
    if (space == std::string_view::npos || !EqualsNoCase(line.substr(space + 1), upperWord))
        return false;
    uint64_t value = 0;
    for (const char c : line.substr(2, space - 2)) {
        if (c < '0' || c > '9' ||
            (value = value * 10 + static_cast<unsigned>(c - '0')) > UINT32_MAX)
            return false;
    }
    *n = static_cast<uint32_t>(value);
    return space > 2;
}

// Where upperNeedle begins in text, ASCII case ignored; npos when nowhere.
inline size_t FindNoCase(std::string_view text, std::string_view upperNeedle) {
    for (size_t i = 0; i + upperNeedle.size() <= text.size(); ++i)
        if (StartsWithNoCase(text.substr(i), upperNeedle))
            return i;
    return std::string_view::npos;
}

// Exchange Online refuses a burst with "BAD Request is throttled. Suggested
// Backoff Time: N milliseconds": N (1000 when it names none); 0 for any other
// refusal.
inline unsigned SuggestedBackoff(std::string_view status) {
    if (!WordIs(status, "BAD") || FindNoCase(status, "THROTTLED") == std::string_view::npos)
        return 0;
    const size_t at = FindNoCase(status, "BACKOFF TIME:");
    if (at == std::string_view::npos)
        return 1000;
    std::string_view digits = status.substr(at + 13);
    digits.remove_prefix(std::min(digits.find_first_not_of(' '), digits.size()));
    uint64_t ms = 0;
    for (size_t i = 0; i < digits.size() && i < 10 && digits[i] >= '0' && digits[i] <= '9'; ++i)
        ms = ms * 10 + static_cast<uint64_t>(digits[i] - '0');
    return static_cast<unsigned>(std::clamp<uint64_t>(ms, 1, UINT32_MAX));
}
