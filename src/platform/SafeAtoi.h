// atoi without its undefined behaviour: leading white space, an optional sign,
// decimal digits up to the first other character; 0 without digits; values
// beyond the int range saturate instead of overflowing.
#pragma once

#include <climits>
#include <string_view>

inline int SafeAtoi(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    long long v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return static_cast<int>(-v);
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}
